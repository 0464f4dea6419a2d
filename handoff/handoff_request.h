#pragma once
// A hand-off request decoded once, from its kind and payload, into what that
// kind carries. The receiver works on these values; an account gets its own
// input made from one only where it is called.
#include "handoff/handoff_wire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace nuvex::handoff {

// Send To: line 0 names the account, the other lines the files as sent.
struct SendToRequest {
    std::string accountId;
    std::vector<std::string> names;
};

// Open the mailbox of the hand-off account; the payload carries nothing.
struct ReadMailRequest {};

// A mailto URL. ask: the desktop entry's word came first, so files it names
// may be offered to the user.
struct MailToRequest {
    bool ask = false;
    MailtoParts parts;
};

// A Simple MAPI send: its id, note and subject (each on one line) and the
// files it names.
struct MapiSendRequest {
    std::string id;
    std::string note;
    std::string subject;
    std::vector<std::string> files;
};

using Request = std::variant<SendToRequest, ReadMailRequest, MailToRequest, MapiSendRequest>;

enum class DecodeProblem {
    None,
    BadPayload,  // a payload no sender makes (see SplitPayload)
    UnknownKind, // not one of the hand-off kinds
    TooFewLines, // fewer lines than the kind needs
};

struct Decoded {
    std::optional<Request> request; // set exactly when problem is None
    DecodeProblem problem = DecodeProblem::None;
};

Decoded DecodeRequest(std::uint32_t kind, std::string_view payload);

} // namespace nuvex::handoff
