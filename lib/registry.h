#pragma once
// The registry substitute: roots, keys with subkeys, typed values, and the
// helpers the rest of the program uses. Key paths and value names compare
// without regard to case; every helper normalizes key paths first.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

enum class RegRoot { HKLM, HKCU, HKCR };
enum class RegType { String = 1, ExpandString = 2, Binary = 3, DWord = 4 };

struct RegValue {
    RegType type = RegType::String;
    std::string data; // text for String/ExpandString, raw bytes for Binary, 4 LE bytes for DWord
    static RegValue Text(std::string_view s) { return {RegType::String, std::string(s)}; }
    static RegValue Dword(std::uint32_t v);
    std::uint32_t AsDword() const;
};

class Registry {
public:
    virtual ~Registry() = default;
    virtual bool KeyExists(RegRoot root, std::string_view key) = 0;
    virtual bool CreateKey(RegRoot root, std::string_view key) = 0;
    // An empty name is the key's default value.
    virtual std::optional<RegValue> GetValue(RegRoot root, std::string_view key, std::string_view name) = 0;
    // Fails when the key is missing and create is false.
    virtual bool SetValue(RegRoot root, std::string_view key, std::string_view name, const RegValue& value,
                          bool create = true) = 0;
    virtual bool DeleteValue(RegRoot root, std::string_view key, std::string_view name) = 0;
    // Deletes the key with all its subkeys; true also when it did not exist.
    virtual bool DeleteKey(RegRoot root, std::string_view key) = 0;
    virtual std::vector<std::string> SubKeys(RegRoot root, std::string_view key) = 0;
    virtual std::vector<std::string> ValueNames(RegRoot root, std::string_view key) = 0;
};

// SQLite file store (writes are transactions); nullptr when the file can't be opened.
std::unique_ptr<Registry> OpenSqliteRegistry(const std::string& path);
// Default location: $XDG_CONFIG_HOME/brannock/registry.db (user-only folder).
std::string DefaultRegistryPath();
std::unique_ptr<Registry> MakeMemoryRegistry();

// The registry the program uses; tests install their own. Never null: the first
// call opens the default SQLite store, or an in-memory one when that fails
// (logged as critical), so that reads still answer their defaults.
Registry& ProcessRegistry();
// False when ProcessRegistry() is the in-memory stand-in for a store that could
// not be opened: whoever must persist (registration) fails instead of
// reporting a success that is gone at exit.
bool ProcessRegistryIsPersistent();
void SetProcessRegistry(Registry* registry);

std::string NormalizeKeyPath(std::string_view text);
std::string ReadRegString(Registry& reg, RegRoot root, std::string_view key, std::string_view name,
                          std::string_view def);
std::int64_t ReadRegInteger(Registry& reg, RegRoot root, std::string_view key, std::string_view name,
                            std::int64_t def);
bool WriteRegString(Registry& reg, RegRoot root, std::string_view key, std::string_view name, bool create,
                    std::string_view text);
bool DeleteRegKey(Registry& reg, RegRoot root, std::string_view key);
bool CopyRegKey(Registry& reg, RegRoot srcRoot, std::string_view srcKey, RegRoot dstRoot, bool create,
                bool recursive, std::string_view dstKey);

} // namespace nuvex
