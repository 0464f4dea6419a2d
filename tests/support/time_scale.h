#pragma once
// Time budgets of the tests are set for a quiet machine; on a loaded one (a CI
// run that builds and tests in parallel) everything takes longer. One factor,
// NUVEX_TEST_TIME_SCALE (1 to 50, default 1; scripts/test.sh sets more),
// stretches every budget a test gives the code under test, every wait for
// something to happen, and every upper bound a duration is checked against.
// Lower bounds stay as they are: load makes nothing faster.
#include <chrono>
#include <cstdlib>

namespace nuvex::test {

inline double TimeScale() {
    static const double scale = [] {
        const char* text = std::getenv("NUVEX_TEST_TIME_SCALE");
        char* end = nullptr;
        const double value = text ? std::strtod(text, &end) : 1.0;
        return text && end != text && *end == '\0' && value >= 1.0 && value <= 50.0 ? value : 1.0;
    }();
    return scale;
}

template <class Rep, class Period>
std::chrono::milliseconds Scaled(std::chrono::duration<Rep, Period> budget) {
    const auto ms = std::chrono::duration_cast<std::chrono::duration<double, std::milli>>(budget).count();
    return std::chrono::milliseconds(static_cast<long long>(ms * TimeScale()));
}

inline int ScaledMs(long long ms) {
    return static_cast<int>(static_cast<double>(ms) * TimeScale());
}

inline double ScaledSeconds(double seconds) {
    return seconds * TimeScale();
}

} // namespace nuvex::test
