#include "handoff/handoff_request.h"

#include <utility>

namespace nuvex::handoff {

namespace {
Decoded Problem(DecodeProblem problem) {
    Decoded d;
    d.problem = problem;
    return d;
}
} // namespace

Decoded DecodeRequest(std::uint32_t kind, std::string_view payload) {
    std::optional<std::vector<std::string>> lines = SplitPayload(payload);
    if (!lines) {
        return Problem(DecodeProblem::BadPayload);
    }
    Decoded d;
    switch (static_cast<Kind>(kind)) {
    case Kind::SendTo: {
        if (lines->empty()) {
            return Problem(DecodeProblem::TooFewLines);
        }
        SendToRequest r;
        r.accountId = std::move(lines->front());
        r.names.assign(std::make_move_iterator(lines->begin() + 1), std::make_move_iterator(lines->end()));
        d.request = std::move(r);
        return d;
    }
    case Kind::ReadMail:
        d.request = ReadMailRequest{};
        return d;
    case Kind::MailTo: {
        std::optional<MailtoParts> parts = ParseMailto(*lines);
        if (!parts) {
            return Problem(DecodeProblem::TooFewLines);
        }
        d.request = MailToRequest{lines->front() == kMailtoAsk, std::move(*parts)};
        return d;
    }
    case Kind::MapiSend: {
        if (lines->empty()) {
            return Problem(DecodeProblem::TooFewLines);
        }
        d.request = MapiSendRequest{ValueOf(*lines, "ID"), ValueOf(*lines, "NOTE"),
                                    ValueOf(*lines, "SUBJECT"), MapiFiles(*lines)};
        return d;
    }
    }
    return Problem(DecodeProblem::UnknownKind);
}

} // namespace nuvex::handoff
