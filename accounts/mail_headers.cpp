#include "accounts/mail_headers.h"

#include "lib/text.h"

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

// glibc's iconv passes code points above U+10FFFF and writes 5- and 6-byte
// forms for UCS-4 input; what it hands back is checked again, and every byte
// that starts no valid sequence becomes U+FFFD.
std::string ValidUtf8(std::string text) {
    if (text::IsValidUtf8(text)) {
        return text;
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = text::Utf8SequenceAt(text, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

std::string RawToUtf8(std::string_view raw) {
    if (text::IsValidUtf8(raw)) {
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

// Finds the next position at or after from where a pattern starts. Callers
// ask with from never decreasing, so an answer still ahead is reused and the
// text is scanned once in all: a field full of "=?" openers that never close
// costs linear, not quadratic, time.
class ForwardFinder {
public:
    ForwardFinder(std::string_view text, bool (*matches)(std::string_view, std::size_t))
        : text_(text), matches_(matches) {}
    std::size_t Next(std::size_t from) {
        // The kept answer is the first match at or after searchedFrom_, so it
        // is also the first one at or after any later from it does not lie behind.
        if (asked_ && from >= searchedFrom_ && (answer_ == std::string_view::npos || answer_ >= from)) {
            return answer_;
        }
        asked_ = true;
        searchedFrom_ = from;
        answer_ = std::string_view::npos;
        for (std::size_t i = from; i < text_.size(); ++i) {
            if (matches_(text_, i)) {
                answer_ = i;
                break;
            }
        }
        return answer_;
    }

private:
    std::string_view text_;
    bool (*matches_)(std::string_view, std::size_t);
    bool asked_ = false;
    std::size_t searchedFrom_ = 0;
    std::size_t answer_ = std::string_view::npos;
};

// An encoded word: "=?" charset "?" B|Q "?" text "?=", with no blank in
// charset or text.
struct EncodedWord {
    std::string charset; // without an RFC 2231 language suffix
    std::string bytes;   // decoded, still in charset
    std::size_t end = 0; // just past "?="
};

// iconv knows the charset; the last answer is kept, since a field's words
// mostly share one charset and iconv_open is not cheap.
bool CharsetKnown(const std::string& charset) {
    thread_local std::string lastName;
    thread_local bool lastKnown = false;
    if (!lastName.empty() && text::EqualsNoCase(lastName, charset)) {
        return lastKnown;
    }
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    lastKnown = cd != reinterpret_cast<iconv_t>(-1);
    if (lastKnown) {
        iconv_close(cd);
    }
    lastName = charset;
    return lastKnown;
}

class EncodedWordScanner {
public:
    explicit EncodedWordScanner(std::string_view s)
        : s_(s), blank_(s, [](std::string_view t, std::size_t i) { return IsBlank(t[i]); }),
          question_(s, [](std::string_view t, std::size_t i) { return t[i] == '?'; }),
          close_(s, [](std::string_view t, std::size_t i) {
              return t[i] == '?' && i + 1 < t.size() && t[i + 1] == '=';
          }) {}

    // The encoded word that starts at pos, if one does; pos never decreases between calls.
    bool At(std::size_t pos, EncodedWord& word) {
        if (s_.compare(pos, 2, "=?") != 0) {
            return false;
        }
        const std::size_t blank = blank_.Next(pos);
        const std::size_t q1 = question_.Next(pos + 2);
        if (q1 == std::string_view::npos || q1 == pos + 2 || q1 > blank || q1 + 2 >= s_.size() ||
            s_[q1 + 2] != '?') {
            return false;
        }
        const char enc = static_cast<char>(std::toupper(static_cast<unsigned char>(s_[q1 + 1])));
        if (enc != 'B' && enc != 'Q') {
            return false;
        }
        const std::size_t textStart = q1 + 3;
        const std::size_t close = close_.Next(textStart);
        if (close == std::string_view::npos || close > blank_.Next(textStart)) {
            return false;
        }
        std::string_view charset = s_.substr(pos + 2, q1 - pos - 2);
        charset = charset.substr(0, charset.find('*')); // RFC 2231 language suffix
        word.charset = std::string(charset);
        if (!CharsetKnown(word.charset)) {
            return false;
        }
        const std::string_view text = s_.substr(textStart, close - textStart);
        word.bytes = enc == 'B' ? DecodeB(text) : DecodeQ(text);
        word.end = close + 2;
        return true;
    }

private:
    std::string_view s_;
    ForwardFinder blank_;
    ForwardFinder question_;
    ForwardFinder close_;
};

// The bytes of adjacent encoded words in one charset, converted together: a
// multibyte character split across two words comes out whole.
struct EncodedRun {
    std::string charset;
    std::string bytes;

    void FlushTo(std::string& out) {
        if (!charset.empty()) {
            out += ConvertToUtf8(bytes, charset).value_or(std::string(kReplacement));
        }
        charset.clear();
        bytes.clear();
    }
};

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
    return ValidUtf8(std::move(out));
}

std::string DecodeHeaderText(std::string_view raw) {
    std::string out;
    std::string plain; // raw text since the last encoded word
    EncodedRun run;
    bool lastWasEncoded = false;
    EncodedWordScanner scanner(raw);
    EncodedWord word;
    std::size_t i = 0;
    while (i < raw.size()) {
        if (raw[i] == '=' && scanner.At(i, word)) {
            // Only blanks between two encoded words: they go, and the words join.
            const bool adjacent = lastWasEncoded && plain.find_first_not_of(" \t\r\n") == std::string::npos;
            if (!adjacent || !text::EqualsNoCase(run.charset, word.charset)) {
                run.FlushTo(out);
            }
            if (!adjacent) {
                out += RawToUtf8(plain);
            }
            plain.clear();
            run.charset = word.charset;
            run.bytes += word.bytes;
            lastWasEncoded = true;
            i = word.end;
            continue;
        }
        plain += raw[i];
        ++i;
    }
    run.FlushTo(out);
    out += RawToUtf8(plain);
    return BlankControls(std::move(out));
}

namespace {

// What one pass over an address header collects of its first mailbox.
struct MailboxParts {
    std::string phrase;  // display-name text outside quotes and comments (raw)
    std::string comment; // the first comment, the name of "addr (Name)"
    std::string angle;   // the address inside angle brackets
    bool haveAngle = false;
};

// A quoted string from the opening quote at i; returns the position after it.
// Many senders put encoded words inside the quotes, so the text joins the
// phrase to be decoded with it.
std::size_t ReadQuoted(std::string_view value, std::size_t i, MailboxParts& parts) {
    std::string quoted;
    ++i;
    while (i < value.size() && value[i] != '"') {
        if (value[i] == '\\' && i + 1 < value.size()) {
            ++i;
        }
        quoted += value[i];
        ++i;
    }
    parts.phrase += ' ';
    parts.phrase += quoted;
    parts.phrase += ' ';
    return i + 1; // past the closing quote (or the end)
}

// A comment, nested comments included, from the "(" at i; returns the position after it.
std::size_t ReadComment(std::string_view value, std::size_t i, MailboxParts& parts) {
    int depth = 0;
    std::string text;
    while (i < value.size()) {
        const char d = value[i];
        if (d == '\\' && i + 1 < value.size()) {
            text += value[i + 1];
            i += 2;
            continue;
        }
        if (d == '(') {
            // Nesting beyond the bound is still counted, only no longer kept.
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
    if (parts.comment.empty()) {
        parts.comment = text::Trim(text);
    }
    parts.phrase += ' ';
    return i;
}

// The angle address from the "<" at i; returns the position after ">".
std::size_t ReadAngleAddress(std::string_view value, std::size_t i, MailboxParts& parts) {
    const std::size_t close = value.find('>', i + 1);
    const std::size_t innerEnd = close == std::string_view::npos ? value.size() : close;
    std::string_view inner = value.substr(i + 1, innerEnd - i - 1);
    const std::size_t colon = inner.find(':'); // obsolete source route "<@a,@b:user@host>"
    if (colon != std::string_view::npos && !inner.empty() && inner[0] == '@') {
        inner = inner.substr(colon + 1);
    }
    parts.angle = text::Trim(inner);
    parts.haveAngle = true;
    return close == std::string_view::npos ? value.size() : close + 1;
}

// A comma or a group's semicolon after an address ends the first mailbox; a
// comma before any address belongs to an unquoted display name.
bool EndsFirstMailbox(char c, const MailboxParts& parts) {
    if (c == ',') {
        return parts.haveAngle || parts.phrase.find('@') != std::string::npos;
    }
    return c == ';' && parts.haveAngle;
}

MailboxParts ScanFirstMailbox(std::string_view value) {
    MailboxParts parts;
    std::size_t i = 0;
    while (i < value.size()) {
        const char c = value[i];
        if (c == '"') {
            i = ReadQuoted(value, i, parts);
        } else if (c == '(') {
            i = ReadComment(value, i, parts);
        } else if (c == '<' && !parts.haveAngle) {
            i = ReadAngleAddress(value, i, parts);
        } else if (EndsFirstMailbox(c, parts)) {
            break;
        } else {
            parts.phrase += c;
            ++i;
        }
    }
    return parts;
}

std::string DecodedName(const std::string& raw) {
    return CollapseBlanks(text::Trim(DecodeHeaderText(raw)));
}

// "Name <addr>": the phrase is the name (without a group's "Team:" label),
// or else the first comment.
void FromAngleForm(const MailboxParts& parts, std::string& name, std::string& address) {
    address = parts.angle;
    std::string phrase = text::Trim(parts.phrase);
    const std::size_t colon = phrase.find(':'); // a group "Team: Name <a@b>;"
    if (colon != std::string::npos && phrase.find('"') == std::string::npos &&
        phrase.find("=?") == std::string::npos) {
        phrase = text::Trim(phrase.substr(colon + 1));
    }
    name = DecodedName(phrase);
    if (name.empty() && !parts.comment.empty()) {
        name = DecodedName(parts.comment);
    }
}

// "addr (Name)" or a bare address: of several words the first with an at
// sign is the address; the comment is the name.
void FromBareForm(const MailboxParts& parts, std::string& name, std::string& address) {
    address = CollapseBlanks(text::Trim(parts.phrase));
    if (address.find(' ') != std::string::npos) {
        std::size_t start = 0;
        while (start < address.size()) {
            const std::size_t e = address.find(' ', start);
            const std::string word =
                address.substr(start, e == std::string::npos ? std::string::npos : e - start);
            if (word.find('@') != std::string::npos) {
                address = word;
                break;
            }
            if (e == std::string::npos) {
                break;
            }
            start = e + 1;
        }
    }
    name = DecodedName(parts.comment);
}

} // namespace

void ParseMailbox(std::string_view value, std::string& name, std::string& address) {
    const MailboxParts parts = ScanFirstMailbox(value);
    if (parts.haveAngle) {
        FromAngleForm(parts, name, address);
    } else {
        FromBareForm(parts, name, address);
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
        if (!haveFrom && text::EqualsNoCase(fieldName, "From")) {
            haveFrom = true;
            ParseMailbox(value, headers.fromName, headers.fromAddress);
        } else if (!haveSubject && text::EqualsNoCase(fieldName, "Subject")) {
            haveSubject = true;
            headers.subject = text::Trim(DecodeHeaderText(text::Trim(value)));
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
