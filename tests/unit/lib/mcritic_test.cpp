#include "lib/mcritic.h"
#include "tests/support/time_scale.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace nuvex {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Runs fn on another thread and returns its answer.
template <typename Fn> bool OnOtherThread(Fn fn) {
    return std::async(std::launch::async, fn).get();
}

template <typename Pred> bool WaitFor(Pred pred, std::chrono::milliseconds limit = 2000ms) {
    auto end = SteadyClock::now() + limit;
    while (!pred()) {
        if (SteadyClock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(TMCriticTest, ExclusiveOwnerReentersBothWaysWithoutWaiting) {
    TMCritic lock;
    ASSERT_TRUE(lock.EnterExclusive(0));
    EXPECT_TRUE(lock.EnterExclusive(0));
    EXPECT_TRUE(lock.EnterShared(0));
    EXPECT_EQ(lock.ExclusiveCount(), 2);
    EXPECT_EQ(lock.SharedCount(), 1);
    EXPECT_FALSE(OnOtherThread([&] { return lock.EnterShared(0); }));
    EXPECT_FALSE(OnOtherThread([&] { return lock.EnterExclusive(5); }));
    lock.LeaveShared();
    lock.LeaveExclusive();
    EXPECT_FALSE(OnOtherThread([&] { return lock.EnterShared(0); })); // one exclusive entry still held
    lock.LeaveExclusive();
    EXPECT_TRUE(OnOtherThread([&] {
        bool ok = lock.EnterExclusive(0);
        lock.LeaveExclusive();
        return ok;
    }));
}

TEST(TMCriticTest, ExclusiveEntryGivesUpWhileReaderStaysAndLeavesNoMark) {
    TMCritic lock;
    std::promise<void> release;
    std::atomic<bool> holding{false};
    std::atomic<bool> reentered{false};
    std::thread reader([&] {
        ASSERT_TRUE(lock.EnterShared(0));
        holding = true;
        // While the writer drains, the reader may enter again (it would
        // otherwise deadlock with the writer).
        ASSERT_TRUE(WaitFor([&] { return lock.ExclusiveCount() == 1; }));
        reentered = lock.EnterShared(0);
        lock.LeaveShared();
        release.get_future().wait();
        lock.LeaveShared();
    });
    ASSERT_TRUE(WaitFor([&] { return holding.load(); }));

    std::atomic<bool> newReaderGotIn{true};
    std::thread newcomer([&] {
        ASSERT_TRUE(WaitFor([&] { return lock.ExclusiveCount() == 1; }));
        newReaderGotIn = lock.EnterShared(0); // kept out by the writer's mark
        if (newReaderGotIn) {
            lock.LeaveShared();
        }
    });

    auto start = SteadyClock::now();
    EXPECT_FALSE(lock.EnterExclusive(100));
    auto elapsed = SteadyClock::now() - start;
    EXPECT_GE(elapsed, 95ms);
    EXPECT_LT(elapsed, nuvex::test::Scaled(600ms));
    newcomer.join();
    EXPECT_FALSE(newReaderGotIn.load());
    EXPECT_TRUE(reentered.load());
    EXPECT_EQ(lock.ExclusiveCount(), 0);
    EXPECT_EQ(lock.SharedCount(), 1);
    EXPECT_TRUE(OnOtherThread([&] {
        bool ok = lock.EnterShared(0); // no mark left behind
        lock.LeaveShared();
        return ok;
    }));
    release.set_value();
    reader.join();
    EXPECT_EQ(lock.SharedCount(), 0);
    EXPECT_TRUE(lock.EnterExclusive(0));
    lock.LeaveExclusive();
}

TEST(TMCriticTest, SharedEntriesRunTogether) {
    TMCritic lock;
    constexpr int kThreads = 4;
    std::atomic<int> inside{0};
    std::atomic<int> sawAll{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            ASSERT_TRUE(lock.EnterShared(500));
            ++inside;
            if (WaitFor([&] { return inside.load() == kThreads; })) {
                ++sawAll;
            }
            lock.LeaveShared();
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(sawAll.load(), kThreads);
    EXPECT_EQ(lock.SharedCount(), 0);
}

TEST(TMCriticTest, UnlimitedSharedEntryWaitsForTheWriterAndReturnsHolding) {
    TMCritic lock;
    ASSERT_TRUE(lock.EnterExclusive(0));
    std::atomic<bool> writerLeft{false};
    auto reader = std::async(std::launch::async, [&] {
        bool ok = lock.EnterShared(-1);
        bool afterLeave = writerLeft.load();
        bool holding = lock.SharedCount() == 1;
        if (ok) {
            lock.LeaveShared();
        }
        return ok && afterLeave && holding;
    });
    EXPECT_EQ(reader.wait_for(150ms), std::future_status::timeout);
    writerLeft = true;
    lock.LeaveExclusive();
    EXPECT_TRUE(reader.get());
}

TEST(TMCriticTest, ReaderCannotBecomeWriterAndFailsAtOnce) {
    TMCritic lock;
    ASSERT_TRUE(lock.EnterShared(0));
    auto start = SteadyClock::now();
    EXPECT_FALSE(lock.EnterExclusive(1000));
    EXPECT_LT(SteadyClock::now() - start, nuvex::test::Scaled(100ms));
    EXPECT_EQ(lock.ExclusiveCount(), 0);
    lock.LeaveShared();
}

TEST(TMCriticTest, LeavesNeverGoBelowZero) {
    TMCritic lock;
    lock.LeaveShared();
    lock.LeaveExclusive();
    EXPECT_EQ(lock.SharedCount(), 0);
    EXPECT_EQ(lock.ExclusiveCount(), 0);
    ASSERT_TRUE(lock.EnterExclusive(0));
    lock.LeaveExclusive();
    lock.LeaveExclusive();
    EXPECT_EQ(lock.ExclusiveCount(), 0);
}

TEST(TMCriticTest, DisableFailsEntriesWakesWaitersAndFreezesLeaves) {
    TMCritic lock;
    ASSERT_TRUE(lock.EnterExclusive(0));
    auto waiter = std::async(std::launch::async, [&] { return lock.EnterShared(-1); });
    EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    lock.Disable();
    ASSERT_EQ(waiter.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
    EXPECT_FALSE(lock.EnterExclusive(0)); // even the owner
    EXPECT_FALSE(lock.EnterShared(0));
    lock.LeaveExclusive();
    EXPECT_EQ(lock.ExclusiveCount(), 1);
}

TEST(TMCriticTest, HoldGuardLeavesOnlyWhatItTook) {
    TMCritic lock;
    {
        CriticHold writer(lock, CriticHold::Mode::Exclusive, 0);
        ASSERT_TRUE(writer.Held());
        EXPECT_FALSE(OnOtherThread([&] { return CriticHold(lock, CriticHold::Mode::Shared, 0).Held(); }));
    }
    EXPECT_EQ(lock.ExclusiveCount(), 0);
    EXPECT_TRUE(OnOtherThread([&] { return CriticHold(lock, CriticHold::Mode::Shared, 0).Held(); }));
}

} // namespace
} // namespace nuvex
