#pragma once

#include <QString>

namespace morvane::platform {

// A moment (milliseconds since the epoch) in local time, as QDateTime writes it with
// "yyyy-MM-ddTHH:mm:ss.zzz". Through localtime_r, which reads the time zone once: QDateTime's own
// conversion has the C library look at the zone's file again each time, a file system call on every
// audit line and every event.
QString localTimeText(qint64 msSinceEpoch);

} // namespace morvane::platform
