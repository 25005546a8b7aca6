#include "Admin.h"

#include "NamedMutex.h"
#include "PrivateFiles.h"
#include "ProgramDirectory.h"
#include "SystemInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace morvane::admin {

namespace {

constexpr int kUsage = 2;
constexpr int kLongestLine = 1024;

int usage() {
    std::fputs("usage: morvane-admin init\n"
               "       morvane-admin password OPERATOR [--password-file FILE]\n"
               "       morvane-admin backup [FILE] [--keep N]\n"
               "       morvane-admin restore FILE\n",
               stderr);
    return kUsage;
}

int report(const Outcome& outcome) {
    std::fprintf(outcome.ok ? stdout : stderr, "morvane-admin: %s\n", qPrintable(outcome.text));
    return outcome.ok ? 0 : 1;
}

// Run as root, the tool becomes the owner of the data directory (the service's user) before it touches
// anything: the files it makes are then the server's own, and it holds no more power than the server.
bool becomeDataOwner(QString* error) {
    if (::geteuid() != 0)
        return true;
    struct stat info = {};
    const QByteArray dir = QFile::encodeName(platform::dataDirectory());
    if (::stat(dir.constData(), &info) != 0 || info.st_uid == 0)
        return true;
    const passwd* user = ::getpwuid(info.st_uid);
    if (!user || ::initgroups(user->pw_name, user->pw_gid) != 0 || ::setgid(user->pw_gid) != 0 ||
        ::setuid(user->pw_uid) != 0) {
        *error = QStringLiteral("cannot become %1, the owner of %2")
                     .arg(platform::ownerText(info.st_uid), platform::dataDirectory());
        return false;
    }
    // Root's runtime folder is not this user's: the locks are looked for where the service keeps them.
    qunsetenv("XDG_RUNTIME_DIR");
    return true;
}

// One line of at most kLongestLine characters from the terminal, unechoed, or from standard input when
// that is no terminal.
std::optional<QString> readSecret(const char* prompt) {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    termios saved = {};
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    char buffer[kLongestLine + 2] = {};
    const bool read = std::fgets(buffer, sizeof(buffer), stdin) != nullptr;
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!read)
        return std::nullopt;
    QString line = QString::fromLocal8Bit(buffer);
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

std::optional<QString> newPassword(const QString& passwordFile, QString* error) {
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1: %2").arg(passwordFile, file.errorString());
            return std::nullopt;
        }
        QString line = QString::fromLocal8Bit(file.readLine(kLongestLine + 1));
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        return line;
    }
    const std::optional<QString> first = readSecret("New password: ");
    if (!first) {
        *error = QStringLiteral("no password was given");
        return std::nullopt;
    }
    if (::isatty(STDIN_FILENO)) {
        const std::optional<QString> again = readSecret("The same again: ");
        if (!again || *again != *first) {
            *error = QStringLiteral("the two passwords differ; nothing was changed");
            return std::nullopt;
        }
    }
    return first;
}

} // namespace

int run(const QStringList& arguments) {
    ::umask(077);
    if (arguments.isEmpty())
        return usage();
    const QString command = arguments.first();
    QStringList rest = arguments.mid(1);
    QString option;
    int keep = -1;
    for (qsizetype i = 0; i < rest.size(); ++i) {
        if (rest[i] == QLatin1String("--password-file") || rest[i] == QLatin1String("--keep")) {
            if (i + 1 >= rest.size())
                return usage();
            bool ok = true;
            if (rest[i] == QLatin1String("--keep"))
                keep = rest[i + 1].toInt(&ok);
            else
                option = QFileInfo(rest[i + 1]).absoluteFilePath();
            if (!ok || (rest[i] == QLatin1String("--keep") && (keep < 1 || command != QLatin1String("backup"))))
                return usage();
            rest.remove(i, 2);
            --i;
        } else if (rest[i].startsWith(QLatin1String("--"))) {
            return usage();
        }
    }
    const bool fits = command == QLatin1String("init")       ? rest.isEmpty()
                      : command == QLatin1String("password") ? rest.size() == 1
                      : command == QLatin1String("backup")   ? rest.size() <= 1
                      : command == QLatin1String("restore")  ? rest.size() == 1
                                                             : false;
    if (!fits)
        return usage();
    if (!option.isEmpty() && command != QLatin1String("password"))
        return usage();
    // Files named relative to where the tool was called.
    const QString file =
        rest.isEmpty() || command == QLatin1String("password") ? QString() : QFileInfo(rest.first()).absoluteFilePath();

    QString error;
    // The password is read as the caller, who may read a file that the service's user may not.
    std::optional<QString> password;
    if (command == QLatin1String("password")) {
        password = newPassword(option, &error);
        if (!password)
            return report({false, error});
    }
    if (!becomeDataOwner(&error))
        return report({false, error});
    const QString ini = platform::systemInfoPath();
    if (!QFileInfo::exists(ini))
        return report(
            {false, QStringLiteral("There is no %1 (set MORVANE_HOME to the server's data directory)").arg(ini)});
    platform::TSystemInfo info;
    platform::readSystemInfo(ini, info);
    if (info.ConnectMode == 0)
        return report({false, QStringLiteral("%1 names no database (ConnectMode=0)").arg(ini)});
    const platform::SqlConnectionSettings settings = platform::databaseSettings(info);

    if (command == QLatin1String("init"))
        return report(initDatabase(settings));
    if (command == QLatin1String("password"))
        return report(setPassword(settings, rest.first(), *password));
    if (command == QLatin1String("backup")) {
        QString target = file;
        const QString dir = platform::dataDirectory() + QStringLiteral("backup");
        if (target.isEmpty()) {
            if (!platform::makePrivatePath(dir, &error))
                return report({false, error});
            target = backupFileName(dir, settings.provider, QDateTime::currentDateTime());
        }
        const int status = report(backupDatabase(settings, target));
        if (status == 0 && keep > 0) {
            for (const QString& removed : pruneBackups(QFileInfo(target).absolutePath(), keep))
                std::printf("morvane-admin: removed the older copy %s\n", qPrintable(removed));
        }
        return status;
    }
    // A restore holds the server's own single-instance lock, so that no server starts while it runs.
    platform::NamedMutex server(QStringLiteral("morvane"), true);
    if (server.alreadyExists())
        return report({false, QStringLiteral("The server is running: stop it first (systemctl stop morvane); nothing "
                                             "was restored")});
    if (!server.isOwned())
        return report({false, QStringLiteral("Nothing was restored: ") + server.failureText()});
    return report(restoreDatabase(settings, file));
}

} // namespace morvane::admin
