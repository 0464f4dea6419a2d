#pragma once
// Opening a URL that carries a password without putting it on a command line:
// every local user can read the argv of every process (ps, /proc/PID/cmdline).
// The URL is written into a small page that sends the browser on to it; the
// page is user-only (0600) in a user-only folder under $XDG_RUNTIME_DIR, the
// browser is given the page's path, and the page is removed shortly after
// (and at the latest when the program ends normally).
#include <chrono>
#include <string>
#include <string_view>

namespace nuvex {

// Writes the page for url and returns its path; empty (logged) when no page
// could be written, in which case the caller must not fall back to the URL.
std::string WriteRedirectPage(std::string_view url);

// True when path names a page that WriteRedirectPage wrote and has not yet removed.
bool IsRedirectPage(std::string_view path);

// The folder of the pages: $XDG_RUNTIME_DIR/nuvex-open; empty without a runtime folder.
std::string RedirectPageFolder();

namespace detail {
// The page's text: a refresh and a script that replace it by url, and a link.
std::string RedirectPageHtml(std::string_view url);
// How long a page stays before it is removed (default one minute: long
// enough for a browser that has to start first).
void SetRedirectPageLifetime(std::chrono::milliseconds lifetime);
} // namespace detail

} // namespace nuvex
