#pragma once
// The stored form of the accounts in the host's configuration: the list
// "ACCOUNTS" (id=settings lines joined by CR LF) and the three values named
// after each id. Shared by the account editors and the command-line tool.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nuvex {

class HostConfig;
struct TConnectorClass;

// The fields of the base account page, written in this order, then the
// type page's keys (a key set twice keeps its first place, the later value).
struct TAccountFields {
    std::string userName;
    std::string email;
    std::int32_t checkMinutes = 15;
    bool defaultNotify = true;
    bool notifyWindow = true;
    bool notifySound = true;
    bool notifyTray = true;
    bool associate = false;
    std::int32_t actionCode = 0;
    bool sendTo = false;
    std::vector<std::pair<std::string, std::string>> typeKeys;
};

// The reason a text field's value is refused ("--email is empty"), or "" when
// it may be stored: not empty, at most 1024 bytes, no control character and,
// unless allowBlank, no blank. what names the field in the reason.
std::string FieldTextProblem(std::string_view what, std::string_view value, bool allowBlank);
constexpr std::size_t kMaxFieldBytes = 1024;

// A decimal number of digits only (no sign, blank or base prefix) within
// low..high, or nullopt.
std::optional<int> ParseDecimal(std::string_view text, int low, int high);

// The scrambled settings text of an account; empty when it can't be made.
std::string BuildSettingsText(const TAccountFields& fields);

// The web-account pages' type keys (password and the open action only).
void AddWebTypeKeys(TAccountFields& fields, const std::string& password);

// The lines of the stored list as name/value pairs, in order.
using StoredLine = std::pair<std::string, std::string>;
std::vector<StoredLine> ParseStoredList(const std::string& text);
std::string JoinStoredList(const std::vector<StoredLine>& lines);

// The first type code + "_" + n (n from 0) for which neither that name nor
// type code + ":" + n is in lines. Names compare without regard to case, as
// the host's keys do, so that no two ids share their per-account values.
std::string ChooseAccountId(const std::string& typeCode, const std::vector<StoredLine>& lines);

struct TNewAccountChoices {
    bool sendTo = false;
    bool defaultCompose = false;     // write "MAILACCCOMP" = id
    bool associateConfirmed = false; // write "EBUTTACTION" = associate and "MAILACCOUNT" = id
    bool associate = false;
};

// Every change of the stored list (read, change, write) holds this named
// mutex, so that writers in several processes (the command-line tool, the
// editors) never lose each other's accounts or share an id.
inline constexpr std::string_view kAccountsWriteMutex = "MAIL_Accounts_WriteMtx";
constexpr int kAccountsWriteWaitMs = 15'000;

// The id of a stored account of the same type whose settings name the same
// login, address and server as settingsText, or "".
std::string FindSameAccount(const std::vector<StoredLine>& lines, const TConnectorClass& cls,
                            const std::string& settingsText);

// Stores a new account of cls with settingsText: chooses the id, appends the
// line to "ACCOUNTS", writes id + "_ENABLED" true and id + "_SENDTO", and
// drops a "LASTID_" + id left over from an older account of that id, all in
// one batch. Nothing is stored when "ACCOUNTS" can't be read or the writer
// lock is not had; when the batch fails the list is put back. With sameAs
// given, an account that FindSameAccount finds is not stored again: its id
// goes to *sameAs. The id, or nullopt.
std::optional<std::string> StoreNewAccount(HostConfig& host, const TConnectorClass& cls,
                                           const std::string& settingsText, const TNewAccountChoices& choices,
                                           std::string* sameAs = nullptr);

// Replaces the settings of the stored account id (a line under the older
// ":" name is replaced by one under id) and writes id + "_SENDTO".
bool UpdateStoredAccount(HostConfig& host, const std::string& id, const std::string& settingsText,
                         bool sendTo);

// Deletes the account's line (also under its ":" name) and its three values,
// in one batch.
// False when the list can't be read or written, or holds no such account.
bool RemoveStoredAccount(HostConfig& host, const std::string& id);

} // namespace nuvex
