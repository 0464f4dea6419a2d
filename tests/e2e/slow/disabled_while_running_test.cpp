// The periodic disabled check: slow by nature (15 seconds between checks).
#include "tests/e2e/e2e_harness.h"

namespace nuvex::e2e {
namespace {

TEST_F(E2eTest, DisabledWhileRunningEndsTheLoopWithin16Seconds) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    pid_t plugin = FindNuvex();
    ASSERT_GT(plugin, 0);
    SetDisabled(true);
    auto start = Clock::now();
    // The loop ends when the plug-in leaves the bus; the host reports that.
    ASSERT_TRUE(WaitUntil(
        [this] { return ReadFile(HostOut()).find("plugin MAIL stopped") != std::string::npos; }, 20000, 100));
    double loopLeft = Seconds(start);
    EXPECT_LE(loopLeft, 16.5);
    // The process then gives back its run mutex and waits its one second.
    EXPECT_TRUE(WaitUntil([plugin] { return Ended(plugin); }, 5000));
    EXPECT_LE(Seconds(start), 18.5);
}

} // namespace
} // namespace nuvex::e2e
