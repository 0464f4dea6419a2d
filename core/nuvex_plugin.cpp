#include "core/nuvex_plugin.h"

#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "accounts/mail_program_bridge.h"
#include "accounts/open_actions.h"
#include "accounts/stop_events.h"
#include "core/button_bitmap.h"
#include "core/menu_builder.h"
#include "core/menu_text.h"
#include "core/nuvex_form.h"
#include "core/nuvex_obj.h"
#include "lib/branding.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/http.h"
#include "lib/registry.h"
#include "ui/notify_alerts.h"
#include "ui/pictures.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace nuvex {

namespace {

constexpr double kBlinkDays = 5 * kOneMinute;
// The user's check is due one second after the command; the timer is nudged
// so that it does not wait for the next regular event.
constexpr int kCheckNowDelayMs = 1100;

template <typename F> void Guarded(F&& step) {
    // Each step stands alone: one that fails must not stop the ones after it.
    try {
        step();
    } catch (...) {
    }
}

std::string Key(const std::string& id, const char* suffix) {
    return id + suffix;
}

// With NUVEX_NOTIFY_LOG naming a file, each notification is also written
// there as text: what a headless run showed, for tests and bug reports.
void LogNotification(std::int32_t total, const TNotifyMessages& mail, const TNotifyMessages& errors) {
    const char* path = std::getenv("NUVEX_NOTIFY_LOG");
    if (!path || !*path) {
        return;
    }
    std::FILE* f = std::fopen(path, "a");
    if (!f) {
        return;
    }
    std::fprintf(f, "notify total=%d mail=%d errors=%d\n", static_cast<int>(total), mail.Count(),
                 errors.Count());
    for (const TNotifyMessageItem& item : mail) {
        std::fprintf(f, "  mail kind=%d account=%s count=%d subject=%s\n", item.ItemKind,
                     item.AccountRef.c_str(), static_cast<int>(item.Count), item.Subject.c_str());
    }
    for (const TNotifyMessageItem& item : errors) {
        std::fprintf(f, "  error account=%s subject=%s\n", item.AccountRef.c_str(), item.Subject.c_str());
    }
    std::fclose(f);
}

// The host answers a value nobody has set as false; until the settings page
// has stored a choice the default stays (new mail is announced).
bool ReadChoice(HostConfig& cfg, const char* key, bool current) {
    auto text = cfg.ReadCfgStr(key);
    if (!text || text->empty()) {
        return current;
    }
    return cfg.ReadCfgBool(key).value_or(current);
}

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

TNuvexPlugin::TNuvexPlugin(std::unique_ptr<MailHost> host)
    : host_(host ? std::move(host) : std::make_unique<BusMailHost>(*this)),
      mailBridge_(std::make_unique<MailProgramBridge>(ProcessRegistry())), cycle_(accounts_),
      types_(ConnectorRegistry()), tickPeriodMs_(TickPeriodFromEnvironment()),
      navUrlMsg_(TMainForm::RegisterMessage(QStringLiteral("NUVEX_NAVURL"))),
      refCfgMsg_(TMainForm::RegisterMessage(QStringLiteral("NUVEX_REFCFG"))) {
    newMail_.bytes = ButtonBitmapBytes(Picture("NEWMAIL"));
    newMail_.hex = ButtonBitmapHex(Picture("NEWMAIL"));
    context_.host = &host_->LongLivedSettings();
    context_.registry = mailBridge_.get();
    context_.navigation = this;
    openBrowser_ = [](const std::string& url) { OpenUrlInBrowser(url); };
    showNotify_ = [this](std::int32_t total, const TNotifyMessages& mail, const TNotifyMessages& errors) {
        LogNotification(total, mail, errors);
        HostConfig* host = host_->Settings();
        ShowNotifyWindow(NotifyContext{host, this, {}, {}}, total, mail, errors);
    };
    playSound_ = [] { PlayNewMailSound(); };
}

TNuvexPlugin::~TNuvexPlugin() {
    stopping_ = true;
    if (worker_.joinable()) {
        worker_.join();
    }
    // The accounts keep a reference to the context; free them while it lives.
    accounts_.FreeAccounts();
}

std::unique_ptr<TMainForm> TNuvexPlugin::CreateMainForm() {
    return std::make_unique<TNuvexForm>(*this);
}

TPluginObj* TNuvexPlugin::CreatePluginObj(QObject* parent) {
    return new TNuvexObj(*this, parent);
}

TNuvexForm* TNuvexPlugin::Form() const {
    return static_cast<TNuvexForm*>(MainForm());
}

const BitmapPair& TNuvexPlugin::CurrentBitmap() const {
    return showingNewMail_ ? newMail_ : ButtonBitmap();
}

bool TNuvexPlugin::PingHost() {
    return PluginConnected() && host_->Ping();
}

std::string TNuvexPlugin::ReadStr(HostConfig& cfg, const char* key, int flag, const std::string& keep) {
    return cfg.ReadCfgStr(key, flag).value_or(keep);
}

void TNuvexPlugin::RefreshConfig() {
    if (refreshing_) {
        return;
    }
    refreshing_ = true;
    struct Clear {
        bool& flag;
        ~Clear() { flag = false; }
    } clear{refreshing_};

    if (!PluginConnected()) {
        return;
    }
    HostConfig* cfg = host_->Settings();
    if (!cfg) {
        return;
    }
    Guarded([&] { PingHost(); });
    const bool wasEnabled = enabled_;
    Guarded([&] {
        const std::string all = PluginName().toStdString() + "_ALL";
        if (auto v = cfg->ReadCfgBool(all, -1)) {
            enabled_ = *v;
        }
        const bool showTray = cfg->ReadCfgBool("SHOW_TRAY").value_or(false);
        if (TNuvexForm* form = Form()) {
            form->SetTrayVisible(enabled_ && showTray);
        }
    });

    if (enabled_) {
        Guarded([&] {
            if (typesAllowed_) {
                return;
            }
            typesAllowed_ = true;
            for (const TConnectorClass* cls : types_.OptionalConnectorClasses()) {
                auto allow = cfg->ReadCfgBool("ALLOW_" + cls->TypeCode());
                if (allow && *allow) {
                    types_.AllowConnectorClass(*cls);
                }
            }
        });
        Guarded([&] {
            choices_.showWindow = ReadChoice(*cfg, "DISPNOTIFWIN", choices_.showWindow);
            choices_.playSound = ReadChoice(*cfg, "PLAYSOUND", choices_.playSound);
            choices_.changeTray = ReadChoice(*cfg, "CHANGETRAY", choices_.changeTray);
            choices_.currentBrowserWindow =
                ReadChoice(*cfg, "CURRBROWSEWINDOW", choices_.currentBrowserWindow);
        });
        bool changed = false;
        Guarded([&] {
            setupDoneChange_ = ReadStr(*cfg, "SETUP_LAST_DONE_CHANGE", -1, setupDoneChange_);
            currentMailto_ = ReadStr(*cfg, "CURRENT_MAILTO", -1, currentMailto_);
            registerUrl_ = ReadStr(*cfg, "REG_MAIL", -1, registerUrl_);
            helpLink_ = ReadStr(*cfg, "WHAT_LINK", -1, helpLink_);
            if (auto last = cfg->ReadCfgStr("SETUP_LAST_CHANGE")) {
                changed = *last != setupDoneChange_;
                if (changed && cfg->WriteCfgStr("SETUP_LAST_DONE_CHANGE", *last)) {
                    setupDoneChange_ = *last;
                }
            }
        });
        Guarded([&] {
            auto text = cfg->ReadCfgStr("ACCOUNTS");
            if (!text || text->empty()) {
                return;
            }
            bool missed = false;
            // The list keeps the long-lived store: the worker reads it later.
            const std::vector<std::string> ids =
                LoadAccountList(accounts_, *text, types_, context_, &host_->LongLivedSettings(), &missed);
            // A pass held the lock; load again when it has ended.
            reloadAfterTick_ = missed;
            for (const std::string& id : ids) {
                Guarded([&] {
                    TNuvex_GenericConnector* account = accounts_.FindAccount(id, true);
                    if (!account || !account->Enabled) {
                        return;
                    }
                    if (auto sendTo = cfg->ReadCfgBool(Key(id, "_SENDTO"))) {
                        UpkeepAccount(*account, *sendTo, changed);
                    }
                });
            }
        });
        Guarded([&] { UpkeepClose(changed); });
    } else {
        Guarded([&] { DisabledCleanup(); });
    }
    if (!wasEnabled && enabled_) {
        cycle_.SetNextTick(0);
    }
}

void TNuvexPlugin::UpkeepAccount(TNuvex_GenericConnector&, bool, bool) {}
void TNuvexPlugin::UpkeepClose(bool) {}
void TNuvexPlugin::DisabledCleanup() {}
void TNuvexPlugin::AfterInstallCheck() {}
void TNuvexPlugin::AddAccountFromTray() {}

QString TNuvexPlugin::BuildMenuText(bool store) {
    QString text = QStringLiteral("$\r\n");
    if (!PluginConnected() || !PingHost()) {
        return text;
    }
    MenuSnapshot snap;
    snap.enabled = SnapshotEnabledAccounts(accounts_);
    if (HostConfig* cfg = host_->Settings()) {
        snap.composeId = cfg->ReadCfgStr("MAILACCCOMP").value_or("");
        snap.helpUrl = cfg->ReadCfgStr("HELP_URL", 0).value_or("");
        snap.aboutUrl = cfg->ReadCfgStr("ABOUT_URL", 0).value_or("");
    }
    const std::string built = BuildMenuLines(snap);
    text = QString::fromStdString(built);
    if (TNuvexForm* form = Form(); form && text != lastTrayMenuText_) {
        // The popup is rebuilt only when it would change: every tick asks.
        MenuOptions options;
        options.idStep = 100;
        options.search = false;
        form->RebuildPopupMenu(TrayMenuLines(built), options, 0);
        lastTrayMenuText_ = text;
    }
    if (store) {
        lastMenuText_ = text;
    }
    return text;
}

QString TNuvexPlugin::CurrentCaption() {
    std::int32_t unread = 0;
    for (const MenuAccount& a : SnapshotEnabledAccounts(accounts_)) {
        unread += a.unread;
    }
    return QString::fromStdString(MailCaption(unread));
}

void TNuvexPlugin::UpdateButtonMenu() {
    if (!host_->Settings()) {
        return;
    }
    const QString text = BuildMenuText(false);
    if (text == lastMenuText_) {
        return;
    }
    // Remembered only once the host has it, so a failed send is tried again.
    if (host_->SetButtonMenu(text)) {
        lastMenuText_ = text;
    }
}

void TNuvexPlugin::Tick() {
    if (!PluginConnected() || !Running() || tickRunning_ || stopping_) {
        return;
    }
    Guarded([&] { AfterInstallCheck(); });
    Guarded([&] {
        if (blinkUntil_ > 0 && Now() > blinkUntil_) {
            EndBlink();
        }
    });
    if (Now() > cycle_.NextTick()) {
        Guarded([&] { PingHost(); });
        StartCheckPass();
    }
}

void TNuvexPlugin::StartCheckPass() {
    if (!namedStop_) {
        namedStop_ = NamedStopEvents();
    }
    tickRunning_ = true;
    TickSettings settings{choices_.showWindow, choices_.playSound, choices_.changeTray};
    StopPredicate named = namedStop_;
    std::atomic<bool>* stopping = &stopping_;
    if (worker_.joinable()) {
        worker_.join();
    }
    // The pass waits on the network: never on the GUI thread. The result
    // comes back through the event loop.
    worker_ = std::thread([this, settings, named, stopping] {
        TickResult result;
        try {
            result = cycle_.Tick(settings, [&] { return stopping->load() || (named && named()); });
        } catch (...) {
        }
        QMetaObject::invokeMethod(
            this, [this, result] { FinishCheckPass(result); }, Qt::QueuedConnection);
    });
}

void TNuvexPlugin::FinishCheckPass(const TickResult& result) {
    if (worker_.joinable()) {
        worker_.join();
    }
    tickRunning_ = false;
    if (result.ran) {
        checkNowTarget_ = "\t";
    }
    if (!PluginConnected() || stopping_) {
        return;
    }
    if (result.ranPass2 && !result.stopped) {
        Guarded([&] { ApplyTickResult(result); });
    }
    if (reloadAfterTick_) {
        reloadAfterTick_ = false;
        Guarded([&] { RefreshConfig(); });
    }
    Guarded([&] { UpdateButtonMenu(); });
}

void TNuvexPlugin::ApplyTickResult(const TickResult& r) {
    if (r.HasNews()) {
        if (r.changeTray) {
            Guarded([&] {
                if (TNuvexForm* form = Form()) {
                    SetTrayNewMail(&form->Tray(), r.totalNew, r.totalUnread);
                }
            });
        }
        if (r.showWindow) {
            Guarded([&] { showNotify_(r.totalUnread, r.messages, r.errors); });
        }
        if (r.playSound) {
            Guarded([&] { playSound_(); });
        }
    }
    const QString caption = QString::fromStdString(MailCaption(r.totalUnread));
    if (r.totalUnread != 0) {
        SetTrayTip(TrayNewMailTip(r.totalUnread));
        if (r.totalNew > 0) {
            blinkUntil_ = Now() + kBlinkDays;
            ShowCurrentBitmap(true);
        }
    } else {
        SetTrayTip(DefaultTrayTip());
        blinkUntil_ = 0;
        ShowCurrentBitmap(false);
        SetTrayDefault();
    }
    if (caption != lastCaption_) {
        bool ok = host_->SetButtonCaption(caption);
        ok = host_->SetButtonHint(caption) && ok;
        if (ok) {
            lastCaption_ = caption;
        }
    }
}

void TNuvexPlugin::EndBlink() {
    blinkUntil_ = 0;
    ShowCurrentBitmap(false);
    SetTrayDefault();
    SetTrayTip(DefaultTrayTip());
}

void TNuvexPlugin::ShowCurrentBitmap(bool newMail) {
    showingNewMail_ = newMail;
    host_->SetButtonBitmap(CurrentBitmap().hex);
}

QString TNuvexPlugin::DefaultTrayTip() const {
    return QString::fromStdString(Translate("Right-click on the icon to access Email Plugin menu."));
}

void TNuvexPlugin::SetTrayTip(const QString& tip) {
    trayTip_ = tip;
    if (TNuvexForm* form = Form()) {
        form->SetTrayToolTip(tip);
    }
}

void TNuvexPlugin::SetTrayDefault() {
    if (TNuvexForm* form = Form()) {
        form->SetTrayImage(Picture("TRAYICON"));
    }
}

void TNuvexPlugin::OnRefreshMessage() {
    if (!host_->Settings()) {
        return;
    }
    Guarded([&] { RefreshConfig(); });
    Guarded([&] { UpdateButtonMenu(); });
}

void TNuvexPlugin::SetBrowserContext(const QString& context) {
    std::lock_guard<std::mutex> lock(navMutex_);
    browserContext_ = context;
    browserContextStamp_ = TickCount();
}

void TNuvexPlugin::PostNavigate(const std::string& url, const std::string& commandLine) {
    {
        std::lock_guard<std::mutex> lock(navMutex_);
        navUrl_ = url;
        navCommand_ = commandLine;
    }
    if (TMainForm* form = MainForm()) {
        form->PostMessage(navUrlMsg_);
    }
}

void TNuvexPlugin::HandleNavigate() {
    std::string url;
    std::string command;
    QString context;
    std::uint64_t stamp = 0;
    {
        std::lock_guard<std::mutex> lock(navMutex_);
        url.swap(navUrl_);
        command.swap(navCommand_);
        context = browserContext_;
        stamp = browserContextStamp_;
    }
    if (!host_->Settings() || url.empty()) {
        return;
    }
    bool numeric = false;
    context.toLongLong(&numeric);
    if (choices_.currentBrowserWindow && numeric && TickCount() - stamp < kBrowserContextMs) {
        // A window that went away meanwhile still gets the page, in a new one.
        if (host_->NavigateWindow(context, QString::fromStdString(url))) {
            return;
        }
    }
    bool started = false;
    if (!command.empty()) {
        ShellProgramLauncher shell;
        ProgramLauncher& launcher = launcher_ ? *launcher_ : static_cast<ProgramLauncher&>(shell);
        started = launcher.Run(command);
    }
    if (!started) {
        openBrowser_(url);
    }
}

void TNuvexPlugin::CheckNowIfIdle(const std::string& id) {
    // Nothing to add while a check of all, or of this account, is still out.
    if (checkNowTarget_.empty() || (!id.empty() && checkNowTarget_ == id)) {
        return;
    }
    checkNowTarget_ = id;
    cycle_.CheckNow(id);
    QTimer::singleShot(kCheckNowDelayMs, this, [this] { Tick(); });
}

void TNuvexPlugin::ExecCommand(const QString& qcommand) {
    if (!host_->Settings()) {
        return;
    }
    const std::string command = qcommand.toStdString();
    const auto bar = command.find('_');
    const std::string prefix = bar == std::string::npos ? command : command.substr(0, bar);
    const std::string rest = bar == std::string::npos ? std::string() : command.substr(bar + 1);
    Guarded([&] {
        if (command == "ADD_ACCOUNT_TRAY") {
            AddAccountFromTray();
        } else if (command == "CHECK_ALL") {
            CheckNowIfIdle("");
        } else if (command == "SETTINGS") {
            host_->ShowSettings();
        } else if (prefix == "CHECK") {
            if (!rest.empty()) {
                CheckNowIfIdle(rest);
            }
        } else if (prefix == "COMPOSE" || prefix == "OPEN") {
            SetBrowserContext(QString());
            if (TNuvex_GenericConnector* account = accounts_.FindAccount(rest, true)) {
                prefix == "COMPOSE" ? account->Compose() : account->OpenMailbox();
            }
        } else if (command == "REMOVE") {
            if (TNuvexForm* form = Form()) {
                form->SetTrayVisible(false);
            }
            if (HostConfig* cfg = host_->Settings()) {
                cfg->WriteCfgBool("SHOW_TRAY", false, -1);
            }
        } else if (command == "HELP" || command == "ABOUT") {
            HostConfig* cfg = host_->Settings();
            const std::string url = cfg ? cfg->ReadCfgStr(command + "_URL", 0).value_or("") : "";
            if (!url.empty()) {
                openBrowser_(url);
            }
        }
    });
}

void TNuvexPlugin::OpenHelpLink(int tag) {
    QString url = QString::fromStdString(helpLink_);
    url.replace(QStringLiteral("%help_tag"), QString::number(tag), Qt::CaseInsensitive);
    if (!url.isEmpty()) {
        Guarded([&] { openBrowser_(url.toStdString()); });
    }
}

void TNuvexPlugin::OpenRegisterPage() {
    if (!registerUrl_.empty()) {
        Guarded([&] { openBrowser_(registerUrl_); });
    }
}

void TNuvexPlugin::OpenAccountMailbox(const std::string& accountId) {
    Guarded([&] { ::nuvex::OpenAccountMailbox(accounts_, accountId); });
}

void TNuvexPlugin::OpenAccountMessage(const std::string& accountId, const std::string& messageRef) {
    Guarded([&] { ::nuvex::OpenAccountMessage(accounts_, accountId, messageRef); });
}

void TNuvexPlugin::Deactivated() {
    if (TNuvexForm* form = Form()) {
        form->SetTrayVisible(false);
        form->TickTimer().stop();
    }
    SetPluginConnected(false);
    for (int i = 0; i < 100 && tickRunning_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        QCoreApplication::processEvents();
    }
    SetRunning(false);
}

void TNuvexPlugin::ResumeTicks() {
    if (TNuvexForm* form = Form(); form && !stopping_) {
        form->TickTimer().start();
    }
}

void TNuvexPlugin::ShutdownController() {
    SetPluginConnected(false);
    stopping_ = true;
    if (TNuvexForm* form = Form()) {
        form->TickTimer().stop();
    }
    // The pass ends at its next account (the stop flag); its result has to
    // come back through the event loop.
    for (int i = 0; i < 100 && tickRunning_; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace nuvex
