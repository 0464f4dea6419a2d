// The mail controller against a recording host: the settings refresh and the
// points where the mail-client upkeep runs, the tick's caption and blink, the
// menu resend, the tray commands and the navigation hand-off.
#include "accounts/generic_connector.h"
#include "core/mail_host.h"
#include "core/nuvex_form.h"
#include "core/nuvex_obj.h"
#include "core/nuvex_plugin.h"
#include "core/plugin_process.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <future>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

class FakeMailHost final : public MailHost {
public:
    MemoryHostConfig cfg;
    // When set, the interface of the moment (which a failed call replaces)
    // differs from the long-lived store.
    HostConfig* transient = nullptr;
    bool present = true;
    bool buttonCallsFail = false;
    QStringList captions, hints, menus, bitmaps, visibility;
    std::vector<std::pair<QString, QString>> navigations;
    bool navigateOk = true;
    int settingsShown = 0;

    HostConfig* Settings() override { return present ? (transient ? transient : &cfg) : nullptr; }
    HostConfig& LongLivedSettings() override { return cfg; }
    int pings = 0;
    bool Ping() override {
        ++pings;
        return present;
    }
    bool SetButtonCaption(const QString& c, const QString& = QString()) override {
        return Record(captions, c);
    }
    bool SetButtonHint(const QString& h, const QString& = QString()) override { return Record(hints, h); }
    bool SetButtonMenu(const QString& m) override { return Record(menus, m); }
    bool SetButtonBitmap(const QString& hex, const QString& = QString()) override {
        return Record(bitmaps, hex);
    }
    bool SetButtonVisible(const QString& button, bool visible, const QString& context) override {
        return Record(visibility, context + ":" + button + (visible ? "=1" : "=0"));
    }
    bool NavigateWindow(const QString& context, const QString& url) override {
        navigations.emplace_back(context, url);
        return navigateOk;
    }
    bool ShowSettings() override {
        ++settingsShown;
        return true;
    }

private:
    bool Record(QStringList& list, const QString& v) {
        if (buttonCallsFail) {
            return false;
        }
        list << v;
        return true;
    }
};

class RecordingLauncher final : public ProgramLauncher {
public:
    bool ok = true;
    std::vector<std::string> runs;
    bool Run(const std::string& commandLine) override {
        runs.push_back(commandLine);
        return ok;
    }
};

// Records the order in which the upkeep points run.
class RecordingPlugin final : public TNuvexPlugin {
public:
    explicit RecordingPlugin(std::unique_ptr<MailHost> host) : TNuvexPlugin(std::move(host)) {}
    std::vector<std::string> calls;
    void UpkeepAccount(TNuvex_GenericConnector& a, bool sendTo, bool changed) override {
        calls.push_back("account " + a.AccountId + (sendTo ? " sendto" : " -") +
                        (changed ? " changed" : " same"));
    }
    void UpkeepClose(bool changed) override {
        calls.push_back(std::string("close ") + (changed ? "changed" : "same"));
    }
    void DisabledCleanup() override { calls.push_back("disabled"); }
    void AfterInstallCheck() override { calls.push_back("after-install"); }
    void AttachForm() { mainForm_ = CreateMainForm(); }
};

std::string Pop3Record(const std::string& email) {
    TCryptURL record;
    record.SetParam("USERNAME", "u");
    record.SetParam("EMAIL", email);
    record.SetParam("PASSWORD", "pw");
    record.SetParam("HOSTNAME", "127.0.0.1");
    return record.EncodeParams();
}

class MailControllerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static test::TempDir dir;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.path()));
        qputenv("NUVEX_OBJECTS_DIR", QByteArray::fromStdString(dir.path()));
        static int argc = 1;
        static char name[] = "mail_controller_test";
        static char* argv[] = {name, nullptr};
        static QApplication app(argc, argv);
        LoadButtonBitmap();
    }

    void SetUp() override {
        SetDefaultClock(&clock);
        SetPluginConnected(true);
        auto owned = std::make_unique<FakeMailHost>();
        host = owned.get();
        plugin = std::make_unique<RecordingPlugin>(std::move(owned));
        plugin->SetRunning(true);
        plugin->Navigation().SetLauncher(&launcher);
        plugin->Navigation().SetBrowserOpener([this](const std::string& url) { opened.push_back(url); });
        plugin->SetNotifyShower([this](const NotifyContext& context, std::int32_t total,
                                       const TNotifyMessages& m, const TNotifyMessages& e) {
            shown.push_back({total, m.Count(), e.Count()});
            shownContexts.push_back(context);
        });
        plugin->Presenter().SetSoundPlayer([this] { ++sounds; });
        host->cfg.WriteCfgBool("MAIL_ALL", true);
    }

    void TearDown() override {
        plugin.reset();
        SetPluginConnected(false);
        SetDefaultClock(nullptr);
    }

    void WaitTickDone() {
        QElapsedTimer t;
        t.start();
        while (plugin->Scheduler().PassOut() && t.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        ASSERT_FALSE(plugin->Scheduler().PassOut());
    }

    static TickResult Pass(int unread, int fresh) {
        TickResult r;
        r.ran = r.ranPass2 = true;
        r.totalUnread = unread;
        r.totalNew = fresh;
        r.showWindow = r.playSound = r.changeTray = true;
        return r;
    }

    FakeClock clock;
    FakeMailHost* host = nullptr;
    std::unique_ptr<RecordingPlugin> plugin;
    RecordingLauncher launcher;
    std::vector<std::string> opened;
    std::vector<std::array<int, 3>> shown;
    std::vector<NotifyContext> shownContexts;
    int sounds = 0;
};

// --- The refresh and the upkeep points -------------------------------------

TEST_F(MailControllerTest, RefreshRunsTheAccountUpkeepForEnabledAccountsThenTheClosingStep) {
    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x") + "\r\nPOP3:2=" + Pop3Record("b@x") +
                                          "\r\nPOP3:3=" + Pop3Record("c@x") + "\r\n");
    host->cfg.WriteCfgBool("POP3_1_SENDTO", true);
    host->cfg.WriteCfgStr("POP3_2_ENABLED", "0");
    host->cfg.WriteCfgBool("POP3_2_SENDTO", true);
    host->cfg.WriteCfgBool("POP3_3_SENDTO", false);
    host->cfg.WriteCfgStr("SETUP_LAST_CHANGE", "1700000000000");
    plugin->RefreshConfig();
    EXPECT_EQ(plugin->calls, (std::vector<std::string>{"account POP3_1 sendto changed",
                                                       "account POP3_3 - changed", "close changed"}));
    EXPECT_EQ(host->cfg.ReadCfgStr("SETUP_LAST_DONE_CHANGE").value_or(""), "1700000000000");

    // The stamp is applied: the next refresh sees no change.
    plugin->calls.clear();
    plugin->RefreshConfig();
    EXPECT_EQ(plugin->calls, (std::vector<std::string>{"account POP3_1 sendto same", "account POP3_3 - same",
                                                       "close same"}));
}

TEST_F(MailControllerTest, FailedSendToReadSkipsTheAccountsUpkeepButTheListIsClosed) {
    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x"));
    plugin->RefreshConfig();
    EXPECT_EQ(plugin->calls, (std::vector<std::string>{"account POP3_1 - same", "close same"}));
    plugin->calls.clear();
    host->cfg.failAll = true; // every read fails: no account is walked
    plugin->RefreshConfig();
    EXPECT_EQ(plugin->calls, std::vector<std::string>{"close same"});
    EXPECT_EQ(plugin->Accounts().FindAccount("POP3_1", true)->Email, "a@x");
}

TEST_F(MailControllerTest, DisabledPluginCleansUpLoadsNothingAndReEnablingMakesTheNextTickDue) {
    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x"));
    host->cfg.WriteCfgBool("MAIL_ALL", false);
    plugin->Cycle().SetNextTick(Now() + 1);
    plugin->RefreshConfig();
    EXPECT_EQ(plugin->calls, std::vector<std::string>{"disabled"});
    EXPECT_EQ(plugin->Accounts().FindAccount("POP3_1", true), nullptr);
    EXPECT_GT(plugin->Cycle().NextTick(), Now());

    host->cfg.WriteCfgBool("MAIL_ALL", true);
    plugin->RefreshConfig();
    EXPECT_EQ(plugin->Cycle().NextTick(), 0);
    EXPECT_NE(plugin->Accounts().FindAccount("POP3_1", true), nullptr);

    // Enabled before and after: the schedule stays.
    plugin->Cycle().SetNextTick(Now() + 1);
    plugin->RefreshConfig();
    EXPECT_GT(plugin->Cycle().NextTick(), Now());
}

TEST_F(MailControllerTest, RefreshDoesNothingWithoutAHostOrBeforeConnect) {
    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x"));
    host->present = false;
    plugin->RefreshConfig();
    host->present = true;
    SetPluginConnected(false);
    plugin->RefreshConfig();
    EXPECT_TRUE(plugin->calls.empty());
    EXPECT_FALSE(plugin->Enabled());
}

TEST_F(MailControllerTest, FailedReadsKeepTheNotifyChoices) {
    host->cfg.WriteCfgBool("PLAYSOUND", false);
    host->cfg.WriteCfgBool("DISPNOTIFWIN", true);
    host->cfg.WriteCfgBool("CURRBROWSEWINDOW", true);
    plugin->RefreshConfig();
    EXPECT_FALSE(plugin->Choices().playSound);
    EXPECT_TRUE(plugin->Choices().showWindow);
    EXPECT_TRUE(plugin->Choices().currentBrowserWindow);
    host->cfg.failAll = true;
    plugin->RefreshConfig();
    EXPECT_FALSE(plugin->Choices().playSound);
    EXPECT_TRUE(plugin->Choices().currentBrowserWindow);
    EXPECT_TRUE(plugin->Enabled());
}

TEST_F(MailControllerTest, UnsetChoicesKeepTheirDefaultsAndStoredOnesApply) {
    plugin->RefreshConfig();
    EXPECT_TRUE(plugin->Choices().showWindow);
    EXPECT_TRUE(plugin->Choices().playSound);
    EXPECT_TRUE(plugin->Choices().changeTray);
    EXPECT_FALSE(plugin->Choices().currentBrowserWindow);
    host->cfg.WriteCfgBool("DISPNOTIFWIN", false);
    host->cfg.WriteCfgBool("CHANGETRAY", false);
    plugin->RefreshConfig();
    EXPECT_FALSE(plugin->Choices().showWindow);
    EXPECT_TRUE(plugin->Choices().playSound);
    EXPECT_FALSE(plugin->Choices().changeTray);
}

// --- The tick ----------------------------------------------------------------

TEST_F(MailControllerTest, FiveUnreadAllNewSetsTheCaptionAndBlinksUntilAPassFindsNothing) {
    TickResult r = Pass(5, 5);
    plugin->Presenter().ApplyTickResult(r);
    EXPECT_EQ(plugin->Presenter().ButtonCaption(), "5 New");
    EXPECT_EQ(host->captions, QStringList{"5 New"});
    EXPECT_EQ(host->hints, QStringList{"5 New"});
    EXPECT_EQ(plugin->Presenter().TrayToolTip(), "You have 5 new emails.");
    EXPECT_NEAR(plugin->Presenter().BlinkUntil(), Now() + 5 * kOneMinute, 1e-9);
    ASSERT_FALSE(host->bitmaps.isEmpty());
    EXPECT_EQ(host->bitmaps.back(), plugin->Presenter().NewMailBitmap().hex);
    EXPECT_EQ(plugin->Presenter().CurrentBitmap().hex, plugin->Presenter().NewMailBitmap().hex);
    EXPECT_FALSE(plugin->Presenter().NewMailBitmap().hex.isEmpty());
    EXPECT_EQ(sounds, 1);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0][0], 5);

    clock.AdvanceMs(60'000);
    plugin->Presenter().ApplyTickResult(Pass(0, 0));
    EXPECT_EQ(plugin->Presenter().BlinkUntil(), 0);
    EXPECT_EQ(plugin->Presenter().ButtonCaption(), "Email");
    EXPECT_EQ(host->bitmaps.back(), ButtonBitmap().hex);
    EXPECT_EQ(plugin->Presenter().TrayToolTip(), "Right-click on the icon to access Email Plugin menu.");
    // Nothing new, nothing to report: no window and no sound.
    EXPECT_EQ(sounds, 1);
    EXPECT_EQ(shown.size(), 1u);
}

TEST_F(MailControllerTest, QuietHoursCountNewsButNeitherShowNorSoundIt) {
    host->cfg.WriteCfgStr("QUIET_HOURS", "Mon-Sun 00:00-24:00");
    plugin->RefreshConfig();
    plugin->Presenter().ApplyTickResult(Pass(5, 5));
    EXPECT_EQ(plugin->Presenter().ButtonCaption(), "5 New");
    EXPECT_EQ(plugin->Presenter().TrayToolTip(), "You have 5 new emails.");
    EXPECT_EQ(sounds, 0);
    EXPECT_TRUE(shown.empty());

    host->cfg.WriteCfgStr("QUIET_HOURS", "Mon-Sun 25:00-26:00"); // refused: no quiet hours
    plugin->RefreshConfig();
    plugin->Presenter().ApplyTickResult(Pass(6, 1));
    EXPECT_EQ(sounds, 1);
    EXPECT_EQ(shown.size(), 1u);
}

TEST_F(MailControllerTest, AccountsAnnouncedTogetherSoundOnceAndTheWindowGathersThePass) {
    auto news = [](int unread, int fresh) {
        TickResult r = Pass(unread, fresh);
        for (int i = 0; i < fresh; ++i) {
            TNotifyMessageItem item;
            item.ItemKind = kNotifyMessage;
            r.messages.Add(item);
        }
        return r;
    };
    plugin->AnnounceAccount(news(3, 2));
    clock.AdvanceMs(100);
    plugin->AnnounceAccount(news(5, 1));
    EXPECT_EQ(sounds, 1);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1], (std::array<int, 3>{5, 3, 0}));
    EXPECT_EQ(host->captions.back(), "5 New");
    clock.AdvanceMs(300);
    plugin->AnnounceAccount(news(6, 1));
    EXPECT_EQ(sounds, 2);
}

TEST_F(MailControllerTest, UnchangedCaptionIsNotResentAndOldUnreadDoesNotBlink) {
    plugin->Presenter().ApplyTickResult(Pass(2, 0));
    plugin->Presenter().ApplyTickResult(Pass(2, 0));
    EXPECT_EQ(host->captions, QStringList{"2 New"});
    EXPECT_EQ(plugin->Presenter().BlinkUntil(), 0);
    EXPECT_TRUE(shown.empty());
}

TEST_F(MailControllerTest, CaptionTheHostDidNotTakeIsSentAgain) {
    host->buttonCallsFail = true;
    plugin->Presenter().ApplyTickResult(Pass(3, 0));
    host->buttonCallsFail = false;
    plugin->Presenter().ApplyTickResult(Pass(3, 0));
    EXPECT_EQ(host->captions, QStringList{"3 New"});
}

TEST_F(MailControllerTest, ChoicesOfThePassDecideWindowSoundAndErrorsAloneShowTheWindow) {
    TickResult r = Pass(0, 0);
    r.playSound = false;
    TNotifyMessageItem error;
    r.errors.Add(error);
    plugin->Presenter().ApplyTickResult(r);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0][2], 1);
    EXPECT_EQ(sounds, 0);
}

TEST_F(MailControllerTest, BlinkEndsOnTheFirstTimerEventAfterFiveMinutes) {
    plugin->Presenter().ApplyTickResult(Pass(1, 1));
    plugin->Cycle().SetNextTick(Now() + 1); // no pass due
    clock.AdvanceMs(5 * 60'000);
    plugin->Tick();
    EXPECT_GT(plugin->Presenter().BlinkUntil(), 0); // not yet later
    clock.AdvanceMs(1);
    plugin->Tick();
    EXPECT_EQ(plugin->Presenter().BlinkUntil(), 0);
    EXPECT_EQ(host->bitmaps.back(), ButtonBitmap().hex);
    // The caption keeps its count: the mail is still unread.
    EXPECT_EQ(plugin->Presenter().ButtonCaption(), "1 New");
    EXPECT_EQ(plugin->Presenter().TrayToolTip(), "Right-click on the icon to access Email Plugin menu.");
}

TEST_F(MailControllerTest, TickRunsTheAfterInstallCheckFirstAndNeverOverlaps) {
    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x") + "\r\n");
    plugin->RefreshConfig();
    plugin->calls.clear();
    plugin->Cycle().SetNextTick(0);
    plugin->Tick();
    EXPECT_EQ(plugin->calls, std::vector<std::string>{"after-install"});
    if (plugin->Scheduler().PassOut()) {
        plugin->Tick(); // the pass is still out: the handler is detached
        EXPECT_EQ(plugin->calls.size(), 1u);
    }
    WaitTickDone();
    // The pass ran and put the next one 15 seconds out.
    EXPECT_GT(plugin->Cycle().NextTick(), Now());
    plugin->Tick();
    EXPECT_EQ(plugin->calls.size(), 2u);
    EXPECT_FALSE(plugin->Scheduler().PassOut());
}

// A tick with no account due starts no pass and calls nothing on the host, so
// an idle plug-in wakes only for its timer; the first tick after the account
// falls due checks it.
TEST_F(MailControllerTest, IdleTickCallsNothingAndADueAccountIsCheckedAtTheNextTick) {
    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x") + "\r\n");
    plugin->RefreshConfig();
    plugin->Cycle().SetNextTick(0);
    plugin->Tick(); // never checked: due
    WaitTickDone();
    const int pings = host->pings;
    const qsizetype menus = host->menus.size();
    const double nextTick = plugin->Cycle().NextTick();
    for (int i = 0; i < 10; ++i) {
        clock.AdvanceMs(5'000);
        plugin->Tick();
        EXPECT_FALSE(plugin->Scheduler().PassOut()) << i;
    }
    EXPECT_EQ(host->pings, pings);
    EXPECT_EQ(host->menus.size(), menus);
    EXPECT_EQ(plugin->Cycle().NextTick(), nextTick); // no pass moved it
    clock.AdvanceMs(15 * 60'000);
    plugin->Tick();
    WaitTickDone();
    EXPECT_GT(host->pings, pings); // the pass ran
    EXPECT_GT(plugin->Cycle().NextTick(), Now());
}

// A check asked for with nothing to check (an unknown or disabled account)
// still runs its pass, which ends the request: asking again works.
TEST_F(MailControllerTest, CheckNowWithNothingDueStillEndsTheRequest) {
    plugin->ExecCommand("CHECK_POP3_9");
    EXPECT_EQ(plugin->Scheduler().CheckNowTarget(), "POP3_9");
    clock.AdvanceMs(2'000);
    plugin->Tick();
    WaitTickDone();
    EXPECT_EQ(plugin->Scheduler().CheckNowTarget(), TCheckScheduler::kNoCheckPending);
    plugin->ExecCommand("CHECK_POP3_9");
    EXPECT_EQ(plugin->Scheduler().CheckNowTarget(), "POP3_9");
}

TEST_F(MailControllerTest, TickDoesNothingBeforeConnectOrAfterTheMainLoopEnded) {
    SetPluginConnected(false);
    plugin->Tick();
    SetPluginConnected(true);
    plugin->SetRunning(false);
    plugin->Tick();
    EXPECT_TRUE(plugin->calls.empty());
}

TEST_F(MailControllerTest, DeactivationStopsTheTicksHidesTheTrayAndEndsTheMainLoop) {
    plugin->AttachForm();
    auto* form = static_cast<TNuvexForm*>(plugin->MainForm());
    EXPECT_TRUE(form->TickTimer().isActive());
    EXPECT_EQ(form->TickTimer().interval(), kTickPeriodMs);
    plugin->Cycle().SetNextTick(0);
    plugin->Tick(); // a pass is out while the host turns the plug-in off
    plugin->Deactivated();
    EXPECT_FALSE(plugin->Scheduler().PassOut());
    EXPECT_FALSE(form->TickTimer().isActive());
    EXPECT_FALSE(form->TrayShown());
    EXPECT_FALSE(PluginConnected());
    EXPECT_FALSE(plugin->Running());
}

TEST(TickPeriodTest, OnlyAShorterPeriodFromTheEnvironmentIsTaken) {
    qputenv("NUVEX_TICK_MS", "250");
    EXPECT_EQ(TickPeriodFromEnvironment(), 250);
    for (const char* bad : {"0", "20", "60000", "5000x", ""}) {
        qputenv("NUVEX_TICK_MS", bad);
        EXPECT_EQ(TickPeriodFromEnvironment(), kTickPeriodMs) << bad;
    }
    qunsetenv("NUVEX_TICK_MS");
    EXPECT_EQ(TickPeriodFromEnvironment(), kTickPeriodMs);
}

// --- The menu ----------------------------------------------------------------

TEST_F(MailControllerTest, MenuIsSentOnlyWhenItsTextChanged) {
    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x"));
    plugin->AttachForm();
    plugin->RefreshConfig();
    plugin->Presenter().UpdateButtonMenu();
    plugin->Presenter().UpdateButtonMenu();
    ASSERT_EQ(host->menus.size(), 1);
    EXPECT_TRUE(host->menus[0].contains("{Go to a@x=OPEN_POP3_1\r\n"));
    EXPECT_FALSE(host->menus[0].contains("Check All Accounts"));
    EXPECT_EQ(plugin->Presenter().LastMenuText(), host->menus[0]);
    // The tray got the same lines with its own commands.
    bool removeItem = false;
    for (const TMenuItem& item : plugin->MainForm()->MenuItems()) {
        removeItem = removeItem || item.command == "REMOVE";
        EXPECT_NE(item.command, "ADD_ACCOUNT");
    }
    EXPECT_TRUE(removeItem);

    plugin->Accounts().FindAccount("POP3_1", true)->UnreadCount = 4;
    plugin->Presenter().UpdateButtonMenu();
    ASSERT_EQ(host->menus.size(), 2);
    EXPECT_TRUE(host->menus[1].contains("{Go to a@x (4 New)=OPEN_POP3_1\r\n"));
}

TEST_F(MailControllerTest, MenuWithoutAHostIsOnlyTheSectionLine) {
    host->present = false;
    EXPECT_EQ(plugin->Presenter().BuildMenuText(false), "$\r\n");
    plugin->Presenter().UpdateButtonMenu();
    EXPECT_TRUE(host->menus.isEmpty());
}

// --- Tray commands -----------------------------------------------------------

TEST_F(MailControllerTest, CheckAllIsNotRepeatedWhileItRunsAndCoversEachAccount) {
    plugin->Cycle().SetNextTick(Now() + 1);
    plugin->ExecCommand("CHECK_ALL");
    EXPECT_EQ(plugin->Scheduler().CheckNowTarget(), "");
    EXPECT_NEAR(plugin->Cycle().NextTick(), Now() + kOneSecond, 1e-9);
    plugin->Cycle().SetNextTick(Now() + 1);
    plugin->ExecCommand("CHECK_ALL");
    plugin->ExecCommand("CHECK_POP3_1");
    EXPECT_GT(plugin->Cycle().NextTick(), Now() + 0.5); // nothing new was asked for
}

TEST_F(MailControllerTest, CheckOfOneAccountIsNotRepeatedButAnotherOrAllMayFollow) {
    plugin->Cycle().SetNextTick(Now() + 1);
    plugin->ExecCommand("CHECK_POP3_1");
    EXPECT_EQ(plugin->Scheduler().CheckNowTarget(), "POP3_1");
    plugin->Cycle().SetNextTick(Now() + 1);
    plugin->ExecCommand("CHECK_POP3_1");
    EXPECT_GT(plugin->Cycle().NextTick(), Now() + 0.5);
    plugin->ExecCommand("CHECK_ALL");
    EXPECT_EQ(plugin->Scheduler().CheckNowTarget(), "");
}

TEST_F(MailControllerTest, RemoveHidesTheTrayAndStoresIt) {
    plugin->AttachForm();
    host->cfg.WriteCfgBool("SHOW_TRAY", true);
    plugin->ExecCommand("REMOVE");
    EXPECT_EQ(host->cfg.ReadCfgBool("SHOW_TRAY"), std::optional<bool>(false));
    EXPECT_FALSE(plugin->MainForm()->TrayShown());
}

TEST_F(MailControllerTest, HelpAndAboutOpenTheirLinksOnlyWhenSet) {
    plugin->ExecCommand("HELP");
    EXPECT_TRUE(opened.empty());
    host->cfg.WriteCfgStr("ABOUT_URL", "https://about.example.org/");
    plugin->ExecCommand("ABOUT");
    EXPECT_EQ(opened, std::vector<std::string>{"https://about.example.org/"});
    plugin->ExecCommand("SETTINGS");
    EXPECT_EQ(host->settingsShown, 1);
}

TEST_F(MailControllerTest, CommandsDoNothingWithoutAHost) {
    host->present = false;
    host->cfg.WriteCfgStr("ABOUT_URL", "https://about.example.org/");
    plugin->ExecCommand("ABOUT");
    plugin->ExecCommand("SETTINGS");
    plugin->ExecCommand("CHECK_ALL");
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(host->settingsShown, 0);
    EXPECT_EQ(plugin->Scheduler().CheckNowTarget(), "\t");
}

TEST_F(MailControllerTest, HelpLinkTakesTheTagInEveryPlaceAndRegisterPageOpensWhenSet) {
    plugin->Navigation().OpenHelpLink(1136);
    plugin->Navigation().OpenRegisterPage();
    EXPECT_TRUE(opened.empty()); // nothing read yet
    host->cfg.WriteCfgStr("WHAT_LINK", "https://help.example.org/?t=%help_tag&again=%HELP_TAG");
    host->cfg.WriteCfgStr("REG_MAIL", "https://register.example.org/");
    plugin->RefreshConfig();
    plugin->Navigation().OpenHelpLink(1136);
    plugin->Navigation().OpenRegisterPage();
    EXPECT_EQ(opened, (std::vector<std::string>{"https://help.example.org/?t=1136&again=1136",
                                                "https://register.example.org/"}));
}

// --- Navigation hand-off -----------------------------------------------------

class NavigationTest : public MailControllerTest {
protected:
    void SetUp() override {
        MailControllerTest::SetUp();
        host->cfg.WriteCfgBool("CURRBROWSEWINDOW", true);
        plugin->RefreshConfig();
    }
};

TEST_F(NavigationTest, WithinFiveSecondsThePageGoesToTheBrowserWindowOfTheCommand) {
    plugin->Navigation().SetBrowserContext("4711");
    clock.AdvanceMs(4999);
    plugin->Navigation().PostNavigate("https://mail.example.org/", "'browser' 'https://mail.example.org/'");
    plugin->Navigation().HandleNavigate();
    ASSERT_EQ(host->navigations.size(), 1u);
    EXPECT_EQ(host->navigations[0].first, "4711");
    EXPECT_EQ(host->navigations[0].second, "https://mail.example.org/");
    EXPECT_TRUE(launcher.runs.empty());
}

TEST_F(NavigationTest, LaterThanFiveSecondsTheBrowserCommandLineRuns) {
    plugin->Navigation().SetBrowserContext("4711");
    clock.AdvanceMs(5001);
    plugin->Navigation().PostNavigate("https://mail.example.org/", "'browser' 'https://mail.example.org/'");
    plugin->Navigation().HandleNavigate();
    EXPECT_TRUE(host->navigations.empty());
    EXPECT_EQ(launcher.runs, std::vector<std::string>{"'browser' 'https://mail.example.org/'"});
    EXPECT_TRUE(opened.empty());
    // The hand-off is used once.
    plugin->Navigation().HandleNavigate();
    EXPECT_EQ(launcher.runs.size(), 1u);
}

TEST_F(NavigationTest, TrayCommandsAndOffSettingUseTheCommandLine) {
    plugin->Navigation().SetBrowserContext(""); // the tray has no browser window
    plugin->Navigation().PostNavigate("https://a.example.org/", "cmd a");
    plugin->Navigation().HandleNavigate();
    host->cfg.WriteCfgBool("CURRBROWSEWINDOW", false);
    plugin->RefreshConfig();
    plugin->Navigation().SetBrowserContext("4711");
    plugin->Navigation().PostNavigate("https://b.example.org/", "cmd b");
    plugin->Navigation().HandleNavigate();
    EXPECT_TRUE(host->navigations.empty());
    EXPECT_EQ(launcher.runs, (std::vector<std::string>{"cmd a", "cmd b"}));
}

TEST_F(NavigationTest, FailedStartOrMissingCommandFallsBackToTheDesktopBrowser) {
    launcher.ok = false;
    plugin->Navigation().PostNavigate("https://a.example.org/", "cmd a");
    plugin->Navigation().HandleNavigate();
    plugin->Navigation().PostNavigate("https://b.example.org/", "");
    plugin->Navigation().HandleNavigate();
    EXPECT_EQ(opened, (std::vector<std::string>{"https://a.example.org/", "https://b.example.org/"}));
}

TEST_F(NavigationTest, BrowserWindowThatIsGoneFallsBackToTheCommandLine) {
    host->navigateOk = false;
    plugin->Navigation().SetBrowserContext("4711");
    plugin->Navigation().PostNavigate("https://a.example.org/", "cmd a");
    plugin->Navigation().HandleNavigate();
    EXPECT_EQ(host->navigations.size(), 1u);
    EXPECT_EQ(launcher.runs, std::vector<std::string>{"cmd a"});
}

TEST_F(NavigationTest, PostFromAnotherThreadReachesTheFormAsAMessage) {
    plugin->AttachForm();
    std::thread([this] { plugin->Navigation().PostNavigate("https://a.example.org/", "cmd a"); }).join();
    EXPECT_TRUE(launcher.runs.empty()); // nothing runs on the posting thread
    QCoreApplication::processEvents();
    EXPECT_EQ(launcher.runs, std::vector<std::string>{"cmd a"});
}

// --- Faults of the controller -------------------------------------------------

TEST_F(MailControllerTest, NotificationKeepsTheLongLivedStoreNotTheInterfaceOfTheMoment) {
    MemoryHostConfig transient;
    host->transient = &transient;
    plugin->Presenter().ApplyTickResult(Pass(1, 1));
    ASSERT_EQ(shownContexts.size(), 1u);
    EXPECT_EQ(shownContexts[0].host, &host->cfg);
    EXPECT_EQ(shownContexts[0].actions, plugin.get());
}

TEST_F(MailControllerTest, NegativeNewsOfOneAccountDoesNotCancelAnothersNewMail) {
    // Account A has 3 new messages, B lost 3 to another client: the sum is 0.
    TickResult r = Pass(5, 0);
    TNotifyMessageItem item;
    item.ItemKind = kNotifyMessage;
    for (int i = 0; i < 3; ++i) {
        r.messages.Add(item);
    }
    plugin->Presenter().ApplyTickResult(r);
    EXPECT_GT(plugin->Presenter().BlinkUntil(), Now());
    EXPECT_EQ(plugin->Presenter().CurrentBitmap().hex, plugin->Presenter().NewMailBitmap().hex);
    EXPECT_EQ(shown.size(), 1u);
}

TEST(PositiveNewsTest, CountsOnlyNewsThatIsThere) {
    struct Row {
        int totalNew;
        int messageEntries;
        int summaryEntries;
        int expected;
    };
    for (const Row& row : {Row{3, 3, 1, 3}, Row{0, 3, 1, 3}, Row{-4, 0, 1, 0}, Row{-4, 2, 0, 2},
                           Row{5, 2, 0, 5}, Row{0, 0, 2, 0}}) {
        TickResult r;
        r.totalNew = row.totalNew;
        for (int i = 0; i < row.messageEntries + row.summaryEntries; ++i) {
            TNotifyMessageItem item;
            item.ItemKind = i < row.messageEntries ? kNotifyMessage : kNotifySummary;
            r.messages.Add(item);
        }
        EXPECT_EQ(PositiveNews(r), row.expected) << row.totalNew << " " << row.messageEntries;
    }
}

TEST_F(MailControllerTest, FailedReadsNeverSwitchThePluginOffNorHideTheTray) {
    plugin->AttachForm();
    host->cfg.WriteCfgBool("SHOW_TRAY", true);
    plugin->RefreshConfig();
    ASSERT_TRUE(plugin->Enabled());
    ASSERT_TRUE(plugin->MainForm()->TrayWanted());
    host->cfg.failAll = true;
    plugin->RefreshConfig();
    EXPECT_TRUE(plugin->Enabled());
    EXPECT_TRUE(plugin->MainForm()->TrayWanted());
    // A read that works and says off still hides it.
    host->cfg.failAll = false;
    host->cfg.WriteCfgBool("SHOW_TRAY", false);
    plugin->RefreshConfig();
    EXPECT_FALSE(plugin->MainForm()->TrayWanted());
}

TEST_F(MailControllerTest, AccountsAddedDuringAPassLoadAfterItWithoutBlockingTheGuiThread) {
    host->cfg.WriteCfgStr("POP3_1_ENABLED", "0"); // nothing to contact
    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x"));
    plugin->RefreshConfig();
    // Something holds the list's lock, so the pass that starts now waits for it.
    std::atomic<bool> release{false};
    std::promise<void> held;
    std::thread holder([&] {
        CriticHold hold(plugin->Accounts().AccountLock, CriticHold::Mode::Exclusive, kWaitForever);
        held.set_value();
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    held.get_future().wait();
    plugin->Cycle().SetNextTick(0);
    plugin->Tick();
    ASSERT_TRUE(plugin->Scheduler().PassOut());

    host->cfg.WriteCfgStr("ACCOUNTS", "POP3:1=" + Pop3Record("a@x") + "\r\nPOP3:2=" + Pop3Record("b@x"));
    QElapsedTimer timer;
    timer.start();
    plugin->RefreshConfig();
    EXPECT_LT(timer.elapsed(), nuvex::test::ScaledMs(250));
    release = true;
    holder.join();
    WaitTickDone();
    TNuvex_GenericConnector* added = plugin->Accounts().FindAccount("POP3_2", true);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->Email, "b@x");
}

TEST_F(MailControllerTest, DeactivationRunsNoNestedEventLoop) {
    plugin->AttachForm();
    plugin->Cycle().SetNextTick(0);
    plugin->Tick(); // a pass is out
    bool queuedRan = false;
    QTimer::singleShot(0, [&] { queuedRan = true; });
    plugin->Deactivated();
    EXPECT_FALSE(plugin->Scheduler().PassOut());
    EXPECT_FALSE(queuedRan); // the host's call returns before other events run
    EXPECT_TRUE(plugin->Scheduler().Stopping());
    QCoreApplication::processEvents();
    EXPECT_TRUE(queuedRan);
}

TEST_F(MailControllerTest, EveryStopOfTheMainLoopRaisesTheAccountsStopSignal) {
    ASSERT_NE(plugin->Context().stop, nullptr);
    EXPECT_FALSE(plugin->Context().stop->Raised());
    plugin->SetRunning(false); // the stop events, DISABLED and signals all end here
    EXPECT_TRUE(plugin->Context().stop->Raised());
    plugin->Cycle().SetNextTick(0);
    SetPluginConnected(true);
    plugin->SetRunning(true);
    plugin->Tick();
    EXPECT_FALSE(plugin->Scheduler().PassOut()); // no new pass after a stop
}

TEST_F(MailControllerTest, ConnectRefreshesAfterTheHostsCallHasReturned) {
    TNuvexObj obj(plugin->ObjectParts());
    obj.Connected();
    EXPECT_FALSE(plugin->Enabled());
    QCoreApplication::processEvents();
    EXPECT_TRUE(plugin->Enabled());
}

// --- The automation object's button ------------------------------------------

class ButtonObjectTest : public MailControllerTest {
protected:
    void SetUp() override {
        MailControllerTest::SetUp();
        obj = std::make_unique<TNuvexObj>(plugin->ObjectParts());
        obj->SetContext(QStringLiteral("4711"));
    }
    void TearDown() override {
        obj.reset();
        MailControllerTest::TearDown();
    }
    std::unique_ptr<TNuvexObj> obj;
};

TEST_F(ButtonObjectTest, ShowButtonDecidesPictureCaptionAndSeparator) {
    struct Row {
        int show;
        bool enabled;
        int visible;
        bool icon;
        bool caption;
    };
    for (const Row& r :
         {Row{0, true, 0, false, false}, Row{1, true, 1, true, false}, Row{2, true, 1, false, true},
          Row{3, true, 1, true, true}, Row{3, false, 0, false, false}}) {
        host->cfg.WriteCfgInt("SHOW_BUTTON", r.show);
        host->cfg.WriteCfgBool("MAIL_ALL", r.enabled);
        const ButtonInfo info = obj->GetButtonInfo(TNuvexObj::kMailButtonIndex);
        const ButtonInfo sep = obj->GetButtonInfo(TNuvexObj::kSeparatorIndex);
        EXPECT_EQ(info.id, TNuvexObj::kMailButtonId);
        EXPECT_EQ(info.visible, r.visible) << r.show;
        EXPECT_EQ(!info.icon.isEmpty(), r.icon) << r.show;
        EXPECT_EQ(info.caption == "Email", r.caption) << r.show;
        EXPECT_EQ(info.bitmap.isEmpty(), r.visible == 0) << r.show;
        EXPECT_EQ(sep.id, TNuvexObj::kSeparatorId);
        EXPECT_EQ(sep.visible, r.visible) << r.show;
        EXPECT_EQ(info.name.startsWith("Mail:SHOW_BUTTON:"), r.enabled);
    }
}

TEST_F(ButtonObjectTest, IndexesPastTheSeparatorAnswerNothing) {
    host->cfg.WriteCfgInt("SHOW_BUTTON", 3);
    for (int index : {2, 3, 50, -1}) {
        const ButtonInfo info = obj->GetButtonInfo(index);
        EXPECT_EQ(info.id, 0) << index;
        EXPECT_EQ(info.visible, 0) << index;
        EXPECT_TRUE(info.name.isEmpty() && info.description.isEmpty()) << index;
        EXPECT_TRUE(info.icon.isEmpty() && info.bitmap.isEmpty()) << index;
    }
}

TEST_F(ButtonObjectTest, FailedReadsKeepTheButtonAsItWas) {
    host->cfg.WriteCfgInt("SHOW_BUTTON", 3);
    ASSERT_EQ(obj->GetButtonInfo(TNuvexObj::kMailButtonIndex).visible, 1);
    host->cfg.failAll = true;
    const ButtonInfo info = obj->GetButtonInfo(TNuvexObj::kMailButtonIndex);
    EXPECT_EQ(info.visible, 1);
    EXPECT_TRUE(info.name.startsWith("Mail:SHOW_BUTTON:"));
    EXPECT_EQ(obj->GetButtonInfo(TNuvexObj::kSeparatorIndex).visible, 1);
}

TEST_F(ButtonObjectTest, MenuTheHostRefusedIsSentAgainByTheNextPass) {
    host->cfg.WriteCfgInt("SHOW_BUTTON", 3);
    host->buttonCallsFail = true;
    obj->UpdateButton();
    obj->Activate();
    host->buttonCallsFail = false;
    plugin->Presenter().UpdateButtonMenu();
    EXPECT_EQ(host->menus.size(), 1);
    plugin->Presenter().UpdateButtonMenu();
    EXPECT_EQ(host->menus.size(), 1); // once accepted, not again
}

TEST_F(ButtonObjectTest, UpdateButtonShowsAndHidesInTheObjectsWindow) {
    host->cfg.WriteCfgInt("SHOW_BUTTON", 2);
    obj->UpdateButton();
    EXPECT_EQ(host->visibility, (QStringList{"4711:Mail=1", "4711:SEP=1"}));
    EXPECT_EQ(host->captions, QStringList{"Email"});
    EXPECT_EQ(host->bitmaps, QStringList{QString()}); // no picture with SHOW_BUTTON 2
    host->cfg.WriteCfgBool("MAIL_ALL", false);
    obj->UpdateButton();
    EXPECT_EQ(host->visibility.mid(2), (QStringList{"4711:Mail=0", "4711:SEP=0"}));
}

TEST_F(ButtonObjectTest, ButtonCommandsGoThroughTheRouterWithTheButtonsWindow) {
    plugin->Cycle().SetNextTick(Now() + 1);
    obj->ExecCommand(0, "CHECK_POP3_1");
    EXPECT_EQ(plugin->Scheduler().CheckNowTarget(), "POP3_1");
    obj->ExecCommand(0, "SETTINGS");
    EXPECT_EQ(host->settingsShown, 1);
    // The tray's own commands mean nothing on the button.
    plugin->AttachForm();
    host->cfg.WriteCfgBool("SHOW_TRAY", true);
    obj->ExecCommand(0, "REMOVE");
    EXPECT_EQ(host->cfg.ReadCfgBool("SHOW_TRAY"), std::optional<bool>(true));
}

} // namespace
} // namespace nuvex
