// Gmail accounts end to end: the feed from the loopback HTTPS feed server of
// tools/feedserver with a CA made for the test, and POP3 access against a
// private dovecot that speaks TLS only where the account is forced to.
#include "accounts/account_store.h"
#include "accounts/gmail_connector.h"
#include "lib/codepage.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/account_fixture.h"
#include "tests/support/dovecot_harness.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nuvex {
namespace {

constexpr const char* kIdPrefix = "tag:gmail.google.com,2004:";

// tools/feedserver/feedserver.py on a free port, ended when this object goes.
class FeedServer {
public:
    FeedServer(const test::TestCertificates& certs, const std::string& user, const std::string& password) {
        int in[2] = {-1, -1};
        int out[2] = {-1, -1};
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            error_ = "no pipes";
            return;
        }
        const std::string script = std::string(NUVEX_SOURCE_DIR) + "/tools/feedserver/feedserver.py";
        // Debian's interpreter when there is one: a per-user shim may not
        // work under the tests' private HOME.
        const std::string python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        std::vector<std::string> args = {python,   script,   "--user",       user,    "--password",
                                         password, "--cert", certs.certFile, "--key", certs.keyFile};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        if (rc != 0) {
            pid_ = -1;
            ::close(out[0]);
            error_ = "python3 could not be started";
            return;
        }
        ReadPort(out[0]);
        ::close(out[0]);
    }
    ~FeedServer() {
        if (stdin_ >= 0) {
            ::close(stdin_); // the server's cue to end
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    FeedServer(const FeedServer&) = delete;
    FeedServer& operator=(const FeedServer&) = delete;

    int Port() const { return port_; }
    const std::string& Error() const { return error_; }
    std::string Url(const std::string& kind) const {
        return "https://localhost:" + std::to_string(port_) + "/" + kind + "/feed/atom";
    }

private:
    void ReadPort(int fd) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                error_ = "the feed server did not say its port";
                return;
            }
            char buffer[256];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                error_ = "the feed server ended before it listened";
                return;
            }
            line.append(buffer, static_cast<std::size_t>(n));
        }
        if (line.rfind("PORT ", 0) == 0) {
            port_ = std::atoi(line.c_str() + 5);
        }
        if (port_ <= 0) {
            error_ = "unexpected first line: " + line;
        }
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
    std::string error_;
};

class GMailFeedTest : public test::TlsAccountTest {
protected:
    void SetUp() override {
        TlsAccountTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        server = std::make_unique<FeedServer>(certs, "ann@gmail.com", "right pw");
        ASSERT_TRUE(server->Error().empty()) << server->Error();
    }
    void TearDown() override {
        server.reset();
        TlsAccountTest::TearDown();
    }

    std::unique_ptr<TNuvex_GMailConnector>
    Account(const std::string& password, const std::string& ctype = "0",
            std::vector<std::pair<std::string, std::string>> extra = {}) {
        TAccountFields f;
        f.userName = "ann@gmail.com";
        f.email = "ann@gmail.com";
        f.typeKeys = {{"PASSWORD", password}, {"CTYPE", ctype}};
        f.typeKeys.insert(f.typeKeys.end(), extra.begin(), extra.end());
        return Load<TNuvex_GMailConnector>(GMailConnectorClass(), f, "GMAIL_0");
    }
    std::unique_ptr<TNuvex_GMailConnector> FeedAccount(const std::string& kind,
                                                       const std::string& password = "right pw") {
        host.WriteCfgStr(gmail_keys::kFeedUrl, server->Url(kind));
        return Account(password);
    }
    static std::int32_t ErrorClass(TNuvex_GenericConnector& account) { return LastError(account).first; }
    std::string Marker() { return host.ReadCfgStr("LASTID_GMAIL_0").value_or(""); }

    std::unique_ptr<FeedServer> server;
};

TEST_F(GMailFeedTest, RealShapedFeedReachesTheNotificationListAsText) {
    host.WriteCfgStr("LASTID_GMAIL_0", std::string(kIdPrefix) + "1502");
    auto account = FeedAccount("normal");
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->UnreadCount, 5);
    EXPECT_EQ(account->NewCount, 3);
    EXPECT_EQ(Marker(), std::string(kIdPrefix) + "1505");
    TNotifyMessages list;
    account->AddNotifyItems(list, true);
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Item(0).ItemKind, kNotifySummary);
    EXPECT_EQ(list.Item(1).Subject, "Caf\xC3\xA9 <b>&</b> friends");
    EXPECT_EQ(list.Item(1).Detail, "Lunch at 12? R&D notes > old ones");
    EXPECT_EQ(list.Item(1).Sender, "Bj\xC3\xB6rn \"Bear\" Ek <bjorn@example.org>");
    EXPECT_EQ(list.Item(2).Subject, "R\xC3\xA9sum\xC3\xA9 for AT&T \xE2\x82\xAC"
                                    "5");
    EXPECT_EQ(list.Item(2).Detail, "Prix: 5\xC2\xA0\xE2\x82\xAC");
    EXPECT_EQ(list.Item(3).Subject, "No address here");
    EXPECT_EQ(list.Item(3).Sender, "");

    // The next check finds the marker entry first.
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_TRUE(account->Headers.empty());
}

TEST_F(GMailFeedTest, TwentyFiveNewAreCountedAndTwentyListed) {
    auto account = FeedAccount("many");
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->UnreadCount, 31);
    EXPECT_EQ(account->NewCount, 25);
    EXPECT_EQ(account->Headers.size(), 20u);
    EXPECT_TRUE(account->MoreThanShown);
}

TEST_F(GMailFeedTest, BrokenAnswersGetTheirClassQuickly) {
    host.WriteCfgStr("LASTID_GMAIL_0", "unchanged");
    struct Row {
        const char* kind;
        const char* password;
        std::int32_t code;
    };
    const Row rows[] = {
        {"normal", "wrong pw", kErrorLogin},
        {"notfeed", "right pw", kErrorUnreachable},
        {"big", "right pw", kErrorUnreachable},
        {"cut", "right pw", kErrorUnreachable},
        {"cut-nolength", "right pw", kErrorUnreachable},
    };
    for (const Row& row : rows) {
        const auto start = std::chrono::steady_clock::now();
        auto account = FeedAccount(row.kind, row.password);
        EXPECT_EQ(account->CheckMail(), kStatusFailed) << row.kind;
        EXPECT_EQ(ErrorClass(*account), row.code) << row.kind;
        EXPECT_EQ(Marker(), "unchanged") << row.kind;
        EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(10)))
            << row.kind;
    }
    // An empty feed is a success with nothing in it.
    auto account = FeedAccount("empty");
    EXPECT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->UnreadCount, 0);
    EXPECT_EQ(Marker(), "unchanged");
}

TEST(GMailPop3Test, Pop3AccessTalksTlsToTheNamedServerWhateverIsStored) {
    const std::string why = test::DovecotHarness::Unavailable();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    test::DovecotHarness dovecot;
    dovecot.AddUser("ann@gmail.com", "right pw");
    std::string error;
    ASSERT_TRUE(dovecot.Start(error)) << error;
    test::ScopedEnv ca("SSL_CERT_FILE", dovecot.CaFile());
    dovecot.Deliver("ann@gmail.com", 1, 3);

    MemoryHostConfig host;
    AccountContext context;
    context.host = &host;
    context.pop3Limits.connectTimeoutMs = test::ScaledMs(5000);
    context.pop3Limits.readTimeoutMs = test::ScaledMs(10000);
    TAccountFields f;
    f.userName = "ann@gmail.com";
    f.email = "ann@gmail.com";
    // The stored POP3 keys point at the plain listener: they must not count.
    f.typeKeys = {{"PASSWORD", "right pw"},
                  {"CTYPE", "1"},
                  {"HOSTNAME", "127.0.0.1"},
                  {"PORT", std::to_string(dovecot.Pop3Port())},
                  {"USESSL", "0"}};
    auto account = GMailConnectorClass().Create(context);
    ASSERT_EQ(account->LoadSettings(BuildSettingsText(f)), kStatusOk);
    account->SetAccountId("GMAIL_0");

    host.WriteCfgStr(gmail_keys::kPop3Server, std::string(test::DovecotHarness::kCertHost) + ":" +
                                                  std::to_string(dovecot.Pop3sPort()));
    ASSERT_EQ(account->CheckMail(), kStatusOk) << dovecot.Log();
    EXPECT_EQ(account->NewCount, 3);
    EXPECT_EQ(account->UnreadCount, 3);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_GMAIL_0"), "3");

    // Pointed at the plain listener, TLS is still spoken, and fails.
    host.WriteCfgStr(gmail_keys::kPop3Server,
                     std::string(test::DovecotHarness::kCertHost) + ":" + std::to_string(dovecot.Pop3Port()));
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    std::int32_t code = 0;
    std::string text;
    account->TakeLastError(code, text);
    EXPECT_EQ(code, kErrorUnreachable);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_GMAIL_0"), "3");
    SetProcessRegistry(nullptr);
}

} // namespace
} // namespace nuvex
