// The check scheduler: one pass at a time on a worker, its result back on the
// GUI thread, and a stop that waits for the worker only as long as it is told
// and drops the result of a pass it has reaped.
#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "core/check_scheduler.h"
#include "core/reload_coalescer.h"
#include "lib/clock.h"
#include "tests/support/time_scale.h"
#include "tests/ui/ui_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace nuvex {
namespace {

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new test::QtEnvironment);

class CheckSchedulerTest : public ::testing::Test {
protected:
    TAccountList accounts;
    TCheckCycle cycle{accounts};
    std::vector<TickResult> results;
    TCheckScheduler scheduler{cycle, [this](const TickResult& r) { results.push_back(r); }};

    void WaitDelivered() {
        QElapsedTimer t;
        t.start();
        while (scheduler.PassOut() && t.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
};

// Reload requests on a fake clock, the owner's one-shot timer played by hand.
class ReloadCoalescerTest : public ::testing::Test {
protected:
    void SetUp() override { SetDefaultClock(&clock); }
    void TearDown() override { SetDefaultClock(nullptr); }
    // Runs the clock to `until` ms in 10 ms steps, requesting at the times given.
    void Run(const std::vector<int>& requests, int until) {
        std::size_t next = 0;
        for (int t = 0; t <= until; t += 10, clock.AdvanceMs(10)) {
            while (next < requests.size() && requests[next] <= t) {
                coalescer.Request();
                ++next;
            }
            if (dueAt >= 0 && t >= dueAt) {
                dueAt = -1;
                coalescer.Fire();
            }
            now = t + 10;
        }
    }
    FakeClock clock{0};
    int now = 0;
    int dueAt = -1;
    std::vector<int> reloadsAt;
    std::function<void()> duringReload;
    TReloadCoalescer coalescer{150, 1000,
                               [this] {
                                   reloadsAt.push_back(now);
                                   if (duringReload) {
                                       duringReload();
                                   }
                               },
                               [this](int delayMs) { dueAt = now + delayMs; }};
};

TEST_F(ReloadCoalescerTest, RequestsCloseTogetherMakeOneReloadAndAStreamStillReloads) {
    const struct {
        const char* name;
        std::vector<int> requests;
        std::vector<int> reloadsAt;
    } rows[] = {
        {"one request waits out the settle time", {0}, {150}},
        {"a burst is one reload", {0, 40, 80, 120, 160, 200}, {350}},
        {"requests apart are apart", {0, 500}, {150, 650}},
        {"a steady stream reloads at the longest wait",
         {0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100},
         {1000, 1250}},
    };
    for (const auto& row : rows) {
        clock = FakeClock{0};
        now = 0;
        dueAt = -1;
        reloadsAt.clear();
        Run(row.requests, 3000);
        EXPECT_EQ(reloadsAt, row.reloadsAt) << row.name;
        EXPECT_FALSE(coalescer.Pending()) << row.name;
    }
}

TEST_F(ReloadCoalescerTest, RequestsDuringAReloadMakeOneMoreAtMost) {
    duringReload = [this] {
        duringReload = nullptr;
        coalescer.Request();
        coalescer.Request();
        coalescer.Request();
    };
    Run({0}, 2000);
    EXPECT_EQ(reloadsAt, (std::vector<int>{150, 300}));
}

// A command right after "refresh" (add an account, then check all) acts on
// what was stored: the waiting reload runs at once, and only once.
TEST_F(ReloadCoalescerTest, FlushRunsTheWaitingReloadNow) {
    coalescer.Flush();
    EXPECT_TRUE(reloadsAt.empty()) << "nothing was asked for";
    coalescer.Request();
    coalescer.Flush();
    EXPECT_EQ(reloadsAt, std::vector<int>{0});
    EXPECT_FALSE(coalescer.Pending());
    Run({}, 1000);
    EXPECT_EQ(reloadsAt, std::vector<int>{0}) << "the timer finds nothing left";
}

TEST_F(CheckSchedulerTest, OnePassAtATimeAndItsResultComesBackThroughTheEventLoop) {
    cycle.SetNextTick(0);
    ASSERT_TRUE(scheduler.StartPass({}, {}));
    EXPECT_FALSE(scheduler.StartPass({}, {}));
    EXPECT_TRUE(results.empty()); // not on the worker's own time
    WaitDelivered();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].ran);
    EXPECT_TRUE(scheduler.StartPass({}, {}));
    WaitDelivered();
    EXPECT_EQ(results.size(), 2u);
}

TEST_F(CheckSchedulerTest, StopWaitsOnlyAsLongAsToldAndDropsTheReapedResult) {
    // Something holds the list's lock: the pass cannot get on.
    std::atomic<bool> release{false};
    std::promise<void> held;
    std::thread holder([&] {
        CriticHold hold(accounts.AccountLock, CriticHold::Mode::Exclusive, kWaitForever);
        held.set_value();
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    held.get_future().wait();
    cycle.SetNextTick(0);
    ASSERT_TRUE(scheduler.StartPass({}, {}));
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(scheduler.Stop(100));
    EXPECT_LT(t.elapsed(), nuvex::test::ScaledMs(1000));
    EXPECT_TRUE(scheduler.Signal().Raised());
    release = true;
    holder.join();
    EXPECT_TRUE(scheduler.Stop(5000));
    EXPECT_FALSE(scheduler.PassOut());
    QCoreApplication::processEvents();
    EXPECT_TRUE(results.empty());
    EXPECT_FALSE(scheduler.StartPass({}, {})); // stopped for good
}

TEST_F(CheckSchedulerTest, CheckNowIsNotRepeatedWhileOneThatCoversItIsPending) {
    EXPECT_EQ(scheduler.CheckNowTarget(), TCheckScheduler::kNoCheckPending);
    EXPECT_TRUE(scheduler.CheckNowIfIdle("POP3_1"));
    EXPECT_FALSE(scheduler.CheckNowIfIdle("POP3_1"));
    EXPECT_TRUE(scheduler.CheckNowIfIdle(""));
    EXPECT_FALSE(scheduler.CheckNowIfIdle("POP3_2")); // all accounts are already asked for
    cycle.SetNextTick(0);
    ASSERT_TRUE(scheduler.StartPass({}, {}));
    WaitDelivered();
    EXPECT_EQ(scheduler.CheckNowTarget(), TCheckScheduler::kNoCheckPending);
}

TEST_F(CheckSchedulerTest, CheckAccountNowStartsAPassAtOnceOrRightAfterTheOneOut) {
    int starts = 0;
    scheduler.SetPassStarter([&] {
        ++starts;
        scheduler.StartPass({}, {});
    });
    cycle.SetNextTick(Now() + 1.0);
    scheduler.CheckAccountNow("POP3_1");
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(scheduler.PassOut());
    scheduler.CheckAccountNow("POP3_1"); // the pass out may have checked it already
    EXPECT_EQ(starts, 1);
    WaitDelivered();
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(results.size(), 2u);
    EXPECT_EQ(scheduler.CheckNowTarget(), TCheckScheduler::kNoCheckPending); // not the user's check
}

} // namespace
} // namespace nuvex
