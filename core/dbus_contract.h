#pragma once
// Names shared by the toolbar host and the plug-in on the session bus. The
// interfaces mirror the toolbar's two automation interfaces method for method,
// in the same order and with the same arguments (out-arguments as D-Bus
// out-arguments, byte arrays as "ay"). The adaptors in core/ and host/ declare
// them; callers build their messages against these names.
#include <QString>

namespace nuvex::bus {

inline const QString kHostService = QStringLiteral("org.brannock.Toolbar");
inline const QString kServerPath = QStringLiteral("/Server");
inline const QString kServerInterface = QStringLiteral("org.brannock.ITB4Server");
inline const QString kControlPath = QStringLiteral("/Control");
inline const QString kControlInterface = QStringLiteral("org.brannock.Control");

inline const QString kPluginService = QStringLiteral("org.brannock.Nuvex");
inline const QString kFactoryPath = QStringLiteral("/Factory");
inline const QString kFactoryInterface = QStringLiteral("org.brannock.PluginFactory");
inline const QString kPluginPathPrefix = QStringLiteral("/Plugin/");
inline const QString kPluginInterface = QStringLiteral("org.brannock.ITB4Plugin");

// A peer that died or hangs must never stall a caller for long.
inline constexpr int kCallTimeoutMs = 5000;

} // namespace nuvex::bus
