#include "accounts/mail_headers.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <iconv.h>

namespace nuvex {

namespace {

constexpr int kMaxCommentDepth = 20;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (IsBlank(s[b]) || s[b] == '\r' || s[b] == '\n')) {
        ++b;
    }
    while (e > b && (IsBlank(s[e - 1]) || s[e - 1] == '\r' || s[e - 1] == '\n')) {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

std::string CollapseBlanks(std::string_view s) {
    std::string out;
    bool blank = false;
    for (char c : s) {
        if (IsBlank(c)) {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) {
            out += ' ';
        }
        blank = false;
        out += c;
    }
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= s.size()) {
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

std::string RawToUtf8(std::string_view raw) {
    if (IsValidUtf8(raw)) {
        return std::string(raw);
    }
    auto converted = ConvertToUtf8(raw, "WINDOWS-1252");
    return converted ? *converted : std::string(raw);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string DecodeQ(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

std::string DecodeB(std::string_view text) {
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        int v = Base64Value(c);
        if (v < 0) {
            continue;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

// Parses "=?charset?E?text?=" at pos; on success sets decoded and the end position.
bool DecodeEncodedWord(std::string_view s, std::size_t pos, std::string& decoded, std::size_t& end) {
    if (s.compare(pos, 2, "=?") != 0) {
        return false;
    }
    std::size_t q1 = s.find('?', pos + 2);
    if (q1 == std::string_view::npos || q1 == pos + 2 || q1 + 2 >= s.size() || s[q1 + 2] != '?') {
        return false;
    }
    std::string_view charset = s.substr(pos + 2, q1 - pos - 2);
    if (charset.find_first_of(" \t") != std::string_view::npos) {
        return false;
    }
    char enc = static_cast<char>(std::toupper(static_cast<unsigned char>(s[q1 + 1])));
    if (enc != 'B' && enc != 'Q') {
        return false;
    }
    std::size_t textStart = q1 + 3;
    std::size_t close = s.find("?=", textStart);
    if (close == std::string_view::npos) {
        return false;
    }
    std::string_view text = s.substr(textStart, close - textStart);
    if (text.find_first_of(" \t") != std::string_view::npos) {
        return false;
    }
    std::size_t star = charset.find('*'); // RFC 2231 language suffix
    if (star != std::string_view::npos) {
        charset = charset.substr(0, star);
    }
    std::string bytes = enc == 'B' ? DecodeB(text) : DecodeQ(text);
    auto converted = ConvertToUtf8(bytes, charset);
    if (!converted) {
        return false;
    }
    decoded = std::move(*converted);
    end = close + 2;
    return true;
}

std::string BlankControls(std::string text) {
    for (char& c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = ' ';
        }
    }
    return text;
}

} // namespace

std::optional<std::string> ConvertToUtf8(std::string_view bytes, std::string_view charset) {
    std::string cs(charset);
    if (cs.empty()) {
        return std::nullopt;
    }
    iconv_t cd = iconv_open("UTF-8", cs.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::string out;
    std::string in(bytes);
    char* inPtr = in.data();
    std::size_t inLeft = in.size();
    char buf[1024];
    while (inLeft > 0) {
        char* outPtr = buf;
        std::size_t outLeft = sizeof buf;
        std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buf, sizeof buf - outLeft);
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                continue;
            }
            out += kReplacement;
            if (errno == EILSEQ) {
                ++inPtr;
                --inLeft;
                iconv(cd, nullptr, nullptr, nullptr, nullptr);
                continue;
            }
            break; // EINVAL: a sequence cut off at the end
        }
    }
    char* outPtr = buf;
    std::size_t outLeft = sizeof buf;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buf, sizeof buf - outLeft);
    iconv_close(cd);
    return out;
}

std::string DecodeHeaderText(std::string_view raw) {
    std::string out;
    std::string pending; // plain text since the last encoded word
    bool lastWasEncoded = false;
    std::size_t i = 0;
    while (i < raw.size()) {
        std::string decoded;
        std::size_t end = 0;
        if (raw[i] == '=' && DecodeEncodedWord(raw, i, decoded, end)) {
            bool onlyBlanks = pending.find_first_not_of(" \t\r\n") == std::string::npos;
            if (!(lastWasEncoded && onlyBlanks)) {
                out += RawToUtf8(pending);
            }
            pending.clear();
            out += decoded;
            lastWasEncoded = true;
            i = end;
            continue;
        }
        pending += raw[i];
        ++i;
    }
    out += RawToUtf8(pending);
    return BlankControls(std::move(out));
}

void ParseMailbox(std::string_view value, std::string& name, std::string& address) {
    std::string phrase;  // display-name text outside quotes and comments (raw)
    std::string comment; // the first comment, used as the name of "addr (Name)"
    std::string angle;
    bool haveAngle = false;
    std::size_t i = 0;
    while (i < value.size()) {
        char c = value[i];
        if (c == '"') {
            std::string quoted;
            ++i;
            while (i < value.size() && value[i] != '"') {
                if (value[i] == '\\' && i + 1 < value.size()) {
                    ++i;
                }
                quoted += value[i];
                ++i;
            }
            ++i; // closing quote (or end)
            // Many senders put encoded words inside the quotes; decode them there too.
            phrase += ' ';
            phrase += quoted;
            phrase += ' ';
            continue;
        }
        if (c == '(') {
            int depth = 0;
            std::string text;
            while (i < value.size()) {
                char d = value[i];
                if (d == '\\' && i + 1 < value.size()) {
                    text += value[i + 1];
                    i += 2;
                    continue;
                }
                if (d == '(') {
                    if (++depth > 1 && depth <= kMaxCommentDepth) {
                        text += d;
                    }
                } else if (d == ')') {
                    if (--depth == 0) {
                        ++i;
                        break;
                    }
                    text += d;
                } else {
                    text += d;
                }
                ++i;
            }
            if (comment.empty()) {
                comment = Trim(text);
            }
            phrase += ' ';
            continue;
        }
        if (c == '<' && !haveAngle) {
            std::size_t close = value.find('>', i + 1);
            std::string_view inner =
                value.substr(i + 1, (close == std::string_view::npos ? value.size() : close) - i - 1);
            std::size_t colon = inner.find(':'); // obsolete source route "<@a,@b:user@host>"
            if (colon != std::string_view::npos && !inner.empty() && inner[0] == '@') {
                inner = inner.substr(colon + 1);
            }
            angle = Trim(inner);
            haveAngle = true;
            i = close == std::string_view::npos ? value.size() : close + 1;
            continue;
        }
        if (c == ',') {
            if (haveAngle || phrase.find('@') != std::string::npos) {
                break; // end of the first mailbox
            }
            // A comma before any address belongs to an unquoted display name.
        }
        if (c == ';' && haveAngle) {
            break;
        }
        phrase += c;
        ++i;
    }
    if (haveAngle) {
        address = angle;
        std::string text = Trim(phrase);
        std::size_t colon = text.find(':'); // a group "Team: Name <a@b>;"
        if (colon != std::string::npos && text.find('"') == std::string::npos &&
            text.find("=?") == std::string::npos) {
            text = Trim(text.substr(colon + 1));
        }
        name = CollapseBlanks(Trim(DecodeHeaderText(text)));
        if (name.empty() && !comment.empty()) {
            name = CollapseBlanks(Trim(DecodeHeaderText(comment)));
        }
    } else {
        address = CollapseBlanks(Trim(phrase));
        std::size_t blank = address.find(' ');
        if (blank != std::string::npos) {
            // "addr (Name)" leaves only the address; anything else keeps its first word with an at sign.
            std::string pick;
            std::size_t start = 0;
            while (start < address.size()) {
                std::size_t e = address.find(' ', start);
                std::string word =
                    address.substr(start, e == std::string::npos ? std::string::npos : e - start);
                if (word.find('@') != std::string::npos) {
                    pick = word;
                    break;
                }
                if (e == std::string::npos) {
                    break;
                }
                start = e + 1;
            }
            address = pick.empty() ? address : pick;
        }
        name = CollapseBlanks(Trim(DecodeHeaderText(comment)));
    }
    address = BlankControls(address);
    if (name == address) {
        name.clear();
    }
}

TMailHeaders ParseMailHeaders(const std::vector<std::string>& lines) {
    // Unfold first: a line that starts with a blank continues the one before.
    std::vector<std::string> fields;
    for (const std::string& line : lines) {
        if (line.empty()) {
            break;
        }
        if (IsBlank(line[0]) && !fields.empty()) {
            fields.back() += line;
        } else {
            fields.push_back(line);
        }
    }
    TMailHeaders headers;
    bool haveFrom = false;
    bool haveSubject = false;
    for (const std::string& field : fields) {
        std::size_t colon = field.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string_view fieldName = std::string_view(field).substr(0, colon);
        while (!fieldName.empty() && IsBlank(fieldName.back())) {
            fieldName.remove_suffix(1);
        }
        std::string_view value = std::string_view(field).substr(colon + 1);
        if (!haveFrom && EqualsNoCase(fieldName, "From")) {
            haveFrom = true;
            ParseMailbox(value, headers.fromName, headers.fromAddress);
        } else if (!haveSubject && EqualsNoCase(fieldName, "Subject")) {
            haveSubject = true;
            headers.subject = Trim(DecodeHeaderText(Trim(value)));
        }
    }
    return headers;
}

std::string SenderText(const std::string& name, const std::string& address) {
    if (name.empty()) {
        return address;
    }
    if (address.empty()) {
        return name;
    }
    return name + " <" + address + ">";
}

} // namespace nuvex
