#pragma once
// The running list of accounts and the lock that guards it. Walks take the
// lock shared, adding and removing take it exclusive.
#include "accounts/account_context.h"
#include "lib/mcritic.h"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nuvex {

class HostConfig;
class TConnectorRegistry;
class TNuvex_GenericConnector;

// Waits of the lock, in passes of about 1 ms.
constexpr int kFindAccountWaits = 500;
constexpr int kAddAccountWaits = 1000;
constexpr int kWaitForever = -1;

class TAccountList {
public:
    TAccountList() = default;
    ~TAccountList();
    TAccountList(const TAccountList&) = delete;
    TAccountList& operator=(const TAccountList&) = delete;

    TMCritic AccountLock;

    // The caller holds AccountLock (shared or exclusive) for these four.
    int Count() const { return static_cast<int>(items_.size()); }
    TNuvex_GenericConnector* At(int index) const;
    std::vector<TNuvex_GenericConnector*> Items() const;
    TNuvex_GenericConnector* FindLocked(std::string_view id) const;
    // Every account by id (the first of equal ids, as FindLocked), for many
    // lookups at once: one walk of the list instead of one per lookup.
    std::unordered_map<std::string, TNuvex_GenericConnector*> IndexLocked() const;
    // The caller holds AccountLock exclusive for these two.
    void AppendLocked(std::unique_ptr<TNuvex_GenericConnector> account);
    std::unique_ptr<TNuvex_GenericConnector> TakeLocked(std::string_view id);

    // The first account whose AccountId equals id exactly; with lock set the
    // shared lock is taken for up to 500 ms first (none when it is not had).
    TNuvex_GenericConnector* FindAccount(std::string_view id, bool lock);
    // Appends within 1000 ms of exclusive waiting; false (and the account
    // freed) when the lock was not had.
    bool AddAccount(std::unique_ptr<TNuvex_GenericConnector> account);
    // Frees every account, last to first.
    void FreeAccounts();
    // Accounts whose TypeCode equals code exactly (takes the lock shared).
    int CountOfType(const std::string& code);

private:
    std::vector<std::unique_ptr<TNuvex_GenericConnector>> items_;
};

// The controller's click actions: under the list's lock (shared), OpenMailbox
// or OpenMessage on every account whose AccountId equals id exactly. The
// status of the last call, kStatusFailed when no account matched.
int OpenAccountMailbox(TAccountList& list, const std::string& id);
int OpenAccountMessage(TAccountList& list, const std::string& id, const std::string& messageRef);

// Loads the stored account list text (lines id=settings, CR LF) into list:
// ":" in names becomes "_", lines of unknown types and settings that don't
// load are skipped, an account already listed under that id is reloaded in
// place. Applies each account's id + "_ENABLED" value from host (an empty
// value is written back as true). Answers the ids loaded, in order.
// Accounts whose id the text no longer names were removed from the store:
// they are disabled at once (no check, no menu line), then taken out of the
// list and freed, and the marker "LASTID_" + id that a check may have written
// back after the removal is deleted, so a new account given that id starts
// fresh. New accounts are added and removed ones freed only when the list's
// lock is had exclusive within 1000 ms; a tick on the worker thread holds it
// shared for as long as its checks take, so lockMissed tells the caller to
// load again once the tick has ended.
std::vector<std::string> LoadAccountList(TAccountList& list, const std::string& storedText,
                                         const TConnectorRegistry& registry, const AccountContext& context,
                                         HostConfig* host, bool* lockMissed = nullptr);

// Splits a stored list text into lines (CR LF, or a bare LF from hand edits).
std::vector<std::string> SplitAccountLines(const std::string& text);

} // namespace nuvex
