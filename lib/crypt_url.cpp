#include "lib/crypt_url.h"

#include "lib/clock.h"
#include "lib/log.h"
#include "lib/text.h"

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>

namespace nuvex {

// Generated once by a 32-bit linear congruential generator and frozen here:
//   x0 = 0x2545F491, x(k+1) = (x(k) * 1103515245 + 12345) mod 2^32, byte k = x(k+1) >> 24.
// Every reader of stored settings and every web-service peer uses these exact
// bytes, so the table must never change; a unit test recomputes it from the formula.
const unsigned char kCryptKeyTable[256] = {
    0x28, 0xD8, 0x4B, 0x8D, 0x86, 0x78, 0x14, 0xEB, 0x01, 0xE1, 0xD8, 0xAA, 0x7D, 0x6B, 0xB8, 0x02,
    0x96, 0xAB, 0xD4, 0x20, 0x2E, 0x1F, 0x5B, 0xEE, 0x10, 0x8B, 0xDA, 0x2A, 0xC7, 0x3C, 0xD3, 0x50,
    0x5C, 0xF3, 0x21, 0x8D, 0x9E, 0x33, 0xC2, 0xBC, 0x36, 0x2B, 0x08, 0x24, 0x8F, 0x78, 0x3B, 0x7A,
    0x68, 0x83, 0x4E, 0x5B, 0x94, 0x28, 0x0D, 0x3E, 0x38, 0xF4, 0xFC, 0x9C, 0x8E, 0x21, 0xC9, 0xC5,
    0x05, 0x2B, 0x00, 0xA6, 0x36, 0x8B, 0x72, 0x6F, 0x13, 0x0E, 0x74, 0xE0, 0x43, 0xCB, 0xE1, 0xBC,
    0x8B, 0xA7, 0x99, 0x8D, 0xC2, 0xF1, 0xD2, 0xC7, 0xA7, 0x87, 0x80, 0xFC, 0x9A, 0x8B, 0xA9, 0xA3,
    0x10, 0x93, 0x65, 0xA3, 0x41, 0xEC, 0xE3, 0xB1, 0x6A, 0x45, 0xB4, 0x27, 0xA1, 0xE8, 0x35, 0xE4,
    0x14, 0x59, 0xCA, 0x5D, 0x31, 0xF5, 0x60, 0xF4, 0x15, 0xF0, 0x56, 0x33, 0x37, 0xCA, 0xB5, 0x82,
    0x37, 0x1E, 0x79, 0x88, 0x3D, 0x60, 0x3F, 0x2B, 0x57, 0xE8, 0x8D, 0xFE, 0xBB, 0x6C, 0xAB, 0x89,
    0xE2, 0xB7, 0x9F, 0xB0, 0xE7, 0x4A, 0xD8, 0x2D, 0x84, 0x34, 0x97, 0xE2, 0xBE, 0x4C, 0x17, 0x7B,
    0x00, 0x97, 0x13, 0x98, 0x38, 0x8A, 0x1D, 0x82, 0x43, 0x6D, 0xF0, 0x25, 0xAF, 0x15, 0xA7, 0xC1,
    0xA2, 0xBE, 0x85, 0xA4, 0x74, 0xA1, 0xC6, 0xD4, 0x43, 0xB5, 0x8B, 0x68, 0x92, 0x9A, 0xE8, 0x1E,
    0xBC, 0xA9, 0xB3, 0x50, 0xC7, 0xAB, 0x81, 0x59, 0xE4, 0xA2, 0xF9, 0x19, 0xA8, 0xBA, 0x76, 0x1B,
    0xCC, 0x44, 0x94, 0x96, 0xF6, 0x4B, 0x24, 0x49, 0xED, 0x31, 0xA3, 0xE0, 0x25, 0x5A, 0x2B, 0x7A,
    0x8B, 0xD7, 0x89, 0x6A, 0x0F, 0xA0, 0xDA, 0x4B, 0x3A, 0xB3, 0xF1, 0x12, 0xDC, 0x4E, 0x52, 0xA3,
    0xA2, 0xFB, 0x8E, 0x1E, 0x17, 0x31, 0x57, 0xE6, 0x6A, 0xC2, 0x7F, 0x21, 0xF2, 0x4D, 0xD2, 0x19,
};

namespace {

constexpr char kCR = '\r';
constexpr char kLF = '\n';
constexpr char kTab = '\t';
constexpr std::string_view kCrcName = "_CRC";
constexpr std::string_view kRandomizerName = "RANDOMIZER";

// The text form's Base64 alphabet: "+" and "/" already swapped for "-" and "_",
// and the at sign stands for the "=" padding, so the result is URL-safe as is.
constexpr char kUrlBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kUrlPad = '@';

constexpr std::int16_t kBadChar = -1;
constexpr std::int16_t kPadChar = -2;

struct DecodeTable {
    std::int16_t v[256];
    constexpr DecodeTable() : v() {
        for (auto& c : v) {
            c = kBadChar;
        }
        for (int i = 0; i < 64; ++i) {
            v[static_cast<unsigned char>(kUrlBase64[i])] = static_cast<std::int16_t>(i);
        }
        // Readers accept the standard alphabet too, and "." as well as "@" as padding.
        v[static_cast<unsigned char>('+')] = 62;
        v[static_cast<unsigned char>('/')] = 63;
        v[static_cast<unsigned char>('=')] = kPadChar;
        v[static_cast<unsigned char>('.')] = kPadChar;
        v[static_cast<unsigned char>('@')] = kPadChar;
    }
};
constexpr DecodeTable kDecode;

std::string UpperName(std::string_view name) {
    return text::ToUpperAscii(name);
}

bool NeedsEscape(char c) {
    return c == kLF || c == kCR || c == kTab;
}

// LF is replaced first so that the LFs the later replacements bring in are not
// escaped again; one pass that writes each pair gives the same result.
void AppendEscaped(std::string& out, std::string_view value) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (!NeedsEscape(c)) {
            continue;
        }
        out.append(value.data() + run, i - run);
        out += kLF;
        out += c == kLF ? '1' : c == kCR ? '3' : '2';
        run = i + 1;
    }
    out.append(value.data() + run, value.size() - run);
}

// One pass gives what replacing LF "2", then LF "3", then LF "1" gives: none of
// those replacements yields a character that can start or end another pair.
std::string Unescape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    std::size_t run = 0;
    for (std::size_t lf = value.find(kLF); lf != std::string_view::npos; lf = value.find(kLF, lf + 1)) {
        if (lf + 1 >= value.size()) {
            break;
        }
        const char next = value[lf + 1];
        const char plain = next == '2' ? kTab : next == '3' ? kCR : next == '1' ? kLF : '\0';
        if (plain == '\0') {
            continue;
        }
        out.append(value.data() + run, lf - run);
        out += plain;
        run = lf + 2;
        ++lf;
    }
    out.append(value.data() + run, value.size() - run);
    return out;
}

// Byte 0 stays as it is; byte i (i >= 1) is XORed with key byte (i - 1) mod 256.
// The transform is its own inverse. Whole 256-byte blocks let the compiler vectorize.
void ApplyKey(std::span<unsigned char> bytes) {
    unsigned char* p = bytes.data();
    const std::size_t n = bytes.size();
    for (std::size_t start = 1; start < n; start += 256) {
        const std::size_t len = n - start < 256 ? n - start : 256;
        unsigned char* block = p + start;
        for (std::size_t k = 0; k < len; ++k) {
            block[k] ^= kCryptKeyTable[k];
        }
    }
}

std::string EncodeUrlBase64(std::span<const unsigned char> in) {
    const unsigned char* p = in.data();
    const std::size_t n = in.size();
    std::string out((n + 2) / 3 * 4, '\0');
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
        o[0] = kUrlBase64[v >> 18];
        o[1] = kUrlBase64[(v >> 12) & 63];
        o[2] = kUrlBase64[(v >> 6) & 63];
        o[3] = kUrlBase64[v & 63];
        o += 4;
    }
    if (n - i == 1) {
        const std::uint32_t v = std::uint32_t{p[i]} << 16;
        o[0] = kUrlBase64[v >> 18];
        o[1] = kUrlBase64[(v >> 12) & 63];
        o[2] = kUrlPad;
        o[3] = kUrlPad;
    } else if (n - i == 2) {
        const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8);
        o[0] = kUrlBase64[v >> 18];
        o[1] = kUrlBase64[(v >> 12) & 63];
        o[2] = kUrlBase64[(v >> 6) & 63];
        o[3] = kUrlPad;
    }
    return out;
}

// Strict decoding: a length that is 0 or not a multiple of 4, a character outside
// the alphabet, or padding anywhere but the last one or two places fails.
bool DecodeUrlBase64(std::string_view in, std::string& out) {
    const std::size_t n = in.size();
    if (n == 0 || n % 4 != 0) {
        return false;
    }
    std::size_t pad = 0;
    if (kDecode.v[static_cast<unsigned char>(in[n - 1])] == kPadChar) {
        pad = 1;
        if (kDecode.v[static_cast<unsigned char>(in[n - 2])] == kPadChar) {
            pad = 2;
        }
    }
    out.resize(n / 4 * 3 - pad);
    char* o = out.data();
    const std::size_t fullEnd = pad ? n - 4 : n;
    for (std::size_t i = 0; i < fullEnd; i += 4) {
        const int a = kDecode.v[static_cast<unsigned char>(in[i])];
        const int b = kDecode.v[static_cast<unsigned char>(in[i + 1])];
        const int c = kDecode.v[static_cast<unsigned char>(in[i + 2])];
        const int d = kDecode.v[static_cast<unsigned char>(in[i + 3])];
        if ((a | b | c | d) < 0) {
            return false;
        }
        const std::uint32_t v =
            (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) | (std::uint32_t(c) << 6) | std::uint32_t(d);
        o[0] = static_cast<char>(v >> 16);
        o[1] = static_cast<char>((v >> 8) & 0xFF);
        o[2] = static_cast<char>(v & 0xFF);
        o += 3;
    }
    if (pad) {
        const int a = kDecode.v[static_cast<unsigned char>(in[n - 4])];
        const int b = kDecode.v[static_cast<unsigned char>(in[n - 3])];
        const int c = pad == 1 ? kDecode.v[static_cast<unsigned char>(in[n - 2])] : 0;
        if ((a | b | c) < 0) {
            return false;
        }
        const std::uint32_t v = (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) | (std::uint32_t(c) << 6);
        o[0] = static_cast<char>(v >> 16);
        if (pad == 1) {
            o[1] = static_cast<char>((v >> 8) & 0xFF);
        }
    }
    return true;
}

// A CR that is the text's very last character ends the text rather than
// separating anything, so it is never taken as a separator.
std::size_t FindSeparator(std::string_view text, std::size_t from) {
    const std::size_t cr = text.find(kCR, from);
    if (cr == std::string_view::npos || cr + 1 == text.size()) {
        return std::string_view::npos;
    }
    return cr;
}

// The checksum stays below 65536, so more than five digits are never valid;
// bounding the length also keeps hostile numbers from overflowing.
bool ParseChecksumNumber(std::string_view text, int& value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    if (v > 65535) {
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

} // namespace

void TCryptURL::ClearParams() {
    entries_.clear();
}

int TCryptURL::IndexOfParam(std::string_view name) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        // Stored names are in capitals already.
        if (text::EqualsNoCase(entries_[i].first, name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string TCryptURL::GetParam(std::string_view name) const {
    const int i = IndexOfParam(name);
    return i < 0 ? std::string() : entries_[static_cast<std::size_t>(i)].second;
}

void TCryptURL::SetParam(std::string_view name, std::string_view value) {
    const int i = IndexOfParam(name);
    if (i >= 0) {
        entries_[static_cast<std::size_t>(i)].second.assign(value);
    } else {
        entries_.emplace_back(UpperName(name), std::string(value));
    }
}

int TCryptURL::ParamChecksum(std::string_view text) {
    // Adding byte by byte and replacing a sum above 65535 by its remainder keeps
    // the sum at ((total - 1) mod 65535) + 1 once it is non-zero (after one
    // addition it is at most 65535 + 255, so the remainder is one subtraction).
    // That closed form lets the bytes be added in bulk.
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        a += p[i];
        b += p[i + 1];
        c += p[i + 2];
        d += p[i + 3];
    }
    for (; i < n; ++i) {
        a += p[i];
    }
    const std::uint64_t total = a + b + c + d;
    return total == 0 ? 0 : static_cast<int>((total - 1) % 65535 + 1);
}

std::string TCryptURL::EncodeParams() {
    SetParam(kRandomizerName, std::to_string(TickCount()));

    // The entries part is written after a gap large enough for the checksum
    // entry, which goes in right before it once the sum is known; the record
    // is thus built in one buffer.
    constexpr std::size_t kGap = 16; // "_CRC", TAB and at most 5 digits
    std::size_t bodySize = 0;
    for (const auto& [name, value] : entries_) {
        bodySize += 2 + name.size() + value.size() + value.size() / 8;
    }
    std::string plain;
    plain.reserve(kGap + bodySize);
    plain.append(kGap, '\0');
    for (const auto& [name, value] : entries_) {
        plain += kCR;
        plain += name;
        plain += kTab;
        AppendEscaped(plain, value);
    }
    const std::string_view body = std::string_view(plain).substr(kGap);
    std::string head(kCrcName);
    head += kTab;
    head += std::to_string(ParamChecksum(body));
    const std::size_t start = kGap - head.size();
    plain.replace(start, head.size(), head);

    const std::span<unsigned char> record(reinterpret_cast<unsigned char*>(plain.data()) + start,
                                          plain.size() - start);
    ApplyKey(record);
    return EncodeUrlBase64(record);
}

bool TCryptURL::DecodeParams(std::string_view text) {
    valid_ = false;
    try {
        std::string plain;
        if (!DecodeUrlBase64(text, plain)) {
            return false;
        }
        ApplyKey(std::span(reinterpret_cast<unsigned char*>(plain.data()), plain.size()));
        const std::string_view all(plain);

        const std::size_t firstCr = FindSeparator(all, 0);
        std::string_view head = all.substr(0, firstCr);
        if (firstCr == std::string_view::npos && !head.empty() && head.back() == kCR) {
            head.remove_suffix(1);
        }
        const std::size_t tab = head.find(kTab);
        if (tab == std::string_view::npos || head.substr(0, tab) != kCrcName) {
            return false;
        }
        int expected = 0;
        if (!ParseChecksumNumber(head.substr(tab + 1), expected)) {
            return false;
        }
        const std::string_view rest =
            firstCr == std::string_view::npos ? std::string_view() : all.substr(firstCr);
        if (ParamChecksum(rest) != expected) {
            return false;
        }

        // Parse everything before touching the record, so a failure part-way
        // cannot leave it half-updated.
        std::vector<Entry> parsed;
        std::size_t pos = firstCr == std::string_view::npos ? all.size() : firstCr + 1;
        while (pos < all.size()) {
            const std::size_t next = FindSeparator(all, pos);
            std::string_view entry =
                all.substr(pos, next == std::string_view::npos ? all.size() - pos : next - pos);
            if (next == std::string_view::npos && !entry.empty() && entry.back() == kCR) {
                entry.remove_suffix(1);
            }
            const std::size_t t = entry.find(kTab);
            if (t == std::string_view::npos) {
                parsed.emplace_back(UpperName(entry), std::string());
            } else {
                parsed.emplace_back(UpperName(entry.substr(0, t)), Unescape(entry.substr(t + 1)));
            }
            if (next == std::string_view::npos) {
                break;
            }
            pos = next + 1;
        }

        // SetParam semantics, in linear time even for hostile texts with many entries.
        // The views below point into the names held by entries_, so the vector
        // must not reallocate once they are taken: reserve first.
        entries_.reserve(entries_.size() + parsed.size());
        std::unordered_map<std::string_view, std::size_t> index;
        index.reserve(entries_.size() + parsed.size());
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            index.emplace(entries_[i].first, i);
        }
        for (auto& [name, value] : parsed) {
            auto it = index.find(name);
            if (it != index.end()) {
                entries_[it->second].second = std::move(value);
            } else {
                entries_.emplace_back(std::move(name), std::move(value));
                index.emplace(entries_.back().first, entries_.size() - 1);
            }
        }
        valid_ = true;
        return true;
    } catch (...) {
        log::Caught("crypt", "TCryptURL::DecodeParams");
        valid_ = false;
        return false;
    }
}

} // namespace nuvex
