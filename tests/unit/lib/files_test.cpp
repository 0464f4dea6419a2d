#include "lib/files.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace nuvex {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

void Touch(const std::string& path, const std::string& text = "x") {
    std::ofstream(path, std::ios::binary) << text;
}

using test::ScopedEnv;

TEST(FindFilesTest, MaskFolderPrefixAndKinds) {
    TempDir dir;
    Touch(dir.file("b.txt"));
    Touch(dir.file("a.txt"));
    Touch(dir.file("README"));
    fs::create_directory(dir.file("sub.txt"));
    std::vector<std::string> list{"kept"};
    ASSERT_TRUE(FindFiles(dir.path() + "/*.txt", list, false));
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "a.txt", "b.txt", "sub.txt"}));

    list.clear();
    ASSERT_TRUE(FindFiles(dir.path() + "/*.*", list, true, FindWhat::Files));
    EXPECT_EQ(list, (std::vector<std::string>{dir.file("README"), dir.file("a.txt"), dir.file("b.txt")}));

    list.clear();
    ASSERT_TRUE(FindFiles(dir.path() + "/*", list, false, FindWhat::Folders));
    EXPECT_EQ(list, std::vector<std::string>{"sub.txt"});

    list.clear();
    EXPECT_FALSE(FindFiles(dir.file("missing") + "/*", list, true));
    EXPECT_TRUE(list.empty());
}

TEST(ExpandFoldersTest, FileStaysFolderFilesGoToTheEndEmptyFolderDisappears) {
    TempDir dir;
    Touch(dir.file("one"));
    fs::create_directory(dir.file("folder"));
    Touch(dir.file("folder/a"));
    Touch(dir.file("folder/b"));
    fs::create_directory(dir.file("folder/empty"));
    std::vector<std::string> list{dir.file("folder"), dir.file("one")};
    ExpandFolders(list);
    EXPECT_EQ(list, (std::vector<std::string>{dir.file("one"), dir.file("folder/a"), dir.file("folder/b")}));
}

TEST(ExpandFoldersTest, FoldersOfFoldersExpandInTheNextWalk) {
    TempDir dir;
    fs::create_directories(dir.file("d/e"));
    Touch(dir.file("d/e/deep"));
    Touch(dir.file("d/z"));
    Touch(dir.file("f"));
    std::vector<std::string> list{dir.file("f"), dir.file("d")};
    ExpandFolders(list);
    EXPECT_EQ(list, (std::vector<std::string>{dir.file("f"), dir.file("d/z"), dir.file("d/e/deep")}));
}

TEST(ExpandFoldersTest, LinkLoopEnds) {
    TempDir dir;
    fs::create_directory(dir.file("d"));
    Touch(dir.file("d/file"));
    fs::create_directory_symlink(dir.path() + "/d", dir.file("d/loop"));
    std::vector<std::string> list{dir.file("d")};
    ExpandFolders(list);
    EXPECT_EQ(list, std::vector<std::string>{dir.file("d/file")});
}

TEST(DeleteFileTest, ReportsWhetherTheFileIsGone) {
    TempDir dir;
    Touch(dir.file("f"));
    EXPECT_FALSE(DeleteFileNowOrAtRestart(dir.file("f"), false));
    EXPECT_TRUE(fs::exists(dir.file("f")));
    EXPECT_TRUE(DeleteFileNowOrAtRestart(dir.file("f")));
    EXPECT_FALSE(fs::exists(dir.file("f")));
    EXPECT_TRUE(DeleteFileNowOrAtRestart(dir.file("f"))); // already gone
    fs::create_directory(dir.file("d"));
    EXPECT_FALSE(DeleteFileNowOrAtRestart(dir.file("d"))); // stays: failure, not success
}

TEST(ExpandPathTest, VariablesSearchPathAndUnchangedText) {
    TempDir dir;
    ScopedEnv var("NUVEX_TEST_VAR", "/opt/x");
    EXPECT_EQ(ExpandPath("%NUVEX_TEST_VAR%/bin/%NUVEX_NO_SUCH%"), "/opt/x/bin/%NUVEX_NO_SUCH%");
    EXPECT_EQ(ExpandPath("100% sure"), "100% sure");

    Touch(dir.file("mailtool"));
    ScopedEnv path("PATH", "relative:" + dir.path() + ":/usr/bin");
    EXPECT_EQ(ExpandPath("mailtool"), dir.file("mailtool"));
    EXPECT_EQ(ExpandPath("no-such-tool-here"), "no-such-tool-here");
    EXPECT_EQ(ExpandPath(dir.path() + "/./mailtool"), dir.file("mailtool"));
    EXPECT_EQ(ExpandPath("/no/such/file"), "/no/such/file");
}

TEST(ReadFileTextTest, WholeFileOrEmpty) {
    TempDir dir;
    std::string bytes("a\0b\r\nc", 6);
    Touch(dir.file("f"), bytes);
    EXPECT_EQ(ReadFileText(dir.file("f")), bytes);
    EXPECT_EQ(ReadFileText(dir.file("missing")), "");
    EXPECT_EQ(ReadFileText(dir.path()), "");
    EXPECT_NE(ReadFileText("/proc/self/status").find("Pid:"), std::string::npos); // reports size 0
    { std::ofstream big(dir.file("big"), std::ios::binary); }
    fs::resize_file(dir.file("big"), kMaxFileTextBytes + 1); // sparse: costs no disk
    EXPECT_EQ(ReadFileText(dir.file("big")), "");
}

// Switches LC_NUMERIC to the locale, compiling it into a private folder with
// localedef when the system has not generated it. Each locale gets its own
// LOCPATH folder: the C library remembers a failed lookup per path.
bool UseLocale(const char* name, const char* source, const TempDir& dir) {
    if (std::setlocale(LC_NUMERIC, name)) {
        return true;
    }
    std::string path = dir.path() + "/" + source;
    std::string cmd = std::string("mkdir -p ") + path + " && localedef -i " + source + " -f UTF-8 " + path +
                      "/" + name + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        return false;
    }
    ::setenv("LOCPATH", path.c_str(), 1);
    return std::setlocale(LC_NUMERIC, name) != nullptr;
}

TEST(FormatThousandsTest, RoundsAndUsesTheCurrentLocale) {
    std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(FormatThousands(1234567.5), "1234568");
    EXPECT_EQ(FormatThousands(-2.5), "-3");
    EXPECT_EQ(FormatThousands(-0.4), "0");
    EXPECT_EQ(FormatThousands(999), "999");

    TempDir dir;
    bool haveUs = UseLocale("en_US.UTF-8", "en_US", dir);
    if (haveUs) {
        EXPECT_EQ(FormatThousands(1234), "1,234");
        EXPECT_EQ(FormatThousands(-1234567.4), "-1,234,567");
        EXPECT_EQ(FormatThousands(123), "123");
    }
    // Groups of three, then of two.
    if (haveUs) {
        ASSERT_TRUE(UseLocale("en_IN.UTF-8", "en_IN", dir));
        EXPECT_EQ(FormatThousands(1234567), "12,34,567");
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
    ::unsetenv("LOCPATH");
    if (!haveUs) {
        GTEST_SKIP() << "no en_US.UTF-8 locale and no localedef: grouping checked only in the C locale";
    }
}

} // namespace
} // namespace nuvex
