#pragma once
// The IDLE connections of the IMAP accounts that have push: started with the
// first such account and told the accounts again after each pass and reload.
// A server's news reaches the owner's thread as the id of the account to check.
#include "accounts/imap_idle_watcher.h"

#include <QObject>
#include <functional>
#include <memory>
#include <string>

namespace nuvex {

class TAccountList;
struct AccountContext;

class TPushWatch {
public:
    // news runs on context's thread.
    TPushWatch(QObject& context, TAccountList& accounts, const AccountContext& accountContext,
               std::function<void(const std::string& accountId)> news)
        : context_(context), accounts_(accounts), accountContext_(accountContext), news_(std::move(news)) {}

    // Watches the folders of the enabled IMAP accounts whose server idles.
    void Update();
    // Every wait ends now.
    void Stop() {
        if (watcher_) {
            watcher_->Stop();
        }
    }
    void Close() { watcher_.reset(); }

private:
    QObject& context_;
    TAccountList& accounts_;
    const AccountContext& accountContext_;
    std::function<void(const std::string&)> news_;
    std::unique_ptr<ImapIdleWatcher> watcher_;
};

} // namespace nuvex
