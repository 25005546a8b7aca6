#pragma once

#include "TypeInfo.h"

#include <QString>

namespace morvane::server_TLB {

// Identities of the type library "server" and its one creatable class.
inline const QString LIBID_server = QStringLiteral("{BDF42383-20AE-49BB-A2B1-D07C76A9BAD5}");
inline const QString IID_Irmtserver = QStringLiteral("{39B8D423-81A8-4839-AA67-163168E2D914}");
inline const QString CLASS_rmtserver = QStringLiteral("{35D710D5-91F6-4BAE-A571-8ED6C8E5E82D}");
inline const QString IID_IAppServer = QStringLiteral("{1AEFCC20-7A24-11D2-98B0-C69BEB4B5B6D}");
inline const QString LIBID_Midas = QStringLiteral("{83F57D68-CA9A-11D2-9088-00C04FA35CFA}");
inline const QString LIBID_stdole = QStringLiteral("{00020430-0000-0000-C000-000000000046}");
inline const QString ProgID_rmtserver = QStringLiteral("server.rmtserver");
// The framework's application-server category, implemented by every remote data module.
inline const QString CATID_MidasAppServer = QStringLiteral("{13E85B3C-9508-11D2-AB63-00C04FA35CFA}");

// The type library: the interface Irmtserver (its 51 slots: IUnknown, IDispatch, the seven inherited
// IAppServer methods and its own 37) and the coclass rmtserver. Built once, never changed.
const platform::TypeLibraryDesc& typeLibrary();

} // namespace morvane::server_TLB
