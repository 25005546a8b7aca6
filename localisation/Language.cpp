#include "Language.h"

#include "Collection.h"
#include "KeyPreview.h"
#include "MessageBox.h"
#include "PrivateFiles.h"
#include "ProgramDirectory.h"
#include "Published.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QWidget>

#include <algorithm>
#include <atomic>

namespace morvane::localisation {

namespace {

// The width that the collection block writes for every item; never read back.
constexpr int kCollectionItemWidth = 80;

QString uniqueConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("morvane-language-%1").arg(++counter);
}

QString sqlText(const QStringList& lines) {
    return lines.join(QLatin1String("\r\n"));
}

// SQLite numbers its rows itself in a column declared "integer primary key"; that is the identity column
// of the two tables here.
QString sqliteStatement(const QStringList& lines) {
    QString text = sqlText(lines);
    text.replace(QLatin1String("int identity PRIMARY KEY"), QLatin1String("integer PRIMARY KEY"));
    return text;
}

// The key columns take no NULL: a missing name is the empty text.
QString notNull(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

QString queryError(const QSqlQuery& query) {
    QString text = query.lastError().text().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown language database error") : text;
}

bool run(QSqlQuery& query, const QString& sql, const QVariantList& values, QString* error) {
    if (!query.prepare(sql)) {
        if (error)
            *error = queryError(query);
        return false;
    }
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        if (error)
            *error = queryError(query);
        return false;
    }
    return true;
}

} // namespace

TLanguage::TLanguage(QWidget* owner)
    : QObject(owner)
    , m_owner(owner)
    , m_version(std::make_unique<TFileVersion>())
    , m_variable(std::make_unique<TStringList>())
    , m_connectionName(uniqueConnectionName()) {
    // The owner's key handler sees the keys before its controls (Ctrl+Alt+F12 records the texts).
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
    m_appName = notNull(m_version->GetValue(QStringLiteral("ProductName")));
    openDatabase();
}

TLanguage::~TLanguage() {
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

QString TLanguage::databasePath() {
    return platform::dataDirectory() + QStringLiteral("DB/Language.mdb");
}

QStringList TLanguage::componentTableLines() {
    return {QStringLiteral("Create Table Component_Table"),        QStringLiteral("(ID int identity PRIMARY KEY,"),
            QStringLiteral("AppName varchar(50) not null,"),       QStringLiteral("FormName varchar(50) not null,"),
            QStringLiteral("ComponentName varchar(50) not null,"), QStringLiteral("LanguageID int not null,"),
            QStringLiteral("ComponentClass varchar(50) null,"),    QStringLiteral("ComponentProperty Text null)")};
}

QStringList TLanguage::dialogTableLines() {
    return {QStringLiteral("Create Table Dialog_Table"),     QStringLiteral("(ID int identity PRIMARY KEY,"),
            QStringLiteral("AppName varchar(50) Not null,"), QStringLiteral("FormName varchar(50) Not null,"),
            QStringLiteral("DialogID int Not null,"),        QStringLiteral("LanguageID int Not null,"),
            QStringLiteral("Title varchar(255) Not null,"),  QStringLiteral("MessageStr text Not null)")};
}

bool TLanguage::openDatabase() {
    const QString path = databasePath();
    const QString folder = QFileInfo(path).absolutePath();
    if (!platform::makePrivatePath(folder)) {
        m_openError = QStringLiteral("Cannot create the folder %1").arg(folder);
        return false;
    }
    // An empty file holds no database yet: it is made like a missing one. A new one is the server user's
    // alone, whatever the umask (SQLite would make it as the umask allows).
    const bool exists = QFileInfo(path).size() > 0;
    QString why;
    if (!exists && !platform::createPrivateFile(path, &why)) {
        m_openError = QStringLiteral("Cannot create %1").arg(why);
        return false;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    if (!m_db.isValid()) {
        m_openError = QStringLiteral("the Qt SQL driver QSQLITE is not installed");
        return false;
    }
    m_db.setDatabaseName(path);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!m_db.open()) {
        m_openError = QStringLiteral("Cannot open %1: %2").arg(path, m_db.lastError().text().trimmed());
        return false;
    }
    QSqlQuery query(m_db);
    if (exists) {
        // SQLite reads nothing at the open: a file that is no database shows at the first read.
        if (query.exec(QStringLiteral("select count(*) from sqlite_master")))
            return true;
        m_openError = QStringLiteral("Cannot open %1: %2").arg(path, queryError(query));
        query.finish();
        m_db.close();
        return false;
    }
    for (const QStringList& lines : {componentTableLines(), dialogTableLines()}) {
        if (!query.exec(sqliteStatement(lines))) {
            m_openError = QStringLiteral("Cannot create %1: %2").arg(path, queryError(query));
            query.finish();
            m_db.close();
            // A half-made file would pass for a database at the next start: it goes, to be made again.
            QFile::remove(path);
            return false;
        }
    }
    return true;
}

bool TLanguage::fail(QString* error, const QString& why) {
    m_lastError = why;
    if (error)
        *error = why;
    return false;
}

bool TLanguage::databaseFail(QString* error, const QString& why) {
    // The operator finds the file to repair or replace from the message alone.
    return fail(error, QStringLiteral("%1: %2").arg(databasePath(), why));
}

QString TLanguage::keyFilter() const {
    return sqlText({QStringLiteral("where"), QStringLiteral("AppName=?"), QStringLiteral("and"),
                    QStringLiteral("FormName=?"), QStringLiteral("and"), QStringLiteral("LanguageID=?")});
}

QVariantList TLanguage::keyValues() const {
    return {m_appName, notNull(m_owner->objectName()), m_languageId};
}

void TLanguage::setActive(bool active) {
    if (active && !m_active) {
        m_active = true;
        Translate();
        return;
    }
    m_active = active;
}

QString TLanguage::GetMessage(quint8 index) const {
    return m_variable->strings().value(index);
}

bool TLanguage::Translate(QString* error) {
    if (!m_db.isOpen())
        return fail(error, m_openError);
    QString why;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!run(query, QStringLiteral("Select * From Dialog_Table\r\n") + keyFilter(), keyValues(), &why))
        return databaseFail(error, why);
    const int messageColumn = query.record().indexOf(QStringLiteral("MessageStr"));
    while (query.next())
        m_variable->setStrings(splitLines(query.value(messageColumn).toString()));

    if (!run(query, QStringLiteral("Select * From Component_Table\r\n") + keyFilter(), keyValues(), &why))
        return databaseFail(error, why);
    const QSqlRecord record = query.record();
    const int nameColumn = record.indexOf(QStringLiteral("ComponentName"));
    const int propertyColumn = record.indexOf(QStringLiteral("ComponentProperty"));

    // Components are found by name without regard to case; the first of a name is the one found.
    QHash<QString, QObject*> components;
    for (QObject* component : ownedComponents(m_owner)) {
        const QString key = component->objectName().toLower();
        if (!key.isEmpty() && !components.contains(key))
            components.insert(key, component);
    }
    const QString ownerName = m_owner->objectName();
    while (query.next()) {
        const QString name = query.value(nameColumn).toString();
        if (name.isEmpty())
            continue;
        QObject* target = components.value(name.toLower());
        if (!target && name.compare(ownerName, Qt::CaseInsensitive) == 0)
            target = m_owner;
        if (!target)
            continue;
        if (!ApplyProperties(target, splitLines(query.value(propertyColumn).toString()), &why))
            return fail(error, why);
    }
    return true;
}

QString TLanguage::listItemText(const QString& line) {
    QString text = line.mid(10);
    // "<index>:" as the block was written; a translator's line without it is taken whole.
    qsizetype digits = 0;
    while (digits < text.size() && text.at(digits).isDigit())
        ++digits;
    if (digits > 0 && digits < text.size() && text.at(digits) == QLatin1Char(':'))
        text.remove(0, digits + 1);
    return text;
}

bool TLanguage::ApplyProperties(QObject* object, const QStringList& lines, QString* error) {
    const QMetaObject* meta = object->metaObject();
    qsizetype position = 0;
    while (position < lines.size()) {
        const QString& line = lines.at(position);
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        const QString name = colon < 0 ? QString() : line.left(colon);
        const QMetaProperty property = name.isEmpty() ? QMetaProperty() : findPublishedProperty(meta, name);
        if (!property.isValid() || name.contains(QLatin1String("NAME"), Qt::CaseInsensitive)) {
            ++position;
            continue;
        }
        if (isTextProperty(property)) {
            if (!property.write(object, line.mid(colon + 1)))
                return fail(error, QStringLiteral("Cannot set %1 of %2").arg(name, object->objectName()));
            ++position;
            continue;
        }
        const qsizetype remaining = lines.size() - position - 1;
        QObject* value = isObjectProperty(property) ? property.read(object).value<QObject*>() : nullptr;
        if (const auto* collection = qobject_cast<TCollection*>(value)) {
            position += 1 + std::min(2 * collection->count(), remaining);
            continue;
        }
        if (auto* list = qobject_cast<TStrings*>(value)) {
            const qsizetype count = list->count();
            const qsizetype taken = std::min(count, remaining);
            QStringList texts;
            texts.reserve(taken);
            for (qsizetype i = 0; i < taken; ++i)
                texts.append(listItemText(lines.at(position + 1 + i)));
            if (taken == count)
                list->setStrings(texts);
            position += 1 + taken;
            continue;
        }
        ++position;
    }
    return true;
}

QStringList TLanguage::PropertyLines(const QObject* object, bool withBlocks) {
    QStringList lines;
    for (const QMetaProperty& property : publishedProperties(object->metaObject())) {
        const QString name = QString::fromLatin1(property.name());
        if (isTextProperty(property)) {
            lines.append(name + QLatin1Char(':') + property.read(object).toString());
            continue;
        }
        if (!isObjectProperty(property))
            continue;
        const QObject* value = property.read(object).value<QObject*>();
        if (!value)
            continue;
        lines.append(name + QLatin1Char(':') + declaredTypeName(property));
        if (!withBlocks)
            continue;
        if (const auto* collection = qobject_cast<const TCollection*>(value)) {
            for (qsizetype i = 0; i < collection->count(); ++i) {
                lines.append(QStringLiteral("Title:") + collection->displayName(i));
                lines.append(QStringLiteral("Width:") + QString::number(kCollectionItemWidth));
            }
        } else if (const auto* list = qobject_cast<const TStrings*>(value)) {
            const QStringList texts = list->strings();
            for (qsizetype i = 0; i < texts.size(); ++i)
                lines.append(QString(10, QLatin1Char(' ')) + QString::number(i) + QLatin1Char(':') + texts.at(i));
        }
    }
    return lines;
}

bool TLanguage::CollectTexts(QString* error) {
    if (!m_owner->isWindow())
        return true;
    if (!m_db.isOpen())
        return fail(error, m_openError);
    QString why;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!run(query, QStringLiteral("Select * From Component_Table\r\n") + keyFilter(), keyValues(), &why))
        return databaseFail(error, why);
    const bool stored = query.next();
    query.finish();
    if (stored) {
        const platform::MessageAnswer answer =
            platform::showMessage({QStringLiteral("Language exist,rebuild?"), QStringLiteral("Info"),
                                   platform::MessageIcon::Stop, platform::MessageButtons::OkCancel});
        if (answer != platform::MessageAnswer::Ok)
            return true;
    }
    // The rows are replaced as a whole: a failure half-way leaves the stored ones.
    if (!m_db.transaction())
        return databaseFail(error, m_db.lastError().text());
    const auto rollBack = [&](const QString& reason) {
        query.finish();
        m_db.rollback();
        return databaseFail(error, reason);
    };
    if (stored && !run(query, QStringLiteral("Delete From Component_Table\r\n") + keyFilter(), keyValues(), &why))
        return rollBack(why);
    const QString insert = QStringLiteral("insert into Component_Table (AppName, FormName, ComponentName, LanguageID, "
                                          "ComponentClass, ComponentProperty) values (?, ?, ?, ?, ?, ?)");
    const auto append = [&](const QObject* component, bool withBlocks) {
        return run(query, insert,
                   {m_appName, notNull(m_owner->objectName()), notNull(component->objectName()), m_languageId,
                    className(component->metaObject()), joinLines(PropertyLines(component, withBlocks))},
                   &why);
    };
    for (const QObject* component : ownedComponents(m_owner)) {
        if (!append(component, true))
            return rollBack(why);
    }
    if (!append(m_owner, false))
        return rollBack(why);
    query.finish();
    if (!m_db.commit())
        return rollBack(m_db.lastError().text());
    return true;
}

bool TLanguage::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || (widget != m_owner && !m_owner->isAncestorOf(widget)))
        return false;
    auto* handler = dynamic_cast<IFormKeyHandler*>(m_owner);
    if (!handler)
        return false;
    auto* keyEvent = static_cast<QKeyEvent*>(event);
    int key = formKey(keyEvent->key(), keyEvent->nativeVirtualKey());
    handler->FormKeyDown(m_owner, key, keyEvent->modifiers());
    if (key != 0)
        return false;
    keyEvent->accept();
    return true;
}

} // namespace morvane::localisation
