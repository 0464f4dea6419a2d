// Fuzz target: a hosted-webmail service's reply as the web-service connector
// reads it: the charset conversion, the NewMsgsList and Redir documents, the
// id counting and the attribute unescaping.
//
// Checked besides memory safety:
//   - ReplyToUtf8 answers valid UTF-8;
//   - ParseNewMsgs keeps at most kMaxReplyHeaders headers, one id each;
//   - CountNewIds counts no more ids than it was given, and names a newest
//     one exactly when it counted any.
#include "accounts/web_service_connector.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Well-formed UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
bool ValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        std::uint32_t cp = n == 1 ? c : c & (0x7Fu >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3Fu);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace nuvex::webservice;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> utf8 = ReplyToUtf8(bytes, nullptr);
    if (utf8 && !ValidUtf8(*utf8)) {
        std::abort();
    }
    const std::string doc = utf8 ? *utf8 : std::string(bytes);
    const NewMsgsReply msgs = ParseNewMsgs(doc);
    if (msgs.headers.size() > kMaxReplyHeaders || msgs.headerIds.size() != msgs.headers.size()) {
        std::abort();
    }
    const NewIds ids = CountNewIds(msgs.headerIds, msgs.nextIds);
    if ((ids.count == 0) != ids.newest.empty() || ids.count > msgs.headerIds.size() + msgs.nextIds.size()) {
        std::abort();
    }
    // A Redir URL is checked where it is opened, not here.
    (void)ParseRedir(doc);
    (void)XmlUnescape(bytes);
    return 0;
}
