#include "lib/codepage.h"

#include "lib/log.h"
#include "lib/registry.h"
#include "lib/text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <iconv.h>
#include <iterator>

namespace nuvex {
namespace {

std::atomic<int> g_ansiCodePage{kCodePageUtf8};

constexpr std::string_view kCharsetKey = "MIME\\Database\\Charset\\";
constexpr char16_t kReplacement = 0xFFFD;

struct CodePageName {
    int codePage;
    const char* iconvName;
};

// Windows code page numbers and the iconv converters with the same tables.
// 932 is Microsoft's Shift_JIS (CP932): glibc's plain SHIFT_JIS turns 0x5C into
// a yen sign where Windows keeps the backslash.
constexpr CodePageName kCodePageNames[] = {
    {37, "IBM037"},         {437, "CP437"},         {500, "IBM500"},       {737, "CP737"},
    {775, "CP775"},         {850, "CP850"},         {852, "CP852"},        {855, "CP855"},
    {857, "CP857"},         {860, "CP860"},         {861, "CP861"},        {862, "CP862"},
    {863, "CP863"},         {865, "CP865"},         {866, "CP866"},        {869, "CP869"},
    {874, "CP874"},         {932, "CP932"},         {936, "CP936"},        {949, "CP949"},
    {950, "CP950"},         {1200, "UTF-16LE"},     {1201, "UTF-16BE"},    {1250, "CP1250"},
    {1251, "CP1251"},       {1252, "CP1252"},       {1253, "CP1253"},      {1254, "CP1254"},
    {1255, "CP1255"},       {1256, "CP1256"},       {1257, "CP1257"},      {1258, "CP1258"},
    {10000, "MACINTOSH"},   {12000, "UTF-32LE"},    {12001, "UTF-32BE"},   {20127, "ASCII"},
    {20866, "KOI8-R"},      {20932, "EUC-JP"},      {21866, "KOI8-U"},     {28591, "ISO-8859-1"},
    {28592, "ISO-8859-2"},  {28593, "ISO-8859-3"},  {28594, "ISO-8859-4"}, {28595, "ISO-8859-5"},
    {28596, "ISO-8859-6"},  {28597, "ISO-8859-7"},  {28598, "ISO-8859-8"}, {28599, "ISO-8859-9"},
    {28603, "ISO-8859-13"}, {28605, "ISO-8859-15"}, {38598, "ISO-8859-8"}, {50220, "ISO-2022-JP"},
    {50225, "ISO-2022-KR"}, {51932, "EUC-JP"},      {51936, "EUC-CN"},     {51949, "EUC-KR"},
    {54936, "GB18030"},     {65000, "UTF-7"},       {65001, "UTF-8"},
};

struct CharsetEntry {
    const char* name;
    int codePage;      // > 0 for a charset
    const char* alias; // the charset an alias stands for
};

// The common part of the Windows MIME database: charsets with their
// "InternetEncoding" and aliases with their "AliasForCharset". euc-jp is 51932
// there (20932 is the separate "JIS X 0208-1990 & 0212-1990" page).
constexpr CharsetEntry kCharsets[] = {
    {"utf-8", 65001, nullptr},
    {"utf-7", 65000, nullptr},
    {"utf-16", 1200, nullptr},
    {"unicode", 1200, nullptr},
    {"unicodeFFFE", 1201, nullptr},
    {"utf-32", 12000, nullptr},
    {"utf-32BE", 12001, nullptr},
    {"us-ascii", 20127, nullptr},
    {"iso-8859-1", 28591, nullptr},
    {"iso-8859-2", 28592, nullptr},
    {"iso-8859-3", 28593, nullptr},
    {"iso-8859-4", 28594, nullptr},
    {"iso-8859-5", 28595, nullptr},
    {"iso-8859-6", 28596, nullptr},
    {"iso-8859-7", 28597, nullptr},
    {"iso-8859-8", 28598, nullptr},
    {"iso-8859-8-i", 38598, nullptr},
    {"iso-8859-9", 28599, nullptr},
    {"iso-8859-13", 28603, nullptr},
    {"iso-8859-15", 28605, nullptr},
    {"windows-874", 874, nullptr},
    {"windows-1250", 1250, nullptr},
    {"windows-1251", 1251, nullptr},
    {"windows-1252", 1252, nullptr},
    {"windows-1253", 1253, nullptr},
    {"windows-1254", 1254, nullptr},
    {"windows-1255", 1255, nullptr},
    {"windows-1256", 1256, nullptr},
    {"windows-1257", 1257, nullptr},
    {"windows-1258", 1258, nullptr},
    {"koi8-r", 20866, nullptr},
    {"koi8-u", 21866, nullptr},
    {"ibm437", 437, nullptr},
    {"ibm850", 850, nullptr},
    {"ibm852", 852, nullptr},
    {"cp866", 866, nullptr},
    {"macintosh", 10000, nullptr},
    {"shift_jis", 932, nullptr},
    {"euc-jp", 51932, nullptr},
    {"iso-2022-jp", 50220, nullptr},
    {"gb2312", 936, nullptr},
    {"gb18030", 54936, nullptr},
    {"big5", 950, nullptr},
    {"ks_c_5601-1987", 949, nullptr},
    {"euc-kr", 51949, nullptr},
    {"iso-2022-kr", 50225, nullptr},

    {"utf8", 0, "utf-8"},
    {"unicode-1-1-utf-8", 0, "utf-8"},
    {"unicode-2-0-utf-8", 0, "utf-8"},
    {"x-unicode20utf8", 0, "utf-8"},
    {"unicode-1-1-utf-7", 0, "utf-7"},
    {"utf-16le", 0, "utf-16"},
    {"ucs-2", 0, "utf-16"},
    {"utf-16be", 0, "unicodeFFFE"},
    {"utf-32le", 0, "utf-32"},
    {"ascii", 0, "us-ascii"},
    {"us", 0, "us-ascii"},
    {"ansi_x3.4-1968", 0, "us-ascii"},
    {"ansi_x3.4-1986", 0, "us-ascii"},
    {"iso646-us", 0, "us-ascii"},
    {"iso-ir-6", 0, "us-ascii"},
    {"csascii", 0, "us-ascii"},
    {"cp367", 0, "us-ascii"},
    {"ibm367", 0, "us-ascii"},
    {"latin1", 0, "iso-8859-1"},
    {"l1", 0, "iso-8859-1"},
    {"iso8859-1", 0, "iso-8859-1"},
    {"iso_8859-1", 0, "iso-8859-1"},
    {"iso_8859-1:1987", 0, "iso-8859-1"},
    {"iso-ir-100", 0, "iso-8859-1"},
    {"cp819", 0, "iso-8859-1"},
    {"ibm819", 0, "iso-8859-1"},
    {"csisolatin1", 0, "iso-8859-1"},
    {"latin2", 0, "iso-8859-2"},
    {"l2", 0, "iso-8859-2"},
    {"iso8859-2", 0, "iso-8859-2"},
    {"iso_8859-2", 0, "iso-8859-2"},
    {"csisolatin2", 0, "iso-8859-2"},
    {"latin3", 0, "iso-8859-3"},
    {"latin4", 0, "iso-8859-4"},
    {"cyrillic", 0, "iso-8859-5"},
    {"iso_8859-5", 0, "iso-8859-5"},
    {"arabic", 0, "iso-8859-6"},
    {"greek", 0, "iso-8859-7"},
    {"iso_8859-7", 0, "iso-8859-7"},
    {"hebrew", 0, "iso-8859-8"},
    {"latin5", 0, "iso-8859-9"},
    {"iso_8859-9", 0, "iso-8859-9"},
    {"latin9", 0, "iso-8859-15"},
    {"latin-9", 0, "iso-8859-15"},
    {"l9", 0, "iso-8859-15"},
    {"iso8859-15", 0, "iso-8859-15"},
    {"iso_8859-15", 0, "iso-8859-15"},
    {"cp874", 0, "windows-874"},
    {"tis-620", 0, "windows-874"},
    {"cp1250", 0, "windows-1250"},
    {"x-cp1250", 0, "windows-1250"},
    {"cp1251", 0, "windows-1251"},
    {"x-cp1251", 0, "windows-1251"},
    {"cp1252", 0, "windows-1252"},
    {"x-ansi", 0, "windows-1252"},
    {"cp1253", 0, "windows-1253"},
    {"cp1254", 0, "windows-1254"},
    {"cp1255", 0, "windows-1255"},
    {"cp1256", 0, "windows-1256"},
    {"cp1257", 0, "windows-1257"},
    {"cp1258", 0, "windows-1258"},
    {"koi8", 0, "koi8-r"},
    {"koi", 0, "koi8-r"},
    {"cskoi8r", 0, "koi8-r"},
    {"koi8-ru", 0, "koi8-u"},
    {"cp437", 0, "ibm437"},
    {"cp850", 0, "ibm850"},
    {"cp852", 0, "ibm852"},
    {"ibm866", 0, "cp866"},
    {"x-mac-roman", 0, "macintosh"},
    {"x-sjis", 0, "shift_jis"},
    {"sjis", 0, "shift_jis"},
    {"ms_kanji", 0, "shift_jis"},
    {"csshiftjis", 0, "shift_jis"},
    {"windows-31j", 0, "shift_jis"},
    {"cp932", 0, "shift_jis"},
    {"x-euc-jp", 0, "euc-jp"},
    {"x-euc", 0, "euc-jp"},
    {"cseucpkdfmtjapanese", 0, "euc-jp"},
    {"csiso2022jp", 0, "iso-2022-jp"},
    {"gbk", 0, "gb2312"},
    {"x-gbk", 0, "gb2312"},
    {"cp936", 0, "gb2312"},
    {"csgb2312", 0, "gb2312"},
    {"chinese", 0, "gb2312"},
    {"cn-big5", 0, "big5"},
    {"x-x-big5", 0, "big5"},
    {"csbig5", 0, "big5"},
    {"cp950", 0, "big5"},
    {"korean", 0, "ks_c_5601-1987"},
    {"ks_c_5601", 0, "ks_c_5601-1987"},
    {"ksc_5601", 0, "ks_c_5601-1987"},
    {"ks_c_5601-1989", 0, "ks_c_5601-1987"},
    {"csksc56011987", 0, "ks_c_5601-1987"},
    {"cp949", 0, "ks_c_5601-1987"},
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y) {
            return false;
        }
    }
    return true;
}

const CharsetEntry* FindBuiltinCharset(std::string_view name) {
    for (const CharsetEntry& e : kCharsets) {
        if (EqualsNoCase(e.name, name)) {
            return &e;
        }
    }
    return nullptr;
}

// A charset name is one key name; a backslash would reach into other keys.
bool UsableCharsetName(std::string_view name) {
    return !name.empty() && name.find('\\') == std::string_view::npos;
}

// Pure-ASCII text reads the same in all of these, so it needs no conversion.
constexpr int kAsciiCompatiblePages[] = {
    437, 737, 775, 850, 852,   855,   857,   860,   861,   862,   863,   865,   866,   869,   874,
    932, 936, 949, 950, 10000, 20127, 20866, 20932, 21866, 38598, 51932, 51936, 51949, 54936, 65001};

bool AsciiCompatible(int codePage) {
    if ((codePage >= 1250 && codePage <= 1258) || (codePage >= 28591 && codePage <= 28605)) {
        return true;
    }
    return std::find(std::begin(kAsciiCompatiblePages), std::end(kAsciiCompatiblePages), codePage) !=
           std::end(kAsciiCompatiblePages);
}

bool IsAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

// The Windows 125x pages give their few unassigned bytes the C1 control of the
// same value in both directions; glibc rejects them, so we fill that gap.
bool IsWindowsAnsiPage(int codePage) {
    return codePage >= 1250 && codePage <= 1258;
}

class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) {
            iconv_close(cd_);
        }
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    // iconv_open reports failure with the handle (iconv_t)-1; there is no other way to test it.
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); } // NOLINT(performance-no-int-to-ptr)
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

void AppendUtf16(std::u16string& out, std::uint32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

// Strict UTF-8: overlongs, surrogates, values above U+10FFFF and cut-off
// sequences each give one U+FFFD per rejected byte.
std::u16string StrictUtf8ToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            ++i;
            continue;
        }
        int len = 0;
        std::uint32_t cp = 0;
        std::uint32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2, cp = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, cp = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4, cp = c & 0x07, min = 0x10000;
        }
        bool good = len > 0 && i + static_cast<std::size_t>(len) <= n;
        for (int k = 1; good && k < len; ++k) {
            const unsigned char t = p[i + static_cast<std::size_t>(k)];
            if ((t & 0xC0) != 0x80) {
                good = false;
            } else {
                cp = (cp << 6) | (t & 0x3F);
            }
        }
        if (good && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) {
            good = false;
        }
        if (!good) {
            out += kReplacement;
            ++i;
            continue;
        }
        AppendUtf16(out, cp);
        i += static_cast<std::size_t>(len);
    }
    return out;
}

std::string WideToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        nuvex::text::AppendUtf8(out, cp);
    }
    return out;
}

// Runs iconv over all of `in`, appending to `out`. onError is called with the
// remaining input when a sequence is invalid (EILSEQ) or cut off (EINVAL); it
// may append to out and answers how many input bytes to skip. Every round
// consumes input or grows the buffer, so the loop ends.
template <typename OnError>
bool RunIconv(iconv_t cd, std::string_view in, std::string& out, OnError onError) {
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    std::size_t used = out.size();
    out.resize(used + in.size() * 2 + 64);
    while (inLeft > 0) {
        char* outPtr = out.data() + used;
        std::size_t outLeft = out.size() - used;
        const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        const int err = errno;
        used = static_cast<std::size_t>(outPtr - out.data());
        if (rc != static_cast<std::size_t>(-1)) {
            continue;
        }
        if (err == E2BIG) {
            out.resize(out.size() * 2 + 64);
            continue;
        }
        if (err != EILSEQ && err != EINVAL) {
            return false;
        }
        out.resize(used);
        std::size_t skip = onError(std::string_view(inPtr, inLeft), out);
        skip = skip < 1 ? 1 : skip > inLeft ? inLeft : skip;
        inPtr += skip;
        inLeft -= skip;
        used = out.size();
        out.resize(used + inLeft * 2 + 64);
    }
    // Stateful encodings write their shift-back sequence here.
    for (;;) {
        char* outPtr = out.data() + used;
        std::size_t outLeft = out.size() - used;
        const std::size_t rc = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        const int err = errno;
        used = static_cast<std::size_t>(outPtr - out.data());
        if (rc == static_cast<std::size_t>(-1) && err == E2BIG) {
            out.resize(out.size() * 2 + 64);
            continue;
        }
        break;
    }
    out.resize(used);
    return true;
}

} // namespace

int AnsiCodePage() {
    return g_ansiCodePage.load(std::memory_order_relaxed);
}

void SetAnsiCodePage(int codePage) {
    g_ansiCodePage.store(codePage, std::memory_order_relaxed);
}

std::string CodePageIconvName(int codePage) {
    for (const CodePageName& e : kCodePageNames) {
        if (e.codePage == codePage) {
            return e.iconvName;
        }
    }
    return {};
}

int BuiltinCharsetToCodePage(std::string_view charset) {
    std::string_view name = charset;
    for (int hop = 0; hop <= kMaxCharsetAliasHops; ++hop) {
        const CharsetEntry* e = FindBuiltinCharset(name);
        if (!e) {
            return -1;
        }
        if (!e->alias) {
            return e->codePage;
        }
        name = e->alias;
    }
    return -1;
}

int CharsetToCodePage(Registry& registry, std::string_view charset) {
    try {
        std::string name(charset);
        for (int hop = 0; hop <= kMaxCharsetAliasHops; ++hop) {
            if (!UsableCharsetName(name)) {
                return -1;
            }
            const std::string key = std::string(kCharsetKey) + name;
            if (!registry.KeyExists(RegRoot::HKCR, key)) {
                return BuiltinCharsetToCodePage(name);
            }
            if (registry.GetValue(RegRoot::HKCR, key, "AliasForCharset")) {
                name = ReadRegString(registry, RegRoot::HKCR, key, "AliasForCharset", "");
                continue;
            }
            const std::int64_t v = ReadRegInteger(registry, RegRoot::HKCR, key, "InternetEncoding", -1);
            return v >= 0 && v <= INT_MAX ? static_cast<int>(v) : -1;
        }
        return -1; // an alias chain this long is a loop
    } catch (...) {
        log::Caught("codepage", "CharsetToCodePage");
        return -1;
    }
}

int CharsetToCodePage(std::string_view charset) {
    return CharsetToCodePage(ProcessRegistry(), charset);
}

bool SeedCharsetRegistry(Registry& registry) {
    try {
        bool ok = true;
        for (const CharsetEntry& e : kCharsets) {
            const std::string key = std::string(kCharsetKey) + e.name;
            if (registry.KeyExists(RegRoot::HKCR, key)) {
                continue;
            }
            const RegValue value =
                e.alias ? RegValue::Text(e.alias) : RegValue::Dword(static_cast<std::uint32_t>(e.codePage));
            ok = registry.SetValue(RegRoot::HKCR, key, e.alias ? "AliasForCharset" : "InternetEncoding",
                                   value) &&
                 ok;
        }
        return ok;
    } catch (...) {
        log::Caught("codepage", "SeedCharsetRegistry");
        return false;
    }
}

std::u16string Utf8ToWide(std::string_view text) {
    // Offsets of the published conversion: what the lead byte's marker bits and
    // the trailing bytes' 10xxxxxx markers add up to, for 0 to 5 trailing bytes.
    static constexpr std::uint32_t kOffsets[6] = {0x00000000u, 0x00003080u, 0x000E2080u,
                                                  0x03C82080u, 0xFA082080u, 0x82082080u};
    std::u16string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0xC0) {
            // ASCII, and stray trailing bytes, which the conversion takes as they are.
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        const std::size_t extra = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
        if (i + extra >= n) {
            break;
        }
        std::uint32_t ch = 0;
        for (std::size_t k = 0; k < extra; ++k) {
            ch += p[i++];
            ch <<= 6;
        }
        ch += p[i++];
        ch -= kOffsets[extra];
        if (ch <= 0xFFFF) {
            out += static_cast<char16_t>(ch);
        } else if (ch > 0x10FFFF) {
            out += kReplacement;
        } else {
            AppendUtf16(out, ch);
        }
    }
    return out;
}

std::optional<std::u16string> CodePageToWide(std::string_view text, int codePage) {
    if (codePage == kCodePageUtf8) {
        return StrictUtf8ToWide(text);
    }
    const std::string name = CodePageIconvName(codePage);
    if (name.empty()) {
        return std::nullopt;
    }
    Iconv cd("UTF-16LE", name.c_str());
    if (!cd.ok()) {
        log::Warning("codepage", "no converter from " + name);
        return std::nullopt;
    }
    std::string bytes;
    const bool windowsPage = IsWindowsAnsiPage(codePage);
    const bool ok =
        RunIconv(cd.get(), text, bytes, [&](std::string_view rest, std::string& out) -> std::size_t {
            const auto b = static_cast<unsigned char>(rest[0]);
            const char16_t unit =
                windowsPage && b >= 0x80 && b <= 0x9F ? static_cast<char16_t>(b) : kReplacement;
            out += static_cast<char>(unit & 0xFF);
            out += static_cast<char>(unit >> 8);
            return 1;
        });
    if (!ok) {
        return std::nullopt;
    }
    std::u16string wide(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return wide;
}

std::optional<std::string> WideToCodePage(std::u16string_view text, int codePage) {
    if (codePage == kCodePageUtf8) {
        return WideToUtf8(text);
    }
    const std::string name = CodePageIconvName(codePage);
    if (name.empty()) {
        return std::nullopt;
    }
    Iconv cd(name.c_str(), "UTF-16LE");
    if (!cd.ok()) {
        log::Warning("codepage", "no converter to " + name);
        return std::nullopt;
    }
    std::string in(text.size() * 2, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        in[2 * i] = static_cast<char>(text[i] & 0xFF);
        in[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    std::string out;
    const bool windowsPage = IsWindowsAnsiPage(codePage);
    const bool ok = RunIconv(cd.get(), in, out, [&](std::string_view rest, std::string& o) -> std::size_t {
        if (rest.size() < 2) {
            return rest.size();
        }
        const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(rest[0]) |
                                                    (static_cast<unsigned char>(rest[1]) << 8));
        if (windowsPage && unit >= 0x80 && unit <= 0x9F) {
            o += static_cast<char>(unit);
            return 2;
        }
        // The default character goes through the converter too, so stateful
        // encodings stay in step.
        char q[2] = {'?', '\0'};
        char* qPtr = q;
        std::size_t qLeft = 2;
        char buf[16];
        char* bPtr = buf;
        std::size_t bLeft = sizeof buf;
        if (iconv(cd.get(), &qPtr, &qLeft, &bPtr, &bLeft) != static_cast<std::size_t>(-1)) {
            o.append(buf, static_cast<std::size_t>(bPtr - buf));
        } else {
            o += '?';
        }
        // A surrogate pair is one character and gets one "?".
        if (unit >= 0xD800 && unit <= 0xDBFF && rest.size() >= 4) {
            const auto low = static_cast<char16_t>(static_cast<unsigned char>(rest[2]) |
                                                   (static_cast<unsigned char>(rest[3]) << 8));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                return 4;
            }
        }
        return 2;
    });
    if (!ok) {
        return std::nullopt;
    }
    return out;
}

std::string WideToAnsi(std::u16string_view text) {
    return WideToCodePage(text, AnsiCodePage()).value_or(std::string());
}

std::string ToAnsi(std::string_view text, int codePage) {
    if (codePage == 0) {
        return std::string(text);
    }
    const int ansi = AnsiCodePage();
    if (CodePageIconvName(codePage).empty() || CodePageIconvName(ansi).empty()) {
        return {};
    }
    if (AsciiCompatible(codePage) && AsciiCompatible(ansi) && IsAscii(text)) {
        return std::string(text);
    }
    const auto wide = CodePageToWide(text, codePage);
    if (!wide) {
        return {};
    }
    return WideToCodePage(*wide, ansi).value_or(std::string());
}

} // namespace nuvex
