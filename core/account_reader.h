#pragma once
// The stored accounts a settings reload needs, read on a thread of its own.
// With many accounts the host's answers are large, and the host is busiest
// while accounts are being added: read on the GUI thread they kept the
// host's own calls into the plug-in waiting. The result is handed back on
// the owner's thread, where the accounts are loaded. One read at a time; one
// asked for while another runs is asked for again once it has ended, so the
// owner's merging of requests spaces the reads out.
#include <QObject>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

namespace nuvex {

class HostConfig;

// The list text and, for every account it names, the enabled and Send To
// values; unset where the host did not answer.
struct StoredAccountsRead {
    using Values = std::unordered_map<std::string, std::string>;
    std::optional<std::string> text;
    std::optional<Values> enabled;
    std::optional<Values> sendTo;
};

StoredAccountsRead ReadStoredAccounts(HostConfig& store);

class TAccountReader {
public:
    using Deliver = std::function<void(StoredAccountsRead)>;
    // store answers a store that is safe to call from another thread;
    // deliver and askAgain run on context's thread.
    TAccountReader(QObject& context, std::function<HostConfig&()> store, Deliver deliver,
                   std::function<void()> askAgain);
    // Waits for a read under way (each host call has its time-out).
    ~TAccountReader();
    TAccountReader(const TAccountReader&) = delete;
    TAccountReader& operator=(const TAccountReader&) = delete;

    void Start();
    bool Busy() const { return busy_; }
    // Waits for a read under way; neither it nor one asked for after it is
    // delivered.
    void Drop();

private:
    void Finished(std::uint64_t generation, StoredAccountsRead read);
    void Join();

    QObject& context_;
    std::function<HostConfig&()> store_;
    Deliver deliver_;
    std::function<void()> askAgain_;
    std::thread thread_;
    bool busy_ = false;
    bool again_ = false;
    std::uint64_t generation_ = 0;
};

} // namespace nuvex
