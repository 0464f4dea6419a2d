#include "accounts/generic_connector.h"

#include "lib/account_keys.h"
#include "lib/branding.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/log.h"

#include <charconv>

namespace nuvex {

namespace {

constexpr std::int32_t kDefaultCheckMinutes = 15;

bool TrueUnlessZero(const TCryptURL& record, std::string_view key) {
    return record.GetParam(key) != "0";
}
bool TrueOnlyIfOne(const TCryptURL& record, std::string_view key) {
    return record.GetParam(key) == "1";
}

} // namespace

std::string ErrorClassText(std::int32_t code) {
    switch (code) {
    case kErrorNone:
        return {};
    case kErrorUnreachable:
        return Translate("Server is not available.") + "\r\n" + Translate("Check your Internet connection.");
    case kErrorLogin:
        return Translate("Invalid login or password.") + "\r\n" + Translate("Check your account settings.");
    default:
        return Translate("Unknown error occurred.") + "\r\n" + Translate("Check your computer settings.");
    }
}

std::string NetProblemText(NetProblem problem, const std::string& server) {
    std::string first;
    std::string second;
    switch (problem) {
    case NetProblem::None:
        return {};
    case NetProblem::Refused:
        first = Translate("The server %HOST refused the connection.");
        second = Translate("Check the server name and the port.");
        break;
    case NetProblem::NoSuchHost:
        first = server.empty() ? Translate("The server's name was not found.")
                               : Translate("No server named %HOST was found.");
        second = Translate("Check the server name.");
        break;
    case NetProblem::TimedOut:
        first = Translate("The server %HOST did not answer in time.");
        second = Translate("Check your Internet connection, or try again later.");
        break;
    case NetProblem::Tls:
        first = Translate("A secure connection to the server %HOST could not be made.");
        second = Translate("Check the port and whether the server uses SSL.");
        break;
    case NetProblem::Certificate:
        first = Translate("The certificate of the server %HOST could not be verified.");
        second = Translate("Check the server name and its certificate.");
        break;
    }
    const std::size_t at = first.find("%HOST");
    if (at != std::string::npos) {
        if (!server.empty()) {
            first.replace(at, 5, server);
        } else if (at > 0 && first[at - 1] == ' ') {
            first.erase(at - 1, 6); // "The server refused the connection."
        } else {
            first.erase(at, 5);
        }
    }
    return first + "\r\n" + second;
}

std::int32_t StrToIntDef(const std::string& text, std::int32_t def) {
    std::size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) {
        return def;
    }
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    if (*first == '+') {
        ++first;
    }
    std::int32_t value = 0;
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last || first == last) {
        return def;
    }
    return value;
}

std::unique_ptr<TNuvex_GenericConnector> TConnectorClass::Create(const AccountContext& context) const {
    auto account = newInstance(*this, context);
    account->AfterCreate();
    return account;
}

TNuvex_GenericConnector::TNuvex_GenericConnector(const TConnectorClass& cls, const AccountContext& context)
    : class_(cls), context_(context) {
    SetCheckMinutes(kDefaultCheckMinutes);
}

int TNuvex_GenericConnector::CheckMail() {
    std::lock_guard lock(guard_);
    LastCheck = Now();
    return kStatusNotImplemented;
}

int TNuvex_GenericConnector::BeginCheck() {
    std::lock_guard lock(guard_);
    LastCheck = Now();
    return kStatusNotImplemented;
}

int TNuvex_GenericConnector::LoadSettings(const std::string& text) {
    std::lock_guard lock(guard_);
    int result = kStatusFailed;
    try {
        SettingsText = text;
        TCryptURL record;
        record.DecodeParams(text); // a rejected text leaves the record empty
        UserName = record.GetParam("USERNAME");
        Email = record.GetParam("EMAIL");
        Password = record.GetParam("PASSWORD");
        SetCheckMinutes(StrToIntDef(record.GetParam("ACHECK"), kDefaultCheckMinutes));
        DefaultNotify = TrueUnlessZero(record, "DEFNOTIFY");
        NotifyWindow = TrueOnlyIfOne(record, "NOTIFYWIN");
        NotifySound = TrueOnlyIfOne(record, "NOTIFYSOUND");
        NotifyTray = TrueOnlyIfOne(record, "NOTIFYTRAY");
        Associate = TrueUnlessZero(record, "ASSOCIATE");
        ActionCode = StrToIntDef(record.GetParam("ACODE"), 0);
        SendTo = TrueOnlyIfOne(record, "SENDTO");
        Enabled = TrueUnlessZero(record, "ENABLED");
        LoadTypeSettings(record);
        if (!UserName.empty() && !Email.empty()) {
            result = kStatusOk;
        }
    } catch (...) {
        log::Caught("accounts", "loading the settings of " + AccountId);
        result = kStatusFailed;
    }
    return result;
}

void TNuvex_GenericConnector::TakeLastError(std::int32_t& code, std::string& text) {
    std::lock_guard lock(guard_);
    code = ErrorCode;
    text = code == kErrorNone ? std::string() : NetProblemText(ErrorProblem, ErrorServer);
    if (text.empty()) {
        text = ErrorClassText(code);
    }
    ErrorCode = kErrorNone;
    ErrorProblem = NetProblem::None;
    ErrorServer.clear();
}

void TNuvex_GenericConnector::AddNotifyItems(TNotifyMessages& list, bool /*force*/) {
    std::lock_guard lock(guard_);
    TNotifyMessageItem item;
    item.ItemKind = kNotifySummary;
    item.AccountRef = HasOpenAction() ? AccountId : std::string();
    item.Sender = Email;
    item.Count = UnreadCount;
    list.Add(std::move(item));
}

void TNuvex_GenericConnector::SetAccountId(const std::string& name) {
    std::lock_guard lock(guard_);
    AccountId = name;
    for (char& c : AccountId) {
        if (c == ':') {
            c = '_';
        }
    }
}

void TNuvex_GenericConnector::SetCheckMinutes(std::int32_t minutes) {
    std::lock_guard lock(guard_);
    CheckMinutes = minutes;
    CheckInterval = minutes * kOneMinute;
}

double TNuvex_GenericConnector::EffectiveInterval() {
    std::lock_guard lock(guard_);
    if (CheckInterval <= 0 || CheckMinutes <= 0) {
        SetCheckMinutes(kDefaultCheckMinutes);
    }
    return CheckInterval;
}

std::optional<std::string> TNuvex_GenericConnector::GetLastId() {
    std::string id;
    {
        std::lock_guard lock(guard_);
        id = AccountId;
    }
    HostConfig* host = context_.host;
    std::optional<std::string> value;
    if (host && host->Connected()) {
        value = host->ReadCfgStr(MarkerKey(id));
    }
    if (!value) {
        log::Warning("accounts", id + ": the host did not answer the read of " + MarkerKey(id));
        return std::nullopt;
    }
    std::lock_guard lock(guard_);
    LastIdCache = *value;
    return value;
}

bool TNuvex_GenericConnector::SetLastId(const std::string& text) {
    std::string id;
    {
        std::lock_guard lock(guard_);
        id = AccountId;
    }
    HostConfig* host = context_.host;
    if (!host || !host->Connected() || !host->WriteCfgStr(MarkerKey(id), text)) {
        log::Warning("accounts", id + ": the host did not store " + MarkerKey(id));
        return false;
    }
    std::lock_guard lock(guard_);
    LastIdCache = text;
    return true;
}

} // namespace nuvex
