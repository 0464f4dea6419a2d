#include "lib/log.h"
#include "lib/stop_signal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nuvex {
namespace {

std::vector<std::string> g_lines;

void RecordingSink(log::Level level, std::string_view area, std::string_view text) {
    g_lines.push_back(std::to_string(static_cast<int>(level)) + "|" + std::string(area) + "|" +
                      std::string(text));
}

struct SinkGuard {
    SinkGuard() {
        g_lines.clear();
        log::SetSink(&RecordingSink);
    }
    ~SinkGuard() { log::SetSink(nullptr); }
};

TEST(Log, CaughtNamesTheExceptionText) {
    SinkGuard guard;
    try {
        throw std::runtime_error("disk full");
    } catch (...) {
        log::Caught("registry", "writing HKCU\\Software");
    }
    try {
        throw 42;
    } catch (...) {
        log::Caught("check", "Pop3_0");
    }
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], "2|registry|writing HKCU\\Software: disk full");
    EXPECT_EQ(g_lines[1], "2|check|Pop3_0: unknown exception");
    EXPECT_EQ(log::CurrentExceptionText(), "");
}

// A typo in an area would open a category no rule knows; lines name declared areas only.
static_assert(log::IsArea("browser") && !log::IsArea("browsr") && !log::IsArea(""));

TEST(Log, RunIsolatedLeavesOneLineNamingTheFailedStep) {
    SinkGuard guard;
    int ran = 0;
    EXPECT_TRUE(log::RunIsolated("plugin", "tray icon", [&] { ++ran; }));
    EXPECT_FALSE(log::RunIsolated("editor", "storing the new account", [&] {
        ++ran;
        throw std::runtime_error("host gone");
    }));
    EXPECT_FALSE(log::RunIsolated("plugin", "sound", [] { throw 7; }));
    EXPECT_EQ(ran, 2);
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], "2|editor|storing the new account: host gone");
    EXPECT_EQ(g_lines[1], "2|plugin|sound: unknown exception");
}

TEST(StopSignal, FdPollsReadableOnlyOnceRaisedFromAnotherThread) {
    StopSignal stop;
    ASSERT_GE(stop.Fd(), 0);
    pollfd p{stop.Fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_FALSE(stop.Raised());
    std::thread raiser([&] { stop.Raise(); });
    EXPECT_EQ(::poll(&p, 1, 5000), 1);
    raiser.join();
    EXPECT_TRUE(stop.Raised());
    stop.Raise(); // twice is harmless
    EXPECT_EQ(::poll(&p, 1, 0), 1);
}

} // namespace
} // namespace nuvex
