// The mail-client upkeep through the controller's settings refresh, against
// real files in the test's own XDG folders and the real xdg-mime.
#include "integration/mail_client.h"
#include "integration/sendto.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/mail_handler_fixture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/core/plugin_fixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using namespace std::chrono_literals;
using test::ScopedEnv;
using test::TempDir;

// The host's store, with the account list's read failing on demand (a busy host).
class FlakyHostConfig final : public HostConfig {
public:
    MemoryHostConfig inner;
    bool failAccounts = false;
    bool failEnabled = false;

    bool Connected() const override { return true; }
    std::optional<bool> ReadCfgBool(std::string_view k, int f = -1) override {
        if (failEnabled && NormalizeHostKey(k) == NormalizeHostKey("MAIL_ALL")) {
            return std::nullopt;
        }
        return inner.ReadCfgBool(k, f);
    }
    std::optional<std::int32_t> ReadCfgInt(std::string_view k, int f = -1) override {
        return inner.ReadCfgInt(k, f);
    }
    std::optional<std::string> ReadCfgStr(std::string_view k, int f = -1) override {
        if (failAccounts && NormalizeHostKey(k) == NormalizeHostKey("ACCOUNTS")) {
            return std::nullopt;
        }
        return inner.ReadCfgStr(k, f);
    }
    bool WriteCfgBool(std::string_view k, bool v, int f = -1) override { return inner.WriteCfgBool(k, v, f); }
    bool WriteCfgInt(std::string_view k, std::int32_t v, int f = -1) override {
        return inner.WriteCfgInt(k, v, f);
    }
    bool WriteCfgStr(std::string_view k, std::string_view v, int f = -1) override {
        return inner.WriteCfgStr(k, v, f);
    }
    bool DeleteCfgValue(std::string_view k, int f = -1) override { return inner.DeleteCfgValue(k, f); }
    bool ConfigChanged() override { return true; }
};

using QuietMailHost = test::QuietMailHost<FlakyHostConfig>;

std::string Record(const std::string& email) {
    TCryptURL record;
    record.SetParam("USERNAME", "u");
    record.SetParam("EMAIL", email);
    record.SetParam("PASSWORD", "pw");
    return record.EncodeParams();
}

using test::WriteText;

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new test::OffscreenApp);

class MailClientUpkeepTest : public test::MailHandlerTest {
protected:
    void SetUp() override {
        MailHandlerTest::SetUp();
        SetPluginConnected(true);
        auto owned = std::make_unique<QuietMailHost>();
        host_ = owned.get();
        plugin_ = std::make_unique<TNuvexPlugin>(std::move(owned));
        cfg().WriteCfgBool("MAIL_ALL", true);
        // Two accounts that take files and mailto links, one that takes neither.
        cfg().WriteCfgStr("ACCOUNTS", "WEBVAULT:0=" + Record("a@x") + "\r\nWEBVAULT:1=" + Record("b@x") +
                                          "\r\nPOP3:0=" + Record("c@x"));
        cfg().WriteCfgBool("WEBVAULT_0_SENDTO", true);
        cfg().WriteCfgBool("WEBVAULT_1_SENDTO", false);
        cfg().WriteCfgBool("POP3_0_SENDTO", true);
        WriteText(
            dir_.file("data/applications/oldmail.desktop"),
            "[Desktop Entry]\nType=Application\nName=Old\nExec=true %u\nMimeType=x-scheme-handler/mailto;\n");
        ASSERT_TRUE(RunTool({"xdg-mime", "default", "oldmail.desktop", "x-scheme-handler/mailto"}, 10s));
    }
    void TearDown() override {
        plugin_.reset();
        SetPluginConnected(false);
        MailHandlerTest::TearDown();
    }

    MemoryHostConfig& cfg() { return host_->cfg.inner; }
    // What the settings pages do when the user saves.
    void SaveSettings() { cfg().WriteCfgStr("SETUP_LAST_CHANGE", std::to_string(++stamp_)); }

    QuietMailHost* host_ = nullptr;
    std::unique_ptr<TNuvexPlugin> plugin_;
    int stamp_ = 0;
};

TEST_F(MailClientUpkeepTest, ChangedSettingsMakeTheEntriesOfAccountsThatTakeFiles) {
    SaveSettings();
    plugin_->RefreshConfig();
    EXPECT_TRUE(SendToShortcutExists("a@x"));
    EXPECT_FALSE(SendToShortcutExists("b@x")) << "its Send To is off";
    EXPECT_FALSE(SendToShortcutExists("c@x")) << "its type cannot send files";
    EXPECT_EQ(ResolveShortcut(ThunarSendToFolder() + "/" + SendToFileName("a@x")), program_);

    cfg().WriteCfgBool("WEBVAULT_0_SENDTO", false);
    SaveSettings();
    plugin_->RefreshConfig();
    EXPECT_FALSE(std::filesystem::exists(ThunarSendToFolder() + "/" + SendToFileName("a@x")));
}

TEST_F(MailClientUpkeepTest, AnEntryDeletedByHandTurnsSendToOffAtTheNextRefresh) {
    SaveSettings();
    plugin_->RefreshConfig();
    ASSERT_TRUE(SendToShortcutExists("a@x"));

    std::filesystem::remove(ThunarSendToFolder() + "/" + SendToFileName("a@x"));
    plugin_->RefreshConfig();
    EXPECT_EQ(cfg().ReadCfgBool("WEBVAULT_0_SENDTO"), false);
    EXPECT_FALSE(std::filesystem::exists(KdeServiceMenuFolder() + "/" + SendToFileName("a@x")))
        << "the other half goes too";
    // The POP3 account's value follows the missing entry as well.
    EXPECT_EQ(cfg().ReadCfgBool("POP3_0_SENDTO"), false);

    // And an entry made (back) by hand turns it on.
    ASSERT_TRUE(CreateSendToShortcut("b@x", "WEBVAULT_1"));
    plugin_->RefreshConfig();
    EXPECT_EQ(cfg().ReadCfgBool("WEBVAULT_1_SENDTO"), true);
    EXPECT_EQ(cfg().ReadCfgBool("WEBVAULT_0_SENDTO"), false);
}

TEST_F(MailClientUpkeepTest, TheMailtoAccountMakesUsTheHandlerAndClearingItGivesTheOldOneBack) {
    cfg().WriteCfgStr("CURRENT_MAILTO", "WEBVAULT_1");
    SaveSettings();
    plugin_->RefreshConfig();
    EXPECT_EQ(QueryMailtoHandler(), "nuvex.desktop");
    EXPECT_EQ(ReadRegString(*registry_, RegRoot::HKLM, "SOFTWARE\\Clients\\Mail", "", ""), "VostrelMail");

    // Refreshes without a change leave it alone.
    plugin_->RefreshConfig();
    EXPECT_EQ(QueryMailtoHandler(), "nuvex.desktop");

    cfg().WriteCfgStr("CURRENT_MAILTO", "");
    SaveSettings();
    plugin_->RefreshConfig();
    EXPECT_EQ(QueryMailtoHandler(), "oldmail.desktop");
}

TEST_F(MailClientUpkeepTest, AnAccountThatCannotTakeMailtoLinksIsNotMadeTheHandler) {
    cfg().WriteCfgStr("CURRENT_MAILTO", "POP3_0");
    SaveSettings();
    plugin_->RefreshConfig();
    EXPECT_EQ(QueryMailtoHandler(), "oldmail.desktop");
    EXPECT_FALSE(std::filesystem::exists(MailClientDesktopFile()));
}

TEST_F(MailClientUpkeepTest, AChangeSeenWhileTheAccountsCannotBeReadIsAppliedLater) {
    cfg().WriteCfgStr("CURRENT_MAILTO", "WEBVAULT_0");
    host_->cfg.failAccounts = true;
    SaveSettings();
    plugin_->RefreshConfig();
    EXPECT_EQ(QueryMailtoHandler(), "oldmail.desktop");
    host_->cfg.failAccounts = false;
    plugin_->RefreshConfig();
    EXPECT_EQ(QueryMailtoHandler(), "nuvex.desktop") << "the stamp was taken, the change must not be lost";
    EXPECT_TRUE(SendToShortcutExists("a@x"));
}

TEST_F(MailClientUpkeepTest, SwitchingThePluginOffRemovesEntriesAndGivesMailtoBack) {
    cfg().WriteCfgStr("CURRENT_MAILTO", "WEBVAULT_0");
    SaveSettings();
    plugin_->RefreshConfig();
    ASSERT_TRUE(SendToShortcutExists("a@x"));
    // Somebody else's entry stays.
    WriteText(ThunarSendToFolder() + "/bird.desktop",
              "[Desktop Entry]\nType=Application\nExec=thunderbird %F\n");

    cfg().WriteCfgBool("MAIL_ALL", false);
    plugin_->RefreshConfig();
    EXPECT_FALSE(std::filesystem::exists(ThunarSendToFolder() + "/" + SendToFileName("a@x")));
    EXPECT_FALSE(std::filesystem::exists(KdeServiceMenuFolder() + "/" + SendToFileName("a@x")));
    EXPECT_TRUE(std::filesystem::exists(ThunarSendToFolder() + "/bird.desktop"));
    EXPECT_EQ(QueryMailtoHandler(), "oldmail.desktop");
}

TEST_F(MailClientUpkeepTest, AnUnreadableOnOffValueCleansNothingUp) {
    ASSERT_TRUE(CreateSendToShortcut("a@x", "WEBVAULT_0"));
    ASSERT_TRUE(SetDefaultMailClient());
    host_->cfg.failEnabled = true; // the first refresh of a start, with a busy host
    plugin_->RefreshConfig();
    EXPECT_TRUE(SendToShortcutExists("a@x"));
    EXPECT_EQ(QueryMailtoHandler(), "nuvex.desktop");
}

} // namespace
} // namespace nuvex
