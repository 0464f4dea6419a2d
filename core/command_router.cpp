#include "core/command_router.h"

namespace nuvex {

ParsedCommand ParseCommand(std::string_view command) {
    struct Whole {
        std::string_view text;
        CommandVerb verb;
    };
    static constexpr Whole kWhole[] = {
        {"ADD_ACCOUNT", CommandVerb::AddAccount},
        {"ADD_ACCOUNT_TRAY", CommandVerb::AddAccountTray},
        {"CHECK_ALL", CommandVerb::CheckAll},
        {"SETTINGS", CommandVerb::Settings},
        {"REMOVE", CommandVerb::Remove},
        {"HELP", CommandVerb::Help},
        {"ABOUT", CommandVerb::About},
    };
    for (const Whole& w : kWhole) {
        if (command == w.text) {
            return {w.verb, {}};
        }
    }
    const auto bar = command.find('_');
    if (bar == std::string_view::npos) {
        return {};
    }
    const std::string_view prefix = command.substr(0, bar);
    const std::string argument(command.substr(bar + 1));
    if (argument.empty()) {
        return {};
    }
    if (prefix == "CHECK") {
        return {CommandVerb::Check, argument};
    }
    if (prefix == "COMPOSE") {
        return {CommandVerb::Compose, argument};
    }
    if (prefix == "OPEN") {
        return {CommandVerb::Open, argument};
    }
    return {};
}

bool TCommandRouter::Execute(const QString& command, CommandOrigin origin, const QString& context) {
    const ParsedCommand parsed = ParseCommand(command.toStdString());
    const bool tray = origin == CommandOrigin::Tray;
    switch (parsed.verb) {
    case CommandVerb::AddAccount:
    case CommandVerb::AddAccountTray:
        targets_.AddAccount(context, origin);
        return true;
    case CommandVerb::CheckAll:
        targets_.CheckNow(std::string());
        return true;
    case CommandVerb::Settings:
        targets_.ShowSettings();
        return true;
    case CommandVerb::Check:
        targets_.CheckNow(parsed.argument);
        return true;
    case CommandVerb::Compose:
    case CommandVerb::Open:
        // The tray has no browser window: its pages go by the command line.
        targets_.OpenAccount(parsed.argument, parsed.verb == CommandVerb::Compose,
                             tray ? QString() : context);
        return true;
    case CommandVerb::Remove:
        if (!tray) {
            return false;
        }
        targets_.RemoveTrayIcon();
        return true;
    case CommandVerb::Help:
    case CommandVerb::About:
        if (!tray) {
            return false; // the host opens the button's links in a new browser window
        }
        targets_.OpenLink(parsed.verb == CommandVerb::About);
        return true;
    case CommandVerb::Unknown:
        break;
    }
    return false;
}

} // namespace nuvex
