#pragma once
// Why a server gave no answer, as far as the connection tells: the user is
// told which it was instead of a general "check your Internet connection".
#include <string_view>

namespace nuvex {

enum class NetProblem {
    None,        // no answer for another reason (reset, no route, stopped)
    Refused,     // nothing listens on that port
    NoSuchHost,  // the name does not resolve
    TimedOut,    // no connection or no answer in time
    Tls,         // the secure connection could not be set up
    Certificate, // the server's certificate or name is not trusted
};

// For log lines: "connection refused", "no such host", ...; empty for None.
constexpr std::string_view NetProblemWords(NetProblem p) {
    switch (p) {
    case NetProblem::Refused:
        return "connection refused";
    case NetProblem::NoSuchHost:
        return "no such host";
    case NetProblem::TimedOut:
        return "timed out";
    case NetProblem::Tls:
        return "TLS failed";
    case NetProblem::Certificate:
        return "certificate not trusted";
    case NetProblem::None:
        break;
    }
    return {};
}

} // namespace nuvex
