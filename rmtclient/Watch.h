#pragma once

#include "Credentials.h"
#include "RemoteClient.h"

#include <QJsonObject>
#include <QStringList>

namespace morvane::rmtclient {

// "watch": subscribes to the server's events and prints one line per event, resuming by itself (with the
// last number it printed) after a lost connection or a restarted server.
bool watchUsable(const QStringList& words);
int runWatch(const Endpoint& endpoint, Credentials credentials, const QStringList& words);

// One event as a line for people: time, number, kind, where (device and door names, else MAC and number),
// who, and what.
QString eventLine(const QJsonObject& event);

} // namespace morvane::rmtclient
