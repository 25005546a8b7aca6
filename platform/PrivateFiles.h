#pragma once

#include <QString>

#include <sys/types.h>

namespace morvane::platform {

// What only the server's user may read or change (a database, a profile with the database's password,
// the class registry, the locks and endpoints) is made 0600, and a folder made for it 0700, whatever the
// process's umask: such a file never exists, not even for an instant, with a wider mode.

// Makes `path` when it is missing: an empty file, 0600, never through a link. An existing file is left as
// it is, mode too. False, with the reason, when it cannot be made.
bool createPrivateFile(const QString& path, QString* error = nullptr);

// Makes the folder `path` and every missing folder above it, each 0700; existing ones are left as they are.
// False, with the reason, when one cannot be made.
bool makePrivatePath(const QString& path, QString* error = nullptr);

// How the messages name a file's owner and mode: "uid 65534", "0777".
QString ownerText(uid_t owner);
QString modeText(mode_t mode);

} // namespace morvane::platform
