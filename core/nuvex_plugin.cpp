#include "core/nuvex_plugin.h"

#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "accounts/stop_events.h"
#include "contract/names.h"
#include "core/desktop_announcer.h"
#include "core/menu_builder.h"
#include "core/notify_log.h"
#include "core/nuvex_form.h"
#include "core/nuvex_obj.h"
#include "core/plugin_log.h"
#include "core/plugin_process.h"
#include "integration/mail_client.h"
#include "integration/mail_program_bridge.h"
#include "integration/sendto.h"
#include "lib/clock.h"
#include "lib/devtools_pipe.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/registry.h"
#include "ui/attach_confirm.h"
#include "ui/notify_alerts.h"
#include "ui/notify_window.h"
#include "upload/draft_uploader.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDateTime>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <unistd.h>

namespace nuvex {

namespace {

// The user's check is due one second after the command; the timer is nudged
// so that it does not wait for the next regular event.
constexpr int kCheckNowDelayMs = 1100;
// Accounts whose checks end this close together get one sound between them.
constexpr std::int64_t kOneSoundWithinMs = 250;

} // namespace

int TickPeriodFromEnvironment() {
    if (const char* env = std::getenv("NUVEX_TICK_MS")) {
        char* end = nullptr;
        long ms = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && ms >= 50 && ms <= kTickPeriodMs) {
            return static_cast<int>(ms);
        }
    }
    return kTickPeriodMs;
}

class TNuvexPlugin::Commands final : public CommandTargets {
public:
    explicit Commands(TNuvexPlugin& mail) : mail_(mail) {}

    void CheckNow(const std::string& id) override { mail_.CheckNowIfIdle(id); }

    void ShowSettings() override {
        if (!mail_.host_->ShowSettings()) {
            qCWarning(lcPlugin) << "the host did not show the settings";
        }
    }

    void OpenAccount(const std::string& id, bool compose, const QString& browserContext) override {
        mail_.navigation_.SetBrowserContext(browserContext);
        if (TNuvex_GenericConnector* account = mail_.accounts_.FindAccount(id, true)) {
            compose ? account->Compose() : account->OpenMailbox();
        }
    }

    void AddAccount(const QString& context, CommandOrigin origin) override {
        if (origin == CommandOrigin::Tray) {
            mail_.AddAccountFromTray();
        } else {
            mail_.StartAddAccount(QApplication::activeWindow(), false, context);
        }
    }

    void RemoveTrayIcon() override {
        mail_.presenter_.SetTrayVisible(false);
        mail_.settings_.WriteShowTray(mail_.host_->Settings(), false);
    }

    void OpenLink(bool about) override {
        HostConfig* cfg = mail_.host_->Settings();
        const std::string url =
            cfg ? mail_.settings_.Text(cfg, about ? keys::kAboutUrl : keys::kHelpUrl) : "";
        if (!url.empty()) {
            mail_.navigation_.OpenInBrowser(url);
        }
    }

private:
    TNuvexPlugin& mail_;
};

TNuvexPlugin::TNuvexPlugin(std::unique_ptr<MailHost> host)
    : host_(host ? std::move(host) : std::make_unique<BusMailHost>(*this)),
      mailBridge_(std::make_unique<MailProgramBridge>(ProcessRegistry())),
      settings_(PluginName().toStdString()), cycle_(accounts_), types_(ConnectorRegistry()),
      navigation_(*host_),
      presenter_({*host_, accounts_, settings_, [this] { return Form(); }, [this] { return PingHost(); }}),
      scheduler_(
          cycle_, [this](const TickResult& r) { FinishCheckPass(r); },
          [this](const TickResult& r) { AnnounceAccount(r); }),
      commands_(std::make_unique<Commands>(*this)),
      refresh_({*host_, settings_, accounts_, types_, context_, cycle_, presenter_, navigation_, *this,
                [this] { return scheduler_.PassOut(); }, [this] { PingHost(); }}),
      reloadTimer_(new QTimer(this)), reloads_(
                                          kReloadSettleMs, kReloadMaxWaitMs, [this] { OnRefreshMessage(); },
                                          [this](int delayMs) { reloadTimer_->start(delayMs); }),
      upkeep_({[this] { return host_->Settings(); }, [this] { return refresh_.CurrentMailto(); }}),
      push_(*this, accounts_, context_,
            [this](const std::string& id) {
                // No check-now delay: a pass starts now, or right after the one out.
                if (host_->Settings() && !scheduler_.Stopping()) {
                    scheduler_.CheckAccountNow(id);
                }
            }),
      tickPeriodMs_(TickPeriodFromEnvironment()) {
    reloadTimer_->setSingleShot(true);
    connect(reloadTimer_, &QTimer::timeout, this, [this] { reloads_.Fire(); });
    context_.host = &host_->LongLivedSettings();
    context_.registry = mailBridge_.get();
    context_.navigation = &navigation_;
    context_.stop = &scheduler_.Signal();
    showNotify_ = [](const NotifyContext& context, std::int32_t total, const TNotifyMessages& mail,
                     const TNotifyMessages& errors) { ShowNotifyWindow(context, total, mail, errors); };
    presenter_.SetNotifyShower(
        [this](std::int32_t total, const TNotifyMessages& mail, const TNotifyMessages& errors) {
            LogNotification(total, mail, errors);
            // The window outlives any one host call: it keeps the long-lived
            // store, never the interface that a failed call replaces.
            showNotify_(NotifyContext{&host_->LongLivedSettings(), this, {}, {}}, total, mail, errors);
        });
    presenter_.SetSoundPlayer([] { PlayNewMailSound(); });
    draftUploader_ = std::make_unique<TDraftUploader>(accounts_);
    context_.uploader = draftUploader_.get();
    scheduler_.SetPassStarter([this] { Tick(); });
    if (QDBusConnection bus = QDBusConnection::sessionBus(); bus.isConnected()) {
        desktop_ = std::make_unique<TDesktopAnnouncer>(
            bus, TDesktopAnnouncer::Actions{[this](const std::string& id) { OpenAccountMailbox(id); },
                                            [this](const std::string& id) { scheduler_.CheckAccountNow(id); },
                                            [] { PlayNewMailSound(); }});
    }
}

TNuvexPlugin::~TNuvexPlugin() {
    // An unanswered window sends nothing.
    for (QPointer<QWidget>& w : attachConfirms_) {
        delete w.data();
    }
    // Uploads open their draft through the accounts: end them first. The
    // uploader itself stays until the hand-off receiver that reaches it is gone.
    draftUploader_->Stop();
    push_.Close();
    scheduler_.Stop(kStopWaitMs);
    // The accounts keep a reference to the context; free them while it lives.
    accounts_.FreeAccounts();
    // Notification windows save their place through the host store, which
    // goes with the plug-in. Each call to the store ends within the host
    // call time-out, and after one times out the rest fail at once: waiting a
    // little longer than one call lets even a hung host's save end first.
    DrainNotifyPlaceIo(bus::kHostCallTimeoutMs + 500);
}

std::unique_ptr<TMainForm> TNuvexPlugin::CreateMainForm() {
    // A plug-in killed during a browser check leaves the check's profile and
    // perhaps its browser; they go now rather than at the next such check.
    log::RunIsolated("plugin", "stale browser profiles", [] {
        if (const std::string root = devtools::DefaultProfileRoot(); !root.empty()) {
            devtools::RemoveStaleProfiles(root);
        }
    });
    auto form = std::make_unique<TNuvexForm>(
        TNuvexForm::Calls{[this](const QString& c) { ExecCommand(c); }, [this] { Tick(); },
                          [this] { ShutdownController(0); }, tickPeriodMs_});
    form->SetTrayToolTip(DefaultTrayTip());
    HandOffTargets targets{&accounts_, [this] { return host_->Settings(); }, {}, {}};
    targets.resolveShortcuts = [](std::vector<std::string>& list) { ResolveShortcutsInList(list); };
    if (showsWindows_) {
        targets.confirmAttachments = [this](const std::vector<handoff::OfferedFile>& files,
                                            std::function<void(bool)> answer) {
            std::erase_if(attachConfirms_, [](const QPointer<QWidget>& w) { return w.isNull(); });
            attachConfirms_.emplace_back(ShowAttachConfirm(files, std::move(answer)));
        };
    }
    handOff_ = std::make_unique<THandOffReceiver>(std::move(targets));
    handOff_->Start();
    return form;
}

TPluginObj* TNuvexPlugin::CreatePluginObj(QObject* parent) {
    return new TNuvexObj(ObjectParts(), parent);
}

MailObjectParts TNuvexPlugin::ObjectParts() {
    return {ObjectCalls(),
            {*host_, settings_},
            accounts_,
            presenter_,
            router_,
            [this] { RefreshConfig(); },
            [this] { PostRefresh(); },
            [this] { FlushPendingReload(); },
            [this] { ResumeTicks(); },
            [this] { Deactivated(); },
            [this](const QString& context) { navigation_.SetBrowserContext(context); },
            [this] { return accountsChangedStamp_; },
            [this](QWidget* owner, const QString& context) { StartAddAccount(owner, false, context); },
            [this](int index, const QString& context, QWidget* owner) {
                StartEditAccount(index, context, owner);
            },
            [this](int index, const QString& context, QWidget* owner) {
                StartRemoveAccount(index, context, owner);
            }};
}

TNuvexForm* TNuvexPlugin::Form() const {
    return static_cast<TNuvexForm*>(MainForm());
}

bool TNuvexPlugin::PingHost() {
    return PluginConnected() && host_->Ping();
}

void TNuvexPlugin::RefreshConfig() {
    refresh_.Run();
    if (HostConfig* cfg = host_->Settings(); cfg && desktop_) {
        // An unset or empty value reads as nothing: the desktop's where it has a server.
        const std::optional<std::string> text = cfg->ReadCfgStr(keys::kNotifyDesktop);
        desktop_->SetChoice(text && !text->empty() ? cfg->ReadCfgBool(keys::kNotifyDesktop) : std::nullopt);
    }
}

void TNuvexPlugin::UpkeepAccount(TNuvex_GenericConnector& account, bool sendTo, bool changed) {
    upkeep_.UpkeepAccount(account, sendTo, changed);
}
void TNuvexPlugin::UpkeepClose(bool changed) {
    upkeep_.UpkeepClose(changed);
}
void TNuvexPlugin::DisabledCleanup() {
    upkeep_.DisabledCleanup();
}
std::string FirstStartHint(const std::string& tool) {
    return "nuvex: no mail account is stored yet. Add one with\n  " + tool +
           " add --type POP3 --email you@example.org --login you --server pop.example.org "
           "--password-file FILE\n"
           "or try it on sample mail first: scripts/run.sh --demo\n";
}

void TNuvexPlugin::AfterInstallCheck() {
    if (afterInstallHandled_) {
        return;
    }
    HostConfig* cfg = host_->Settings();
    const std::optional<bool> wanted = cfg ? cfg->ReadCfgBool(keys::kAfterInstallWizard, 0) : std::nullopt;
    if (!wanted) {
        return; // asked again on the next tick
    }
    bool noAccount = false;
    {
        CriticHold hold(accounts_.AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (!hold.Held()) {
            return;
        }
        noAccount = accounts_.Count() == 0;
    }
    afterInstallHandled_ = true;
    if (noAccount && !showsWindows_) {
        // Nobody would see a wizard here; the stored request stays for the
        // first start on a desktop.
        // Next to this program when it runs from a build tree, which is not on PATH.
        const QString near = QCoreApplication::applicationDirPath() + QStringLiteral("/nuvex-account");
        const std::string tool = ::access(near.toLocal8Bit().constData(), X_OK) == 0
                                     ? near.toStdString()
                                     : std::string("nuvex-account");
        std::fputs(FirstStartHint(tool).c_str(), stdout);
        std::fflush(stdout);
        return;
    }
    if (*wanted && noAccount) {
        StartAddAccount(QApplication::activeWindow(), true, {});
    }
}

void TNuvexPlugin::AddAccountFromTray() {
    StartAddAccount(MainForm(), false, {});
}

TEditorEnv TNuvexPlugin::EditorEnv() {
    TEditorEnv env;
    env.host = host_->Settings();
    env.accounts = &accounts_;
    env.types = &types_;
    TPanelPageSetup pages;
    pages.context = context_;
    pages.helpLinkPattern =
        env.host ? QString::fromStdString(settings_.Text(env.host, keys::kHelpLink)) : QString();
    pages.openHelp = [this](const QString& url) { navigation_.OpenInBrowser(url.toStdString()); };
    env.makePage = PanelPageFactory(pages);
    env.openHelp = [this](int tag) { navigation_.OpenHelpLink(tag); };
    env.openSignUp = [this] { navigation_.OpenRegisterPage(); };
    env.postRefresh = [this] { PostRefresh(); };
    env.accountsChanged = [this] {
        // Milliseconds: a settings page that built its table in the same second
        // as a change must still see the stamp move.
        accountsChangedStamp_ = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toStdString();
        // The main settings page waits for this host value after "Customize...";
        // without it that page would never show the edited account.
        if (HostConfig* cfg = host_->Settings();
            cfg && !cfg->WriteCfgStr("REFRESH_ACCOUNTS", accountsChangedStamp_)) {
            qCWarning(lcPlugin) << "the host did not take the accounts-changed stamp";
        }
    };
    // After a removal the button and tray show no mail until the next pass counts again.
    env.resetButton = [this] {
        log::RunIsolated("plugin", "button reset", [&] { presenter_.ApplyTickResult(TickResult{}); });
    };
    env.releaseMailto = [](const std::string&) {
        if (!RestoreMailClient()) {
            qCWarning(lcPlugin) << "the previous mail client could not be put back";
        }
    };
    if (editorSeams_) {
        editorSeams_(env);
    }
    return env;
}

// The editors call back into the controller: they go with it.
TNewAccountThread* TNuvexPlugin::StartAddAccount(QWidget* owner, bool afterInstall, const QString& context) {
    auto* editor = new TNewAccountThread(owner, afterInstall, context, EditorEnv());
    editor->setParent(this);
    return editor;
}

TEditAccountThread* TNuvexPlugin::StartEditAccount(int index, const QString& context, QWidget* owner) {
    auto* editor = new TEditAccountThread(index, context, owner, EditorEnv());
    editor->setParent(this);
    return editor;
}

TRemoveAccountThread* TNuvexPlugin::StartRemoveAccount(int index, const QString& context, QWidget* owner) {
    auto* editor = new TRemoveAccountThread(index, context, owner, EditorEnv());
    editor->setParent(this);
    return editor;
}

void TNuvexPlugin::EditAccount(const std::string& accountId) {
    if (!accountId.empty()) {
        auto* editor = new TEditAccountThread(accountId, {}, MainForm(), EditorEnv());
        editor->setParent(this);
    }
}

void TNuvexPlugin::Tick() {
    Heartbeat();
    if (!PluginConnected() || !Running() || scheduler_.PassOut() || scheduler_.Stopping()) {
        return;
    }
    log::RunIsolated("plugin", "after-install check", [&] { AfterInstallCheck(); });
    log::RunIsolated("plugin", "blink", [&] { presenter_.EndBlinkIfDue(); });
    if (Now() > cycle_.NextTick()) {
        // A pending check-now runs its pass even when it finds nothing to
        // check (a disabled account): the pass ends the request.
        if (scheduler_.CheckNowTarget() == TCheckScheduler::kNoCheckPending && !cycle_.AnyDue()) {
            // Nothing to check: no thread, no call to the host, so an idle
            // plug-in costs one wake-up per tick. The next tick looks again,
            // so an account is checked within a tick of falling due.
            return;
        }
        log::RunIsolated("plugin", "ping", [&] { PingHost(); });
        if (!namedStop_) {
            namedStop_ = NamedStopEvents();
        }
        const NotifyChoices& choices = refresh_.Choices();
        if (scheduler_.StartPass(TickSettings{choices.showWindow, choices.playSound, choices.changeTray},
                                 namedStop_)) {
            passMail_ = {};
            passErrors_ = {};
        }
    }
}

void TNuvexPlugin::AnnounceAccount(const TickResult& result) {
    if (!PluginConnected() || scheduler_.Stopping()) {
        return;
    }
    TickResult shown = result;
    if (!result.messages.Empty() || !result.errors.Empty()) {
        for (const TNotifyMessageItem& item : result.messages) {
            passMail_.Add(item);
        }
        for (const TNotifyMessageItem& item : result.errors) {
            passErrors_.Add(item);
        }
        shown.messages = passMail_;
        shown.errors = passErrors_;
    }
    if (shown.playSound) {
        const auto ms = static_cast<std::int64_t>(TickCount());
        if (lastSoundMs_ >= 0 && ms - lastSoundMs_ < kOneSoundWithinMs) {
            shown.playSound = false;
        } else {
            lastSoundMs_ = ms;
        }
    }
    if (desktop_ && desktop_->InUse()) {
        // The desktop shows this account's news and plays its sound; the
        // caption and the tray still follow the pass.
        if (shown.showWindow && !presenter_.Quiet()) {
            LogNotification(shown.totalUnread, result.messages, result.errors);
            log::RunIsolated("plugin", "desktop notification", [&] {
                desktop_->Announce(result, shown.playSound, SnapshotEnabledAccounts(accounts_));
            });
        }
        shown.showWindow = false;
        shown.playSound = false;
    }
    log::RunIsolated("plugin", "account result", [&] { presenter_.ApplyTickResult(shown); });
}

void TNuvexPlugin::FinishCheckPass(const TickResult& result) {
    if (!PluginConnected() || scheduler_.Stopping()) {
        return;
    }
    if (result.ranPass2 && !result.stopped) {
        log::RunIsolated("plugin", "pass result", [&] { presenter_.ApplyTickResult(result); });
    }
    if (refresh_.TakeReloadAfterPass()) {
        log::RunIsolated("plugin", "reload after pass", [&] { RefreshConfig(); });
    }
    log::RunIsolated("plugin", "push", [&] { push_.Update(); });
    log::RunIsolated("plugin", "menu", [&] { presenter_.UpdateButtonMenu(); });
    if (desktop_) {
        log::RunIsolated("plugin", "desktop notifications",
                         [&] { desktop_->CloseRead(SnapshotEnabledAccounts(accounts_)); });
    }
    if (result.ran) {
        // The pass's buffers (replies, headers, entries) are gone by now;
        // give their pages back rather than keep them until the next pass.
        ::malloc_trim(0);
    }
}

void TNuvexPlugin::PostRefresh() {
    QMetaObject::invokeMethod(
        this, [this] { OnRefreshMessage(); }, Qt::QueuedConnection);
}

void TNuvexPlugin::RequestRefresh() {
    reloads_.Request();
}

void TNuvexPlugin::OnRefreshMessage() {
    if (!host_->Settings()) {
        return;
    }
    log::RunIsolated("plugin", "refresh", [&] { RefreshConfig(); });
    log::RunIsolated("plugin", "menu", [&] { presenter_.UpdateButtonMenu(); });
}

void TNuvexPlugin::CheckNowIfIdle(const std::string& id) {
    if (!host_->Settings() || !scheduler_.CheckNowIfIdle(id)) {
        return;
    }
    QTimer::singleShot(kCheckNowDelayMs, this, [this] { Tick(); });
}

void TNuvexPlugin::ExecCommand(const QString& command) {
    if (!host_->Settings()) {
        return;
    }
    FlushPendingReload();
    log::RunIsolated("plugin", "tray command", [&] { router_.Execute(command, CommandOrigin::Tray); });
}

void TNuvexPlugin::OpenAccountMailbox(const std::string& accountId) {
    log::RunIsolated("plugin", "open mailbox", [&] { ::nuvex::OpenAccountMailbox(accounts_, accountId); });
}

void TNuvexPlugin::OpenAccountMessage(const std::string& accountId, const std::string& messageRef) {
    log::RunIsolated("plugin", "open message",
                     [&] { ::nuvex::OpenAccountMessage(accounts_, accountId, messageRef); });
}

void TNuvexPlugin::Deactivated() {
    presenter_.SetTrayVisible(false);
    if (TNuvexForm* form = Form()) {
        form->TickTimer().stop();
    }
    SetPluginConnected(false);
    // Called by the host: the pass is stopped and waited for without running
    // a nested event loop inside the call.
    ShutdownController();
    SetRunning(false);
}

void TNuvexPlugin::ResumeTicks() {
    if (TNuvexForm* form = Form(); form && !scheduler_.Stopping()) {
        form->TickTimer().start();
    }
}

bool TNuvexPlugin::ShutdownController(int waitMs) {
    SetPluginConnected(false);
    if (TNuvexForm* form = Form()) {
        form->TickTimer().stop();
    }
    // The pass's network waits poll the stop signal and end at once.
    push_.Stop();
    return scheduler_.Stop(waitMs);
}

void TNuvexPlugin::StopRequested() {
    // Every stop (host stop event, shutdown, DISABLED, a signal, Deactivate)
    // comes here first: the check's network waits end now.
    scheduler_.Stop(0);
    push_.Stop();
}

void TNuvexPlugin::StopWork() {
    if (ShutdownController(kStopWaitMs)) {
        return;
    }
    // A check that does not end must not outlive the stop: a restarted
    // plug-in would run beside it. The run mutex and the bus name go with the
    // process.
    qCCritical(lcPlugin) << "the check pass did not end after the stop; ending the process";
    ::_exit(0);
}

} // namespace nuvex
