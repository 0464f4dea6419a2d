#pragma once
// What the mail-server connectors share: a server's text made fit for a log
// line or an error, the marker failure, and the lookup of the account
// command's options.
#include "accounts/generic_connector.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nuvex {

// Headers listed per check, newest first; more new messages show as "more".
inline constexpr std::size_t kHeaderLimit = 20;

// The new-message marker could not be read from or written to the host.
class MarkerUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// At most `limit` bytes of a server's text, control characters as '?': a
// hostile reply can neither forge log lines nor flood an error.
std::string ServerExcerpt(std::string_view text, std::size_t limit = 160);

// A server may quote what it was sent; the log never gets the password.
std::string WithoutPassword(std::string text, const std::string& password);

// One option of the account command, empty when it was not given.
std::string OptionValue(const TTypeOptionValues& options, std::string_view name);

} // namespace nuvex
