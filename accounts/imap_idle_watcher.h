#pragma once
// Push for IMAP accounts: one connection per watched folder waits in IDLE, and
// an untagged EXISTS on it is reported at once. One thread serves every
// connection with one poll(); nothing wakes per connection: the poll's time-out
// is the earliest IDLE renewal or reconnection, and at most a minute, to notice
// a resume from suspend (the boot clock then runs ahead of the monotonic one).
// A dropped connection is opened again after 1 s, doubling to 5 min, with jitter.
#include "accounts/account_context.h"
#include "accounts/imap_client.h"
#include "lib/stop_signal.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nuvex {

struct ImapIdleTarget {
    std::string accountId;
    std::string host;
    int port = 0;
    ImapSecurity security = ImapSecurity::Tls;
    std::string user;
    std::string password;
    std::string folder;
    bool operator==(const ImapIdleTarget&) const = default;
};

class ImapIdleWatcher {
public:
    // Called on the watcher thread with the account whose folder grew; it
    // must return quickly (post to another thread).
    using News = std::function<void(const std::string& accountId)>;

    ImapIdleWatcher(const AccountContext& context, News news);
    ~ImapIdleWatcher();
    ImapIdleWatcher(const ImapIdleWatcher&) = delete;
    ImapIdleWatcher& operator=(const ImapIdleWatcher&) = delete;

    // The connections to keep; those no longer named are closed, new ones opened.
    void SetTargets(std::vector<ImapIdleTarget> targets);
    // The network changed: every connection is opened again now.
    void Reopen();
    // Ends every connection (DONE and LOGOUT sent where the socket takes them,
    // no answer awaited) and the thread, within about two seconds.
    void Stop();
    // Connections in IDLE now.
    int Idling() const { return idling_.load(); }

private:
    struct Connection;
    void Run();
    void Open(Connection& c);
    void Drop(Connection& c, const std::string& why);
    void Wake();

    AccountContext context_;
    News news_;
    StopSignal stop_;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::vector<ImapIdleTarget> wanted_;
    bool targetsChanged_ = false;
    bool reopen_ = false;
    std::atomic<bool> quit_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> idling_{0};
    std::vector<std::unique_ptr<Connection>> connections_;
    std::thread thread_;
};

} // namespace nuvex
