#pragma once
// The check scheduler of the mail controller: starts a check pass on a worker
// thread, hands each account's news and then the pass's result back to the GUI
// thread through the event loop, keeps the user's "check now" target and owns
// the plug-in's one stop signal, which every network wait of a check polls.
#include "accounts/check_cycle.h"
#include "lib/stop_signal.h"

#include <QObject>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace nuvex {

class TCheckScheduler : public QObject {
    Q_OBJECT
public:
    // The pass result, on the GUI thread; not called for a pass that was
    // reaped by Stop().
    using Finished = std::function<void(const TickResult&)>;

    // accountDone, when given: each account's news, on the GUI thread, as
    // soon as its check ends; the pass's result then carries only the totals.
    TCheckScheduler(TCheckCycle& cycle, Finished finished, Finished accountDone = {});
    ~TCheckScheduler() override;

    // "Check now" target: none pending, all accounts (""), or one id.
    static inline const std::string kNoCheckPending = "\t";

    // Starts a pass unless one is out; false when one is.
    bool StartPass(const TickSettings& settings, StopPredicate namedStop);
    // True from StartPass until the result has been handed back (or reaped).
    bool PassOut() const { return passOut_; }

    // The user's check of one account (id) or all (""), unless one that
    // covers it is already pending. True when the check was asked for.
    bool CheckNowIfIdle(const std::string& id);
    const std::string& CheckNowTarget() const { return checkNowTarget_; }

    // Checks one account at once (its server pushed new mail) and announces
    // it when that check ends: the pass starts now through the starter, or as
    // soon as the pass that is out has ended.
    void CheckAccountNow(const std::string& id);
    // How the controller starts a pass with its own settings.
    void SetPassStarter(std::function<void()> start) { starter_ = std::move(start); }

    // Raises the stop signal (it stays raised) and waits up to waitMs for the
    // worker to end. True when no worker is left; the pass's result is then
    // dropped. Never pumps events.
    bool Stop(int waitMs);
    bool Stopping() const { return stop_.Raised(); }
    const StopSignal& Signal() const { return stop_; }

private:
    void Deliver(const TickResult& result, unsigned generation);
    void DeliverAccount(const TickResult& result, unsigned generation);
    void Reap();

    TCheckCycle& cycle_;
    Finished finished_;
    Finished accountDone_;
    std::function<void()> starter_;
    bool startAfterPass_ = false;
    StopSignal stop_;
    std::string checkNowTarget_ = kNoCheckPending;
    bool passOut_ = false;
    unsigned generation_ = 0;

    std::thread worker_;
    std::mutex doneMutex_;
    std::condition_variable doneCv_;
    bool workerDone_ = true;
};

} // namespace nuvex
