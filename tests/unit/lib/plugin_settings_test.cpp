// The plug-in's settings accessors: the "SHOW_BUTTON" bits, the choices that
// keep their defaults until stored, and failed reads that keep the last value.
#include "lib/host_config.h"
#include "lib/plugin_settings.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

// Stored values are found by these exact spellings.
TEST(PluginSettingsTest, StoredKeysKeepTheirSpelling) {
    EXPECT_EQ(EnabledKey("MAIL"), "MAIL_ALL");
    EXPECT_EQ(AllowTypeKey("GMAIL"), "ALLOW_GMAIL");
    EXPECT_EQ(SendToKey("POP3_1"), "POP3_1_SENDTO");
    EXPECT_EQ(AccountEnabledKey("POP3_1"), "POP3_1_ENABLED");
    EXPECT_EQ(MarkerKey("POP3_1"), "LASTID_POP3_1");
    EXPECT_EQ(keys::kAccounts, "ACCOUNTS");
}

TEST(PluginSettingsTest, ShowButtonBits) {
    struct Row {
        int value;
        bool visible, picture, caption;
    };
    for (const Row& r : {Row{0, false, false, false}, Row{1, true, true, false}, Row{2, true, false, true},
                         Row{3, true, true, true}, Row{-1, false, false, false}}) {
        ButtonShow show{r.value};
        EXPECT_EQ(show.Visible(), r.visible) << r.value;
        EXPECT_EQ(show.Picture(), r.picture) << r.value;
        EXPECT_EQ(show.Caption(), r.caption) << r.value;
    }
}

TEST(PluginSettingsTest, FailedReadsKeepTheLastKnownValues) {
    MemoryHostConfig cfg;
    PluginSettings settings("MAIL");
    cfg.WriteCfgBool("MAIL_ALL", true);
    cfg.WriteCfgBool("SHOW_TRAY", true);
    cfg.WriteCfgInt("SHOW_BUTTON", 3);
    cfg.WriteCfgStr("MAILACCOUNT", "POP3_1");
    EXPECT_TRUE(settings.Enabled(&cfg));
    EXPECT_TRUE(settings.ShowTray(&cfg));
    EXPECT_EQ(settings.ShowButton(&cfg).value, 3);
    EXPECT_EQ(settings.ButtonAccount(&cfg), "POP3_1");

    cfg.failAll = true;
    EXPECT_TRUE(settings.Enabled(&cfg));
    EXPECT_TRUE(settings.ShowTray(&cfg));
    EXPECT_EQ(settings.ShowButton(&cfg).value, 3);
    EXPECT_EQ(settings.ButtonAccount(&cfg), "POP3_1");
    EXPECT_TRUE(settings.Enabled(nullptr)); // no host at all

    // A value that was read as off stays off, too.
    cfg.failAll = false;
    cfg.WriteCfgBool("MAIL_ALL", false);
    EXPECT_FALSE(settings.Enabled(&cfg));
    cfg.failAll = true;
    EXPECT_FALSE(settings.Enabled(&cfg));
}

TEST(PluginSettingsTest, BeforeAnyReadWorkedTheDefaultsApply) {
    MemoryHostConfig cfg;
    cfg.failAll = true;
    PluginSettings settings("MAIL");
    EXPECT_FALSE(settings.Enabled(&cfg));
    EXPECT_FALSE(settings.ShowTray(&cfg));
    EXPECT_FALSE(settings.ShowButton(&cfg).Visible());
    EXPECT_FALSE(settings.ButtonRunsAccountAction(&cfg));
}

TEST(PluginSettingsTest, ChoicesStayUntilStoredAndSurviveAFailedRead) {
    MemoryHostConfig cfg;
    PluginSettings settings("MAIL");
    NotifyChoices c = settings.Choices(&cfg, NotifyChoices{});
    EXPECT_TRUE(c.showWindow);
    EXPECT_TRUE(c.playSound);
    EXPECT_TRUE(c.changeTray);
    EXPECT_FALSE(c.currentBrowserWindow);
    cfg.WriteCfgBool("PLAYSOUND", false);
    cfg.WriteCfgBool("CURRBROWSEWINDOW", true);
    c = settings.Choices(&cfg, c);
    EXPECT_FALSE(c.playSound);
    EXPECT_TRUE(c.currentBrowserWindow);
    cfg.failAll = true;
    c = settings.Choices(&cfg, c);
    EXPECT_FALSE(c.playSound);
    EXPECT_TRUE(c.currentBrowserWindow);
    EXPECT_TRUE(c.showWindow);
}

TEST(PluginSettingsTest, ParallelChecksDefaultsToFourAndIsHeldInRange) {
    const struct {
        const char* stored; // nullptr: never stored
        std::int32_t expected;
    } rows[] = {
        {nullptr, 4}, {"", 4}, {"x", 4}, {"3x", 4}, {"1", 1}, {"8", 8}, {"0", 1}, {"-2", 1}, {"1000", 16},
    };
    for (const auto& row : rows) {
        MemoryHostConfig cfg;
        if (row.stored) {
            cfg.WriteCfgStr("PARALLELCHECKS", row.stored);
        }
        PluginSettings settings("MAIL");
        EXPECT_EQ(settings.ParallelChecks(&cfg), row.expected) << (row.stored ? row.stored : "unset");
    }
}

TEST(PluginSettingsTest, WritesAreRememberedOnlyWhenTheHostTookThem) {
    MemoryHostConfig cfg;
    PluginSettings settings("MAIL");
    EXPECT_TRUE(settings.WriteShowTray(&cfg, true));
    cfg.failAll = true;
    EXPECT_FALSE(settings.WriteShowTray(&cfg, false));
    EXPECT_TRUE(settings.ShowTray(&cfg));
    EXPECT_FALSE(settings.WriteEnabled(nullptr, true));
}

} // namespace
} // namespace nuvex

namespace nuvex {
namespace {

// The plug-in reads batched flags itself; it must read them as the host's
// ReadCfgBool does, or a batch reload would flip an account's Send To.
TEST(HostBoolText, ReadsFlagsAsTheHostDoes) {
    for (const char* yes : {"1", "true", "TRUE", " yes ", "on", "2", "-1"}) {
        EXPECT_TRUE(HostBoolText(yes)) << yes;
    }
    for (const char* no : {"", "0", "false", "No", "off", "maybe", "1x", "99999999999999999999999"}) {
        EXPECT_FALSE(HostBoolText(no)) << no;
    }
}

TEST(HostConfigBatch, DefaultReadsOneByOneAndFailsWhole) {
    MemoryHostConfig cfg;
    ASSERT_TRUE(cfg.WriteCfgStr("A", "x"));
    auto got = cfg.ReadCfgStrBatch({"$a", "B"});
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, (std::vector<std::string>{"x", ""}));
    cfg.failAll = true;
    EXPECT_FALSE(cfg.ReadCfgStrBatch({"A"}));
}

} // namespace
} // namespace nuvex
