#include "lib/json_value.h"

#include "lib/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace nuvex::json {

namespace {

const Value kNull;
const Array kNoItems;
const Object kNoMembers;

class ParseError : public std::runtime_error {
public:
    ParseError(const std::string& what, std::size_t at) : std::runtime_error(what), at_(at) {}
    std::size_t At() const { return at_; }

private:
    std::size_t at_;
};

// Length of the valid UTF-8 sequence at s[i], 0 when the bytes there are not one.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

void DumpString(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            std::size_t len = Utf8SequenceLength(s, i);
            if (len == 0) {
                nuvex::text::AppendUtf8(out, c);
                ++i;
            } else {
                out.append(s.substr(i, len));
                i += len;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
}

class Reader {
public:
    Reader(std::string_view text, int maxDepth) : s_(text), maxDepth_(maxDepth) {}

    Value Document() {
        Value v = Read(0);
        SkipBlanks();
        if (pos_ != s_.size()) {
            Fail("text after the value");
        }
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& what) { throw ParseError(what, pos_); }

    void SkipBlanks() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
            ++pos_;
        }
    }

    char Peek() {
        SkipBlanks();
        if (pos_ >= s_.size()) {
            Fail("unexpected end");
        }
        return s_[pos_];
    }

    void Expect(std::string_view word) {
        if (s_.substr(pos_, word.size()) != word) {
            Fail("unexpected character");
        }
        pos_ += word.size();
    }

    Value Read(int depth) {
        if (depth > maxDepth_) {
            Fail("nested too deeply");
        }
        switch (Peek()) {
        case '{':
            return ReadObject(depth);
        case '[':
            return ReadArray(depth);
        case '"':
            return Value(ReadString());
        case 't':
            Expect("true");
            return Value(true);
        case 'f':
            Expect("false");
            return Value(false);
        case 'n':
            Expect("null");
            return Value();
        default:
            return Value(ReadNumber());
        }
    }

    Value ReadObject(int depth) {
        ++pos_;
        Object members;
        if (Peek() == '}') {
            ++pos_;
            return Value(std::move(members));
        }
        for (;;) {
            if (Peek() != '"') {
                Fail("a member name must be a string");
            }
            std::string name = ReadString();
            if (Peek() != ':') {
                Fail("':' expected");
            }
            ++pos_;
            Value v = Read(depth + 1);
            members.emplace_back(std::move(name), std::move(v));
            char c = Peek();
            ++pos_;
            if (c == '}') {
                return Value(std::move(members));
            }
            if (c != ',') {
                Fail("',' or '}' expected");
            }
        }
    }

    Value ReadArray(int depth) {
        ++pos_;
        Array items;
        if (Peek() == ']') {
            ++pos_;
            return Value(std::move(items));
        }
        for (;;) {
            items.push_back(Read(depth + 1));
            char c = Peek();
            ++pos_;
            if (c == ']') {
                return Value(std::move(items));
            }
            if (c != ',') {
                Fail("',' or ']' expected");
            }
        }
    }

    std::uint32_t ReadHex4() {
        if (pos_ + 4 > s_.size()) {
            Fail("short \\u escape");
        }
        std::uint32_t v = 0;
        auto [ptr, ec] = std::from_chars(s_.data() + pos_, s_.data() + pos_ + 4, v, 16);
        if (ec != std::errc() || ptr != s_.data() + pos_ + 4) {
            Fail("bad \\u escape");
        }
        pos_ += 4;
        return v;
    }

    std::string ReadString() {
        ++pos_; // the opening quote
        std::string out;
        for (;;) {
            if (pos_ >= s_.size()) {
                Fail("unterminated string");
            }
            char c = s_[pos_++];
            if (c == '"') {
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                Fail("control character in a string");
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) {
                Fail("unterminated escape");
            }
            char e = s_[pos_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                std::uint32_t cp = ReadHex4();
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    // A high surrogate needs its low half; alone it is replaced.
                    if (s_.substr(pos_, 2) == "\\u") {
                        std::size_t back = pos_;
                        pos_ += 2;
                        std::uint32_t low = ReadHex4();
                        if (low >= 0xDC00 && low <= 0xDFFF) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        } else {
                            pos_ = back;
                            cp = 0xFFFD;
                        }
                    } else {
                        cp = 0xFFFD;
                    }
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    cp = 0xFFFD;
                }
                nuvex::text::AppendUtf8(out, cp);
                break;
            }
            default:
                Fail("unknown escape");
            }
        }
    }

    double ReadNumber() {
        std::size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-') {
            ++pos_;
        }
        while (pos_ < s_.size() &&
               ((s_[pos_] >= '0' && s_[pos_] <= '9') || s_[pos_] == '.' || s_[pos_] == 'e' ||
                s_[pos_] == 'E' || s_[pos_] == '+' || s_[pos_] == '-')) {
            ++pos_;
        }
        double v = 0;
        auto [ptr, ec] = std::from_chars(s_.data() + start, s_.data() + pos_, v);
        if (start == pos_ || ec != std::errc() || ptr != s_.data() + pos_ || !std::isfinite(v)) {
            pos_ = start;
            Fail("not a value");
        }
        return v;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    int maxDepth_;
};

} // namespace

Value::Type Value::type() const {
    return static_cast<Type>(data_.index());
}

std::string Value::AsString(std::string_view fallback) const {
    if (auto* s = std::get_if<std::string>(&data_)) {
        return *s;
    }
    return std::string(fallback);
}

double Value::AsNumber(double fallback) const {
    if (auto* d = std::get_if<double>(&data_)) {
        return *d;
    }
    return fallback;
}

std::int64_t Value::AsInt(std::int64_t fallback) const {
    if (auto* d = std::get_if<double>(&data_)) {
        // Values outside the 64-bit range are not what a caller asked for.
        if (*d >= -9.2e18 && *d <= 9.2e18) {
            return static_cast<std::int64_t>(*d);
        }
    }
    return fallback;
}

bool Value::AsBool(bool fallback) const {
    if (auto* b = std::get_if<bool>(&data_)) {
        return *b;
    }
    return fallback;
}

const Value& Value::operator[](std::string_view key) const {
    for (const auto& [name, value] : Members()) {
        if (name == key) {
            return value;
        }
    }
    return kNull;
}

bool Value::Has(std::string_view key) const {
    for (const auto& member : Members()) {
        if (member.first == key) {
            return true;
        }
    }
    return false;
}

const Array& Value::Items() const {
    if (auto* a = std::get_if<std::shared_ptr<Array>>(&data_)) {
        return **a;
    }
    return kNoItems;
}

const Object& Value::Members() const {
    if (auto* o = std::get_if<std::shared_ptr<Object>>(&data_)) {
        return **o;
    }
    return kNoMembers;
}

std::string Value::Dump() const {
    std::string out;
    DumpTo(out);
    return out;
}

void Value::DumpTo(std::string& out) const {
    switch (type()) {
    case Type::Null:
        out += "null";
        break;
    case Type::Bool:
        out += std::get<bool>(data_) ? "true" : "false";
        break;
    case Type::Number: {
        double d = std::get<double>(data_);
        char buf[32];
        auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, d);
        out.append(buf, ec == std::errc() ? ptr : buf);
        break;
    }
    case Type::String:
        DumpString(out, std::get<std::string>(data_));
        break;
    case Type::Array: {
        out += '[';
        bool first = true;
        for (const Value& v : Items()) {
            if (!first) {
                out += ',';
            }
            first = false;
            v.DumpTo(out);
        }
        out += ']';
        break;
    }
    case Type::Object: {
        out += '{';
        bool first = true;
        for (const auto& [name, v] : Members()) {
            if (!first) {
                out += ',';
            }
            first = false;
            DumpString(out, name);
            out += ':';
            v.DumpTo(out);
        }
        out += '}';
        break;
    }
    }
}

std::optional<Value> Parse(std::string_view text, std::string* error, const ParseLimits& limits) {
    if (text.size() > limits.maxBytes) {
        if (error) {
            *error = "text of " + std::to_string(text.size()) + " bytes is over the bound";
        }
        return std::nullopt;
    }
    try {
        return Reader(text, limits.maxDepth).Document();
    } catch (const ParseError& e) {
        if (error) {
            *error = std::string(e.what()) + " at offset " + std::to_string(e.At());
        }
        return std::nullopt;
    }
}

} // namespace nuvex::json
