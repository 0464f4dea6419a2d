#pragma once
// Which URLs the program hands to a browser or the desktop's opener. A URL that
// came from a user, a server or a setting is opened only with one of these
// schemes: anything else (file:, smb:, a custom x-scheme-handler, ...) could
// start a program or mount a share on a click.
#include <string>
#include <string_view>

namespace nuvex {

// True for http://host..., https://host... and mailto:... (scheme in any case),
// with no control characters anywhere in the text.
bool IsOpenableUrl(std::string_view url);

// The scheme in lower case ("" when the text does not start with one). Safe to
// log: it never holds a user name or a password.
std::string UrlScheme(std::string_view url);

} // namespace nuvex
