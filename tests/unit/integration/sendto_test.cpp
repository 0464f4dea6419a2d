#include "integration/autostart.h"
#include "integration/desktop_file.h"
#include "integration/sendto.h"
#include "lib/files.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace nuvex {
namespace {

using test::ScopedEnv;
using test::TempDir;

void WriteText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

class SendToTest : public ::testing::Test {
protected:
    void SetUp() override { SetSendToProgramPath(program_); }
    void TearDown() override { SetSendToProgramPath({}); }

    std::string Thunar(std::string_view email) const {
        return ThunarSendToFolder() + "/" + SendToFileName(email);
    }
    std::string Kde(std::string_view email) const {
        return KdeServiceMenuFolder() + "/" + SendToFileName(email);
    }
    // The Exec words as a file manager splits them.
    std::vector<std::string> ExecWords(const std::string& file, const std::string& group) const {
        auto keys = desktop::ReadKeyFile(file);
        EXPECT_TRUE(keys.has_value()) << file;
        if (!keys) {
            return {};
        }
        auto words = desktop::SplitExec(keys->Get(group, "Exec"));
        EXPECT_TRUE(words.has_value()) << keys->Get(group, "Exec");
        return words.value_or(std::vector<std::string>{});
    }

    TempDir dir_;
    ScopedEnv data_{"XDG_DATA_HOME", dir_.file("data")};
    std::string program_ = "/opt/nuvex/bin/nuvex";
};

TEST_F(SendToTest, EntriesGoToBothFileManagersAndStartTheProgramWithTheKey) {
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_1"));
    EXPECT_EQ(ThunarSendToFolder(), dir_.file("data/Thunar/sendto"));
    EXPECT_EQ(KdeServiceMenuFolder(), dir_.file("data/kio/servicemenus"));
    const std::string thunar = dir_.file("data/Thunar/sendto/Mail Recipient (joe@example.com).desktop");
    ASSERT_TRUE(Exists(thunar));
    ASSERT_TRUE(Exists(Kde("joe@example.com")));
    const std::vector<std::string> want{program_, "/sendto:POP3_1", "%F"};
    EXPECT_EQ(ExecWords(thunar, "Desktop Entry"), want);
    EXPECT_EQ(ExecWords(Kde("joe@example.com"), "Desktop Action nuvexSendTo"), want);
    EXPECT_EQ(desktop::ReadKeyFile(thunar)->Get("Desktop Entry", "Name"), "Mail Recipient (joe@example.com)");
    struct stat st {};
    ASSERT_EQ(::stat(Kde("joe@example.com").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR) << "KDE offers user service menus only when executable";
    EXPECT_EQ(st.st_mode & 077, 0u) << "nobody else needs to read or change the entry";
    EXPECT_TRUE(SendToShortcutExists("joe@example.com"));
    EXPECT_EQ(ResolveShortcut(thunar), program_);
    EXPECT_EQ(ResolveShortcut(Kde("joe@example.com")), program_);
}

TEST_F(SendToTest, CreatingAgainOverwritesAndLeavesNoTemporaryFile) {
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_1"));
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_7"));
    EXPECT_EQ(ExecWords(Thunar("joe@example.com"), "Desktop Entry")[1], "/sendto:POP3_7");
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(ThunarSendToFolder())) {
        names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"Mail Recipient (joe@example.com).desktop"});
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Every settings change makes the entries again: one that is already right
// stays the same file, anything else about it is put right.
TEST_F(SendToTest, MakingAnEntryThatIsAlreadyRightLeavesTheFileAlone) {
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_1"));
    const std::string thunar = Thunar("joe@example.com");
    const std::string kde = Kde("joe@example.com");
    const ino_t thunarBefore = Inode(thunar);
    const ino_t kdeBefore = Inode(kde);
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_1"));
    EXPECT_EQ(Inode(thunar), thunarBefore);
    EXPECT_EQ(Inode(kde), kdeBefore);

    // Other permissions: rewritten with the entry's own.
    ASSERT_EQ(::chmod(kde.c_str(), 0600), 0);
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_1"));
    struct stat st {};
    ASSERT_EQ(::stat(kde.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The same length but other bytes, and a longer file that starts right.
    std::string text = ReadFileText(thunar);
    ASSERT_FALSE(text.empty());
    std::string changed = text;
    changed.back() = changed.back() == 'x' ? 'y' : 'x';
    WriteText(thunar, changed);
    ::chmod(thunar.c_str(), 0600);
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_1"));
    EXPECT_EQ(ReadFileText(thunar), text);
    WriteText(thunar, text + "Extra=1\n");
    ::chmod(thunar.c_str(), 0600);
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_1"));
    EXPECT_EQ(ReadFileText(thunar), text);

    // A link to a file with the right content is replaced by the entry itself.
    const std::string elsewhere = dir_.file("elsewhere.desktop");
    WriteText(elsewhere, text);
    ::chmod(elsewhere.c_str(), 0600);
    std::filesystem::remove(thunar);
    std::filesystem::create_symlink(elsewhere, thunar);
    ASSERT_TRUE(CreateSendToShortcut("joe@example.com", "POP3_1"));
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(thunar)));
    EXPECT_EQ(ReadFileText(elsewhere), text);
}

struct HostileAddress {
    const char* name;
    std::string email;
    bool accepted;
};
void PrintTo(const HostileAddress& row, std::ostream* os) {
    *os << row.name;
}

class HostileAddressTest : public SendToTest, public ::testing::WithParamInterface<HostileAddress> {};

TEST_P(HostileAddressTest, GivesASafeFileAndExecOrARefusal) {
    const HostileAddress& row = GetParam();
    const bool made = CreateSendToShortcut(row.email, "POP3_0");
    EXPECT_EQ(made, row.accepted);
    if (!row.accepted) {
        EXPECT_EQ(SendToFileName(row.email), "");
        EXPECT_FALSE(SendToShortcutExists(row.email));
        EXPECT_TRUE(DeleteSendToShortcut(row.email));
        // Nothing at all was written, not even somewhere else.
        EXPECT_FALSE(Exists(ThunarSendToFolder()));
        return;
    }
    const std::filesystem::path file(Thunar(row.email));
    EXPECT_EQ(file.parent_path().string(), ThunarSendToFolder());
    EXPECT_EQ(file.filename().string(), "Mail Recipient (" + row.email + ").desktop");
    EXPECT_EQ(ExecWords(file, "Desktop Entry"), (std::vector<std::string>{program_, "/sendto:POP3_0", "%F"}));
    EXPECT_TRUE(SendToShortcutExists(row.email));
    EXPECT_TRUE(DeleteSendToShortcut(row.email));
    EXPECT_FALSE(Exists(file));
    EXPECT_FALSE(Exists(Kde(row.email)));
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, HostileAddressTest,
    ::testing::Values(HostileAddress{"Plain", "a@b.c", true}, HostileAddress{"Quotes", "\"a'b\"@c.d", true},
                      HostileAddress{"Spaces", "a b @c.d", true},
                      HostileAddress{"Percent", "100%F@c.d", true},
                      HostileAddress{"ShellWords", "$(touch x);`id`|&@c.d", true},
                      HostileAddress{"Backslash", "a\\b\\s@c.d", true},
                      HostileAddress{"Newline", "a@b.c\nExec=/bin/evil", false},
                      HostileAddress{"CarriageReturn", "a@b.c\r", false},
                      HostileAddress{"Slash", "../../.bashrc/a@b.c", false},
                      HostileAddress{"Empty", "", false},
                      HostileAddress{"TenThousand", std::string(10000, 'a'), false},
                      HostileAddress{"LongestThatFits", std::string(255 - 25, 'a'), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendToTest, TheNameKeepsOddCharactersOfTheAddressLiterally) {
    const std::string email = "a\\sb@c.d";
    ASSERT_TRUE(CreateSendToShortcut(email, "POP3_0"));
    // "\s" in a key file is a space: the backslash must be doubled.
    const std::string raw = ReadFileText(Thunar(email));
    EXPECT_NE(raw.find("Name=Mail Recipient (a\\\\sb@c.d)\n"), std::string::npos) << raw;
}

struct HostileKey {
    const char* name;
    std::string key;
    bool accepted;
};
void PrintTo(const HostileKey& row, std::ostream* os) {
    *os << row.name;
}

class HostileKeyTest : public SendToTest, public ::testing::WithParamInterface<HostileKey> {};

TEST_P(HostileKeyTest, TheKeyStaysOneArgument) {
    const HostileKey& row = GetParam();
    EXPECT_EQ(CreateSendToShortcut("a@b.c", row.key), row.accepted);
    if (row.accepted) {
        EXPECT_EQ(ExecWords(Thunar("a@b.c"), "Desktop Entry"),
                  (std::vector<std::string>{program_, "/sendto:" + row.key, "%F"}));
    } else {
        EXPECT_FALSE(Exists(Thunar("a@b.c")));
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, HostileKeyTest,
                         ::testing::Values(HostileKey{"Plain", "POP3_0", true},
                                           HostileKey{"FieldCode", "X %F %u %%", true},
                                           HostileKey{"Quotes", "a\"b'c", true},
                                           HostileKey{"Shell", "$HOME `id` ; rm -rf ~", true},
                                           HostileKey{"Backslashes", "a\\\"b\\\\", true},
                                           HostileKey{"Newline", "POP3_0\nExec=evil", false},
                                           HostileKey{"Empty", "", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendToTest, AProgramPathWithReservedCharactersIsQuoted) {
    SetSendToProgramPath("/home/o'neil/my \"mail\"/$x%y\\z/nuvex");
    ASSERT_TRUE(CreateSendToShortcut("a@b.c", "POP3_0"));
    EXPECT_EQ(ExecWords(Thunar("a@b.c"), "Desktop Entry"),
              (std::vector<std::string>{"/home/o'neil/my \"mail\"/$x%y\\z/nuvex", "/sendto:POP3_0", "%F"}));
    SetSendToProgramPath("relative/nuvex");
    EXPECT_FALSE(CreateSendToShortcut("b@b.c", "POP3_0")) << "a file manager cannot start a relative path";
}

TEST_F(SendToTest, AnEntryRemovedByHandFromEitherFolderCountsAsGone) {
    ASSERT_TRUE(CreateSendToShortcut("a@b.c", "POP3_0"));
    ASSERT_TRUE(CreateSendToShortcut("z@b.c", "POP3_1"));
    std::filesystem::remove(Kde("a@b.c"));
    EXPECT_FALSE(SendToShortcutExists("a@b.c"));
    EXPECT_TRUE(SendToShortcutExists("z@b.c"));
    std::filesystem::remove(Thunar("z@b.c"));
    EXPECT_FALSE(SendToShortcutExists("z@b.c"));
    EXPECT_TRUE(DeleteSendToShortcut("a@b.c"));
    EXPECT_FALSE(Exists(Thunar("a@b.c")));
}

TEST_F(SendToTest, DeletingOneAccountLeavesTheOthers) {
    ASSERT_TRUE(CreateSendToShortcut("a@b.c", "POP3_0"));
    ASSERT_TRUE(CreateSendToShortcut("A@b.c", "POP3_1"));
    EXPECT_TRUE(DeleteSendToShortcut("a@b.c"));
    EXPECT_FALSE(SendToShortcutExists("a@b.c"));
    EXPECT_TRUE(SendToShortcutExists("A@b.c"));
    EXPECT_TRUE(DeleteSendToShortcut("never@b.c")) << "nothing to delete is no failure";
}

TEST_F(SendToTest, RemoveAllTakesEntriesOfTheProgramAndLeavesTheUsersOthers) {
    ASSERT_TRUE(CreateSendToShortcut("a@b.c", "POP3_0"));
    const std::string sendto = ThunarSendToFolder();
    const std::string menus = KdeServiceMenuFolder();
    // Made by hand, another installation of the program: goes.
    WriteText(sendto + "/mine.desktop",
              "[Desktop Entry]\nType=Application\nName=x\nExec=/usr/bin/NUVEX %F\n");
    // Somebody else's entries stay, also one whose folder merely has the name in it.
    WriteText(sendto + "/bird.desktop",
              "[Desktop Entry]\nType=Application\nName=b\nExec=thunderbird -c %F\n");
    WriteText(sendto + "/notes.desktop",
              "[Desktop Entry]\nType=Application\nName=n\nExec=/home/u/nuvex-notes/run %F\n");
    WriteText(sendto + "/link.desktop",
              "[Desktop Entry]\nType=Link\nName=l\nURL=file:///opt/nuvex/bin/other\n");
    WriteText(sendto + "/readme.txt", "Exec=/opt/nuvex/bin/nuvex\n");
    WriteText(menus + "/other.desktop", "[Desktop Entry]\nType=Service\nActions=x;\n\n[Desktop Action x]\n"
                                        "Name=x\nExec=ark --add %F\n");

    EXPECT_EQ(RemoveAllSendToShortcuts(), 3);
    EXPECT_FALSE(Exists(Thunar("a@b.c")));
    EXPECT_FALSE(Exists(Kde("a@b.c")));
    EXPECT_FALSE(Exists(sendto + "/mine.desktop"));
    for (const char* kept : {"/bird.desktop", "/notes.desktop", "/link.desktop", "/readme.txt"}) {
        EXPECT_TRUE(Exists(sendto + kept)) << kept;
    }
    EXPECT_TRUE(Exists(menus + "/other.desktop"));
}

TEST_F(SendToTest, RemoveAllWithoutFoldersDoesNothing) {
    EXPECT_EQ(RemoveAllSendToShortcuts(), 0);
    EXPECT_FALSE(Exists(ThunarSendToFolder()));
}

struct LinkRow {
    const char* name;
    std::string content; // empty: no file
    std::string target;
};
void PrintTo(const LinkRow& row, std::ostream* os) {
    *os << row.name;
}

class ResolveTest : public SendToTest, public ::testing::WithParamInterface<LinkRow> {};

TEST_P(ResolveTest, GivesTheTargetOrNothing) {
    const std::string file = dir_.file("link.desktop");
    if (!GetParam().content.empty()) {
        WriteText(file, GetParam().content);
    }
    EXPECT_EQ(ResolveShortcut(file), GetParam().target);
}

INSTANTIATE_TEST_SUITE_P(
    Links, ResolveTest,
    ::testing::Values(
        LinkRow{"FileUrl", "[Desktop Entry]\nType=Link\nURL=file:///home/u/My%20File.pdf\n",
                "/home/u/My File.pdf"},
        LinkRow{"Localhost", "[Desktop Entry]\nType=Link\nURL=file://localhost/tmp/a\n", "/tmp/a"},
        LinkRow{"OtherHost", "[Desktop Entry]\nType=Link\nURL=file://far/tmp/a\n", ""},
        LinkRow{"WebUrl", "[Desktop Entry]\nType=Link\nURL=https://example.com/a\n", ""},
        LinkRow{"NulByte", "[Desktop Entry]\nType=Link\nURL=file:///tmp/a%00b\n", ""},
        LinkRow{"BadEscapeKept", "[Desktop Entry]\nType=Link\nURL=file:///tmp/100%zz\n", "/tmp/100%zz"},
        LinkRow{"Application", "[Desktop Entry]\nType=Application\nExec=\"/opt/a b/prog\" %F\n",
                "/opt/a b/prog"},
        LinkRow{"OpenQuote", "[Desktop Entry]\nType=Application\nExec=\"/opt/prog %F\n", ""},
        LinkRow{"OtherGroupFirst", "[Other]\nType=Link\nURL=file:///tmp/a\n", ""},
        LinkRow{"Garbage", std::string("\x01\x02[[[==\n\xff", 10), ""}, LinkRow{"Missing", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendToTest, ResolvingAListReplacesOnlyDesktopFiles) {
    WriteText(dir_.file("doc.DESKTOP"), "[Desktop Entry]\nType=Link\nURL=file:///tmp/report.odt\n");
    std::vector<std::string> list{dir_.file("doc.DESKTOP"), "/tmp/photo.jpg", "/tmp/gone.desktop",
                                  "/tmp/desktop"};
    ResolveShortcutsInList(list);
    EXPECT_EQ(list, (std::vector<std::string>{"/tmp/report.odt", "/tmp/photo.jpg", "", "/tmp/desktop"}));
}

TEST_F(SendToTest, WithoutAnyHomeNothingIsWritten) {
    ScopedEnv noData("XDG_DATA_HOME", "relative/data");
    ScopedEnv noHome("HOME", "");
    EXPECT_EQ(ThunarSendToFolder(), "");
    EXPECT_FALSE(CreateSendToShortcut("a@b.c", "POP3_0"));
    EXPECT_FALSE(Exists("relative"));
}

// The start-at-login entry is a desktop file of ours in the same family: it
// starts the host by its full path and goes only when it is ours.
TEST(AutostartTest, EntryStartsTheHostAndOnlyOursIsRemoved) {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.file("config")};
    const std::string entry = dir.file("config/autostart/org.brannock.Nuvex.desktop");
    EXPECT_EQ(autostart::EntryPath(), entry);

    ASSERT_TRUE(autostart::Enable("/opt/my apps/brannock"));
    auto keys = desktop::ReadKeyFile(entry);
    ASSERT_TRUE(keys.has_value());
    EXPECT_EQ(desktop::SplitExec(keys->Get("Desktop Entry", "Exec")),
              std::vector<std::string>{"/opt/my apps/brannock"});
    EXPECT_TRUE(autostart::IsEnabled());
    // A line break would start a key of its own in the entry.
    EXPECT_FALSE(autostart::Enable("/opt/x\nExec=/bin/sh"));
    EXPECT_TRUE(autostart::IsEnabled()) << "the good entry stays";

    ASSERT_TRUE(autostart::Disable());
    EXPECT_FALSE(Exists(entry));
    EXPECT_TRUE(autostart::Disable()); // nothing left to remove

    WriteText(entry, "[Desktop Entry]\nType=Application\nExec=brannock --headless\n");
    EXPECT_FALSE(autostart::IsEnabled());
    EXPECT_TRUE(autostart::Disable());
    EXPECT_TRUE(Exists(entry)) << "an entry the user wrote stays";
}

} // namespace
} // namespace nuvex
