#pragma once
// The accounts' "Mail Recipient (ADDRESS)" entries in the file managers' Send To
// menus: a desktop file in Thunar's sendto folder and a KDE service menu, both
// under $XDG_DATA_HOME and both starting this program with "/sendto:KEY" and
// the chosen files. An account is found by its address (the file name) and
// named by its key inside the entry. Nothing is written outside the user's
// own data folder.
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

// The absolute path of the running program (what the entries start). Tests
// and the registration may set another; an empty text goes back to the
// running executable.
std::string SendToProgramPath();
void SetSendToProgramPath(std::string path);

// Folders the entries go to, from $XDG_DATA_HOME (else ~/.local/share).
std::string ThunarSendToFolder();
std::string KdeServiceMenuFolder();

// "Mail Recipient (" + address + ").desktop", or empty when the address
// cannot be a file name safely (a "/", a control character, a name that
// is too long, an empty address).
std::string SendToFileName(std::string_view email);

// Creates or overwrites both entries; false (logged) when the address or key
// is refused or a file cannot be written. Never leaves a half-written file.
bool CreateSendToShortcut(std::string_view email, std::string_view key);
// Removes both entries; true when none is left.
bool DeleteSendToShortcut(std::string_view email);
// True when the account's entries exist (both of them: one removed by hand
// means the user took the account out of Send To).
bool SendToShortcutExists(std::string_view email);
// Removes every entry in both folders whose target names this program's file,
// including ones made by hand; the others stay. Returns how many went.
int RemoveAllSendToShortcuts();

// The target of a link file: for a desktop entry of type Link a local file
// URL's path, for an application its program. Empty when it cannot be read.
std::string ResolveShortcut(const std::string& path);
// Replaces, in place, every entry whose extension is ".desktop" (any case) by
// its target (empty when it cannot be resolved).
void ResolveShortcutsInList(std::vector<std::string>& list);

} // namespace nuvex
