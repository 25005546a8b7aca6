#include "LocalTime.h"

#include <QDateTime>

#include <cstdio>
#include <ctime>

namespace morvane::platform {

QString localTimeText(qint64 msSinceEpoch) {
    // Whole seconds towards the past, so that a moment before the epoch keeps its milliseconds positive.
    const qint64 seconds = msSinceEpoch / 1000 - (msSinceEpoch % 1000 < 0 ? 1 : 0);
    const int ms = static_cast<int>(msSinceEpoch - seconds * 1000);
    const time_t when = static_cast<time_t>(seconds);
    tm local{};
    if (!::localtime_r(&when, &local))
        return QDateTime::fromMSecsSinceEpoch(msSinceEpoch).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
    return QString::fromLatin1(text);
}

} // namespace morvane::platform
