#include "accounts/account_list.h"

#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "lib/account_keys.h"
#include "lib/host_config.h"
#include "lib/log.h"

#include <algorithm>
#include <optional>
#include <set>

namespace nuvex {

TAccountList::~TAccountList() {
    FreeAccounts();
}

TNuvex_GenericConnector* TAccountList::At(int index) const {
    if (index < 0 || index >= Count()) {
        return nullptr;
    }
    return items_[static_cast<std::size_t>(index)].get();
}

std::vector<TNuvex_GenericConnector*> TAccountList::Items() const {
    std::vector<TNuvex_GenericConnector*> out;
    out.reserve(items_.size());
    for (const auto& item : items_) {
        out.push_back(item.get());
    }
    return out;
}

TNuvex_GenericConnector* TAccountList::FindLocked(std::string_view id) const {
    for (const auto& item : items_) {
        try {
            std::lock_guard guard(item->Guard());
            if (item->AccountId == id) {
                return item.get();
            }
        } catch (...) {
            log::Caught("accounts", "looking for account " + std::string(id)); // the entry is passed over
        }
    }
    return nullptr;
}

std::unordered_map<std::string, TNuvex_GenericConnector*> TAccountList::IndexLocked() const {
    std::unordered_map<std::string, TNuvex_GenericConnector*> index;
    index.reserve(items_.size());
    for (const auto& item : items_) {
        try {
            std::lock_guard guard(item->Guard());
            index.emplace(item->AccountId, item.get());
        } catch (...) {
            log::Caught("accounts", "indexing the accounts"); // the entry is passed over
        }
    }
    return index;
}

void TAccountList::AppendLocked(std::unique_ptr<TNuvex_GenericConnector> account) {
    items_.push_back(std::move(account));
}

std::unique_ptr<TNuvex_GenericConnector> TAccountList::TakeLocked(std::string_view id) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if ((*it)->AccountId == id) {
            auto account = std::move(*it);
            items_.erase(it);
            return account;
        }
    }
    return nullptr;
}

TNuvex_GenericConnector* TAccountList::FindAccount(std::string_view id, bool lock) {
    std::unique_ptr<CriticHold> hold;
    if (lock) {
        hold = std::make_unique<CriticHold>(AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (!hold->Held()) {
            return nullptr;
        }
    }
    return FindLocked(id);
}

bool TAccountList::AddAccount(std::unique_ptr<TNuvex_GenericConnector> account) {
    if (!account) {
        return false;
    }
    CriticHold hold(AccountLock, CriticHold::Mode::Exclusive, kAddAccountWaits);
    if (!hold.Held()) {
        return false;
    }
    if (account->AccountId.empty()) {
        account->SetAccountId(account->UserName);
    }
    items_.push_back(std::move(account));
    return true;
}

void TAccountList::FreeAccounts() {
    while (!items_.empty()) {
        try {
            items_.back().reset();
        } catch (...) {
            log::Caught("accounts", "freeing an account");
        }
        items_.pop_back();
    }
}

int TAccountList::CountOfType(const std::string& code) {
    CriticHold hold(AccountLock, CriticHold::Mode::Shared, kWaitForever);
    int n = 0;
    for (const auto& item : items_) {
        if (item->TypeCode() == code) {
            ++n;
        }
    }
    return n;
}

namespace {

template <class Action> int ForAccountsWithId(TAccountList& list, const std::string& id, Action action) {
    int status = kStatusFailed;
    try {
        CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kWaitForever);
        if (!hold.Held()) {
            return kStatusFailed;
        }
        for (TNuvex_GenericConnector* account : list.Items()) {
            bool match = false;
            {
                std::lock_guard guard(account->Guard());
                match = account->AccountId == id;
            }
            if (match) {
                try {
                    status = action(*account);
                } catch (...) {
                    log::Caught("accounts", "the open action of account " + id);
                    status = kStatusFailed;
                }
            }
        }
    } catch (...) {
        log::Caught("accounts", "walking the accounts for " + id);
    }
    return status;
}

} // namespace

int OpenAccountMailbox(TAccountList& list, const std::string& id) {
    return ForAccountsWithId(list, id, [](TNuvex_GenericConnector& a) { return a.OpenMailbox(); });
}

int OpenAccountMessage(TAccountList& list, const std::string& id, const std::string& messageRef) {
    return ForAccountsWithId(list, id, [&](TNuvex_GenericConnector& a) { return a.OpenMessage(messageRef); });
}

std::vector<std::string> SplitAccountLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
        start = end + 1;
    }
    return lines;
}

namespace {

struct StoredAccount {
    std::string name; // ":" already "_"
    std::string value;
    const TConnectorClass* cls = nullptr;
    std::optional<std::string> enabled; // the host's name + "_ENABLED"
};

std::vector<StoredAccount> ParseLoadable(const std::string& storedText, const TConnectorRegistry& registry,
                                         std::set<std::string>& storedNames) {
    std::vector<StoredAccount> out;
    for (const std::string& line : SplitAccountLines(storedText)) {
        std::size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) {
            continue;
        }
        StoredAccount entry;
        entry.name = line.substr(0, eq);
        std::replace(entry.name.begin(), entry.name.end(), ':', '_');
        storedNames.insert(entry.name);
        entry.value = line.substr(eq + 1);
        entry.cls = registry.FindConnectorClass(entry.name);
        if (!entry.value.empty() && entry.cls) {
            out.push_back(std::move(entry));
        }
    }
    return out;
}

// Loads settings into an account and gives it its id and enabled state.
bool Apply(TNuvex_GenericConnector& account, const StoredAccount& entry, HostConfig* host) {
    if (account.LoadSettings(entry.value) != kStatusOk) {
        return false;
    }
    account.SetAccountId(entry.name);
    if (entry.enabled) {
        std::lock_guard guard(account.Guard());
        account.Enabled = *entry.enabled != "0";
        if (entry.enabled->empty() && host) {
            host->WriteCfgBool(AccountEnabledKey(entry.name), true);
        }
    }
    return true;
}

} // namespace

std::vector<std::string> LoadAccountList(TAccountList& list, const std::string& storedText,
                                         const TConnectorRegistry& registry, const AccountContext& context,
                                         HostConfig* host, bool* lockMissed) {
    std::vector<std::string> loaded;
    bool missed = false;
    std::set<std::string> storedNames;
    std::vector<StoredAccount> entries = ParseLoadable(storedText, registry, storedNames);
    // Host reads block: none of them under the list's lock, and all of them
    // in one call, since a long list would otherwise cost a round trip each.
    if (host && !entries.empty()) {
        std::vector<std::string> keys;
        keys.reserve(entries.size());
        for (const StoredAccount& entry : entries) {
            keys.push_back(AccountEnabledKey(entry.name));
        }
        if (auto values = host->ReadCfgStrBatch(keys)) {
            for (std::size_t i = 0; i < entries.size(); ++i) {
                entries[i].enabled = std::move((*values)[i]);
            }
        } else {
            log::Warning("accounts", "the enabled states could not be read; the accounts keep theirs");
        }
    }

    // Reload the listed accounts in place (a tick may hold the lock shared
    // meanwhile) and retire those the store no longer names. The pointers
    // are used only while the lock is held.
    std::vector<const StoredAccount*> fresh;
    std::vector<std::string> retired;
    {
        CriticHold hold(list.AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (!hold.Held()) {
            log::Warning("accounts", "the account list is busy; the accounts are loaded later");
            if (lockMissed) {
                *lockMissed = true;
            }
            return loaded;
        }
        const auto index = list.IndexLocked();
        for (const StoredAccount& entry : entries) {
            try {
                const auto found = index.find(entry.name);
                TNuvex_GenericConnector* account = found == index.end() ? nullptr : found->second;
                if (!account) {
                    fresh.push_back(&entry);
                } else if (Apply(*account, entry, host)) {
                    loaded.push_back(entry.name);
                }
            } catch (...) {
                log::Caught("accounts", "reloading account " + entry.name); // the others go on
            }
        }
        for (TNuvex_GenericConnector* account : list.Items()) {
            std::lock_guard guard(account->Guard());
            if (!storedNames.count(account->AccountId)) {
                account->Enabled = false;
                retired.push_back(account->AccountId);
            }
        }
    }

    std::vector<std::unique_ptr<TNuvex_GenericConnector>> created;
    std::vector<const StoredAccount*> createdFrom;
    for (const StoredAccount* entry : fresh) {
        try {
            auto account = entry->cls->Create(context);
            if (Apply(*account, *entry, host)) {
                created.push_back(std::move(account));
                createdFrom.push_back(entry);
            }
        } catch (...) {
            log::Caught("accounts", "loading account " + entry->name); // the others go on
        }
    }
    if (created.empty() && retired.empty()) {
        return loaded;
    }

    std::vector<std::unique_ptr<TNuvex_GenericConnector>> removed;
    {
        CriticHold hold(list.AccountLock, CriticHold::Mode::Exclusive, kAddAccountWaits);
        if (!hold.Held()) {
            missed = true;
        } else {
            for (const std::string& id : retired) {
                if (auto account = list.TakeLocked(id)) {
                    removed.push_back(std::move(account));
                }
            }
            for (std::size_t i = 0; i < created.size(); ++i) {
                // Someone may have added it between the two holds: never two objects for one id.
                if (!list.FindLocked(createdFrom[i]->name)) {
                    list.AppendLocked(std::move(created[i]));
                    loaded.push_back(createdFrom[i]->name);
                }
            }
        }
    }
    if (missed) {
        log::Warning("accounts", "a check holds the account list; new and removed accounts follow after it");
    }
    for (auto& account : removed) {
        std::string id = account->AccountId;
        account.reset();
        log::Info("accounts", "account " + id + " is no longer stored; it was taken out of the running list");
        if (host && host->Connected() && !host->DeleteCfgValue(MarkerKey(id))) {
            log::Warning("accounts", "the marker of the removed account " + id + " could not be deleted");
        }
        if (host && host->Connected() && !host->DeleteCfgValue(TNuvex_GenericConnector::SeenIdsKey(id))) {
            log::Warning("accounts", "the seen ids of the removed account " + id + " could not be deleted");
        }
    }
    if (lockMissed) {
        *lockMissed = missed;
    }
    return loaded;
}

} // namespace nuvex
