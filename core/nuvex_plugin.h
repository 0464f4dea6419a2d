#pragma once
// The mail controller of the plug-in process: reads the plug-in settings from
// the host, loads the accounts, runs the periodic check on a worker thread and
// turns its results into the button caption, bitmap, menu, tray icon,
// notification window and sound; carries out the menu commands and opens web
// pages. Everything except the check pass runs on the GUI thread.
#include "accounts/account_context.h"
#include "accounts/account_list.h"
#include "accounts/check_cycle.h"
#include "core/exe_plugin.h"
#include "core/mail_host.h"
#include "core/plugin_process.h"
#include "ui/notify_window.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace nuvex {

class MailProgramBridge;
class TNuvexForm;
class TConnectorRegistry;

// The tick's period; NUVEX_TICK_MS (test runs only) may shorten it.
inline constexpr int kTickPeriodMs = 5000;
int TickPeriodFromEnvironment();

// How long a browser context given with a menu command stays usable.
inline constexpr std::uint64_t kBrowserContextMs = 5000;

class TNuvexPlugin : public TExePlugin, public NavigationSink, public NotifyActions {
    Q_OBJECT
public:
    // host: null for the bus host of this process.
    explicit TNuvexPlugin(std::unique_ptr<MailHost> host = nullptr);
    ~TNuvexPlugin() override;

    void ExecCommand(const QString& command) override;
    void RefreshConfig() override;
    std::unique_ptr<TMainForm> CreateMainForm() override;
    TPluginObj* CreatePluginObj(QObject* parent) override;

    // The menu description of the button and (rebuilt alongside) of the tray.
    QString BuildMenuText(bool store);
    // Sends the menu to the button when its text changed since the last send.
    void UpdateButtonMenu();
    // A timer event: does nothing while a check pass is still out.
    void Tick();
    // The GUI-thread half of a pass: tray, window, sound, caption and blink.
    void ApplyTickResult(const TickResult& result);
    // "NUVEX_REFCFG": refresh, then the menu.
    void OnRefreshMessage();
    // "NUVEX_NAVURL": the stored page in the browser window the command came
    // from, else by the browser's command line, else the desktop's browser.
    void HandleNavigate();
    bool PingHost();
    // Stops the ticks and waits (pumping events, at most about a second) for a
    // running pass to end.
    void ShutdownController();
    // The host turned the plug-in off: the tray goes, the ticks stop, a
    // running pass is waited for (pumping events) and the process ends.
    void Deactivated();
    // The host turned it on again before the process ended.
    void ResumeTicks();

    // The browser window a menu command came from ("" for none), stamped now.
    void SetBrowserContext(const QString& context);
    // The user's check of one account (id) or all (""), unless one that covers
    // it already runs.
    void CheckNowIfIdle(const std::string& id);

    // The wizard's help links: the help-link pattern with every "%help_tag"
    // (any case) replaced by the control's tag, and the register page.
    void OpenHelpLink(int tag);
    void OpenRegisterPage();

    void PostNavigate(const std::string& url, const std::string& commandLine) override;
    void OpenAccountMailbox(const std::string& accountId) override;
    void OpenAccountMessage(const std::string& accountId, const std::string& messageRef) override;

    // Points where the mail-client registration and Send To shortcuts are kept
    // up to date, and the steps that belong to them.
    virtual void UpkeepAccount(TNuvex_GenericConnector& account, bool sendTo, bool changed);
    virtual void UpkeepClose(bool changed);
    virtual void DisabledCleanup();
    virtual void AfterInstallCheck();
    virtual void AddAccountFromTray();

    TAccountList& Accounts() { return accounts_; }
    TCheckCycle& Cycle() { return cycle_; }
    MailHost& Host() { return *host_; }
    const AccountContext& Context() const { return context_; }
    TNuvexForm* Form() const;

    bool Enabled() const { return enabled_; }
    bool TickRunning() const { return tickRunning_; }
    const QString& ButtonCaption() const { return lastCaption_; }
    // The caption from the accounts' unread counts as they stand now.
    QString CurrentCaption();
    const QString& LastMenuText() const { return lastMenuText_; }
    const QString& TrayToolTip() const { return trayTip_; }
    double BlinkUntil() const { return blinkUntil_; }
    const BitmapPair& CurrentBitmap() const;
    const BitmapPair& NewMailBitmap() const { return newMail_; }
    std::string CheckNowTarget() const { return checkNowTarget_; }
    int TickPeriodMs() const { return tickPeriodMs_; }

    struct NotifyChoices {
        bool currentBrowserWindow = false;
        bool showWindow = true;
        bool playSound = true;
        bool changeTray = true;
    };
    const NotifyChoices& Choices() const { return choices_; }

    // Test seams: the tick period, the launcher of browser command lines, the
    // desktop browser, the notification window and the sound.
    void SetTickPeriodMs(int ms) { tickPeriodMs_ = ms; }
    void SetLauncher(ProgramLauncher* launcher) { launcher_ = launcher; }
    void SetBrowserOpener(std::function<void(const std::string&)> open) { openBrowser_ = std::move(open); }
    void
    SetNotifyShower(std::function<void(std::int32_t, const TNotifyMessages&, const TNotifyMessages&)> show) {
        showNotify_ = std::move(show);
    }
    void SetSoundPlayer(std::function<void()> play) { playSound_ = std::move(play); }

    int NavUrlMessage() const { return navUrlMsg_; }
    int RefCfgMessage() const { return refCfgMsg_; }

private:
    void StartCheckPass();
    void FinishCheckPass(const TickResult& result);
    void EndBlink();
    void ShowCurrentBitmap(bool newMail);
    void SetTrayDefault();
    void SetTrayTip(const QString& tip);
    QString DefaultTrayTip() const;
    std::string ReadStr(HostConfig& cfg, const char* key, int flag, const std::string& keep);

    std::unique_ptr<MailHost> host_;
    std::unique_ptr<MailProgramBridge> mailBridge_;
    AccountContext context_;
    TAccountList accounts_;
    TCheckCycle cycle_;
    TConnectorRegistry& types_;

    BitmapPair newMail_;
    bool showingNewMail_ = false;

    // The navigation hand-off; the URL and command line may come from the
    // check worker.
    std::mutex navMutex_;
    std::string navUrl_;
    std::string navCommand_;
    QString browserContext_;
    std::uint64_t browserContextStamp_ = 0;

    std::string registerUrl_; // "REG_MAIL"
    std::string helpLink_;    // "WHAT_LINK"
    std::string currentMailto_;
    std::string setupDoneChange_;
    std::string checkNowTarget_ = "\t";

    bool refreshing_ = false;
    bool typesAllowed_ = false;
    bool enabled_ = false;
    bool reloadAfterTick_ = false;
    NotifyChoices choices_;
    QString lastMenuText_;
    QString lastTrayMenuText_;
    QString lastCaption_;
    QString trayTip_;
    double blinkUntil_ = 0;
    int tickPeriodMs_;

    bool tickRunning_ = false;
    std::atomic<bool> stopping_{false};
    std::thread worker_;
    StopPredicate namedStop_;

    ProgramLauncher* launcher_ = nullptr;
    std::function<void(const std::string&)> openBrowser_;
    std::function<void(std::int32_t, const TNotifyMessages&, const TNotifyMessages&)> showNotify_;
    std::function<void()> playSound_;

    int navUrlMsg_;
    int refCfgMsg_;
};

} // namespace nuvex
