#pragma once
// One clock for the whole program, so that fades, ticks, throttles and
// "LastCheck" stamps can run on a fake clock in tests instead of sleeping.
#include <cstdint>

namespace nuvex {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds (the role GetTickCount plays on Windows); wraps never.
    virtual std::uint64_t TickMs() const = 0;
    // Wall-clock date-time as days since 1899-12-30 (the Windows date-time form
    // used where stamps are compared: LastCheck, LastErrorShown, blink end).
    virtual double Now() const = 0;
};

// The clock everything asks. Tests install a FakeClock with SetDefaultClock and
// restore the system clock with SetDefaultClock(nullptr).
Clock& DefaultClock();
void SetDefaultClock(Clock* clock);

inline std::uint64_t TickCount() {
    return DefaultClock().TickMs();
}
inline double Now() {
    return DefaultClock().Now();
}

constexpr double kOneSecond = 1.0 / 86400.0;
constexpr double kOneMinute = 1.0 / 1440.0;
constexpr double kOneHour = 1.0 / 24.0;

class FakeClock final : public Clock {
public:
    explicit FakeClock(std::uint64_t tickMs = 1'000'000, double now = 46000.5) : tick_(tickMs), now_(now) {}
    std::uint64_t TickMs() const override { return tick_; }
    double Now() const override { return now_; }
    void AdvanceMs(std::uint64_t ms) {
        tick_ += ms;
        now_ += static_cast<double>(ms) / 86'400'000.0;
    }

private:
    std::uint64_t tick_;
    double now_;
};

} // namespace nuvex
