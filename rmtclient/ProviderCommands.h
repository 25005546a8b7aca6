#pragma once

#include "RemoteClient.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The data-provider commands of the command-line client: providers, get, exec, apply and request.
namespace morvane::rmtclient {

bool isProviderCommand(const QString& command);
// Whether the words after a provider command are a well-formed use of it (options included).
bool providerCommandUsable(const QString& command, const QStringList& words);
// Runs one; the exit status as run() gives it.
int runProviderCommand(Session& session, const QString& command, const QStringList& words);

// A data packet (its JSON object) as an aligned text table: the field names over the rows, NULL for
// a null, wide characters counted as two columns.
QString packetTable(const QJsonObject& packet);

} // namespace morvane::rmtclient
