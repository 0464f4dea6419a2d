#pragma once
// Notification entries that connectors fill and the notification window shows.
#include <cstdint>
#include <string>
#include <vector>

namespace nuvex {

enum NotifyItemKind : std::uint8_t { kNotifySummary = 0, kNotifyMessage = 1, kNotifyError = 2 };

struct TNotifyMessageItem {
    std::string MessageRef; // what OpenMessage needs; empty when it can't be opened
    std::string AccountRef; // account a click acts on; empty when not clickable
    std::uint8_t ItemKind = kNotifySummary;
    std::int32_t Count = 0; // kind 0: the account's unread count
    std::string Sender;
    std::string Subject;
    std::string Detail; // kind 1: preview; kind 2: the error text
};

class TNotifyMessages {
public:
    TNotifyMessageItem& Item(int index) { return items_.at(static_cast<std::size_t>(index)); }
    const TNotifyMessageItem& Item(int index) const { return items_.at(static_cast<std::size_t>(index)); }
    int LastIndex() const { return static_cast<int>(items_.size()) - 1; }
    int Count() const { return static_cast<int>(items_.size()); }
    bool Empty() const { return items_.empty(); }
    void Add(TNotifyMessageItem item) { items_.push_back(std::move(item)); }
    void Clear() { items_.clear(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<TNotifyMessageItem> items_;
};

// Clears dest and appends a copy of every item of src, in order.
inline void CopyNotifyMessages(TNotifyMessages& dest, const TNotifyMessages& src) {
    if (&dest == &src) {
        return;
    }
    dest.Clear();
    for (const auto& item : src) {
        dest.Add(item);
    }
}

} // namespace nuvex
