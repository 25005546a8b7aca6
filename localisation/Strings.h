#pragma once

#include <QObject>
#include <QStringList>

namespace morvane::localisation {

// A list of texts that a component publishes as one property (a combo box's items, the language
// component's messages). The language component writes and applies it as a block of list-item lines.
class TStrings : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual QStringList strings() const = 0;
    // Replaces the whole content.
    virtual void setStrings(const QStringList& texts) = 0;

    qsizetype count() const { return strings().size(); }
};

// A list that holds its own texts.
class TStringList : public TStrings {
    Q_OBJECT
public:
    using TStrings::TStrings;

    QStringList strings() const override { return m_texts; }
    void setStrings(const QStringList& texts) override;

private:
    QStringList m_texts;
};

// Splits a text into lines at CR LF, LF or CR; a line break at the very end starts no further line.
QStringList splitLines(const QString& text);
// Every line followed by CR LF.
QString joinLines(const QStringList& lines);

} // namespace morvane::localisation
