#include "core/entry.h"
#include "core/exe_plugin.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace nuvex {
namespace {

TEST(EntryDispatch, HandOffWordsInOrder) {
    EXPECT_EQ(ClassifyEntry("/sendto:C:/files/a.txt"), EntryAction::SendTo);
    EXPECT_EQ(ClassifyEntry("mailto:someone@example.org"), EntryAction::MailTo);
    EXPECT_EQ(ClassifyEntry("/readmail"), EntryAction::ReadMail);
    // First match wins: a Send To argument that mentions mailto is still Send To.
    EXPECT_EQ(ClassifyEntry("sendto:mailto:readmail"), EntryAction::SendTo);
    EXPECT_EQ(ClassifyEntry("mailto:readmail"), EntryAction::MailTo);
}

TEST(EntryDispatch, TestsAreCaseSensitiveSubstrings) {
    EXPECT_EQ(ClassifyEntry("SENDTO:x"), EntryAction::Run);
    EXPECT_EQ(ClassifyEntry("MAILTO:x"), EntryAction::Run);
    EXPECT_EQ(ClassifyEntry("sendto"), EntryAction::Run); // the colon belongs to the word
    EXPECT_EQ(ClassifyEntry(""), EntryAction::Run);
    EXPECT_EQ(ClassifyEntry("-Embedding"), EntryAction::Run);
}

TEST(EntryDispatch, HandOffArgumentsNeverStartThePlugin) {
    // No running copy and no brannock to start: the forward gives up after
    // its (here shortened) wait and says so in its exit code.
    test::TempDir dir;
    test::ScopedEnv objects("NUVEX_OBJECTS_DIR", dir.path());
    test::ScopedEnv path("PATH", dir.path());
    test::ScopedEnv timing("NUVEX_HANDOFF_TIMING", "2,10,0");
    for (const char* arg : {"mailto:a@b", "/sendto:/tmp/a.txt", "/readmail"}) {
        char program[] = "nuvex";
        std::string copy = arg;
        char* argv[] = {program, copy.data(), nullptr};
        bool made = false;
        const int code = NuvexEntry(2, argv, [&made] {
            made = true;
            return std::unique_ptr<TExePlugin>();
        });
        EXPECT_FALSE(made) << arg;
        EXPECT_NE(code, 0) << arg; // the running program was not reached
    }
}

TEST(RunSwitches, AnyCaseAnyLeadingDashesAndSlashes) {
    EXPECT_EQ(ParseRunSwitch("/regserver"), RunSwitch::RegServer);
    EXPECT_EQ(ParseRunSwitch("-RegServer"), RunSwitch::RegServer);
    EXPECT_EQ(ParseRunSwitch("--//-REGSERVER"), RunSwitch::RegServer);
    EXPECT_EQ(ParseRunSwitch("/UnRegServer"), RunSwitch::UnregServer);
    EXPECT_EQ(ParseRunSwitch("manualupdate"), RunSwitch::ManualUpdate);
    EXPECT_EQ(ParseRunSwitch("///ManualUpdate"), RunSwitch::ManualUpdate);
}

TEST(RunSwitches, AnythingElseIsAStart) {
    EXPECT_EQ(ParseRunSwitch(""), RunSwitch::Start);
    EXPECT_EQ(ParseRunSwitch("/regserverx"), RunSwitch::Start);
    EXPECT_EQ(ParseRunSwitch("reg server"), RunSwitch::Start);
    EXPECT_EQ(ParseRunSwitch("-Embedding"), RunSwitch::Start);
    EXPECT_EQ(ParseRunSwitch("/ regserver"), RunSwitch::Start);
}

} // namespace
} // namespace nuvex
