#pragma once

#include <QObject>
#include <QString>

namespace morvane::localisation {

// A collection of items that a component publishes as one property (a status bar's panels). The
// language component writes a title line and a width line per item and passes over that block when
// it applies the texts: items are never translated.
class TCollection : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual qsizetype count() const = 0;
    // The item's name as the form description shows it.
    virtual QString displayName(qsizetype index) const = 0;
};

} // namespace morvane::localisation
