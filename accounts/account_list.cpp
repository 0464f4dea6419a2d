#include "accounts/account_list.h"

#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "lib/host_config.h"

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

TNuvex_GenericConnector* TAccountList::FindAccount(std::string_view id, bool lock) {
    std::unique_ptr<CriticHold> hold;
    if (lock) {
        hold = std::make_unique<CriticHold>(AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (!hold->Held()) {
            return nullptr;
        }
    }
    for (const auto& item : items_) {
        try {
            std::lock_guard guard(item->Guard());
            if (item->AccountId == id) {
                return item.get();
            }
        } catch (...) {
            // an entry that can't be inspected is passed over
        }
    }
    return nullptr;
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

std::unique_ptr<TNuvex_GenericConnector> TAccountList::RemoveAccount(std::string_view id) {
    CriticHold hold(AccountLock, CriticHold::Mode::Exclusive, kAddAccountWaits);
    if (!hold.Held()) {
        return nullptr;
    }
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if ((*it)->AccountId == id) {
            auto account = std::move(*it);
            items_.erase(it);
            return account;
        }
    }
    return nullptr;
}

void TAccountList::FreeAccounts() {
    while (!items_.empty()) {
        try {
            items_.back().reset();
        } catch (...) {
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
                    status = kStatusFailed;
                }
            }
        }
    } catch (...) {
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

std::vector<std::string> LoadAccountList(TAccountList& list, const std::string& storedText,
                                         const TConnectorRegistry& registry, const AccountContext& context,
                                         HostConfig* host, bool* lockMissed) {
    std::vector<std::string> loaded;
    if (lockMissed) {
        *lockMissed = false;
    }
    for (const std::string& line : SplitAccountLines(storedText)) {
        try {
            std::size_t eq = line.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == line.size()) {
                continue;
            }
            std::string name = line.substr(0, eq);
            std::string value = line.substr(eq + 1);
            for (char& c : name) {
                if (c == ':') {
                    c = '_';
                }
            }
            const TConnectorClass* cls = registry.FindConnectorClass(name);
            if (!cls) {
                continue;
            }
            TNuvex_GenericConnector* reused = list.FindAccount(name, true);
            std::unique_ptr<TNuvex_GenericConnector> created;
            TNuvex_GenericConnector* account = reused;
            if (!account) {
                created = cls->Create(context);
                account = created.get();
            }
            if (account->LoadSettings(value) != kStatusOk) {
                continue; // a created object dies with `created`; a reused one stays listed
            }
            account->SetAccountId(name);
            if (host) {
                if (auto enabled = host->ReadCfgStr(name + "_ENABLED")) {
                    std::lock_guard guard(account->Guard());
                    account->Enabled = *enabled != "0";
                    if (enabled->empty()) {
                        host->WriteCfgBool(name + "_ENABLED", true);
                    }
                }
            }
            if (created && !list.AddAccount(std::move(created))) {
                if (lockMissed) {
                    *lockMissed = true;
                }
                continue;
            }
            loaded.push_back(name);
        } catch (...) {
            // one broken line never stops the others
        }
    }
    return loaded;
}

} // namespace nuvex
