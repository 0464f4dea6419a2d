// libFuzzer entry over what a hand-off sender controls: the request header
// and the payload text of kinds 0-3 (handoff/handoff_wire.h), as the receiver
// takes them apart before any account sees them.
//
// Input: byte 0 picks the kind (low two bits); the rest is the payload, whose
// first 12 bytes are also read as a request header. Checked besides memory
// safety:
//   - a header is accepted only with a known message and a bounded length;
//   - a split payload has at most the line bound, no line holds CR, LF or
//     NUL, and joining and splitting the lines again gives the same lines;
//   - a mailto split keeps its text whole and at most the file bound of
//     attachments; a Simple MAPI list names at most the file bound of files,
//     none of them empty;
//   - the decoded request refuses exactly the payloads with too few lines.
// Seeds: fuzz/corpus/fuzz_handoff; inputs that once failed: fuzz/regress/fuzz_handoff.
#include "handoff/handoff_request.h"
#include "handoff/handoff_wire.h"
#include "lib/http.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace handoff = nuvex::handoff;

void CheckHeader(std::string_view bytes) {
    if (bytes.size() < handoff::kHeaderBytes) {
        return;
    }
    handoff::RequestHeader header;
    if (handoff::DecodeRequestHeader(bytes.substr(0, handoff::kHeaderBytes), header) ==
        handoff::HeaderCheck::Ok) {
        if (header.length > handoff::kMaxPayloadBytes) {
            std::abort();
        }
        if (header.message > 3 && header.message != handoff::kMailReady) {
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned kind = data[0] & 3u;
    const std::string_view payload(reinterpret_cast<const char*>(data) + 1, size - 1);
    CheckHeader(payload);

    const auto lines = handoff::SplitPayload(payload);
    if (!lines) {
        return 0;
    }
    if (lines->size() > handoff::kMaxLines) {
        std::abort();
    }
    for (const std::string& line : *lines) {
        if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            std::abort();
        }
    }
    const auto again = handoff::SplitPayload(handoff::JoinLines(*lines));
    if (!again || *again != *lines) {
        std::abort();
    }

    if (kind == 2) {
        const auto parts = handoff::ParseMailto(*lines);
        if (parts.has_value() != (lines->size() >= 2)) {
            std::abort();
        }
        if (parts) {
            if (parts->attachments.size() > handoff::kMaxFiles || parts->text.size() < (*lines)[1].size()) {
                std::abort();
            }
            // The receiver decodes every part; the decoder must take any text.
            (void)nuvex::UrlDecode(parts->address);
            (void)nuvex::UrlDecode(parts->subject);
            (void)nuvex::UrlDecode(parts->body);
        }
    } else if (kind == 3) {
        const std::vector<std::string> files = handoff::MapiFiles(*lines);
        if (files.size() > handoff::kMaxFiles) {
            std::abort();
        }
        for (const std::string& f : files) {
            if (f.empty()) {
                std::abort();
            }
        }
        (void)handoff::ValueOf(*lines, "ID");
    }
    // The receiver's one decoding agrees with the split: a kind that needs
    // lines is refused without them, and nothing else is refused.
    const handoff::Decoded decoded = handoff::DecodeRequest(kind, payload);
    const bool tooFew = (kind == 2 && lines->size() < 2) || ((kind == 0 || kind == 3) && lines->empty());
    if (decoded.request.has_value() == tooFew) {
        std::abort();
    }
    return 0;
}
