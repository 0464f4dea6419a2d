// Fuzz target: the order of the Gmail feed's entry ids (FeedIdAfter). The
// check keeps the greatest id as its next marker and stops at the first entry
// that is not after the marker, so the relation must be a strict order.
//
// Input: three ids separated by '\n'. Checked: irreflexive, asymmetric, and
// transitive over every ordered triple of the three.
#include "accounts/gmail_connector.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::array<std::string_view, 3> id;
    for (std::string_view& one : id) {
        const std::size_t nl = in.find('\n');
        one = in.substr(0, nl);
        in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
    }
    auto after = [&](int a, int b) { return nuvex::FeedIdAfter(id[a], id[b]); };
    for (int a = 0; a < 3; ++a) {
        if (after(a, a)) {
            std::abort();
        }
        for (int b = 0; b < 3; ++b) {
            if (after(a, b) && after(b, a)) {
                std::abort();
            }
            for (int c = 0; c < 3; ++c) {
                if (after(a, b) && after(b, c) && !after(a, c)) {
                    std::abort();
                }
            }
        }
    }
    return 0;
}
