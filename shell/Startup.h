#pragma once

#include "unt_localdataconnect.h"

namespace morvane {

// Fills SystemInfo from systeminfo.ini and, when ConnectMode is not 0, has the database creation
// ensure the database. True when start-up may go on.
bool PrepareStartup();

// The program entry: the ten start-up steps, the message loop, and the end. Returns the exit code.
int RunServer(int argc, char** argv, Tlocaldataconnect::MainWindowFactory createMainWindow);

} // namespace morvane
