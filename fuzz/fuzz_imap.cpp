// Fuzz target: IMAP response decoding (tags, status responses and their codes,
// quoted strings, literals, nested lists).
//
// The input is one response as the client joins it (literals inline after
// their "{N}" and CR LF). Checked besides memory safety:
//   - a decoded response is a tagged, untagged or continuation response, and
//     a tagged one has its tag and a status;
//   - no list is nested beyond the depth bound, no string is longer than the input;
//   - the announced-literal check never accepts a size beyond its bound.
#include "accounts/imap_response.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#ifndef NUVEX_FUZZ_FAIL
#define NUVEX_FUZZ_FAIL(what) std::abort()
#endif

namespace nuvex::fuzz_imap {

inline int Depth(const ImapValue& v, std::size_t inputSize) {
    if (v.text.size() > inputSize) {
        NUVEX_FUZZ_FAIL("string longer than the input");
    }
    int deepest = 0;
    for (const ImapValue& item : v.items) {
        const int d = Depth(item, inputSize);
        deepest = d > deepest ? d : deepest;
    }
    return v.kind == ImapValue::Kind::List ? deepest + 1 : deepest;
}

inline int OneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view wire(reinterpret_cast<const char*>(data), size);
    ImapParseLimits limits;
    limits.maxDepth = 8;
    limits.maxLiteralBytes = 4096;
    try {
        const ImapResponse r = ParseImapResponse(wire, limits);
        if (r.kind == ImapResponse::Kind::Tagged && (r.tag.empty() || r.status.empty())) {
            NUVEX_FUZZ_FAIL("tagged response without tag or status");
        }
        for (const ImapValue& v : r.values) {
            if (Depth(v, size) > limits.maxDepth) {
                NUVEX_FUZZ_FAIL("list nested beyond the bound");
            }
        }
    } catch (const ImapProtocolError&) {
        // refused: fine
    }
    try {
        const auto literal = TrailingLiteralSize(wire, limits);
        if (literal && *literal > limits.maxLiteralBytes) {
            NUVEX_FUZZ_FAIL("literal size beyond the bound accepted");
        }
    } catch (const ImapProtocolError&) {
    }
    (void)ImapEncodeFolder(wire);
    return 0;
}

} // namespace nuvex::fuzz_imap

#ifndef NUVEX_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return nuvex::fuzz_imap::OneInput(data, size);
}
#endif
