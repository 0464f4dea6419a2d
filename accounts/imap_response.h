#pragma once
// IMAP server responses decoded into typed values. A response arrives as one
// line, or as several when it carries literals ("{N}" at a line end, then N
// bytes): the reader joins them into one wire text, literals inline, and the
// parser below decodes it. Everything from the server is hostile: sizes,
// nesting and counts are bounded, and a malformed response is an error, never
// a guess.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

// A response that breaks the grammar or one of the bounds.
class ImapProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ImapParseLimits {
    std::size_t maxLiteralBytes = std::size_t{1} << 20;
    std::size_t maxResponseBytes = std::size_t{4} << 20;
    int maxDepth = 16;             // nested parenthesised lists
    std::size_t maxItems = 100000; // values in one response, all lists together
};

// One value of a response: an atom (also a section like BODY[TEXT]<0>), a
// number, a string (quoted or literal, unescaped), NIL, or a list.
struct ImapValue {
    enum class Kind { Atom, Number, String, Nil, List };
    Kind kind = Kind::Nil;
    std::string text;             // atom or string; the digits of a number
    std::uint64_t number = 0;     // Number only
    std::vector<ImapValue> items; // List only

    bool IsAtom(std::string_view name) const; // case-insensitive
    // Atom, number or string as text; empty for NIL and lists.
    const std::string& Text() const { return text; }
};

struct ImapResponse {
    enum class Kind { Tagged, Untagged, Continuation };
    Kind kind = Kind::Untagged;
    std::string tag;      // Tagged only
    std::string status;   // "OK", "NO", "BAD", "BYE", "PREAUTH" (upper case); empty for data
    std::string code;     // the response code's name in brackets, upper case ("UIDNEXT")
    std::string codeArgs; // the rest inside the brackets, as sent
    std::string text;     // human-readable text after status and code
    // Data responses: "* 5 EXISTS" has number 5 and keyword "EXISTS";
    // "* SEARCH 3 4" has keyword "SEARCH" and values 3, 4.
    std::optional<std::uint32_t> number;
    std::string keyword; // upper case
    std::vector<ImapValue> values;

    bool IsStatus() const { return !status.empty(); }
};

// Decodes one whole response (without the final CR LF; literals inline as
// "{N}\r\n" followed by N bytes). Throws ImapProtocolError.
ImapResponse ParseImapResponse(std::string_view wire, const ImapParseLimits& limits = {});

// The size of the literal announced at the end of a line ("{N}" or "{N+}"),
// nullopt when the line ends otherwise; throws when N is not a number or
// beyond maxLiteralBytes, before a single byte of it is read.
std::optional<std::size_t> TrailingLiteralSize(std::string_view line, const ImapParseLimits& limits);

// A string for a command: quoted when every byte may be, else nullopt
// (CR, LF and NUL can never be sent in a quoted string).
std::optional<std::string> ImapQuoted(std::string_view text);

// A folder name in modified UTF-7, as servers without UTF-8 support expect;
// an ASCII name without '&' stays as it is.
std::string ImapEncodeFolder(std::string_view utf8);

} // namespace nuvex
