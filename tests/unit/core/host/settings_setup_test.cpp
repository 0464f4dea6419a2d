// The settings pages' "setup" object against the host's store, and how the
// plug-in's pages text turns into the pages the dialog may show.
#include "host/settings_setup.h"
#include "host/toolbar_host.h"
#include "tests/support/qt_core_main.h"
#include "tests/support/temp_dir.h"

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <sqlite3.h>

namespace nuvex::host {
namespace {

TEST(SettingsPages, OnlyPagesTheHostCarriesAreShown) {
    const struct {
        const char* text;
        int count;
        const char* firstTitle;
        const char* firstResource;
    } rows[] = {
        {"Email Plugin=res:///usr/bin/nuvex/TAB1\r\nManage Accounts=res:///usr/bin/nuvex/TAB2\r\n"
         "Advanced Settings=res:///usr/bin/nuvex/TAB3",
         3, "Email Plugin", "qrc:/settings/TAB1.html"},
        {"A=res://x/TAB2/", 1, "A", "qrc:/settings/TAB2.html"}, // a trailing slash
        {"A=TAB3", 1, "A", "qrc:/settings/TAB3.html"},
        {"A=res://x/TAB9", 1, "A", ""},             // a page the host lacks
        {"A=res://x/../../etc/passwd", 1, "A", ""}, // only the last part counts, and it is no page
        {"A=res://x/TAB1.html", 1, "A", ""},        // no file names, only page names
        {"A=res://x/settings.js", 1, "A", ""},      // not a page, though a resource
        {"A=res://x/tab1", 1, "A", ""},             // names are exact
        {"no equals sign\r\n=res://x/TAB1\r\n\r\n", 0, "", ""},
        {"", 0, "", ""},
    };
    for (const auto& row : rows) {
        const std::vector<SettingsPage> pages = ParseSettingsPages(QString::fromUtf8(row.text));
        ASSERT_EQ(static_cast<int>(pages.size()), row.count) << row.text;
        if (row.count > 0) {
            EXPECT_EQ(pages[0].title, QString::fromUtf8(row.firstTitle)) << row.text;
            EXPECT_EQ(pages[0].resource, QString::fromUtf8(row.firstResource)) << row.text;
        }
    }
}

TEST(SettingsPages, AFloodOfPagesIsCut) {
    QString text;
    for (int i = 0; i < 100; ++i) {
        text += QStringLiteral("T%1=res://x/TAB1\n").arg(i);
    }
    EXPECT_EQ(ParseSettingsPages(text).size(), 16u);
}

TEST(SettingsPages, ReportNamesEachPageAndWhatIsMissing) {
    const auto pages = ParseSettingsPages(QStringLiteral("One=res://x/TAB1\r\nTwo=res://x/NOPE"));
    EXPECT_EQ(SettingsPagesReport(QStringLiteral("MAIL"), pages),
              QStringLiteral("MAIL\tOne\tqrc:/settings/TAB1.html\n"
                             "MAIL\tTwo\t(not carried by the host: res://x/NOPE)\n"));
    EXPECT_EQ(SettingsPagesReport(QStringLiteral("MAIL"), {}), QStringLiteral("MAIL\t(no settings pages)\n"));
}

class SettingsSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_.path()));
        std::string error;
        auto store = SettingsStore::Open(dir_.file("brannock/settings.db"), &error);
        ASSERT_TRUE(store) << error;
        host_ = std::make_unique<ToolbarHost>(true, std::move(store));
        host_->LoadSlots();
        setup_ = std::make_unique<SettingsSetup>(*host_, QStringLiteral("MAIL"));
    }
    void TearDown() override {
        setup_.reset();
        host_.reset();
    }

    test::TempDir dir_;
    std::unique_ptr<ToolbarHost> host_;
    std::unique_ptr<SettingsSetup> setup_;
};

TEST_F(SettingsSetupTest, NothingIsReadOrWrittenBeforeThePluginIsNamed) {
    ASSERT_TRUE(host_->Store().Set("MAIL", "SHOW_TRAY", ValueType::Bool, "1"));
    EXPECT_FALSE(setup_->GetCfgBool(QStringLiteral("SHOW_TRAY"), 0));
    EXPECT_FALSE(setup_->SetCfgStr(QStringLiteral("MAILACCOUNT"), QStringLiteral("Pop3_0"), 1));
    EXPECT_FALSE(host_->Store().Get("MAIL", "MAILACCOUNT"));
    EXPECT_FALSE(setup_->DelCfgValue(QStringLiteral("SHOW_TRAY"), 1));
    EXPECT_EQ(setup_->GetText(QStringLiteral("ACC_ID"), QStringLiteral("0")).result(), QString());
    EXPECT_EQ(setup_->GetNum(QStringLiteral("ACCNUM"), 0).result(), 0);

    EXPECT_FALSE(setup_->StartSettings(QStringLiteral("NOSUCH")));
    EXPECT_FALSE(setup_->GetCfgBool(QStringLiteral("SHOW_TRAY"), 0));
    EXPECT_TRUE(setup_->StartSettings(QStringLiteral("Mail"))); // names match in any case
    EXPECT_EQ(setup_->Plugin(), QStringLiteral("MAIL"));
    EXPECT_TRUE(setup_->GetCfgBool(QStringLiteral("SHOW_TRAY"), 0));
}

// The pages of one plug-in never reach the values of another, known or not.
TEST_F(SettingsSetupTest, PagesReachOnlyTheirOwnPluginsValues) {
    ASSERT_TRUE(host_->Store().Set("MAIL", "MAILACCOUNT", ValueType::Text, "Pop3_0"));
    SettingsSetup other(*host_, QStringLiteral("OTHER"));
    EXPECT_FALSE(other.StartSettings(QStringLiteral("MAIL")));
    EXPECT_EQ(other.GetCfgStr(QStringLiteral("MAILACCOUNT"), 0), QString());
    EXPECT_FALSE(other.SetCfgStr(QStringLiteral("MAILACCOUNT"), QStringLiteral("x"), 0));
    EXPECT_FALSE(other.DelCfgValue(QStringLiteral("MAILACCOUNT"), 0));
    EXPECT_EQ(host_->Store().Get("MAIL", "MAILACCOUNT")->text, "Pop3_0");
}

TEST_F(SettingsSetupTest, ValuesGoToTheStoreWithTheirTypes) {
    ASSERT_TRUE(setup_->StartSettings(QStringLiteral("MAIL")));
    QSignalSpy changed(setup_.get(), &SettingsSetup::ValueChanged);

    EXPECT_TRUE(setup_->SetCfgBool(QStringLiteral("MAIL_ALL"), false, 1));
    EXPECT_TRUE(setup_->SetCfgInt(QStringLiteral("EBUTTACTION"), 1, 1));
    EXPECT_TRUE(setup_->SetCfgStr(QStringLiteral("SETUP_LAST_CHANGE"), QStringLiteral("1700000000000"), 1));
    EXPECT_EQ(changed.count(), 3);

    auto stored = host_->Store().Get("MAIL", "MAIL_ALL");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, ValueType::Bool);
    EXPECT_EQ(stored->text, "0");
    EXPECT_EQ(host_->Store().Get("MAIL", "EBUTTACTION")->type, ValueType::Int);

    EXPECT_FALSE(setup_->GetCfgBool(QStringLiteral("MAIL_ALL"), 0));
    EXPECT_EQ(setup_->GetCfgInt(QStringLiteral("EBUTTACTION"), 0), 1);
    EXPECT_EQ(setup_->GetCfgStr(QStringLiteral("SETUP_LAST_CHANGE"), 0), QStringLiteral("1700000000000"));

    // A boolean read as a number, and texts read as booleans, as the pages do.
    EXPECT_TRUE(setup_->SetCfgBool(QStringLiteral("SHOW_TRAY"), true, 1));
    EXPECT_EQ(setup_->GetCfgInt(QStringLiteral("SHOW_TRAY"), 0), 1);
    ASSERT_TRUE(host_->Store().Set("MAIL", "DISPNOTIFWIN", ValueType::Text, "yes"));
    EXPECT_TRUE(setup_->GetCfgBool(QStringLiteral("DISPNOTIFWIN"), 0));
    ASSERT_TRUE(host_->Store().Set("MAIL", "PLAYSOUND", ValueType::Text, "maybe"));
    EXPECT_FALSE(setup_->GetCfgBool(QStringLiteral("PLAYSOUND"), 0));
    EXPECT_EQ(setup_->GetCfgInt(QStringLiteral("SETUP_LAST_CHANGE"), 0), 0) << "out of 32-bit range";

    EXPECT_TRUE(setup_->DelCfgValue(QStringLiteral("SETUP_LAST_CHANGE"), 1));
    EXPECT_FALSE(host_->Store().Get("MAIL", "SETUP_LAST_CHANGE"));
    EXPECT_EQ(setup_->GetCfgStr(QStringLiteral("SETUP_LAST_CHANGE"), 0), QString());
    EXPECT_FALSE(setup_->SetCfgStr(QString(), QStringLiteral("x"), 1)) << "an empty key";
}

TEST_F(SettingsSetupTest, AFailingStoreIsReportedToThePage) {
    ASSERT_TRUE(setup_->StartSettings(QStringLiteral("MAIL")));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.file("brannock/settings.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE host_values;", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    QSignalSpy changed(setup_.get(), &SettingsSetup::ValueChanged);
    EXPECT_FALSE(setup_->SetCfgBool(QStringLiteral("MAIL_ALL"), true, 1));
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(SettingsSetupTest, QuestionsToAPluginThatIsNotRunningAnswerAtOnce) {
    ASSERT_TRUE(setup_->StartSettings(QStringLiteral("MAIL")));
    QFuture<QString> text = setup_->GetText(QStringLiteral("GET_ACCOUNTS"), QString());
    QFuture<int> num = setup_->GetNum(QStringLiteral("ACCNUM"), 0);
    EXPECT_TRUE(text.isFinished());
    EXPECT_TRUE(num.isFinished());
    EXPECT_EQ(text.result(), QString());
    EXPECT_EQ(num.result(), 0);
}

TEST_F(SettingsSetupTest, ShowSettingsOpensTheDialogOnlyWhereThereIsOne) {
    QSignalSpy notices(host_.get(), &ToolbarHost::Notice);
    host_->ShowSettings(QStringLiteral("mail")); // headless: no opener
    ASSERT_EQ(notices.count(), 1);
    EXPECT_TRUE(notices.takeFirst().at(0).toString().contains(QStringLiteral("headless")));

    QStringList opened;
    host_->SetSettingsOpener([&](const QString& plugin) { opened << plugin; });
    host_->ShowSettings(QStringLiteral("mail"));
    host_->ShowSettings(QStringLiteral("NOSUCH")); // no dialog for a plug-in the host does not serve
    EXPECT_TRUE(opened.isEmpty()) << "opened only after the plug-in's call has returned";
    QCoreApplication::processEvents();
    EXPECT_EQ(opened, QStringList{QStringLiteral("MAIL")});
    EXPECT_EQ(notices.count(), 1);
}

TEST_F(SettingsSetupTest, ADialogThatCannotLoadIsToldInsteadOfOpened) {
    QSignalSpy notices(host_.get(), &ToolbarHost::Notice);
    QStringList opened;
    int asked = 0;
    host_->SetSettingsOpener([&](const QString& plugin) { opened << plugin; },
                             [&](QString* why) {
                                 ++asked;
                                 *why = QStringLiteral("no module here");
                                 return false;
                             });
    host_->ShowSettings(QStringLiteral("mail"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(notices.count(), 1);
    EXPECT_EQ(notices.takeFirst().at(0).toString(), QStringLiteral("no module here"));

    // Nothing is loaded for a plug-in the host does not serve.
    host_->ShowSettings(QStringLiteral("NOSUCH"));
    EXPECT_EQ(asked, 1);
}

} // namespace
} // namespace nuvex::host
