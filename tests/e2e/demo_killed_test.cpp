// scripts/demo.sh killed outright (SIGKILL: no trap of its own can run) still
// takes down what it started: each of its children has asked the kernel for
// TERM when the script dies. Only the profile folder is left to remove.
#include "tests/e2e/demo_fixture.h"

#include <filesystem>

namespace nuvex::e2e {
namespace {

TEST_F(DemoScriptTest, KilledOutrightItLeavesNoProcessRunning) {
    out_ = dir_.file("demo.out");
    demo_ = Spawn({"/bin/bash", std::string(NUVEX_SOURCE_DIR) + "/scripts/demo.sh", NUVEX_BINARY_DIR}, out_,
                  dir_.file("demo.err"));
    ASSERT_GT(demo_, 0);
    ASSERT_TRUE(WaitUntil([&] { return Out().find("notify total=3 ") != std::string::npos; }, 30000))
        << Out() << ReadFile(dir_.file("demo.err"));
    const std::string profile = Profile();
    const int port = Port();
    ASSERT_FALSE(profile.empty());
    ASSERT_TRUE(Accepts(port));
    const std::vector<pid_t> running = ProcessesWithEnv("NUVEX_DEMO_PROFILE=" + profile);
    ASSERT_GE(running.size(), 3u);

    ASSERT_EQ(kill(demo_, SIGKILL), 0);
    WaitExitCode(demo_, 5000);
    demo_ = -1;
    EXPECT_TRUE(WaitUntil([&] { return ProcessesWithEnv("NUVEX_DEMO_PROFILE=" + profile).empty(); }, 10000))
        << ProcessesWithEnv("NUVEX_DEMO_PROFILE=" + profile).size() << " left";
    EXPECT_TRUE(WaitUntil([&] { return !Accepts(port); }, 10000)) << "the mail server still listens";
    std::error_code ec;
    std::filesystem::remove_all(profile, ec);
}

} // namespace
} // namespace nuvex::e2e
