#include "core/entry.h"
#include "core/exe_plugin.h"

#include <gtest/gtest.h>

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

TEST(EntryDispatch, ForwardingReportsThatItIsNotAvailable) {
    EXPECT_NE(ForwardHandOff(HandOffKind::MailTo, {"mailto:a@b"}), 0);
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
