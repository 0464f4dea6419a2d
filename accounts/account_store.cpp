#include "accounts/account_store.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/named_objects.h"
#include "lib/plugin_settings.h"
#include "lib/text.h"

#include <charconv>

namespace nuvex {

namespace {

const char* Flag(bool value) {
    return value ? "1" : "0";
}

bool HasName(const std::vector<StoredLine>& lines, std::string_view name) {
    for (const auto& line : lines) {
        if (text::EqualsNoCase(line.first, name)) {
            return true;
        }
    }
    return false;
}

// Holds the stored list's writer mutex for one read-change-write.
class WriterLock {
public:
    WriterLock() : mutex_(OpenOrCreateMutex(kAccountsWriteMutex)) {
        held_ = mutex_ && mutex_->Lock(kAccountsWriteWaitMs);
        if (!held_) {
            log::Warning("accounts", "the account list's writer lock was not had; nothing is changed");
        }
    }
    ~WriterLock() {
        if (held_) {
            mutex_->Unlock();
        }
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    bool Held() const { return held_; }

private:
    std::unique_ptr<NamedMutex> mutex_;
    bool held_ = false;
};

std::optional<std::string> ReadStoredText(HostConfig& host) {
    auto text = host.ReadCfgStr(keys::kAccounts);
    if (!text) {
        log::Warning("accounts", "the account list can't be read from the host");
    }
    return text;
}

// The batch, and when it fails the list put back and the values dropped: a
// store without transactions may have taken a part of it.
bool WriteAccountBatch(HostConfig& host, const std::vector<CfgWrite>& writes, const std::string& oldList,
                       const std::string& what) {
    if (host.WriteCfgBatch(writes)) {
        return true;
    }
    log::Warning("accounts", "the host did not store " + what);
    host.WriteCfgStr(keys::kAccounts, oldList);
    return false;
}

// The older name of an id: its first "_" as ":".
std::string ColonForm(const std::string& id) {
    std::string old = id;
    std::size_t sep = old.find('_');
    if (sep != std::string::npos) {
        old[sep] = ':';
    }
    return old;
}

} // namespace

std::string FieldTextProblem(std::string_view what, std::string_view value, bool allowBlank) {
    std::string name(what);
    if (value.empty()) {
        return name + " is empty";
    }
    if (value.size() > kMaxFieldBytes) {
        return name + " is too long";
    }
    for (char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return name + " holds a control character";
        }
    }
    // Stored text is UTF-8 everywhere; other bytes would come back as
    // replacement characters in every list and window.
    if (!text::IsValidUtf8(value)) {
        return name + " is not UTF-8 text";
    }
    if (!allowBlank && value.find(' ') != std::string_view::npos) {
        return name + " holds a blank";
    }
    return {};
}

std::optional<int> ParseDecimal(std::string_view text, int low, int high) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::string BuildSettingsText(const TAccountFields& f) {
    try {
        TCryptURL record;
        record.SetParam("USERNAME", f.userName);
        record.SetParam("EMAIL", f.email);
        record.SetParam("RANDSEED", std::to_string(TickCount()));
        record.SetParam("ACHECK", std::to_string(f.checkMinutes));
        record.SetParam("DEFNOTIFY", Flag(f.defaultNotify));
        record.SetParam("NOTIFYWIN", Flag(f.notifyWindow));
        record.SetParam("NOTIFYSOUND", Flag(f.notifySound));
        record.SetParam("NOTIFYTRAY", Flag(f.notifyTray));
        record.SetParam("ASSOCIATE", Flag(f.associate));
        record.SetParam("ACODE", std::to_string(f.actionCode));
        record.SetParam("MAILTO", "0");
        record.SetParam("SENDTO", Flag(f.sendTo));
        for (const auto& [key, value] : f.typeKeys) {
            record.SetParam(key, value);
        }
        return record.EncodeParams();
    } catch (...) {
        log::Caught("accounts", "encoding an account's settings");
        return {};
    }
}

void AddWebTypeKeys(TAccountFields& f, const std::string& password) {
    f.typeKeys.insert(f.typeKeys.end(), {
                                            {"PASSWORD", password},
                                            {"USERNAME", f.userName},
                                            {"EMAIL", f.email},
                                            {"ASSOCIATE", Flag(f.associate)},
                                            {"ACODE", std::to_string(f.actionCode)},
                                            {"SENDTO", Flag(f.sendTo)},
                                            {"MAILTO", "0"},
                                        });
}

std::vector<StoredLine> ParseStoredList(const std::string& text) {
    std::vector<StoredLine> lines;
    for (std::string& line : SplitAccountLines(text)) {
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            lines.emplace_back(std::move(line), "");
        } else {
            lines.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return lines;
}

std::string JoinStoredList(const std::vector<StoredLine>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            text += "\r\n";
        }
        text += lines[i].first;
        text += '=';
        text += lines[i].second;
    }
    return text;
}

std::string ChooseAccountId(const std::string& typeCode, const std::vector<StoredLine>& lines) {
    if (lines.empty()) {
        return typeCode + "_0";
    }
    // Up to and including the number of lines: one of those n is always free.
    for (std::size_t n = 0; n <= lines.size(); ++n) {
        const std::string number = std::to_string(n);
        std::string colonName = typeCode;
        colonName.append(":").append(number);
        std::string id = typeCode;
        id.append("_").append(number);
        if (!HasName(lines, colonName) && !HasName(lines, id)) {
            return id;
        }
    }
    return typeCode + "_" + std::to_string(lines.size() + 1);
}

std::string FindSameAccount(const std::vector<StoredLine>& lines, const TConnectorClass& cls,
                            const std::string& settingsText) {
    TCryptURL wanted;
    if (!wanted.DecodeParams(settingsText)) {
        return {};
    }
    for (const auto& [name, value] : lines) {
        std::size_t sep = name.find_first_of("_:");
        if (sep == std::string::npos || !text::EqualsNoCase(name.substr(0, sep), cls.typeCode)) {
            continue;
        }
        TCryptURL stored;
        if (!stored.DecodeParams(value)) {
            continue;
        }
        bool same = true;
        for (std::string_view key : {"USERNAME", "EMAIL", "HOSTNAME"}) {
            same = same && text::EqualsNoCase(stored.GetParam(key), wanted.GetParam(key));
        }
        if (same) {
            std::string id = name;
            id[sep] = '_';
            return id;
        }
    }
    return {};
}

std::optional<std::string> StoreNewAccount(HostConfig& host, const TConnectorClass& cls,
                                           const std::string& settingsText, const TNewAccountChoices& choices,
                                           std::string* sameAs) {
    if (settingsText.empty()) {
        return std::nullopt;
    }
    WriterLock lock;
    if (!lock.Held()) {
        return std::nullopt;
    }
    auto text = ReadStoredText(host);
    if (!text) {
        return std::nullopt;
    }
    std::vector<StoredLine> lines = ParseStoredList(*text);
    if (sameAs) {
        *sameAs = FindSameAccount(lines, cls, settingsText);
        if (!sameAs->empty()) {
            return std::nullopt;
        }
    }
    std::string id = ChooseAccountId(cls.TypeCode(), lines);
    lines.emplace_back(id, settingsText);
    // The list line comes last: a store that can't take the batch as one and
    // stops part way leaves values without an account, never an account
    // without its values.
    std::vector<CfgWrite> writes{
        // A marker of an older account under this id would hide this one's first messages.
        {MarkerKey(id), std::monostate{}},
        {TNuvex_GenericConnector::SeenIdsKey(id), std::monostate{}},
        {AccountEnabledKey(id), true},
        {SendToKey(id), choices.sendTo},
    };
    if (choices.defaultCompose) {
        writes.push_back({std::string(keys::kComposeAccount), id});
    }
    if (choices.associateConfirmed) {
        writes.push_back({std::string(keys::kButtonAction), choices.associate});
        writes.push_back({std::string(keys::kButtonAccount), id});
    }
    writes.push_back({std::string(keys::kAccounts), JoinStoredList(lines)});
    if (!WriteAccountBatch(host, writes, *text, "the new account " + id)) {
        host.DeleteCfgValue(AccountEnabledKey(id));
        host.DeleteCfgValue(SendToKey(id));
        return std::nullopt;
    }
    return id;
}

bool UpdateStoredAccount(HostConfig& host, const std::string& id, const std::string& settingsText,
                         bool sendTo) {
    if (settingsText.empty()) {
        return false;
    }
    WriterLock lock;
    if (!lock.Held()) {
        return false;
    }
    auto text = ReadStoredText(host);
    if (!text) {
        return false;
    }
    std::vector<StoredLine> lines = ParseStoredList(*text);
    std::string old = ColonForm(id);
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        if (it->first == old && !it->second.empty()) {
            lines.erase(it);
            break;
        }
    }
    bool found = false;
    for (auto& line : lines) {
        if (line.first == id) {
            line.second = settingsText;
            found = true;
            break;
        }
    }
    if (!found) {
        lines.emplace_back(id, settingsText);
    }
    return WriteAccountBatch(host,
                             {{std::string(keys::kAccounts), JoinStoredList(lines)}, {SendToKey(id), sendTo}},
                             *text, "the settings of " + id);
}

bool RemoveStoredAccount(HostConfig& host, const std::string& id) {
    WriterLock lock;
    if (!lock.Held()) {
        return false;
    }
    auto text = ReadStoredText(host);
    if (!text) {
        return false;
    }
    std::vector<StoredLine> lines = ParseStoredList(*text);
    std::string old = ColonForm(id);
    std::size_t before = lines.size();
    std::erase_if(lines, [&](const StoredLine& line) { return line.first == id || line.first == old; });
    if (lines.size() == before) {
        return false;
    }
    // The line goes first, for the same reason as in StoreNewAccount.
    return WriteAccountBatch(host,
                             {
                                 {std::string(keys::kAccounts), JoinStoredList(lines)},
                                 {AccountEnabledKey(id), std::monostate{}},
                                 {SendToKey(id), std::monostate{}},
                                 {MarkerKey(id), std::monostate{}},
                                 {TNuvex_GenericConnector::SeenIdsKey(id), std::monostate{}},
                             },
                             *text, "the removal of " + id);
}

} // namespace nuvex
