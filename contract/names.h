#pragma once
// Names shared by the toolbar host and the plug-in: where each side finds the
// other on the session bus, and the named objects and registry keys of the
// toolbar family. The interfaces themselves are the introspection XML files
// beside this header; their adaptors and proxies are generated from them.
#include <QString>
#include <string>
#include <string_view>

namespace nuvex::bus {

inline const QString kHostService = QStringLiteral("org.brannock.Toolbar");
inline const QString kServerPath = QStringLiteral("/Server");
inline const QString kControlPath = QStringLiteral("/Control");

inline const QString kPluginService = QStringLiteral("org.brannock.Nuvex");
inline const QString kFactoryPath = QStringLiteral("/Factory");
inline const QString kPluginPathPrefix = QStringLiteral("/Plugin/");

// A peer that died or hangs must never stall a caller for long.
inline constexpr int kCallTimeoutMs = 5000;
// The plug-in's calls to the host run on its GUI thread: a host that stops
// answering may hold it this long, once; see BusHostConfig for the rest.
inline constexpr int kHostCallTimeoutMs = 1500;

} // namespace nuvex::bus

namespace nuvex::names {

// Events of the toolbar family: "RI4Stop" (manual reset) stops every plug-in,
// "RI4StopOpt" (manual reset) closes the editors; per plug-in an auto-reset
// shutdown and refresh event and the run mutex.
inline constexpr std::string_view kStopEvent = "RI4Stop";
inline constexpr std::string_view kStopOptEvent = "RI4StopOpt";
inline std::string ShutdownEvent(std::string_view plugin) {
    return "RI4Shutdown_" + std::string(plugin);
}
inline std::string RefreshEvent(std::string_view plugin) {
    return std::string(plugin) + "_Refresh_Cfg";
}
inline std::string RunMutex(std::string_view plugin) {
    return std::string(plugin) + "_App_RunMtx";
}

// The host's plug-in entries (HKCU) and the disabled switch (HKLM, "DISABLED" = "1").
inline constexpr std::string_view kPlugInsKey = "Software\\Brannock\\PlugIns";
inline std::string PluginKey(std::string_view plugin) {
    return std::string(kPlugInsKey) + "\\" + std::string(plugin);
}
inline constexpr std::string_view kDisabledValue = "DISABLED";

} // namespace nuvex::names
