#include "accounts/check_cycle.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "lib/clock.h"
#include "lib/log.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace nuvex {

namespace {

constexpr double kTickPeriod = 15 * kOneSecond;

struct PassOneOutcome {
    bool stopped = false;
    bool anyCheckSucceeded = false;
    std::map<std::string, std::string> errors; // AccountId -> error text
};

bool Stopping(const StopPredicate& stop) {
    try {
        return stop && stop();
    } catch (...) {
        log::Caught("check", "asking whether the plug-in stops");
        return false;
    }
}

// One line per failed check: the id, the class and its text on one line.
void LogFailedCheck(const std::string& id, std::int32_t code, std::string text) {
    for (char& c : text) {
        c = (c == '\r' || c == '\n') ? ' ' : c;
    }
    log::Warning("check", "check of " + id + " failed: error class " + std::to_string(code) + ": " + text);
}

bool IsDue(TNuvex_GenericConnector& account, double now) {
    std::lock_guard guard(account.Guard());
    return now > account.LastCheck + account.EffectiveInterval();
}

// What one account's check gave; merged into the pass's outcome in account order.
struct AccountOutcome {
    bool succeeded = false;
    bool report = false;
    std::string errorText;
};

AccountOutcome CheckOneAccount(TNuvex_GenericConnector& account, double tickStamp) {
    AccountOutcome out;
    try {
        account.BeginCheck();
        if (account.CheckMail() == kStatusOk) {
            out.succeeded = true;
        }
    } catch (...) {
        // A connector that throws is reported like any other failure, now
        // rather than at its next check.
        log::Caught("check", "checking account " + account.AccountId);
        std::lock_guard guard(account.Guard());
        if (account.ErrorCode == kErrorNone) {
            account.ErrorCode = kErrorOther;
        }
    }
    std::int32_t code = kErrorNone;
    std::string text;
    account.TakeLastError(code, text);
    double now = Now();
    std::lock_guard guard(account.Guard());
    if (code != kErrorNone) {
        LogFailedCheck(account.AccountId, code, text);
    }
    bool report =
        code >= kErrorLogin || (code == kErrorUnreachable && now > account.LastErrorShown + kOneHour);
    if (code != kErrorNone && report) {
        out.report = true;
        out.errorText = std::move(text);
        account.LastErrorShown = now;
    }
    account.LastCheck = tickStamp;
    return out;
}

void Merge(const TNuvex_GenericConnector& account, AccountOutcome outcome, PassOneOutcome& out) {
    out.anyCheckSucceeded |= outcome.succeeded;
    if (outcome.report) {
        out.errors[account.AccountId] = std::move(outcome.errorText);
    }
}

// Whether the account is to be checked now: present, enabled and due.
bool Wanted(TNuvex_GenericConnector* account) {
    if (!account) {
        return false;
    }
    {
        std::lock_guard guard(account->Guard());
        if (!account->Enabled) {
            return false;
        }
    }
    return IsDue(*account, Now());
}

PassOneOutcome SequentialPassOne(const std::vector<TNuvex_GenericConnector*>& items, double tickStamp,
                                 const StopPredicate& stop) {
    PassOneOutcome out;
    for (TNuvex_GenericConnector* account : items) {
        if (Stopping(stop)) {
            out.stopped = true;
            return out;
        }
        try {
            if (Wanted(account)) {
                Merge(*account, CheckOneAccount(*account, tickStamp), out);
            }
        } catch (...) {
            log::Caught("check", "pass one"); // one broken account never stops the others
        }
    }
    return out;
}

// Up to `parallel` accounts are checked at once. Each worker takes the next
// account of the list, so every account is checked by one worker only, and
// the stop is asked before each account as in the sequential pass; the
// outcomes are merged in list order afterwards. The transports of the checks
// in flight share the plug-in's stop signal, so a stop ends all of them.
PassOneOutcome ParallelPassOne(const std::vector<TNuvex_GenericConnector*>& items, double tickStamp,
                               const StopPredicate& stop, int parallel) {
    PassOneOutcome out;
    std::vector<std::optional<AccountOutcome>> outcomes(items.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    std::mutex stopMutex; // the predicate is the caller's and need not be thread-safe
    auto work = [&] {
        for (;;) {
            if (stopped.load()) {
                return;
            }
            {
                std::lock_guard lock(stopMutex);
                if (Stopping(stop)) {
                    stopped.store(true);
                    return;
                }
            }
            const std::size_t i = next.fetch_add(1);
            if (i >= items.size()) {
                return;
            }
            try {
                if (Wanted(items[i])) {
                    outcomes[i] = CheckOneAccount(*items[i], tickStamp);
                }
            } catch (...) {
                log::Caught("check", "pass one"); // one broken account never stops the others
            }
        }
    };
    const std::size_t count = std::min(items.size(), static_cast<std::size_t>(parallel));
    std::vector<std::thread> workers;
    workers.reserve(count);
    try {
        for (std::size_t w = 1; w < count; ++w) {
            workers.emplace_back(work);
        }
    } catch (...) {
        // Fewer threads than asked for still check every account.
        log::Caught("check", "starting the check workers");
    }
    work(); // the pass's own thread is one of the workers
    for (std::thread& worker : workers) {
        worker.join();
    }
    out.stopped = stopped.load();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (outcomes[i]) {
            Merge(*items[i], std::move(*outcomes[i]), out);
        }
    }
    return out;
}

PassOneOutcome PassOne(TAccountList& accounts, double tickStamp, const StopPredicate& stop, int parallel) {
    CriticHold hold(accounts.AccountLock, CriticHold::Mode::Shared, kWaitForever);
    if (!hold.Held()) {
        return {};
    }
    const std::vector<TNuvex_GenericConnector*> items = accounts.Items();
    if (parallel <= 1 || items.size() <= 1) {
        return SequentialPassOne(items, tickStamp, stop);
    }
    // Most ticks find one account due or none: no threads for those.
    int due = 0;
    for (TNuvex_GenericConnector* account : items) {
        try {
            due += Wanted(account) ? 1 : 0;
        } catch (...) {
            log::Caught("check", "pass one");
        }
    }
    if (due <= 1) {
        return SequentialPassOne(items, tickStamp, stop);
    }
    return ParallelPassOne(items, tickStamp, stop, std::min(parallel, due));
}

void MergeChoices(TNuvex_GenericConnector& account, const TickSettings& settings, TickResult& result) {
    if (account.DefaultNotify) {
        result.showWindow |= settings.showWindow;
        result.playSound |= settings.playSound;
        result.changeTray |= settings.changeTray;
    } else {
        result.showWindow |= account.NotifyWindow;
        result.playSound |= account.NotifySound;
        result.changeTray |= account.NotifyTray;
    }
}

void PassTwo(TAccountList& accounts, double tickStamp, const PassOneOutcome& one,
             const TickSettings& settings, const StopPredicate& stop, TickResult& result) {
    CriticHold hold(accounts.AccountLock, CriticHold::Mode::Shared, kWaitForever);
    if (!hold.Held()) {
        return;
    }
    for (TNuvex_GenericConnector* account : accounts.Items()) {
        if (Stopping(stop)) {
            result.stopped = true;
            return;
        }
        try {
            std::lock_guard guard(account->Guard());
            if (!account->Enabled) {
                continue;
            }
            result.totalUnread += account->UnreadCount;
            auto error = one.errors.find(account->AccountId);
            if (error != one.errors.end()) {
                TNotifyMessageItem item;
                item.ItemKind = kNotifyError;
                item.AccountRef = account->AccountId;
                item.Sender = account->Email;
                item.Detail = error->second;
                result.errors.Add(std::move(item));
                result.showWindow = true;
                continue;
            }
            if (account->LastCheck != tickStamp) {
                continue;
            }
            // Only news count: a negative count (mail deleted elsewhere) must
            // not cancel another account's new mail.
            result.totalNew += std::max(account->NewCount, 0);
            if (account->ManualCheck) {
                result.force = true; // stays set for the rest of the pass
                account->ManualCheck = false;
            }
            if (account->NewCount > 0 || result.force) {
                try {
                    account->AddNotifyItems(result.messages, result.force);
                } catch (...) {
                    log::Caught("check", "the entries of account " + account->AccountId);
                }
                MergeChoices(*account, settings, result);
            }
        } catch (...) {
            log::Caught("check", "pass two");
        }
    }
}

} // namespace

TickResult TCheckCycle::Tick(const TickSettings& settings, const StopPredicate& stop) {
    TickResult result;
    try {
        double now = Now();
        if (!(now > nextTick_.load())) {
            return result;
        }
        result.ran = true;
        double tickStamp = now + kTickPeriod;
        nextTick_.store(tickStamp);
        PassOneOutcome one = PassOne(accounts_, tickStamp, stop, parallel_.load());
        if (one.stopped) {
            result.stopped = true;
            return result;
        }
        if (!one.anyCheckSucceeded && one.errors.empty()) {
            return result;
        }
        result.ranPass2 = true;
        PassTwo(accounts_, tickStamp, one, settings, stop, result);
        if (result.stopped) {
            TickResult stopped;
            stopped.ran = true;
            stopped.stopped = true;
            return stopped;
        }
    } catch (...) {
        log::Caught("check", "the tick"); // the tick never lets an exception out
    }
    return result;
}

bool TCheckCycle::AnyDue() {
    try {
        CriticHold hold(accounts_.AccountLock, CriticHold::Mode::Shared, 0);
        if (!hold.Held()) {
            return true;
        }
        for (TNuvex_GenericConnector* account : accounts_.Items()) {
            if (Wanted(account)) {
                return true;
            }
        }
        return false;
    } catch (...) {
        log::Caught("check", "looking for due accounts");
        return true;
    }
}

void TCheckCycle::CheckNow(const std::string& id) {
    {
        CriticHold hold(accounts_.AccountLock, CriticHold::Mode::Shared, kWaitForever);
        if (hold.Held()) {
            for (TNuvex_GenericConnector* account : accounts_.Items()) {
                std::lock_guard guard(account->Guard());
                if (id.empty() || account->AccountId == id) {
                    account->LastCheck = 0;
                    account->LastErrorShown = 0;
                    account->ManualCheck = true;
                }
            }
        }
    }
    nextTick_.store(Now() + kOneSecond);
}

void TCheckCycle::CheckPushed(const std::string& id) {
    CriticHold hold(accounts_.AccountLock, CriticHold::Mode::Shared, kWaitForever);
    if (!hold.Held()) {
        return;
    }
    for (TNuvex_GenericConnector* account : accounts_.Items()) {
        std::lock_guard guard(account->Guard());
        if (account->AccountId == id) {
            account->LastCheck = 0;
        }
    }
    // A pass may start at once; one that is out takes the account next time.
    nextTick_.store(std::min(nextTick_.load(), Now() - kOneSecond));
}

int TestConnection(const TConnectorClass& cls, const std::string& settingsText, const AccountContext& context,
                   std::int32_t* errorClass, std::string* errorText) {
    try {
        auto account = cls.Create(context);
        account->LoadSettings(settingsText);
        int status = account->Connect();
        if (status == kStatusOk) {
            account->Disconnect();
        } else {
            std::int32_t code = kErrorOther;
            std::string text;
            account->TakeLastError(code, text);
            if (errorClass) {
                *errorClass = code;
            }
            if (errorText) {
                *errorText = text;
            }
        }
        return status;
    } catch (...) {
        log::Caught("check", "the connection test");
        return kStatusFailed;
    }
}

} // namespace nuvex
