#pragma once

#include <QIcon>
#include <QString>

#include <Qt>

namespace morvane {

namespace localisation {
class TLanguage;
}

// The application's standard error report: the error's own message in a box with the application's
// title and the error icon (on standard error when there is no display).
void reportError(const QString& message);

// The key of every window of the shell: F12 with Ctrl and Alt held (Shift does not matter) asks
// "文件不存在，请重新选择！" and, on OK, records the window's texts in the language database. The key is
// consumed then; every other key passes unchanged.
void collectTextsOnKey(localisation::TLanguage* language, int& Key, Qt::KeyboardModifiers Shift);

// The server's icon, for its windows and the notification area.
QIcon applicationIcon();

} // namespace morvane
