#include "integration/mail_client.h"
#include "integration/sendto.h"
#include "lib/files.h"
#include "lib/registry.h"
#include "tests/support/mail_handler_fixture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using namespace std::chrono_literals;
using test::ScopedEnv;
using test::TempDir;

constexpr const char* kBackupKey = "Software\\Clients\\Mail\\VostrelMail\\Backup";

using test::WriteText;

class MailClientTest : public test::MailHandlerTest {
protected:
    void InstallHandler(const std::string& id) {
        WriteText(dir_.file("data/applications/" + id),
                  "[Desktop Entry]\nType=Application\nName=Old\nExec=true "
                  "%u\nMimeType=x-scheme-handler/mailto;\n");
    }
    void MakeHandler(const std::string& id) {
        ASSERT_TRUE(RunTool({"xdg-mime", "default", id, "x-scheme-handler/mailto"}, 10s));
    }
    std::string Store(std::string_view key, std::string_view name = "") {
        return ReadRegString(*registry_, RegRoot::HKLM, key, name, "<none>");
    }
    std::string MimeApps() { return ReadFileText(dir_.file("config/mimeapps.list")); }
};

TEST_F(MailClientTest, RegisteringWritesTheClientEntryAndAHiddenDesktopEntry) {
    SetSendToProgramPath("/opt/nu vex/nuvex");
    ASSERT_TRUE(RegisterMailClient());
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail\\VostrelMail\\Protocols\\mailto\\shell\\open\\command"),
              "\"/opt/nu vex/nuvex\" /mailto %1");
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail\\VostrelMail\\shell\\open\\command"),
              "\"/opt/nu vex/nuvex\" /readmail");
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail\\VostrelMail\\Protocols\\mailto\\DefaultIcon"),
              "\"/opt/nu vex/nuvex\",0");
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail\\VostrelMail", "DLLPath"), "<none>")
        << "no library beside the program";
    const std::string entry = ReadFileText(MailClientDesktopFile());
    EXPECT_EQ(MailClientDesktopFile(), dir_.file("data/applications/nuvex.desktop"));
    EXPECT_NE(entry.find("\nExec=\"/opt/nu vex/nuvex\" /mailto:ask %u\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("MimeType="), std::string::npos) << "not the default: it claims no type";
    EXPECT_NE(entry.find("\nNoDisplay=true\n"), std::string::npos);
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail"), "<none>") << "registering alone changes no default";
}

TEST_F(MailClientTest, DefaultAndRestoreSwitchTheDesktopsMailtoHandler) {
    InstallHandler("oldmail.desktop");
    MakeHandler("oldmail.desktop");
    ASSERT_EQ(QueryMailtoHandler(), "oldmail.desktop");

    ASSERT_TRUE(RegisterMailClient());
    ASSERT_TRUE(SetDefaultMailClient());
    EXPECT_EQ(QueryMailtoHandler(), "nuvex.desktop");
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail"), "VostrelMail");
    EXPECT_EQ(Store(kBackupKey), "oldmail");
    EXPECT_EQ(ReadRegString(*registry_, RegRoot::HKCR, "mailto\\shell\\open\\command", "", ""),
              "\"" + program_ + "\" /mailto %1");
    EXPECT_EQ(ReadRegString(*registry_, RegRoot::HKCR, "mailto", "", ""), "URL:MailTo Protocol");
    auto flags = registry_->GetValue(RegRoot::HKCR, "mailto", "EditFlags");
    ASSERT_TRUE(flags);
    EXPECT_EQ(flags->data, std::string("\x02\x00\x00\x00", 4));

    ASSERT_TRUE(RestoreMailClient());
    EXPECT_EQ(QueryMailtoHandler(), "oldmail.desktop");
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail"), "oldmail");
    EXPECT_FALSE(registry_->KeyExists(RegRoot::HKCR, "mailto\\shell")) << "the old client's keys, not ours";
}

TEST_F(MailClientTest, SettingTwiceKeepsTheFirstReplacedClient) {
    InstallHandler("oldmail.desktop");
    MakeHandler("oldmail.desktop");
    ASSERT_TRUE(SetDefaultMailClient());
    ASSERT_TRUE(SetDefaultMailClient());
    EXPECT_EQ(Store(kBackupKey), "oldmail");
    // Already the default in the store alone (the desktop's choice was lost): still kept.
    MakeHandler("oldmail.desktop");
    WriteRegString(*registry_, RegRoot::HKLM, kBackupKey, "", true, "first");
    ASSERT_TRUE(SetDefaultMailClient());
    EXPECT_EQ(Store(kBackupKey), "first");
}

TEST_F(MailClientTest, RestoreWithAnEmptyBackupDropsOurAssociation) {
    WriteText(dir_.file("config/mimeapps.list"), "[Default Applications]\ntext/html=web.desktop\n");
    ASSERT_TRUE(SetDefaultMailClient());
    EXPECT_EQ(Store(kBackupKey), "");
    EXPECT_NE(MimeApps().find("x-scheme-handler/mailto=nuvex.desktop"), std::string::npos);
    EXPECT_NE(ReadFileText(MailClientDesktopFile()).find("\nMimeType=x-scheme-handler/mailto;\n"),
              std::string::npos);
    ASSERT_TRUE(RestoreMailClient());
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail"), "Outlook Express");
    EXPECT_EQ(MimeApps(), "[Default Applications]\ntext/html=web.desktop\n") << "every other line stays";
    // Nothing else handles mailto here: the desktop must not fall back to our entry.
    EXPECT_EQ(QueryMailtoHandler(), "");
    ASSERT_TRUE(RegisterMailClient());
    EXPECT_EQ(QueryMailtoHandler(), "") << "registering again claims nothing";
}

TEST_F(MailClientTest, RestoreLeavesAHandlerTheUserChoseSince) {
    InstallHandler("oldmail.desktop");
    InstallHandler("newer.desktop");
    MakeHandler("oldmail.desktop");
    ASSERT_TRUE(SetDefaultMailClient());
    MakeHandler("newer.desktop");
    ASSERT_TRUE(RestoreMailClient());
    EXPECT_EQ(QueryMailtoHandler(), "newer.desktop");
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail"), "oldmail") << "the store had still named us";

    // Not the default anywhere: nothing changes.
    WriteRegString(*registry_, RegRoot::HKLM, "SOFTWARE\\Clients\\Mail", "", true, "other");
    ASSERT_TRUE(RestoreMailClient());
    EXPECT_EQ(Store("SOFTWARE\\Clients\\Mail"), "other");
}

TEST_F(MailClientTest, AProgramPathWithASpaceIsStillKnownAsTheDefault) {
    // xdg-mime's generic reader cannot split such an Exec and answers with
    // another installed handler instead.
    program_ = dir_.file("my apps/nuvex");
    WriteText(program_, "#!/bin/sh\n");
    std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
    SetSendToProgramPath(program_);
    InstallHandler("aaother.desktop");
    InstallHandler("oldmail.desktop");
    MakeHandler("oldmail.desktop");
    ASSERT_TRUE(SetDefaultMailClient());
    WriteRegString(*registry_, RegRoot::HKLM, "SOFTWARE\\Clients\\Mail", "", true, "other");
    ASSERT_TRUE(SetDefaultMailClient());
    EXPECT_EQ(Store(kBackupKey), "oldmail") << "the second call must see that we are the default";
    WriteRegString(*registry_, RegRoot::HKLM, "SOFTWARE\\Clients\\Mail", "", true, "other");
    ASSERT_TRUE(RestoreMailClient());
    EXPECT_EQ(QueryMailtoHandler(), "oldmail.desktop");
}

TEST_F(MailClientTest, ABackupWhoseEntryIsGoneIsNotMadeTheHandler) {
    InstallHandler("oldmail.desktop");
    MakeHandler("oldmail.desktop");
    ASSERT_TRUE(SetDefaultMailClient());
    std::filesystem::remove(dir_.file("data/applications/oldmail.desktop"));
    ASSERT_TRUE(RestoreMailClient());
    EXPECT_EQ(MimeApps().find("oldmail.desktop"), std::string::npos);
    EXPECT_EQ(MimeApps().find("nuvex.desktop"), std::string::npos);
}

TEST_F(MailClientTest, UnregisteringLeavesNothingOfOursAndTheOldHandlerBack) {
    InstallHandler("oldmail.desktop");
    MakeHandler("oldmail.desktop");
    WriteText(dir_.file("config/mimeapps.list"),
              MimeApps() + "[Added Associations]\nx-scheme-handler/mailto=nuvex.desktop;oldmail.desktop;\n");
    ASSERT_TRUE(RegisterMailClient());
    ASSERT_TRUE(SetDefaultMailClient());
    ASSERT_TRUE(UnregisterMailClient());
    EXPECT_EQ(QueryMailtoHandler(), "oldmail.desktop");
    EXPECT_FALSE(std::filesystem::exists(MailClientDesktopFile()));
    EXPECT_FALSE(registry_->KeyExists(RegRoot::HKLM, "Software\\Clients\\Mail\\VostrelMail"));
    EXPECT_EQ(MimeApps().find("nuvex"), std::string::npos) << MimeApps();
    EXPECT_NE(MimeApps().find("[Added Associations]\nx-scheme-handler/mailto=oldmail.desktop;\n"),
              std::string::npos)
        << MimeApps();
    EXPECT_TRUE(UnregisterMailClient()) << "a second time finds nothing to do";
}

TEST_F(MailClientTest, WithoutAStoreToRememberTheOldHandlerItIsNotReplaced) {
    InstallHandler("oldmail.desktop");
    MakeHandler("oldmail.desktop");
    // A file where the store's folder belongs: the program runs on an in-memory stand-in.
    WriteText(dir_.file("config/brannock"), "");
    SetProcessRegistry(nullptr);
    ASSERT_FALSE(ProcessRegistryIsPersistent());
    EXPECT_FALSE(SetDefaultMailClient());
    EXPECT_EQ(QueryMailtoHandler(), "oldmail.desktop");
}

TEST_F(MailClientTest, ToolsRunWithoutAShellWithinTheirTimeOut) {
    EXPECT_EQ(RunTool({"printf", "%s|", "a b", "$HOME;`id`"}, 5s), "a b|$HOME;`id`|");
    EXPECT_EQ(RunTool({"false"}, 5s), std::nullopt);
    EXPECT_EQ(RunTool({"no-such-program-here"}, 5s), std::nullopt);
    EXPECT_EQ(RunTool({}, 5s), std::nullopt);
    const auto start = std::chrono::steady_clock::now();
    // The child's own child keeps the pipe open: the whole group must end.
    EXPECT_EQ(RunTool({"sh", "-c", "sleep 30 & sleep 30"}, 200ms), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // Its output closed, the tool itself still running: the time-out holds too.
    const auto closed = std::chrono::steady_clock::now();
    EXPECT_EQ(RunTool({"sh", "-c", "exec >&- ; sleep 30"}, 200ms), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - closed, 5s);
    const auto big = RunTool({"head", "-c", "100000", "/dev/zero"}, 5s, 1000);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), 1000u);
}

} // namespace
} // namespace nuvex
