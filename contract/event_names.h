#pragma once
// Names of the toolbar family's named objects and registry keys, shared by the
// host, the plug-in and its Qt-free layers (accounts/ tests its stop events
// with them), so this header holds no Qt.
#include <string>
#include <string_view>

namespace nuvex::names {

// Events of the toolbar family: "RI4Stop" (manual reset) stops every plug-in,
// "RI4StopOpt" (manual reset) closes the editors; per plug-in an auto-reset
// shutdown and refresh event and the run mutex.
inline constexpr std::string_view kStopEvent = "RI4Stop";
inline constexpr std::string_view kStopOptEvent = "RI4StopOpt";
// Held by the after-install wizard for as long as it runs, in any process.
inline constexpr std::string_view kWizardMutex = "RI4WizardMtx";
// Pulsed by a new notification window so that an older one closes.
inline constexpr std::string_view kStopNotifyEvent = "RI4StopWNotify";
inline std::string ShutdownEvent(std::string_view plugin) {
    return "RI4Shutdown_" + std::string(plugin);
}
inline std::string RefreshEvent(std::string_view plugin) {
    return std::string(plugin) + "_Refresh_Cfg";
}
inline std::string RunMutex(std::string_view plugin) {
    return std::string(plugin) + "_App_RunMtx";
}

// The host's own values (HKCU); "INNOWIN" is set while its installer runs.
inline constexpr std::string_view kHostKey = "Software\\Brannock\\";
inline constexpr std::string_view kInstallerRunningValue = "INNOWIN";

// The host's plug-in entries (HKCU) and the disabled switch (HKLM, "DISABLED" = "1").
inline constexpr std::string_view kPlugInsKey = "Software\\Brannock\\PlugIns";
inline std::string PluginKey(std::string_view plugin) {
    return std::string(kPlugInsKey) + "\\" + std::string(plugin);
}
inline constexpr std::string_view kDisabledValue = "DISABLED";

} // namespace nuvex::names
