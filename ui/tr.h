#pragma once
// Words the user reads, in the user's language, as Qt text: the one way the
// windows and menus get theirs.
#include "lib/branding.h"

#include <QString>
#include <string_view>

namespace nuvex {

inline QString Tr(std::string_view text) {
    return QString::fromStdString(Translate(text));
}

} // namespace nuvex
