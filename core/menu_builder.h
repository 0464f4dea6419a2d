#pragma once
// The menu text of the Mail button and of the tray icon, built from a
// snapshot of the accounts so that the account lock is held only while the
// snapshot is taken, and so that the rules can be tested without a host.
#include <cstdint>
#include <string>
#include <vector>

namespace nuvex {

class TAccountList;

struct MenuAccount {
    std::string id;
    std::string email;
    bool canCompose = false;
    bool hasOpenAction = false;
    std::int32_t unread = 0;
};

struct MenuSnapshot {
    std::vector<MenuAccount> enabled; // list order
    std::string composeId;            // "MAILACCCOMP"; empty: the first account that can compose
    std::string helpUrl;              // "HELP_URL"
    std::string aboutUrl;             // "ABOUT_URL"
};

// The enabled accounts of list, taken under its lock (shared). Empty when
// the lock is not had within the usual wait.
std::vector<MenuAccount> SnapshotEnabledAccounts(TAccountList& list);

// The button's menu description: "$" and then the lines, each ending CR LF.
std::string BuildMenuLines(const MenuSnapshot& snapshot);

// The tray's lines from the button's text: the add-account command becomes
// the tray's own, and "Remove Icon" closes the menu.
std::vector<std::string> TrayMenuLines(const std::string& buttonText);

// "Email" with nothing unread, else the count with its thousands separators,
// a blank and "New" (both texts translated).
std::string MailCaption(std::int32_t totalUnread);

} // namespace nuvex
