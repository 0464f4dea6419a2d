// The nuvex-account command over an in-memory host.
#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/connector_registry.h"
#include "accounts/gmail_connector.h"
#include "accounts/pop3_connector.h"
#include "cli/account_cli.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/plugin_settings.h"
#include "lib/registry.h"
#include "tests/support/fake_transport.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>

namespace nuvex {
namespace {

class ConfigCounter final : public HostConfig {
public:
    bool Connected() const override { return inner.Connected(); }
    std::optional<bool> ReadCfgBool(std::string_view k, int f) override { return inner.ReadCfgBool(k, f); }
    std::optional<std::int32_t> ReadCfgInt(std::string_view k, int f) override {
        return inner.ReadCfgInt(k, f);
    }
    std::optional<std::string> ReadCfgStr(std::string_view k, int f) override {
        return inner.ReadCfgStr(k, f);
    }
    bool WriteCfgBool(std::string_view k, bool v, int f) override {
        return Write() && inner.WriteCfgBool(k, v, f);
    }
    bool WriteCfgInt(std::string_view k, std::int32_t v, int f) override {
        return Write() && inner.WriteCfgInt(k, v, f);
    }
    bool WriteCfgStr(std::string_view k, std::string_view v, int f) override {
        return Write() && inner.WriteCfgStr(k, v, f);
    }
    bool DeleteCfgValue(std::string_view k, int f) override { return Write() && inner.DeleteCfgValue(k, f); }
    bool ConfigChanged() override {
        ++changes;
        return true;
    }
    bool Write() {
        ++writes;
        return writes != failWrite;
    }
    MemoryHostConfig inner;
    int writes = 0;
    int changes = 0;
    int failWrite = -1; // the number of the one write that fails
};

// Takes every value only in a batch, as a store that must not be left half-written.
class BatchOnlyConfig final : public HostConfig {
public:
    bool Connected() const override { return true; }
    std::optional<bool> ReadCfgBool(std::string_view k, int f) override { return inner.ReadCfgBool(k, f); }
    std::optional<std::int32_t> ReadCfgInt(std::string_view k, int f) override {
        return inner.ReadCfgInt(k, f);
    }
    std::optional<std::string> ReadCfgStr(std::string_view k, int f) override {
        return inner.ReadCfgStr(k, f);
    }
    bool WriteCfgBool(std::string_view, bool, int) override { return false; }
    bool WriteCfgInt(std::string_view, std::int32_t, int) override { return false; }
    bool WriteCfgStr(std::string_view, std::string_view, int) override { return false; }
    bool DeleteCfgValue(std::string_view, int) override { return false; }
    bool ConfigChanged() override { return true; }
    bool WriteCfgBatch(const std::vector<CfgWrite>& writes, int flag) override {
        ++batches;
        return inner.WriteCfgBatch(writes, flag);
    }
    MemoryHostConfig inner;
    int batches = 0;
};

class AccountCliTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterAllConnectorClasses(registry); }
    int Run(std::vector<std::string> args, const std::string& input = "") {
        std::istringstream in(input);
        return Run(args, in);
    }
    int Run(std::vector<std::string> args, std::istream& in) {
        out.str("");
        err.str("");
        return RunAccountCli(args, host, registry, in, out, err, context);
    }
    // The next conversation of check or test with the server.
    std::shared_ptr<test::Pop3Script> Serve(const std::string& text) {
        auto script = test::Pop3Script::FromText(text);
        context.pop3Transport = test::ScriptedTransportFactory(script);
        return script;
    }
    static std::string Login(int count) {
        return "S: +OK ready\nC: USER ann\nS: +OK\nC: PASS pw1\nS: +OK\nC: STAT\nS: +OK " +
               std::to_string(count) + " 100\n" + (count > 0 ? "C: UIDL\nS: -ERR no\n" : "");
    }
    std::string Stored(const std::string& id, const std::string& key) {
        for (const auto& [name, value] : ParseStoredList(*host.ReadCfgStr("ACCOUNTS", -1))) {
            TCryptURL record;
            if (name == id && record.DecodeParams(value)) {
                return record.GetParam(key);
            }
        }
        return "(none)";
    }
    test::TempDir objects;
    test::ScopedEnv objectsDir{"NUVEX_OBJECTS_DIR", objects.path()};
    std::vector<std::string> AddPop3(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"add",     "--type", "pop3",     "--email",         "ann@example.org",
                                      "--login", "ann",    "--server", "pop.example.org", "--password-stdin"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    TConnectorRegistry registry;
    AccountContext context;
    ConfigCounter host;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(AccountCliTest, AddStoresALoadablePop3AccountAndAsksForAReload) {
    ASSERT_EQ(Run(AddPop3({"--ssl", "--port", "995", "--check-minutes", "5", "--open-action", "webmail",
                           "--webmail-url", "https://mail.example.org/"}),
                  "secret pw\n"),
              kCliOk)
        << err.str();
    EXPECT_EQ(out.str(), "Pop3_0\n");
    EXPECT_EQ(host.changes, 1);
    EXPECT_EQ(*host.ReadCfgStr("Pop3_0_ENABLED", -1), "1");
    EXPECT_EQ(*host.ReadCfgStr("Pop3_0_SENDTO", -1), "0");

    AccountContext context;
    TAccountList list;
    auto loaded = LoadAccountList(list, *host.ReadCfgStr("ACCOUNTS", -1), registry, context, &host);
    ASSERT_EQ(loaded, std::vector<std::string>{"Pop3_0"});
    auto* account = static_cast<TNuvex_Pop3Connector*>(list.FindAccount("Pop3_0", true));
    EXPECT_EQ(account->Password, "secret pw");
    EXPECT_EQ(account->UserName, "ann");
    EXPECT_EQ(account->HostName, "pop.example.org");
    EXPECT_EQ(account->Port, 995);
    EXPECT_TRUE(account->UseSSL);
    EXPECT_EQ(account->CheckMinutes, 5);
    EXPECT_EQ(account->ActionCode, 1);
    EXPECT_EQ(account->OpenUrlText, "https://mail.example.org/");
}

TEST_F(AccountCliTest, AddStoresAGMailAccountWithItsAccessKind) {
    ASSERT_EQ(
        Run({"add", "--type", "gmail", "--email", "ann@gmail.com", "--pop3", "--password-stdin"}, "pw\n"),
        kCliOk)
        << err.str();
    ASSERT_EQ(Run({"add", "--type", "GMAIL", "--email", "bob@gmail.com", "--password-stdin"}, "pw2\n"),
              kCliOk)
        << err.str();
    EXPECT_EQ(Stored("GMAIL_0", "CTYPE"), "1");
    EXPECT_EQ(Stored("GMAIL_1", "CTYPE"), "0");
    TAccountList list;
    auto loaded = LoadAccountList(list, *host.ReadCfgStr("ACCOUNTS", -1), registry, context, &host);
    ASSERT_EQ(loaded, (std::vector<std::string>{"GMAIL_0", "GMAIL_1"}));
    auto* pop3 = static_cast<TNuvex_GMailConnector*>(list.FindAccount("GMAIL_0", true));
    EXPECT_EQ(pop3->AccessType, 1);
    EXPECT_EQ(pop3->UserName, "ann@gmail.com");
    EXPECT_EQ(pop3->Password, "pw");
    EXPECT_EQ(pop3->Port, 995);
    EXPECT_TRUE(pop3->UseSSL);
    EXPECT_EQ(static_cast<TNuvex_GMailConnector*>(list.FindAccount("GMAIL_1", true))->AccessType, 0);
}

TEST_F(AccountCliTest, SettingsKeysKeepThePagesOrder) {
    TAccountFields f;
    f.userName = "u";
    f.email = "e@x";
    TPop3Fields p;
    AddPop3TypeKeys(f, p);
    TCryptURL record;
    ASSERT_TRUE(record.DecodeParams(BuildSettingsText(f)));
    std::vector<std::string> keys;
    for (const auto& [k, v] : record.Entries()) {
        if (k != "RANDOMIZER" && k != "_CRC") {
            keys.push_back(k);
        }
    }
    EXPECT_EQ(keys,
              (std::vector<std::string>{"USERNAME", "EMAIL", "RANDSEED", "ACHECK", "DEFNOTIFY", "NOTIFYWIN",
                                        "NOTIFYSOUND", "NOTIFYTRAY", "ASSOCIATE", "ACODE", "MAILTO", "SENDTO",
                                        "PASSWORD", "HOSTNAME", "PORT", "USESSL", "AMAILER", "AURL"}));
}

TEST_F(AccountCliTest, SecondAccountTakesTheNextFreeIdAndStaleMarkerGoes) {
    host.inner.WriteCfgStr("$ACCOUNTS", "Pop3_0=x\r\nPop3:1=y");
    host.inner.WriteCfgStr("LASTID_Pop3_2", "40");
    ASSERT_EQ(Run(AddPop3(), "pw\n"), kCliOk) << err.str();
    EXPECT_EQ(out.str(), "Pop3_2\n");
    EXPECT_FALSE(host.inner.Has("LASTID_Pop3_2"));
    EXPECT_EQ(host.ReadCfgStr("ACCOUNTS", -1)->rfind("Pop3_0=x\r\nPop3:1=y\r\nPop3_2=", 0), 0u);
}

TEST_F(AccountCliTest, BadInputWritesNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string input;
    };
    std::vector<Case> cases = {
        {AddPop3(), ""},                                 // empty password
        {AddPop3({"--port", "70000"}), "pw\n"},          // port out of range
        {AddPop3({"--port", "11x"}), "pw\n"},            // not a number
        {AddPop3({"--check-minutes", "0"}), "pw\n"},     // no period
        {AddPop3({"--open-action", "webmail"}), "pw\n"}, // no url
        {AddPop3({"--open-action", "webmail", "--webmail-url", "javascript:x"}), "pw\n"},
        {AddPop3({"--open-action", "launch"}), "pw\n"}, // unknown action
        {AddPop3({"--password", "pw"}), ""},            // never on the command line
        {AddPop3({"--password-file", "/x"}), "pw\n"},   // two sources
        {{"add", "--type", "pop3", "--email", "no-at-sign", "--login", "a", "--server", "s",
          "--password-stdin"},
         "pw\n"},
        {{"add", "--type", "pop3", "--email", "a@b", "--login", "a", "--password-stdin"},
         "pw\n"}, // no server
        {{"add", "--type", "pop3", "--email", "a@b", "--server", "s", "--password-stdin"},
         "pw\n"}, // no login
        {{"add", "--type", "nosuch", "--email", "a@b", "--password-stdin"}, "pw\n"},
        {{"add", "--type", "ibrant", "--email", "a@b", "--password-stdin"}, "pw\n"}, // not allowed here
        {{"add", "--type", "gmail", "--email", "a@b", "--pop3", "yes", "--password-stdin"}, "pw\n"},
        {{"add", "--type", "Pop3_junk", "--email", "a@b", "--login", "a", "--server", "s",
          "--password-stdin"},
         "pw\n"},
        {AddPop3({"extra"}), "pw\n"},                         // trailing junk
        {AddPop3({"--ssl", "--ssl"}), "pw\n"},                // repeated flag
        {AddPop3({"--server", "other.example.org"}), "pw\n"}, // repeated option
        {AddPop3({"--port"}), "pw\n"},                        // a value is missing
        {AddPop3({"--port", "--ssl"}), "pw\n"},               // a flag is no value
        {AddPop3({"--port", "+110"}), "pw\n"},
        {AddPop3({"--port", " 110"}), "pw\n"},
        {AddPop3({"--port", "0x6e"}), "pw\n"},
        {AddPop3({"--frobnicate"}), "pw\n"},
        {AddPop3(), std::string(4096, 'p')}, // over the bound, without a line end
        {{"frobnicate"}, ""},
        {{"show"}, ""},
        // Bytes that are not UTF-8 (Latin-1 here) in any stored text.
        {AddPop3({"--email", "caf\xe9@example.org"}), "pw\n"},
        {{"add", "--type", "pop3", "--email", "a@b", "--login", "caf\xe9", "--server", "s",
          "--password-stdin"},
         "pw\n"},
        {{"add", "--type", "pop3", "--email", "a@b", "--login", "a", "--server", "pop\xff.example.org",
          "--password-stdin"},
         "pw\n"},
        {AddPop3(), "caf\xe9\n"},
        {AddPop3(), "\xc3\n"}, // a sequence cut short
        {{"edit", "Pop3_0", "--email", "caf\xe9@example.org"}, ""},
    };
    for (const auto& c : cases) {
        int rc = Run(c.args, c.input);
        EXPECT_EQ(rc, kCliUsage) << c.args.back();
        EXPECT_EQ(err.str().find('\n'), err.str().size() - 1) << "one line: " << err.str();
    }
    EXPECT_EQ(host.writes, 0);
    EXPECT_EQ(host.changes, 0);
}

// A type the host offers only when it says so is added once it does.
TEST_F(AccountCliTest, OptionalTypeIsAddedWhenTheHostAllowsIt) {
    const std::vector<std::string> add{"add",     "--type",          "ibrant",
                                       "--email", "ann@example.org", "--password-stdin"};
    EXPECT_EQ(Run(add, "pw\n"), kCliUsage);
    EXPECT_NE(err.str().find("not offered"), std::string::npos) << err.str();
    host.WriteCfgBool(AllowTypeKey("IBRANT"), true, -1);
    ASSERT_EQ(Run(add, "pw\n"), kCliOk) << err.str();
    EXPECT_EQ(Stored("IBRANT_0", "EMAIL"), "ann@example.org");
}

TEST_F(AccountCliTest, PortFollowsTheTransportUnlessGiven) {
    struct Row {
        std::vector<std::string> extra;
        std::string port;
        std::string ssl;
    };
    const Row rows[] = {
        {{}, "110", "0"},
        {{"--ssl"}, "995", "1"},
        {{"--ssl", "--port", "1995"}, "1995", "1"},
        {{"--port", "995"}, "995", "0"},
    };
    int n = 0;
    for (const Row& row : rows) {
        std::vector<std::string> args{"add",
                                      "--type",
                                      "pop3",
                                      "--email",
                                      "u" + std::to_string(n) + "@example.org",
                                      "--login",
                                      "u" + std::to_string(n),
                                      "--server",
                                      "pop.example.org",
                                      "--password-stdin"};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        ASSERT_EQ(Run(args, "pw\n"), kCliOk) << err.str();
        std::string id = "Pop3_" + std::to_string(n++);
        EXPECT_EQ(Stored(id, "PORT"), row.port) << id;
        EXPECT_EQ(Stored(id, "USESSL"), row.ssl) << id;
    }
}

TEST_F(AccountCliTest, ImapSecurityChoosesThePortAndFoldersRepeat) {
    struct Row {
        std::vector<std::string> extra;
        int rc;
        std::string port, security, folders;
    };
    const Row rows[] = {
        {{}, kCliOk, "993", "tls", "INBOX"},
        {{"--security", "STARTTLS", "--folder", "INBOX", "--folder", "Lists/dev"},
         kCliOk,
         "143",
         "starttls",
         "INBOX\nLists/dev"},
        {{"--security", "none", "--port", "1143"}, kCliOk, "1143", "none", "INBOX"},
        {{"--security", "ssl"}, kCliUsage, "", "", ""},
        {{"--folder", "a\tb"}, kCliUsage, "", "", ""},
    };
    int n = 0;
    for (const Row& row : rows) {
        const std::string email = "u" + std::to_string(&row - rows) + "@example.org";
        std::vector<std::string> args{
            "add", "--type", "IMAP", "--email", email, "--server", "imap.example.org", "--password-stdin"};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        ASSERT_EQ(Run(args, "pw\n"), row.rc) << err.str();
        if (row.rc != kCliOk) {
            continue;
        }
        const std::string id = "Imap_" + std::to_string(n++);
        EXPECT_EQ(Stored(id, "PORT"), row.port) << id;
        EXPECT_EQ(Stored(id, "SECURITY"), row.security) << id;
        EXPECT_EQ(Stored(id, "FOLDERS"), row.folders) << id;
        EXPECT_EQ(Stored(id, "USERNAME"), email) << "the login defaults to the address";
    }
    ASSERT_EQ(Run({"edit", "Imap_0", "--security", "none", "--folder", "Work", "--folder", "INBOX"}), kCliOk)
        << err.str();
    EXPECT_EQ(Stored("Imap_0", "SECURITY"), "none");
    EXPECT_EQ(Stored("Imap_0", "FOLDERS"), "Work\nINBOX");
    EXPECT_EQ(Run({"edit", "Imap_0", "--security", "maybe"}), kCliUsage);
    EXPECT_EQ(Run({"edit", "Imap_0", "--ssl", "on"}), kCliUsage); // a POP3 option
}

TEST_F(AccountCliTest, PasswordSourceIsReadNoFurtherThanItsBound) {
    std::istringstream endless(std::string(1 << 20, 'p')); // a pipe or /dev/zero without a line end
    EXPECT_EQ(Run(AddPop3(), endless), kCliUsage);
    EXPECT_LE(endless.tellg(), static_cast<std::streamoff>(kMaxFieldBytes + 1));
    std::istringstream longest(std::string(kMaxFieldBytes, 'p') + "\n");
    EXPECT_EQ(Run(AddPop3(), longest), kCliOk) << err.str();
}

TEST_F(AccountCliTest, RetriedAddReportsTheAccountStoredBefore) {
    ASSERT_EQ(Run(AddPop3(), "pw\n"), kCliOk);
    EXPECT_EQ(Run(AddPop3(), "pw\n"), kCliExists);
    EXPECT_NE(err.str().find("Pop3_0"), std::string::npos) << err.str();
    EXPECT_EQ(ParseStoredList(*host.ReadCfgStr("ACCOUNTS", -1)).size(), 1u);
    // Another login on the same server is another account.
    ASSERT_EQ(Run({"add", "--type", "pop3", "--email", "bob@example.org", "--login", "bob", "--server",
                   "pop.example.org", "--password-stdin"},
                  "pw\n"),
              kCliOk);
    EXPECT_EQ(out.str(), "Pop3_1\n");
}

TEST_F(AccountCliTest, AnAccountAndItsValuesAreOneBatch) {
    BatchOnlyConfig batchHost;
    batchHost.inner.WriteCfgStr("$ACCOUNTS", "");
    std::istringstream in("pw\n");
    ASSERT_EQ(RunAccountCli(AddPop3({"--send-to"}), batchHost, registry, in, out, err), kCliOk) << err.str();
    EXPECT_EQ(batchHost.batches, 1);
    EXPECT_EQ(*batchHost.ReadCfgStr("Pop3_0_ENABLED", -1), "1");
    EXPECT_EQ(*batchHost.ReadCfgStr("Pop3_0_SENDTO", -1), "1");
    batchHost.inner.WriteCfgStr("LASTID_Pop3_0", "4");
    ASSERT_EQ(RunAccountCli({"remove", "Pop3_0"}, batchHost, registry, in, out, err), kCliOk) << err.str();
    EXPECT_EQ(batchHost.batches, 2);
    EXPECT_EQ(*batchHost.ReadCfgStr("ACCOUNTS", -1), "");
    for (const char* key : {"Pop3_0_ENABLED", "Pop3_0_SENDTO", "LASTID_Pop3_0"}) {
        EXPECT_FALSE(batchHost.inner.Has(key)) << key;
    }
}

// A host that answers reads as slowly as one over the session bus, so that
// unserialised writers would interleave between their read and their write.
class SlowConfig final : public HostConfig {
public:
    bool Connected() const override { return true; }
    std::optional<bool> ReadCfgBool(std::string_view k, int f) override { return inner.ReadCfgBool(k, f); }
    std::optional<std::int32_t> ReadCfgInt(std::string_view k, int f) override {
        return inner.ReadCfgInt(k, f);
    }
    std::optional<std::string> ReadCfgStr(std::string_view k, int f) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return inner.ReadCfgStr(k, f);
    }
    bool WriteCfgBool(std::string_view k, bool v, int f) override { return inner.WriteCfgBool(k, v, f); }
    bool WriteCfgInt(std::string_view k, std::int32_t v, int f) override {
        return inner.WriteCfgInt(k, v, f);
    }
    bool WriteCfgStr(std::string_view k, std::string_view v, int f) override {
        return inner.WriteCfgStr(k, v, f);
    }
    bool DeleteCfgValue(std::string_view k, int f) override { return inner.DeleteCfgValue(k, f); }
    bool ConfigChanged() override { return true; }
    bool WriteCfgBatch(const std::vector<CfgWrite>& writes, int flag) override {
        return inner.WriteCfgBatch(writes, flag);
    }
    MemoryHostConfig inner;
};

TEST(AccountStoreTest, ConcurrentWritersLoseNoAccount) {
    test::TempDir objects;
    test::ScopedEnv objectsDir("NUVEX_OBJECTS_DIR", objects.path());
    SlowConfig host;
    host.WriteCfgStr("$ACCOUNTS", "", -1);
    constexpr int kWriters = 20;
    std::vector<std::optional<std::string>> ids(kWriters);
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; ++i) {
        writers.emplace_back([&, i] {
            ids[i] = StoreNewAccount(host, Pop3ConnectorClass(), "settings-" + std::to_string(i), {});
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    std::set<std::string> distinct;
    for (const auto& id : ids) {
        ASSERT_TRUE(id);
        distinct.insert(*id);
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kWriters));
    EXPECT_EQ(ParseStoredList(*host.ReadCfgStr("ACCOUNTS", -1)).size(), static_cast<std::size_t>(kWriters));
}

// Usage needs nothing from the host, changes nothing, and names every verb.
TEST_F(AccountCliTest, HelpPrintsUsageAndTheUnknownVerbLineNamesEveryVerb) {
    const struct {
        std::vector<std::string> args;
        std::string says;
    } rows[] = {
        {{}, "\n  edit ID [--email ADDR]"},
        {{"--help"}, "nuvex-account VERB --help"},
        {{"-h"}, "\n  test ID\n"},
        {{"help"}, "\n  disable ID\n"},
        {{"help", "check"}, "usage: nuvex-account check ID|--all"},
        {{"check", "--help"}, "usage: nuvex-account check ID|--all"},
        {{"edit", "Pop3_0", "--help"}, "usage: nuvex-account edit ID"},
        {{"add", "--type", "pop3", "--help"}, "  Pop3 [--server VALUE]"},
        {{"add", "--help"}, "  GMAIL [--pop3]"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Run(row.args), kCliOk) << row.says;
        EXPECT_NE(out.str().find(row.says), std::string::npos) << out.str();
        EXPECT_EQ(err.str(), "");
    }
    EXPECT_EQ(host.writes, 0);
    EXPECT_EQ(Run({"frobnicate"}), kCliUsage);
    EXPECT_EQ(err.str(), "nuvex-account: unknown command frobnicate (add, list, show, remove, check, test, "
                         "edit, enable, disable, help)\n");
}

TEST_F(AccountCliTest, PasswordFromAFile) {
    test::TempDir temp;
    std::ofstream(temp.file("pw")) << "from-file\r\nsecond line\n";
    ASSERT_EQ(Run({"add", "--type", "pop3", "--email", "a@example.org", "--login", "a", "--server", "s",
                   "--password-file", temp.file("pw")}),
              kCliOk)
        << err.str();
    TCryptURL record;
    ASSERT_TRUE(record.DecodeParams(host.ReadCfgStr("ACCOUNTS", -1)->substr(std::string("Pop3_0=").size())));
    EXPECT_EQ(record.GetParam("PASSWORD"), "from-file");
}

TEST_F(AccountCliTest, ListShowAndRemove) {
    ASSERT_EQ(Run(AddPop3(), "pw1\n"), kCliOk);
    ASSERT_EQ(Run({"add", "--type", "pop3", "--email", "ann@example.org", "--login", "ann.work", "--server",
                   "pop.example.org", "--password-stdin"},
                  "pw2\n"),
              kCliOk);
    host.inner.WriteCfgStr("Pop3_1_ENABLED", "0");
    host.inner.WriteCfgStr("LASTID_Pop3_1", "9");
    ASSERT_EQ(Run({"list"}), kCliOk);
    EXPECT_EQ(out.str(), "Pop3_0\tPop3\tann@example.org\tenabled\nPop3_1\tPop3\tann@example.org\tdisabled\n");

    ASSERT_EQ(Run({"show", "Pop3_1"}), kCliOk);
    EXPECT_NE(out.str().find("HOSTNAME=pop.example.org\n"), std::string::npos);
    EXPECT_EQ(out.str().find("pw2"), std::string::npos);
    EXPECT_EQ(out.str().find("PASSWORD"), std::string::npos);

    int changes = host.changes;
    ASSERT_EQ(Run({"remove", "Pop3_1"}), kCliOk);
    EXPECT_EQ(host.changes, changes + 1);
    EXPECT_FALSE(host.inner.Has("Pop3_1_ENABLED"));
    EXPECT_FALSE(host.inner.Has("Pop3_1_SENDTO"));
    EXPECT_FALSE(host.inner.Has("LASTID_Pop3_1"));
    ASSERT_EQ(Run({"list"}), kCliOk);
    EXPECT_EQ(out.str(), "Pop3_0\tPop3\tann@example.org\tenabled\n");
    EXPECT_EQ(Run({"remove", "Pop3_1"}), kCliFailed);
    EXPECT_EQ(Run({"show", "Pop3_7"}), kCliFailed);
}

TEST_F(AccountCliTest, RemoveFindsALineStoredUnderTheColonName) {
    host.inner.WriteCfgStr("$ACCOUNTS", "Pop3:1=y\r\nGMAIL_0=z");
    ASSERT_EQ(Run({"remove", "Pop3_1"}), kCliOk) << err.str();
    EXPECT_EQ(*host.ReadCfgStr("ACCOUNTS", -1), "GMAIL_0=z");
}

TEST_F(AccountCliTest, AnyFailedWriteOfAStoreWithoutTransactionsLeavesNoHalfAccount) {
    for (int failing = 1; failing <= 4; ++failing) { // the marker, "_ENABLED", "_SENDTO", the list
        host.inner.WriteCfgStr("$ACCOUNTS", "Pop3_0=x");
        host.writes = 0;
        host.failWrite = failing;
        EXPECT_EQ(Run(AddPop3(), "pw\n"), kCliFailed) << failing;
        EXPECT_EQ(*host.inner.ReadCfgStr("ACCOUNTS"), "Pop3_0=x") << failing;
        EXPECT_FALSE(host.inner.Has("Pop3_1_ENABLED")) << failing;
        EXPECT_FALSE(host.inner.Has("Pop3_1_SENDTO")) << failing;
        EXPECT_EQ(host.changes, 0);
    }
}

TEST_F(AccountCliTest, UpdateReplacesTheColonLine) {
    host.inner.WriteCfgStr("$ACCOUNTS", "Pop3:1=old\r\nPop3_2=other");
    ASSERT_TRUE(UpdateStoredAccount(host, "Pop3_1", "new", true));
    EXPECT_EQ(*host.ReadCfgStr("ACCOUNTS", -1), "Pop3_2=other\r\nPop3_1=new");
    EXPECT_EQ(*host.ReadCfgStr("Pop3_1_SENDTO", -1), "1");
}

class AccountCliCheckTest : public AccountCliTest {
protected:
    void SetUp() override {
        AccountCliTest::SetUp();
        // Error texts are translated through the process registry: keep it in memory.
        SetProcessRegistry(memoryRegistry.get());
        ASSERT_EQ(Run(AddPop3(), "pw1\n"), kCliOk);
    }
    void TearDown() override { SetProcessRegistry(nullptr); }
    std::unique_ptr<Registry> memoryRegistry = MakeMemoryRegistry();
};

TEST_F(AccountCliCheckTest, CheckPrintsTheNewMessagesAndMovesTheMarkerOnlyWhenCommitted) {
    const std::string tops = "C: CAPA\nS: +OK\nS: PIPELINING\nS: .\nC: TOP 2 0\nC: TOP 3 0\n"
                             "S: +OK\nS: From: Bob <bob@example.org>\nS: Subject: Lunch\nS: .\n"
                             "S: +OK\nS: From: carol@example.org\nS: Subject: Say \"hi\" \\o/\nS: .\n";
    const struct {
        std::vector<std::string> args;
        std::string marker; // before
        std::string conversation;
        int exit;
        std::string out;
        std::string markerAfter;
    } rows[] = {
        {{"check", "Pop3_0"},
         "1",
         Login(3) + tops + "C: QUIT\nS: +OK\n",
         kCliCheckNew,
         "Pop3_0 (ann@example.org): 2 new, 3 unread\n  Bob <bob@example.org>\tLunch\n"
         "  carol@example.org\tSay \"hi\" \\o/\n",
         "1"},
        {{"check", "Pop3_0", "--commit"},
         "1",
         Login(3) + tops + "C: QUIT\nS: +OK\n",
         kCliCheckNew,
         "Pop3_0 (ann@example.org): 2 new, 3 unread\n  Bob <bob@example.org>\tLunch\n"
         "  carol@example.org\tSay \"hi\" \\o/\n",
         "3"},
        {{"check", "--all", "--json"},
         "1",
         Login(3) + tops + "C: QUIT\nS: +OK\n",
         kCliCheckNew,
         "{\"accounts\":[{\"id\":\"Pop3_0\",\"email\":\"ann@example.org\",\"new\":2,\"unread\":3,"
         "\"messages\":[{\"sender\":\"Bob <bob@example.org>\",\"subject\":\"Lunch\"},"
         "{\"sender\":\"carol@example.org\",\"subject\":\"Say \\\"hi\\\" \\\\o/\"}]}]}\n",
         "1"},
        {{"check", "--json", "Pop3_0"},
         "3",
         Login(3) + "C: QUIT\nS: +OK\n",
         kCliCheckNone,
         "{\"accounts\":[{\"id\":\"Pop3_0\",\"email\":\"ann@example.org\",\"new\":0,\"unread\":3,"
         "\"messages\":[]}]}\n",
         "3"},
        {{"check", "Pop3_0", "--commit"},
         "5",
         Login(3) + "C: QUIT\nS: +OK\n",
         kCliCheckNone,
         "Pop3_0 (ann@example.org): 0 new, 3 unread\n",
         "3"},
        {{"check", "Pop3_0"},
         "1",
         "S: +OK ready\nC: USER ann\nS: +OK\nC: PASS pw1\nS: -ERR [AUTH] no\n",
         kCliCheckError,
         "Pop3_0 (ann@example.org): error: Invalid login or password. Check your account settings.\n",
         "1"},
    };
    for (const auto& row : rows) {
        host.inner.WriteCfgStr("LASTID_Pop3_0", row.marker);
        auto script = Serve(row.conversation);
        EXPECT_EQ(Run(row.args), row.exit) << row.args.size() << err.str();
        EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
        EXPECT_EQ(out.str(), row.out);
        EXPECT_EQ(*host.inner.ReadCfgStr("LASTID_Pop3_0"), row.markerAfter);
        if (row.exit == kCliCheckError) {
            EXPECT_EQ(err.str(),
                      "nuvex-account: Pop3_0: Invalid login or password. Check your account settings.\n");
        }
    }
}

TEST_F(AccountCliCheckTest, CheckAllSkipsDisabledAccountsAndBadArgumentsAreRefused) {
    ASSERT_EQ(Run({"disable", "Pop3_0"}), kCliOk);
    Serve(""); // no connection may be made
    EXPECT_EQ(Run({"check", "--all"}), kCliCheckNone);
    EXPECT_EQ(out.str(), "");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"check"},
                                               {"check", "Pop3_0", "--all"},
                                               {"check", "--all", "--all"},
                                               {"check", "Pop3_0", "Pop3_1"},
                                               {"check", "--everything"}}) {
        EXPECT_EQ(Run(args), kCliUsage) << args.back();
        EXPECT_EQ(err.str().rfind("nuvex-account: ", 0), 0u) << args.back();
    }
    EXPECT_EQ(Run({"check", "Pop3_9"}), kCliCheckError);
    EXPECT_EQ(err.str(), "nuvex-account: no account Pop3_9\n");
}

TEST_F(AccountCliCheckTest, EnableAndDisableAskTheRunningPlugInToReload) {
    const int changes = host.changes;
    ASSERT_EQ(Run({"disable", "Pop3_0"}), kCliOk) << err.str();
    EXPECT_EQ(*host.inner.ReadCfgStr("Pop3_0_ENABLED"), "0");
    ASSERT_EQ(Run({"list"}), kCliOk);
    EXPECT_EQ(out.str(), "Pop3_0\tPop3\tann@example.org\tdisabled\n");
    ASSERT_EQ(Run({"enable", "Pop3_0"}), kCliOk);
    EXPECT_EQ(*host.inner.ReadCfgStr("Pop3_0_ENABLED"), "1");
    EXPECT_EQ(host.changes, changes + 2);
    // The plug-in's loader reads the value as the editor leaves it.
    TAccountList list;
    LoadAccountList(list, *host.ReadCfgStr("ACCOUNTS", -1), registry, context, &host);
    EXPECT_TRUE(list.FindAccount("Pop3_0", true)->Enabled);
    EXPECT_EQ(Run({"disable", "Pop3_9"}), kCliFailed);
    EXPECT_FALSE(host.inner.Has("Pop3_9_ENABLED"));
    EXPECT_EQ(Run({"enable"}), kCliUsage);
    EXPECT_EQ(host.changes, changes + 2);
}

TEST_F(AccountCliCheckTest, TestLogsInAndOutAndNeverTouchesTheMarker) {
    host.inner.WriteCfgStr("LASTID_Pop3_0", "1");
    auto script = Serve("S: +OK ready\nC: USER ann\nS: +OK\nC: PASS pw1\nS: +OK\nC: QUIT\nS: +OK\n");
    EXPECT_EQ(Run({"test", "Pop3_0"}), kCliOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(out.str(), "Connection test passed\n");
    Serve("S: +OK ready\nC: USER ann\nS: +OK\nC: PASS pw1\nS: -ERR wrong\n");
    EXPECT_EQ(Run({"test", "Pop3_0"}), kCliFailed);
    EXPECT_EQ(out.str(), "Connection test failed: Invalid login or password. Check your account settings.\n");
    EXPECT_EQ(*host.inner.ReadCfgStr("LASTID_Pop3_0"), "1");
    EXPECT_EQ(Run({"test", "Pop3_9"}), kCliFailed);
}

TEST_F(AccountCliCheckTest, EditChangesTheGivenFieldsAsTheEditorWritesThem) {
    host.inner.WriteCfgStr("LASTID_Pop3_0", "4");
    const int changes = host.changes;
    ASSERT_EQ(Run({"edit", "Pop3_0", "--server", "pop2.example.org", "--port", "995", "--ssl", "on",
                   "--check-minutes", "7", "--send-to", "on", "--password-stdin"},
                  "new pw\n"),
              kCliOk)
        << err.str();
    EXPECT_EQ(host.changes, changes + 1);
    EXPECT_EQ(*host.inner.ReadCfgStr("Pop3_0_SENDTO"), "1");
    EXPECT_EQ(*host.inner.ReadCfgStr("LASTID_Pop3_0"), "4");
    TAccountList list;
    LoadAccountList(list, *host.ReadCfgStr("ACCOUNTS", -1), registry, context, &host);
    auto* account = static_cast<TNuvex_Pop3Connector*>(list.FindAccount("Pop3_0", true));
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(account->HostName, "pop2.example.org");
    EXPECT_EQ(account->Port, 995);
    EXPECT_TRUE(account->UseSSL);
    EXPECT_EQ(account->CheckMinutes, 7);
    EXPECT_EQ(account->Password, "new pw");
    EXPECT_EQ(account->UserName, "ann"); // what was not given stays
    EXPECT_EQ(account->Email, "ann@example.org");

    // A bad value anywhere writes nothing.
    const std::string before = *host.inner.ReadCfgStr("ACCOUNTS");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"edit", "Pop3_0"},
             {"edit", "Pop3_0", "--port", "0"},
             {"edit", "Pop3_0", "--server", "pop3.example.org", "--ssl", "maybe"},
             {"edit", "Pop3_0", "--email", "nobody"},
             {"edit", "Pop3_0", "--webmail-url", "ftp://x"},
             {"edit", "Pop3_0", "--password", "visible"},
             {"edit", "Pop3_0", "--login", "a", "--login", "b"},
             {"edit", "Pop3_0", "--type", "gmail"},
             {"edit", "--server", "x"}}) {
        EXPECT_EQ(Run(args), kCliUsage) << args.back();
        EXPECT_EQ(*host.inner.ReadCfgStr("ACCOUNTS"), before) << args.back();
    }
    EXPECT_EQ(Run({"edit", "Pop3_9", "--login", "x"}), kCliFailed);
    EXPECT_EQ(host.changes, changes + 1);
}

} // namespace
} // namespace nuvex
