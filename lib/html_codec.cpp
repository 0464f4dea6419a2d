// UrlDecode, HtmlEncode and HtmlDecode.
#include "lib/codepage.h"
#include "lib/http.h"
#include "lib/text.h"

#include <array>
#include <cstdint>
#include <utility>

namespace nuvex {
namespace {

// HTML 4 Latin-1 entity names for U+00A0..U+00FF, in code order.
constexpr std::array<const char*, 96> kLatin1Entities = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",
    "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",
    "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12",
    "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde",
    "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",
    "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",
    "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Length of the well-formed UTF-8 sequence at text[i] (no overlongs, no
// surrogates, nothing above U+10FFFF), or 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t len = 0;
    std::uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        lo = b0 == 0xE0 ? 0xA0 : 0x80;
        hi = b0 == 0xED ? 0x9F : 0xBF;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        lo = b0 == 0xF0 ? 0x90 : 0x80;
        hi = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + len > text.size() || byte(i + 1) < lo || byte(i + 1) > hi) {
        return 0;
    }
    for (std::size_t k = 2; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return len;
}

// "&#233;" or "&#xE9;" at the start of text: appends the character in the
// ANSI code page and answers how many bytes the reference took; 0 leaves text
// alone (not a reference, NUL, a surrogate, beyond U+10FFFF, no ";").
std::size_t AppendNumericReference(std::string& out, std::string_view text) {
    if (text.size() < 4 || text[0] != '&' || text[1] != '#') {
        return 0;
    }
    const bool hex = text[2] == 'x' || text[2] == 'X';
    std::size_t i = hex ? 3 : 2;
    const std::size_t digitsStart = i;
    std::uint32_t code = 0;
    for (; i < text.size() && text[i] != ';'; ++i) {
        const int digit = hex ? HexValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0) {
            return 0;
        }
        code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
        if (code > 0x10FFFF) {
            return 0; // also ends long digit runs before they overflow
        }
    }
    if (i == digitsStart || i >= text.size() || code == 0 || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    std::u16string wide;
    if (code >= 0x10000) {
        wide.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
        wide.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
        wide.push_back(static_cast<char16_t>(code));
    }
    out.append(WideToAnsi(wide));
    return i + 1;
}

void AppendEntity(std::string& out, unsigned code) {
    out.push_back('&');
    out.append(kLatin1Entities[code - 0xA0]);
    out.push_back(';');
}

} // namespace

std::string UrlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%') {
            if (text.size() - i < 3) {
                break; // a cut-off escape ends the text
            }
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
            } else {
                out.append(text.substr(i, 3));
            }
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The entity table is indexed by Latin-1 code. Which bytes are the letters
// depends on the process code page, never on a guess from the text: in UTF-8
// those letters are two bytes (C2/C3 xx), and a stray invalid byte elsewhere
// must not turn every "é" into "&Atilde;&copy;"; in a single-byte code page
// every byte 160..255 is a letter of its own.
std::string HtmlEncode(std::string_view text) {
    const bool utf8 = AnsiCodePage() == kCodePageUtf8;
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<std::uint8_t>(c);
        switch (c) {
        case '"':
            out.append("&quot;");
            continue;
        case '&':
            out.append("&amp;");
            continue;
        case '<':
            out.append("&lt;");
            continue;
        case '>':
            out.append("&gt;");
            continue;
        default:
            break;
        }
        if (utf8) {
            if ((byte == 0xC2 || byte == 0xC3) && Utf8SequenceLength(text, i) == 2) {
                const unsigned code =
                    ((byte & 0x1Fu) << 6) | (static_cast<std::uint8_t>(text[i + 1]) & 0x3Fu);
                if (code >= 0xA0) {
                    AppendEntity(out, code);
                    ++i;
                    continue;
                }
            }
            out.push_back(c);
        } else if (byte >= 0xA0) {
            AppendEntity(out, byte);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string HtmlDecode(std::string_view text) {
    // One pass from left to right: what a replacement produced is never read
    // again, so "&amp;lt;" comes out as the entity text "&lt;", and so does
    // "&#38;lt;".
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"&lt;", '<'},   {"&gt;", '>'},    {"&nbsp;", ' '}, {"%20", ' '},
        {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'},
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::string_view rest = text.substr(i);
        if (rest[0] != '&' && rest[0] != '%') {
            out.push_back(rest[0]);
            ++i;
            continue;
        }
        bool replaced = false;
        for (const auto& [entity, character] : kNamed) {
            if (text::StartsWithNoCase(rest, entity)) {
                out.push_back(character);
                i += entity.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            if (const std::size_t used = AppendNumericReference(out, rest)) {
                i += used;
            } else {
                out.push_back(rest[0]);
                ++i;
            }
        }
    }
    return out;
}

} // namespace nuvex
