#pragma once
// The protocol of the hosted-webmail web service ("wmcheck") that the
// web-service account types share: request addresses, the reply's character
// set, and the reading of the two reply documents. Kept apart from the
// connector so that each rule can be tested on plain text.
#include "lib/http.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nuvex {

class HostConfig;
class Registry;

// One message header of a check.
struct TWebvaultMessage {
    std::string MessageRef; // message id ":" folder id
    std::string FolderId;
    std::string Subject;
    std::string Preview;
    std::string Sender;
};

namespace webservice {

// Host keys that point a type's service elsewhere: type code + suffix
// ("WEBVAULT_SERVICE_URL", "WEBVAULT_UPLOAD_URL"). An empty upload address
// means the service address.
inline constexpr std::string_view kServiceUrlSuffix = "_SERVICE_URL";
inline constexpr std::string_view kUploadUrlSuffix = "_UPLOAD_URL";

// The value of key: the host's when it holds a non-empty one, else the
// shipped CONFIG default, else empty. Surrounding blanks are dropped. nullopt
// when the host could not be read: the default might be another company's
// service, so a failed read must not fall back to it.
std::optional<std::string> ConfiguredAddress(HostConfig* host, const std::string& key);
// Only absolute http and https addresses with a host are used: anything else
// would send the credentials somewhere nobody chose.
bool UsableServiceUrl(std::string_view url);

// The path with its first "%CU" (any case) replaced by cu, after serviceUrl.
std::string RequestUrl(std::string_view serviceUrl, std::string_view path, std::string_view cu);
// The text form of a keyed record holding entries in this order.
std::string EncodeCu(const std::vector<std::pair<std::string, std::string>>& entries);

// The one conversion of a reply: from the character set its XML declaration
// names into UTF-8. No declaration means UTF-8, as for any XML document;
// bytes that are invalid in the declared set become U+FFFD, so what comes
// out is always valid UTF-8. nullopt when the named set is unknown.
std::optional<std::string> ReplyToUtf8(std::string_view reply, Registry* registry);

// Ids of new messages from the headers and from "NextIds": every positive
// decimal id once, whatever separates them (commas, semicolons, blanks).
struct NewIds {
    std::size_t count = 0;
    std::string newest; // the largest id as text; empty when there is none
};
NewIds CountNewIds(const std::vector<std::string>& headerIds, std::string_view nextIds);

// A "NewMsgsList" reply, read from UTF-8 text; values are in the ANSI code page.
struct NewMsgsReply {
    bool found = false; // the document has a "NewMsgsList" element
    bool statusOk = false;
    bool loginFailed = false;
    std::int32_t unread = -1;
    std::vector<std::string> headerIds; // "MID" of every header, in order
    std::string nextIds;
    std::vector<TWebvaultMessage> headers;
};
// At most this many headers are read from one reply; the service is asked for 20.
inline constexpr std::size_t kMaxReplyHeaders = 200;
NewMsgsReply ParseNewMsgs(const std::string& utf8);

// A "Redir" reply: the page to open when its status is "OK".
struct RedirReply {
    bool statusOk = false;
    std::string url;
};
RedirReply ParseRedir(const std::string& utf8);

// "&amp;", "&quot;", "&apos;", "&lt;", "&gt;" and numeric references; a
// service address may carry them in an attribute.
std::string XmlUnescape(std::string_view text);

// Time and size bounds of the service's requests. A reply larger than a few
// headers need never be read whole.
HttpLimits DefaultLimits();

} // namespace webservice
} // namespace nuvex
