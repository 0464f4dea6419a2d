#include "lib/url_policy.h"

#include "lib/text.h"

namespace nuvex {
namespace {

bool IsSchemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return first ? alpha : alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

} // namespace

std::string UrlScheme(std::string_view url) {
    std::size_t i = 0;
    while (i < url.size() && IsSchemeChar(url[i], i == 0)) {
        ++i;
    }
    if (i == 0 || i >= url.size() || url[i] != ':') {
        return {};
    }
    return text::ToLowerAscii(url.substr(0, i));
}

bool IsOpenableUrl(std::string_view url) {
    for (char c : url) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
    }
    const std::string scheme = UrlScheme(url);
    if (scheme == "mailto") {
        return true;
    }
    if (scheme != "http" && scheme != "https") {
        return false;
    }
    // "http:foo" or "http:///x" name no host: browsers guess, we do not.
    const std::string_view rest = url.substr(scheme.size() + 1);
    return rest.size() > 2 && rest.substr(0, 2) == "//" && rest[2] != '/' && rest[2] != '\\';
}

} // namespace nuvex
