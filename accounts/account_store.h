#pragma once
// The stored form of the accounts in the host's configuration: the list
// "$ACCOUNTS" (id=settings lines joined by CR LF) and the three values named
// after each id. Shared by the account editors and the command-line tool.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nuvex {

class HostConfig;
class TConnectorClass;

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

// The scrambled settings text of an account; empty when it can't be made.
std::string BuildSettingsText(const TAccountFields& fields);

// The POP3 page's type keys in its order.
struct TPop3Fields {
    std::string password;
    std::string hostName;
    std::int32_t port = 110;
    bool useSsl = false;
    std::string mailerName; // "AMAILER": display name of the mail program
    std::string webmailUrl; // "AURL"
};
void AddPop3TypeKeys(TAccountFields& fields, const TPop3Fields& pop3);
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

// Stores a new account of cls with settingsText: chooses the id, appends the
// line to "$ACCOUNTS", writes id + "_ENABLED" true and id + "_SENDTO", and
// drops a "LASTID_" + id left over from an older account of that id. Nothing
// is stored when "$ACCOUNTS" can't be read; when a later write fails the list
// is put back. The id, or nullopt.
std::optional<std::string> StoreNewAccount(HostConfig& host, const TConnectorClass& cls,
                                           const std::string& settingsText,
                                           const TNewAccountChoices& choices);

// Replaces the settings of the stored account id (a line under the older
// ":" name is replaced by one under id) and writes id + "_SENDTO".
bool UpdateStoredAccount(HostConfig& host, const std::string& id, const std::string& settingsText,
                         bool sendTo);

// Deletes the account's line (also under its ":" name) and its three values.
// False when the list can't be read or written, or holds no such account.
bool RemoveStoredAccount(HostConfig& host, const std::string& id);

} // namespace nuvex
