#include "lib/sysinfo.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace nuvex {
namespace {

using test::ScopedEnv;

TEST(SysInfoTest, ProcessAndProgramFacts) {
    const SystemFacts& f = SysInfo();
    EXPECT_EQ(f.processId, static_cast<int>(::getpid()));
    EXPECT_TRUE(f.programPath.ends_with("/t_lib_sysinfo_test")) << f.programPath;
    ASSERT_TRUE(f.programFolder.ends_with("/"));
    EXPECT_EQ(f.programFolder + "t_lib_sysinfo_test", f.programPath);
}

TEST(SysInfoTest, SpecialFoldersFollowXdgWithTrailingSlash) {
    test::TempDir dir;
    ScopedEnv home("HOME", dir.path());
    ScopedEnv cfg("XDG_CONFIG_HOME", dir.file("cfg"));
    ScopedEnv data("XDG_DATA_HOME", dir.file("data"));
    ScopedEnv tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Startup), dir.file("cfg/autostart/"));
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Programs), dir.file("data/applications/"));
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::StartMenu), dir.file("data/applications/"));
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::SendTo), dir.file("data/brannock/SendTo/"));
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Temp), "/var/tmp/");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Desktop), dir.file("Desktop/"));
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Personal), dir.file("Documents/"));

    std::filesystem::create_directories(dir.file("cfg"));
    std::ofstream(dir.file("cfg/user-dirs.dirs")) << "# written by xdg-user-dirs-update\n"
                                                  << "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
                                                  << "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n";
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Desktop), dir.file("Schreibtisch/"));
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::Personal), "/srv/docs/");

    ScopedEnv noXdg("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::SendTo), dir.file(".local/share/brannock/SendTo/"));
}

} // namespace
} // namespace nuvex
