#include "core/account_reader.h"

#include "accounts/account_list.h"
#include "lib/host_config.h"
#include "lib/plugin_settings.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace nuvex {

namespace {

// Every name the list text gives an account, as the list loads it.
std::vector<std::string> StoredNames(const std::string& text) {
    std::vector<std::string> names;
    for (const std::string& line : SplitAccountLines(text)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) {
            continue;
        }
        std::string name = line.substr(0, eq);
        std::replace(name.begin(), name.end(), ':', '_');
        names.push_back(std::move(name));
    }
    return names;
}

// One host call for the value of every name.
std::optional<StoredAccountsRead::Values> ReadEach(HostConfig& store, const std::vector<std::string>& names,
                                                   std::string (*key)(std::string_view)) {
    std::vector<std::string> keys;
    keys.reserve(names.size());
    for (const std::string& name : names) {
        keys.push_back(key(name));
    }
    auto values = store.ReadCfgStrBatch(keys);
    if (!values || values->size() != names.size()) {
        return std::nullopt;
    }
    StoredAccountsRead::Values byName;
    for (std::size_t i = 0; i < names.size(); ++i) {
        byName[names[i]] = std::move((*values)[i]);
    }
    return byName;
}

} // namespace

StoredAccountsRead ReadStoredAccounts(HostConfig& store) {
    StoredAccountsRead read;
    read.text = store.ReadCfgStr(keys::kAccounts);
    if (!read.text) {
        return read;
    }
    const std::vector<std::string> names = StoredNames(*read.text);
    if (names.empty()) {
        read.enabled.emplace();
        read.sendTo.emplace();
        return read;
    }
    read.enabled = ReadEach(store, names, &EnabledKey);
    read.sendTo = ReadEach(store, names, &SendToKey);
    return read;
}

TAccountReader::TAccountReader(QObject& context, std::function<HostConfig&()> store, Deliver deliver,
                               std::function<void()> askAgain)
    : context_(context), store_(std::move(store)), deliver_(std::move(deliver)),
      askAgain_(std::move(askAgain)) {}

TAccountReader::~TAccountReader() {
    Drop();
}

void TAccountReader::Start() {
    if (busy_) {
        again_ = true;
        return;
    }
    Join();
    busy_ = true;
    const std::uint64_t generation = ++generation_;
    thread_ = std::thread([this, generation, &store = store_()] {
        StoredAccountsRead read = ReadStoredAccounts(store);
        // Dropped by Qt when the context goes first.
        QMetaObject::invokeMethod(
            &context_,
            [this, generation, read = std::move(read)]() mutable { Finished(generation, std::move(read)); },
            Qt::QueuedConnection);
    });
}

void TAccountReader::Drop() {
    ++generation_;
    Join();
    busy_ = false;
    again_ = false;
}

void TAccountReader::Finished(std::uint64_t generation, StoredAccountsRead read) {
    if (generation != generation_) {
        return;
    }
    Join();
    busy_ = false;
    deliver_(std::move(read));
    if (again_ && !busy_) {
        again_ = false;
        askAgain_();
    }
}

void TAccountReader::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace nuvex
