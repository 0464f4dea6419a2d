#include "lib/registry.h"

#include "lib/log.h"
#include "lib/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvex {

RegValue RegValue::Dword(std::uint32_t v) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    return {RegType::DWord, bytes};
}

std::uint32_t RegValue::AsDword() const {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4 && i < data.size(); ++i) {
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return v;
}

std::string NormalizeKeyPath(std::string_view text) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    std::string out(text);
    // Collapsing in one sweep turns any run of backslashes into one, which is
    // what repeating the pair replacement until nothing changes gives.
    std::string collapsed;
    collapsed.reserve(out.size());
    for (char c : out) {
        if (c == '\\' && !collapsed.empty() && collapsed.back() == '\\') {
            continue;
        }
        collapsed.push_back(c);
    }
    if (!collapsed.empty() && collapsed.back() == '\\') {
        collapsed.pop_back();
    }
    return collapsed;
}

namespace regdetail {

std::string LowerAscii(std::string_view s) {
    return text::ToLowerAscii(s);
}

// The stores' own canonical form: normalized and without a leading backslash,
// so "\Software\X\" and "Software\X" name one key.
std::string CanonicalKey(std::string_view key) {
    std::string k = NormalizeKeyPath(key);
    while (!k.empty() && k.front() == '\\') {
        k.erase(k.begin());
    }
    return k;
}

} // namespace regdetail

using regdetail::CanonicalKey;
using regdetail::LowerAscii;

namespace {

// The in-memory fake: the same rules as the file store (case-insensitive names
// that keep their written case, parents created with their children, values
// listed in the order they were first written).
class MemoryRegistry final : public Registry {
public:
    bool KeyExists(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        return Find(root, CanonicalKey(key)) != nullptr;
    }

    bool CreateKey(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        Create(root, CanonicalKey(key));
        return true;
    }

    std::optional<RegValue> GetValue(RegRoot root, std::string_view key, std::string_view name) override {
        std::lock_guard lock(mutex_);
        const Key* k = Find(root, CanonicalKey(key));
        if (!k) {
            return std::nullopt;
        }
        std::string lname = LowerAscii(name);
        for (const auto& v : k->values) {
            if (v.lname == lname) {
                return v.value;
            }
        }
        return std::nullopt;
    }

    bool SetValue(RegRoot root, std::string_view key, std::string_view name, const RegValue& value,
                  bool create) override {
        std::lock_guard lock(mutex_);
        std::string path = CanonicalKey(key);
        Key* k = Find(root, path);
        if (!k) {
            if (!create) {
                return false;
            }
            k = &Create(root, path);
        }
        std::string lname = LowerAscii(name);
        for (auto& v : k->values) {
            if (v.lname == lname) {
                v.value = value;
                return true;
            }
        }
        k->values.push_back({lname, std::string(name), value});
        return true;
    }

    bool DeleteValue(RegRoot root, std::string_view key, std::string_view name) override {
        std::lock_guard lock(mutex_);
        Key* k = Find(root, CanonicalKey(key));
        if (!k) {
            return false;
        }
        std::string lname = LowerAscii(name);
        auto it =
            std::find_if(k->values.begin(), k->values.end(), [&](const Val& v) { return v.lname == lname; });
        if (it == k->values.end()) {
            return false;
        }
        k->values.erase(it);
        return true;
    }

    bool DeleteKey(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        std::string lpath = LowerAscii(CanonicalKey(key));
        if (lpath.empty()) {
            return false; // a root is never deleted
        }
        auto& keys = roots_[root];
        keys.erase(lpath);
        std::string prefix = lpath + "\\";
        for (auto it = keys.lower_bound(prefix); it != keys.end() && it->first.starts_with(prefix);) {
            it = keys.erase(it);
        }
        return true;
    }

    std::vector<std::string> SubKeys(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        std::string lpath = LowerAscii(CanonicalKey(key));
        if (!lpath.empty() && !Find(root, CanonicalKey(key))) {
            return out;
        }
        std::string prefix = lpath.empty() ? "" : lpath + "\\";
        const auto& keys = roots_[root];
        for (auto it = keys.lower_bound(prefix); it != keys.end() && it->first.starts_with(prefix); ++it) {
            std::string_view rest = std::string_view(it->first).substr(prefix.size());
            if (!rest.empty() && rest.find('\\') == std::string_view::npos) {
                out.push_back(it->second.name);
            }
        }
        return out;
    }

    std::vector<std::string> ValueNames(RegRoot root, std::string_view key) override {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        if (const Key* k = Find(root, CanonicalKey(key))) {
            for (const auto& v : k->values) {
                out.push_back(v.name);
            }
        }
        return out;
    }

private:
    struct Val {
        std::string lname;
        std::string name;
        RegValue value;
    };
    struct Key {
        std::string name; // last path component as first written
        std::vector<Val> values;
    };

    Key* Find(RegRoot root, const std::string& path) {
        auto& keys = roots_[root];
        if (path.empty()) {
            return &keys[""]; // the root itself always exists
        }
        auto it = keys.find(LowerAscii(path));
        return it == keys.end() ? nullptr : &it->second;
    }

    Key& Create(RegRoot root, const std::string& path) {
        auto& keys = roots_[root];
        Key* last = &keys[""];
        std::size_t pos = 0;
        while (pos <= path.size() && !path.empty()) {
            std::size_t end = path.find('\\', pos);
            if (end == std::string::npos) {
                end = path.size();
            }
            std::string sub = path.substr(0, end);
            auto [it, inserted] = keys.try_emplace(LowerAscii(sub));
            if (inserted) {
                it->second.name = path.substr(pos, end - pos);
            }
            last = &it->second;
            pos = end + 1;
        }
        return *last;
    }

    std::mutex mutex_;
    std::map<RegRoot, std::map<std::string, Key>> roots_;
};

std::mutex g_processMutex;
Registry* g_installed = nullptr;
std::unique_ptr<Registry> g_default;
bool g_defaultPersistent = false;

// Text to number the way the program's integer reads accept it: decimal with a
// sign, or hexadecimal after "$" or "0x"; anything else is an error.
std::optional<std::int64_t> ParseInteger(std::string_view text) {
    std::string t = text::TrimSpace(text);
    std::string_view s = t;
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.starts_with("$")) {
        base = 16;
        s.remove_prefix(1);
    } else if (s.starts_with("0x") || s.starts_with("0X")) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    if (v > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    auto value = static_cast<std::int64_t>(v);
    return negative ? -value : value;
}

bool CopyKeyLevel(Registry& reg, RegRoot srcRoot, const std::string& src, RegRoot dstRoot, bool create,
                  bool recursive, const std::string& dst, int depth) {
    // Real key trees are a handful of levels deep; the bound only stops a
    // runaway copy.
    constexpr int kMaxDepth = 64;
    if (depth > kMaxDepth || !reg.KeyExists(srcRoot, src)) {
        return false;
    }
    if (!reg.KeyExists(dstRoot, dst)) {
        if (!create || !reg.CreateKey(dstRoot, dst)) {
            return false;
        }
    }
    bool ok = true;
    for (const auto& name : reg.ValueNames(srcRoot, src)) {
        auto value = reg.GetValue(srcRoot, src, name);
        if (!value || !reg.SetValue(dstRoot, dst, name, *value, false)) {
            ok = false;
        }
    }
    if (recursive) {
        for (const auto& sub : reg.SubKeys(srcRoot, src)) {
            std::string s = src.empty() ? sub : src + "\\" + sub;
            std::string d = dst.empty() ? sub : dst + "\\" + sub;
            if (!CopyKeyLevel(reg, srcRoot, s, dstRoot, true, true, d, depth + 1)) {
                ok = false;
            }
        }
    }
    return ok;
}

} // namespace

std::unique_ptr<Registry> MakeMemoryRegistry() {
    return std::make_unique<MemoryRegistry>();
}

std::string DefaultRegistryPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home && home[0] == '/') {
            base = home;
        } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
            base = pw->pw_dir;
        } else {
            base = "/tmp";
        }
        base += "/.config";
    }
    return base + "/brannock/registry.db";
}

Registry& ProcessRegistry() {
    std::lock_guard lock(g_processMutex);
    if (g_installed) {
        return *g_installed;
    }
    if (!g_default) {
        std::string path = DefaultRegistryPath();
        g_default = OpenSqliteRegistry(path);
        g_defaultPersistent = g_default != nullptr;
        // The host's settings folder holds nothing other users may read.
        std::string folder = path.substr(0, path.rfind('/'));
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0 && st.st_uid == ::getuid() && (st.st_mode & 077) != 0) {
            ::chmod(folder.c_str(), 0700);
        }
        if (!g_default) {
            log::Critical("registry",
                          "cannot open " + path +
                              "; registry values of this run are kept in memory only and will be lost");
            g_default = MakeMemoryRegistry();
        }
    }
    return *g_default;
}

bool ProcessRegistryIsPersistent() {
    Registry& registry = ProcessRegistry();
    std::lock_guard lock(g_processMutex);
    return &registry == g_installed || g_defaultPersistent;
}

void SetProcessRegistry(Registry* registry) {
    std::lock_guard lock(g_processMutex);
    g_installed = registry;
}

std::string ReadRegString(Registry& reg, RegRoot root, std::string_view key, std::string_view name,
                          std::string_view def) {
    try {
        auto value = reg.GetValue(root, NormalizeKeyPath(key), name);
        if (!value) {
            return std::string(def);
        }
        switch (value->type) {
        case RegType::String:
        case RegType::ExpandString: {
            // Values written by other programs may carry their terminating zero.
            std::string text = value->data;
            if (auto nul = text.find('\0'); nul != std::string::npos) {
                text.resize(nul);
            }
            return text;
        }
        case RegType::DWord:
            return std::to_string(value->AsDword());
        case RegType::Binary:
            return value->data;
        }
        return std::string(def);
    } catch (...) {
        log::Caught("registry", "ReadRegString");
        return std::string(def);
    }
}

std::int64_t ReadRegInteger(Registry& reg, RegRoot root, std::string_view key, std::string_view name,
                            std::int64_t def) {
    try {
        auto value = reg.GetValue(root, NormalizeKeyPath(key), name);
        if (!value) {
            return def;
        }
        switch (value->type) {
        case RegType::DWord:
            return value->AsDword();
        case RegType::Binary: {
            if (value->data.empty() || value->data.size() > 8) {
                return def;
            }
            std::uint64_t v = 0;
            for (std::size_t i = 0; i < value->data.size(); ++i) {
                v |= static_cast<std::uint64_t>(static_cast<unsigned char>(value->data[i])) << (8 * i);
            }
            return static_cast<std::int64_t>(v);
        }
        case RegType::String:
        case RegType::ExpandString: {
            std::string text = value->data;
            if (auto nul = text.find('\0'); nul != std::string::npos) {
                text.resize(nul);
            }
            return ParseInteger(text).value_or(def);
        }
        }
        return def;
    } catch (...) {
        log::Caught("registry", "ReadRegInteger");
        return def;
    }
}

bool WriteRegString(Registry& reg, RegRoot root, std::string_view key, std::string_view name, bool create,
                    std::string_view text) {
    try {
        return reg.SetValue(root, NormalizeKeyPath(key), name, RegValue::Text(text), create);
    } catch (...) {
        log::Caught("registry", "WriteRegString");
        return false;
    }
}

bool DeleteRegKey(Registry& reg, RegRoot root, std::string_view key) {
    try {
        std::string k = CanonicalKey(key);
        if (k.empty()) {
            return false; // an empty path would name the whole root
        }
        if (!reg.KeyExists(root, k)) {
            return true;
        }
        return reg.DeleteKey(root, k);
    } catch (...) {
        log::Caught("registry", "DeleteRegKey");
        return false;
    }
}

bool CopyRegKey(Registry& reg, RegRoot srcRoot, std::string_view srcKey, RegRoot dstRoot, bool create,
                bool recursive, std::string_view dstKey) {
    try {
        std::string src = CanonicalKey(srcKey);
        std::string dst = CanonicalKey(dstKey);
        if (srcRoot == dstRoot) {
            std::string ls = LowerAscii(src);
            std::string ld = LowerAscii(dst);
            if (ls == ld) {
                return reg.KeyExists(srcRoot, src); // copying a key onto itself changes nothing
            }
            // A recursive copy into its own subtree would keep finding the
            // copy it just made.
            if (recursive && (ls.empty() || ld.starts_with(ls + "\\"))) {
                return false;
            }
        }
        return CopyKeyLevel(reg, srcRoot, src, dstRoot, create, recursive, dst, 0);
    } catch (...) {
        log::Caught("registry", "CopyRegKey");
        return false;
    }
}

} // namespace nuvex
