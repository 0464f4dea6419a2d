// The settings dialog with the real pages in Qt WebEngine, the real plug-in
// behind them on a private bus, and an X server of the test's own. The pages
// are driven through their script, the way a user's clicks would drive them,
// and the results are read where they land: the host's store, the button,
// the plug-in's editor windows.
#include "accounts/account_store.h"
#include "contract/event_names.h"
#include "host/settings_module.h"
#include "host/toolbar_host.h"
#include "lib/named_objects.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpServer>
#include <QTest>
#include <QWebEngineView>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nuvex::host {
namespace {

// The test's own X server, on a display number it picks itself.
class PrivateDisplay {
public:
    bool Start() {
        int fds[2];
        if (::pipe(fds) != 0) {
            return false;
        }
        const std::string fd = std::to_string(fds[1]);
        std::vector<std::string> args{"Xvfb", "-displayfd", fd,  "-nolisten",
                                      "tcp",  "-screen",    "0", "1024x768x24"};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawnp(&pid_, "Xvfb", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        if (rc != 0) {
            ::close(fds[0]);
            return false;
        }
        // Xvfb writes the number once it accepts clients; a bounded read.
        std::string number;
        char c = 0;
        while (number.size() < 8 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        ::close(fds[0]);
        if (number.empty()) {
            return false;
        }
        display_ = ":" + number;
        return true;
    }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    const std::string& Name() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

PrivateDisplay g_display;
test::TempDir* g_dir = nullptr;

// Every folder the host and the plug-in write to is the test's own.
void PrivateFolders() {
    g_dir = new test::TempDir();
    for (const char* sub : {"/config", "/data", "/run", "/objects", "/home"}) {
        const std::string path = g_dir->path() + sub;
        ::mkdir(path.c_str(), 0700);
    }
    setenv("HOME", (g_dir->path() + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (g_dir->path() + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (g_dir->path() + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (g_dir->path() + "/run").c_str(), 1);
    setenv("NUVEX_OBJECTS_DIR", (g_dir->path() + "/objects").c_str(), 1);
    // The desktop's browser is a script that notes what it was asked to open.
    const std::string browser = g_dir->path() + "/browser.sh";
    FILE* f = std::fopen(browser.c_str(), "w");
    if (f) {
        std::fprintf(f, "#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s/navigations.txt'\n", g_dir->path().c_str());
        std::fclose(f);
    }
    ::chmod(browser.c_str(), 0700);
    setenv("NUVEX_BROWSER", browser.c_str(), 1);
}

std::string Navigations() {
    std::string text;
    if (FILE* f = std::fopen((g_dir->path() + "/navigations.txt").c_str(), "r")) {
        char buf[4096];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < 65536) {
            text.append(buf, n);
        }
        std::fclose(f);
    }
    return text;
}

std::string Pop3(const std::string& email) {
    TAccountFields f;
    f.email = email;
    f.userName = "u";
    // A closed port on loopback: a check that runs fails at once, and nothing leaves the machine.
    f.typeKeys = {{"PASSWORD", "pw"}, {"HOSTNAME", "127.0.0.1"}, {"PORT", "1"}};
    return BuildSettingsText(f);
}

// Runs a script in a page and answers its value.
QVariant Js(QWebEngineView* view, const QString& script, int ms = 5000) {
    auto result = std::make_shared<std::pair<bool, QVariant>>(false, QVariant());
    view->page()->runJavaScript(script, [result](const QVariant& v) { *result = {true, v}; });
    if (!QTest::qWaitFor([result] { return result->first; }, nuvex::test::ScaledMs(ms))) {
        return QStringLiteral("<no answer>");
    }
    return result->second;
}

// The visible windows of the plug-in's process on our display, oldest first.
QStringList PluginWindows(const QString& name = QString()) {
    const QDBusReply<uint> pid =
        QDBusConnection::sessionBus().interface()->servicePid(QStringLiteral("org.brannock.Nuvex"));
    if (!pid.isValid()) {
        return {};
    }
    QStringList args{QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                     QString::number(pid.value())};
    if (!name.isEmpty()) {
        args << QStringLiteral("--all") << QStringLiteral("--name") << QRegularExpression::escape(name);
    }
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(1000);
        return {};
    }
    return QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString WindowNames(const QStringList& windows) {
    QString names;
    for (const QString& w : windows) {
        QProcess p;
        p.start(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), w});
        p.waitForFinished(3000);
        names += QString::fromUtf8(p.readAllStandardOutput()).trimmed() + QStringLiteral("; ");
    }
    return names;
}

// Real key strokes (XTEST) into one window, as a user's keyboard gives them.
void TypeInto(const QString& window, const QString& key) {
    QProcess::execute(QStringLiteral("xdotool"),
                      {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), key});
}

class SettingsPagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        auto store = SettingsStore::Open(g_dir->path() + "/config/brannock/settings.db", &error);
        ASSERT_TRUE(store) << error;
        // Before the host seeds the plug-in's defaults, which keep what is there.
        store->Set("MAIL", "ACCOUNTS", ValueType::Text,
                   "Pop3_0=" + Pop3("first@example.org") + "\r\nPop3_1=" + Pop3("second@example.org"));
        store->Set("MAIL", "AFTERINSTALLWIZARD", ValueType::Bool, "0");
        host_ = new ToolbarHost(false, std::move(store));
        QString why;
        ASSERT_TRUE(host_->Start(&why)) << why.toStdString();
        ASSERT_TRUE(QTest::qWaitFor(
            [] {
                PluginSlot* slot = host_->FindSlot(QStringLiteral("MAIL"));
                return slot && slot->up && !slot->settingsPath.isEmpty() && slot->buttons[0].visible;
            },
            nuvex::test::ScaledMs(30000)))
            << "the plug-in did not come up";
        // The dialog comes from its module, found and loaded the way brannock does.
        module_ = LoadSettingsModule(QStringLiteral(NUVEX_BINARY_DIR "/host"), &why);
        ASSERT_TRUE(module_) << why.toStdString();
        dialog_ = module_->Create(*host_, QStringLiteral("MAIL"), nullptr);
        module_->SetConfirmAnswer(dialog_, [](const QString&) { return true; });
        dialog_->show();
        QSignalSpy loaded(dialog_, SIGNAL(Loaded(bool)));
        module_->LoadPages(dialog_);
        ASSERT_TRUE(loaded.wait(30000)) << "the pages did not load";
        ASSERT_TRUE(loaded.takeFirst().at(0).toBool());
        ASSERT_EQ(module_->Views(dialog_).size(), 3u);
        for (QWidget* widget : module_->Views(dialog_)) {
            auto* view = qobject_cast<QWebEngineView*>(widget);
            ASSERT_TRUE(view);
            ASSERT_TRUE(WaitReady(view));
        }
    }
    static void TearDownTestSuite() {
        delete dialog_;
        dialog_ = nullptr;
        if (host_) {
            host_->Finish(true);
            // The plug-in leaves on the stop event; its bus name goes with it.
            QTest::qWait(500);
        }
        delete host_;
        host_ = nullptr;
    }

    static bool WaitReady(QWebEngineView* view, int ms = 15000) {
        return QTest::qWaitFor(
            [view] { return Js(view, QStringLiteral("document.body.getAttribute('data-ready')")) == "1"; },
            nuvex::test::ScaledMs(ms));
    }
    static QWebEngineView* Page(int i) {
        return qobject_cast<QWebEngineView*>(module_->Views(dialog_)[static_cast<std::size_t>(i)]);
    }
    static std::string Stored(const char* key) {
        auto v = host_->Store().Get("MAIL", key);
        return v ? v->text : std::string("<unset>");
    }
    static bool WaitStored(const char* key, const std::string& want, int ms = 5000) {
        return QTest::qWaitFor([&] { return Stored(key) == want; }, nuvex::test::ScaledMs(ms));
    }

    static ToolbarHost* host_;
    static SettingsModule* module_;
    static QDialog* dialog_;
};

ToolbarHost* SettingsPagesTest::host_ = nullptr;
SettingsModule* SettingsPagesTest::module_ = nullptr;
QDialog* SettingsPagesTest::dialog_ = nullptr;

TEST_F(SettingsPagesTest, EachPageShowsTheStoredValuesAndIsPictured) {
    auto* tabs = dialog_->findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("Manage Accounts"));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("Advanced Settings"));
    EXPECT_EQ(Js(Page(0), QStringLiteral("byId('MAIL_ALL1').checked")), true);
    EXPECT_EQ(Js(Page(0), QStringLiteral("byId('MAILACCOUNT').options.length")), 2);
    EXPECT_EQ(Js(Page(1), QStringLiteral("byId('ACCOUNTS').rows.length")), 2);
    EXPECT_EQ(Js(Page(1), QStringLiteral("byId('ACCOUNTS').rows[1].cells[1].textContent")),
              QStringLiteral("second@example.org"));
    EXPECT_EQ(Js(Page(1), QStringLiteral("byId('Pop3_0_SENDTO').disabled")), true)
        << "a POP3 account cannot take files";
    // Unset, the plug-in shows its window; so does the page.
    ASSERT_EQ(Stored("DISPNOTIFWIN"), "<unset>");
    EXPECT_EQ(Js(Page(2), QStringLiteral("byId('DISPNOTIFWIN').checked")), true);
    EXPECT_EQ(Js(Page(2), QStringLiteral("byId('radio2').checked")), true);

    const QString out = QStringLiteral(NUVEX_BINARY_DIR "/test-output");
    QDir().mkpath(out);
    for (int i = 0; i < 3; ++i) {
        tabs->setCurrentIndex(i);
        QTest::qWait(400); // the new tab paints
        const QPixmap shot = dialog_->grab();
        ASSERT_FALSE(shot.isNull());
        EXPECT_TRUE(shot.save(out + QStringLiteral("/settings_TAB%1.png").arg(i + 1)));
    }
}

TEST_F(SettingsPagesTest, DisableAndEnableReachTheStoreAndTheButton) {
    Js(Page(0), QStringLiteral("byId('MAIL_ALL2').click()"));
    ASSERT_TRUE(WaitStored("MAIL_ALL", "0"));
    PluginSlot* slot = host_->FindSlot(QStringLiteral("MAIL"));
    EXPECT_TRUE(QTest::qWaitFor([slot] { return !slot->buttons[0].visible; }, nuvex::test::ScaledMs(10000)))
        << "the plug-in read its values again and hid the button";

    Js(Page(0), QStringLiteral("byId('MAIL_ALL1').click()"));
    ASSERT_TRUE(WaitStored("MAIL_ALL", "1"));
    EXPECT_TRUE(QTest::qWaitFor([slot] { return slot->buttons[0].visible; }, nuvex::test::ScaledMs(10000)));

    Js(Page(2), QStringLiteral("byId('PLAYSOUND').checked = false; byId('PLAYSOUND').dispatchEvent(new "
                               "Event('change'))"));
    EXPECT_TRUE(WaitStored("PLAYSOUND", "0"));
    Js(Page(2), QStringLiteral("byId('radio1').click()"));
    EXPECT_TRUE(WaitStored("CURRBROWSEWINDOW", "1"));
    Js(Page(2), QStringLiteral("byId('radio2').click()"));
    EXPECT_TRUE(WaitStored("CURRBROWSEWINDOW", "0"));
}

TEST_F(SettingsPagesTest, SendToChoiceMarksTheChangeFirst) {
    host_->Store().Delete("MAIL", "SETUP_LAST_CHANGE");
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    Js(Page(1), QStringLiteral("var s = byId('Pop3_1_ENABLED'); s.checked = false;"
                               "s.dispatchEvent(new Event('change'))"));
    ASSERT_TRUE(WaitStored("Pop3_1_ENABLED", "0"));
    const std::string mark = Stored("SETUP_LAST_CHANGE");
    ASSERT_NE(mark, "<unset>") << "the change mark is written before the value";
    const qint64 at = QString::fromStdString(mark).toLongLong();
    EXPECT_GE(at, before);
    EXPECT_LE(at, QDateTime::currentMSecsSinceEpoch());

    Js(Page(1),
       QStringLiteral("var s = byId('CURRENT_MAILTO'); s.value = ''; s.dispatchEvent(new Event('change'))"));
    EXPECT_TRUE(WaitStored("CURRENT_MAILTO", ""));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return Stored("SETUP_LAST_CHANGE") != mark; }, nuvex::test::ScaledMs(3000)))
        << "every change moves the mark";
}

TEST_F(SettingsPagesTest, EditorsOpenFromThePageAndARemovalReloadsIt) {
    // The plug-in's other windows (a notification of the failed checks) may
    // come and go meanwhile: the editors are told by their captions.
    const QString wizard = QStringLiteral("Email Plugin Wizard");
    const QString question = QStringLiteral("Remove account?");
    ASSERT_TRUE(PluginWindows(wizard).isEmpty());
    ASSERT_TRUE(PluginWindows(question).isEmpty());
    // Edit and Remove need a row; without one the buttons do nothing.
    Js(Page(1), QStringLiteral("byId('EDIT').click(); byId('REMOVE').click()"));
    QTest::qWait(700);
    EXPECT_TRUE(PluginWindows(wizard).isEmpty());
    EXPECT_TRUE(PluginWindows(question).isEmpty());

    // The toolbar's "close the editors" event ends an editor, as when the toolbar closes.
    auto closeEditors = OpenOrCreateEvent(names::kStopOptEvent, true, false);
    ASSERT_TRUE(closeEditors);
    for (const char* click :
         {"byId('ACCOUNTS').rows[0].click(); byId('EDIT').click()", "byId('ADD').click()"}) {
        Js(Page(1), QString::fromLatin1(click));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !PluginWindows(wizard).isEmpty(); }, nuvex::test::ScaledMs(10000)))
            << "no editor window appeared for " << click;
        closeEditors->Set();
        const bool closed =
            QTest::qWaitFor([&] { return PluginWindows(wizard).isEmpty(); }, nuvex::test::ScaledMs(10000));
        closeEditors->Reset();
        ASSERT_TRUE(closed) << "the editor did not close after " << click << ": "
                            << WindowNames(PluginWindows()).toStdString();
    }
    EXPECT_EQ(Js(Page(1), QStringLiteral("byId('ACCOUNTS').rows.length")), 2) << "nothing changed, no reload";

    Js(Page(1), QStringLiteral("byId('ACCOUNTS').rows[0].click(); byId('REMOVE').click()"));
    QStringList asked;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            asked = PluginWindows(question);
            return !asked.isEmpty();
        },
        nuvex::test::ScaledMs(10000)))
        << "the remove editor asked nothing";
    TypeInto(asked.front(), QStringLiteral("y"));
    ASSERT_TRUE(QTest::qWaitFor([] { return Stored("ACCOUNTS").find("Pop3_0=") == std::string::npos; },
                                nuvex::test::ScaledMs(10000)))
        << "the account is still stored";
    // The page sees the plug-in's stamp move and shows the list afresh.
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            return Js(Page(1), QStringLiteral("document.body.getAttribute('data-ready') === '1' && "
                                              "byId('ACCOUNTS').rows.length"))
                       .toInt() == 1;
        },
        nuvex::test::ScaledMs(15000)));
    EXPECT_EQ(Js(Page(1), QStringLiteral("byId('ACCOUNTS').rows[0].getAttribute('data-id')")),
              QStringLiteral("Pop3_1"));
}

TEST_F(SettingsPagesTest, PagesReachNothingButTheHostsResources) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QSignalSpy connections(&server, &QTcpServer::newConnection);
    const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort());
    Js(Page(2), QStringLiteral("window.fileRead = 'pending';"
                               "new Image().src = '%1img';"
                               "fetch('%1fetch').catch(function () {});"
                               "fetch('file:///etc/hostname').then(function () { window.fileRead = 'read'; },"
                               "  function () { window.fileRead = 'refused'; });"
                               "var frame = document.createElement('iframe'); frame.src = '%1frame';"
                               "document.body.appendChild(frame);"
                               "location.href = '%1away';")
                    .arg(base));
    EXPECT_TRUE(QTest::qWaitFor([] { return Js(Page(2), QStringLiteral("window.fileRead")) == "refused"; },
                                nuvex::test::ScaledMs(5000)));
    QTest::qWait(1000);
    EXPECT_EQ(connections.count(), 0) << "a page reached the network";
    EXPECT_FALSE(server.hasPendingConnections());
    EXPECT_EQ(Page(2)->url().scheme(), QStringLiteral("qrc")) << "a page went elsewhere";
    EXPECT_EQ(Js(Page(2), QStringLiteral("document.body.getAttribute('data-ready')")), QStringLiteral("1"));
}

TEST_F(SettingsPagesTest, HelpLinksOpenInTheDesktopsBrowser) {
    Js(Page(2), QStringLiteral("document.querySelector('a.help[data-topic=\"1143\"]').click()"));
    ASSERT_TRUE(QTest::qWaitFor([] { return !Navigations().empty(); }, nuvex::test::ScaledMs(5000)))
        << "no browser was started";
    EXPECT_EQ(Navigations(), Stored("SETTINGS_HELP") + "1143\n");
    EXPECT_EQ(Page(2)->url().scheme(), QStringLiteral("qrc"));
}

TEST_F(SettingsPagesTest, CtlListsThePagesTheDialogShows) {
    QProcess ctl;
    ctl.start(QStringLiteral(NUVEX_BINARY_DIR "/host/brannock"),
              {QStringLiteral("ctl"), QStringLiteral("settings")});
    // ctl waits for this process's host, which answers from this event loop.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return ctl.state() == QProcess::NotRunning; }, nuvex::test::ScaledMs(15000)));
    EXPECT_EQ(ctl.exitCode(), 0) << ctl.readAllStandardError().toStdString();
    const QStringList lines = QString::fromUtf8(ctl.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("MAIL\t")));
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("\tqrc:/settings/TAB1.html")));
    EXPECT_EQ(lines[1], QStringLiteral("MAIL\tManage Accounts\tqrc:/settings/TAB2.html"));
    EXPECT_EQ(lines[2], QStringLiteral("MAIL\tAdvanced Settings\tqrc:/settings/TAB3.html"));
}

} // namespace
} // namespace nuvex::host

int main(int argc, char** argv) {
    if (!nuvex::host::g_display.Start()) {
        std::fprintf(stderr, "settings pages test: Xvfb did not start\n");
        return 1;
    }
    setenv("DISPLAY", nuvex::host::g_display.Name().c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    nuvex::host::PrivateFolders();
    if (::geteuid() == 0) {
        // As root the engine's sandbox cannot start; the pages load only our resources.
        std::fprintf(stderr, "settings pages test: running as root, the web engine runs with --no-sandbox\n");
    }
    // Xvfb has no GPU: software rendering.
    setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu", 0);
    nuvex::host::PrepareWebEngine();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    nuvex::host::g_display.Stop();
    delete nuvex::host::g_dir;
    return rc;
}
