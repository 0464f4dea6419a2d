// HotMail and Yahoo checks through a real headless Chromium against the
// loopback sign-in pages of tools/signin_pages.
#include "accounts/connector_registry.h"
#include "accounts/hotmail_connector.h"
#include "accounts/yahoo_connector.h"
#include "cli/account_cli.h"
#include "lib/crypt_url.h"
#include "lib/devtools_pipe.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "lib/stop_signal.h"
#include "tests/support/scoped_env.h"
#include "tests/support/signin_pages_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nuvex {
namespace {

namespace fs = std::filesystem;
using test::SigninPagesServer;
using test::TempDir;

struct RecordingSink final : NavigationSink {
    std::vector<std::string> urls;
    void PostNavigate(const std::string& url, const std::string& /*commandLine*/) override {
        urls.push_back(url);
    }
};

std::size_t EntriesIn(const std::string& dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        ++n;
    }
    return n;
}

class BrowserCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!devtools::FindBrowserProgram("")) {
            GTEST_SKIP() << "chromium is not installed";
        }
        ASSERT_TRUE(pages_.Running()) << pages_.Error();
        registry_ = MakeMemoryRegistry();
        context_.host = &host_;
        context_.registry = registry_.get();
        context_.navigation = &sink_;
        context_.stop = &stop_;
        // Enough for a check on a loaded machine; the tests that want the
        // budget to run out set their own.
        limits_.budgetMs = test::ScaledMs(15'000);
        limits_.startTimeoutMs = test::ScaledMs(limits_.startTimeoutMs);
        limits_.callTimeoutMs = test::ScaledMs(limits_.callTimeoutMs);
        limits_.settleMs = 200;
        limits_.interactiveMs = 200;
        limits_.pollMs = 50;
        limits_.killGraceMs = 1000;
        limits_.profileRoot = profiles_.path() + "/profiles";
    }

    template <class Connector>
    std::unique_ptr<Connector> Account(const TConnectorClass& cls, const std::string& scenario,
                                       const std::string& password = test::kSigninPassword) {
        std::string provider = cls.TypeCode() == "HOTMAIL" ? "hotmail" : "yahoo";
        host_.WriteCfgStr(cls.TypeCode() + "_LOGIN", pages_.Url("/" + provider + "/" + scenario + "/login"));
        auto account = std::make_unique<Connector>(cls, context_);
        account->SetAccountId(cls.TypeCode() + "_0");
        account->UserName = "someone";
        account->Password = password;
        account->SetLimits(limits_);
        return account;
    }

    // Nothing of a check outlives it: no browser, no profile folder.
    void ExpectNothingLeft() {
        EXPECT_EQ(devtools::LiveBrowsers(), 0);
        EXPECT_EQ(EntriesIn(limits_.profileRoot), 0u);
    }

    static std::pair<std::int32_t, std::string> LastError(TNuvex_GenericConnector& account) {
        std::int32_t code = -1;
        std::string text;
        account.TakeLastError(code, text);
        return {code, text};
    }

    SigninPagesServer pages_;
    TempDir profiles_;
    MemoryHostConfig host_;
    std::unique_ptr<Registry> registry_;
    RecordingSink sink_;
    StopSignal stop_;
    AccountContext context_;
    TWebCheckLimits limits_;
};

TEST_F(BrowserCheckTest, HotmailCountsAndComposeAddress) {
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "ok");
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 5);
    EXPECT_EQ(account->UnreadCount, 3);
    EXPECT_EQ(account->ComposeUrl, pages_.Url("/hotmail/ok/cgi-bin/compose?curmbox=F000000001"));
    EXPECT_GT(account->LastLogin, 0);
    EXPECT_EQ(LastError(*account).first, kErrorNone);
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, YahooCountAndComposeAddressFromTheMarkup) {
    auto account = Account<TNuvex_YahooConnector>(YahooConnectorClass(), "ok");
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 3);
    EXPECT_EQ(account->UnreadCount, 3);
    EXPECT_EQ(account->ComposeUrl, pages_.Url("/yahoo/compose?box=Inbox&new=1"));
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, WrongPasswordIsALoginErrorAndTheCookieFilesComeBack) {
    TempDir cookies;
    const std::string cookie = cookies.file("someone@login.live[1].txt");
    std::ofstream(cookie) << "MSPAuth\nsecret\nlogin.live.com/\n";
    registry_->SetValue(RegRoot::HKCU,
                        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Cookies",
                        RegValue::Text(cookies.path()));
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "ok", "wrong");
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    EXPECT_EQ(LastError(*account).first, kErrorLogin);
    EXPECT_TRUE(fs::exists(cookie));
    EXPECT_FALSE(fs::exists(cookies.file("someone@login.live[1].cbk")));

    auto yahoo = Account<TNuvex_YahooConnector>(YahooConnectorClass(), "ok", "wrong");
    EXPECT_EQ(yahoo->CheckMail(), kStatusFailed);
    EXPECT_EQ(LastError(*yahoo).first, kErrorLogin);
    ExpectNothingLeft();
}

// nuvex-account checks as the plug-in does, with the plug-in's registry: a
// cookie file an interrupted check left hidden comes back after the check.
TEST_F(BrowserCheckTest, TheAccountToolHidesAndRestoresCookiesAsThePlugInDoes) {
    TempDir cookies;
    const std::string hidden = cookies.file("someone@login.live[1].cbk");
    std::ofstream(hidden) << "MSPAuth\nsecret\nlogin.live.com/\n";
    registry_->SetValue(RegRoot::HKCU,
                        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Cookies",
                        RegValue::Text(cookies.path()));
    SetProcessRegistry(registry_.get());
    (void)Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "ok"); // its sign-in page
    TCryptURL record;
    record.SetParam("USERNAME", "someone");
    record.SetParam("EMAIL", "someone@example.org");
    record.SetParam("PASSWORD", test::kSigninPassword);
    host_.WriteCfgStr("ACCOUNTS", "HOTMAIL_0=" + record.EncodeParams());
    TConnectorRegistry types;
    RegisterAllConnectorClasses(types);
    std::istringstream in;
    std::ostringstream out, err;
    const int rc = RunAccountCli({"check", "HOTMAIL_0"}, host_, types, in, out, err);
    SetProcessRegistry(nullptr);
    EXPECT_NE(rc, kCliCheckError) << out.str() << err.str();
    EXPECT_TRUE(fs::exists(cookies.file("someone@login.live[1].txt")));
    EXPECT_FALSE(fs::exists(hidden));
}

TEST_F(BrowserCheckTest, PageThatNeverSettlesEndsUndecidedWithinTheBudget) {
    limits_.budgetMs = 3000;
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "never");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, nuvex::test::Scaled(std::chrono::milliseconds(limits_.budgetMs + 5000)));
    // Nothing is reported for a page that showed no count.
    EXPECT_EQ(LastError(*account).first, kErrorNone);
    EXPECT_EQ(account->LastLogin, 0);
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, MailPageWithoutACountGivesUpAfterTheAttempts) {
    limits_.attempts = 3;
    auto account = Account<TNuvex_YahooConnector>(YahooConnectorClass(), "nocount");
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    EXPECT_EQ(LastError(*account).first, kErrorNone);
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, CountInsideAFrame) {
    auto hotmail = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "frame");
    ASSERT_EQ(hotmail->CheckMail(), kStatusOk);
    EXPECT_EQ(hotmail->UnreadCount, 3);
    // The compose address comes from the browser's address, not the frame's.
    EXPECT_EQ(hotmail->ComposeUrl, pages_.Url("/hotmail/frame/cgi-bin/compose?curmbox=F000000001"));
    auto yahoo = Account<TNuvex_YahooConnector>(YahooConnectorClass(), "frame");
    ASSERT_EQ(yahoo->CheckMail(), kStatusOk);
    EXPECT_EQ(yahoo->UnreadCount, 3);
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, PagesThatOpenPopupsOrDialogsStillCount) {
    for (const char* scenario : {"popup", "dialog"}) {
        auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), scenario);
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(account->CheckMail(), kStatusOk) << scenario;
        EXPECT_EQ(account->UnreadCount, 3) << scenario;
        EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(10)))
            << scenario;
    }
    ExpectNothingLeft();
}

// Chromium's singleton socket lives under the browser's temp folder: a long
// runtime folder must not push its path past the 107 bytes a socket has.
TEST_F(BrowserCheckTest, LongRuntimeFolderStillChecks) {
    const std::string runtime = profiles_.path() + "/" + std::string(79 - profiles_.path().size(), 'r');
    ASSERT_EQ(runtime.size(), 80u);
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    test::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
    auto shortTemps = [] {
        std::set<std::string> found;
        std::error_code ec;
        for (fs::directory_iterator it("/tmp", ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.starts_with("nuvex-") && name.size() == 12) {
                found.insert(name);
            }
        }
        return found;
    };
    const auto before = shortTemps();
    limits_.profileRoot.clear();
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "ok");
    ASSERT_EQ(account->CheckMail(), kStatusOk) << LastError(*account).second;
    EXPECT_EQ(account->UnreadCount, 3);
    limits_.profileRoot = runtime + "/nuvex-browser";
    ExpectNothingLeft();
    for (const std::string& name : shortTemps()) {
        EXPECT_TRUE(before.contains(name)) << "/tmp/" << name << " was left behind";
    }
}

TEST_F(BrowserCheckTest, PageThatNavigatesAwayWhileBeingFilledIn) {
    auto account = Account<TNuvex_YahooConnector>(YahooConnectorClass(), "away");
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->UnreadCount, 3);
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, SigninPageNotReachableIsAServerError) {
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "ok");
    host_.WriteCfgStr("HOTMAIL_LOGIN",
                      "http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort()) + "/login");
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    EXPECT_EQ(LastError(*account).first, kErrorUnreachable);
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, StopDuringTheCheckEndsItAtOnce) {
    limits_.budgetMs = test::ScaledMs(60'000);
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "never");
    std::thread stopper([this] {
        // Stop once the browser runs.
        for (int i = 0; i < 400 && devtools::LiveBrowsers() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        stop_.Raise();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(20)));
    EXPECT_EQ(LastError(*account).first, kErrorUnreachable);
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, ComposeSignsInOffTheCallersThreadThenOpensTheComposePage) {
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "ok");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(account->Compose(), kStatusOk);
    EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::milliseconds(500)));
    account->WaitForCompose();
    ASSERT_EQ(sink_.urls.size(), 1u);
    EXPECT_EQ(sink_.urls[0], pages_.Url("/hotmail/ok/cgi-bin/compose?curmbox=F000000001"));
    // Within 15 minutes the next Compose opens the page without a browser.
    EXPECT_EQ(account->Compose(), kStatusOk);
    EXPECT_EQ(sink_.urls.size(), 2u);
    EXPECT_EQ(devtools::LiveBrowsers(), 0);
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, AnAccountRemovedDuringItsSignInEndsTheBrowser) {
    limits_.budgetMs = test::ScaledMs(60'000);
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "never");
    account->Compose();
    for (int i = 0; i < 400 && devtools::LiveBrowsers() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_EQ(devtools::LiveBrowsers(), 1);
    auto start = std::chrono::steady_clock::now();
    account.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(10)));
    EXPECT_TRUE(sink_.urls.empty());
    ExpectNothingLeft();
}

TEST_F(BrowserCheckTest, TwoAccountsDueAtOnceNeverRunTwoBrowsers) {
    auto hotmail = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "ok");
    auto yahoo = Account<TNuvex_YahooConnector>(YahooConnectorClass(), "ok");
    int first = kStatusFailed;
    int second = kStatusFailed;
    std::thread a([&] { first = hotmail->CheckMail(); });
    std::thread b([&] { second = yahoo->CheckMail(); });
    a.join();
    b.join();
    EXPECT_EQ(first, kStatusOk);
    EXPECT_EQ(second, kStatusOk);
    EXPECT_EQ(devtools::MostBrowsersAtOnce(), 1);
    ExpectNothingLeft();
}

// The process running a check is killed: its browser ends with the pipe, and
// the next launch removes the profile folder it left.
TEST_F(BrowserCheckTest, KilledMidCheckLeavesNothingAfterTheNextStart) {
    limits_.budgetMs = test::ScaledMs(60'000);
    auto account = Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), "never");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        account->CheckMail();
        ::_exit(0);
    }
    // Wait for the child's browser to be up: its marker names the group.
    pid_t group = 0;
    std::string profile;
    for (int i = 0; i < 400 && group == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::error_code ec;
        for (fs::directory_iterator it(limits_.profileRoot, ec), end; !ec && it != end; it.increment(ec)) {
            std::ifstream marker(it->path() / std::string(devtools::kProfileMarker));
            std::string word;
            long value = 0;
            while (marker >> word) {
                if (word == "group" && marker >> value) {
                    group = static_cast<pid_t>(value);
                    profile = it->path().string();
                }
            }
        }
    }
    ASSERT_GT(group, 0) << "the child's browser never started";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(fs::exists(profile));

    EXPECT_EQ(devtools::RemoveStaleProfiles(limits_.profileRoot), 1);
    EXPECT_FALSE(fs::exists(profile));
    EXPECT_TRUE(devtools::GroupProcesses(group).empty())
        << "a process of the killed check's browser still runs";

    // And a whole check afterwards starts clean and leaves nothing.
    auto next = Account<TNuvex_YahooConnector>(YahooConnectorClass(), "ok");
    EXPECT_EQ(next->CheckMail(), kStatusOk);
    ExpectNothingLeft();
}

} // namespace
} // namespace nuvex
