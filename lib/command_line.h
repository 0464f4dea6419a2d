#pragma once
// Command lines of desktop entries and of the browser setting, run without a
// shell: the text is split into words with the quoting rules of desktop-entry
// Exec values (a subset of the shell's), and the words become the argv of the
// spawned program, so nothing in a URL or a file name can be read as syntax.
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace nuvex {

// Words separated by blanks. '...' keeps everything literally; "..." keeps
// everything but a backslash before " \ $ or `; outside quotes a backslash keeps
// the next character. Nothing when a quote is left open or there is no word.
std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line);

// One word that SplitCommandLine gives back unchanged: as it is when it holds
// only characters with no meaning to the splitter, else in single quotes.
std::string QuoteArgument(std::string_view word);
std::string JoinCommandLine(const std::vector<std::string>& argv);

// The program file of a command: as given when it names a path, else the first
// executable of that name in the folders of searchPath. Empty and relative
// folders are skipped (an empty element would mean the working directory).
// Empty when there is none.
std::string ResolveProgram(const std::string& program, std::string_view searchPath);

// Starts argv[0] (resolved through PATH of env) with stdin on /dev/null, no
// inherited descriptors beyond stdout and stderr, default signal handling and
// its own session, so that it outlives this program quietly. env empty: this
// process's environment. Returns the child's id, or -1 (logged) when it could not start.
pid_t SpawnDetached(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// Reaps pid on a small thread once it ends, so that no zombie stays.
void ReapInBackground(pid_t pid);

// SplitCommandLine, SpawnDetached and ReapInBackground in one: false when the
// line has no word, a quote is open or the program cannot be started.
bool RunCommandLine(std::string_view line);

} // namespace nuvex
