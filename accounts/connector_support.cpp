#include "accounts/connector_support.h"

namespace nuvex {

std::string ServerExcerpt(std::string_view text, std::size_t limit) {
    std::string out;
    for (char c : text.substr(0, limit)) {
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    }
    return out;
}

std::string WithoutPassword(std::string text, const std::string& password) {
    if (password.empty()) {
        return text;
    }
    for (std::size_t at = text.find(password); at != std::string::npos; at = text.find(password, at + 3)) {
        text.replace(at, password.size(), "***");
    }
    return text;
}

std::string OptionValue(const TTypeOptionValues& options, std::string_view name) {
    auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
}

} // namespace nuvex
