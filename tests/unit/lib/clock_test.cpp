#include "lib/clock.h"
#include "lib/host_config.h"

#include <gtest/gtest.h>

namespace nuvex {

TEST(ClockTest, FakeClockDrivesTickAndDateTogether) {
    FakeClock fake(500, 46000.0);
    SetDefaultClock(&fake);
    fake.AdvanceMs(86'400'000);
    EXPECT_EQ(TickCount(), 86'400'500u);
    EXPECT_DOUBLE_EQ(Now(), 46001.0);
    SetDefaultClock(nullptr);
    EXPECT_GT(Now(), 45000.0); // the system clock is back: a date after 2023
}

TEST(HostConfigTest, DollarPrefixAndCaseNameTheSameValue) {
    MemoryHostConfig cfg;
    ASSERT_TRUE(cfg.WriteCfgStr("$ACCOUNTS", "Pop3_0=x"));
    EXPECT_EQ(cfg.ReadCfgStr("accounts").value(), "Pop3_0=x");
    EXPECT_EQ(cfg.ReadCfgStr("MISSING").value(), "");
    cfg.failAll = true;
    EXPECT_FALSE(cfg.ReadCfgStr("ACCOUNTS").has_value());
}

} // namespace nuvex
