#pragma once
// Runs brannock and nuvex as real processes against a private folder set.
// Each test program runs under its own dbus-run-session; the fixture points
// every XDG folder and the named objects at a fresh temporary folder.
#include "lib/registry.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace nuvex::e2e {

using Clock = std::chrono::steady_clock;

inline std::string Brannock() {
    return std::string(NUVEX_BINARY_DIR) + "/host/brannock";
}
inline std::string Nuvex() {
    return std::string(NUVEX_BINARY_DIR) + "/core/nuvex";
}

inline std::string AccountTool() {
    return std::string(NUVEX_BINARY_DIR) + "/core/nuvex-account";
}

// The value of one "key: value" line of a button report.
inline std::string Field(const std::string& report, const std::string& key) {
    const std::string start = "\n" + key + ": ";
    const std::string text = "\n" + report;
    const std::size_t at = text.find(start);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t end = text.find('\n', at + start.size());
    return text.substr(at + start.size(),
                       end == std::string::npos ? std::string::npos : end - at - start.size());
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Gone or a zombie; a zombie child of ours is reaped.
inline bool Ended(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        return true;
    }
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) {
        return true;
    }
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs, int stepMs = 50) {
    auto end = Clock::now() + test::Scaled(std::chrono::milliseconds(timeoutMs));
    while (Clock::now() < end) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return cond();
}

// Waits for a child and answers its exit code (-1 on time-out or a signal).
inline int WaitExitCode(pid_t pid, int timeoutMs) {
    auto end = Clock::now() + test::Scaled(std::chrono::milliseconds(timeoutMs));
    while (Clock::now() < end) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

class E2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Orphans (the detached plug-in) come back to us, so they can be reaped.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        for (const char* sub : {"/config", "/data", "/run", "/objects"}) {
            ::mkdir((dir_.path() + sub).c_str(), 0700);
        }
        setenv("XDG_CONFIG_HOME", (dir_.path() + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir_.path() + "/run").c_str(), 1);
        setenv("NUVEX_OBJECTS_DIR", (dir_.path() + "/objects").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        navFile_ = dir_.file("navigations.txt");
        std::string browser = dir_.file("browser.sh");
        std::ofstream(browser) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << navFile_ << "'\n";
        ::chmod(browser.c_str(), 0700);
        setenv("NUVEX_BROWSER", browser.c_str(), 1);
    }

    void TearDown() override {
        for (pid_t pid : hosts_) {
            if (!Ended(pid)) {
                kill(pid, SIGKILL);
                WaitExitCode(pid, 2000);
            }
        }
        if (pid_t p = FindNuvex(); p > 0) {
            kill(p, SIGKILL);
            WaitUntil([p] { return Ended(p); }, 2000);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    Result Run(const std::vector<std::string>& argv, int timeoutMs = 20000) {
        static int n = 0;
        std::string out = dir_.file("run" + std::to_string(++n) + ".out");
        std::string err = dir_.file("run" + std::to_string(n) + ".err");
        Result r;
        pid_t pid = Spawn(argv, out, err);
        if (pid < 0) {
            return r;
        }
        r.code = WaitExitCode(pid, timeoutMs);
        if (r.code == -1 && !Ended(pid)) {
            kill(pid, SIGKILL);
            WaitExitCode(pid, 2000);
        }
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        return r;
    }

    Result Ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {Brannock(), "ctl"});
        return Run(args);
    }

    pid_t StartHost(bool headless = true) {
        std::vector<std::string> argv{Brannock()};
        if (headless) {
            argv.push_back("--headless");
        }
        pid_t pid = Spawn(argv, HostOut(), dir_.file("host.err"));
        hosts_.push_back(pid);
        return pid;
    }

    // The host is up and its plug-in has answered for the button.
    // picture: wait for the button's picture too (a disabled plug-in shows none).
    bool WaitPluginUp(int timeoutMs = 20000, bool picture = true) {
        return WaitUntil(
            [this, picture] {
                Result r = Ctl({"button", "MAIL"});
                return r.code == 0 && r.out.find("plugin: running") != std::string::npos &&
                       (!picture || r.out.find("picture: 16x16") != std::string::npos);
            },
            timeoutMs, 200);
    }

    // Our own nuvex: same program, our folders in its environment.
    pid_t FindNuvex() {
        pid_t found = -1;
        std::string want = "XDG_CONFIG_HOME=" + dir_.path() + "/config";
        DIR* d = opendir("/proc");
        if (!d) {
            return -1;
        }
        while (dirent* e = readdir(d)) {
            pid_t pid = std::atoi(e->d_name);
            if (pid <= 0 || Ended(pid)) {
                continue;
            }
            char exe[4096];
            ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
            if (n <= 0) {
                continue;
            }
            exe[n] = '\0';
            if (std::string(exe).find("/core/nuvex") == std::string::npos) {
                continue;
            }
            std::string env = ReadFile("/proc/" + std::to_string(pid) + "/environ");
            for (std::size_t i = 0; i < env.size();) {
                std::size_t end = env.find('\0', i);
                if (end == std::string::npos) {
                    end = env.size();
                }
                if (env.compare(i, end - i, want) == 0) {
                    found = pid;
                }
                i = end + 1;
            }
        }
        closedir(d);
        return found;
    }

    void SetDisabled(bool disabled) {
        ::mkdir((dir_.path() + "/config/brannock").c_str(), 0700);
        auto reg = OpenSqliteRegistry(dir_.path() + "/config/brannock/registry.db");
        ASSERT_TRUE(reg);
        if (disabled) {
            ASSERT_TRUE(WriteRegString(*reg, RegRoot::HKLM, "Software\\Brannock\\PlugIns\\MAIL", "DISABLED",
                                       true, "1"));
        } else {
            reg->DeleteValue(RegRoot::HKLM, NormalizeKeyPath("Software\\Brannock\\PlugIns\\MAIL"),
                             "DISABLED");
        }
    }

    std::string HostOut() const { return dir_.file("host.out"); }
    std::string Navigations() const { return ReadFile(navFile_); }

    test::TempDir dir_;
    std::string navFile_;
    std::vector<pid_t> hosts_;
};

// The plug-in ticks every 250 ms instead of every 5 s (the hourly and
// 15-second rules of the checks stay as they are) and logs what its
// notification window would show; the button is read back through the host.
class TickingE2eTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        setenv("NUVEX_TICK_MS", "250", 1);
        notifyLog_ = dir_.file("notify.log");
        setenv("NUVEX_NOTIFY_LOG", notifyLog_.c_str(), 1);
    }
    void TearDown() override {
        E2eTest::TearDown();
        unsetenv("NUVEX_TICK_MS");
        unsetenv("NUVEX_NOTIFY_LOG");
    }

    std::string Button() { return Ctl({"button", "MAIL"}).out; }
    bool WaitCaption(const std::string& caption, int timeoutMs = 30000) {
        return WaitUntil([&] { return Field(Button(), "caption") == caption; }, timeoutMs, 100);
    }
    void CheckAll() { ASSERT_EQ(Ctl({"command", "MAIL", "CHECK_ALL"}).code, 0); }
    std::string NotifyLog() const { return ReadFile(notifyLog_); }

    std::string notifyLog_;
};

inline double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

} // namespace nuvex::e2e
