#include "ProgramDirectory.h"

#include <QCoreApplication>
#include <QDir>

namespace morvane::platform {

namespace {

QString withSeparator(const QString& path) {
    QString dir = QDir::cleanPath(path);
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

} // namespace

QString programDirectory() {
    const QString dir = qEnvironmentVariable("MORVANE_PROGRAM_DIR");
    return withSeparator(dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir);
}

QString dataDirectory() {
    const QString dir = qEnvironmentVariable("MORVANE_HOME");
    return dir.isEmpty() ? programDirectory() : withSeparator(dir);
}

} // namespace morvane::platform
