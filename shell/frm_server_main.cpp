#include "frm_server_main.h"

namespace morvane {

Tfrm_server_main::Tfrm_server_main(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("frm_server_main"));
    setWindowTitle(QStringLiteral("Tavrel Morvane Server"));
    setMinimumSize(400, 260);
    resize(400, 260);
}

void Tfrm_server_main::StartServices() {
    // The component registration check and the launch of the socket server come with the main
    // window's housekeeping; nothing is started here yet.
}

} // namespace morvane
