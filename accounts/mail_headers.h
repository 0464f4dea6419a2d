#pragma once
// Reading the From and Subject of a message header block as the notification
// shows them: folded lines joined, RFC 2047 encoded words decoded from any
// charset iconv knows, everything handed on as UTF-8.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

struct TMailHeaders {
    std::string fromName;    // display name, decoded; empty when there is none
    std::string fromAddress; // addr-spec of the first mailbox
    std::string subject;     // decoded
};

// Lines as they come from the server, without line ends; reading stops at the
// first empty line (the end of the header block).
TMailHeaders ParseMailHeaders(const std::vector<std::string>& lines);

// A header text with its encoded words decoded. Words next to each other are
// joined without the blanks between them; unencoded 8-bit text is taken as
// UTF-8 when it is valid UTF-8, else as windows-1252. Control characters become
// blanks, so a hostile header cannot break the line it is shown on.
std::string DecodeHeaderText(std::string_view raw);

// bytes in charset as UTF-8; nullopt when iconv does not know the charset.
// Invalid sequences become U+FFFD.
std::optional<std::string> ConvertToUtf8(std::string_view bytes, std::string_view charset);

// The display name (decoded, comments and quotes gone) and address of the
// first mailbox of an address header value.
void ParseMailbox(std::string_view value, std::string& name, std::string& address);

// "Name <address>", or the bare address when there is no name.
std::string SenderText(const std::string& name, const std::string& address);

} // namespace nuvex
