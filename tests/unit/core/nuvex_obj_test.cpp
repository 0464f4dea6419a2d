// The automation object's answers to the settings pages and the host: the
// per-account questions by index, the account lists, the exit veto during an
// upload, the context kind and the editors the pages start.
#include "core/nuvex_obj.h"
#include "tests/unit/core/plugin_fixture.h"
#include "upload/upload_count.h"

#include <QLineEdit>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using namespace test;

// No bus: the base keys that reach the host must fail quietly.
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new OffscreenApp(
    {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/nuvex-test-bus"}}, [] { LoadButtonBitmap(); }));

class NuvexObjTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        obj = std::make_unique<TNuvexObj>(plugin->ObjectParts());
    }
    void TearDown() override {
        CloseWizards();
        obj.reset();
        PluginTest::TearDown();
    }
    // A POP3 account (no compose, no files), a Gmail one that is switched
    // off, and a web-service one that can do everything.
    void LoadThreeAccounts() {
        host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + AccountText("p@example.org") +
                                              "\r\nGMAIL_0=" + AccountText("g@example.org") +
                                              "\r\nVOSTREL_0=" + AccountText("v@example.org", true));
        host->cfg.WriteCfgBool("GMAIL_0_ENABLED", false);
        plugin->RefreshConfig();
        ASSERT_EQ(obj->QueryNum(QStringLiteral("ACCNUM"), 0), 3);
    }
    QString Text(const char* key, const char* param = "") {
        return obj->QueryText(QString::fromLatin1(key), QString::fromLatin1(param));
    }

    std::unique_ptr<TNuvexObj> obj;
};

TEST_F(NuvexObjTest, ContextKindIsOneOnlyForTheSettingsDialog) {
    const struct {
        const char* context;
        int kind;
    } rows[] = {{"SETTINGS", 1}, {"", 2}, {"settings", 2}, {"4711", 2}, {"SETTINGS ", 2}};
    for (const auto& row : rows) {
        obj->SetContext(QString::fromLatin1(row.context));
        EXPECT_EQ(obj->GetContextKind(), row.kind) << '"' << row.context << '"';
    }
}

TEST_F(NuvexObjTest, PerAccountQuestionsByIndex) {
    LoadThreeAccounts();
    const struct {
        const char* key;
        const char* param;
        const char* answer;
    } rows[] = {
        {"ACC_ID", "0", "Pop3_0"},
        {"ACC_ID", "1", "GMAIL_0"}, // a disabled account still counts
        {"ACC_EMAILADDRESS", "2", "v@example.org"},
        {"ACC_ID", "3", ""}, // one past the end
        {"ACC_ID", "-1", ""},
        {"ACC_ID", "", ""},
        {"ACC_ID", "one", ""},
        {"ACC_ID", "99999999999", ""},
        {"ACC_SENDTOALLOWED", "0", "disabled"},
        {"ACC_SENDTOALLOWED", "2", ""},
        {"ACC_SENDTOALLOWED", "7", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Text(row.key, row.param), QString::fromLatin1(row.answer)) << row.key << " " << row.param;
    }
    const struct {
        const char* key;
        int index;
        int answer;
    } nums[] = {
        {"ACC_ENABLED", 0, 1}, {"ACC_ENABLED", 1, 0}, {"ACC_SENDTO", 2, 1}, {"ACC_SENDTO", 0, 0},
        {"ACC_ENABLED", 3, 0}, {"ACC_SENDTO", -1, 0}, {"UNKNOWN", 0, 0},
    };
    for (const auto& row : nums) {
        EXPECT_EQ(obj->QueryNum(QString::fromLatin1(row.key), row.index), row.answer)
            << row.key << " " << row.index;
    }
}

TEST_F(NuvexObjTest, AccountListsHoldOnlyEnabledAccountsThatFitTheFilter) {
    LoadThreeAccounts();
    host->cfg.WriteCfgBool("GMAIL_0_ENABLED", true);
    plugin->RefreshConfig();
    const struct {
        const char* filter;
        const char* lines;
    } rows[] = {
        {"", "Pop3_0\tp@example.org\t\tGMAIL_0\tg@example.org\t\tVOSTREL_0\tv@example.org\t\t"},
        {"COMPOSE", "GMAIL_0\tg@example.org\t\tVOSTREL_0\tv@example.org\t\t"},
        {"COMPOSEPREFILL", "VOSTREL_0\tv@example.org\t\t"},
        {"X", ""},
        {"compose", ""}, // the filter is compared exactly
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Text("GET_ACCOUNTS", row.filter), QString::fromLatin1(row.lines)) << row.filter;
    }
    host->cfg.WriteCfgBool("GMAIL_0_ENABLED", false);
    plugin->RefreshConfig();
    EXPECT_EQ(Text("GET_ACCOUNTS", "COMPOSE"), QStringLiteral("VOSTREL_0\tv@example.org\t\t"));
}

TEST_F(NuvexObjTest, AnAddressWithATabCannotSplitTheList) {
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + AccountText("a\tb@example.org"));
    plugin->RefreshConfig();
    EXPECT_EQ(Text("GET_ACCOUNTS"), QStringLiteral("Pop3_0\ta b@example.org\t\t"));
}

TEST_F(NuvexObjTest, ExitIsRefusedWhileAnyUploadRuns) {
    EXPECT_EQ(Text("ALLOW_EXIT"), QStringLiteral("YES"));
    {
        UploadInProgressScope first;
        EXPECT_EQ(Text("ALLOW_EXIT"), QStringLiteral("NO"));
        BeginUpload(); // a second upload overlaps the first
        EndUpload();
        EXPECT_EQ(Text("ALLOW_EXIT"), QStringLiteral("NO")) << "the first upload still runs";
    }
    EXPECT_EQ(Text("ALLOW_EXIT"), QStringLiteral("YES"));
    EndUpload(); // unmatched: must not hide the next upload
    BeginUpload();
    EXPECT_TRUE(UploadInProgress());
    EndUpload();
    EXPECT_FALSE(UploadInProgress());
    EXPECT_EQ(Text("allow_exit"), QString()) << "the key is compared exactly";
}

TEST_F(NuvexObjTest, RefreshStampAndInitEvents) {
    EXPECT_EQ(Text("REFRESH_ACCOUNTS", "X"), QString()) << "no editor changed the list yet";
    EXPECT_EQ(Text("REFRESH_REMINDERS"), QString());
    obj->SetContext(QStringLiteral("SETTINGS"));
    EXPECT_EQ(Text("INITEVENTS"), QString());
    EXPECT_EQ(obj->Context(), QStringLiteral("SETTINGS")) << "an empty parameter keeps the context";
    EXPECT_EQ(Text("INITEVENTS", "1234"), QString());
    EXPECT_EQ(obj->Context(), QStringLiteral("1234"));
    EXPECT_EQ(Text("LONGNAME"), LongName()) << "the base keys still answer";
}

TEST_F(NuvexObjTest, SettingsPagesAreThreeLinesWithoutATrailingBreak) {
    QString pages;
    QByteArray bitmap;
    obj->GetSettingsPages(pages, bitmap);
    const QStringList lines = pages.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 3) << pages.toStdString();
    EXPECT_TRUE(lines[0].startsWith(LongName() + QStringLiteral("=res://")));
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("/TAB1")));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Manage Accounts=res://")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("/TAB2")));
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("Advanced Settings=res://")));
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral("/TAB3")));
    EXPECT_EQ(bitmap, ButtonBitmap().bytes);
    EXPECT_FALSE(bitmap.isEmpty());
}

TEST_F(NuvexObjTest, EditPastTheEndOpensTheAddWizardAndInRangeTheEditor) {
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + AccountText("a@example.org") +
                                          "\r\nPop3_1=" + AccountText("b@example.org"));
    plugin->RefreshConfig();
    obj->SetContext(QStringLiteral("SETTINGS"));

    EXPECT_EQ(obj->QueryNum(QStringLiteral("EDIT_ACCOUNT"), 1), 0);
    ASSERT_TRUE(WaitFor([] { return Wizards().size() == 1; }));
    auto* email = Wizards().front()->findChild<QLineEdit*>(QStringLiteral("email"));
    ASSERT_NE(email, nullptr);
    EXPECT_EQ(email->text(), QStringLiteral("b@example.org"));
    CloseWizards();

    obj->QueryNum(QStringLiteral("EDIT_ACCOUNT"), 2); // equal to the count
    ASSERT_TRUE(WaitFor([] { return Wizards().size() == 1; }));
    email = Wizards().front()->findChild<QLineEdit*>(QStringLiteral("email"));
    EXPECT_TRUE(email == nullptr || email->text().isEmpty()) << "the add wizard starts at the choice of type";
    CloseWizards();

    obj->QueryNum(QStringLiteral("REMOVE_ACCOUNT"), 2); // out of range: nothing
    QTest::qWait(60);
    EXPECT_TRUE(Wizards().isEmpty());
    EXPECT_EQ(obj->QueryNum(QStringLiteral("ACCNUM"), 0), 2);
}

TEST_F(NuvexObjTest, RemoveFromThePagesTakesTheAccountOutAndMovesTheStamp) {
    host->cfg.WriteCfgStr("ACCOUNTS", "Pop3_0=" + AccountText("a@example.org"));
    plugin->RefreshConfig();
    const QString before = Text("REFRESH_ACCOUNTS");
    obj->QueryNum(QStringLiteral("REMOVE_ACCOUNT"), 0);
    EXPECT_TRUE(WaitFor([&] { return obj->QueryNum(QStringLiteral("ACCNUM"), 0) == 0; }));
    EXPECT_NE(Text("REFRESH_ACCOUNTS"), before);
    EXPECT_EQ(host->cfg.ReadCfgStr("ACCOUNTS"), "");
}

} // namespace
} // namespace nuvex
