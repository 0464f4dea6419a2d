#pragma once
// The mail controller of the plug-in process, a façade over its pieces: the
// check scheduler (worker thread, stop signal, "check now"), the button
// presenter (caption, picture, menu, tray, blink, window, sound), the
// navigation dispatcher (pages, browser, mail program) and the command router.
// It reads the plug-in settings from the host and loads the accounts.
// Everything except the check pass runs on the GUI thread.
#include "accounts/account_context.h"
#include "accounts/account_list.h"
#include "accounts/check_cycle.h"
#include "core/button_presenter.h"
#include "core/check_scheduler.h"
#include "core/command_router.h"
#include "core/exe_plugin.h"
#include "core/mail_client_upkeep.h"
#include "core/mail_host.h"
#include "core/navigation_dispatcher.h"
#include "core/nuvex_obj.h"
#include "core/push_watch.h"
#include "core/reload_coalescer.h"
#include "core/settings_refresh.h"
#include "handoff/handoff_receiver.h"
#include "lib/plugin_settings.h"
#include "ui/account_editors.h"
#include "ui/notify_window.h"

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvex {

class MailProgramBridge;
class TDesktopAnnouncer;
class TDraftUploader;
class TNuvexForm;
class TConnectorRegistry;

// The tick's period; NUVEX_TICK_MS (test runs only) may shorten it.
inline constexpr int kTickPeriodMs = 5000;
int TickPeriodFromEnvironment();

// Printed once by a headless plug-in that has no account yet; tool is the
// command that runs nuvex-account.
std::string FirstStartHint(const std::string& tool);

class TNuvexPlugin : public TExePlugin, public NotifyActions, public UpkeepHooks {
    Q_OBJECT
public:
    // host: null for the bus host of this process.
    explicit TNuvexPlugin(std::unique_ptr<MailHost> host = nullptr);
    ~TNuvexPlugin() override;

    // The tray's menu commands.
    void ExecCommand(const QString& command) override;
    void RefreshConfig() override;
    // Refresh and menu, joined with the requests that follow within the
    // settle window (kReloadSettleMs, at most kReloadMaxWaitMs after the first).
    void RequestRefresh() override;
    static constexpr int kReloadSettleMs = 150;
    static constexpr int kReloadMaxWaitMs = 1000;
    std::unique_ptr<TMainForm> CreateMainForm() override;
    TPluginObj* CreatePluginObj(QObject* parent) override;
    // What the mail object of each window is made with.
    MailObjectParts ObjectParts();

    // A timer event: does nothing while a check pass is still out.
    void Tick();
    // One account's news as soon as its check ends: the window shows every
    // account the pass has announced so far, and accounts that end within a
    // quarter second of each other get one sound.
    void AnnounceAccount(const TickResult& result);
    // The host connected: refresh, then the menu (queued, never inside the call).
    void PostRefresh();
    void OnRefreshMessage();
    bool PingHost();
    // Stops the ticks, raises the stop signal and waits (without pumping
    // events) up to waitMs for a running pass to end; true when it ended.
    bool ShutdownController(int waitMs = kStopWaitMs);
    // The host turned the plug-in off: the tray goes, the ticks stop, a
    // running pass is stopped and the main loop ends.
    void Deactivated();
    // The host turned it on again before the process ended.
    void ResumeTicks();

    void CheckNowIfIdle(const std::string& id);
    // A command acts on the accounts as stored when the host asked for it:
    // a reload still waiting to be merged with others runs first.
    void FlushPendingReload() { reloads_.Flush(); }
    void OpenAccountMailbox(const std::string& accountId) override;
    void OpenAccountMessage(const std::string& accountId, const std::string& messageRef) override;

    // Points where the mail-client registration and Send To shortcuts are kept
    // up to date, and the steps that belong to them.
    void UpkeepAccount(TNuvex_GenericConnector& account, bool sendTo, bool changed) override;
    void UpkeepClose(bool changed) override;
    void DisabledCleanup() override;
    // With no account stored: the wizard on a desktop (when the installer
    // asked for it), the first-start hint on standard output when headless.
    virtual void AfterInstallCheck();
    // False when the process runs without a display (offscreen).
    void SetShowsWindows(bool shows) { showsWindows_ = shows; }
    virtual void AddAccountFromTray();
    // The account editors, owned by owner (none: no window is disabled).
    TNewAccountThread* StartAddAccount(QWidget* owner, bool afterInstall, const QString& context);
    TEditAccountThread* StartEditAccount(int index, const QString& context, QWidget* owner);
    TRemoveAccountThread* StartRemoveAccount(int index, const QString& context, QWidget* owner);
    // The notification window's click on an error entry.
    void EditAccount(const std::string& accountId) override;
    // When an editor last changed the accounts; empty until then.
    const std::string& AccountsChangedStamp() const { return accountsChangedStamp_; }
    // Test seam: adjusts the settings of every editor started from now on.
    void SetEditorSeams(std::function<void(TEditorEnv&)> seams) { editorSeams_ = std::move(seams); }

    // The parts, for the tests: the presenter answers what the button and
    // the tray show, the scheduler whether a pass is out, the navigation
    // where links went (and takes the launcher and browser seams).
    TAccountList& Accounts() { return accounts_; }
    TCheckCycle& Cycle() { return cycle_; }
    const AccountContext& Context() const { return context_; }
    TButtonPresenter& Presenter() { return presenter_; }
    TNavigationDispatcher& Navigation() { return navigation_; }
    TCheckScheduler& Scheduler() { return scheduler_; }

    bool Enabled() const { return refresh_.Enabled(); }
    int TickPeriodMs() const { return tickPeriodMs_; }
    const NotifyChoices& Choices() const { return refresh_.Choices(); }

    // Test seams: the tick period and the notification window.
    void SetTickPeriodMs(int ms) { tickPeriodMs_ = ms; }
    using NotifyShower = std::function<void(const NotifyContext&, std::int32_t, const TNotifyMessages&,
                                            const TNotifyMessages&)>;
    void SetNotifyShower(NotifyShower show) { showNotify_ = std::move(show); }

    // How long a stop waits for a check pass before the process ends anyway.
    static constexpr int kStopWaitMs = 1000;

protected:
    void StopRequested() override;
    void StopWork() override;
    int ExitPauseMs() const override { return 0; }

private:
    void FinishCheckPass(const TickResult& result);
    TEditorEnv EditorEnv();

    TNuvexForm* Form() const;

    // What the menu commands act on.
    class Commands;
    friend class Commands;

    std::unique_ptr<MailHost> host_;
    std::unique_ptr<MailProgramBridge> mailBridge_;
    PluginSettings settings_;
    TAccountList accounts_;
    TCheckCycle cycle_;
    TConnectorRegistry& types_;
    TNavigationDispatcher navigation_;
    TButtonPresenter presenter_;
    TCheckScheduler scheduler_;
    std::unique_ptr<CommandTargets> commands_;
    TCommandRouter router_{*commands_};
    AccountContext context_;
    TSettingsRefresh refresh_;
    QTimer* reloadTimer_ = nullptr; // owned as a child
    TReloadCoalescer reloads_;
    TMailClientUpkeep upkeep_;
    TPushWatch push_;
    int tickPeriodMs_;
    StopPredicate namedStop_;
    NotifyShower showNotify_;
    // What the pass out has announced so far: a newer window replaces the
    // older one, so each shows every account of the pass announced until then.
    TNotifyMessages passMail_;
    TNotifyMessages passErrors_;
    std::int64_t lastSoundMs_ = -1; // monotonic; sounds close together play once
    std::string accountsChangedStamp_;
    bool afterInstallHandled_ = false;
    bool showsWindows_ = true;
    std::function<void(TEditorEnv&)> editorSeams_;
    // Files handed to a web-service account become a draft through this.
    std::unique_ptr<TDraftUploader> draftUploader_;
    std::unique_ptr<TDesktopAnnouncer> desktop_; // null without a session bus
    // Windows asking whether files may be sent; their answers reach the
    // accounts, so they go before the accounts do.
    std::vector<QPointer<QWidget>> attachConfirms_;
    // Last: it stops serving before the accounts it hands work to go.
    std::unique_ptr<THandOffReceiver> handOff_;
};

} // namespace nuvex
