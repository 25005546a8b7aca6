#pragma once

#include <QString>

#include <functional>

namespace morvane::platform {

enum class MessageIcon { None, Information, Warning, Error, Question, Stop = Error };
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MessageAnswer { Ok, Cancel, Yes, No };

struct MessageRequest {
    QString text;
    QString caption;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
    MessageAnswer defaultAnswer = MessageAnswer::Ok;
};

// Shows a message box: a QMessageBox where a display is present; on a headless run (no DISPLAY nor
// WAYLAND_DISPLAY, or Qt's offscreen/minimal platform) one line "Caption: text" on standard error and
// the default answer, never a box that waits.
MessageAnswer showMessage(const MessageRequest& request);

// Tests observe (and answer) every box through this hook; pass nullptr to restore the normal display.
using MessageHook = std::function<MessageAnswer(const MessageRequest&)>;
void setMessageHook(MessageHook hook);

bool isHeadless();

} // namespace morvane::platform
