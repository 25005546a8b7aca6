#pragma once

#include <QString>

namespace morvane::platform {

// The directory of the executable, with its trailing separator: where the other programs and the lock
// component lie. $MORVANE_PROGRAM_DIR overrides it so that tests and relocated installations can run the
// programs against a directory of their own.
QString programDirectory();

// Where the configuration files, the databases, the audit log and the event ring lie, with its trailing
// separator: $MORVANE_HOME, else the program's directory. An installed server keeps its programs in a
// read-only directory and its data in a writable one of its own.
QString dataDirectory();

} // namespace morvane::platform
