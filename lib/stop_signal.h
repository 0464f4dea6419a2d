#pragma once
// A cross-thread "stop now" flag that blocking I/O can wait on beside its
// socket: Fd() becomes readable once Raise() was called, so a poll() over
// { socket, stop fd } returns at once when the plug-in stops instead of
// running into the network time-out. Raise() is safe from any thread and
// never blocks; the flag stays raised.
#include <atomic>

namespace nuvex {

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Raise() noexcept;
    bool Raised() const noexcept { return raised_.load(std::memory_order_acquire); }
    // An eventfd that polls readable (POLLIN) once raised; -1 if none could be made,
    // in which case waiters fall back to testing Raised() between short waits.
    int Fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
    std::atomic<bool> raised_{false};
};

} // namespace nuvex
