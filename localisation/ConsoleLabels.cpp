#include "ConsoleLabels.h"

#include "Automation.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <atomic>
#include <cmath>

namespace morvane::localisation {

namespace {

using platform::AutomationError;
namespace hr = platform::hr;

const QString kUsage = QStringLiteral("ConsoleLabels needs {\"language\": NUMBER} (a LanguageID: 2052, 1033, ...)");

// The value of the Caption line of a property text, if it has one.
QString caption(const QString& properties) {
    for (const QStringView line : QStringView(properties).split(u'\n')) {
        const QStringView trimmed = line.trimmed();
        if (trimmed.startsWith(u"Caption:", Qt::CaseInsensitive))
            return trimmed.mid(8).toString();
    }
    return {};
}

} // namespace

QJsonObject readConsoleLabels(const QString& databasePath, const QString& appName, int languageId, QString* error) {
    QJsonObject labels;
    if (QFileInfo(databasePath).size() <= 0)
        return labels;
    static std::atomic<int> serial{0};
    const QString name = QStringLiteral("morvane-console-labels-%1").arg(++serial);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databasePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=1000"));
        QSqlQuery query(db);
        if (!db.open() ||
            !query.prepare(QStringLiteral("select ComponentName, ComponentProperty from Component_Table where "
                                          "AppName = ? and FormName = 'console' and LanguageID = ? order by ID")) ||
            (query.addBindValue(appName.isNull() ? QStringLiteral("") : appName), query.addBindValue(languageId),
             !query.exec())) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(databasePath,
                                                      db.isOpen() ? query.lastError().text() : db.lastError().text());
        } else {
            while (query.next() && labels.size() < kMaxLabels) {
                const QString key = query.value(0).toString().trimmed().left(64);
                const QString text = caption(query.value(1).toString()).left(kMaxText);
                if (!key.isEmpty() && !text.isEmpty())
                    labels.insert(key, text);
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return labels;
}

LabelGuard::LabelGuard(QString databasePath, QString appName, std::unique_ptr<platform::rpc::ConnectionGuard> inner)
    : LayeredGuard(std::move(inner))
    , m_databasePath(std::move(databasePath))
    , m_appName(std::move(appName)) {}

platform::rpc::GuardFactory LabelGuard::factory(QString databasePath, QString appName,
                                                platform::rpc::GuardFactory inner) {
    return platform::rpc::layeredFactory<LabelGuard>(std::move(inner), std::move(databasePath), std::move(appName));
}

std::optional<QJsonObject> LabelGuard::handle(const QString& method, const QJsonValue& params) {
    return handleOwn(QLatin1String("ConsoleLabels"), method, params, [&] {
        const QJsonValue language = params.isObject()  ? params.toObject().value(QStringLiteral("language"))
                                    : params.isArray() ? params.toArray().at(0)
                                                       : QJsonValue();
        const double number = language.toDouble(-1);
        if (!language.isDouble() || number < 0 || number > 65535 || number != std::floor(number))
            throw AutomationError(hr::E_INVALIDARG, kUsage);
        QString why;
        const QJsonObject labels = readConsoleLabels(m_databasePath, m_appName, int(number), &why);
        if (!why.isEmpty())
            qWarning("morvane: the console's labels are not read: %s", qPrintable(why));
        return QJsonObject{{QStringLiteral("hresult"), hr::S_OK},
                           {QStringLiteral("language"), int(number)},
                           {QStringLiteral("labels"), labels}};
    });
}

} // namespace morvane::localisation
