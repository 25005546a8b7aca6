#pragma once

#include "IServerMain.h"

#include <QWidget>

namespace morvane {

// The main window. It stays hidden behind the notification area; until its housekeeping (tray icon,
// clock, scanning thread, translation) is built it is a hidden window that keeps the message loop company.
class Tfrm_server_main : public QWidget, public IServerMain {
    Q_OBJECT
public:
    explicit Tfrm_server_main(QWidget* parent = nullptr);
    void StartServices() override;
};

} // namespace morvane
