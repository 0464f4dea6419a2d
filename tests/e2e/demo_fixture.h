#pragma once
// Runs scripts/demo.sh as a newcomer would, in a private TMPDIR, and reads
// what it announces (its profile folder, its mail server's port).
#include "tests/e2e/e2e_harness.h"
#include "tests/support/dovecot_harness.h"

namespace nuvex::e2e {

// Processes whose environment holds this exact line.
inline std::vector<pid_t> ProcessesWithEnv(const std::string& line) {
    std::vector<pid_t> found;
    DIR* d = opendir("/proc");
    if (!d) {
        return found;
    }
    while (dirent* e = readdir(d)) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0 || pid == getpid() || Ended(pid)) {
            continue;
        }
        const std::string env = ReadFile("/proc/" + std::to_string(pid) + "/environ");
        for (std::size_t i = 0; i < env.size();) {
            std::size_t end = env.find('\0', i);
            if (end == std::string::npos) {
                end = env.size();
            }
            if (env.compare(i, end - i, line) == 0) {
                found.push_back(pid);
            }
            i = end + 1;
        }
    }
    closedir(d);
    return found;
}

inline bool Accepts(int port) {
    return test::LoopbackAccepts(port);
}

class DemoScriptTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        std::string why = test::DovecotHarness::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << "dovecot unavailable: " << why;
        }
        tmp_ = dir_.path() + "/tmp";
        ::mkdir(tmp_.c_str(), 0711);
        // The mail server's own users pass through to the profile, as through /tmp.
        ::chmod(dir_.path().c_str(), 0711);
        setenv("TMPDIR", tmp_.c_str(), 1);
        setenv("NUVEX_DEMO_INTERVAL", "3", 1);
    }
    void TearDown() override {
        if (demo_ > 0 && !Ended(demo_)) {
            kill(demo_, SIGINT);
            WaitExitCode(demo_, 20000);
        }
        E2eTest::TearDown();
        unsetenv("TMPDIR");
        unsetenv("NUVEX_DEMO_INTERVAL");
    }

    std::string Out() const { return ReadFile(out_); }

    // The profile folder the demo announced.
    std::string Profile() const {
        const std::string out = Out();
        const std::string start = "demo: profile ";
        const std::size_t at = out.find(start);
        if (at == std::string::npos) {
            return {};
        }
        const std::size_t end = out.find(' ', at + start.size());
        return out.substr(at + start.size(), end - at - start.size());
    }

    // The mail server's port the demo announced.
    int Port() const {
        const std::string out = Out();
        const std::string start = "POP3 server on 127.0.0.1:";
        const std::size_t at = out.find(start);
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + start.size());
    }

    std::string tmp_;
    std::string out_;
    pid_t demo_ = -1;
};

} // namespace nuvex::e2e
