#pragma once
// Writing and reading the small desktop-entry files of the mail-client
// integration: Exec quoting that a file manager splits back into exactly the
// words given, value escaping, atomic user-only writes, and a bounded reader.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex::desktop {

// $XDG_DATA_HOME and $XDG_CONFIG_HOME with their defaults under $HOME; empty
// when neither the variable nor HOME is set.
std::string DataHome();
std::string ConfigHome();

// False for control characters (a newline would end the key-file line and
// start a new key).
bool IsSafeValue(std::string_view text);

// One Exec argument: double-quoted when it holds a reserved character, with
// " ` $ \ escaped inside, and "%" doubled so that it is never a field code.
// The result still needs EscapeValue before it goes into the file.
std::string QuoteExecArg(std::string_view word);
// The string escapes of a key file: backslash doubled. Callers refuse
// control characters first.
std::string EscapeValue(std::string_view text);

// The reverse, for reading: value escapes (\s \n \t \r \\) undone, then the
// words split with the quoting rules and "%%" made "%". Field codes such as
// "%F" stay as words. Nothing when a quote is left open.
std::optional<std::vector<std::string>> SplitExec(std::string_view value);

// Groups of a desktop file, each a map of key to raw value; the first group's
// name is kept too. Nothing when the file is missing, not regular or too big.
struct KeyFile {
    std::vector<std::string> groupOrder;
    std::map<std::string, std::map<std::string, std::string>> groups;
    std::string Get(const std::string& group, const std::string& key) const;
};
std::optional<KeyFile> ReadKeyFile(const std::string& path);

// Writes through a temporary file in the same folder and renames it, so a
// reader never sees half a file; folders are made as needed (user-only).
// A file that already has this content and mode is left as it is.
bool WriteFileAtomic(const std::string& path, std::string_view content, unsigned mode);

} // namespace nuvex::desktop
