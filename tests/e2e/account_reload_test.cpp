// Accounts added and removed with nuvex-account while the plug-in runs, and
// many adds at once: read back through `brannock ctl` and the notification
// log of nuvex.
#include "tests/e2e/dovecot_e2e.h"

#include <poll.h>
#include <set>
#include <termios.h>

namespace nuvex::e2e {
namespace {

class AccountReloadTest : public DovecotE2eTest {
protected:
    std::string AddAccount(const std::string& user, const std::string& password) {
        std::string file = dir_.file(user + ".pw");
        std::ofstream(file) << password << "\n";
        Result r = Run({AccountTool(), "add", "--type", "pop3", "--email", user + "@example.org", "--login",
                        user, "--server", "127.0.0.1", "--port", std::to_string(dovecot_.Pop3Port()),
                        "--check-minutes", "1", "--password-file", file});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        return r.out.empty() ? std::string() : r.out.substr(0, r.out.find('\n'));
    }

    std::string Menu() { return Field(Button(), "menu"); }
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

// Output of fd until want shows or timeoutMs pass.
std::string ReadUntil(int fd, const std::string& want, int timeoutMs) {
    std::string out;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.find(want) == std::string::npos && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        char buf[256];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

TEST_F(AccountReloadTest, PasswordTypedOnATerminalIsNotShown) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    std::string slave = ::ptsname(master);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        int fd = ::open(slave.c_str(), O_RDWR);
        ::dup2(fd, 0);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::string tool = AccountTool();
        ::execl(tool.c_str(), tool.c_str(), "add", "--type", "pop3", "--email", "a@example.org", "--login",
                "a", "--server", "pop.example.org", "--password-stdin", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string out = ReadUntil(master, "Password: ", 20000);
    ASSERT_NE(out.find("Password: "), std::string::npos) << out;
    const std::string typed = "SECRET-typed-pw\n";
    ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    out += ReadUntil(master, "Pop3_0", 20000);
    EXPECT_EQ(WaitExitCode(pid, 20000), 0) << out;
    ::close(master);
    EXPECT_EQ(out.find("SECRET-typed-pw"), std::string::npos) << out;
    EXPECT_NE(out.find("Pop3_0"), std::string::npos) << out;
}

} // namespace
} // namespace nuvex::e2e
