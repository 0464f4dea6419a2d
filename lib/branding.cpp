#include "lib/branding.h"

#include "lib/log.h"
#include "lib/registry.h"
#include "lib/text.h"

#include <array>
#include <mutex>

namespace nuvex {

namespace detail {
extern const unsigned char kConfigResource[];
extern const std::size_t kConfigResourceSize;
} // namespace detail

namespace {

constexpr std::string_view kBrandKey = "Software\\Brannock\\";
// What a read answers when the value is missing: no real brand value looks
// like it, so an empty value and a missing one stay apart.
constexpr std::string_view kMissingMarker = "#$%";
constexpr std::size_t kMaxBrandLength = 255;
constexpr std::string_view kFallbackFolder = "Vostrel";

struct BrandField {
    std::string_view name;
    std::string Branding::*member;
    std::string_view def;
};

// In the order the values are read.
const std::array<BrandField, 5> kFields{{
    {"BRAND", &Branding::brand, "Vostrel"},
    {"BRAND_LONG", &Branding::brandLong, "Vostrel.example"},
    {"BRAND_CODE", &Branding::brandCode, ""},
    {"BRAND_DOMAIN", &Branding::brandDomain, "www.vostrel.example"},
    {"BRAND_FOLDER", &Branding::brandFolder, ""},
}};

// The order in which CONFIG fills in missing values.
constexpr std::array<std::string_view, 5> kConfigOrder{"BRAND", "BRAND_LONG", "BRAND_DOMAIN", "BRAND_CODE",
                                                       "BRAND_FOLDER"};

Branding Defaults() {
    Branding b;
    for (const auto& f : kFields) {
        b.*f.member = std::string(f.def);
    }
    b.brandFolder = b.brand;
    return b;
}

std::mutex g_mutex;
bool g_loaded = false;
Branding g_branding = Defaults();

// At most 255 characters, cut on a character boundary of the UTF-8 text.
std::string Bounded(std::string s) {
    if (s.size() <= kMaxBrandLength) {
        return s;
    }
    std::size_t cut = kMaxBrandLength;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    s.resize(cut);
    return s;
}

// Replaces every occurrence of the placeholder, ignoring case; the inserted
// value is not searched again.
void ReplaceAllNoCase(std::string& text, std::string_view placeholder, std::string_view value) {
    std::size_t pos = 0;
    while (pos + placeholder.size() <= text.size()) {
        if (text::EqualsNoCase(std::string_view(text).substr(pos, placeholder.size()), placeholder)) {
            text.replace(pos, placeholder.size(), value);
            pos += value.size();
        } else {
            ++pos;
        }
    }
}

const BrandField& Field(std::string_view name) {
    for (const auto& f : kFields) {
        if (f.name == name) {
            return f;
        }
    }
    return kFields[0];
}

void WriteBrandValue(Registry& registry, std::string_view name, std::string_view value) {
    // A registry that cannot be written leaves the value in force for this run only.
    if (!WriteRegString(registry, RegRoot::HKLM, kBrandKey, name, true, value)) {
        log::Warning("branding", "cannot store the brand value " + std::string(name) + " in the registry");
    }
}

} // namespace

void LoadBranding(Registry& registry, std::string_view configText, bool force) {
    std::lock_guard lock(g_mutex);
    if (g_loaded && !force) {
        return;
    }
    Branding b = Defaults();
    b.brandFolder.clear();
    try {
        std::array<bool, kFields.size()> missing{};
        bool anyMissing = false;
        for (std::size_t i = 0; i < kFields.size(); ++i) {
            const auto& f = kFields[i];
            std::string value =
                text::Trim(ReadRegString(registry, RegRoot::HKLM, kBrandKey, f.name, kMissingMarker));
            if (value == kMissingMarker) {
                b.*f.member = std::string(f.def);
                WriteBrandValue(registry, f.name, f.def);
                missing[i] = true;
                anyMissing = true;
            } else {
                // Present but empty (or only blanks): the default, and the
                // stored value is left alone.
                b.*f.member = value.empty() ? std::string(f.def) : Bounded(std::move(value));
            }
        }
        bool folderMissing = missing[kFields.size() - 1];
        if (anyMissing && !configText.empty()) {
            for (auto name : kConfigOrder) {
                const auto& f = Field(name);
                std::size_t index = static_cast<std::size_t>(&f - kFields.data());
                if (!missing[index]) {
                    continue;
                }
                std::string value = text::Trim(ConfigResourceValue(configText, name).value_or(""));
                if (!value.empty()) {
                    b.*f.member = Bounded(std::move(value));
                    WriteBrandValue(registry, name, b.*f.member);
                }
            }
        }
        // The folder follows the brand. It is stored when this run created the
        // value, so that the next run reads the same folder; an empty value
        // someone else stored is not overwritten.
        if (b.brandFolder.empty()) {
            b.brandFolder = b.brand.empty() ? std::string(kFallbackFolder) : b.brand;
            if (folderMissing || b.brand.empty()) {
                WriteBrandValue(registry, "BRAND_FOLDER", b.brandFolder);
            }
        }
    } catch (...) {
        log::Caught("branding", "LoadBranding");
        // Values read so far stay; the rest keep their defaults.
        if (b.brandFolder.empty()) {
            b.brandFolder = b.brand.empty() ? std::string(kFallbackFolder) : b.brand;
        }
    }
    g_branding = std::move(b);
    g_loaded = true;
}

void ForgetBranding() {
    std::lock_guard lock(g_mutex);
    g_loaded = false;
    g_branding = Defaults();
}

Branding CurrentBranding() {
    std::lock_guard lock(g_mutex);
    return g_branding;
}

std::string Translate(std::string_view text) {
    try {
        bool loaded = false;
        {
            std::lock_guard lock(g_mutex);
            loaded = g_loaded;
        }
        if (!loaded) {
            LoadBranding(ProcessRegistry(), ConfigResourceText());
        }
        std::string out = Translator().Lookup(text);
        Branding b = CurrentBranding();
        // The longer placeholders first: "%BRAND" is a prefix of each of them.
        ReplaceAllNoCase(out, "%BRAND_LONG", b.brandLong);
        ReplaceAllNoCase(out, "%BRAND_DOMAIN", b.brandDomain);
        ReplaceAllNoCase(out, "%BRAND_CODE", b.brandCode);
        ReplaceAllNoCase(out, "%BRAND", b.brand);
        return out;
    } catch (...) {
        log::Caught("branding", "Translate");
        return std::string(text);
    }
}

std::string ProductName() {
    return Translate("%BRAND Email Plugin");
}

std::string_view ConfigResourceText() {
    return {reinterpret_cast<const char*>(detail::kConfigResource), detail::kConfigResourceSize};
}

std::optional<std::string> ConfigResourceValue(std::string_view configText, std::string_view key) {
    std::size_t pos = 0;
    while (pos <= configText.size()) {
        std::size_t end = configText.find('\n', pos);
        if (end == std::string_view::npos) {
            end = configText.size();
        }
        std::string_view line = configText.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        auto eq = line.find('=');
        if (eq != std::string_view::npos && text::EqualsNoCase(text::Trim(line.substr(0, eq)), key)) {
            return std::string(line.substr(eq + 1));
        }
        pos = end + 1;
    }
    return std::nullopt;
}

std::string TTranslator::Lookup(std::string_view text) const {
    std::shared_lock lock(mutex_);
    for (const auto& item : items_) {
        if (item.source == text) {
            return item.target;
        }
    }
    return std::string(text);
}

void TTranslator::Add(TTransItem item) {
    std::unique_lock lock(mutex_);
    items_.push_back(std::move(item));
}

void TTranslator::Clear() {
    std::unique_lock lock(mutex_);
    items_.clear();
}

std::size_t TTranslator::Count() const {
    std::shared_lock lock(mutex_);
    return items_.size();
}

TTranslator& Translator() {
    static TTranslator translator;
    return translator;
}

} // namespace nuvex
