#include "accounts/imap_response.h"

#include "accounts/connector_support.h"
#include "lib/text.h"

#include <array>

namespace nuvex {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only, no sign, no blanks; nullopt when empty, not digits or beyond max.
std::optional<std::uint64_t> ParseNumber(std::string_view digits, std::uint64_t max) {
    if (digits.empty() || digits.size() > 20) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        if (!IsDigit(c)) {
            return std::nullopt;
        }
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (value > (max - d) / 10) {
            return std::nullopt;
        }
        value = value * 10 + d;
    }
    return value;
}

class Parser {
public:
    Parser(std::string_view wire, const ImapParseLimits& limits) : s_(wire), limits_(limits) {}

    ImapResponse Parse() {
        if (s_.size() > limits_.maxResponseBytes) {
            throw ImapProtocolError("response beyond its size bound");
        }
        ImapResponse r;
        if (Peek() == '+') {
            r.kind = ImapResponse::Kind::Continuation;
            ++at_;
            SkipSpaces();
            r.text = std::string(s_.substr(at_));
            return r;
        }
        std::string_view tag = Word();
        if (tag.empty()) {
            throw ImapProtocolError("response without a tag: " + ServerExcerpt(s_, 60));
        }
        if (tag == "*") {
            r.kind = ImapResponse::Kind::Untagged;
        } else {
            r.kind = ImapResponse::Kind::Tagged;
            r.tag = std::string(tag);
        }
        Space();
        std::string_view word = Word();
        if (word.empty()) {
            throw ImapProtocolError("response without a keyword: " + ServerExcerpt(s_, 60));
        }
        std::string upper = text::ToUpperAscii(word);
        if (upper == "OK" || upper == "NO" || upper == "BAD" || upper == "BYE" || upper == "PREAUTH") {
            r.status = std::move(upper);
            if (r.kind == ImapResponse::Kind::Tagged && (r.status == "BYE" || r.status == "PREAUTH")) {
                throw ImapProtocolError("tagged " + r.status);
            }
            ParseStatusText(r);
            return r;
        }
        if (r.kind == ImapResponse::Kind::Tagged) {
            throw ImapProtocolError("tagged response without a status: " + ServerExcerpt(s_, 60));
        }
        if (auto n = ParseNumber(word, 0xffffffffu)) {
            r.number = static_cast<std::uint32_t>(*n);
            Space();
            word = Word();
            if (word.empty()) {
                throw ImapProtocolError("numbered response without a keyword: " + ServerExcerpt(s_, 60));
            }
            upper = text::ToUpperAscii(word);
        }
        r.keyword = std::move(upper);
        while (SkipSpaces()) {
            if (at_ == s_.size()) {
                break; // a trailing blank, as some servers send after SEARCH
            }
            r.values.push_back(Value(0));
        }
        if (at_ != s_.size()) {
            throw ImapProtocolError("unexpected text in response: " + ServerExcerpt(s_.substr(at_), 60));
        }
        return r;
    }

private:
    char Peek() const { return at_ < s_.size() ? s_[at_] : '\0'; }

    // Consumes blanks; true when there was at least one.
    bool SkipSpaces() {
        std::size_t start = at_;
        while (at_ < s_.size() && s_[at_] == ' ') {
            ++at_;
        }
        return at_ != start;
    }

    void Space() {
        if (!SkipSpaces()) {
            throw ImapProtocolError("blank expected: " + ServerExcerpt(s_.substr(at_), 60));
        }
    }

    // Up to the next blank (or the end).
    std::string_view Word() {
        std::size_t start = at_;
        while (at_ < s_.size() && s_[at_] != ' ') {
            ++at_;
        }
        return s_.substr(start, at_ - start);
    }

    void ParseStatusText(ImapResponse& r) {
        SkipSpaces();
        if (Peek() == '[') {
            std::size_t close = s_.find(']', at_);
            if (close == std::string_view::npos) {
                throw ImapProtocolError("response code without ']': " + ServerExcerpt(s_.substr(at_), 60));
            }
            std::string_view inside = s_.substr(at_ + 1, close - at_ - 1);
            std::size_t blank = inside.find(' ');
            r.code = text::ToUpperAscii(inside.substr(0, blank));
            if (blank != std::string_view::npos) {
                r.codeArgs = std::string(inside.substr(blank + 1));
            }
            at_ = close + 1;
            SkipSpaces();
        }
        r.text = std::string(s_.substr(at_));
    }

    void Count() {
        if (++items_ > limits_.maxItems) {
            throw ImapProtocolError("response with too many values");
        }
    }

    ImapValue Value(int depth) {
        Count();
        const char c = Peek();
        if (c == '(') {
            return List(depth + 1);
        }
        if (c == '"') {
            return Quoted();
        }
        if (c == '{') {
            return Literal();
        }
        return Atom();
    }

    ImapValue List(int depth) {
        if (depth > limits_.maxDepth) {
            throw ImapProtocolError("lists nested too deep");
        }
        ++at_; // '('
        ImapValue v;
        v.kind = ImapValue::Kind::List;
        SkipSpaces();
        while (Peek() != ')') {
            if (at_ >= s_.size()) {
                throw ImapProtocolError("list without ')'");
            }
            v.items.push_back(Value(depth));
            if (Peek() != ')') {
                Space();
            }
        }
        ++at_; // ')'
        return v;
    }

    ImapValue Quoted() {
        ++at_; // '"'
        ImapValue v;
        v.kind = ImapValue::Kind::String;
        for (;;) {
            if (at_ >= s_.size()) {
                throw ImapProtocolError("quoted string without its end");
            }
            char c = s_[at_++];
            if (c == '"') {
                return v;
            }
            if (c == '\r' || c == '\n' || c == '\0') {
                throw ImapProtocolError("line break inside a quoted string");
            }
            if (c == '\\') {
                if (at_ >= s_.size() || (s_[at_] != '\\' && s_[at_] != '"')) {
                    throw ImapProtocolError("bad escape in a quoted string");
                }
                c = s_[at_++];
            }
            v.text += c;
        }
    }

    ImapValue Literal() {
        std::size_t close = s_.find('}', at_);
        if (close == std::string_view::npos) {
            throw ImapProtocolError("literal without '}'");
        }
        std::string_view digits = s_.substr(at_ + 1, close - at_ - 1);
        if (!digits.empty() && digits.back() == '+') {
            digits.remove_suffix(1);
        }
        auto size = ParseNumber(digits, limits_.maxLiteralBytes);
        if (!size) {
            throw ImapProtocolError("literal size not a number or beyond its bound: " +
                                    ServerExcerpt(digits, 60));
        }
        at_ = close + 1;
        if (s_.substr(at_, 2) != "\r\n") {
            throw ImapProtocolError("literal size not at a line end");
        }
        at_ += 2;
        if (s_.size() - at_ < *size) {
            throw ImapProtocolError("literal shorter than announced");
        }
        ImapValue v;
        v.kind = ImapValue::Kind::String;
        v.text = std::string(s_.substr(at_, *size));
        at_ += *size;
        return v;
    }

    ImapValue Atom() {
        std::size_t start = at_;
        int brackets = 0;
        while (at_ < s_.size()) {
            char c = s_[at_];
            if (c == '[') {
                ++brackets;
            } else if (c == ']') {
                if (brackets == 0) {
                    throw ImapProtocolError("unbalanced ']' in an atom");
                }
                --brackets;
            } else if (brackets == 0 && (c == ' ' || c == '(' || c == ')' || c == '"' || c == '{')) {
                break;
            } else if (c == '\r' || c == '\n' || c == '\0') {
                throw ImapProtocolError("control character in an atom");
            }
            ++at_;
        }
        if (brackets != 0) {
            throw ImapProtocolError("section without ']'");
        }
        if (at_ == start) {
            throw ImapProtocolError("value expected: " + ServerExcerpt(s_.substr(at_), 60));
        }
        ImapValue v;
        v.text = std::string(s_.substr(start, at_ - start));
        if (text::EqualsNoCase(v.text, "NIL")) {
            v.kind = ImapValue::Kind::Nil;
            v.text.clear();
        } else if (auto n = ParseNumber(v.text, UINT64_MAX)) {
            v.kind = ImapValue::Kind::Number;
            v.number = *n;
        } else {
            v.kind = ImapValue::Kind::Atom;
        }
        return v;
    }

    std::string_view s_;
    const ImapParseLimits& limits_;
    std::size_t at_ = 0;
    std::size_t items_ = 0;
};

} // namespace

bool ImapValue::IsAtom(std::string_view name) const {
    return kind == Kind::Atom && text::EqualsNoCase(text, name);
}

ImapResponse ParseImapResponse(std::string_view wire, const ImapParseLimits& limits) {
    return Parser(wire, limits).Parse();
}

std::optional<std::size_t> TrailingLiteralSize(std::string_view line, const ImapParseLimits& limits) {
    if (line.empty() || line.back() != '}') {
        return std::nullopt;
    }
    std::size_t open = line.rfind('{');
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view digits = line.substr(open + 1, line.size() - open - 2);
    if (!digits.empty() && digits.back() == '+') {
        digits.remove_suffix(1);
    }
    // Text that merely ends in braces ("* OK {ok}") is no literal.
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    auto size = ParseNumber(digits, limits.maxLiteralBytes);
    if (!size) {
        throw ImapProtocolError("literal of " + ServerExcerpt(digits, 60) + " bytes beyond its bound");
    }
    return static_cast<std::size_t>(*size);
}

std::optional<std::string> ImapQuoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '\0') {
            return std::nullopt;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::string ImapEncodeFolder(std::string_view utf8) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
    // UTF-8 to UTF-16 code units; invalid bytes become U+FFFD.
    std::string out;
    std::vector<std::uint16_t> run;
    auto flush = [&] {
        if (run.empty()) {
            return;
        }
        out += '&';
        std::uint32_t bits = 0;
        int count = 0;
        for (std::uint16_t unit : run) {
            bits = (bits << 16) | unit;
            count += 16;
            while (count >= 6) {
                count -= 6;
                out += kAlphabet[(bits >> count) & 0x3f];
            }
        }
        if (count > 0) {
            out += kAlphabet[(bits << (6 - count)) & 0x3f];
        }
        out += '-';
        run.clear();
    };
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b >= 0x20 && b < 0x7f) {
            flush();
            out += b == '&' ? std::string("&-") : std::string(1, static_cast<char>(b));
            ++i;
            continue;
        }
        std::uint32_t cp = 0xfffd;
        int len = 1;
        if (b >= 0xc2 && b < 0xe0) {
            len = 2;
        } else if (b >= 0xe0 && b < 0xf0) {
            len = 3;
        } else if (b >= 0xf0 && b < 0xf5) {
            len = 4;
        }
        if (len > 1 && i + static_cast<std::size_t>(len) <= utf8.size()) {
            cp = b & (0x7f >> len);
            bool ok = true;
            for (int k = 1; k < len; ++k) {
                const auto c = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
                ok = ok && (c & 0xc0) == 0x80;
                cp = (cp << 6) | (c & 0x3f);
            }
            const std::array<std::uint32_t, 5> minimum = {0, 0, 0x80, 0x800, 0x10000};
            if (!ok || cp < minimum[static_cast<std::size_t>(len)] || cp > 0x10ffff ||
                (cp >= 0xd800 && cp < 0xe000)) {
                cp = 0xfffd;
                len = 1;
            }
        } else {
            len = 1;
        }
        i += static_cast<std::size_t>(len);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            run.push_back(static_cast<std::uint16_t>(0xd800 + (cp >> 10)));
            run.push_back(static_cast<std::uint16_t>(0xdc00 + (cp & 0x3ff)));
        } else {
            run.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    flush();
    return out;
}

} // namespace nuvex
