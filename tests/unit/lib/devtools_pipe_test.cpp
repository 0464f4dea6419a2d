#include "lib/devtools_pipe.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nuvex::devtools {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

TEST(FrameReader, SplitsOnNulAcrossReads) {
    FrameReader reader(64);
    EXPECT_TRUE(reader.Feed(std::string_view("{\"id\":1}\0{\"id\"", 14)));
    EXPECT_EQ(reader.Next(), "{\"id\":1}");
    EXPECT_FALSE(reader.Next());
    EXPECT_TRUE(reader.Feed(std::string_view(":2}\0\0", 5)));
    EXPECT_EQ(reader.Next(), "{\"id\":2}");
    EXPECT_EQ(reader.Next(), ""); // an empty message is still one
    EXPECT_FALSE(reader.Next());
}

TEST(FrameReader, AMessageOverTheBoundBreaksTheStream) {
    FrameReader reader(8);
    EXPECT_TRUE(reader.Feed("12345678"));
    EXPECT_FALSE(reader.Feed("9")); // the ninth byte without a NUL
    FrameReader second(8);
    EXPECT_TRUE(second.Feed(std::string_view("12345678\0"
                                             "12345678\0",
                                             18)));
    EXPECT_EQ(second.Next(), "12345678");
    EXPECT_EQ(second.Next(), "12345678");
}

std::string Script(const TempDir& dir, const std::string& name, const std::string& body) {
    std::string path = dir.file(name);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST(FindBrowserProgram, LooksOnPathAndRefusesFoldersAndMissingFiles) {
    TempDir dir;
    std::string fake = Script(dir, "fakebrowser", "exit 0");
    fs::create_directory(dir.file("folderbrowser"));
    ScopedEnv path("PATH", "::" + dir.path() + ":/nonexistent");
    EXPECT_EQ(FindBrowserProgram("fakebrowser"), fake);
    EXPECT_FALSE(FindBrowserProgram("folderbrowser"));
    EXPECT_FALSE(FindBrowserProgram("chromium-that-is-not-there"));
    EXPECT_EQ(FindBrowserProgram(fake), fake);
    EXPECT_FALSE(FindBrowserProgram(dir.file("missing")));
    ScopedEnv nothing("PATH", "/nonexistent");
    EXPECT_FALSE(FindBrowserProgram("")) << "chromium found where PATH has none";
}

std::string MakeProfile(const std::string& root, const std::string& name, const std::string& marker) {
    std::string dir = root + "/" + name;
    fs::create_directories(dir + "/Default");
    std::ofstream(dir + "/Default/Preferences") << "{}";
    if (!marker.empty()) {
        std::ofstream(dir + "/" + std::string(kProfileMarker)) << marker;
    }
    return dir;
}

std::string StartTimeOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
    }
    return field;
}

// A child in its own process group whose command line names a profile.
pid_t SpawnGroupLeader(const std::string& profile) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    std::string arg = "--user-data-dir=" + profile;
    std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                               const_cast<char*>("sleep 30 & wait"), arg.data(), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawnp(&pid, "sh", nullptr, &attr, argv.data(), environ), 0);
    posix_spawnattr_destroy(&attr);
    return pid;
}

TEST(RemoveStaleProfiles, OnlyOurFoldersWhoseOwnerIsGone) {
    TempDir root;
    pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ::waitpid(gone, nullptr, 0);
    std::string dead = MakeProfile(root.path(), "profile-dead", "owner " + std::to_string(gone) + " 1\n");
    std::string alive =
        MakeProfile(root.path(), "profile-alive",
                    "owner " + std::to_string(::getpid()) + " " + StartTimeOf(::getpid()) + "\n");
    // Our pid, but another start time: the pid was reused, the owner is gone.
    std::string reused =
        MakeProfile(root.path(), "profile-reused", "owner " + std::to_string(::getpid()) + " 1\n");
    std::string foreign = MakeProfile(root.path(), "profile-foreign", "");
    std::string garbled = MakeProfile(root.path(), "profile-garbled", "owner x y\n");
    EXPECT_EQ(RemoveStaleProfiles(root.path()), 2);
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_FALSE(fs::exists(reused));
    EXPECT_TRUE(fs::exists(alive));
    EXPECT_TRUE(fs::exists(foreign));
    EXPECT_TRUE(fs::exists(garbled));
}

TEST(RemoveStaleProfiles, EndsTheLeftBrowserGroupButNoOtherGroup) {
    TempDir root;
    std::string left = root.path() + "/profile-left";
    std::string other = root.path() + "/profile-other";
    pid_t browser = SpawnGroupLeader(left);
    pid_t stranger = SpawnGroupLeader(root.path() + "/somewhere-else");
    // The marker of "other" names the stranger's group, but the stranger's
    // command line names another folder: a reused group id, not ours to end.
    MakeProfile(root.path(), "profile-left", "owner 999999999 1\ngroup " + std::to_string(browser) + "\n");
    MakeProfile(root.path(), "profile-other", "owner 999999999 1\ngroup " + std::to_string(stranger) + "\n");
    EXPECT_EQ(RemoveStaleProfiles(root.path()), 2);
    int status = 0;
    EXPECT_EQ(::waitpid(browser, &status, 0), browser);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(::waitpid(stranger, &status, WNOHANG), 0) << "a stranger's process group was ended";
    ::kill(-stranger, SIGKILL);
    ::waitpid(stranger, nullptr, 0);
}

class LaunchTest : public ::testing::Test {
protected:
    LaunchOptions Options(const std::string& program) {
        LaunchOptions o;
        o.program = program;
        o.profileRoot = root_.path() + "/profiles";
        o.startTimeoutMs = 500;
        o.graceMs = 200;
        return o;
    }
    std::size_t Profiles() {
        std::size_t n = 0;
        std::error_code ec;
        for (fs::directory_iterator it(root_.path() + "/profiles", ec), end; !ec && it != end;
             it.increment(ec)) {
            ++n;
        }
        return n;
    }
    TempDir root_;
};

TEST_F(LaunchTest, ABrowserThatNeverAnswersIsEndedWithItsGroup) {
    // Ignores SIGTERM, so only the SIGKILL after the grace ends it, and
    // leaves a helper in its group.
    std::string fake = Script(root_, "silent", "trap '' TERM\nsleep 30 &\nsleep 30");
    std::string error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Browser::Launch(Options(fake), error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(5)));
    EXPECT_NE(error.find("did not answer"), std::string::npos) << error;
    EXPECT_EQ(Profiles(), 0u);
    EXPECT_EQ(LiveBrowsers(), 0);
}

TEST_F(LaunchTest, ABrowserThatExitsAtOnceIsAClearError) {
    std::string error;
    EXPECT_FALSE(Browser::Launch(Options(Script(root_, "quits", "exit 3")), error));
    EXPECT_NE(error.find("did not answer"), std::string::npos) << error;
    EXPECT_EQ(Profiles(), 0u);
}

TEST_F(LaunchTest, AFloodingBrowserNeitherGrowsNorHoldsTheCaller) {
    struct Row {
        const char* name;
        const char* script; // what the fake browser writes on fd 4
    } rows[] = {
        {"long", "head -c 1048576 /dev/zero | tr '\\000' x >&4\nsleep 30"}, // one message over the bound
        {"many", "head -c 4194304 /dev/zero >&4\nsleep 30"},                // millions of empty messages
        {"junk", "yes '{\"id\": 999}' | tr '\\n' '\\000' >&4"},             // replies to nothing, for ever
    };
    for (const Row& row : rows) {
        LaunchOptions o = Options(Script(root_, row.name, row.script));
        o.maxMessageBytes = 4096;
        o.startTimeoutMs = 1000;
        std::string error;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(Browser::Launch(o, error)) << row.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(4)))
            << row.name;
        EXPECT_EQ(Profiles(), 0u) << row.name;
        EXPECT_EQ(LiveBrowsers(), 0) << row.name;
    }
}

// Chromium's singleton socket goes under the browser's TMPDIR, and a socket
// path has room for 107 bytes: a deep profile folder gets a short temp folder,
// which goes with the profile.
TEST_F(LaunchTest, TheBrowsersTempFolderStaysShortAndGoesWithIt) {
    for (const std::size_t depth : {std::size_t{0}, std::size_t{80}}) {
        LaunchOptions o = Options(Script(root_, "temp", "echo \"$TMPDIR\" >\"$0.seen\"\nexit 0"));
        o.profileRoot += "/" + std::string(depth + 1, 'd');
        std::string error;
        EXPECT_FALSE(Browser::Launch(o, error));
        std::string seen;
        std::getline(std::ifstream(root_.file("temp.seen")), seen);
        EXPECT_LE(seen.size() + std::string("/.org.chromium.Chromium.XXXXXX/SingletonSocket").size(), 107u)
            << seen;
        EXPECT_FALSE(fs::exists(seen)) << seen;
    }
}

TEST_F(LaunchTest, ProfileRootOfSomeoneElseOrALinkIsRefused) {
    fs::create_directory_symlink("/tmp", root_.file("link"));
    LaunchOptions o = Options(Script(root_, "x", "exit 0"));
    o.profileRoot = root_.file("link");
    std::string error;
    EXPECT_FALSE(Browser::Launch(o, error));
    EXPECT_NE(error.find("not a folder of this user"), std::string::npos) << error;
}

TEST_F(LaunchTest, TheProfileRootIsMadePrivate) {
    std::string error;
    Browser::Launch(Options(Script(root_, "quits", "exit 0")), error);
    struct stat st {};
    ASSERT_EQ(::stat((root_.path() + "/profiles").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

} // namespace
} // namespace nuvex::devtools
