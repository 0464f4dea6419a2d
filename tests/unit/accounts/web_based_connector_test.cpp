// The browser-driven connectors without a browser: page reading, patterns,
// cookie files, the compose reuse and a missing browser.
#include "accounts/account_store.h"
#include "accounts/hotmail_connector.h"
#include "accounts/yahoo_connector.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

struct PageRow {
    std::string text;
    std::string html;
    std::uint8_t outcome;
    std::int32_t found = 0;  // FoundNew
    std::int32_t unread = 0; // FoundUnread
    std::string compose;
};

TEST(HotmailPage, ReadsTheCountsAndTheComposeAddress) {
    const std::string home = "https://mail.example/cgi-bin/hmhome?fti=yes&cgi-bin/hmhome";
    const std::string compose = "https://mail.example/cgi-bin/compose?fti=yes&cgi-bin/hmhome";
    const PageRow rows[] = {
        {"Inbox\nMy Messages 5 (3)\nFolders", "", kWebCounts, 5, 3, compose},
        {"My Messages\n 12 \t( 7 )", "", kWebCounts, 12, 7, compose},
        {"My Messages (3)", "", kWebCounts, 0, 3, compose},         // no first number
        {"My Messages many (some)", "", kWebCounts, 0, 0, compose}, // not numbers: 0
        {"My Messages 5 (3", "", kWebUndecided, 0, 0, compose},     // the address is still learned
        {"My Messages 5 ) (3", "", kWebUndecided, 0, 0, compose},   // ")" only before "("
        {"Inbox 5 (3)", "", kWebUndecided, 0, 0, ""},
        {"x Please retype the e-mail address and password, or sign up if you haven't already done so. My "
         "Messages 5 (3)",
         "", kWebRefused, 0, 0, ""},
        {"You've tried to sign in too many times with an incorrect e-mail address or password, or someone "
         "else is trying to sign in to the account.",
         "", kWebRefused, 0, 0, ""},
    };
    for (const PageRow& row : rows) {
        THotmailCheckThread worker({}, {}, "", nullptr);
        EXPECT_EQ(worker.EvaluatePage({home, row.text, row.html}), row.outcome) << row.text;
        EXPECT_EQ(worker.FoundNew, row.found) << row.text;
        EXPECT_EQ(worker.FoundUnread, row.unread) << row.text;
        EXPECT_EQ(worker.FoundComposeUrl, row.compose) << row.text;
    }
}

TEST(YahooPage, ReadsTheCountAndTheComposeAddress) {
    const std::string link =
        "<a onclick=\"parent.showCompose(); location='/ym/Compose?box=1&amp;x=2'\">c</a>";
    const PageRow rows[] = {
        {"Welcome\nYou have 3 unread messages", link, kWebCounts, 3, 3,
         "https://mail.example/ym/Compose?box=1&x=2"},
        {"You have 1 unread message.", "", kWebCounts, 1, 1, ""},
        {"You have   42 unread messages", "<a onclick=\"parent.showCompose()\">c</a>", kWebCounts, 42, 42,
         ""},
        {"You have no unread messages", "", kWebCounts, 0, 0, ""},
        {"You have 3 new messages", link, kWebUndecided, 0, 0, ""},
        {"Welcome", link, kWebUndecided, 0, 0, ""},
        {"Invalid ID or password. Did you forget or misspell your ID or password? You have 3 unread messages",
         "", kWebRefused, 0, 0, ""},
        // Only one of the two failure texts is not a refusal.
        {"Invalid ID or password.", "", kWebUndecided, 0, 0, ""},
        {"You have 2 unread messages",
         "parent.showCompose() x location='https://compose.example/c?a=1'; other location='/no'", kWebCounts,
         2, 2, "https://compose.example/c?a=1"},
        {"You have 2 unread messages", "parent.showCompose(); location='//cdn.example/c'", kWebCounts, 2, 2,
         "https://cdn.example/c"},
    };
    for (const PageRow& row : rows) {
        TYahooCheckThread worker({}, {}, "", nullptr);
        EXPECT_EQ(worker.EvaluatePage({"https://mail.example/ym/Welcome?.rand=1", row.text, row.html}),
                  row.outcome)
            << row.text;
        EXPECT_EQ(worker.FoundNew, row.found) << row.text;
        EXPECT_EQ(worker.FoundUnread, row.unread) << row.text;
        EXPECT_EQ(worker.FoundComposeUrl, row.compose) << row.text;
    }
}

TEST(Pattern, ResourcesHoldTheFormsAndFields) {
    TPatternList hotmail = ParsePattern(PatternResource("HOTMAIL"));
    EXPECT_EQ(PatternValue(hotmail, "FORM"), "f1");
    EXPECT_EQ(PatternValue(hotmail, "FILL_login"), "%USERNAME%");
    EXPECT_EQ(PatternValue(hotmail, "FILL_passwd"), "%PASSWORD%");
    EXPECT_EQ(PatternValue(hotmail, "FILL_i0138"), "1");
    EXPECT_NE(PatternValue(hotmail, "INIT_URL").find("/uilogin.srf?lc=1033&id=2&vv=320"), std::string::npos);
    EXPECT_EQ(CookieWords(hotmail).size(), 5u);
    TPatternList yahoo = ParsePattern(PatternResource("YAHOO"));
    EXPECT_EQ(PatternValue(yahoo, "FORM"), "login_form");
    EXPECT_EQ(CookieWords(yahoo).size(), 2u);
    EXPECT_TRUE(PatternResource("NOSUCH").empty());
}

TEST(Pattern, LinesAndPlaceholders) {
    TPatternList p =
        ParsePattern("A=1\r\nno equals\r\n=empty name\nB=x=y\r\nC=\nCOOKIE_3=Word\nCOOKIE_0=Other");
    ASSERT_EQ(p.size(), 5u);
    EXPECT_EQ(PatternValue(p, "B"), "x=y");
    EXPECT_EQ(PatternValue(p, "C"), "");
    EXPECT_EQ(PatternValue(p, "a"), ""); // names keep their case
    EXPECT_EQ(CookieWords(p), (std::vector<std::string>{"other", "word"}));

    TPatternList filled =
        FillPlaceholders(ParsePattern("U=%USERNAME%\nP=%PASSWORD%&%PASSWORD%\nL=%username%\nM=x%USERNAME%y"),
                         "me%PASSWORD%", "pw");
    EXPECT_EQ(PatternValue(filled, "U"), "me%PASSWORD%"); // a name holding a placeholder is not filled again
    EXPECT_EQ(PatternValue(filled, "P"), "pw&pw");
    EXPECT_EQ(PatternValue(filled, "L"), "%username%"); // exact case only
    EXPECT_EQ(PatternValue(filled, "M"), "xme%PASSWORD%y");
}

TEST(CookieFiles, DomainOfAFileName) {
    EXPECT_EQ(CookieFileDomain("someone@login.live[1].txt"), "login.live");
    EXPECT_EQ(CookieFileDomain("SOMEONE@Hotmail[2].TXT"), "hotmail");
    EXPECT_EQ(CookieFileDomain("yahoo.txt"), "yahoo");
    EXPECT_EQ(CookieFileDomain("a@b@yahoo[1].txt"), "b@yahoo");
    EXPECT_EQ(CookieFileDomain("noextension"), "noextension");
}

class CookieFilesTest : public ::testing::Test {
protected:
    std::string Put(const std::string& name, const std::string& content) {
        std::ofstream(dir_.file(name)) << content;
        return dir_.file(name);
    }
    TempDir dir_;
    const std::vector<std::string> words_ = {"passport.com", "login.live.com", "hotmail"};
};

TEST_F(CookieFilesTest, OnlyTheProvidersFilesAreMovedAsideAndBack) {
    std::string live = Put("me@login.live[1].txt", "MSPAuth\nx\nLOGIN.LIVE.COM/\n");
    std::string hot = Put("me@hotmail[1].txt", "MSPProf\nhotmail.msn.com/\n");
    std::string other = Put("me@news.example[1].txt", "id\nnews.example/\n");      // no word for it
    std::string noContent = Put("me@passport[1].txt", "id\nsomewhere.example/\n"); // word not in the text
    std::string emptyDomain = Put("me@[1].txt", "passport.com login.live.com hotmail"); // empty domain
    std::string notTxt = Put("me@hotmail[2].dat", "hotmail");
    EXPECT_EQ(HideCookieFiles(dir_.path(), words_), 2);
    EXPECT_FALSE(fs::exists(live));
    EXPECT_TRUE(fs::exists(dir_.file("me@login.live[1].cbk")));
    EXPECT_TRUE(fs::exists(dir_.file("me@hotmail[1].cbk")));
    for (const std::string& kept : {other, noContent, emptyDomain, notTxt}) {
        EXPECT_TRUE(fs::exists(kept)) << kept;
    }
    EXPECT_EQ(RestoreCookieFiles(dir_.path(), words_), 2);
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(hot));
    std::ifstream in(live);
    std::string first;
    in >> first;
    EXPECT_EQ(first, "MSPAuth");
    EXPECT_FALSE(fs::exists(dir_.file("me@login.live[1].cbk")));
}

TEST_F(CookieFilesTest, NoFolderOrNoWordsMovesNothing) {
    std::string live = Put("me@login.live[1].txt", "login.live.com");
    EXPECT_EQ(HideCookieFiles("", words_), 0);
    EXPECT_EQ(HideCookieFiles(dir_.file("missing"), words_), 0);
    EXPECT_EQ(HideCookieFiles(dir_.path(), {}), 0);
    EXPECT_TRUE(fs::exists(live));
}

struct RecordingSink final : NavigationSink {
    std::vector<std::string> urls;
    void PostNavigate(const std::string& url, const std::string& /*commandLine*/) override {
        urls.push_back(url);
    }
};

class WebAccountTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDefaultClock(&clock_);
        registry_ = MakeMemoryRegistry();
        context_.host = &host_;
        context_.registry = registry_.get();
        context_.navigation = &sink_;
        // A loopback sign-in page needs no Internet connection, and none is opened here.
        host_.WriteCfgStr("HOTMAIL_LOGIN", "http://127.0.0.1:9/login");
        host_.WriteCfgStr("YAHOO_LOGIN", "http://127.0.0.1:9/login");
        limits_.profileRoot = dir_.path() + "/profiles";
        limits_.browserProgram = dir_.file("no-such-browser");
    }
    void TearDown() override { SetDefaultClock(nullptr); }

    std::unique_ptr<TNuvex_HotMailConnector> Hotmail() {
        auto account = std::make_unique<TNuvex_HotMailConnector>(HotMailConnectorClass(), context_);
        account->SetAccountId("HOTMAIL_0");
        account->UserName = "me";
        account->Password = "pw";
        account->SetLimits(limits_);
        return account;
    }

    FakeClock clock_;
    TempDir dir_;
    MemoryHostConfig host_;
    std::unique_ptr<Registry> registry_;
    RecordingSink sink_;
    AccountContext context_;
    TWebCheckLimits limits_;
};

TEST_F(WebAccountTest, MissingBrowserIsAClearErrorOfClassThree) {
    struct Row {
        const char* what;
        std::string program;
        std::string path;
        std::string env;
    } rows[] = {
        {"the override names no file", dir_.file("no-such-browser"), "/usr/bin:/bin", ""},
        {"no chromium on PATH", "", dir_.path(), ""},
        {"the environment names a missing one", "", "/usr/bin:/bin", "no-such-browser-here"},
    };
    for (const Row& row : rows) {
        ScopedEnv path("PATH", row.path);
        ScopedEnv env("NUVEX_CHROMIUM", row.env);
        if (row.env.empty()) {
            ::unsetenv("NUVEX_CHROMIUM");
        }
        limits_.browserProgram = row.program;
        std::vector<std::unique_ptr<TNuvex_WebBasedConnector>> accounts;
        accounts.push_back(Hotmail());
        accounts.push_back(std::make_unique<TNuvex_YahooConnector>(YahooConnectorClass(), context_));
        for (auto& account : accounts) {
            account->SetLimits(limits_);
            EXPECT_EQ(account->CheckMail(), kStatusFailed) << row.what;
            std::int32_t code = 0;
            std::string text;
            account->TakeLastError(code, text);
            EXPECT_EQ(code, kErrorOther) << row.what;
            EXPECT_EQ(text.substr(0, text.find("\r\n")), kBrowserMissingText) << row.what;
            // Taken once: the next look finds nothing.
            account->TakeLastError(code, text);
            EXPECT_EQ(code, kErrorNone);
        }
    }
    EXPECT_FALSE(fs::exists(limits_.profileRoot + "/profile")) << "no profile for a browser that never ran";
}

TEST_F(WebAccountTest, ComposeReusesTheAddressForFifteenMinutes) {
    auto account = Hotmail();
    account->ComposeUrl = "https://mail.example/cgi-bin/compose";
    account->LastLogin = Now();
    clock_.AdvanceMs(14 * 60 * 1000);
    EXPECT_EQ(account->Compose(), kStatusOk);
    ASSERT_EQ(sink_.urls.size(), 1u);
    EXPECT_EQ(sink_.urls[0], "https://mail.example/cgi-bin/compose");
    std::int32_t code = -1;
    std::string text;
    account->TakeLastError(code, text);
    EXPECT_EQ(code, kErrorNone) << "signed in again within 15 minutes";

    // Older than that, it signs in first (here: no browser), and still opens
    // the address it knows.
    clock_.AdvanceMs(2 * 60 * 1000);
    EXPECT_EQ(account->Compose(), kStatusOk);
    account->WaitForCompose();
    EXPECT_EQ(sink_.urls.size(), 2u);
    account->TakeLastError(code, text);
    EXPECT_EQ(code, kErrorOther);
}

TEST_F(WebAccountTest, DisconnectMakesTheNextComposeSignIn) {
    auto account = Hotmail();
    account->ComposeUrl = "https://mail.example/cgi-bin/compose";
    account->LastLogin = Now();
    account->Disconnect();
    EXPECT_EQ(account->LastLogin, 0);
    account->Compose();
    account->WaitForCompose();
    std::int32_t code = -1;
    std::string text;
    account->TakeLastError(code, text);
    EXPECT_EQ(code, kErrorOther);
}

TEST_F(WebAccountTest, ComposeWithoutAnAddressOpensNothing) {
    auto account = Hotmail();
    EXPECT_EQ(account->Compose(), kStatusOk);
    account->WaitForCompose();
    EXPECT_TRUE(sink_.urls.empty());
}

TEST_F(WebAccountTest, SigninPageComesFromTheHostWhenSet) {
    auto account = Hotmail();
    EXPECT_EQ(account->InitUrl(), "http://127.0.0.1:9/login");
    host_.WriteCfgStr("HOTMAIL_LOGIN", "  ");
    EXPECT_EQ(account->InitUrl(), PatternValue(account->Pattern, "INIT_URL"));
    host_.failAll = true;
    EXPECT_EQ(account->InitUrl(), PatternValue(account->Pattern, "INIT_URL"));
    host_.failAll = false;
    host_.WriteCfgStr("HOTMAIL_LOGIN", "http://127.0.0.1:8/other");
    account->OpenMailbox();
    ASSERT_EQ(sink_.urls.size(), 1u);
    EXPECT_EQ(sink_.urls[0], "http://127.0.0.1:8/other");
}

TEST(WebAccountClass, BothTypesCheckComposeAndOpenAndAllowOneAccount) {
    for (const TConnectorClass* cls : {&HotMailConnectorClass(), &YahooConnectorClass()}) {
        EXPECT_TRUE(cls->CanCheck()) << cls->TypeCode();
        EXPECT_TRUE(cls->Has(kCapCompose));
        EXPECT_FALSE(cls->Has(kCapSendFiles));
        EXPECT_FALSE(cls->Has(kCapMailTo));
        EXPECT_EQ(cls->MaxAccounts(), 1);
        EXPECT_EQ(cls->ListOrder(), 10);
    }
}

TEST(WebAccountClass, CommandLineKeysNeedAPassword) {
    TAccountFields fields;
    fields.email = "me@hotmail.com";
    fields.userName = "me@hotmail.com";
    std::string error;
    EXPECT_FALSE(AddWebBasedTypeKeys(fields, {{"password", ""}}, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(AddWebBasedTypeKeys(fields, {{"password", "pw"}}, error));
    EXPECT_EQ(fields.typeKeys,
              (std::vector<std::pair<std::string, std::string>>{
                  {"EMAIL", "me@hotmail.com"}, {"USERNAME", "me@hotmail.com"}, {"PASSWORD", "pw"}}));
}

} // namespace
} // namespace nuvex
