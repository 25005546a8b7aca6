// morvane-admin: the administrator's tool on the server's machine (passwords, backups, restores).
#include "Admin.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return morvane::admin::run(QCoreApplication::arguments().mid(1));
}
