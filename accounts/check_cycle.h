#pragma once
// The periodic check of all accounts: pass 1 checks every account that is
// due, pass 2 gathers the results into notification entries and choices.
// Runs on a worker thread; the controller reads the TickResult afterwards.
#include "accounts/notify.h"

#include <atomic>
#include <functional>
#include <string>

namespace nuvex {

class TAccountList;
struct TConnectorClass;
struct AccountContext;

// The plug-in-wide notification choices ("DISPNOTIFWIN", "PLAYSOUND", "CHANGETRAY").
struct TickSettings {
    bool showWindow = true;
    bool playSound = true;
    bool changeTray = true;
};

struct TickResult {
    bool ran = false;      // the tick was due and began
    bool stopped = false;  // a stop event ended it between two accounts; nothing is to be shown
    bool ranPass2 = false; // a check succeeded or an error is to be reported
    int totalUnread = 0;
    int totalNew = 0;
    TNotifyMessages messages; // kinds 0 and 1
    TNotifyMessages errors;   // kind 2
    bool force = false;
    bool showWindow = false;
    bool playSound = false;
    bool changeTray = false;

    // Whether the tray, window and sound choices are to be acted on.
    bool HasNews() const { return force || totalNew > 0 || !messages.Empty() || !errors.Empty(); }
};

inline constexpr int kDefaultParallelChecks = 4;

// Asked before each account; true ends the tick at once.
using StopPredicate = std::function<bool()>;

class TCheckCycle {
public:
    explicit TCheckCycle(TAccountList& accounts) : accounts_(accounts) {}

    // When now is later than the next-tick time: one tick with both passes.
    // Otherwise a result with ran false. Never throws.
    TickResult Tick(const TickSettings& settings, const StopPredicate& stop);

    // The user's check of one account (id) or of all (empty id): they are due
    // at once, their errors skip the hourly throttle and their summary entries
    // come even without news. The next tick is brought to one second from now.
    void CheckNow(const std::string& id);
    // The server told of new mail for account id (push): it is due at once
    // and the next tick may run now; unlike CheckNow, nothing is shown
    // unless the check finds news.
    void CheckPushed(const std::string& id);

    // How many due accounts pass one checks at once; 1 (or less) checks them
    // one after another.
    void SetParallelChecks(int count) { parallel_.store(count); }
    int ParallelChecks() const { return parallel_.load(); }

    // Whether a tick now would check an account: one is due, or the list is
    // being changed (the pass then finds out). Never waits for the list.
    // A tick that would check nothing skips the pass: idle stays quiet.
    bool AnyDue();

    double NextTick() const { return nextTick_.load(); }
    void SetNextTick(double when) { nextTick_.store(when); }

private:
    TAccountList& accounts_;
    std::atomic<double> nextTick_{0};
    std::atomic<int> parallel_{kDefaultParallelChecks};
};

// The connection test of the account pages: an account of cls loaded from
// settingsText, connected and disconnected. kStatusOk when the login worked.
// Touches neither the marker nor the stored accounts; shows nothing. On a
// failure the account's error class and text go to errorClass and errorText
// when given, so that the page can say what went wrong.
int TestConnection(const TConnectorClass& cls, const std::string& settingsText, const AccountContext& context,
                   std::int32_t* errorClass = nullptr, std::string* errorText = nullptr);

} // namespace nuvex
