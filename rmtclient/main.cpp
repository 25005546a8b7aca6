// rmtclient: calls the remote object's methods through the socket server and prints the replies as JSON.
#include "RemoteClient.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return morvane::rmtclient::run(QCoreApplication::arguments().mid(1));
}
