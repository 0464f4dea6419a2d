// The one parser of menu and host commands, and where each command goes for
// the button and for the tray.
#include "core/command_router.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

TEST(CommandRouterTest, ParseRows) {
    struct Row {
        const char* command;
        CommandVerb verb;
        const char* argument;
    };
    const Row rows[] = {
        {"ADD_ACCOUNT", CommandVerb::AddAccount, ""},
        {"ADD_ACCOUNT_TRAY", CommandVerb::AddAccountTray, ""},
        {"CHECK_ALL", CommandVerb::CheckAll, ""},
        {"SETTINGS", CommandVerb::Settings, ""},
        {"CHECK_POP3_1", CommandVerb::Check, "POP3_1"},
        {"COMPOSE_WEBVAULT_2", CommandVerb::Compose, "WEBVAULT_2"},
        {"OPEN_POP3_1", CommandVerb::Open, "POP3_1"},
        {"REMOVE", CommandVerb::Remove, ""},
        {"HELP", CommandVerb::Help, ""},
        {"ABOUT", CommandVerb::About, ""},
        {"CHECK_", CommandVerb::Unknown, ""}, // no account: nothing to check
        {"CHECK", CommandVerb::Unknown, ""},
        {"check_all", CommandVerb::Unknown, ""}, // case matters
        {"ADD_SOMETHING", CommandVerb::Unknown, ""},
        {"", CommandVerb::Unknown, ""},
    };
    for (const Row& row : rows) {
        const ParsedCommand parsed = ParseCommand(row.command);
        EXPECT_EQ(parsed.verb, row.verb) << row.command;
        EXPECT_EQ(parsed.argument, row.argument) << row.command;
    }
}

class RecordingTargets final : public CommandTargets {
public:
    std::vector<std::string> calls;
    void CheckNow(const std::string& id) override { calls.push_back("check " + id); }
    void ShowSettings() override { calls.push_back("settings"); }
    void OpenAccount(const std::string& id, bool compose, const QString& context) override {
        calls.push_back((compose ? "compose " : "open ") + id + " in " + context.toStdString());
    }
    void AddAccount(const QString& context, CommandOrigin origin) override {
        calls.push_back(std::string("add ") + (origin == CommandOrigin::Tray ? "tray" : "button") + " " +
                        context.toStdString());
    }
    void RemoveTrayIcon() override { calls.push_back("remove"); }
    void OpenLink(bool about) override { calls.push_back(about ? "about" : "help"); }
};

TEST(CommandRouterTest, ButtonAndTrayDifferOnlyWhereTheyShould) {
    RecordingTargets targets;
    TCommandRouter router(targets);
    const QString window = QStringLiteral("4711");
    EXPECT_TRUE(router.Execute("OPEN_POP3_1", CommandOrigin::Button, window));
    EXPECT_TRUE(router.Execute("OPEN_POP3_1", CommandOrigin::Tray, window));
    EXPECT_TRUE(router.Execute("COMPOSE_POP3_1", CommandOrigin::Button, window));
    EXPECT_TRUE(router.Execute("CHECK_ALL", CommandOrigin::Button, window));
    EXPECT_TRUE(router.Execute("CHECK_POP3_2", CommandOrigin::Tray));
    // The button's help links and the tray icon's removal are not the controller's.
    EXPECT_FALSE(router.Execute("HELP", CommandOrigin::Button, window));
    EXPECT_FALSE(router.Execute("REMOVE", CommandOrigin::Button, window));
    EXPECT_TRUE(router.Execute("ABOUT", CommandOrigin::Tray));
    EXPECT_TRUE(router.Execute("REMOVE", CommandOrigin::Tray));
    EXPECT_TRUE(router.Execute("ADD_ACCOUNT_TRAY", CommandOrigin::Tray));
    EXPECT_FALSE(router.Execute("NOTHING", CommandOrigin::Tray));
    EXPECT_EQ(targets.calls,
              (std::vector<std::string>{"open POP3_1 in 4711", "open POP3_1 in ", "compose POP3_1 in 4711",
                                        "check ", "check POP3_2", "about", "remove", "add tray "}));
}

} // namespace
} // namespace nuvex
