#include "lib/host_config.h"

#include "lib/text.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace nuvex {

std::string NormalizeHostKey(std::string_view key) {
    while (!key.empty() && key.front() == '$') {
        key.remove_prefix(1);
    }
    std::string out(key);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

std::optional<std::string> MemoryHostConfig::ReadCfgStr(std::string_view key, int) {
    std::lock_guard lock(mutex_);
    if (failAll) {
        return std::nullopt;
    }
    auto it = values_.find(NormalizeHostKey(key));
    // The host answers an unset key with an empty value, not a failure.
    return it == values_.end() ? std::string() : it->second;
}

std::optional<std::int32_t> MemoryHostConfig::ReadCfgInt(std::string_view key, int flag) {
    auto text = ReadCfgStr(key, flag);
    if (!text) {
        return std::nullopt;
    }
    const std::string_view digits = *text;
    std::int32_t v = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), v);
    return v;
}

std::optional<bool> MemoryHostConfig::ReadCfgBool(std::string_view key, int flag) {
    auto text = ReadCfgStr(key, flag);
    if (!text) {
        return std::nullopt;
    }
    return !text->empty() && *text != "0";
}

bool MemoryHostConfig::WriteCfgStr(std::string_view key, std::string_view value, int) {
    std::lock_guard lock(mutex_);
    if (failAll) {
        return false;
    }
    values_[NormalizeHostKey(key)] = std::string(value);
    return true;
}

bool MemoryHostConfig::WriteCfgInt(std::string_view key, std::int32_t value, int flag) {
    return WriteCfgStr(key, std::to_string(value), flag);
}

bool MemoryHostConfig::WriteCfgBool(std::string_view key, bool value, int flag) {
    return WriteCfgStr(key, value ? "1" : "0", flag);
}

bool MemoryHostConfig::DeleteCfgValue(std::string_view key, int) {
    std::lock_guard lock(mutex_);
    if (failAll) {
        return false;
    }
    values_.erase(NormalizeHostKey(key));
    return true;
}

bool HostConfig::WriteCfgBatch(const std::vector<CfgWrite>& writes, int flag) {
    for (const CfgWrite& w : writes) {
        bool ok = false;
        if (std::holds_alternative<std::monostate>(w.value)) {
            ok = DeleteCfgValue(w.key, flag);
        } else if (const bool* b = std::get_if<bool>(&w.value)) {
            ok = WriteCfgBool(w.key, *b, flag);
        } else if (const std::int32_t* i = std::get_if<std::int32_t>(&w.value)) {
            ok = WriteCfgInt(w.key, *i, flag);
        } else {
            ok = WriteCfgStr(w.key, std::get<std::string>(w.value), flag);
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool HostBoolText(std::string_view text) {
    const std::string t = text::ToLowerAscii(text::TrimSpace(text));
    if (t == "1" || t == "true" || t == "yes" || t == "on") {
        return true;
    }
    if (t.empty() || t == "0" || t == "false" || t == "no" || t == "off") {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    return end != t.c_str() && *end == '\0' && errno != ERANGE && v != 0;
}

std::optional<std::vector<std::string>> HostConfig::ReadCfgStrBatch(const std::vector<std::string>& keys,
                                                                    int flag) {
    std::vector<std::string> values;
    values.reserve(keys.size());
    for (const std::string& key : keys) {
        auto value = ReadCfgStr(key, flag);
        if (!value) {
            return std::nullopt;
        }
        values.push_back(std::move(*value));
    }
    return values;
}

bool MemoryHostConfig::WriteCfgBatch(const std::vector<CfgWrite>& writes, int) {
    std::lock_guard lock(mutex_);
    if (failAll) {
        return false;
    }
    for (const CfgWrite& w : writes) {
        const std::string key = NormalizeHostKey(w.key);
        if (std::holds_alternative<std::monostate>(w.value)) {
            values_.erase(key);
        } else if (const bool* b = std::get_if<bool>(&w.value)) {
            values_[key].assign(1, *b ? '1' : '0');
        } else if (const std::int32_t* i = std::get_if<std::int32_t>(&w.value)) {
            values_[key] = std::to_string(*i);
        } else {
            values_[key] = std::get<std::string>(w.value);
        }
    }
    return true;
}

bool MemoryHostConfig::Has(std::string_view key) const {
    std::lock_guard lock(mutex_);
    return values_.count(NormalizeHostKey(key)) != 0;
}

} // namespace nuvex
