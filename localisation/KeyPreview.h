#pragma once

#include <Qt>

class QObject;

namespace morvane::localisation {

// A form whose own key handler sees each key press before the control that has the focus. The language
// component turns this on for its owner. A handler that sets Key to 0 has consumed the key: the control
// never sees it.
class IFormKeyHandler {
public:
    virtual ~IFormKeyHandler() = default;
    virtual void FormKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift) = 0;
};

} // namespace morvane::localisation
