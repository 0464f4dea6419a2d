#include "lib/clock.h"

#include <atomic>
#include <chrono>

namespace nuvex {
namespace {

class SystemClock final : public Clock {
public:
    std::uint64_t TickMs() const override {
        using namespace std::chrono;
        return static_cast<std::uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    double Now() const override {
        using namespace std::chrono;
        // 25569 days lie between 1899-12-30 and the Unix epoch.
        const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        return 25569.0 + static_cast<double>(ms) / 86'400'000.0;
    }
};

SystemClock g_systemClock;
std::atomic<Clock*> g_clock{&g_systemClock};

} // namespace

Clock& DefaultClock() {
    return *g_clock.load(std::memory_order_acquire);
}

void SetDefaultClock(Clock* clock) {
    g_clock.store(clock ? clock : &g_systemClock, std::memory_order_release);
}

} // namespace nuvex
