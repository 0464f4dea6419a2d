#include "lib/mcritic.h"

#include <algorithm>
#include <chrono>

namespace nuvex {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The waits of an entry count passes of 1 ms each; a pass is measured in
// elapsed time rather than in wake-ups, so that a burst of unrelated leaves
// cannot use up a waiter's passes early. Negative waits have no limit.
class PassBudget {
public:
    explicit PassBudget(int waits)
        : unlimited_(waits < 0),
          deadline_(SteadyClock::now() + std::chrono::milliseconds(std::max(waits, 0))) {}
    bool Spent() const { return !unlimited_ && SteadyClock::now() >= deadline_; }
    void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) const {
        if (unlimited_) {
            cv.wait(lock);
        } else {
            cv.wait_until(lock, deadline_);
        }
    }

private:
    bool unlimited_;
    SteadyClock::time_point deadline_;
};

template <typename Owners> void Record(Owners& owners, int position, std::thread::id id) {
    if (position >= 1 && position < static_cast<int>(owners.size())) {
        owners[static_cast<std::size_t>(position)] = id;
    }
}

} // namespace

bool TMCritic::HoldsShared(std::thread::id id) const {
    return std::any_of(sharedHolders_.begin(), sharedHolders_.end(),
                       [&](const auto& h) { return h.first == id; });
}

void TMCritic::AddShared(std::thread::id id) {
    ++sharedCount_;
    Record(sharedOwners_, sharedCount_, id);
    auto it = std::find_if(sharedHolders_.begin(), sharedHolders_.end(),
                           [&](const auto& h) { return h.first == id; });
    if (it == sharedHolders_.end()) {
        sharedHolders_.emplace_back(id, 1);
    } else {
        ++it->second;
    }
}

// Waits of -1 (the account walks of the window thread and the settings pages)
// mean: wait until the exclusive holder leaves, however long that takes, and
// then return with the lock held. Entering anyway after a bounded wait would
// let a walk run while an editor changes the list under it, which is how list
// walks crash. The window thread still never waits long: the editors that take
// the lock exclusively (adding and removing accounts, the remove confirmation
// box included) run on the window thread itself, and the exclusive owner takes
// the lock shared at once; writers on other threads hold it only for the few
// steps of a list change. The wait blocks on a condition variable, so a long
// wait costs nothing and ends as soon as the holder leaves.
//
// A thread that already holds a shared entry gets in again even while a writer
// has marked the lock and is draining readers: making it wait would deadlock
// the two until the writer gave up.
bool TMCritic::EnterShared(int waits) {
    PassBudget budget(waits);
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(guard_);
    for (;;) {
        if (disabled_) {
            return false;
        }
        if (exclusiveCount_ == 0 || exclusiveThread_ == me || HoldsShared(me)) {
            AddShared(me);
            return true;
        }
        if (budget.Spent()) {
            return false;
        }
        budget.Wait(changed_, lock);
    }
}

void TMCritic::LeaveShared() {
    std::lock_guard lock(guard_);
    if (disabled_ || sharedCount_ == 0) {
        return;
    }
    --sharedCount_;
    const auto me = std::this_thread::get_id();
    auto it = std::find_if(sharedHolders_.begin(), sharedHolders_.end(),
                           [&](const auto& h) { return h.first == me; });
    if (it != sharedHolders_.end() && --it->second == 0) {
        sharedHolders_.erase(it);
    }
    if (sharedCount_ == 0) {
        sharedHolders_.clear(); // a leave from a thread that never entered leaves no stale holder behind
        changed_.notify_all();
    }
}

bool TMCritic::EnterExclusive(int waits) {
    PassBudget budget(waits);
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(guard_);
    for (;;) {
        if (disabled_) {
            return false;
        }
        if (exclusiveCount_ > 0 && exclusiveThread_ == me) {
            ++exclusiveCount_;
            Record(exclusiveOwners_, exclusiveCount_, me);
            return true;
        }
        // A reader asking to become the writer would wait for itself to
        // leave; it fails at once instead of after all its passes.
        if (HoldsShared(me)) {
            return false;
        }
        if (exclusiveCount_ == 0) {
            exclusiveCount_ = 1;
            exclusiveThread_ = me;
            Record(exclusiveOwners_, 1, me);
            break;
        }
        if (budget.Spent()) {
            return false;
        }
        budget.Wait(changed_, lock);
    }
    // Drain: the mark keeps new readers out while the present ones finish.
    for (;;) {
        if (sharedCount_ == 0 && !disabled_) {
            return true;
        }
        if (disabled_ || budget.Spent()) {
            // Withdraw the mark so that the lock is as this entry found it.
            exclusiveCount_ = 0;
            exclusiveThread_ = {};
            changed_.notify_all();
            return false;
        }
        budget.Wait(changed_, lock);
    }
}

void TMCritic::LeaveExclusive() {
    std::lock_guard lock(guard_);
    if (disabled_ || exclusiveCount_ == 0) {
        return;
    }
    if (--exclusiveCount_ == 0) {
        exclusiveThread_ = {};
        changed_.notify_all();
    }
}

void TMCritic::Disable() {
    std::lock_guard lock(guard_);
    disabled_ = true;
    changed_.notify_all(); // waiters fail now instead of at the end of their passes
}

int TMCritic::SharedCount() const {
    std::lock_guard lock(guard_);
    return sharedCount_;
}

int TMCritic::ExclusiveCount() const {
    std::lock_guard lock(guard_);
    return exclusiveCount_;
}

} // namespace nuvex
