// Fuzz target: code-page conversion and the charset alias look-up.
//
// Input layout:
//   byte 0       picks the ANSI code page of the process (from kAnsiPages)
//   byte 1       picks the source code page (from kSourcePages), or 255:
//                the code page comes from the charset name instead
//   up to NUL    a charset name, looked up through the registry (built-in
//                table seeded, plus a few fuzzed alias entries)
//   the rest     the text to convert
//
// Checked besides memory safety:
//   - CharsetToCodePage ends (alias chains are bounded) and answers -1 or a
//     code page >= 0;
//   - a name the registry does not know gives the built-in answer;
//   - UTF-16 -> UTF-8 -> UTF-16 keeps every text without lone surrogates;
//   - converting to UTF-8 always gives valid UTF-8.
#include "lib/codepage.h"
#include "lib/registry.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

using namespace nuvex;

namespace {

constexpr int kAnsiPages[] = {65001, 1252, 1251, 932, 936, 20127, 28591, 50220, 65000, 1200, 437, 12345};
constexpr int kSourcePages[] = {65001, 1250,  1252,  1253,  1255,  932,   936,   949,   950,
                                20866, 28591, 28605, 50220, 50225, 51932, 54936, 65000, 1200,
                                1201,  12000, 12001, 37,    500,   10000, 0,     -1,    99999};

bool ValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80             ? 1
                          : (c & 0xE0) == 0xC0 ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 0;
        if (len == 0 || i + len > s.size()) {
            return false;
        }
        std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        for (std::size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

bool HasLoneSurrogate(std::u16string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= 0xD800 && s[i] <= 0xDBFF) {
            if (i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return true;
        }
        if (s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

Registry& SeededRegistry() {
    static std::unique_ptr<Registry> registry = [] {
        auto r = MakeMemoryRegistry();
        SeedCharsetRegistry(*r);
        return r;
    }();
    return *registry;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const int ansi = kAnsiPages[data[0] % std::size(kAnsiPages)];
    const bool byName = data[1] == 255;
    const int source = kSourcePages[data[1] % std::size(kSourcePages)];
    std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t nul = rest.find('\0');
    const std::string_view charset = rest.substr(0, nul == std::string_view::npos ? 0 : nul);
    const std::string_view text = nul == std::string_view::npos ? rest : rest.substr(nul + 1);

    // Look-ups in the seeded store, then with a fuzzed alias chain added.
    Registry& seeded = SeededRegistry();
    const int builtin = BuiltinCharsetToCodePage(charset);
    const int looked = CharsetToCodePage(seeded, charset);
    if (looked < -1 || builtin < -1) {
        std::abort();
    }
    if (!charset.empty() && charset.find('\\') == std::string_view::npos &&
        !seeded.KeyExists(RegRoot::HKCR, std::string("MIME\\Database\\Charset\\") + std::string(charset)) &&
        looked != builtin) {
        std::abort(); // an unknown name must fall back to the built-in table
    }
    {
        auto own = MakeMemoryRegistry();
        // "a" -> the name, the name -> "a": a loop the hop bound has to stop.
        own->SetValue(RegRoot::HKCR, "MIME\\Database\\Charset\\a", "AliasForCharset",
                      RegValue::Text(charset));
        own->SetValue(RegRoot::HKCR, std::string("MIME\\Database\\Charset\\") + std::string(charset),
                      "AliasForCharset", RegValue::Text("a"));
        const int cp = CharsetToCodePage(*own, "a");
        if (cp < -1) {
            std::abort();
        }
        own->SetValue(RegRoot::HKCR, "MIME\\Database\\Charset\\b", "InternetEncoding",
                      RegValue{RegType::Binary, std::string(text.substr(0, 9))});
        (void)CharsetToCodePage(*own, "b");
    }

    SetAnsiCodePage(ansi);
    const int from = byName ? looked : source;
    (void)CodePageIconvName(from);
    (void)ToAnsi(text, from);

    auto wide = CodePageToWide(text, from);
    if (wide) {
        auto utf8 = WideToCodePage(*wide, kCodePageUtf8);
        if (!utf8 || !ValidUtf8(*utf8)) {
            std::abort();
        }
        if (!HasLoneSurrogate(*wide)) {
            auto back = CodePageToWide(*utf8, kCodePageUtf8);
            if (!back || *back != *wide) {
                std::abort(); // UTF-8 round trip lost characters
            }
        }
        (void)WideToCodePage(*wide, ansi);
        (void)WideToAnsi(*wide);
    }

    const std::u16string loose = Utf8ToWide(text);
    (void)WideToAnsi(loose);
    auto strict = WideToCodePage(loose, kCodePageUtf8);
    if (!strict || !ValidUtf8(*strict)) {
        std::abort();
    }
    SetAnsiCodePage(kCodePageUtf8);
    return 0;
}
