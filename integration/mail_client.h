#pragma once
// Registration as the desktop's mail client. The client entry lives in the
// registry store under the client name; the desktop sees a desktop entry of
// ours that handles mailto links, made the handler through xdg-mime. The
// client it replaced is kept as "Backup" and put back on restore. Everything
// written is in the user's own configuration and data folders.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

inline constexpr std::string_view kMailClientName = "VostrelMail";
inline constexpr std::string_view kMailClientKey = "Software\\Clients\\Mail\\VostrelMail";
inline constexpr std::string_view kMailClientsKey = "SOFTWARE\\Clients\\Mail";
inline constexpr std::string_view kMailtoMime = "x-scheme-handler/mailto";
// The desktop entry's file name: also its id for xdg-mime.
inline constexpr std::string_view kMailClientDesktopId = "nuvex.desktop";

// $XDG_DATA_HOME/applications/nuvex.desktop (empty without a home).
std::string MailClientDesktopFile();

// Writes the client entry and the desktop entry; false (logged) on a failure.
bool RegisterMailClient();
// Remembers the current client (unless it is already us) and makes us the
// default, in the store and on the desktop.
bool SetDefaultMailClient();
// When we are the default, puts the remembered client back; otherwise leaves
// everything alone (a choice the user made since then wins).
bool RestoreMailClient();
// RestoreMailClient, then removes the client entry, the desktop entry and any
// association of the desktop entry in the user's mimeapps.list.
bool UnregisterMailClient();

// The desktop's handler of mailto links, as xdg-mime names it ("" for none or
// when xdg-mime cannot be asked).
std::string QueryMailtoHandler();

// Runs argv without a shell, waits at most timeout and gives its standard
// output (at most maxOutput bytes). Nothing when it cannot start, exits with
// another status than 0 or times out (then its process group is ended).
std::optional<std::string> RunTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                   std::size_t maxOutput = std::size_t{64} * 1024);

} // namespace nuvex
