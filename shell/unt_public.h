#pragma once

// The shell's names for the configuration record and the program's directory, which live in the
// platform library so that the server's other parts reach them without the shell.
#include "ProgramDirectory.h"
#include "SystemInfo.h"

namespace morvane {

using platform::dataDirectory;
using platform::programDirectory;
using platform::readSystemInfo;
using platform::SystemInfo;
using platform::systemInfoPath;
using platform::TSystemInfo;

} // namespace morvane
