// Fuzz target: mail header parsing and RFC 2047 decoding.
//
// The input is a header block as a POP3 server sends it (lines separated by
// LF or CR LF). Checked besides memory safety:
//   - decoded texts hold no control characters (they are shown on one line);
//   - the decoded subject and display name are valid UTF-8.
//
// The unit tests replay fuzz/regress/fuzz_headers and fuzz/corpus/fuzz_headers through
// OneInput with NUVEX_FUZZ_NO_ENTRY set and NUVEX_FUZZ_FAIL reporting to the test.
#include "accounts/mail_headers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#ifndef NUVEX_FUZZ_FAIL
#define NUVEX_FUZZ_FAIL(what) std::abort()
#endif

namespace nuvex::fuzz_headers {

inline bool HasControl(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

inline bool ValidUtf8(std::string_view s) {
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

inline void CheckShown(std::string_view text, const char* what) {
    if (HasControl(text)) {
        NUVEX_FUZZ_FAIL(std::string(what) + " holds a control character");
    }
    if (!ValidUtf8(text)) {
        NUVEX_FUZZ_FAIL(std::string(what) + " is not valid UTF-8");
    }
}

inline std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t nl = text.find('\n', start);
        std::string line(
            text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        if (nl == std::string_view::npos) {
            break;
        }
        start = nl + 1;
    }
    return lines;
}

inline int OneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const TMailHeaders headers = ParseMailHeaders(SplitLines(text));
    CheckShown(headers.subject, "subject");
    CheckShown(headers.fromName, "display name");
    if (HasControl(headers.fromAddress)) {
        NUVEX_FUZZ_FAIL("address holds a control character");
    }
    (void)SenderText(headers.fromName, headers.fromAddress);

    // The pieces on their own, on the whole input.
    CheckShown(DecodeHeaderText(text), "decoded text");
    std::string name;
    std::string address;
    ParseMailbox(text, name, address);
    CheckShown(name, "mailbox name");
    if (HasControl(address)) {
        NUVEX_FUZZ_FAIL("mailbox address holds a control character");
    }
    return 0;
}

} // namespace nuvex::fuzz_headers

#ifndef NUVEX_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return nuvex::fuzz_headers::OneInput(data, size);
}
#endif
