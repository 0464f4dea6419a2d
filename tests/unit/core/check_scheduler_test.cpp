// The check scheduler: one pass at a time on a worker, its result back on the
// GUI thread, and a stop that waits for the worker only as long as it is told
// and drops the result of a pass it has reaped.
#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "core/check_scheduler.h"
#include "lib/clock.h"
#include "tests/support/time_scale.h"
#include "tests/ui/ui_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>

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

} // namespace
} // namespace nuvex
