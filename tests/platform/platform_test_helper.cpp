// Stands in for a second process in the platform tests:
//   lock NAME                       take the named lock, print "locked" (or "exists"), hold it up to 30 s
//   message CAPTION TEXT DEFAULT    show a box headless and print the answer (ok, cancel, yes, no)
//   regwrite KEY PREFIX COUNT       write COUNT registry values PREFIX0.. under KEY, one change each
#include "ClassRegistry.h"
#include "MessageBox.h"
#include "NamedMutex.h"

#include <QApplication>
#include <QThread>

#include <cstdio>

using namespace morvane::platform;

namespace {

int holdLock(const QString& name) {
    NamedMutex mutex(name, true);
    std::printf("%s\n", mutex.isOwned() ? "locked" : mutex.alreadyExists() ? "exists" : "failed");
    std::fflush(stdout);
    if (!mutex.isOwned())
        return 1;
    // Bounded: the test kills this process long before.
    for (int i = 0; i < 300; ++i)
        QThread::msleep(100);
    return 0;
}

int message(int argc, char** argv, const QString& caption, const QString& text, const QString& answer) {
    QApplication app(argc, argv);
    MessageRequest request;
    request.caption = caption;
    request.text = text;
    request.icon = MessageIcon::Warning;
    request.buttons = MessageButtons::YesNoCancel;
    request.defaultAnswer = answer == QLatin1String("no")       ? MessageAnswer::No
                            : answer == QLatin1String("cancel") ? MessageAnswer::Cancel
                                                                : MessageAnswer::Yes;
    const char* names[] = {"ok", "cancel", "yes", "no"};
    std::printf("%s\n", names[static_cast<int>(showMessage(request))]);
    return 0;
}

int writeValues(const QString& key, const QString& prefix, int count) {
    ClassRegistry registry;
    for (int i = 0; i < count; ++i) {
        QString error;
        if (!registry.setValue(key, prefix + QString::number(i), QString::number(i), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const QStringList args = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list.append(QString::fromLocal8Bit(argv[i]));
        return list;
    }();
    if (args.size() == 2 && args.at(0) == QLatin1String("lock"))
        return holdLock(args.at(1));
    if (args.size() == 4 && args.at(0) == QLatin1String("message"))
        return message(argc, argv, args.at(1), args.at(2), args.at(3));
    if (args.size() == 4 && args.at(0) == QLatin1String("regwrite"))
        return writeValues(args.at(1), args.at(2), args.at(3).toInt());
    std::fprintf(stderr, "usage: lock NAME | message CAPTION TEXT DEFAULT | regwrite KEY PREFIX COUNT\n");
    return 2;
}
