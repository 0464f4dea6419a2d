// brannock and nuvex together on a private session bus.
#include "tests/e2e/e2e_harness.h"
#include "tests/support/time_scale.h"

namespace nuvex::e2e {
namespace {

using ::testing::HasSubstr;

TEST_F(E2eTest, ButtonAndSeparatorAppearWithTheHostsValues) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp()) << ReadFile(HostOut()) << ReadFile(dir_.file("host.err"));

    Result button = Ctl({"button", "MAIL"});
    EXPECT_THAT(button.out, HasSubstr("visible: 1\n"));
    EXPECT_THAT(button.out, HasSubstr("separator visible: 1\n"));
    EXPECT_THAT(ReadFile(HostOut()),
                HasSubstr("button MAIL button caption=\"Email\" hint=\"Email\" visible=1 picture=changed"));
    EXPECT_THAT(ReadFile(HostOut()), HasSubstr("button MAIL separator"));

    // The host seeded its values from the plug-in's defaults; names match in any case.
    EXPECT_EQ(Ctl({"get", "MAIL", "SHOW_BUTTON"}).out, "3\n");
    EXPECT_EQ(Ctl({"get", "Mail", "show_button"}).out, "3\n");

    // The plug-in reads the host's value when it runs a command.
    ASSERT_EQ(Ctl({"set", "MAIL", "HELP_URL", "https://help.example.org/first"}).code, 0);
    ASSERT_EQ(Ctl({"command", "MAIL", "HELP"}).code, 0);
    ASSERT_TRUE(WaitUntil([this] { return Navigations().find("first") != std::string::npos; }, 5000));
    EXPECT_EQ(Navigations(), "https://help.example.org/first\n");
    EXPECT_THAT(ReadFile(HostOut()),
                HasSubstr("navigate url=\"https://help.example.org/first\" window=\"new\""));

    // An unset link opens nothing.
    ASSERT_EQ(Ctl({"delete", "MAIL", "ABOUT_URL"}).code, 0);
    ASSERT_EQ(Ctl({"command", "MAIL", "ABOUT"}).code, 0);
    EXPECT_EQ(Navigations(), "https://help.example.org/first\n");

    Result longName = Ctl({"query-text", "MAIL", "LONGNAME", ""});
    EXPECT_EQ(longName.code, 0);
    EXPECT_NE(longName.out, "\n");
    Result icon = Ctl({"query-text", "MAIL", "ICON", ""});
    EXPECT_EQ(icon.out.substr(0, 4), "424D");
    EXPECT_EQ(Ctl({"query-num", "MAIL", "ACCNUM", "0"}).out, "0\n");
}

TEST_F(E2eTest, PluginWritesGoThroughTheHost) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    ASSERT_EQ(Ctl({"set", "MAIL", "MAIL_ALL", "0", "--bool"}).code, 0);
    // ACTIVATE_PLUGIN makes the plug-in write "MAIL_ALL" through ITB4Server.
    ASSERT_EQ(Ctl({"query-text", "MAIL", "ACTIVATE_PLUGIN", ""}).code, 0);
    EXPECT_EQ(Ctl({"get", "MAIL", "MAIL_ALL"}).out, "1\n");
    ASSERT_EQ(Ctl({"query-text", "MAIL", "REMOVE_PLUGIN", ""}).code, 0);
    EXPECT_EQ(Ctl({"get", "MAIL", "MAIL_ALL"}).out, "0\n");
    // "$ACCOUNTS" and "ACCOUNTS" are one value.
    ASSERT_EQ(Ctl({"set", "MAIL", "$ACCOUNTS", "list-text"}).code, 0);
    EXPECT_EQ(Ctl({"get", "MAIL", "ACCOUNTS"}).out, "list-text\n");
}

TEST_F(E2eTest, CtlErrorsAreOneLineAndNonZero) {
    Result noHost = Ctl({"get", "MAIL", "X"});
    EXPECT_NE(noHost.code, 0);
    EXPECT_EQ(std::count(noHost.err.begin(), noHost.err.end(), '\n'), 1) << noHost.err;
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    Result badInt = Ctl({"set", "MAIL", "N", "twelve", "--int"});
    EXPECT_NE(badInt.code, 0);
    EXPECT_THAT(badInt.err, HasSubstr("twelve"));
    EXPECT_NE(Ctl({"frobnicate"}).code, 0);
    EXPECT_NE(Ctl({"click", "NOSUCH", "Mail"}).code, 0);
    EXPECT_EQ(Ctl({"click", "MAIL", "Mail"}).code, 0);
}

TEST_F(E2eTest, SecondNuvexLeavesAtOnce) {
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    pid_t first = FindNuvex();
    ASSERT_GT(first, 0);
    auto start = Clock::now();
    Result second = Run({Nuvex()}, 10000);
    EXPECT_EQ(second.code, 0);
    EXPECT_LT(Seconds(start), 3.0); // no disabled wait, no final wait, no bus
    EXPECT_EQ(FindNuvex(), first);
    EXPECT_TRUE(WaitPluginUp(2000)); // the first copy still serves the host
}

TEST_F(E2eTest, CtlStopEndsHostAndPlugin) {
    pid_t host = StartHost();
    ASSERT_TRUE(WaitPluginUp());
    pid_t plugin = FindNuvex();
    ASSERT_GT(plugin, 0);
    ASSERT_EQ(Ctl({"stop"}).code, 0);
    EXPECT_EQ(WaitExitCode(host, 5000), 0);
    EXPECT_TRUE(WaitUntil([plugin] { return Ended(plugin); }, 5000));
}

TEST_F(E2eTest, ShutdownEventEndsOnlyThePlugin) {
    pid_t host = StartHost();
    ASSERT_TRUE(WaitPluginUp());
    pid_t plugin = FindNuvex();
    ASSERT_EQ(Ctl({"shutdown", "mail"}).code, 0);
    EXPECT_TRUE(WaitUntil([plugin] { return Ended(plugin); }, 5000));
    EXPECT_FALSE(Ended(host));
    EXPECT_TRUE(WaitUntil(
        [this] { return ReadFile(HostOut()).find("plugin MAIL stopped") != std::string::npos; }, 3000));
    EXPECT_THAT(Ctl({"button", "MAIL"}).out, HasSubstr("plugin: not running"));
    // Asked for again, the host starts a fresh plug-in.
    ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);
    EXPECT_TRUE(WaitPluginUp());
    EXPECT_NE(FindNuvex(), plugin);
}

TEST_F(E2eTest, DisabledAtStartEndsNuvexAfterAboutASecond) {
    SetDisabled(true);
    auto start = Clock::now();
    Result r = Run({Nuvex()}, 10000);
    double took = Seconds(start);
    EXPECT_EQ(r.code, 0);
    EXPECT_GE(took, 0.9); // read, one second, read again
    EXPECT_LT(took, nuvex::test::ScaledSeconds(4.0));
}

TEST_F(E2eTest, SettingsSurviveARestartAndAKilledHost) {
    pid_t host = StartHost();
    ASSERT_TRUE(WaitPluginUp());
    ASSERT_EQ(Ctl({"set", "MAIL", "TEXTKEY", "some text"}).code, 0);
    ASSERT_EQ(Ctl({"set", "MAIL", "INTKEY", "42", "--int"}).code, 0);
    ASSERT_EQ(Ctl({"set", "MAIL", "BOOLKEY", "true", "--bool"}).code, 0);
    ASSERT_EQ(Ctl({"query-text", "MAIL", "REMOVE_PLUGIN", ""}).code, 0); // written by the plug-in
    pid_t firstPlugin = FindNuvex();
    ASSERT_EQ(Ctl({"stop"}).code, 0);
    ASSERT_EQ(WaitExitCode(host, 5000), 0);

    // Started again at once: the stopping plug-in leaves and a fresh one serves
    // (switched off by then, so its button carries no picture).
    host = StartHost();
    ASSERT_TRUE(WaitPluginUp(20000, false));
    EXPECT_EQ(Ctl({"get", "MAIL", "TEXTKEY"}).out, "some text\n");
    EXPECT_EQ(Ctl({"get", "MAIL", "INTKEY"}).out, "42\n");
    EXPECT_EQ(Ctl({"get", "MAIL", "BOOLKEY"}).out, "1\n");
    EXPECT_EQ(Ctl({"get", "MAIL", "MAIL_ALL"}).out, "0\n");
    EXPECT_TRUE(WaitUntil([firstPlugin] { return Ended(firstPlugin); }, 3000));
    EXPECT_GT(FindNuvex(), 0);
    EXPECT_NE(FindNuvex(), firstPlugin);
    // Seeding happens once: a deleted default stays deleted.
    ASSERT_EQ(Ctl({"delete", "MAIL", "SHOW_TRAY"}).code, 0);

    ASSERT_EQ(Ctl({"set", "MAIL", "LASTWORD", "written before the crash"}).code, 0);
    pid_t plugin = FindNuvex();
    kill(host, SIGKILL);
    WaitExitCode(host, 5000);
    host = StartHost();
    ASSERT_TRUE(WaitPluginUp(20000, false));
    EXPECT_EQ(FindNuvex(), plugin); // the new host found the running plug-in
    EXPECT_EQ(Ctl({"get", "MAIL", "LASTWORD"}).out, "written before the crash\n");
    EXPECT_EQ(Ctl({"get", "MAIL", "TEXTKEY"}).out, "some text\n");
    EXPECT_EQ(Ctl({"get", "MAIL", "SHOW_TRAY"}).out, "\n");
}

TEST_F(E2eTest, RegserverWritesActivationAndUnregserverRemovesIt) {
    std::string service = dir_.path() + "/data/dbus-1/services/org.brannock.Nuvex.service";
    Result reg = Run({Nuvex(), "--RegServer"});
    ASSERT_EQ(reg.code, 0) << reg.err;
    std::string text = ReadFile(service);
    EXPECT_THAT(text, HasSubstr("Name=org.brannock.Nuvex\n"));
    EXPECT_THAT(text, HasSubstr("Exec='/"));
    auto registry = OpenSqliteRegistry(dir_.path() + "/config/brannock/registry.db");
    ASSERT_TRUE(registry);
    EXPECT_EQ(ReadRegString(*registry, RegRoot::HKCU, "Software\\Brannock\\PlugIns\\MAIL", "PluginName", ""),
              "MAIL");
    registry.reset();

    Result unreg = Run({Nuvex(), "/-unregserver"});
    ASSERT_EQ(unreg.code, 0) << unreg.err;
    EXPECT_TRUE(ReadFile(service).empty());
    registry = OpenSqliteRegistry(dir_.path() + "/config/brannock/registry.db");
    EXPECT_FALSE(registry->KeyExists(RegRoot::HKCU, NormalizeKeyPath("Software\\Brannock\\PlugIns\\MAIL")));
}

TEST_F(E2eTest, RegserverFailsWhenTheRegistryStoreCannotBeKept) {
    // A file where the store's folder should be: the store cannot be opened,
    // and an entry kept only in memory would be lost at exit.
    const std::string folder = dir_.path() + "/config/brannock";
    ASSERT_EQ(
        Run({"/bin/sh", "-c",
             "rm -rf '" + folder + "' && mkdir -p '" + dir_.path() + "/config' && : > '" + folder + "'"})
            .code,
        0);
    Result reg = Run({Nuvex(), "/regserver"});
    EXPECT_NE(reg.code, 0);
    EXPECT_THAT(reg.err, HasSubstr("registry store"));
}

TEST_F(E2eTest, WindowedHostDrivesTheSameButton) {
    // The toolbar window on the offscreen platform: same host, nothing printed.
    pid_t host = StartHost(false);
    ASSERT_TRUE(WaitPluginUp());
    ASSERT_EQ(Ctl({"set", "MAIL", "ABOUT_URL", "https://about.example.org/"}).code, 0);
    ASSERT_EQ(Ctl({"command", "MAIL", "ABOUT"}).code, 0);
    ASSERT_TRUE(WaitUntil([this] { return !Navigations().empty(); }, 5000));
    EXPECT_EQ(Navigations(), "https://about.example.org/\n");
    ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);
    ASSERT_EQ(Ctl({"deactivate", "MAIL"}).code, 0);
    EXPECT_FALSE(Ended(host));
    EXPECT_EQ(ReadFile(HostOut()), "");
    ASSERT_EQ(Ctl({"stop"}).code, 0);
    EXPECT_EQ(WaitExitCode(host, 5000), 0);
}

} // namespace
} // namespace nuvex::e2e
