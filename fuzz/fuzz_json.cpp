// Fuzz target: the browser's byte stream as the DevTools client reads it —
// split into NUL-terminated messages under a size bound, each read as JSON
// under a nesting bound.
//
// Checked besides memory safety and the bounds:
//   - a value that was read is written as text that reads back to a value
//     written the same way (the writer's output is always valid JSON).
#include "lib/devtools_pipe.h"
#include "lib/json_value.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace nuvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    devtools::FrameReader reader(4096);
    // Fed in two parts, as reads of a pipe split messages anywhere.
    const std::size_t half = size / 2;
    bool ok = reader.Feed(bytes.substr(0, half)) && reader.Feed(bytes.substr(half));
    (void)ok;
    while (std::optional<std::string> message = reader.Next()) {
        if (message->size() > 4096) {
            std::abort(); // the bound was not kept
        }
        std::optional<json::Value> value = json::Parse(*message, nullptr, {.maxBytes = 4096, .maxDepth = 32});
        if (!value) {
            continue;
        }
        std::string text = value->Dump();
        // The writer may escape, so the text can grow past the reader's size bound.
        std::optional<json::Value> again = json::Parse(text, nullptr, {.maxBytes = 1 << 20, .maxDepth = 64});
        if (!again || again->Dump() != text) {
            std::abort();
        }
    }
    return 0;
}
