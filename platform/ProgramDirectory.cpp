#include "ProgramDirectory.h"

#include <QCoreApplication>
#include <QDir>

namespace morvane::platform {

QString programDirectory() {
    QString dir = qEnvironmentVariable("MORVANE_PROGRAM_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    dir = QDir::cleanPath(dir);
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

} // namespace morvane::platform
