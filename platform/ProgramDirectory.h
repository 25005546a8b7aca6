#pragma once

#include <QString>

namespace morvane::platform {

// The directory of the executable, with its trailing separator: where the configuration files and the
// language database lie. $MORVANE_PROGRAM_DIR overrides it so that tests and relocated installations can
// run the programs against a directory of their own.
QString programDirectory();

} // namespace morvane::platform
