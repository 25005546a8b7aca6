#pragma once

#include "FileVersion.h"
#include "Strings.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <memory>

class QWidget;

namespace morvane::localisation {

// The language component of a form: sets the texts of the form and of the components it owns to those
// stored for it in the language database DB/Language.mdb (an SQLite file beside the program) for the
// configured language, loads the form's numbered message texts, and, for the developer, records the
// form's current texts in that database as the template of a language.
//
// Rows are keyed by the program's product name (its version information), the form's name and the
// language number.
//
// Threads: made, used and destroyed on the user-interface thread of its owner form only.
class TLanguage : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(int LanguageID READ LanguageID WRITE setLanguageID)
    Q_PROPERTY(morvane::localisation::TFileVersion* AppVersion READ AppVersion)
    Q_PROPERTY(morvane::localisation::TStrings* Variable READ Variable)
    Q_PROPERTY(bool Active READ Active WRITE setActive)

public:
    // Owned by the form; turns the form's key preview on and opens the language database, creating the
    // folder, the file and its two tables when they are missing. A database that cannot be opened or
    // made leaves openError() set, and every operation then fails with it.
    explicit TLanguage(QWidget* owner);
    ~TLanguage() override;

    int LanguageID() const { return m_languageId; }
    void setLanguageID(int id) { m_languageId = id; }
    TFileVersion* AppVersion() const { return m_version.get(); }
    TStrings* Variable() const { return m_variable.get(); }
    bool Active() const { return m_active; }
    // Setting it true, when it was false, runs Translate; its failure is kept in lastError().
    void setActive(bool active);

    const QString& openError() const { return m_openError; }
    const QString& lastError() const { return m_lastError; }
    QString appName() const { return m_appName; }

    // Applies the stored texts to the owner and the components it owns, and loads Variable with the
    // form's message texts (the last Dialog_Table row wins). False with the reason on a database error.
    bool Translate(QString* error = nullptr);
    // Applies the lines of a property text to one object. False with the reason when a value cannot be
    // set; lines naming no published property of the object are passed over.
    bool ApplyProperties(QObject* object, const QStringList& lines, QString* error = nullptr);
    // Records the owner's current texts in Component_Table, after asking "Language exist,rebuild?" when
    // rows are already there (anything but OK writes nothing). False with the reason on a database error.
    bool CollectTexts(QString* error = nullptr);
    // Message text `index` of Variable; empty when Variable has no such line.
    QString GetMessage(quint8 index) const;

    // The property text lines of an object: its text properties, its object properties that are set
    // and, with blocks, the item lines of those that hold a collection or a list.
    static QStringList PropertyLines(const QObject* object, bool withBlocks);
    // The item text of a list-item line: what follows the ten blanks, without the item's index and colon.
    static QString listItemText(const QString& line);

    // dataDirectory() + "DB/Language.mdb".
    static QString databasePath();
    // The create statements, one entry per line, as the database receives them.
    static QStringList componentTableLines();
    static QStringList dialogTableLines();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool openDatabase();
    QString keyFilter() const;
    QVariantList keyValues() const;
    bool fail(QString* error, const QString& why);
    // A failure of the language database, named in the reason.
    bool databaseFail(QString* error, const QString& why);

    QWidget* m_owner;
    int m_languageId = 0;
    bool m_active = false;
    std::unique_ptr<TFileVersion> m_version;
    std::unique_ptr<TStringList> m_variable;
    QString m_appName;
    QString m_connectionName;
    QSqlDatabase m_db;
    QString m_openError;
    QString m_lastError;
};

} // namespace morvane::localisation
