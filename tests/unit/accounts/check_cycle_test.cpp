// The tick's two passes with fake connectors on a fake clock.
#include "accounts/account_list.h"
#include "accounts/check_cycle.h"
#include "accounts/generic_connector.h"
#include "accounts/stop_events.h"
#include "lib/clock.h"
#include "lib/log.h"
#include "lib/named_objects.h"
#include "lib/registry.h"
#include "lib/stop_signal.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <thread>

namespace nuvex {
namespace {

// What the next CheckMail of a fake account does.
struct Outcome {
    int status = kStatusOk;
    std::int32_t error = kErrorNone;
    std::int32_t unread = 0;
    std::int32_t fresh = 0;
    bool raise = false;
    int busyMs = 0;                     // how long the check takes
    const StopSignal* waitOn = nullptr; // the check blocks until this is raised (at most 10 s)
};

// How many fake checks run at the same moment, and the most seen.
struct InFlight {
    std::atomic<int> now{0};
    std::atomic<int> most{0};
    void Enter() {
        int n = ++now;
        for (int seen = most.load(); n > seen && !most.compare_exchange_weak(seen, n);) {
        }
    }
    void Leave() { --now; }
};

class FakeConnector final : public TNuvex_GenericConnector {
public:
    using TNuvex_GenericConnector::TNuvex_GenericConnector;
    int CheckMail() override {
        ++checks;
        thread = std::this_thread::get_id();
        if (inFlight) {
            inFlight->Enter();
        }
        if (next.busyMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(next.busyMs));
        }
        if (next.waitOn) {
            pollfd fd{next.waitOn->Fd(), POLLIN, 0};
            ::poll(&fd, 1, 10'000);
        }
        if (inFlight) {
            inFlight->Leave();
        }
        LastCheck = Now();
        if (next.raise) {
            throw std::runtime_error("connector bug");
        }
        ErrorCode = next.error;
        if (next.status == kStatusOk) {
            UnreadCount = next.unread;
            NewCount = next.fresh;
        }
        return next.status;
    }
    void AddNotifyItems(TNotifyMessages& list, bool force) override {
        TNuvex_GenericConnector::AddNotifyItems(list, force);
        for (int i = 0; i < NewCount; ++i) {
            TNotifyMessageItem item;
            item.ItemKind = kNotifyMessage;
            item.Subject = AccountId + " message";
            list.Add(item);
        }
    }
    Outcome next;
    std::atomic<int> checks{0};
    InFlight* inFlight = nullptr;
    std::thread::id thread; // where the last check ran
};

constexpr TConnectorClass kFakeClass{
    .typeCode = "FAKE",
    .caps = kCapChecks,
    .newInstance = NewConnector<FakeConnector>,
};

class CheckCycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDefaultClock(&clock);
        SetProcessRegistry(registry.get());
    }
    void TearDown() override {
        SetDefaultClock(nullptr);
        SetProcessRegistry(nullptr);
    }

    FakeConnector& Add(const std::string& id, int minutes = 15) {
        auto account = fakeClass.Create(context);
        account->SetAccountId(id);
        account->Email = id + "@example.org";
        account->SetCheckMinutes(minutes);
        auto* raw = static_cast<FakeConnector*>(account.get());
        EXPECT_TRUE(list.AddAccount(std::move(account)));
        return *raw;
    }

    TickResult Tick(StopPredicate stop = {}) { return cycle.Tick(settings, stop); }
    void Advance(double days) { clock.AdvanceMs(static_cast<std::uint64_t>(days * 86'400'000.0)); }

    FakeClock clock;
    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    const TConnectorClass& fakeClass = kFakeClass;
    AccountContext context;
    TAccountList list;
    TCheckCycle cycle{list};
    TickSettings settings;
};

TEST_F(CheckCycleTest, NewMailIsGatheredWithTotalsAndChoices) {
    auto& a = Add("FAKE_0");
    auto& b = Add("FAKE_1");
    a.next = {kStatusOk, 0, 3, 3};
    b.next = {kStatusOk, 0, 2, 0};
    TickResult r = Tick();
    ASSERT_TRUE(r.ranPass2);
    EXPECT_EQ(r.totalUnread, 5);
    EXPECT_EQ(r.totalNew, 3);
    EXPECT_FALSE(r.force);
    ASSERT_EQ(r.messages.Count(), 4); // a's summary and three messages; b has nothing new
    EXPECT_EQ(r.messages.Item(0).Sender, "FAKE_0@example.org");
    EXPECT_TRUE(r.errors.Empty());
    EXPECT_TRUE(r.showWindow && r.playSound && r.changeTray);
    EXPECT_TRUE(r.HasNews());
    EXPECT_DOUBLE_EQ(a.LastCheck, cycle.NextTick()); // the tick stamp
}

// A slow account holds back nobody else's news: each account is announced
// when its own check ends, and the tick's result keeps only the totals.
TEST_F(CheckCycleTest, EachAccountIsAnnouncedWhenItsOwnCheckEnds) {
    for (int parallel : {4, 1}) {
        SCOPED_TRACE(parallel);
        StopSignal release;
        auto& slow = Add("SLOW_" + std::to_string(parallel));
        auto& quick = Add("QUICK_" + std::to_string(parallel));
        auto& broken = Add("BROKEN_" + std::to_string(parallel));
        slow.next = {kStatusOk, 0, 1, 1, false, 0, parallel > 1 ? &release : nullptr};
        quick.next = {kStatusOk, 0, 2, 2};
        broken.next = {kStatusFailed, kErrorLogin};
        cycle.SetParallelChecks(parallel);
        std::mutex mutex;
        std::vector<TickResult> announced;
        auto started = std::chrono::steady_clock::now();
        TickResult r = cycle.Tick(settings, {}, [&](const TickResult& news) {
            std::lock_guard lock(mutex);
            announced.push_back(news);
            if (news.totalNew == 2) {
                release.Raise(); // the slow check ends only once the quick one is out
            }
        });
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        ASSERT_EQ(announced.size(), 3u);
        std::sort(announced.begin(), announced.end(),
                  [](const TickResult& a, const TickResult& b) { return a.totalNew > b.totalNew; });
        EXPECT_EQ(announced[0].messages.Count(), 3); // summary and two messages
        EXPECT_TRUE(announced[0].playSound && announced[0].showWindow);
        EXPECT_EQ(announced[1].totalNew, 1);
        EXPECT_EQ(announced[2].errors.Count(), 1);
        EXPECT_TRUE(announced[2].messages.Empty());
        EXPECT_TRUE(r.ranPass2);
        EXPECT_EQ(r.totalUnread, 3);
        EXPECT_FALSE(r.HasNews() || r.playSound || r.showWindow);
        list.FreeAccounts();
        clock.AdvanceMs(16'000);
    }
}

TEST_F(CheckCycleTest, TicksComeAtMostEveryFifteenSecondsAndAccountsOnTheirPeriod) {
    auto& a = Add("FAKE_0", 1);
    Tick();
    EXPECT_EQ(a.checks, 1);
    EXPECT_FALSE(Tick().ran);
    clock.AdvanceMs(16'000);
    EXPECT_TRUE(Tick().ran);
    EXPECT_EQ(a.checks, 1); // not due yet
    clock.AdvanceMs(60'000);
    Tick();
    EXPECT_EQ(a.checks, 2);
}

TEST_F(CheckCycleTest, ZeroOrNegativePeriodIsRepairedAtTheFirstCheck) {
    for (int minutes : {0, -5}) {
        auto& a = Add("FAKE_" + std::to_string(-minutes), minutes);
        clock.AdvanceMs(16'000);
        Tick();
        EXPECT_EQ(a.checks, 1) << minutes;
        EXPECT_EQ(a.CheckMinutes, 15) << minutes;
        clock.AdvanceMs(16'000);
        Tick();
        EXPECT_EQ(a.checks, 1) << minutes;
    }
}

TEST_F(CheckCycleTest, MailDeletedElsewhereDoesNotCancelAnotherAccountsNews) {
    auto& a = Add("FAKE_0");
    auto& b = Add("FAKE_1");
    a.next = {kStatusOk, 0, 3, 3};
    b.next = {kStatusOk, 0, 0, -3};
    TickResult r = Tick();
    EXPECT_EQ(r.totalNew, 3);
    EXPECT_EQ(r.totalUnread, 3);
}

TEST_F(CheckCycleTest, EveryFailedCheckLeavesALogLineWithIdAndClass) {
    static std::vector<std::string> lines;
    lines.clear();
    log::SetSink([](log::Level, std::string_view area, std::string_view text) {
        lines.push_back(std::string(area) + ": " + std::string(text));
    });
    auto& a = Add("FAKE_0", 1);
    a.next = {kStatusFailed, kErrorUnreachable};
    Tick();
    Advance(2 * kOneMinute);
    Tick(); // throttled for the user, still logged
    log::SetSink(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "check: check of FAKE_0 failed: Server is not available. Check your Internet connection. "
              "[class 1]");
    EXPECT_EQ(lines[0], lines[1]);
}

TEST_F(CheckCycleTest, UnreachableIsShownOnceAnHourButLoginErrorsEveryTime) {
    auto& a = Add("FAKE_0", 1);
    auto& b = Add("FAKE_1", 1);
    a.next = {kStatusFailed, kErrorUnreachable};
    b.next = {kStatusFailed, kErrorLogin};
    TickResult r = Tick();
    ASSERT_EQ(r.errors.Count(), 2);
    EXPECT_EQ(r.errors.Item(0).Detail, "Server is not available.\r\nCheck your Internet connection.");
    EXPECT_EQ(r.errors.Item(0).ItemKind, kNotifyError);
    EXPECT_EQ(r.errors.Item(0).AccountRef, "FAKE_0");
    EXPECT_EQ(r.errors.Item(1).Detail, "Invalid login or password.\r\nCheck your account settings.");
    EXPECT_TRUE(r.showWindow);
    Advance(2 * kOneMinute);
    r = Tick();
    ASSERT_EQ(r.errors.Count(), 1);
    EXPECT_EQ(r.errors.Item(0).AccountRef, "FAKE_1");
    Advance(kOneHour);
    r = Tick();
    EXPECT_EQ(r.errors.Count(), 2);
}

TEST_F(CheckCycleTest, ThrottledFailureAloneEndsTheTickAfterPassOne) {
    auto& a = Add("FAKE_0", 1);
    a.next = {kStatusFailed, kErrorUnreachable};
    Tick();
    Advance(2 * kOneMinute);
    TickResult r = Tick();
    EXPECT_TRUE(r.ran);
    EXPECT_FALSE(r.ranPass2);
    EXPECT_FALSE(r.HasNews());
}

TEST_F(CheckCycleTest, CheckNowForcesOneAccountAndSkipsTheThrottle) {
    auto& a = Add("FAKE_0");
    auto& b = Add("FAKE_1");
    a.next = {kStatusFailed, kErrorUnreachable};
    b.next = {kStatusOk, 0, 4, 0};
    Tick();
    clock.AdvanceMs(2000);
    cycle.CheckNow("FAKE_1");
    EXPECT_FALSE(Tick().ran); // the next tick comes one second after CheckNow
    clock.AdvanceMs(1100);
    TickResult r = Tick();
    EXPECT_EQ(a.checks, 1);
    EXPECT_EQ(b.checks, 2);
    EXPECT_TRUE(r.force);
    ASSERT_EQ(r.messages.Count(), 1); // the summary, though nothing is new
    EXPECT_EQ(r.messages.Item(0).Count, 4);
    EXPECT_TRUE(r.showWindow);
    EXPECT_FALSE(b.ManualCheck);

    clock.AdvanceMs(2000);
    cycle.CheckNow("");
    clock.AdvanceMs(1100);
    r = Tick();
    EXPECT_EQ(a.checks, 2);
    ASSERT_EQ(r.errors.Count(), 1); // within the hour, yet shown: the user asked
}

TEST_F(CheckCycleTest, PushedNewsChecksThatAccountAtOnceWithoutForcing) {
    auto& a = Add("FAKE_0");
    auto& b = Add("FAKE_1");
    a.next = {kStatusOk, 0, 1, 0};
    b.next = {kStatusOk, 0, 4, 0};
    Tick();
    clock.AdvanceMs(2000);
    cycle.DueNow("FAKE_1");
    TickResult r = Tick(); // no one-second delay
    EXPECT_TRUE(r.ran);
    EXPECT_EQ(a.checks, 1);
    EXPECT_EQ(b.checks, 2);
    EXPECT_FALSE(r.force);
    EXPECT_TRUE(r.messages.Empty()); // nothing new: nothing shown
}

TEST_F(CheckCycleTest, AccountsWithTheirOwnChoicesAreMerged) {
    auto& a = Add("FAKE_0");
    a.DefaultNotify = false;
    a.NotifyWindow = false;
    a.NotifySound = true;
    a.NotifyTray = false;
    a.next = {kStatusOk, 0, 1, 1};
    settings = {true, false, true};
    TickResult r = Tick();
    EXPECT_FALSE(r.showWindow);
    EXPECT_TRUE(r.playSound);
    EXPECT_FALSE(r.changeTray);
}

TEST_F(CheckCycleTest, StopEventEndsTheTickBetweenAccounts) {
    auto& a = Add("FAKE_0");
    auto& b = Add("FAKE_1");
    a.next = {kStatusOk, 0, 1, 1};
    int asked = 0;
    TickResult r = Tick([&] { return ++asked > 1; });
    EXPECT_TRUE(r.stopped);
    EXPECT_FALSE(r.ranPass2);
    EXPECT_EQ(a.checks, 1);
    EXPECT_EQ(b.checks, 0);
    EXPECT_EQ(a.NewCount, 1); // checked accounts keep their counts
    EXPECT_TRUE(r.messages.Empty());
}

TEST_F(CheckCycleTest, ThrowingAccountIsReportedAndTheOthersAreChecked) {
    auto& a = Add("FAKE_0");
    auto& b = Add("FAKE_1");
    a.next.raise = true;
    b.next = {kStatusOk, 0, 2, 2};
    TickResult r = Tick();
    EXPECT_EQ(b.checks, 1);
    ASSERT_EQ(r.errors.Count(), 1);
    EXPECT_EQ(r.errors.Item(0).Detail, "Unknown error occurred.\r\nCheck your computer settings.");
    EXPECT_EQ(r.totalNew, 2);
}

TEST_F(CheckCycleTest, DisabledAccountsAreNeitherCheckedNorCounted) {
    auto& a = Add("FAKE_0");
    auto& b = Add("FAKE_1");
    a.Enabled = false;
    a.UnreadCount = 9;
    b.next = {kStatusOk, 0, 1, 1};
    TickResult r = Tick();
    EXPECT_EQ(a.checks, 0);
    EXPECT_EQ(r.totalUnread, 1);
}

TEST_F(CheckCycleTest, TickRunsOnAWorkerWhileTheGuiThreadReadsAccounts) {
    auto& a = Add("FAKE_0", 1);
    a.next = {kStatusOk, 0, 1, 1};
    TickResult r;
    std::thread worker([&] { r = Tick(); });
    for (int i = 0; i < 1000; ++i) {
        TNuvex_GenericConnector* found = list.FindAccount("FAKE_0", true);
        ASSERT_NE(found, nullptr);
        std::lock_guard guard(found->Guard());
        (void)found->UnreadCount;
    }
    worker.join();
    EXPECT_EQ(r.totalNew, 1);
}

// Checks of different lengths, news and errors mixed: whatever order the
// checks end in, the entries come in account order, and the pass with four at
// once gives what the pass one after another gives.
TEST_F(CheckCycleTest, ParallelPassKeepsAccountOrderAndEqualsTheSequentialPass) {
    auto run = [](int parallel, int& most) {
        FakeClock clock;
        SetDefaultClock(&clock);
        AccountContext context;
        TAccountList list;
        TCheckCycle cycle{list};
        cycle.SetParallelChecks(parallel);
        InFlight inFlight;
        const struct {
            Outcome next;
            bool enabled;
        } rows[] = {
            {{kStatusOk, 0, 5, 2, false, 60}, true},
            {{kStatusFailed, kErrorLogin, 0, 0, false, 5}, true},
            {{kStatusOk, 0, 1, 1, false, 40}, true},
            {{kStatusOk, 0, 7, 0, false, 1}, true},
            {{kStatusOk, 0, 3, 3, false, 30}, false},
            {{kStatusFailed, kErrorOther, 0, 0, false, 50}, true},
            {{kStatusOk, 0, 0, 0, true, 10}, true},
            {{kStatusOk, 0, 4, 4, false, 0}, true},
            {{kStatusFailed, kErrorUnreachable, 0, 0, false, 20}, true},
        };
        std::vector<FakeConnector*> fakes;
        for (std::size_t i = 0; i < std::size(rows); ++i) {
            auto account = kFakeClass.Create(context);
            account->SetAccountId("FAKE_" + std::to_string(i));
            account->Email = account->AccountId + "@example.org";
            account->Enabled = rows[i].enabled;
            auto* fake = static_cast<FakeConnector*>(account.get());
            fake->next = rows[i].next;
            fake->inFlight = &inFlight;
            fakes.push_back(fake);
            EXPECT_TRUE(list.AddAccount(std::move(account)));
        }
        TickResult r = cycle.Tick(TickSettings{}, {});
        most = inFlight.most.load();
        for (FakeConnector* fake : fakes) {
            EXPECT_EQ(fake->checks.load(), fake->Enabled ? 1 : 0) << fake->AccountId;
            EXPECT_DOUBLE_EQ(fake->LastCheck, fake->Enabled ? cycle.NextTick() : 0) << fake->AccountId;
        }
        SetDefaultClock(nullptr);
        return r;
    };
    auto describe = [](const TNotifyMessages& list) {
        std::string out;
        for (int i = 0; i < list.Count(); ++i) {
            const TNotifyMessageItem& item = list.Item(i);
            out += std::to_string(item.ItemKind) + "|" + item.AccountRef + "|" + item.Sender + "|" +
                   item.Subject + "|" + item.Detail + "\n";
        }
        return out;
    };
    int mostSequential = 0;
    int mostParallel = 0;
    TickResult one = run(1, mostSequential);
    TickResult four = run(4, mostParallel);
    EXPECT_EQ(mostSequential, 1);
    EXPECT_GT(mostParallel, 1);
    EXPECT_LE(mostParallel, 4);

    EXPECT_EQ(describe(four.messages), describe(one.messages));
    EXPECT_EQ(describe(four.errors), describe(one.errors));
    EXPECT_EQ(four.totalNew, one.totalNew);
    EXPECT_EQ(four.totalUnread, one.totalUnread);
    EXPECT_EQ(four.ranPass2, one.ranPass2);
    EXPECT_EQ(one.totalNew, 7);
    EXPECT_EQ(one.totalUnread, 17);
    ASSERT_EQ(one.errors.Count(), 4); // login, other, the throwing one, the first unreachable
    EXPECT_EQ(one.errors.Item(0).AccountRef, "FAKE_1");
    EXPECT_EQ(one.errors.Item(1).AccountRef, "FAKE_5");
    EXPECT_EQ(one.errors.Item(2).AccountRef, "FAKE_6");
    EXPECT_EQ(one.errors.Item(3).AccountRef, "FAKE_8");
    ASSERT_EQ(one.messages.Count(), 10); // three summaries, seven messages
    EXPECT_EQ(one.messages.Item(0).Sender, "FAKE_0@example.org");
    EXPECT_EQ(one.messages.Item(3).Sender, "FAKE_2@example.org");
    EXPECT_EQ(one.messages.Item(5).Sender, "FAKE_7@example.org");
}

// A stop while four checks wait on a silent server ends them all and the
// tick with them, long before any network time-out, and starts no other.
TEST_F(CheckCycleTest, StopDuringAParallelPassEndsEveryCheckInFlight) {
    StopSignal stopSignal;
    InFlight inFlight;
    std::vector<FakeConnector*> fakes;
    for (int i = 0; i < 8; ++i) {
        FakeConnector& fake = Add("FAKE_" + std::to_string(i));
        fake.next.waitOn = &stopSignal;
        fake.inFlight = &inFlight;
        fakes.push_back(&fake);
    }
    cycle.SetParallelChecks(4);
    TickResult r;
    std::thread pass([&] { r = Tick([&] { return stopSignal.Raised(); }); });
    for (int i = 0; i < 500 && inFlight.now.load() < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(inFlight.now.load(), 4);
    const auto raised = std::chrono::steady_clock::now();
    stopSignal.Raise();
    pass.join();
    EXPECT_LT(std::chrono::steady_clock::now() - raised, nuvex::test::Scaled(std::chrono::seconds(2)));
    EXPECT_TRUE(r.stopped);
    EXPECT_TRUE(r.messages.Empty());
    int checked = 0;
    for (FakeConnector* fake : fakes) {
        checked += fake->checks.load();
    }
    EXPECT_EQ(checked, 4);
}

// One account's check is never run twice at once, even with more workers
// than accounts and a second tick asked for while the first runs.
TEST_F(CheckCycleTest, MoreWorkersThanAccountsCheckEachAccountOnce) {
    auto& a = Add("FAKE_0");
    auto& b = Add("FAKE_1");
    a.next.busyMs = 20;
    b.next.busyMs = 20;
    StopSignal release;
    a.next.waitOn = &release;
    b.next.waitOn = &release;
    cycle.SetParallelChecks(16);
    TickResult r;
    std::thread pass([&] { r = Tick(); });
    // Both checks are under way before the second tick is asked for.
    for (int i = 0; i < 1000 && (a.checks.load() == 0 || b.checks.load() == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(Tick().ran); // the tick is not due again while one runs
    release.Raise();
    pass.join();
    EXPECT_EQ(a.checks.load(), 1);
    EXPECT_EQ(b.checks.load(), 1);
    EXPECT_TRUE(r.ran);
}

// The plug-in asks before each tick whether a pass would check anything; a
// list being changed answers yes at once rather than keep the caller waiting.
TEST_F(CheckCycleTest, AnyDueSaysWhetherATickWouldCheckAnAccount) {
    EXPECT_FALSE(cycle.AnyDue()); // no account
    auto& a = Add("FAKE_0", 1);
    EXPECT_TRUE(cycle.AnyDue()); // never checked
    Tick();
    EXPECT_FALSE(cycle.AnyDue());
    Advance(2 * kOneMinute);
    EXPECT_TRUE(cycle.AnyDue());
    a.Enabled = false;
    EXPECT_FALSE(cycle.AnyDue());
    a.Enabled = true;
    Tick();
    EXPECT_FALSE(cycle.AnyDue());
    cycle.CheckNow("FAKE_0");
    EXPECT_TRUE(cycle.AnyDue());
    clock.AdvanceMs(2'000);
    Tick();

    StopSignal held, done;
    std::thread editor([&] {
        CriticHold hold(list.AccountLock, CriticHold::Mode::Exclusive, kWaitForever);
        held.Raise();
        pollfd fd{done.Fd(), POLLIN, 0};
        ::poll(&fd, 1, 10'000);
    });
    pollfd fd{held.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&fd, 1, 10'000), 1);
    EXPECT_TRUE(cycle.AnyDue());
    done.Raise();
    editor.join();
    EXPECT_FALSE(cycle.AnyDue());
}

// Most ticks have one account due or none: they start no threads.
TEST_F(CheckCycleTest, OneDueAccountIsCheckedOnThePassesOwnThread) {
    auto& a = Add("FAKE_0", 1);
    auto& b = Add("FAKE_1", 60);
    cycle.SetParallelChecks(4);
    Tick();
    EXPECT_EQ(a.checks.load(), 1);
    EXPECT_EQ(b.checks.load(), 1);
    Advance(2 * kOneMinute);
    Tick();
    EXPECT_EQ(a.checks.load(), 2);
    EXPECT_EQ(b.checks.load(), 1);
    EXPECT_EQ(a.thread, std::this_thread::get_id());
}

TEST(StopEvents, HostStopAndShutdownEndTheTickAndShutdownStaysSignalled) {
    test::TempDir objects;
    setenv("NUVEX_OBJECTS_DIR", objects.path().c_str(), 1);
    StopPredicate stop = NamedStopEvents();
    EXPECT_FALSE(stop());
    auto shutdown = OpenOrCreateEvent("RI4Shutdown_MAIL", false, false);
    ASSERT_NE(shutdown, nullptr);
    shutdown->Set();
    EXPECT_TRUE(stop());
    // The main loop ends the process on this auto-reset event: the tick's test
    // must not have used the signal up.
    EXPECT_TRUE(shutdown->TryWait());
    auto hostStop = OpenOrCreateEvent("RI4Stop", true, false);
    hostStop->Set();
    EXPECT_TRUE(stop());
    EXPECT_TRUE(stop()); // manual reset: stays signalled
    hostStop->Reset();
    EXPECT_FALSE(stop());
    unsetenv("NUVEX_OBJECTS_DIR");
}

} // namespace
} // namespace nuvex
