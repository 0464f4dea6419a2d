// Opening an account's web page and its mail program.
#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/open_actions.h"
#include "accounts/pop3_connector.h"
#include "integration/mail_program_bridge.h"
#include "lib/command_line.h"
#include "lib/crypt_url.h"
#include "lib/redirect_page.h"
#include "lib/registry.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace nuvex {
namespace {

struct RecordingSink final : NavigationSink {
    void PostNavigate(const std::string& u, const std::string& c) override {
        url = u;
        command = c;
        ++calls;
    }
    std::string url, command;
    int calls = 0;
};

struct RecordingLauncher final : ProgramLauncher {
    bool Run(const std::string& commandLine) override {
        commands.push_back(commandLine);
        return true;
    }
    std::vector<std::string> commands;
};

class OpenActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        context.registry = registry.get();
        context.navigation = &sink;
        context.launcher = &launcher;
    }
    std::unique_ptr<TNuvex_GenericConnector> Pop3Account(int action, const std::string& url,
                                                         const std::string& mailer = "") {
        TAccountFields f;
        f.userName = "bob";
        f.email = "bob@example.org";
        f.actionCode = action;
        TPop3Fields p;
        p.password = "p'w d";
        p.hostName = "pop.example.org";
        p.webmailUrl = url;
        p.mailerName = mailer;
        AddPop3TypeKeys(f, p);
        auto account = Pop3ConnectorClass().Create(context);
        EXPECT_EQ(account->LoadSettings(BuildSettingsText(f)), kStatusOk);
        return account;
    }
    void AddMailProgram(const std::string& key, const std::string& display, const std::string& command) {
        std::string base = "SOFTWARE\\Clients\\Mail\\" + key;
        WriteRegString(*registry, RegRoot::HKLM, base, "", true, display);
        WriteRegString(*registry, RegRoot::HKLM, base + "\\shell\\open\\command", "", true, command);
    }

    test::TempDir runtime;
    test::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.path()};
    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    RecordingSink sink;
    RecordingLauncher launcher;
    AccountContext context;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Words(const std::string& commandLine) {
    return SplitCommandLine(commandLine).value_or(std::vector<std::string>{});
}

// The password never reaches a command line: the browser gets a private page
// that forwards to the URL, with the credentials percent-encoded in it.
TEST_F(OpenActionsTest, PasswordUrlGoesThroughAPrivateRedirectPage) {
    WriteRegString(*registry, RegRoot::HKCR, "HTTP\\shell\\open\\command", "", true,
                   "\"/usr/bin/browser\" \"%1\"");
    auto account = Pop3Account(1, "https://mail.example.org/login?u=%USERNAME%&p=%Passwd%&e=%email%");
    EXPECT_EQ(account->OpenMailbox(), kStatusOk);
    ASSERT_EQ(sink.calls, 1);
    const std::string page = sink.url;
    EXPECT_EQ(page.rfind(runtime.path() + "/nuvex-open/", 0), 0u) << page;
    EXPECT_TRUE(IsRedirectPage(page));
    EXPECT_EQ(Words(sink.command), (std::vector<std::string>{"/usr/bin/browser", page}));
    EXPECT_EQ(sink.command.find("p'w"), std::string::npos);
    EXPECT_EQ(sink.command.find("p%27w"), std::string::npos);

    struct stat st;
    ASSERT_EQ(::stat(page.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((runtime.path() + "/nuvex-open").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_NE(
        ReadAll(page).find("https://mail.example.org/login?u=bob&amp;p=p%27w%20d&amp;e=bob@example.org"),
        std::string::npos);
}

TEST_F(OpenActionsTest, PageIsRemovedWhenItsTimeIsUp) {
    detail::SetRedirectPageLifetime(std::chrono::milliseconds(100));
    auto account = Pop3Account(1, "https://mail.example.org/?p=%passwd%");
    account->OpenMailbox();
    const std::string page = sink.url;
    ASSERT_TRUE(std::filesystem::exists(page));
    for (int i = 0; i < 300 && std::filesystem::exists(page); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(std::filesystem::exists(page));
    EXPECT_FALSE(IsRedirectPage(page));
    detail::SetRedirectPageLifetime(std::chrono::milliseconds(60'000));
}

TEST_F(OpenActionsTest, WithoutARuntimeFolderAPasswordUrlIsNotOpened) {
    ::unsetenv("XDG_RUNTIME_DIR");
    auto account = Pop3Account(1, "https://mail.example.org/?p=%passwd%");
    EXPECT_EQ(account->OpenMailbox(), kStatusOk);
    EXPECT_EQ(sink.calls, 0);
}

// The target is one word of the command line, whatever quotes the browser
// command put around its placeholder; a URL without the password goes directly.
TEST_F(OpenActionsTest, TargetTakesThePlaceholdersPlaceAsOneWord) {
    struct Row {
        const char* browserCommand;
        std::vector<std::string> words;
    };
    const std::string url = "http://a.example/?q=x y'z\"$(id)";
    const Row rows[] = {
        {"", {"xdg-open", url}},
        {"firefox -new-tab", {"firefox", "-new-tab", url}},
        {"firefox '%1'", {"firefox", url}},
        {"firefox \"%1\" --x", {"firefox", url, "--x"}},
        {"\"/opt/My Browser/run\" %u", {"/opt/My Browser/run", url}},
        {"browser --url=%1 %1", {"browser", "--url=" + url, "%1"}},
        {"broken 'quote", {"xdg-open", url}},
    };
    for (const Row& row : rows) {
        WriteRegString(*registry, RegRoot::HKCR, "HTTP\\shell\\open\\command", "", true, row.browserCommand);
        auto account = Pop3Account(1, url);
        account->OpenMailbox();
        EXPECT_EQ(sink.url, url);
        EXPECT_EQ(Words(sink.command), row.words) << row.browserCommand << " -> " << sink.command;
    }
}

TEST_F(OpenActionsTest, UserNameIsPercentEncoded) {
    TAccountFields f;
    f.userName = "a b&c=d#e";
    f.email = "ab@example.org";
    f.actionCode = 1;
    TPop3Fields p;
    p.password = "x";
    p.hostName = "pop.example.org";
    p.webmailUrl = "https://mail.example.org/?u=%username%";
    AddPop3TypeKeys(f, p);
    auto account = Pop3ConnectorClass().Create(context);
    ASSERT_EQ(account->LoadSettings(BuildSettingsText(f)), kStatusOk);
    account->OpenMailbox();
    EXPECT_EQ(sink.url, "https://mail.example.org/?u=a%20b%26c%3Dd%23e");
}

TEST_F(OpenActionsTest, OnlyWebAndMailUrlsAreOpened) {
    for (const char* url : {"javascript:alert(1)//http://x", "file:///etc/passwd?http://x",
                            "smb://host/share?https://x", "x-custom:run?http://x"}) {
        auto account = Pop3Account(1, url);
        account->OpenMailbox();
    }
    TCryptURL record;
    record.SetParam("URL", "file:///home/bob/evil.desktop");
    EXPECT_FALSE(OpenUrl(*Pop3Account(1, "x"), record.EncodeParams()));
    EXPECT_EQ(sink.calls, 0);
}

TEST_F(OpenActionsTest, KeyedRecordUrlIsUnpacked) {
    TCryptURL record;
    record.SetParam("URL", "https://webmail.example/?user=%username%");
    auto account = Pop3Account(1, "x");
    EXPECT_TRUE(OpenUrl(*account, record.EncodeParams()));
    EXPECT_EQ(sink.url, "https://webmail.example/?user=bob");
    EXPECT_FALSE(OpenUrl(*account, "not a record"));
    EXPECT_EQ(sink.calls, 1);
}

TEST_F(OpenActionsTest, NoActionOrEmptyUrlOpensNothing) {
    Pop3Account(0, "http://a.example/")->OpenMailbox();
    Pop3Account(1, "")->OpenMailbox();
    EXPECT_EQ(sink.calls, 0);
    EXPECT_TRUE(launcher.commands.empty());
}

TEST_F(OpenActionsTest, MailProgramsListLastFirstWithoutOwnEntryOrMissingFiles) {
    AddMailProgram("Alpha", "Alpha Mail", "\"/bin/sh\" -c true");
    AddMailProgram("Gone", "Gone Mail", "\"/nonexistent/gone\" -compose");
    AddMailProgram("VostrelMail", "Own", "\"/bin/sh\"");
    AddMailProgram("Zeta", "Zeta Mail", "\"/bin/true\"");
    EXPECT_EQ(ListMailPrograms(*registry),
              (std::vector<std::string>{"Zeta||Zeta Mail", "Alpha||Alpha Mail"}));
}

TEST_F(OpenActionsTest, MailProgramStartsByDisplayNameAndAMissingOneDoesNothing) {
    AddMailProgram("Zeta", "Zeta Mail", "\"/bin/true\" --inbox");
    Pop3Account(2, "", "Zeta Mail")->OpenMailbox();
    EXPECT_EQ(launcher.commands, std::vector<std::string>{"\"/bin/true\" --inbox"});
    Pop3Account(2, "", "Uninstalled Mail")->OpenMailbox();
    EXPECT_EQ(launcher.commands.size(), 1u);
}

TEST_F(OpenActionsTest, ClickOnAnAccountEntryOpensThatAccountsMailbox) {
    TAccountList list;
    auto a = Pop3Account(1, "http://first.example/");
    a->SetAccountId("Pop3_0");
    auto b = Pop3Account(1, "http://second.example/");
    b->SetAccountId("Pop3_1");
    list.AddAccount(std::move(a));
    list.AddAccount(std::move(b));
    EXPECT_EQ(OpenAccountMailbox(list, "Pop3_1"), kStatusOk);
    EXPECT_EQ(sink.url, "http://second.example/");
    EXPECT_EQ(OpenAccountMailbox(list, "pop3_1"), kStatusFailed); // ids compare exactly
    EXPECT_EQ(OpenAccountMessage(list, "Pop3_1", "Pop3_1"), kStatusNotImplemented);
    EXPECT_EQ(sink.calls, 1);
}

TEST(EnvironmentExpansion, KnownNamesAreReplacedUnknownStay) {
    setenv("NUVEX_TEST_DIR", "/opt/x", 1);
    EXPECT_EQ(ExpandEnvironmentStrings("%NUVEX_TEST_DIR%\\bin %NO_SUCH_VAR% 100%"),
              "/opt/x\\bin %NO_SUCH_VAR% 100%");
}

class MailProgramBridgeTest : public ::testing::Test {
protected:
    void Write(const std::string& dir, const std::string& file, const std::string& text) {
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/" + file) << text;
    }
    test::TempDir temp;
    std::string home = temp.path() + "/home/applications";
    std::string system = temp.path() + "/system/applications";
    std::unique_ptr<Registry> inner = MakeMemoryRegistry();
};

TEST_F(MailProgramBridgeTest, DesktopEntriesForMailtoAppearAsMailClientKeys) {
    Write(system, "bird.desktop",
          "[Desktop Entry]\nType=Application\nName=Bird Mail\nExec=/bin/true -compose %u\n"
          "MimeType=text/plain;x-scheme-handler/mailto;\n");
    Write(system, "viewer.desktop",
          "[Desktop Entry]\nType=Application\nName=Viewer\nExec=/bin/true %f\n"
          "MimeType=image/png;\n");
    Write(system, "hidden.desktop",
          "[Desktop Entry]\nName=Hidden\nExec=/bin/true\nHidden=true\n"
          "MimeType=x-scheme-handler/mailto;\n");
    // The user's own entry of the same id wins over the system's.
    Write(home, "bird.desktop",
          "[Desktop Entry]\nName=Bird (mine)\nExec=/bin/sh -c \"exit 0\" %U\n"
          "MimeType=x-scheme-handler/mailto\n");
    Write(system, "other.desktop",
          "[Desktop Entry]\nName=Other Mail\nExec=\"/nonexistent/other app\" %u\n"
          "MimeType=x-scheme-handler/mailto;\n");
    // The entry this program writes for mailto links is not offered as a mail program.
    Write(
        home, "nuvex.desktop",
        "[Desktop Entry]\nName=Email Plugin\nExec=/bin/true /mailto %u\nMimeType=x-scheme-handler/mailto;\n");
    WriteRegString(*inner, RegRoot::HKLM, "SOFTWARE\\Clients\\Mail\\VostrelMail", "", true, "Own");
    MailProgramBridge bridge(*inner, {home, system});
    EXPECT_EQ(ListMailPrograms(bridge), std::vector<std::string>{"bird||Bird (mine)"});
    EXPECT_EQ(
        ReadRegString(bridge, RegRoot::HKLM, "SOFTWARE\\Clients\\Mail\\bird\\shell\\open\\command", "", ""),
        "/bin/sh -c 'exit 0'");
    auto keys = bridge.SubKeys(RegRoot::HKLM, "Software\\Clients\\Mail");
    EXPECT_EQ(keys, (std::vector<std::string>{"bird", "other", "VostrelMail"}));
    // Other keys pass through.
    EXPECT_EQ(ReadRegString(bridge, RegRoot::HKLM, "SOFTWARE\\Clients\\Mail\\VostrelMail", "", ""), "Own");
}

TEST(DesktopExec, FieldCodesGoAndTheProgramIsQuoted) {
    EXPECT_EQ(DesktopExecToCommand("/usr/bin/mailer --compose %u"), "/usr/bin/mailer --compose");
    EXPECT_EQ(DesktopExecToCommand("\"/opt/My Mail/run\" \"%u\" --x %%"), "'/opt/My Mail/run' --x %");
    EXPECT_EQ(DesktopExecToCommand("mailer --to=%u \"it's\""), "mailer --to= 'it'\\''s'");
    EXPECT_EQ(DesktopExecToCommand("\"open quote"), "");
    // A bare name is found through PATH.
    std::string saved = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", "/nonexistent:/bin", 1);
    EXPECT_EQ(DesktopExecToCommand("sh -c true"), "/bin/sh -c true");
    setenv("PATH", saved.c_str(), 1);
}

// No shell reads the command line: "$(...)" and ";" in a word stay literal.
TEST(SpawnLauncher, RunsTheWordsWithoutAShell) {
    test::TempDir temp;
    const std::string marker = temp.file("ran $(id);x 'y'");
    SpawnProgramLauncher launcher;
    ASSERT_TRUE(launcher.Run("touch " + QuoteArgument(marker)));
    for (int i = 0; i < 200 && !std::filesystem::exists(marker); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(std::filesystem::exists(marker));
    EXPECT_FALSE(launcher.Run("'open quote"));
    EXPECT_FALSE(launcher.Run("   "));
    EXPECT_FALSE(launcher.Run("no-such-program-anywhere --x"));
}

} // namespace
} // namespace nuvex
