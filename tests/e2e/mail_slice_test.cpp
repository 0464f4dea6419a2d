// The whole mail slice: brannock --headless, nuvex, a private dovecot and
// accounts added with nuvex-account; what the user sees is read back through
// `brannock ctl button MAIL` and the notification log of nuvex.
#include "tests/e2e/dovecot_e2e.h"
#include "tests/support/line_server.h"

#include <array>
#include <cstdio>
#include <sys/socket.h>

namespace nuvex::e2e {
namespace {

class MailSliceTest : public DovecotE2eTest {
protected:
    void SetUp() override {
        DovecotE2eTest::SetUp();
        std::string why = test::DovecotHarness::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << "dovecot harness unavailable: " << why;
        }
    }

    // refresh false: the plug-in learns of the account with the next refresh.
    void AddAccount(const std::string& user, const std::string& password, int checkMinutes = 1, int port = 0,
                    bool refresh = true) {
        std::string file = dir_.file(user + ".pw");
        std::ofstream(file) << password << "\n";
        Result r =
            Run({AccountTool(), "add", "--type", "POP3", "--email", user + "@example.org", "--login", user,
                 "--server", "127.0.0.1", "--port", std::to_string(port ? port : dovecot_.Pop3Port()),
                 "--check-minutes", std::to_string(checkMinutes), "--password-file", file});
        ASSERT_EQ(r.code, 0) << r.out << r.err;
        if (refresh) {
            ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);
        }
    }
};

TEST_F(MailSliceTest, TwoAccountsShowFiveNewTheMenuAndTheBlinkWhichEndsWhenAllIsRead) {
    StartWithDovecot({{"alice", "alice-pw"}, {"bob", "bob-pw"}});
    const std::string idlePicture = Field(Button(), "picture");
    dovecot_.Deliver("alice", 1, 3);
    dovecot_.Deliver("bob", 1, 2);
    AddAccount("alice", "alice-pw");
    AddAccount("bob", "bob-pw");
    CheckAll();
    ASSERT_TRUE(WaitCaption("5 New")) << Button() << "\n" << NotifyLog();

    const std::string report = Button();
    EXPECT_EQ(Field(report, "hint"), "5 New");
    EXPECT_NE(Field(report, "picture"), idlePicture); // the new-mail picture blinks
    const std::string menu = Field(report, "menu");
    EXPECT_NE(menu.find("Check All Accounts=CHECK_ALL\\r\\n"), std::string::npos) << menu;
    EXPECT_NE(menu.find("+Check Selected Account\\r\\nalice@example.org=CHECK_"), std::string::npos) << menu;
    EXPECT_NE(menu.find("{Go to alice@example.org (3 New)=OPEN_"), std::string::npos) << menu;
    EXPECT_NE(menu.find("{Go to bob@example.org (2 New)=OPEN_"), std::string::npos) << menu;
    EXPECT_NE(menu.find("Add New Account=ADD_ACCOUNT\\r\\n\\r\\n-\\r\\nSettings=SETTINGS\\r\\n"),
              std::string::npos)
        << menu;
    EXPECT_EQ(menu.find("Compose Email"), std::string::npos) << menu; // POP3 does not compose
    EXPECT_NE(NotifyLog().find("notify total=5 "), std::string::npos) << NotifyLog();

    // A message arrives; the user checks: the caption follows.
    dovecot_.Deliver("alice", 4, 1);
    auto start = Clock::now();
    CheckAll();
    ASSERT_TRUE(WaitCaption("6 New"));
    std::printf("[ measure ] maildrop to caption after CHECK_ALL: %.2f s\n", Seconds(start));

    // All read and gone: "Email" and the ordinary picture at once.
    dovecot_.RemoveOldest("alice", 4);
    dovecot_.RemoveOldest("bob", 2);
    CheckAll();
    ASSERT_TRUE(WaitCaption("Email")) << Button();
    EXPECT_TRUE(WaitUntil([&] { return Field(Button(), "picture") == idlePicture; }, 5000, 100)) << Button();
}

// A port that refuses connections until Listen(); then it takes them (the
// kernel does, from its backlog) and never says a word: a check of it waits
// for the greeting's time-out.
class SilentServer {
public:
    SilentServer() : fd_(test::BindLoopback(&port_)) {}
    ~SilentServer() { ::close(fd_); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int Port() const { return port_; }
    bool Listen() { return ::listen(fd_, 4) == 0; }

private:
    int port_ = 0;
    int fd_;
};

TEST_F(MailSliceTest, AnAccountIsAnnouncedWhenItsCheckEndsNotWhenASilentServersDoes) {
    SilentServer silent;
    ASSERT_NE(silent.Port(), 0);
    StartWithDovecot({{"alice", "alice-pw"}});
    dovecot_.Deliver("alice", 1, 2);
    AddAccount("mute", "mute-pw", 1, silent.Port()); // first in the list
    AddAccount("alice", "alice-pw");
    // Both checked once: alice's two, mute's refused connection.
    ASSERT_TRUE(WaitCaption("2 New")) << Button() << "\n" << NotifyLog();
    ASSERT_TRUE(WaitUntil([&] { return NotifyLog().find("errors=1") != std::string::npos; }, 30000, 100))
        << NotifyLog();

    ASSERT_TRUE(silent.Listen());
    dovecot_.Deliver("alice", 3, 2);
    const auto start = Clock::now();
    CheckAll(); // one pass, both at once; mute's waits a minute for a greeting
    ASSERT_TRUE(WaitCaption("4 New", 20000)) << Button() << "\n" << NotifyLog();
    ASSERT_TRUE(WaitUntil([&] { return NotifyLog().find("notify total=4 ") != std::string::npos; }, 5000, 50))
        << NotifyLog();
    const double seconds = Seconds(start);
    std::printf("[ measure ] CHECK_ALL to the quick account's notification: %.2f s\n", seconds);
    EXPECT_LT(seconds, 20.0);
    EXPECT_NE(NotifyLog().find("Message 4"), std::string::npos) << NotifyLog();
}

TEST_F(MailSliceTest, OneAccountHasNoCheckAllAndCheckAllStillForcesACheck) {
    StartWithDovecot({{"alice", "alice-pw"}});
    AddAccount("alice", "alice-pw");
    CheckAll();
    ASSERT_TRUE(
        WaitUntil([&] { return NotifyLog().find("notify total=0 ") != std::string::npos; }, 30000, 100))
        << NotifyLog();
    // The forced check's summary comes even though nothing is new.
    const std::string menu = Field(Button(), "menu");
    EXPECT_EQ(menu.find("Check All Accounts"), std::string::npos) << menu;
    EXPECT_NE(menu.find("Go to alice@example.org=OPEN_"), std::string::npos) << menu;

    dovecot_.Deliver("alice", 1, 2);
    CheckAll();
    ASSERT_TRUE(WaitCaption("2 New")) << Button();
}

TEST_F(MailSliceTest, WrongPasswordShowsOneErrorEntry) {
    StartWithDovecot({{"alice", "alice-pw"}});
    AddAccount("alice", "not-the-password");
    CheckAll();
    ASSERT_TRUE(WaitUntil([&] { return NotifyLog().find("errors=1") != std::string::npos; }, 30000, 100))
        << NotifyLog();
    const std::string log = NotifyLog();
    std::size_t errors = 0;
    for (std::size_t at = 0; (at = log.find("  error account=", at)) != std::string::npos; ++at) {
        ++errors;
    }
    EXPECT_EQ(errors, 1u) << log;
    EXPECT_EQ(Field(Button(), "caption"), "Email");

    // The failed check is all that stderr (the host's and the plug-in's) says
    // meanwhile: no notes, timings or window-system complaints while the
    // error window fades in.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::istringstream err(ReadFile(dir_.file("host.err")));
    int lines = 0;
    for (std::string line; std::getline(err, line);) {
        ++lines;
        EXPECT_NE(line.find("failed"), std::string::npos) << line;
    }
    EXPECT_GE(lines, 1);
}

// The periodic passes after the forced check leave the failed account alone
// until its interval has passed, so the entry is not shown again.
TEST_F(MailSliceTest, LoginFailureIsNotShownAgainByThePeriodicPassesThatFollow) {
    StartWithDovecot({{"alice", "alice-pw"}});
    AddAccount("alice", "not-the-password", 15);
    CheckAll();
    ASSERT_TRUE(WaitUntil([&] { return NotifyLog().find("errors=1") != std::string::npos; }, 30000, 100))
        << NotifyLog();
    // Passes come every 15 seconds at most; wait for more than one.
    std::this_thread::sleep_for(std::chrono::seconds(20));
    const std::string log = NotifyLog();
    EXPECT_EQ(log.find("errors=", log.find("errors=1") + 1), std::string::npos) << log;
}

// CPU ticks (user + system), context switches of all threads and resident KiB.
std::array<long, 3> ProcessSample(pid_t pid) {
    std::array<long, 3> out{0, 0, 0};
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(stat.substr(close + 2));
        std::string f;
        for (int i = 3; i <= 15 && fields >> f; ++i) {
            if (i == 14 || i == 15) {
                out[0] += std::atol(f.c_str());
            }
        }
    }
    std::string task = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(task.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::istringstream status(ReadFile(task + "/" + e->d_name + "/status"));
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                    line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                    out[1] += std::atol(line.substr(line.find(':') + 1).c_str());
                }
            }
        }
        closedir(d);
    }
    std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            out[2] = std::atol(line.substr(6).c_str());
        }
    }
    return out;
}

// Idle cost with three accounts at the real 5-second tick. Runs only when
// NUVEX_MEASURE_IDLE gives the seconds to measure (two minutes: 120).
TEST_F(MailSliceTest, IdleCostWithThreeAccounts) {
    const char* seconds = std::getenv("NUVEX_MEASURE_IDLE");
    if (!seconds || std::atoi(seconds) <= 0) {
        GTEST_SKIP() << "set NUVEX_MEASURE_IDLE=<seconds> to measure";
    }
    unsetenv("NUVEX_TICK_MS");
    StartWithDovecot({{"alice", "alice-pw"}, {"bob", "bob-pw"}, {"carol", "carol-pw"}});
    dovecot_.Deliver("alice", 1, 3);
    AddAccount("alice", "alice-pw");
    AddAccount("bob", "bob-pw");
    AddAccount("carol", "carol-pw");
    CheckAll();
    ASSERT_TRUE(WaitCaption("3 New"));
    std::this_thread::sleep_for(std::chrono::seconds(5));
    pid_t nuvex = FindNuvex();
    ASSERT_GT(nuvex, 0);
    auto before = ProcessSample(nuvex);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(seconds)));
    auto after = ProcessSample(nuvex);
    const double s = std::atof(seconds);
    std::printf(
        "[ measure ] nuvex idle over %.0f s with 3 accounts: cpu %.2f%%, %.2f wake-ups/s, rss %ld KiB\n", s,
        100.0 * static_cast<double>(after[0] - before[0]) / static_cast<double>(sysconf(_SC_CLK_TCK)) / s,
        static_cast<double>(after[1] - before[1]) / s, after[2]);
}

} // namespace
} // namespace nuvex::e2e
