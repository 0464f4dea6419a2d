// Where the controller starts the account editors: the after-install check
// of the tick, the tray's add command, the notification window's click on an
// error entry, and the button reset after a removal.
#include "accounts/account_store.h"
#include "core/mail_host.h"
#include "core/nuvex_plugin.h"
#include "core/plugin_process.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "tests/support/fake_account_page.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

class QuietMailHost final : public MailHost {
public:
    MemoryHostConfig cfg;
    QStringList captions, bitmaps;
    HostConfig* Settings() override { return &cfg; }
    HostConfig& LongLivedSettings() override { return cfg; }
    bool Ping() override { return true; }
    bool SetButtonCaption(const QString& c, const QString& = QString()) override {
        captions << c;
        return true;
    }
    bool SetButtonHint(const QString&, const QString& = QString()) override { return true; }
    bool SetButtonMenu(const QString&) override { return true; }
    bool SetButtonBitmap(const QString& hex, const QString& = QString()) override {
        bitmaps << hex;
        return true;
    }
    bool SetButtonVisible(const QString&, bool, const QString&) override { return true; }
    bool NavigateWindow(const QString&, const QString&) override { return true; }
    bool ShowSettings() override { return true; }
};

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_.path()));
        qputenv("NUVEX_OBJECTS_DIR", QByteArray::fromStdString(dir_.path()));
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    test::TempDir dir_;
    int argc_ = 1;
    char name_[20] = "plugin_editors_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::string Pop3Settings(const std::string& email) {
    TAccountFields f;
    f.email = email;
    f.userName = "u";
    f.typeKeys = {{"PASSWORD", "pw"}, {"HOSTNAME", "127.0.0.1"}};
    return BuildSettingsText(f);
}

class PluginEditorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDefaultClock(&clock);
        SetPluginConnected(true);
        auto owned = std::make_unique<QuietMailHost>();
        host = owned.get();
        plugin = std::make_unique<TNuvexPlugin>(std::move(owned));
        plugin->SetRunning(true);
        plugin->SetNotifyShower(
            [](const NotifyContext&, std::int32_t, const TNotifyMessages&, const TNotifyMessages&) {});
        plugin->Presenter().SetSoundPlayer([] {});
        plugin->SetEditorSeams([](TEditorEnv& env) {
            env.makePage = test::FakePageFactory();
            env.installerRunning = [] { return false; };
            env.askDuplicate = [] { return true; };
            env.confirmRemove = [](const QString&) { return true; };
            env.waitStepMs = 10;
            env.pollMs = 10;
        });
        host->cfg.WriteCfgBool("MAIL_ALL", true);
    }
    void TearDown() override {
        CloseWizards();
        plugin.reset();
        SetPluginConnected(false);
        SetDefaultClock(nullptr);
    }
    // The open wizard forms (the editors free themselves when these close).
    static QList<TVostrelForm*> Wizards() {
        QList<TVostrelForm*> forms;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* form = qobject_cast<TVostrelForm*>(w);
            if (form && form->isVisible() && form->Result() == kResultOpen &&
                form->findChild<QWidget*>(QStringLiteral("accountContainer"))) {
                forms << form;
            }
        }
        return forms;
    }
    static bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms) {
            QTest::qWait(5);
        }
        return done();
    }
    static void CloseWizards() {
        for (TVostrelForm* form : Wizards()) {
            form->SetResult(kResultCancel);
        }
        WaitFor([] { return Wizards().isEmpty(); });
        QTest::qWait(20);
    }

    FakeClock clock;
    QuietMailHost* host = nullptr;
    std::unique_ptr<TNuvexPlugin> plugin;
};

TEST_F(PluginEditorsTest, AfterInstallWizardOpensOnceAndOnlyWithoutAccounts) {
    host->cfg.WriteCfgBool(keys::kAfterInstallWizard, true);
    plugin->AfterInstallCheck();
    ASSERT_TRUE(WaitFor([] { return Wizards().size() == 1; }));
    EXPECT_EQ(host->cfg.ReadCfgBool(keys::kAfterInstallWizard), false);
    CloseWizards();
    host->cfg.WriteCfgBool(keys::kAfterInstallWizard, true);
    plugin->AfterInstallCheck(); // handled already in this process
    QTest::qWait(60);
    EXPECT_TRUE(Wizards().isEmpty());
}

TEST_F(PluginEditorsTest, AfterInstallWizardWaitsForAReadableValueAndSkipsWhenAccountsExist) {
    host->cfg.failAll = true;
    plugin->AfterInstallCheck(); // a failed read is asked again later
    host->cfg.failAll = false;
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + Pop3Settings("a@example.org"));
    host->cfg.WriteCfgBool(keys::kAfterInstallWizard, true);
    plugin->RefreshConfig();
    plugin->AfterInstallCheck();
    QTest::qWait(60);
    EXPECT_TRUE(Wizards().isEmpty()) << "an account exists";
}

// Headless, nobody could answer a wizard: none opens, and the installer's
// request is kept for the first start with a display.
TEST_F(PluginEditorsTest, HeadlessFirstStartOpensNoWizardAndKeepsTheRequest) {
    plugin->SetShowsWindows(false);
    host->cfg.WriteCfgBool(keys::kAfterInstallWizard, true);
    plugin->AfterInstallCheck();
    QTest::qWait(60);
    EXPECT_TRUE(Wizards().isEmpty());
    EXPECT_EQ(host->cfg.ReadCfgBool(keys::kAfterInstallWizard), true);
}

TEST_F(PluginEditorsTest, TrayAddCommandOpensTheWizard) {
    host->cfg.WriteCfgStr("ACCOUNTS", "");
    plugin->ExecCommand(QStringLiteral("ADD_ACCOUNT_TRAY"));
    EXPECT_TRUE(WaitFor([] { return Wizards().size() == 1; }));
}

TEST_F(PluginEditorsTest, ErrorEntryClickEditsThatAccount) {
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + Pop3Settings("a@example.org") +
                                          "\r\nPop3_1=" + Pop3Settings("b@example.org"));
    plugin->RefreshConfig();
    static_cast<NotifyActions&>(*plugin).EditAccount("Pop3_1");
    ASSERT_TRUE(WaitFor([] { return Wizards().size() == 1; }));
    auto* email = Wizards().front()->findChild<QLineEdit*>(QStringLiteral("email"));
    ASSERT_NE(email, nullptr);
    EXPECT_EQ(email->text(), QStringLiteral("b@example.org"));
}

TEST_F(PluginEditorsTest, RemovalTakesTheAccountOutAndResetsTheButton) {
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + Pop3Settings("a@example.org"));
    plugin->RefreshConfig();
    ASSERT_NE(plugin->Accounts().FindAccount("Pop3_0", true), nullptr);
    host->captions.clear();
    QPointer<TRemoveAccountThread> editor = plugin->StartRemoveAccount(0, {}, nullptr);
    ASSERT_TRUE(WaitFor([&] { return editor.isNull(); }));
    EXPECT_TRUE(WaitFor([&] { return plugin->Accounts().FindAccount("Pop3_0", true) == nullptr; }))
        << "the refresh takes the removed account out of the running list";
    EXPECT_EQ(host->cfg.ReadCfgStr("ACCOUNTS"), "");
    EXPECT_FALSE(plugin->AccountsChangedStamp().empty());
    // The main settings page reloads when this host value appears.
    EXPECT_EQ(host->cfg.ReadCfgStr("REFRESH_ACCOUNTS"), plugin->AccountsChangedStamp());
    EXPECT_FALSE(host->bitmaps.isEmpty()) << "the button picture goes back to its default";
}

} // namespace
} // namespace nuvex
