#pragma once
// Brand values and Translate, through which every text the user sees passes.
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

class Registry;

struct Branding {
    std::string brand, brandLong, brandCode, brandDomain, brandFolder;
};

// Reads the brand values from HKLM "Software\Brannock\" of the given registry,
// with defaults and write-back (CONFIG text as the second source). Runs once per
// process unless forced; Translate runs it against the process registry when it
// has not run yet. Never throws.
void LoadBranding(Registry& registry, std::string_view configText, bool force = false);
// Back to "not loaded", so that the next Translate loads again (tests).
void ForgetBranding();
// A copy: Translate reads the values from worker threads while a forced load
// may replace them.
Branding CurrentBranding();
// The text's translation with the brand placeholders filled in; never throws.
std::string Translate(std::string_view text);
// The program's one name, as every window title gives it: "<brand> Email Plugin".
std::string ProductName();

// The compiled-in CONFIG text (key=value lines separated by CR LF).
std::string_view ConfigResourceText();
// The value of one key of a CONFIG text (keys compare without case); nullopt
// when the key has no line.
std::optional<std::string> ConfigResourceValue(std::string_view configText, std::string_view key);

// One entry of the translation table: a text and what it becomes.
struct TTransItem {
    std::string source;
    std::string target;
};

// The translation table. It holds no entries in this program, so every lookup
// gives the text back unchanged; the table is kept so that a translated build
// only has to fill it.
class TTranslator {
public:
    std::string Lookup(std::string_view text) const;
    void Add(TTransItem item);
    void Clear();
    std::size_t Count() const;

private:
    mutable std::shared_mutex mutex_;
    std::vector<TTransItem> items_;
};

// The process's table, the one Translate looks texts up in.
TTranslator& Translator();

} // namespace nuvex
