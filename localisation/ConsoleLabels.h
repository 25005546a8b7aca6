#pragma once

#include "JsonRpc.h"

#include <QJsonObject>
#include <QString>

#include <memory>

namespace morvane::localisation {

// The browser console's labels in one language, from the language database (DB/Language.mdb): the rows of
// Component_Table whose FormName is "console", keyed like the windows' rows by the program's product name
// and the LanguageID; ComponentName is the label's key, the Caption line of ComponentProperty its text.
// At most kMaxLabels labels of kMaxText characters each. A missing or unreadable database gives no labels
// (the console keeps its own); `error` tells why when it is unreadable.
//
// Threads: any; each call opens its own read-only connection.
inline constexpr int kMaxLabels = 1000;
inline constexpr int kMaxText = 500;
QJsonObject readConsoleLabels(const QString& databasePath, const QString& appName, int languageId,
                              QString* error = nullptr);

// The protocol's ConsoleLabels {"language": N}, for any operator who has logged on (like the other reads of
// what every operator sees); every other method goes to the inner guard.
class LabelGuard : public platform::rpc::LayeredGuard {
public:
    LabelGuard(QString databasePath, QString appName, std::unique_ptr<platform::rpc::ConnectionGuard> inner);
    static platform::rpc::GuardFactory factory(QString databasePath, QString appName,
                                               platform::rpc::GuardFactory inner);

    std::optional<QJsonObject> handle(const QString& method, const QJsonValue& params) override;

private:
    const QString m_databasePath;
    const QString m_appName;
};

} // namespace morvane::localisation
