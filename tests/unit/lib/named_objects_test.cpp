#include "lib/named_objects.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nuvex {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

class NamedObjectsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::make_unique<test::TempDir>();
        objects_ = dir_->file("objects");
        ::setenv("NUVEX_OBJECTS_DIR", objects_.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("NUVEX_OBJECTS_DIR"); }

    // Runs child in a forked process and answers its exit code (-1: killed).
    template <typename Fn> static int InChild(Fn child) {
        pid_t pid = fork();
        if (pid == 0) {
            _exit(child());
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::unique_ptr<test::TempDir> dir_;
    std::string objects_;
};

TEST_F(NamedObjectsTest, ManualEventStaysSetUntilReset) {
    auto a = OpenOrCreateEvent("RI4Stop", true, false);
    auto b = OpenOrCreateEvent("RI4Stop", false, true); // flags of an existing event are ignored
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(b->TryWait());
    a->Set();
    EXPECT_TRUE(b->TryWait());
    EXPECT_TRUE(b->TryWait());
    EXPECT_TRUE(a->Wait(0));
    b->Reset();
    EXPECT_FALSE(a->TryWait());
}

TEST_F(NamedObjectsTest, AutoEventIsConsumedOnce) {
    auto a = OpenOrCreateEvent("RI4Shutdown_MAIL", false, true);
    auto b = OpenOrCreateEvent("RI4Shutdown_MAIL", false, false);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(b->TryWait()); // initially set
    EXPECT_FALSE(a->TryWait());
    a->Set();
    a->Set();
    EXPECT_TRUE(b->Wait(100));
    EXPECT_FALSE(a->Wait(0));
}

TEST_F(NamedObjectsTest, WaitBlocksUntilSetOrTimesOut) {
    auto ev = OpenOrCreateEvent("MAIL_Refresh_Cfg", false, false);
    ASSERT_TRUE(ev);
    auto start = SteadyClock::now();
    EXPECT_FALSE(ev->Wait(80));
    EXPECT_GE(SteadyClock::now() - start, 75ms);

    auto waiter = std::async(std::launch::async, [&] {
        auto other = OpenOrCreateEvent("MAIL_Refresh_Cfg", false, false);
        return other && other->Wait(-1);
    });
    EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
    start = SteadyClock::now();
    ev->Set();
    ASSERT_EQ(waiter.wait_for(2s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_LT(SteadyClock::now() - start, nuvex::test::Scaled(500ms));
    EXPECT_FALSE(ev->TryWait()); // the waiter consumed it
}

// A watcher blocked without a time-out must be able to leave, and its leaving
// must not take or hide a signal meant for another handle of the event.
TEST_F(NamedObjectsTest, InterruptEndsOnlyThisHandlesWaits) {
    auto mine = OpenOrCreateEvent("RI4Stop", false, false);
    auto other = OpenOrCreateEvent("RI4Stop", false, false);
    ASSERT_TRUE(mine && other);
    auto blocked = std::async(std::launch::async, [&] { return mine->Wait(-1); });
    auto otherWait = std::async(std::launch::async, [&] { return other->Wait(2000); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    const auto start = SteadyClock::now();
    mine->Interrupt();
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(blocked.get());
    EXPECT_LT(SteadyClock::now() - start, nuvex::test::Scaled(500ms));
    EXPECT_FALSE(mine->Wait(-1)); // later waits end at once too
    // The other handle's waiter is still waiting and takes the next signal.
    EXPECT_EQ(otherWait.wait_for(50ms), std::future_status::timeout);
    mine->Set();
    ASSERT_EQ(otherWait.wait_for(2s), std::future_status::ready);
    EXPECT_TRUE(otherWait.get());
}

TEST_F(NamedObjectsTest, PulseReleasesPresentWaitersAndLeavesClear) {
    for (bool manual : {true, false}) {
        std::string name = manual ? "PulseManual" : "PulseAuto";
        auto ev = OpenOrCreateEvent(name, manual, false);
        ASSERT_TRUE(ev);
        std::atomic<int> released{0};
        std::atomic<int> waiting{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; ++i) {
            threads.emplace_back([&] {
                auto mine = OpenOrCreateEvent(name, manual, false);
                ++waiting;
                if (mine && mine->Wait(700)) {
                    ++released;
                }
            });
        }
        while (waiting < 3) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(100ms); // let all three reach the wait
        ev->Pulse();
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(released.load(), manual ? 3 : 1) << name;
        EXPECT_FALSE(ev->TryWait()) << name;
    }
}

// A waiter killed mid-wait never takes itself off. A Pulse that finds only
// that dead waiter must owe nothing, or a later auto-reset Pulse would release
// two live waiters at once.
TEST_F(NamedObjectsTest, KilledWaiterDoesNotMakeALaterPulseReleaseTwo) {
    auto ev = OpenOrCreateEvent("RI4StopWNotify", false, false);
    ASSERT_TRUE(ev);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        auto mine = OpenOrCreateEvent("RI4StopWNotify", false, false);
        [[maybe_unused]] auto n = ::write(ready[1], "w", 1);
        _exit(mine && mine->Wait(10'000) ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    std::this_thread::sleep_for(150ms); // into the wait
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ev->Pulse(); // nobody alive to release

    std::atomic<int> released{0};
    std::atomic<int> waiting{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            auto mine = OpenOrCreateEvent("RI4StopWNotify", false, false);
            ++waiting;
            if (mine && mine->Wait(800)) {
                ++released;
            }
        });
    }
    while (waiting < 2) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(150ms);
    ev->Pulse();
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(released.load(), 1);
}

TEST_F(NamedObjectsTest, EventCrossesProcesses) {
    auto done = OpenOrCreateEvent("NuvexSendTo42", true, false);
    auto go = OpenOrCreateEvent("GoAuto", false, false);
    ASSERT_TRUE(done && go);
    go->Set();
    int code = InChild([] {
        auto go = OpenOrCreateEvent("GoAuto", false, false);
        auto done = OpenOrCreateEvent("NuvexSendTo42", true, false);
        if (!go || !done) {
            return 10;
        }
        if (!go->TryWait()) {
            return 11; // set in the parent, seen here
        }
        if (go->TryWait()) {
            return 12; // consumed once
        }
        done->Set();
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(done->TryWait());
    EXPECT_FALSE(go->TryWait()); // consumed by the child
}

TEST_F(NamedObjectsTest, WaiterInAnotherProcessWakesOnSet) {
    auto ev = OpenOrCreateEvent("CrossWait", false, false);
    ASSERT_TRUE(ev);
    pid_t pid = fork();
    if (pid == 0) {
        auto mine = OpenOrCreateEvent("CrossWait", false, false);
        _exit(mine && mine->Wait(5000) ? 0 : 1);
    }
    std::this_thread::sleep_for(100ms);
    auto start = SteadyClock::now();
    ev->Set();
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LT(SteadyClock::now() - start, 2s);
}

TEST_F(NamedObjectsTest, MutexOwnerRetakesOthersWait) {
    auto mtx = OpenOrCreateMutex("MAIL_App_RunMtx");
    ASSERT_TRUE(mtx);
    ASSERT_TRUE(mtx->Lock(0));
    EXPECT_TRUE(mtx->Lock(0));
    auto otherTry = [] {
        auto other = OpenOrCreateMutex("MAIL_App_RunMtx");
        bool got = other && other->Lock(0);
        if (got) {
            other->Unlock();
        }
        return got;
    };
    EXPECT_FALSE(std::async(std::launch::async, otherTry).get());
    mtx->Unlock();
    EXPECT_FALSE(std::async(std::launch::async, otherTry).get()); // still held once
    auto start = SteadyClock::now();
    EXPECT_FALSE(std::async(std::launch::async, [] {
                     auto other = OpenOrCreateMutex("MAIL_App_RunMtx");
                     return other && other->Lock(80);
                 }).get());
    EXPECT_GE(SteadyClock::now() - start, 75ms);
    mtx->Unlock();
    EXPECT_TRUE(std::async(std::launch::async, otherTry).get());
}

TEST_F(NamedObjectsTest, MutexOfAKilledHolderCanBeTaken) {
    auto mtx = OpenOrCreateMutex("RI4WizardMtx");
    ASSERT_TRUE(mtx);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        auto mine = OpenOrCreateMutex("RI4WizardMtx");
        char ok = mine && mine->Lock(0) ? 'y' : 'n';
        (void)!::write(fds[1], &ok, 1);
        for (;;) {
            ::pause();
        }
    }
    char answer = 0;
    ASSERT_EQ(::read(fds[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    EXPECT_FALSE(mtx->Lock(0));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(mtx->Lock(1000));
    mtx->Unlock();
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(NamedObjectsTest, FolderAndFilesAreUserOnlyAndNamesStayInside) {
    auto ev = OpenOrCreateEvent("../../escape/..", true, false);
    ASSERT_TRUE(ev);
    struct stat st {};
    ASSERT_EQ(::stat(objects_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(objects_)) {
        ++files;
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(entry.path().filename().string().find('/'), std::string::npos);
    }
    EXPECT_EQ(files, 1);
    EXPECT_FALSE(std::filesystem::exists(dir_->file("escape")));
    EXPECT_EQ(NamedObjectsDir(), objects_);
    EXPECT_EQ(OpenOrCreateEvent("", true, false), nullptr);
    EXPECT_TRUE(OpenOrCreateMutex(std::string(500, 'x'))); // overlong names still work
}

TEST_F(NamedObjectsTest, ObjectEndsWithItsLastHandle) {
    {
        auto ev = OpenOrCreateEvent("RI4StopOpt", true, false);
        ASSERT_TRUE(ev);
        ev->Set();
        auto second = OpenOrCreateEvent("RI4StopOpt", true, false);
        ASSERT_TRUE(second);
    }
    // A new start finds no signal left over from the last session.
    auto fresh = OpenOrCreateEvent("RI4StopOpt", true, false);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->TryWait());
    fresh.reset();
    EXPECT_TRUE(std::filesystem::is_empty(objects_));
}

// Windows names these objects per login session, and the bus is per session:
// one folder per bus address (its guid aside), user-only, under the runtime dir.
TEST_F(NamedObjectsTest, DefaultFolderIsPerSessionUnderTheRuntimeDir) {
    // Each guard puts its variable back when the test ends.
    test::ScopedEnv objects("NUVEX_OBJECTS_DIR", ""), runtime("XDG_RUNTIME_DIR", dir_->path()),
        bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/tmp/bus-a,guid=0123456789abcdef"), x11("DISPLAY", ":7");
    ::unsetenv("NUVEX_OBJECTS_DIR");
    const std::string a = NamedObjectsDir();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/tmp/bus-a", 1);
    const std::string sameBus = NamedObjectsDir();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/tmp/bus-b,guid=0123456789abcdef", 1);
    const std::string b = NamedObjectsDir();
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string byDisplay = NamedObjectsDir();

    const std::string base = dir_->file("nuvex-objects") + "/";
    for (const std::string& dir : {a, b, byDisplay}) {
        ASSERT_EQ(dir.rfind(base, 0), 0u) << dir;
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
    }
    EXPECT_EQ(a, sameBus);
    EXPECT_NE(a, b);
    EXPECT_NE(a, byDisplay);
    EXPECT_NE(b, byDisplay);
}

} // namespace
} // namespace nuvex
