#pragma once
// The settings refresh of the mail controller: reads the plug-in's values
// from the host (enabled, tray, optional types, notify choices, stamps, links)
// and loads the accounts, one step after another; a step that fails does not
// stop the ones after it. GUI thread only.
#include "lib/plugin_settings.h"

#include <functional>
#include <string>

namespace nuvex {

class HostConfig;
class MailHost;
class TAccountList;
class TButtonPresenter;
class TCheckCycle;
class TConnectorRegistry;
class TNavigationDispatcher;
class TNuvex_GenericConnector;
struct AccountContext;

// Where the mail-client registration and the Send To shortcuts are kept in
// step with the settings.
class UpkeepHooks {
public:
    virtual ~UpkeepHooks() = default;
    virtual void UpkeepAccount(TNuvex_GenericConnector& account, bool sendTo, bool changed) = 0;
    virtual void UpkeepClose(bool changed) = 0;
    virtual void DisabledCleanup() = 0;
};

class TSettingsRefresh {
public:
    struct Parts {
        MailHost& host;
        PluginSettings& settings;
        TAccountList& accounts;
        TConnectorRegistry& types;
        const AccountContext& context;
        TCheckCycle& cycle;
        TButtonPresenter& presenter;
        TNavigationDispatcher& navigation;
        UpkeepHooks& hooks;
        std::function<bool()> passOut; // a check pass holds the account list
        std::function<void()> ping;
    };
    explicit TSettingsRefresh(Parts parts) : parts_(std::move(parts)) {}

    // The whole refresh; does nothing while one runs, before Connect or
    // without a host.
    void Run();

    bool Enabled() const { return enabled_; }
    const NotifyChoices& Choices() const { return choices_; }
    // "CURRENT_MAILTO" as last read.
    const std::string& CurrentMailto() const { return currentMailto_; }
    // Whether the accounts are to be loaded again now that a pass has ended.
    bool TakeReloadAfterPass();

private:
    void EnabledAndTray(HostConfig& cfg);
    void AllowedTypes(HostConfig& cfg);
    void Choices(HostConfig& cfg);
    bool Stamps(HostConfig& cfg);
    // False when the accounts were not loaded now (a pass holds them, or the
    // host did not answer), so the upkeep of this refresh did not run.
    bool Accounts(HostConfig& cfg, bool changed);

    Parts parts_;
    std::string currentMailto_;
    std::string refusedQuietHours_; // the QUIET_HOURS text last refused, said once
    std::string setupDoneChange_;
    bool running_ = false;
    bool typesAllowed_ = false;
    bool enabled_ = false;
    bool reloadAfterPass_ = false;
    // A settings change whose upkeep has not run yet: the stamp is taken once,
    // so the change is carried to the refresh that loads the accounts.
    bool changePending_ = false;
    NotifyChoices choices_;
};

} // namespace nuvex
