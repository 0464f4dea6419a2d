// The host and the plug-in keep to their own login session: they leave the
// bus's activation environment as it was, and a second session of the same
// user runs its own pair that the first one's stop does not reach. Each case
// starts its own dbus-run-session with a bare environment, so what the bus
// passes to activated programs is known.
#include "tests/e2e/e2e_harness.h"

namespace nuvex::e2e {
namespace {

class SessionScopeTest : public E2eTest {
protected:
    // Runs a shell script in a fresh private session whose bus environment
    // holds only the folders below; the script's own output goes to out.
    pid_t StartSession(const std::string& script, const std::string& name) {
        const std::string path = dir_.file(name + ".sh");
        std::ofstream(path)
            << "set -u\n"
            << "B='" << Brannock() << "'\nN='" << Nuvex() << "'\nT='" << dir_.path() << "'\n"
            << "up() { i=0; while [ $i -lt 100 ]; do\n"
               "  \"$B\" ctl button MAIL 2>/dev/null | grep -q 'plugin: running' && return 0\n"
               "  i=$((i+1)); sleep 0.2; done; return 1; }\n"
            << script;
        std::vector<std::string> argv{"/usr/bin/env",
                                      "-i",
                                      "HOME=" + dir_.path(),
                                      "PATH=/usr/bin:/bin",
                                      "XDG_CONFIG_HOME=" + dir_.path() + "/config",
                                      "XDG_DATA_HOME=" + dir_.path() + "/data",
                                      "XDG_RUNTIME_DIR=" + dir_.path() + "/run",
                                      "/usr/bin/dbus-run-session",
                                      "--",
                                      "/bin/sh",
                                      path};
        return Spawn(argv, dir_.file(name + ".out"), dir_.file(name + ".err"));
    }

    void TearDown() override {
        // Every session's plug-in carries our folders; end any that is left.
        for (int i = 0; i < 4; ++i) {
            if (pid_t p = FindNuvex(); p > 0) {
                kill(p, SIGKILL);
                WaitUntil([p] { return Ended(p); }, 2000);
            }
        }
        E2eTest::TearDown();
    }
};

// A headless host with test variables in its environment once pushed them into
// the bus for good: every program the bus started afterwards ran offscreen.
TEST_F(SessionScopeTest, ActivationEnvironmentIsLeftAsItWas) {
    ::mkdir((dir_.path() + "/data/dbus-1").c_str(), 0700);
    ::mkdir((dir_.path() + "/data/dbus-1/services").c_str(), 0700);
    const std::string probe = dir_.file("probe.sh");
    std::ofstream(probe) << "#!/bin/sh\nenv > '" << dir_.file("probe.env") << "'\n";
    ::chmod(probe.c_str(), 0700);
    std::ofstream(dir_.path() + "/data/dbus-1/services/org.nuvex.test.EnvProbe.service")
        << "[D-BUS Service]\nName=org.nuvex.test.EnvProbe\nExec=" << probe << "\n";

    pid_t session = StartSession(R"(
"$N" /regserver || echo "regserver failed"
QT_QPA_PLATFORM=offscreen NUVEX_TICK_MS=5000 NUVEX_PROBE_MARK=1 "$B" --headless >"$T/a-host.out" 2>&1 &
up && echo "plug-in up"
"$B" ctl stop
wait
dbus-send --session --print-reply --reply-timeout=3000 --dest=org.freedesktop.DBus /org/freedesktop/DBus \
  org.freedesktop.DBus.StartServiceByName string:org.nuvex.test.EnvProbe uint32:0 >/dev/null 2>&1
i=0; while [ ! -s "$T/probe.env" ] && [ $i -lt 50 ]; do i=$((i+1)); sleep 0.1; done
)",
                                 "a");
    ASSERT_GT(session, 0);
    ASSERT_EQ(WaitExitCode(session, 60000), 0) << ReadFile(dir_.file("a.err"));
    EXPECT_THAT(ReadFile(dir_.file("a.out")), ::testing::HasSubstr("plug-in up"))
        << ReadFile(dir_.file("a-host.out"));
    const std::string env = ReadFile(dir_.file("probe.env"));
    ASSERT_THAT(env, ::testing::HasSubstr("XDG_DATA_HOME=")) << "the probe did not run";
    EXPECT_THAT(env, ::testing::Not(::testing::HasSubstr("QT_QPA_PLATFORM")));
    EXPECT_THAT(env, ::testing::Not(::testing::HasSubstr("NUVEX_")));
}

// Named objects were per user: the second session's plug-in found the run
// mutex taken and left, and one host's stop ended both sessions' plug-ins.
TEST_F(SessionScopeTest, TwoSessionsOfOneUserRunSideBySide) {
    pid_t first = StartSession(R"(
"$B" --headless >"$T/first-host.out" 2>&1 &
up && echo "plug-in up" && : > "$T/first.up"
i=0; while [ ! -e "$T/second.up" ] && [ $i -lt 150 ]; do i=$((i+1)); sleep 0.2; done
"$B" ctl stop
wait
: > "$T/first.stopped"
)",
                               "first");
    pid_t second = StartSession(R"(
"$B" --headless >"$T/second-host.out" 2>&1 &
up && echo "plug-in up" && : > "$T/second.up"
i=0; while [ ! -e "$T/first.stopped" ] && [ $i -lt 150 ]; do i=$((i+1)); sleep 0.2; done
sleep 2
"$B" ctl button MAIL | grep 'plugin:'
"$B" ctl stop
wait
)",
                                "second");
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitExitCode(first, 90000), 0);
    EXPECT_EQ(WaitExitCode(second, 90000), 0);
    EXPECT_THAT(ReadFile(dir_.file("first.out")), ::testing::HasSubstr("plug-in up"));
    const std::string out = ReadFile(dir_.file("second.out"));
    EXPECT_THAT(out, ::testing::HasSubstr("plug-in up")) << ReadFile(dir_.file("second-host.out"));
    EXPECT_THAT(out, ::testing::HasSubstr("plugin: running"));
}

// The host used to keep running, holding its settings file open, long after
// its session bus had gone.
TEST_F(SessionScopeTest, HostEndsWithItsSessionBus) {
    pid_t session = StartSession(R"(
"$B" --headless >"$T/gone-host.out" 2>&1 &
echo $! > "$T/host.pid"
up && echo "plug-in up"
)",
                                 "gone");
    ASSERT_GT(session, 0);
    ASSERT_EQ(WaitExitCode(session, 60000), 0);
    EXPECT_THAT(ReadFile(dir_.file("gone.out")), ::testing::HasSubstr("plug-in up"));
    const pid_t host = std::atoi(ReadFile(dir_.file("host.pid")).c_str());
    ASSERT_GT(host, 0);
    // The bus ends with the session; the host (an orphan now reaped by us) follows.
    EXPECT_TRUE(WaitUntil([host] { return Ended(host); }, 10000)) << ReadFile(dir_.file("gone-host.out"));
    if (!Ended(host)) {
        kill(host, SIGKILL);
    }
}

} // namespace
} // namespace nuvex::e2e
