// What a newcomer sees: the first start without any account, headless, and
// scripts/demo.sh run as `scripts/run.sh --demo` runs it, stopped with Ctrl-C.
#include "tests/e2e/demo_fixture.h"

#include <cstdio>

namespace nuvex::e2e {
namespace {

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) {
        ++n;
    }
    return n;
}

class FirstStartTest : public TickingE2eTest {};

// Headless nobody sees a wizard: the plug-in says once how to add an account
// and that the demo exists, on the output the host's user reads.
TEST_F(FirstStartTest, HeadlessWithoutAccountPrintsTheHintOnce) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    const std::string hint = "nuvex: no mail account is stored yet.";
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(HostOut()).find(hint) != std::string::npos; }, 20000))
        << ReadFile(HostOut()) << ReadFile(dir_.file("host.err"));
    // Many ticks later it still stands there once.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::string out = ReadFile(HostOut());
    EXPECT_EQ(Occurrences(out, hint), 1u) << out;
    // The tool next to the program, which a build tree does not put on PATH.
    EXPECT_NE(out.find(std::string(NUVEX_BINARY_DIR) + "/core/nuvex-account add --type POP3"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("scripts/run.sh --demo"), std::string::npos) << out;
    // The installer's request stays for the first start on a desktop.
    Result stored = Ctl({"get", "MAIL", "AFTERINSTALLWIZARD"});
    EXPECT_EQ(stored.code, 0) << stored.err;
    EXPECT_NE(stored.out.find('1'), std::string::npos) << stored.out;
}

TEST_F(FirstStartTest, HeadlessWithAnAccountPrintsNoHint) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    std::string file = dir_.file("pw");
    std::ofstream(file) << "secret\n";
    // The port answers nothing: the account exists, its check fails, no matter.
    Result added = Run({std::string(NUVEX_BINARY_DIR) + "/core/nuvex-account", "add", "--type", "POP3",
                        "--email", "ann@example.org", "--login", "ann", "--server", "127.0.0.1", "--port",
                        "9", "--password-file", file});
    ASSERT_EQ(added.code, 0) << added.out << added.err;
    // A fresh host and plug-in find the account at their first start.
    ASSERT_EQ(Ctl({"stop"}).code, 0);
    ASSERT_TRUE(WaitUntil([&] { return Ended(hosts_.back()) && FindNuvex() < 0; }, 15000));
    const std::size_t before = ReadFile(HostOut()).size();
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::string second = ReadFile(HostOut()).substr(before);
    EXPECT_EQ(second.find("no mail account is stored yet"), std::string::npos) << second;
}

// Before any host has run there is no settings file: usage still answers.
TEST_F(FirstStartTest, UsageNeedsNoHostAndNoSettingsFile) {
    const std::string tool = std::string(NUVEX_BINARY_DIR) + "/core/nuvex-account";
    const std::vector<std::string> rows[] = {
        {tool},
        {tool, "--help"},
        {tool, "help"},
        {tool, "add", "--help"},
        {tool, "check", "--help"},
        {Brannock(), "ctl", "--help"},
    };
    for (const auto& argv : rows) {
        Result r = Run(argv);
        EXPECT_EQ(r.code, 0) << argv.back() << r.err;
        EXPECT_EQ(r.out.rfind("usage: ", 0), 0u) << argv.back() << r.out;
        EXPECT_EQ(r.err, "") << argv.back();
    }
}

// What the demo refuses before it starts anything: a clear line, exit 1,
// and no profile folder left behind.
TEST_F(DemoScriptTest, RefusesBadSetUpsWithoutLeavingAProfile) {
    const struct {
        const char* buildDir;
        const char* interval;
        const char* says;
    } rows[] = {
        {"/nonexistent/build", "3", "build folder /nonexistent/build not found"},
        {NUVEX_BINARY_DIR, "0", "NUVEX_DEMO_INTERVAL must be a number of seconds above 0"},
        {NUVEX_BINARY_DIR, "3s", "NUVEX_DEMO_INTERVAL must be a number of seconds above 0"},
        {NUVEX_BINARY_DIR, "-5", "NUVEX_DEMO_INTERVAL must be a number of seconds above 0"},
    };
    for (const auto& row : rows) {
        setenv("NUVEX_DEMO_INTERVAL", row.interval, 1);
        const std::string err = dir_.file("refused.err");
        ::unlink(err.c_str());
        pid_t pid = Spawn({"/bin/bash", std::string(NUVEX_SOURCE_DIR) + "/scripts/demo.sh", row.buildDir},
                          dir_.file("refused.out"), err);
        ASSERT_GT(pid, 0);
        int code = WaitExitCode(pid, 10000);
        if (code == -1 && !Ended(pid)) {
            // It started after all: stopped the way a user stops it, so that
            // it takes down what it started.
            kill(pid, SIGINT);
            WaitExitCode(pid, 20000);
        }
        EXPECT_EQ(code, 1) << row.says;
        EXPECT_NE(ReadFile(err).find(row.says), std::string::npos) << ReadFile(err);
        DIR* d = opendir(tmp_.c_str());
        ASSERT_NE(d, nullptr);
        int entries = 0;
        while (dirent* e = readdir(d)) {
            entries += e->d_name[0] != '.';
        }
        closedir(d);
        EXPECT_EQ(entries, 0) << row.says;
    }
}

TEST_F(DemoScriptTest, ShowsThreeNewThenFourAndCtrlCLeavesNothingBehind) {
    out_ = dir_.file("demo.out");
    const auto start = Clock::now();
    demo_ = Spawn({"/bin/bash", std::string(NUVEX_SOURCE_DIR) + "/scripts/demo.sh", NUVEX_BINARY_DIR}, out_,
                  dir_.file("demo.err"));
    ASSERT_GT(demo_, 0);
    ASSERT_TRUE(WaitUntil([&] { return Out().find("caption=\"3 New\"") != std::string::npos; }, 30000))
        << Out() << ReadFile(dir_.file("demo.err")) << ReadFile(Profile() + "/dovecot/dovecot.log");
    std::printf("[ measure ] demo start to \"3 New\": %.2f s\n", Seconds(start));
    const std::string profile = Profile();
    ASSERT_FALSE(profile.empty()) << Out();
    EXPECT_EQ(profile.rfind(tmp_ + "/nuvex-demo.", 0), 0u) << profile;

    // The notification lists the sample messages, encoded words decoded.
    ASSERT_TRUE(WaitUntil([&] { return Out().find("notify total=3 ") != std::string::npos; }, 10000))
        << Out();
    for (const char* subject : {"subject=Café on Thursday?", "subject=Quarterly report: draft for review",
                                "subject=Grüße aus München"}) {
        EXPECT_NE(Out().find(subject), std::string::npos) << subject << "\n" << Out();
    }
    ASSERT_TRUE(WaitUntil([&] { return Out().find("caption=\"4 New\"") != std::string::npos; }, 20000))
        << Out();
    EXPECT_NE(Out().find("subject=Re: Flight to Lisbon"), std::string::npos) << Out();

    const std::vector<pid_t> running = ProcessesWithEnv("NUVEX_DEMO_PROFILE=" + profile);
    EXPECT_GE(running.size(), 3u) << "host, plug-in, bus";
    ASSERT_TRUE(Accepts(Port()));
    ASSERT_EQ(kill(demo_, SIGINT), 0);
    const auto stopAt = Clock::now();
    EXPECT_EQ(WaitExitCode(demo_, 20000), 130);
    std::printf("[ measure ] Ctrl-C to the demo's end: %.2f s\n", Seconds(stopAt));
    demo_ = -1;
    // Everything it started is gone, the mail server's own processes included.
    EXPECT_TRUE(WaitUntil([&] { return ProcessesWithEnv("NUVEX_DEMO_PROFILE=" + profile).empty(); }, 5000));
    for (pid_t pid : running) {
        EXPECT_TRUE(Ended(pid)) << pid;
    }
    const int port = Port();
    ASSERT_GT(port, 0) << Out();
    EXPECT_FALSE(Accepts(port)) << "the mail server still listens on " << port;
    EXPECT_NE(::access(profile.c_str(), F_OK), 0) << "the profile is removed";
    EXPECT_NE(Out().find("demo: stopped; profile removed"), std::string::npos) << Out();
}

} // namespace
} // namespace nuvex::e2e
