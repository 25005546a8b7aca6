#pragma once

#include <Qt>

#include <QtGlobal>

class QObject;

namespace morvane::localisation {

// The key a form's handler is given for a key press. Ctrl+Alt+F1 to F12 reach an X11 client as the
// console switch keysyms XF86Switch_VT_1 to 12, to which Qt gives no key: they are the function keys
// they come from. Other platforms' native key codes never reach that range.
inline int formKey(int key, quint32 nativeVirtualKey) {
    constexpr quint32 kSwitchVt1 = 0x1008FE01;
    constexpr quint32 kSwitchVt12 = 0x1008FE0C;
    if (nativeVirtualKey >= kSwitchVt1 && nativeVirtualKey <= kSwitchVt12)
        return Qt::Key_F1 + int(nativeVirtualKey - kSwitchVt1);
    return key;
}

// A form whose own key handler sees each key press before the control that has the focus. The language
// component turns this on for its owner. A handler that sets Key to 0 has consumed the key: the control
// never sees it.
class IFormKeyHandler {
public:
    virtual ~IFormKeyHandler() = default;
    virtual void FormKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift) = 0;
};

} // namespace morvane::localisation
