// Accounts added and removed with nuvex-account while the plug-in runs, and
// many adds at once: read back through `brannock ctl` and the notification
// log of nuvex.
#include "tests/e2e/e2e_harness.h"
#include "tests/support/dovecot_harness.h"

#include <set>

namespace nuvex::e2e {
namespace {

std::string AccountTool() {
    return std::string(NUVEX_BINARY_DIR) + "/core/nuvex-account";
}

std::string Field(const std::string& report, const std::string& key) {
    const std::string start = "\n" + key + ": ";
    std::string text = "\n" + report;
    std::size_t at = text.find(start);
    if (at == std::string::npos) {
        return {};
    }
    std::size_t end = text.find('\n', at + start.size());
    return text.substr(at + start.size(),
                       end == std::string::npos ? std::string::npos : end - at - start.size());
}

class AccountReloadTest : public E2eTest {
protected:
    void TearDown() override {
        E2eTest::TearDown();
        dovecot_.Stop();
        unsetenv("NUVEX_TICK_MS");
        unsetenv("NUVEX_NOTIFY_LOG");
    }

    void StartWithDovecot(const std::vector<std::pair<std::string, std::string>>& users) {
        std::string why = test::DovecotHarness::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << "dovecot harness unavailable: " << why;
        }
        setenv("NUVEX_TICK_MS", "250", 1);
        notifyLog_ = dir_.file("notify.log");
        setenv("NUVEX_NOTIFY_LOG", notifyLog_.c_str(), 1);
        for (const auto& [user, password] : users) {
            dovecot_.AddUser(user, password);
        }
        std::string error;
        ASSERT_TRUE(dovecot_.Start(error)) << error;
        StartHost();
        ASSERT_TRUE(WaitPluginUp());
    }

    std::string AddAccount(const std::string& user, const std::string& password) {
        std::string file = dir_.file(user + ".pw");
        std::ofstream(file) << password << "\n";
        Result r = Run({AccountTool(), "add", "--type", "pop3", "--email", user + "@example.org", "--login",
                        user, "--server", "127.0.0.1", "--port", std::to_string(dovecot_.Pop3Port()),
                        "--check-minutes", "1", "--password-file", file});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        return r.out.empty() ? std::string() : r.out.substr(0, r.out.find('\n'));
    }

    std::string Button() { return Ctl({"button", "MAIL"}).out; }
    std::string Menu() { return Field(Button(), "menu"); }
    bool WaitCaption(const std::string& caption) {
        return WaitUntil([&] { return Field(Button(), "caption") == caption; }, 30000, 100);
    }
    void CheckAll() { ASSERT_EQ(Ctl({"command", "MAIL", "CHECK_ALL"}).code, 0); }
    std::string NotifyLog() const { return ReadFile(notifyLog_); }

    test::DovecotHarness dovecot_;
    std::string notifyLog_;
};

TEST_F(AccountReloadTest, RemovedAccountIsNeitherCheckedNorListedNorGivenItsMarkerBack) {
    StartWithDovecot({{"alice", "alice-pw"}, {"bob", "bob-pw"}});
    dovecot_.Deliver("alice", 1, 3);
    dovecot_.Deliver("bob", 1, 2);
    ASSERT_EQ(AddAccount("alice", "alice-pw"), "Pop3_0");
    const std::string bob = AddAccount("bob", "bob-pw");
    ASSERT_EQ(bob, "Pop3_1");
    ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);
    CheckAll();
    ASSERT_TRUE(WaitCaption("5 New")) << Button();
    ASSERT_NE(Ctl({"get", "MAIL", "LASTID_" + bob}).out, "\n"); // bob's marker is there

    Result removed = Run({AccountTool(), "remove", bob});
    ASSERT_EQ(removed.code, 0) << removed.err;
    ASSERT_TRUE(WaitUntil([&] { return Menu().find("bob@example.org") == std::string::npos; }, 10000, 100))
        << Menu();
    const std::size_t logBefore = NotifyLog().size();

    // New mail for both: only alice's is checked and shown.
    dovecot_.Deliver("alice", 4, 1);
    dovecot_.Deliver("bob", 3, 4);
    CheckAll();
    ASSERT_TRUE(WaitCaption("4 New")) << Button() << "\n" << NotifyLog();
    std::this_thread::sleep_for(std::chrono::seconds(2)); // a few more ticks
    const std::string after = NotifyLog().substr(logBefore);
    EXPECT_EQ(after.find("bob@example.org"), std::string::npos) << after;
    EXPECT_EQ(Menu().find("bob@example.org"), std::string::npos) << Menu();
    EXPECT_EQ(Ctl({"get", "MAIL", "LASTID_" + bob}).out, "\n");

    // The id comes free again; the new account under it starts fresh and
    // finds all of bob's six messages new.
    EXPECT_EQ(AddAccount("bob", "bob-pw"), bob);
    ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);
    CheckAll();
    ASSERT_TRUE(WaitCaption("10 New")) << Button() << "\n" << NotifyLog();
}

TEST_F(AccountReloadTest, TwentyAddsAtOnceGiveTwentyAccounts) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    constexpr int kAdds = 20;
    std::string file = dir_.file("pw");
    std::ofstream(file) << "pw\n";
    std::vector<pid_t> adds;
    for (int i = 0; i < kAdds; ++i) {
        std::string user = "user" + std::to_string(i);
        adds.push_back(Spawn({AccountTool(), "add", "--type", "pop3", "--email", user + "@example.org",
                              "--login", user, "--server", "pop.example.org", "--password-file", file},
                             dir_.file("adds.out"), dir_.file("adds.err")));
    }
    for (pid_t pid : adds) {
        ASSERT_GT(pid, 0);
        EXPECT_EQ(WaitExitCode(pid, 60000), 0) << ReadFile(dir_.file("adds.err"));
    }
    Result list = Run({AccountTool(), "list"});
    ASSERT_EQ(list.code, 0) << list.err;
    std::set<std::string> ids;
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) {
        ids.insert(line.substr(0, line.find('\t')));
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kAdds)) << list.out;
    for (int i = 0; i < kAdds; ++i) {
        EXPECT_EQ(Ctl({"get", "MAIL", "Pop3_" + std::to_string(i) + "_ENABLED"}).out, "1\n") << i;
    }
}

} // namespace
} // namespace nuvex::e2e
