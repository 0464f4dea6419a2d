#include "lib/registry.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nuvex {
namespace {

using test::TempDir;

struct StoreKind {
    const char* name;
    bool sqlite;
};
void PrintTo(const StoreKind& kind, std::ostream* os) {
    *os << kind.name;
}

class RegistryTest : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override {
        reg_ = GetParam().sqlite ? OpenSqliteRegistry(dir_.file("sub/registry.db")) : MakeMemoryRegistry();
        ASSERT_NE(reg_, nullptr);
    }
    TempDir dir_;
    std::unique_ptr<Registry> reg_;
};

TEST_P(RegistryTest, NamesCompareWithoutCaseButKeepTheirWrittenCase) {
    ASSERT_TRUE(WriteRegString(*reg_, RegRoot::HKCU, "Software\\Brannock\\PlugIns", "Disabled", true, "1"));
    EXPECT_TRUE(reg_->KeyExists(RegRoot::HKCU, "SOFTWARE\\brannock"));
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKCU, "software\\BRANNOCK\\plugins", "DISABLED", "x"), "1");
    ASSERT_TRUE(WriteRegString(*reg_, RegRoot::HKCU, "SOFTWARE\\BRANNOCK\\PLUGINS", "DISABLED", true, "0"));
    EXPECT_EQ(reg_->ValueNames(RegRoot::HKCU, "software\\brannock\\plugins"),
              std::vector<std::string>{"Disabled"});
    EXPECT_EQ(reg_->SubKeys(RegRoot::HKCU, "software"), std::vector<std::string>{"Brannock"});
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKCU, "Software\\Brannock\\PlugIns", "Disabled", "x"), "0");
    // Roots are separate trees.
    EXPECT_FALSE(reg_->KeyExists(RegRoot::HKLM, "Software\\Brannock"));
}

TEST_P(RegistryTest, EmptyValueNameIsTheKeyDefault) {
    ASSERT_TRUE(WriteRegString(*reg_, RegRoot::HKCR, "mailto\\shell\\open\\command", "", true, "nuvex %1"));
    auto v = reg_->GetValue(RegRoot::HKCR, "mailto\\shell\\open\\command", "");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->data, "nuvex %1");
    EXPECT_EQ(v->type, RegType::String);
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKCR, "mailto\\shell\\open\\command", "other", "none"), "none");
}

TEST_P(RegistryTest, WriteWithoutCreateFailsOnMissingKey) {
    EXPECT_FALSE(WriteRegString(*reg_, RegRoot::HKLM, "Software\\Missing", "A", false, "x"));
    EXPECT_FALSE(reg_->KeyExists(RegRoot::HKLM, "Software\\Missing"));
    ASSERT_TRUE(reg_->CreateKey(RegRoot::HKLM, "Software\\Missing"));
    EXPECT_TRUE(WriteRegString(*reg_, RegRoot::HKLM, "Software\\Missing", "A", false, "x"));
}

TEST_P(RegistryTest, HelpersNormalizeTheKeyPath) {
    ASSERT_TRUE(WriteRegString(*reg_, RegRoot::HKLM, "  Software\\\\\\Brannock\\\\ ", "BRAND", true, "B"));
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKLM, "Software\\Brannock", "brand", ""), "B");
    EXPECT_EQ(reg_->SubKeys(RegRoot::HKLM, "Software"), std::vector<std::string>{"Brannock"});
}

TEST_P(RegistryTest, IntegersFromDwordBinaryAndText) {
    const char* key = "Software\\Numbers";
    ASSERT_TRUE(reg_->SetValue(RegRoot::HKCU, key, "dw", RegValue::Dword(0xDEADBEEF)));
    ASSERT_TRUE(
        reg_->SetValue(RegRoot::HKCU, key, "bin", RegValue{RegType::Binary, std::string("\x01\x02", 2)}));
    ASSERT_TRUE(reg_->SetValue(RegRoot::HKCU, key, "text", RegValue::Text(" 42 ")));
    ASSERT_TRUE(reg_->SetValue(RegRoot::HKCU, key, "neg", RegValue::Text("-7")));
    ASSERT_TRUE(reg_->SetValue(RegRoot::HKCU, key, "bad", RegValue::Text("12abc")));
    ASSERT_TRUE(reg_->SetValue(RegRoot::HKCU, key, "empty", RegValue{RegType::Binary, ""}));
    EXPECT_EQ(ReadRegInteger(*reg_, RegRoot::HKCU, key, "dw", -1), 0xDEADBEEF);
    EXPECT_EQ(ReadRegInteger(*reg_, RegRoot::HKCU, key, "bin", -1), 0x0201);
    EXPECT_EQ(ReadRegInteger(*reg_, RegRoot::HKCU, key, "text", -1), 42);
    EXPECT_EQ(ReadRegInteger(*reg_, RegRoot::HKCU, key, "neg", -1), -7);
    EXPECT_EQ(ReadRegInteger(*reg_, RegRoot::HKCU, key, "bad", 5), 5);
    EXPECT_EQ(ReadRegInteger(*reg_, RegRoot::HKCU, key, "empty", 6), 6);
    EXPECT_EQ(ReadRegInteger(*reg_, RegRoot::HKCU, key, "missing", 9), 9);
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKCU, key, "dw", ""), "3735928559");
    // Binary data keeps its zero bytes.
    EXPECT_EQ(reg_->GetValue(RegRoot::HKCU, key, "bin")->data, std::string("\x01\x02", 2));
}

TEST_P(RegistryTest, DeleteKeyTakesSubkeysAndOnlyThem) {
    ASSERT_TRUE(WriteRegString(*reg_, RegRoot::HKCU, "A\\B\\C", "v", true, "1"));
    ASSERT_TRUE(WriteRegString(*reg_, RegRoot::HKCU, "A\\B", "v", true, "2"));
    ASSERT_TRUE(WriteRegString(*reg_, RegRoot::HKCU, "A\\B_x", "v", true, "3")); // shares the prefix "A\B"
    ASSERT_TRUE(DeleteRegKey(*reg_, RegRoot::HKCU, "a\\b"));
    EXPECT_FALSE(reg_->KeyExists(RegRoot::HKCU, "A\\B"));
    EXPECT_FALSE(reg_->KeyExists(RegRoot::HKCU, "A\\B\\C"));
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKCU, "A\\B\\C", "v", "gone"), "gone");
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKCU, "A\\B_x", "v", ""), "3");
    EXPECT_EQ(reg_->SubKeys(RegRoot::HKCU, "A"), std::vector<std::string>{"B_x"});
    EXPECT_TRUE(DeleteRegKey(*reg_, RegRoot::HKCU, "A\\B"));   // already gone: fine
    EXPECT_FALSE(DeleteRegKey(*reg_, RegRoot::HKCU, "  \\ ")); // never the whole root
    EXPECT_TRUE(reg_->KeyExists(RegRoot::HKCU, "A\\B_x"));
}

TEST_P(RegistryTest, CopyKeepsEachValueTypeAndRecursesWhenAsked) {
    const char* src = "SOFTWARE\\Clients\\Mail\\Old";
    ASSERT_TRUE(reg_->SetValue(RegRoot::HKLM, src, "", RegValue::Text("Old Mail")));
    ASSERT_TRUE(reg_->SetValue(RegRoot::HKLM, src, "Path", RegValue{RegType::ExpandString, "%HOME%/x"}));
    ASSERT_TRUE(reg_->SetValue(RegRoot::HKLM, src, "Count", RegValue::Dword(3)));
    ASSERT_TRUE(
        reg_->SetValue(RegRoot::HKLM, src, "Blob", RegValue{RegType::Binary, std::string("\0\1", 2)}));
    ASSERT_TRUE(
        WriteRegString(*reg_, RegRoot::HKLM, std::string(src) + "\\shell\\open\\command", "", true, "old"));

    EXPECT_FALSE(CopyRegKey(*reg_, RegRoot::HKLM, src, RegRoot::HKCU, false, true, "Backup")); // no create
    ASSERT_TRUE(CopyRegKey(*reg_, RegRoot::HKLM, src, RegRoot::HKCU, true, false, "Flat"));
    EXPECT_FALSE(reg_->KeyExists(RegRoot::HKCU, "Flat\\shell"));
    ASSERT_TRUE(CopyRegKey(*reg_, RegRoot::HKLM, src, RegRoot::HKCU, true, true, "Backup"));
    EXPECT_EQ(reg_->GetValue(RegRoot::HKCU, "Backup", "path")->type, RegType::ExpandString);
    EXPECT_EQ(reg_->GetValue(RegRoot::HKCU, "Backup", "count")->type, RegType::DWord);
    EXPECT_EQ(reg_->GetValue(RegRoot::HKCU, "Backup", "blob")->data, std::string("\0\1", 2));
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKCU, "Backup", "", ""), "Old Mail");
    EXPECT_EQ(ReadRegString(*reg_, RegRoot::HKCU, "Backup\\Shell\\Open\\Command", "", ""), "old");
    EXPECT_EQ(reg_->ValueNames(RegRoot::HKCU, "Backup"),
              (std::vector<std::string>{"", "Path", "Count", "Blob"}));
    // Into its own subtree would never end.
    EXPECT_FALSE(
        CopyRegKey(*reg_, RegRoot::HKLM, src, RegRoot::HKLM, true, true, std::string(src) + "\\Copy"));
    EXPECT_FALSE(CopyRegKey(*reg_, RegRoot::HKLM, "No\\Such", RegRoot::HKCU, true, true, "X"));
}

INSTANTIATE_TEST_SUITE_P(Stores, RegistryTest,
                         ::testing::Values(StoreKind{"Memory", false}, StoreKind{"Sqlite", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NormalizeKeyPathTest, TrimsCollapsesAndDropsTrailingBackslash) {
    EXPECT_EQ(NormalizeKeyPath("  Software\\\\Brannock\\\\\\\\PlugIns\\\\  "), "Software\\Brannock\\PlugIns");
    EXPECT_EQ(NormalizeKeyPath("Software\\Brannock\\"), "Software\\Brannock");
    EXPECT_EQ(NormalizeKeyPath("\\\\\\"), "");
    EXPECT_EQ(NormalizeKeyPath("Plain"), "Plain");
}

TEST(SqliteRegistryTest, FileAndFolderAreUserOnlyAndDataSurvivesReopen) {
    TempDir dir;
    std::string path = dir.file("cfg/brannock/registry.db");
    {
        auto reg = OpenSqliteRegistry(path);
        ASSERT_NE(reg, nullptr);
        ASSERT_TRUE(WriteRegString(*reg, RegRoot::HKLM, "Software\\Brannock", "BRAND", true, "Acme"));
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(dir.file("cfg/brannock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto again = OpenSqliteRegistry(path);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(ReadRegString(*again, RegRoot::HKLM, "software\\brannock", "brand", ""), "Acme");
    // A parent that is a file, or a file that is no database: a clear failure, not a crash.
    EXPECT_EQ(OpenSqliteRegistry(path + "/inner.db"), nullptr);
    std::string junk = dir.file("junk.db");
    FILE* f = std::fopen(junk.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("this is not a database file, just some text that fills the first page............", f);
    std::fclose(f);
    EXPECT_EQ(OpenSqliteRegistry(junk), nullptr);
}

TEST(SqliteRegistryTest, TwoConnectionsWriteTheSameFile) {
    TempDir dir;
    auto a = OpenSqliteRegistry(dir.file("r.db"));
    auto b = OpenSqliteRegistry(dir.file("r.db"));
    ASSERT_TRUE(a && b);
    std::thread ta([&] {
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(WriteRegString(*a, RegRoot::HKCU, "K", "a" + std::to_string(i), true, "x"));
        }
    });
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(WriteRegString(*b, RegRoot::HKCU, "K", "b" + std::to_string(i), true, "y"));
    }
    ta.join();
    EXPECT_EQ(a->ValueNames(RegRoot::HKCU, "K").size(), 200u);
}

// A writer killed with SIGKILL in the middle of its loop leaves a store that
// opens, passes SQLite's integrity check and holds every write it finished.
TEST(SqliteRegistryTest, KilledWriterLeavesStoreWhole) {
    TempDir dir;
    std::string path = dir.file("r.db");
    ASSERT_NE(OpenSqliteRegistry(path), nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto reg = OpenSqliteRegistry(path);
        for (int i = 0;; ++i) {
            // Each round writes a pair; the second value names the first.
            WriteRegString(*reg, RegRoot::HKCU, "Accounts\\N" + std::to_string(i), "A", true,
                           std::to_string(i));
            WriteRegString(*reg, RegRoot::HKCU, "Accounts", "Last", true, std::to_string(i));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);

    auto reg = OpenSqliteRegistry(path);
    ASSERT_NE(reg, nullptr);
    std::int64_t last = ReadRegInteger(*reg, RegRoot::HKCU, "Accounts", "Last", -1);
    ASSERT_GE(last, 0) << "the writer finished no round in 300 ms";
    for (std::int64_t i = 0; i <= last; ++i) {
        ASSERT_EQ(ReadRegInteger(*reg, RegRoot::HKCU, "Accounts\\N" + std::to_string(i), "A", -1), i);
    }
}

TEST(ProcessRegistryTest, InstalledRegistryIsUsedUntilRemovedThenTheDefaultStore) {
    TempDir dir;
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1); // keep the default store out of $HOME
    ASSERT_EQ(::mkdir(dir.file("brannock").c_str(), 0755), 0);
    auto mem = MakeMemoryRegistry();
    SetProcessRegistry(mem.get());
    EXPECT_EQ(&ProcessRegistry(), mem.get());
    SetProcessRegistry(nullptr);
    Registry& def = ProcessRegistry();
    EXPECT_NE(&def, mem.get());
    EXPECT_TRUE(WriteRegString(def, RegRoot::HKCU, "K", "v", true, "1"));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("brannock/registry.db").c_str(), &st), 0);
    ASSERT_EQ(::stat(dir.file("brannock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u); // tightened
}

// Run in a fresh copy of the test program, so that no earlier test has opened
// the process registry yet.
TEST(ProcessRegistryDeathTest, UnopenableStoreIsReportedNotSilentlyReplaced) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    std::ofstream(dir.file("brannock")) << "a file where the folder should be";
    EXPECT_EXIT(
        {
            ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
            Registry& reg = ProcessRegistry();
            const bool writes = WriteRegString(reg, RegRoot::HKCU, "K", "v", true, "1");
            std::_Exit(writes && !ProcessRegistryIsPersistent() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "registry.*cannot open .*brannock/registry.db");
}

TEST(ProcessRegistryDeathTest, OpenedStoreIsPersistent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    EXPECT_EXIT(
        {
            ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
            std::_Exit(ProcessRegistryIsPersistent() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(DefaultRegistryPathTest, FollowsXdgConfigHomeThenHome) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    std::string saved = oldXdg ? oldXdg : "";
    ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
    EXPECT_EQ(DefaultRegistryPath(), "/x/cfg/brannock/registry.db");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DefaultRegistryPath(), std::string(std::getenv("HOME")) + "/.config/brannock/registry.db");
    if (oldXdg) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    }
}

} // namespace
} // namespace nuvex
