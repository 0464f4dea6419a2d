#pragma once
// The host's store of plug-in values, by plug-in and key, in SQLite (a
// user-only file beside the registry store). Every write, and every batch, is
// one transaction and is on disk when the call returns, so a crash of the host
// or of a plug-in loses nothing that was written.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace nuvex::host {

enum class ValueType { Text = 0, Int = 1, Bool = 2 };

struct StoredValue {
    ValueType type = ValueType::Text;
    std::string text;
};

class SettingsStore {
public:
    // nullptr (and a reason in error) when the file cannot be opened.
    static std::unique_ptr<SettingsStore> Open(const std::string& path, std::string* error);
    // $XDG_CONFIG_HOME/brannock/settings.db
    static std::string DefaultPath();
    ~SettingsStore();

    // Plug-in names compare without case; keys as the host compares them
    // (no case, a leading "$" names the same value).
    // nullopt for no value; failed (when given) tells a store that could not
    // answer apart from a value that is not there.
    std::optional<StoredValue> Get(std::string_view plugin, std::string_view key, bool* failed = nullptr);
    // Several values read under one lock and one read transaction, in the
    // order of keys; an unset key is nullopt. False when the store could not answer.
    bool GetMany(std::string_view plugin, const std::vector<std::string>& keys,
                 std::vector<std::optional<StoredValue>>& out);
    bool Set(std::string_view plugin, std::string_view key, ValueType type, std::string_view text);
    bool Delete(std::string_view plugin, std::string_view key);

    // One value of a batch: set with its type, or removed.
    struct Write {
        std::string key;
        ValueType type = ValueType::Text;
        std::string text;
        bool remove = false;
    };
    // All of the writes in one transaction, or none of them.
    bool Apply(std::string_view plugin, const std::vector<Write>& writes);

    bool IsSeeded(std::string_view plugin);
    // Adds the values that are not set yet and marks the plug-in seeded, in one transaction.
    bool Seed(std::string_view plugin, const std::map<std::string, std::string>& defaults);

    const std::string& LastError() const { return lastError_; }

private:
    explicit SettingsStore(sqlite3* db) : db_(db) {}
    bool Exec(const char* sql);

    sqlite3* db_;
    std::mutex mutex_;
    std::string lastError_;
};

// Parses "KEY=VALUE" lines (CR LF or LF); lines without "=" or a key are skipped.
std::map<std::string, std::string> ParseConfigText(std::string_view text);

} // namespace nuvex::host
