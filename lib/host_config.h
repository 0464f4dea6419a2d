#pragma once
// The plug-in's view of the toolbar host's configuration store (ITB4Server's
// ReadCfg*/WriteCfg*/DeleteCfgValue). core/ implements it over the session bus;
// tests and tools implement it in memory. A failed call answers std::nullopt or
// false: callers keep their defaults and go on.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace nuvex {

inline constexpr std::string_view kPluginName = "MAIL";

// One value of a batch: written as bool, int or text, or deleted (monostate).
struct CfgWrite {
    std::string key;
    std::variant<std::monostate, bool, std::int32_t, std::string> value;
};

class HostConfig {
public:
    virtual ~HostConfig() = default;
    // True while the host has called Connect and not yet deactivated the plug-in.
    virtual bool Connected() const = 0;
    virtual std::optional<bool> ReadCfgBool(std::string_view key, int flag = -1) = 0;
    virtual std::optional<std::int32_t> ReadCfgInt(std::string_view key, int flag = -1) = 0;
    virtual std::optional<std::string> ReadCfgStr(std::string_view key, int flag = -1) = 0;
    virtual bool WriteCfgBool(std::string_view key, bool value, int flag = -1) = 0;
    virtual bool WriteCfgInt(std::string_view key, std::int32_t value, int flag = -1) = 0;
    virtual bool WriteCfgStr(std::string_view key, std::string_view value, int flag = -1) = 0;
    virtual bool DeleteCfgValue(std::string_view key, int flag = -1) = 0;
    virtual bool ConfigChanged() = 0;
    // Writes and deletes several values as one: after a crash of either side
    // the store holds all of them or none (the bus host applies them in one
    // transaction). This default, for stores without transactions, writes them
    // one by one and stops at the first failure.
    virtual bool WriteCfgBatch(const std::vector<CfgWrite>& writes, int flag = -1);
    // Reads several text values in one call, in the order of keys; an unset
    // key reads as empty, as with ReadCfgStr. nullopt when the store could not
    // answer. This default, for stores without a batch read, reads them one by one.
    virtual std::optional<std::vector<std::string>> ReadCfgStrBatch(const std::vector<std::string>& keys,
                                                                    int flag = -1);
};

// A stored value read as a flag, the way the host's ReadCfgBool reads it:
// "1", "true", "yes", "on" or a non-zero number are true, anything else false.
bool HostBoolText(std::string_view text);

// Host keys are case-insensitive and a leading "$" names the same value
// ("$ACCOUNTS" and "ACCOUNTS"), as the toolbar host stores them.
std::string NormalizeHostKey(std::string_view key);

// In-memory store for tests and for tools that run without a host.
class MemoryHostConfig final : public HostConfig {
public:
    bool connected = true;
    bool failAll = false; // every call fails, as with a dead host

    bool Connected() const override { return connected; }
    std::optional<bool> ReadCfgBool(std::string_view key, int flag = -1) override;
    std::optional<std::int32_t> ReadCfgInt(std::string_view key, int flag = -1) override;
    std::optional<std::string> ReadCfgStr(std::string_view key, int flag = -1) override;
    bool WriteCfgBool(std::string_view key, bool value, int flag = -1) override;
    bool WriteCfgInt(std::string_view key, std::int32_t value, int flag = -1) override;
    bool WriteCfgStr(std::string_view key, std::string_view value, int flag = -1) override;
    bool DeleteCfgValue(std::string_view key, int flag = -1) override;
    bool ConfigChanged() override { return !failAll; }
    bool WriteCfgBatch(const std::vector<CfgWrite>& writes, int flag = -1) override;

    bool Has(std::string_view key) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> values_; // normalized key -> text form
};

} // namespace nuvex
