// regsvr32 [/s] [/u] PATH: loads a component library and runs its registration (or, with /u, its
// unregistration) entry. Without /s the outcome is shown in a message box.
#include "Automation.h"
#include "MessageBox.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <dlfcn.h>
#include <memory>

using namespace morvane::platform;

namespace {

// The exit codes of the platform's registration tool.
enum Exit { Success = 0, BadUsage = 1, LoadFailed = 3, EntryMissing = 4, EntryFailed = 5 };

int report(bool silent, int code, const QString& text) {
    if (!silent) {
        MessageRequest request;
        request.caption = QStringLiteral("RegSvr32");
        request.text = text;
        request.icon = code == Success ? MessageIcon::Information : MessageIcon::Error;
        showMessage(request);
    }
    return code;
}

bool isSwitch(const QString& arg, QChar letter) {
    return arg.size() == 2 && (arg[0] == QLatin1Char('/') || arg[0] == QLatin1Char('-')) && arg[1].toLower() == letter;
}

} // namespace

int main(int argc, char* argv[]) {
    // A box needs the widget application; a headless run prints "Caption: text" without one.
    std::unique_ptr<QCoreApplication> app;
    if (isHeadless())
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);

    bool silent = false;
    bool unregister = false;
    QString path;
    bool usageError = false;
    for (const QString& arg : app->arguments().mid(1)) {
        if (isSwitch(arg, QLatin1Char('s')))
            silent = true;
        else if (isSwitch(arg, QLatin1Char('u')))
            unregister = true;
        else if (path.isEmpty())
            path = arg; // an absolute path begins with '/' too: only /s and /u are switches
        else
            usageError = true;
    }
    if (usageError || path.isEmpty())
        return report(
            silent, BadUsage,
            QStringLiteral(
                "Usage: regsvr32 [/s] [/u] PATH\n/u - Unregister server\n/s - Silent; display no message boxes"));

    const QString absolute = QFileInfo(path).absoluteFilePath();
    void* library = ::dlopen(absolute.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        return report(silent, LoadFailed,
                      QStringLiteral("LoadLibrary(\"%1\") failed - %2").arg(path, QString::fromLocal8Bit(::dlerror())));
    }
    const char* entryName = unregister ? kUnregisterServerSymbol : kRegisterServerSymbol;
    const QString entry = QLatin1String(entryName);
    auto function = reinterpret_cast<RegisterServerFn>(::dlsym(library, entryName));
    if (!function) {
        return report(silent, EntryMissing,
                      QStringLiteral("%1 was loaded, but the %2 entry point was not found.").arg(path, entry));
    }
    const int32_t result = function();
    if (!succeeded(result)) {
        return report(silent, EntryFailed,
                      QStringLiteral("%1 in %2 failed.\nReturn code was: %3").arg(entry, path, hresultText(result)));
    }
    return report(silent, Success, QStringLiteral("%1 in %2 succeeded.").arg(entry, path));
}
