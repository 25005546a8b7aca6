#pragma once

#include <QString>

namespace morvane {

// The class of the lock-communication component, whose registered version the server checks at start.
inline const QString kLockComponentClsid = QStringLiteral("{2F2ADD3F-A4A8-4147-8754-31A0BD1B0A8E}");

// True exactly when the class is registered and its version (the "Version" key's default value, else
// the class key's own) equals SystemInfo.ComVersion, letter for letter.
bool IsLockComponentCurrent(const QString& clsid);

// Starts the silent registration of the lock-communication library beside the server,
// `regsvr32 /s "<program dir>KestrovaCom.so"`, without waiting for it or looking at its outcome.
void RegisterLockComponent();

// The socket server program beside the server.
QString socketServerPath();

enum class SocketServerStart { Launched, AlreadyRunning, Missing };
// Launches the socket server unless its single-instance object "SCKTSRVR" shows it running. The caller
// reports a missing program (the main window ends the process then).
SocketServerStart launchSocketServer();

} // namespace morvane
