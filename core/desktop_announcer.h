#pragma once
// Where an account's news goes when the desktop's notifications are in use:
// one desktop notification per account, replaced by its later news and closed
// once it has nothing unread, with Open and Check now acting on the account.
// GUI thread only.
#include "accounts/check_cycle.h"

#include <QDBusConnection>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nuvex {

class TDesktopNotifier;
struct MenuAccount;

class TDesktopAnnouncer {
public:
    struct Actions {
        std::function<void(const std::string& accountId)> open;
        std::function<void(const std::string& accountId)> checkNow;
        std::function<void()> playSound; // for a server that cannot play one
    };
    TDesktopAnnouncer(QDBusConnection bus, Actions actions);
    ~TDesktopAnnouncer();

    // "NOTIFY_DESKTOP": 1 the desktop's notifications, 0 the program's own
    // window, unset the desktop's where a server runs. A Wayland session always
    // takes the desktop's where a server runs: a window cannot place itself there.
    void SetChoice(std::optional<bool> desktop) { choice_ = desktop; }
    bool InUse() const;

    // One account's news as its check ended (new mail and its errors).
    void Announce(const TickResult& accountResult, bool sound, const std::vector<MenuAccount>& accounts);
    // Closes the notifications of accounts that have nothing unread now.
    void CloseRead(const std::vector<MenuAccount>& accounts);

private:
    std::unique_ptr<TDesktopNotifier> notifier_;
    Actions actions_;
    std::optional<bool> choice_;
};

// Whether the program runs as a Wayland client.
bool OnWayland();

} // namespace nuvex
