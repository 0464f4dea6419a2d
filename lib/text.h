#pragma once
// Small ASCII text helpers shared by every layer. Case folding is ASCII only on
// purpose: keys, protocol words and header names are ASCII, and folding bytes
// of UTF-8 or a code page by the C locale would corrupt them.
#include <cstdint>
#include <string>
#include <string_view>

namespace nuvex::text {

std::string ToUpperAscii(std::string_view s);
std::string ToLowerAscii(std::string_view s);

// Blanks are space, tab, CR and LF; also vertical tab and form feed for TrimSpace,
// which trims what isspace() in the C locale calls space.
std::string Trim(std::string_view s);
std::string TrimSpace(std::string_view s);
std::string_view TrimView(std::string_view s);

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);

// Appends one code point (at most U+10FFFF, no surrogate) as UTF-8.
void AppendUtf8(std::string& out, std::uint32_t cp);

// The length of the valid UTF-8 sequence at s[i] (shortest form, at most
// U+10FFFF, no surrogates), or 0 when the bytes there are not one.
std::size_t Utf8SequenceAt(std::string_view s, std::size_t i);
bool IsValidUtf8(std::string_view s);

} // namespace nuvex::text
