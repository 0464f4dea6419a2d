#include "core/settings_refresh.h"

#include "accounts/account_list.h"
#include "accounts/check_cycle.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "core/button_presenter.h"
#include "core/mail_host.h"
#include "core/navigation_dispatcher.h"
#include "core/plugin_log.h"
#include "core/plugin_process.h"
#include "integration/autostart.h"
#include "integration/sendto.h"
#include "lib/host_config.h"
#include "lib/log.h"

#include <QElapsedTimer>

namespace nuvex {

void TSettingsRefresh::Run() {
    if (running_) {
        return;
    }
    running_ = true;
    struct Clear {
        bool& flag;
        ~Clear() { flag = false; }
    } clear{running_};

    if (!PluginConnected()) {
        return;
    }
    HostConfig* cfg = parts_.host.Settings();
    if (!cfg) {
        return;
    }
    QElapsedTimer took;
    took.start();
    log::RunIsolated("plugin", "ping", [&] { parts_.ping(); });
    const bool wasEnabled = enabled_;
    log::RunIsolated("plugin", "enabled and tray", [&] { EnabledAndTray(*cfg); });
    if (enabled_) {
        log::RunIsolated("plugin", "allowed types", [&] { AllowedTypes(*cfg); });
        log::RunIsolated("plugin", "notify choices", [&] { Choices(*cfg); });
        bool changed = false;
        log::RunIsolated("plugin", "stamps", [&] { changed = Stamps(*cfg); });
        changed = changed || changePending_;
        bool upkept = false;
        log::RunIsolated("plugin", "accounts", [&] { upkept = Accounts(*cfg, changed); });
        changePending_ = changed && !upkept;
        log::RunIsolated("plugin", "upkeep close", [&] { parts_.hooks.UpkeepClose(changed && upkept); });
    } else {
        log::RunIsolated("plugin", "disabled cleanup", [&] {
            // Only a value read as off: a failed read on the first refresh also
            // answers "off", and must not take the user's entries away.
            const std::optional<bool> on = cfg->ReadCfgBool(parts_.settings.EnabledKeyName());
            if (on && !*on) {
                parts_.hooks.DisabledCleanup();
            }
        });
    }
    if (!wasEnabled && enabled_) {
        parts_.cycle.SetNextTick(0);
    }
    // For the soak and many-accounts benches (nuvex.plugin.debug=true).
    qCDebug(lcPlugin) << "settings refresh took" << took.elapsed() << "ms";
}

bool TSettingsRefresh::TakeReloadAfterPass() {
    const bool reload = reloadAfterPass_;
    reloadAfterPass_ = false;
    return reload;
}

void TSettingsRefresh::EnabledAndTray(HostConfig& cfg) {
    // A failed read keeps the last known values: a busy host must not switch
    // the plug-in off or hide its tray icon.
    enabled_ = parts_.settings.Enabled(&cfg);
    const bool showTray = parts_.settings.ShowTray(&cfg);
    parts_.presenter.SetTrayVisible(enabled_ && showTray);
    // The entry follows the setting at every refresh, so an entry removed or
    // left behind by hand is put right; an unchanged one is not rewritten.
    if (parts_.settings.Autostart(&cfg)) {
        autostart::Enable(autostart::HostProgramBeside(SendToProgramPath()));
    } else {
        autostart::Disable();
    }
}

void TSettingsRefresh::AllowedTypes(HostConfig& cfg) {
    if (typesAllowed_) {
        return;
    }
    typesAllowed_ = true;
    for (const TConnectorClass* cls : parts_.types.OptionalConnectorClasses()) {
        auto allow = cfg.ReadCfgBool(AllowTypeKey(cls->TypeCode()));
        if (allow && *allow) {
            parts_.types.AllowConnectorClass(*cls);
        }
    }
}

void TSettingsRefresh::Choices(HostConfig& cfg) {
    choices_ = parts_.settings.Choices(&cfg, choices_);
    parts_.navigation.SetUseCurrentWindow(choices_.currentBrowserWindow);
    parts_.cycle.SetParallelChecks(parts_.settings.ParallelChecks(&cfg));
    const std::string quietText = parts_.settings.Text(&cfg, keys::kQuietHours);
    std::string why;
    auto quiet = QuietHours::Parse(quietText, &why);
    if (!quiet && quietText != refusedQuietHours_) {
        // Once per text: the refresh runs at every settings change.
        qCWarning(lcPlugin).noquote()
            << QStringLiteral("QUIET_HOURS is not used: %1").arg(QString::fromStdString(why));
    }
    refusedQuietHours_ = quiet ? std::string() : quietText;
    parts_.presenter.SetQuietHours(quiet.value_or(QuietHours{}));
}

bool TSettingsRefresh::Stamps(HostConfig& cfg) {
    auto keep = [&cfg](std::string_view key, const std::string& old) {
        return cfg.ReadCfgStr(key).value_or(old);
    };
    setupDoneChange_ = keep(keys::kSetupLastDoneChange, setupDoneChange_);
    currentMailto_ = keep(keys::kCurrentMailto, currentMailto_);
    parts_.navigation.SetLinks(parts_.settings.Text(&cfg, keys::kHelpLink),
                               parts_.settings.Text(&cfg, keys::kRegisterUrl));
    bool changed = false;
    if (auto last = cfg.ReadCfgStr(keys::kSetupLastChange)) {
        changed = *last != setupDoneChange_;
        if (changed && cfg.WriteCfgStr(keys::kSetupLastDoneChange, *last)) {
            setupDoneChange_ = *last;
        }
    }
    return changed;
}

bool TSettingsRefresh::Accounts(HostConfig& cfg, bool changed) {
    if (parts_.passOut()) {
        // Adding an account waits for the list's lock, which the pass holds:
        // never on the GUI thread. The list is loaded when the pass has ended.
        reloadAfterPass_ = true;
        return false;
    }
    auto text = cfg.ReadCfgStr(keys::kAccounts);
    if (!text) {
        return false; // a failed read keeps the accounts as they are
    }
    // An empty list is loaded too: it is how the last account's removal
    // reaches a running plug-in.
    bool missed = false;
    // The list keeps the long-lived store: the worker reads it later.
    const std::vector<std::string> ids = LoadAccountList(parts_.accounts, *text, parts_.types, parts_.context,
                                                         &parts_.host.LongLivedSettings(), &missed);
    reloadAfterPass_ = missed;
    // The Send To choices of all accounts in one host call.
    std::vector<std::string> sendToKeys;
    sendToKeys.reserve(ids.size());
    for (const std::string& id : ids) {
        sendToKeys.push_back(SendToKey(id));
    }
    const auto sendTo = cfg.ReadCfgStrBatch(sendToKeys);
    if (!sendTo) {
        return false; // the upkeep waits for a host that answers
    }
    // One walk of the list for all the lookups: with a thousand accounts one
    // search per account made the reload quadratic.
    std::unordered_map<std::string, TNuvex_GenericConnector*> index;
    {
        CriticHold hold(parts_.accounts.AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (hold.Held()) {
            index = parts_.accounts.IndexLocked();
        }
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        log::RunIsolated("plugin", "account upkeep", [&] {
            const auto found = index.find(ids[i]);
            TNuvex_GenericConnector* account = found == index.end() ? nullptr : found->second;
            if (!account || !account->Enabled) {
                return;
            }
            parts_.hooks.UpkeepAccount(*account, HostBoolText((*sendTo)[i]), changed);
        });
    }
    return true;
}

} // namespace nuvex
