#include "lib/settings_store.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace nuvex::host {
namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<SettingsStore> Open() {
        std::string error;
        auto store = SettingsStore::Open(dir_.file("sub/settings.db"), &error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    test::TempDir dir_;
};

TEST_F(SettingsStoreTest, ValuesKeepTheirTypeAndSurviveReopening) {
    {
        auto store = Open();
        ASSERT_TRUE(store->Set("MAIL", "TEXT", ValueType::Text, "hello"));
        ASSERT_TRUE(store->Set("MAIL", "NUM", ValueType::Int, "42"));
        ASSERT_TRUE(store->Set("MAIL", "FLAG", ValueType::Bool, "1"));
    }
    auto store = Open();
    auto text = store->Get("MAIL", "TEXT");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text, "hello");
    EXPECT_EQ(text->type, ValueType::Text);
    EXPECT_EQ(store->Get("MAIL", "NUM")->type, ValueType::Int);
    EXPECT_EQ(store->Get("MAIL", "FLAG")->text, "1");
    EXPECT_FALSE(store->Get("MAIL", "UNSET"));
}

TEST_F(SettingsStoreTest, NamesMatchWithoutCaseAndDollarIsTheSameKey) {
    auto store = Open();
    ASSERT_TRUE(store->Set("Mail", "$ACCOUNTS", ValueType::Text, "list"));
    ASSERT_TRUE(store->Get("MAIL", "accounts"));
    EXPECT_EQ(store->Get("MAIL", "accounts")->text, "list");
    ASSERT_TRUE(store->Set("MAIL", "ACCOUNTS", ValueType::Text, "new"));
    EXPECT_EQ(store->Get("mail", "$Accounts")->text, "new");
    // Plug-ins do not share values.
    EXPECT_FALSE(store->Get("OTHER", "ACCOUNTS"));
    ASSERT_TRUE(store->Delete("MAIL", "$accounts"));
    EXPECT_FALSE(store->Get("MAIL", "ACCOUNTS"));
}

TEST_F(SettingsStoreTest, SeedingAddsOnlyMissingValuesAndOnlyOnce) {
    auto store = Open();
    ASSERT_TRUE(store->Set("MAIL", "SHOW_BUTTON", ValueType::Int, "1"));
    EXPECT_FALSE(store->IsSeeded("MAIL"));
    ASSERT_TRUE(store->Seed(
        "MAIL", ParseConfigText("MAIL_ALL=1\r\nSHOW_BUTTON=3\r\nno equals sign\r\n=empty key\r\n\r\n")));
    EXPECT_TRUE(store->IsSeeded("mail"));
    EXPECT_EQ(store->Get("MAIL", "MAIL_ALL")->text, "1");
    EXPECT_EQ(store->Get("MAIL", "SHOW_BUTTON")->text, "1"); // the stored value wins
    EXPECT_FALSE(store->Get("MAIL", ""));
}

TEST(ConfigText, LinesSplitAtTheFirstEquals) {
    auto values = ParseConfigText("A=1\nURL=https://x/?a=b&c=d\r\nEMPTY=\n");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values["URL"], "https://x/?a=b&c=d");
    EXPECT_EQ(values["EMPTY"], "");
}

TEST(SettingsStoreOpen, UnwritablePlaceIsAClearFailure) {
    std::string error;
    auto store = SettingsStore::Open("/proc/no-such-folder/settings.db", &error);
    EXPECT_FALSE(store);
    EXPECT_FALSE(error.empty());
}

} // namespace
} // namespace nuvex::host
