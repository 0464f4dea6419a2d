#pragma once
// Code pages: Windows code page numbers as the web replies and stored texts
// name them, converted through iconv. The process has one "ANSI code page"
// (UTF-8 unless told otherwise) into which replies are converted for the rest
// of the program.
#include <optional>
#include <string>
#include <string_view>

namespace nuvex {

class Registry;

constexpr int kCodePageUtf8 = 65001;

// The process ANSI code page; 65001 (UTF-8) until set. Thread-safe.
int AnsiCodePage();
void SetAnsiCodePage(int codePage);

// The iconv name for a Windows code page number ("CP1252", "ISO-8859-1",
// "UTF-8", ...), or an empty text for a number we do not know.
std::string CodePageIconvName(int codePage);

// The code page of a MIME charset name: the key HKCR
// "MIME\Database\Charset\" + name, following "AliasForCharset" entries (at
// most kMaxCharsetAliasHops of them, so a cycle cannot loop) to the entry's
// "InternetEncoding". A name the registry has no key for is looked up in the
// built-in table instead. -1 for an empty or unknown name.
constexpr int kMaxCharsetAliasHops = 16;
int CharsetToCodePage(std::string_view charset); // uses ProcessRegistry()
int CharsetToCodePage(Registry& registry, std::string_view charset);
// The built-in table alone (names compare without regard to case).
int BuiltinCharsetToCodePage(std::string_view charset);
// Writes the built-in table under HKCR "MIME\Database\Charset": one key per
// charset with "InternetEncoding" (DWORD), one per alias with "AliasForCharset".
// Keys that already exist are left as they are. False when a write failed.
bool SeedCharsetRegistry(Registry& registry);

// Converts text from codePage to the ANSI code page. Code page 0 returns the
// text unchanged; a code page we cannot convert (-1, unknown) gives an empty
// text. Bytes invalid in the source become U+FFFD; characters the ANSI code
// page cannot hold become "?".
std::string ToAnsi(std::string_view text, int codePage);

// The forgiving UTF-8 decoder used for XML values: the lead byte alone says how
// many bytes follow (up to 5), trailing bytes are not checked, code points above
// U+10FFFF become U+FFFD, and a sequence cut off by the end ends the decoding.
std::u16string Utf8ToWide(std::string_view text);

// Bytes in codePage to UTF-16 (invalid input becomes U+FFFD); nullopt when the
// code page cannot be converted.
std::optional<std::u16string> CodePageToWide(std::string_view text, int codePage);
// UTF-16 to codePage, unrepresentable characters and lone surrogates as "?"
// (as U+FFFD for UTF-8); nullopt when the code page cannot be converted.
std::optional<std::string> WideToCodePage(std::u16string_view text, int codePage);
// UTF-16 to the ANSI code page; empty when that code page cannot be converted.
std::string WideToAnsi(std::u16string_view text);

} // namespace nuvex
