// Where the controller starts the account editors: the after-install check
// of the tick, the tray's add command, the notification window's click on an
// error entry, and the button reset after a removal.
#include "lib/clock.h"
#include "tests/unit/core/plugin_fixture.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

using namespace test;

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new OffscreenApp);

class PluginEditorsTest : public PluginTest {
protected:
    void SetUp() override {
        SetDefaultClock(&clock);
        PluginTest::SetUp();
        plugin->SetRunning(true);
        plugin->SetNotifyShower(
            [](const NotifyContext&, std::int32_t, const TNotifyMessages&, const TNotifyMessages&) {});
        plugin->Presenter().SetSoundPlayer([] {});
    }
    void TearDown() override {
        PluginTest::TearDown();
        SetDefaultClock(nullptr);
    }

    FakeClock clock;
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
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + AccountText("a@example.org"));
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
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + AccountText("a@example.org") +
                                          "\r\nPop3_1=" + AccountText("b@example.org"));
    plugin->RefreshConfig();
    static_cast<NotifyActions&>(*plugin).EditAccount("Pop3_1");
    ASSERT_TRUE(WaitFor([] { return Wizards().size() == 1; }));
    auto* email = Wizards().front()->findChild<QLineEdit*>(QStringLiteral("email"));
    ASSERT_NE(email, nullptr);
    EXPECT_EQ(email->text(), QStringLiteral("b@example.org"));
}

TEST_F(PluginEditorsTest, RemovalTakesTheAccountOutAndResetsTheButton) {
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + AccountText("a@example.org"));
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
