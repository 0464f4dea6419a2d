#pragma once
// The mail plug-in's host configuration values: every key with its default,
// written once, and typed accessors over HostConfig. A read that fails (host
// busy, restarting, gone) answers the last value this object read, or the
// default before any read worked: a failed read never switches the plug-in
// off or hides the tray. Qt-free, so that the toolbar host can share the names.
#include "lib/account_keys.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace nuvex {

class HostConfig;

namespace keys {
// The plug-in's on/off value is the plug-in name followed by this ("MAIL_ALL").
inline constexpr std::string_view kEnabledSuffix = "_ALL";
inline constexpr std::string_view kShowTray = "SHOW_TRAY";
inline constexpr std::string_view kShowButton = "SHOW_BUTTON";
// Start the toolbar host, and with it the plug-in, when the user logs in.
inline constexpr std::string_view kAutostart = "AUTOSTART";
// Days and hours in which new mail is counted but not shown or sounded
// ("Mon-Fri 22:00-07:00"; lib/quiet_hours.h).
inline constexpr std::string_view kQuietHours = "QUIET_HOURS";
// 1: new mail through the desktop's notifications; 0: the program's own
// window; unset: the desktop's wherever a notification server runs.
inline constexpr std::string_view kNotifyDesktop = "NOTIFY_DESKTOP";
inline constexpr std::string_view kButtonAction = "EBUTTACTION";
inline constexpr std::string_view kButtonAccount = "MAILACCOUNT";
inline constexpr std::string_view kComposeAccount = "MAILACCCOMP";
inline constexpr std::string_view kShowWindow = "DISPNOTIFWIN";
inline constexpr std::string_view kPlaySound = "PLAYSOUND";
inline constexpr std::string_view kChangeTray = "CHANGETRAY";
inline constexpr std::string_view kCurrentBrowserWindow = "CURRBROWSEWINDOW";
inline constexpr std::string_view kSetupLastChange = "SETUP_LAST_CHANGE";
inline constexpr std::string_view kSetupLastDoneChange = "SETUP_LAST_DONE_CHANGE";
inline constexpr std::string_view kCurrentMailto = "CURRENT_MAILTO";
inline constexpr std::string_view kRegisterUrl = "REG_MAIL";
inline constexpr std::string_view kHelpLink = "WHAT_LINK";
inline constexpr std::string_view kHelpUrl = "HELP_URL";
inline constexpr std::string_view kAboutUrl = "ABOUT_URL";
// Set by the installer: open the account wizard when no account is stored yet.
inline constexpr std::string_view kAfterInstallWizard = "AFTERINSTALLWIZARD";
// How many accounts a check pass checks at once (1: one after another).
inline constexpr std::string_view kParallelChecks = "PARALLELCHECKS";
inline constexpr std::int32_t kParallelChecksDefault = 4;
inline constexpr std::int32_t kParallelChecksMax = 16;
inline constexpr std::string_view kNotifyPosX = "NOTIFY_POSX";
inline constexpr std::string_view kNotifyPosY = "NOTIFY_POSY";
// "ALLOW_" + type code: an optional account type the user may add.
inline constexpr std::string_view kAllowTypePrefix = "ALLOW_";
} // namespace keys

// "MAIL_ALL" for the plug-in "MAIL".
std::string EnabledKey(std::string_view pluginName);
std::string AllowTypeKey(std::string_view typeCode);

// "SHOW_BUTTON" read as bits: 1 shows the picture, 2 the caption; 0 (or
// less) hides the button and its separator.
struct ButtonShow {
    std::int32_t value = 0;
    bool Visible() const { return value > 0; }
    bool Picture() const { return value > 0 && value % 2 == 1; }
    bool Caption() const { return value > 1; }
};

// The plug-in-wide notification and navigation choices of the settings pages.
struct NotifyChoices {
    bool currentBrowserWindow = false;
    bool showWindow = true;
    bool playSound = true;
    bool changeTray = true;
};

class PluginSettings {
public:
    // pluginName: the prefix of the on/off key ("MAIL").
    explicit PluginSettings(const std::string& pluginName);

    const std::string& EnabledKeyName() const { return enabledKey_; }

    // Each read goes to cfg (null: the host cannot be reached) and, when it
    // fails, answers the last value read for that key, else the default.
    bool Enabled(HostConfig* cfg);                           // default false
    bool ShowTray(HostConfig* cfg);                          // default false
    bool Autostart(HostConfig* cfg);                         // default false
    ButtonShow ShowButton(HostConfig* cfg);                  // default 0
    bool ButtonRunsAccountAction(HostConfig* cfg);           // "EBUTTACTION" != 0
    std::string ButtonAccount(HostConfig* cfg);              // "MAILACCOUNT"
    std::string Text(HostConfig* cfg, std::string_view key); // default ""
    // The host answers a value nobody has stored as false, so a choice stays
    // at keep until the settings pages have stored one.
    NotifyChoices Choices(HostConfig* cfg, const NotifyChoices& keep);
    // "PARALLELCHECKS": unset, empty or not a number gives the default (4);
    // the number is held to 1 .. 16.
    std::int32_t ParallelChecks(HostConfig* cfg);

    bool WriteEnabled(HostConfig* cfg, bool enabled);
    bool WriteShowTray(HostConfig* cfg, bool shown);

private:
    void Remember(std::string_view key, std::string value);
    std::optional<std::string> Last(std::string_view key) const;
    bool ReadBool(HostConfig* cfg, std::string_view key, bool fallback);
    std::int32_t ReadInt(HostConfig* cfg, std::string_view key, std::int32_t fallback);
    bool ReadChoice(HostConfig* cfg, std::string_view key, bool keep);

    std::string enabledKey_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> last_; // key -> last value read, as text
};

} // namespace nuvex
