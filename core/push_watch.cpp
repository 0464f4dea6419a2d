#include "core/push_watch.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "accounts/imap_connector.h"

#include <mutex>
#include <vector>

namespace nuvex {

void TPushWatch::Update() {
    std::vector<ImapIdleTarget> targets;
    {
        CriticHold hold(accounts_.AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (!hold.Held()) {
            return; // the next pass tries again
        }
        for (TNuvex_GenericConnector* account : accounts_.Items()) {
            auto* imap = dynamic_cast<TNuvex_ImapConnector*>(account);
            if (!imap) {
                continue;
            }
            std::lock_guard guard(imap->Guard());
            if (!imap->Enabled || !imap->ServerIdles) {
                continue;
            }
            for (const std::string& folder : imap->Folders) {
                targets.push_back({imap->AccountId, imap->HostName, imap->Port, imap->Security,
                                   imap->UserName, imap->Password, folder});
            }
        }
    }
    if (!watcher_ && targets.empty()) {
        return;
    }
    if (!watcher_) {
        watcher_ = std::make_unique<ImapIdleWatcher>(accountContext_, [this](const std::string& id) {
            QMetaObject::invokeMethod(
                &context_, [this, id] { news_(id); }, Qt::QueuedConnection);
        });
    }
    watcher_->SetTargets(std::move(targets));
}

} // namespace nuvex
