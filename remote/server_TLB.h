#pragma once

#include <QString>

namespace morvane::server_TLB {

// Identities of the type library "server" and its one creatable class.
inline const QString LIBID_server = QStringLiteral("{BDF42383-20AE-49BB-A2B1-D07C76A9BAD5}");
inline const QString IID_Irmtserver = QStringLiteral("{39B8D423-81A8-4839-AA67-163168E2D914}");
inline const QString CLASS_rmtserver = QStringLiteral("{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}");
inline const QString IID_IAppServer = QStringLiteral("{1AEFCC20-7A24-11D2-98B0-C69BEB4B5B6D}");
inline const QString ProgID_rmtserver = QStringLiteral("server.rmtserver");
// The framework's application-server category, implemented by every remote data module.
inline const QString CATID_MidasAppServer = QStringLiteral("{13E85B3C-9508-11D2-AB63-00C04FA35CFA}");

} // namespace morvane::server_TLB
