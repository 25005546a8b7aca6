#include "MessageBox.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <mutex>

namespace morvane::platform {

namespace {

// A standard mutex rather than QMutex: ThreadSanitizer sees its locking, so tests of threaded code that
// report through message boxes are checked without false alarms.
std::mutex& hookMutex() {
    static std::mutex mutex; // guards hook() (main thread and any thread that reports)
    return mutex;
}

MessageHook& hook() {
    static MessageHook installed;
    return installed;
}

QMessageBox::Icon toQtIcon(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::None:
        return QMessageBox::NoIcon;
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::Error:
        return QMessageBox::Critical;
    case MessageIcon::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton toQtButton(MessageAnswer answer) {
    switch (answer) {
    case MessageAnswer::Ok:
        return QMessageBox::Ok;
    case MessageAnswer::Cancel:
        return QMessageBox::Cancel;
    case MessageAnswer::Yes:
        return QMessageBox::Yes;
    case MessageAnswer::No:
        return QMessageBox::No;
    }
    return QMessageBox::Ok;
}

QMessageBox::StandardButtons toQtButtons(MessageButtons buttons) {
    switch (buttons) {
    case MessageButtons::Ok:
        return QMessageBox::Ok;
    case MessageButtons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case MessageButtons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case MessageButtons::YesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

} // namespace

bool isHeadless() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return true;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return true;
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void setMessageHook(MessageHook installed) {
    std::lock_guard lock(hookMutex());
    hook() = std::move(installed);
}

MessageAnswer showMessage(const MessageRequest& request) {
    MessageHook current;
    {
        std::lock_guard lock(hookMutex());
        current = hook();
    }
    if (current)
        return current(request);
    if (isHeadless()) {
        // One line per box, even for a text of several lines (a driver's message, say).
        QString text = request.caption + QStringLiteral(": ") + request.text;
        text.replace(QLatin1String("\r\n"), QLatin1String(" ")).replace(QLatin1Char('\n'), QLatin1Char(' '));
        text.replace(QLatin1Char('\r'), QLatin1Char(' '));
        const QByteArray line = text.toLocal8Bit();
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
        return request.defaultAnswer;
    }
    QMessageBox box(toQtIcon(request.icon), request.caption, request.text, toQtButtons(request.buttons));
    box.setDefaultButton(toQtButton(request.defaultAnswer));
    switch (box.exec()) {
    case QMessageBox::Ok:
        return MessageAnswer::Ok;
    case QMessageBox::Cancel:
        return MessageAnswer::Cancel;
    case QMessageBox::Yes:
        return MessageAnswer::Yes;
    case QMessageBox::No:
        return MessageAnswer::No;
    default:
        // A box closed without a choice answers as its escape button would.
        return request.buttons == MessageButtons::Ok      ? MessageAnswer::Ok
               : request.buttons == MessageButtons::YesNo ? MessageAnswer::No
                                                          : MessageAnswer::Cancel;
    }
}

} // namespace morvane::platform
