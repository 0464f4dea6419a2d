#pragma once
// The host values kept for the accounts: the list of accounts and the values
// each account has beside its line in it. Stored data relies on these exact
// spellings; the host compares keys without case and without a leading "$".
#include <string>
#include <string_view>

namespace nuvex {

namespace keys {
// The list of accounts: "id=settings" lines joined by CR LF.
inline constexpr std::string_view kAccounts = "ACCOUNTS";
// Account id + this: the account is checked (true) or left out (false).
inline constexpr std::string_view kAccountEnabledSuffix = "_ENABLED";
// Account id + this: the account's Send To shortcut wanted.
inline constexpr std::string_view kSendToSuffix = "_SENDTO";
// This + account id: the newest message a check has seen, so the next check
// counts only what came after it.
inline constexpr std::string_view kMarkerPrefix = "LASTID_";
// This + account id: the ids of the messages a check has already counted.
inline constexpr std::string_view kSeenIdsPrefix = "SEENIDS_";
} // namespace keys

inline std::string AccountEnabledKey(std::string_view accountId) {
    return std::string(accountId) + std::string(keys::kAccountEnabledSuffix);
}
inline std::string SendToKey(std::string_view accountId) {
    return std::string(accountId) + std::string(keys::kSendToSuffix);
}
inline std::string MarkerKey(std::string_view accountId) {
    return std::string(keys::kMarkerPrefix) + std::string(accountId);
}

} // namespace nuvex
