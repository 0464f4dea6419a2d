#pragma once
// Reloads asked for in quick succession make one. A script that adds
// accounts one by one has the host ask after every add; each reload walks
// every stored account on the GUI thread, so one per add kept the host's
// calls waiting. A reload runs once no request has come for settleMs, and at
// the latest maxWaitMs after the first request it answers, so a steady stream
// still reloads. Requests that arrive while a reload runs make one more at
// most. The owner arms a one-shot timer with the delay it is given (arming
// again replaces the earlier delay) and calls Fire when it goes off.
#include "lib/clock.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>

namespace nuvex {

class TReloadCoalescer {
public:
    using Arm = std::function<void(int delayMs)>;
    TReloadCoalescer(int settleMs, int maxWaitMs, std::function<void()> reload, Arm arm)
        : settleMs_(settleMs), maxWaitMs_(maxWaitMs), reload_(std::move(reload)), arm_(std::move(arm)) {}

    void Request() {
        const std::uint64_t now = TickCount();
        if (!pending_) {
            pending_ = true;
            firstAt_ = now;
        }
        lastAt_ = now;
        if (!running_) {
            arm_(DelayFrom(now));
        }
    }

    void Fire() {
        if (!pending_ || running_) {
            return;
        }
        if (const int wait = DelayFrom(TickCount()); wait > 0) {
            arm_(wait);
            return;
        }
        Run();
    }

    // Runs a waiting reload at once: a command that acts on the accounts
    // (check all, open) must see the ones stored before the host asked.
    void Flush() {
        if (pending_ && !running_) {
            Run();
        }
    }

    bool Pending() const { return pending_; }
    int Runs() const { return runs_; }

private:
    void Run() {
        pending_ = false;
        running_ = true;
        struct Done {
            bool& running;
            ~Done() { running = false; }
        } done{running_};
        ++runs_;
        reload_();
        if (pending_) {
            arm_(DelayFrom(TickCount()));
        }
    }

    int DelayFrom(std::uint64_t now) const {
        const std::uint64_t due = std::min(lastAt_ + static_cast<std::uint64_t>(settleMs_),
                                           firstAt_ + static_cast<std::uint64_t>(maxWaitMs_));
        return due > now ? static_cast<int>(due - now) : 0;
    }

    int settleMs_;
    int maxWaitMs_;
    std::function<void()> reload_;
    Arm arm_;
    bool pending_ = false;
    bool running_ = false;
    std::uint64_t firstAt_ = 0;
    std::uint64_t lastAt_ = 0;
    int runs_ = 0;
};

} // namespace nuvex
