#pragma once
// TMCritic: the account-list lock. Any number of shared holders or one
// exclusive holder; the exclusive owner may re-enter either way; entries wait in
// passes of about 1 ms and give up after the given number of passes.
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace nuvex {

class TMCritic {
public:
    // Waits of -1: see the comment at EnterShared in mcritic.cpp.
    bool EnterShared(int waits);
    void LeaveShared();
    bool EnterExclusive(int waits);
    void LeaveExclusive();
    // From now on every entry fails and every leave does nothing (shut-down).
    void Disable();

    int SharedCount() const;
    int ExclusiveCount() const;

private:
    bool HoldsShared(std::thread::id id) const;
    void AddShared(std::thread::id id);

    static constexpr int kOwnerSlots = 64; // positions 1..63 are recorded
    mutable std::mutex guard_;
    // Waiters sleep here between passes and wake as soon as a leave lets them in.
    std::condition_variable changed_;
    std::thread::id exclusiveThread_{};
    // Threads holding shared entries now, with their counts. The recorded
    // owners below are never cleared, so they cannot tell who still holds.
    std::vector<std::pair<std::thread::id, int>> sharedHolders_;
    std::atomic<bool> disabled_{false};
    int sharedCount_ = 0;
    int exclusiveCount_ = 0;
    std::array<std::thread::id, kOwnerSlots> sharedOwners_{};
    std::array<std::thread::id, kOwnerSlots> exclusiveOwners_{};
};

// Scope guard for a shared or exclusive hold; Held() tells whether it was taken.
class CriticHold {
public:
    enum class Mode { Shared, Exclusive };
    CriticHold(TMCritic& lock, Mode mode, int waits)
        : lock_(lock), mode_(mode),
          held_(mode == Mode::Shared ? lock.EnterShared(waits) : lock.EnterExclusive(waits)) {}
    ~CriticHold() {
        if (held_) {
            mode_ == Mode::Shared ? lock_.LeaveShared() : lock_.LeaveExclusive();
        }
    }
    CriticHold(const CriticHold&) = delete;
    CriticHold& operator=(const CriticHold&) = delete;
    bool Held() const { return held_; }

private:
    TMCritic& lock_;
    Mode mode_;
    bool held_;
};

} // namespace nuvex
