#pragma once
// The one place where a command of the button's menu, the tray's menu or the
// host is parsed. The automation object, the tray and the host all call the
// router; it hands each command to the controller piece that does the work.
#include <QString>
#include <string>
#include <string_view>

namespace nuvex {

enum class CommandVerb {
    AddAccount,     // "ADD_ACCOUNT"
    AddAccountTray, // "ADD_ACCOUNT_TRAY"
    CheckAll,       // "CHECK_ALL"
    Settings,       // "SETTINGS"
    Check,          // "CHECK_" + account id
    Compose,        // "COMPOSE_" + account id
    Open,           // "OPEN_" + account id
    Remove,         // "REMOVE": the tray icon goes
    Help,           // "HELP"
    About,          // "ABOUT"
    Unknown,
};

struct ParsedCommand {
    CommandVerb verb = CommandVerb::Unknown;
    std::string argument; // the account id of Check, Compose and Open
};

// First match wins: the whole commands, then the prefix before the first "_".
ParsedCommand ParseCommand(std::string_view command);

// Where a command came from: the button's menu (with the browser window of
// the button as context) or the tray's menu.
enum class CommandOrigin { Button, Tray };

// What the commands do; the controller implements it.
class CommandTargets {
public:
    virtual ~CommandTargets() = default;
    // id "" checks all accounts.
    virtual void CheckNow(const std::string& id) = 0;
    virtual void ShowSettings() = 0;
    virtual void OpenAccount(const std::string& id, bool compose, const QString& browserContext) = 0;
    virtual void AddAccount(const QString& context, CommandOrigin origin) = 0;
    virtual void RemoveTrayIcon() = 0;
    // "HELP_URL" or "ABOUT_URL" in the desktop's browser.
    virtual void OpenLink(bool about) = 0;
};

class TCommandRouter {
public:
    explicit TCommandRouter(CommandTargets& targets) : targets_(targets) {}

    // False when the command is not one of the controller's: the automation
    // object then hands it to its base (the host opens "HELP" and "ABOUT").
    bool Execute(const QString& command, CommandOrigin origin, const QString& context = QString());

private:
    CommandTargets& targets_;
};

} // namespace nuvex
