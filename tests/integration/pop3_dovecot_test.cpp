// POP3 checks end to end against a private dovecot on loopback.
#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/check_cycle.h"
#include "accounts/connector_registry.h"
#include "accounts/pop3_connector.h"
#include "cli/account_cli.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/account_fixture.h"
#include "tests/support/dovecot_harness.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nuvex {
namespace {

// A delivery gives the mail processes' user what it wrote and nothing else:
// fixing the whole tree on every message cost O(users²).
TEST(DovecotHarnessTest, DeliveryOwnsOnlyWhatItWrote) {
    const passwd* mail = getpwnam("dovecot");
    if (::geteuid() != 0 || !mail) {
        GTEST_SKIP() << "needs root and the dovecot user";
    }
    test::DovecotHarness dovecot;
    dovecot.AddUser("a", "pw");
    dovecot.AddUser("b", "pw");
    dovecot.Deliver("a", 1, 1);
    dovecot.Deliver("b", 1, 1);
    auto anyMessage = [&](const std::string& user) {
        return std::filesystem::directory_iterator(dovecot.Dir() + "/mail/" + user + "/cur")->path().string();
    };
    const std::string first = anyMessage("a");
    ASSERT_EQ(::chown(first.c_str(), 0, 0), 0);
    dovecot.Deliver("b", 2, 1);
    struct stat st {};
    ASSERT_EQ(::stat(first.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(::stat(anyMessage("b").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, mail->pw_uid);
}

class Pop3DovecotTest : public test::DovecotAccountTest {
protected:
    std::unique_ptr<TNuvex_Pop3Connector> Account(const std::string& password, bool ssl, int port,
                                                  const std::string& hostName = "127.0.0.1") {
        TAccountFields f;
        f.userName = "alice";
        f.email = "alice@example.org";
        TPop3Fields p;
        p.password = password;
        p.hostName = hostName;
        p.port = port;
        p.useSsl = ssl;
        AddPop3TypeKeys(f, p);
        return Load<TNuvex_Pop3Connector>(Pop3ConnectorClass(), f, "Pop3_0");
    }

    std::string Marker() { return *host.ReadCfgStr("LASTID_Pop3_0"); }
    static std::string LastErrorText(TNuvex_Pop3Connector& account) { return LastError(account).second; }
};

TEST_F(Pop3DovecotTest, NewMessagesAreCountedByTheMarkerAcrossChecks) {
    dovecot.Deliver("alice", 1, 3);
    auto account = Account("wonder land", false, dovecot.Pop3Port());

    ASSERT_EQ(account->CheckMail(), kStatusOk) << dovecot.Log();
    EXPECT_EQ(account->NewCount, 3);
    EXPECT_EQ(account->UnreadCount, 3);
    ASSERT_EQ(account->Headers.size(), 3u);
    EXPECT_EQ(account->Headers[0].Sender, "Sender 1 <sender1@example.org>");
    EXPECT_EQ(account->Headers[2].Subject, "Message 3");
    EXPECT_EQ(Marker(), "3");

    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_TRUE(account->Headers.empty());

    dovecot.Deliver("alice", 4, 30);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 30);
    EXPECT_EQ(account->Headers.size(), 21u);
    EXPECT_EQ(account->Headers[0].Subject, "Message 4");
    EXPECT_TRUE(account->MoreThanShown);
    EXPECT_EQ(Marker(), "33");
    TNotifyMessages list;
    account->AddNotifyItems(list, false);
    ASSERT_EQ(list.Count(), 22);
    EXPECT_EQ(list.Item(0).ItemKind, kNotifySummary);
    EXPECT_EQ(list.Item(0).Count, 33);

    dovecot.RemoveOldest("alice", 2);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_EQ(account->UnreadCount, 31);
    EXPECT_EQ(Marker(), "31");

    // Two read and deleted elsewhere while two arrive: the count stays, the ids tell.
    dovecot.RemoveOldest("alice", 2);
    dovecot.Deliver("alice", 34, 2);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 2);
    EXPECT_EQ(account->UnreadCount, 31);
    ASSERT_EQ(account->Headers.size(), 2u);
    EXPECT_EQ(account->Headers[0].Subject, "Message 34");
    EXPECT_EQ(account->Headers[1].Subject, "Message 35");
    EXPECT_EQ(Marker(), "31");
}

TEST_F(Pop3DovecotTest, WrongPasswordIsClassTwo) {
    dovecot.Deliver("alice", 1, 1);
    host.WriteCfgStr("LASTID_Pop3_0", "0");
    auto account = Account("wrong", false, dovecot.Pop3Port());
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorLogin);
    EXPECT_EQ(Marker(), "0");
}

TEST_F(Pop3DovecotTest, NothingListeningIsClassOne) {
    auto account = Account("wonder land", false, test::FreeLoopbackPort());
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
}

TEST_F(Pop3DovecotTest, ImplicitTlsWithATrustedCertificate) {
    dovecot.Deliver("alice", 1, 2);
    auto account = Account("wonder land", true, dovecot.Pop3sPort(), test::DovecotHarness::kCertHost);
    ASSERT_EQ(account->CheckMail(), kStatusOk) << dovecot.Log();
    EXPECT_EQ(account->NewCount, 2);
    EXPECT_EQ(account->Headers.size(), 2u);
    EXPECT_EQ(TestConnection(Pop3ConnectorClass(), account->SettingsText, context), kStatusOk);
}

TEST_F(Pop3DovecotTest, UntrustedCertificateIsReportedNotIgnored) {
    dovecot.Deliver("alice", 1, 2);
    setenv("SSL_CERT_FILE", dovecot.OtherCaFile().c_str(), 1);
    auto account = Account("wonder land", true, dovecot.Pop3sPort(), test::DovecotHarness::kCertHost);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
    EXPECT_EQ(LastErrorText(*account),
              std::string("The certificate of the server ") + test::DovecotHarness::kCertHost +
                  " could not be verified.\r\nCheck the server name and its certificate.");
    EXPECT_FALSE(host.Has("LASTID_Pop3_0"));
    EXPECT_NE(TestConnection(Pop3ConnectorClass(), account->SettingsText, context), kStatusOk);
}

TEST_F(Pop3DovecotTest, CertificateForAnotherNameIsRefused) {
    // Trusted CA, but the certificate names "localhost", not 127.0.0.1.
    auto account = Account("wonder land", true, dovecot.Pop3sPort(), "127.0.0.1");
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
    EXPECT_EQ(LastErrorText(*account).substr(0, 42), "The certificate of the server 127.0.0.1 co");
}

TEST_F(Pop3DovecotTest, TlsAgainstThePlainPortFailsWithoutFallingBack) {
    auto account = Account("wonder land", true, dovecot.Pop3Port(), test::DovecotHarness::kCertHost);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
    EXPECT_FALSE(host.Has("LASTID_Pop3_0"));
}

TEST_F(Pop3DovecotTest, ConnectionTestAnswersWithoutTouchingTheMarker) {
    auto good = Account("wonder land", false, dovecot.Pop3Port());
    EXPECT_EQ(TestConnection(Pop3ConnectorClass(), good->SettingsText, context), kStatusOk);
    auto bad = Account("nope", false, dovecot.Pop3Port());
    EXPECT_LT(TestConnection(Pop3ConnectorClass(), bad->SettingsText, context), 0);
    EXPECT_FALSE(host.Has("LASTID_Pop3_0"));
}

// The POP3 default port with TLS: this needs 127.0.0.1:110 itself, which only
// root can bind and which must be free; elsewhere the unit test of the port
// default stands alone.
// Six accounts on one maildrop, four checked at once over real connections
// (dovecot announces PIPELINING, so their TOPs go out together): each finds
// the same news under its own marker and the entries come in account order.
TEST_F(Pop3DovecotTest, ParallelPassChecksEveryAccountOnceInAccountOrder) {
    dovecot.Deliver("alice", 1, 25);
    TAccountList list;
    for (int i = 0; i < 6; ++i) {
        auto account = Account("wonder land", false, dovecot.Pop3Port());
        account->SetAccountId("Pop3_" + std::to_string(i));
        account->Email = "box" + std::to_string(i) + "@example.org";
        ASSERT_TRUE(list.AddAccount(std::move(account)));
    }
    TCheckCycle cycle(list);
    cycle.SetParallelChecks(4);
    TickResult r = cycle.Tick(TickSettings{}, {});
    ASSERT_TRUE(r.ranPass2) << dovecot.Log();
    EXPECT_TRUE(r.errors.Empty()) << r.errors.Item(0).Detail;
    EXPECT_EQ(r.totalNew, 6 * 25);
    ASSERT_EQ(r.messages.Count(), 6 * 22); // each: its summary and 21 messages
    for (int i = 0; i < 6; ++i) {
        const TNotifyMessageItem& summary = r.messages.Item(i * 22);
        EXPECT_EQ(summary.ItemKind, kNotifySummary);
        EXPECT_EQ(summary.Sender, "box" + std::to_string(i) + "@example.org");
        EXPECT_EQ(r.messages.Item(i * 22 + 21).Subject, "Message 21");
        EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_" + std::to_string(i)), "25");
    }
}

// The command-line check of a stored account against the real server: it
// lists the news, leaves the marker to the plug-in unless told to commit.
TEST_F(Pop3DovecotTest, CommandLineCheckListsNewsAndCommitsOnlyWhenAsked) {
    test::TempDir objects;
    test::ScopedEnv objectsDir{"NUVEX_OBJECTS_DIR", objects.path()};
    TConnectorRegistry types;
    RegisterAllConnectorClasses(types);
    auto run = [&](std::vector<std::string> args, const std::string& input, std::string& out) {
        std::istringstream in(input);
        std::ostringstream o;
        std::ostringstream e;
        int code = RunAccountCli(args, host, types, in, o, e, context);
        out = o.str() + e.str();
        return code;
    };
    std::string out;
    ASSERT_EQ(run({"add", "--type", "pop3", "--email", "alice@example.org", "--login", "alice", "--server",
                   "127.0.0.1", "--port", std::to_string(dovecot.Pop3Port()), "--password-stdin"},
                  "wonder land\n", out),
              kCliOk)
        << out;
    dovecot.Deliver("alice", 1, 2);
    EXPECT_EQ(run({"check", "Pop3_0"}, "", out), kCliCheckNew) << dovecot.Log();
    EXPECT_EQ(out, "Pop3_0 (alice@example.org): 2 new, 2 unread\n"
                   "  Sender 1 <sender1@example.org>\tMessage 1\n"
                   "  Sender 2 <sender2@example.org>\tMessage 2\n");
    EXPECT_EQ(host.ReadCfgStr("LASTID_Pop3_0").value_or(""), "");
    EXPECT_EQ(run({"check", "--all", "--commit"}, "", out), kCliCheckNew);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "2");
    EXPECT_EQ(run({"check", "Pop3_0", "--json"}, "", out), kCliCheckNone);
    EXPECT_EQ(out, "{\"accounts\":[{\"id\":\"Pop3_0\",\"email\":\"alice@example.org\",\"new\":0,"
                   "\"unread\":2,\"messages\":[]}]}\n");
    EXPECT_EQ(run({"test", "Pop3_0"}, "", out), kCliOk);
    EXPECT_EQ(out, "Connection test passed\n");
}

// The program as a user runs it with no toolbar host: the account is stored in
// the host's settings file and checked from there; the session bus named does
// not exist, so nothing of the developer's is reached.
TEST_F(Pop3DovecotTest, WithoutAHostTheProgramWorksOnTheHostsSettingsFile) {
    const std::string program = std::string(NUVEX_BINARY_DIR) + "/core/nuvex-account";
    if (::access(program.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "nuvex-account is not built";
    }
    test::TempDir home;
    const std::string config = home.path() + "/config";
    ::mkdir(config.c_str(), 0700);
    ::mkdir((config + "/brannock").c_str(), 0700);
    ::mkdir((home.path() + "/objects").c_str(), 0700);
    const std::string env = "env HOME='" + home.path() + "' XDG_CONFIG_HOME='" + config +
                            "' XDG_RUNTIME_DIR='" + home.path() + "' NUVEX_OBJECTS_DIR='" + home.path() +
                            "/objects' DBUS_SESSION_BUS_ADDRESS=unix:path='" + home.path() +
                            "/no-bus' QT_QPA_PLATFORM=offscreen '" + program + "' ";
    auto run = [&](const std::string& arguments, std::string& out, const std::string& input = "") {
        out.clear();
        const std::string feed = "printf '%s\\n' '" + input + "' | ";
        FILE* pipe = ::popen((feed + env + arguments + " 2>&1").c_str(), "r");
        if (!pipe) {
            return -1;
        }
        std::array<char, 4096> chunk{};
        for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
            out.append(chunk.data(), n);
        }
        int status = ::pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    // No settings file yet: the program says so and makes none.
    EXPECT_EQ(run("check --all", out), kCliCheckError);
    EXPECT_NE(out.find("can't be opened"), std::string::npos) << out;
    EXPECT_NE(::access((config + "/brannock/settings.db").c_str(), F_OK), 0);

    std::ofstream(config + "/brannock/settings.db").close();
    ASSERT_EQ(run("add --type pop3 --email alice@example.org --login alice --server 127.0.0.1 --port " +
                      std::to_string(dovecot.Pop3Port()) + " --password-stdin",
                  out, "wonder land"),
              kCliOk)
        << out;
    EXPECT_EQ(out, "Pop3_0\n");
    dovecot.Deliver("alice", 1, 1);
    EXPECT_EQ(run("check Pop3_0", out), kCliCheckNew) << out;
    EXPECT_EQ(out,
              "Pop3_0 (alice@example.org): 1 new, 1 unread\n  Sender 1 <sender1@example.org>\tMessage 1\n");
    EXPECT_EQ(run("check Pop3_0 --commit", out), kCliCheckNew) << out;
    EXPECT_EQ(run("check Pop3_0", out), kCliCheckNone) << out;
    EXPECT_EQ(run("disable Pop3_0", out), kCliOk) << out;
    EXPECT_EQ(run("list", out), kCliOk);
    EXPECT_EQ(out, "Pop3_0\tPop3\talice@example.org\tdisabled\n");
}

TEST(Pop3DefaultPort, SslWithoutStoredPortUsesTlsOnPort110) {
    std::string why = test::DovecotHarness::Unavailable();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    if (test::RunCommand("ss -Hltn 'sport = :110' 2>/dev/null | grep -q .") == 0) {
        GTEST_SKIP() << "port 110 is taken on this machine";
    }
    auto registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    test::DovecotHarness dovecot;
    dovecot.UseTlsPort(110);
    dovecot.AddUser("alice", "wonder land");
    dovecot.Deliver("alice", 1, 4);
    std::string error;
    if (!dovecot.Start(error)) {
        SetProcessRegistry(nullptr);
        GTEST_SKIP() << "dovecot could not take port 110: " << error;
    }
    setenv("SSL_CERT_FILE", dovecot.CaFile().c_str(), 1);
    MemoryHostConfig host;
    AccountContext context;
    context.host = &host;
    TAccountFields f;
    f.userName = "alice";
    f.email = "alice@example.org";
    TPop3Fields p;
    p.password = "wonder land";
    p.hostName = test::DovecotHarness::kCertHost;
    p.useSsl = true;
    AddPop3TypeKeys(f, p);
    std::erase_if(f.typeKeys, [](const auto& kv) { return kv.first == "PORT"; });
    auto account = Pop3ConnectorClass().Create(context);
    ASSERT_EQ(account->LoadSettings(BuildSettingsText(f)), kStatusOk);
    account->SetAccountId("Pop3_0");
    EXPECT_EQ(account->CheckMail(), kStatusOk) << dovecot.Log();
    EXPECT_EQ(account->NewCount, 4);
    unsetenv("SSL_CERT_FILE");
    SetProcessRegistry(nullptr);
}

} // namespace
} // namespace nuvex
