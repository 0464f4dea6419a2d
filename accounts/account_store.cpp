#include "accounts/account_store.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"

#include <cctype>

namespace nuvex {

namespace {

constexpr std::string_view kAccountsKey = "$ACCOUNTS";

const char* Flag(bool value) {
    return value ? "1" : "0";
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool HasName(const std::vector<StoredLine>& lines, std::string_view name) {
    for (const auto& line : lines) {
        if (SameName(line.first, name)) {
            return true;
        }
    }
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
        return {};
    }
}

void AddPop3TypeKeys(TAccountFields& f, const TPop3Fields& p) {
    f.typeKeys.insert(f.typeKeys.end(), {
                                            {"EMAIL", f.email},
                                            {"USERNAME", f.userName},
                                            {"PASSWORD", p.password},
                                            {"HOSTNAME", p.hostName},
                                            {"PORT", std::to_string(p.port)},
                                            {"USESSL", Flag(p.useSsl)},
                                            {"ASSOCIATE", Flag(f.associate)},
                                            {"ACODE", std::to_string(f.actionCode)},
                                            {"AMAILER", p.mailerName},
                                            {"AURL", p.webmailUrl},
                                        });
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
        std::string number = std::to_string(n);
        if (!HasName(lines, typeCode + ":" + number) && !HasName(lines, typeCode + "_" + number)) {
            return typeCode + "_" + number;
        }
    }
    return typeCode + "_" + std::to_string(lines.size() + 1);
}

std::optional<std::string> StoreNewAccount(HostConfig& host, const TConnectorClass& cls,
                                           const std::string& settingsText,
                                           const TNewAccountChoices& choices) {
    auto text = host.ReadCfgStr(kAccountsKey);
    if (!text || settingsText.empty()) {
        return std::nullopt;
    }
    std::vector<StoredLine> lines = ParseStoredList(*text);
    std::string id = ChooseAccountId(cls.TypeCode(), lines);
    lines.emplace_back(id, settingsText);
    // A marker of an older account under this id would hide this one's first messages.
    host.DeleteCfgValue("LASTID_" + id);
    if (!host.WriteCfgStr(kAccountsKey, JoinStoredList(lines))) {
        return std::nullopt;
    }
    if (!host.WriteCfgBool(id + "_ENABLED", true) || !host.WriteCfgBool(id + "_SENDTO", choices.sendTo)) {
        host.WriteCfgStr(kAccountsKey, *text);
        host.DeleteCfgValue(id + "_ENABLED");
        host.DeleteCfgValue(id + "_SENDTO");
        return std::nullopt;
    }
    if (choices.defaultCompose) {
        host.WriteCfgStr("MAILACCCOMP", id);
    }
    if (choices.associateConfirmed) {
        host.WriteCfgBool("EBUTTACTION", choices.associate);
        host.WriteCfgStr("MAILACCOUNT", id);
    }
    return id;
}

bool UpdateStoredAccount(HostConfig& host, const std::string& id, const std::string& settingsText,
                         bool sendTo) {
    auto text = host.ReadCfgStr(kAccountsKey);
    if (!text || settingsText.empty()) {
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
    if (!host.WriteCfgStr(kAccountsKey, JoinStoredList(lines))) {
        return false;
    }
    return host.WriteCfgBool(id + "_SENDTO", sendTo);
}

bool RemoveStoredAccount(HostConfig& host, const std::string& id) {
    auto text = host.ReadCfgStr(kAccountsKey);
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
    if (!host.WriteCfgStr(kAccountsKey, JoinStoredList(lines))) {
        return false;
    }
    host.DeleteCfgValue(id + "_ENABLED");
    host.DeleteCfgValue(id + "_SENDTO");
    host.DeleteCfgValue("LASTID_" + id);
    return true;
}

} // namespace nuvex
