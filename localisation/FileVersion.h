#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

namespace morvane::localisation {

// The name of the program section that holds the version information the build embeds.
inline constexpr char kVersionSection[] = ".morvane.version";

// The version information of a program: a block that the build places in the program's ELF section
// ".morvane.version", one "path=value" line per entry, the paths spelled as the version resource's query
// paths: "VarFileInfo\Translation" holds the language and code-page pairs ("0804 03A8"),
// "StringFileInfo\080403A8\ProductName" an entry of that translation. A program without the section has
// no version information, and every value reads as empty text.
class TFileVersion : public QObject {
    Q_OBJECT
public:
    // Reads the version information of the running program.
    TFileVersion();
    // Reads the version information of the program file at `path`.
    explicit TFileVersion(const QString& path);

    bool hasVersionInfo() const { return m_hasBlock; }

    // The first language and code-page pair of the translation table as eight hexadecimal digits,
    // language first ("080403A8"); empty without version information.
    QString GetTranslation() const;
    // The entry "StringFileInfo\<translation>\<name>", blanks around it removed; empty when the block or
    // the entry is missing.
    QString GetValue(const QString& name) const;
    // The value at a query path, as stored; empty when missing.
    QString queryValue(const QString& path) const;

    // The size of a program file's version information, 0 when it has none or cannot be read.
    static qint64 versionInfoSize(const QString& path);
    // A program file's version information block, empty when it has none.
    static QByteArray readVersionInfo(const QString& path);

private:
    void load(const QString& path);

    QHash<QString, QString> m_entries;
    bool m_hasBlock = false;
};

} // namespace morvane::localisation
