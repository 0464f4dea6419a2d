#pragma once
// A headless Chromium driven over the DevTools protocol on a pipe
// (--remote-debugging-pipe): the browser reads NUL-terminated JSON commands on
// its fd 3 and writes replies and events on its fd 4. No debugging port is
// opened, so no other local user can drive the browser. The browser runs in
// its own process group with a fresh profile in a 0700 folder; Close() (and
// the destructor) ends the whole group and removes the profile. Profiles left
// behind by a process that was killed are removed by the next launch: only
// folders carrying our marker file whose owner process is gone.
//
// Qt-free; every wait has a time-out and can be cut short by cancel fds.
#include "lib/json_value.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace nuvex::devtools {

// The marker file that makes a profile folder one of ours.
inline constexpr std::string_view kProfileMarker = ".nuvex-browser-profile";

// Splits the browser's byte stream into messages. A message longer than the
// bound (without its NUL) makes the stream unusable: Feed answers false.
class FrameReader {
public:
    explicit FrameReader(std::size_t maxMessageBytes) : max_(maxMessageBytes) {}
    // Appends bytes; false once a message has grown past the bound.
    bool Feed(std::string_view bytes);
    // The next whole message, if one is complete.
    std::optional<std::string> Next();

private:
    std::size_t max_;
    std::string buffer_;
    std::deque<std::string> ready_;
};

struct LaunchOptions {
    std::string program;     // path of the browser program
    std::string profileRoot; // parent of the per-launch profile folders
    int startTimeoutMs = 20'000;
    int graceMs = 2'000; // between SIGTERM and SIGKILL of the group
    std::size_t maxMessageBytes = std::size_t{16} * 1024 * 1024;
    // Readable fds (eventfds) that end any wait at once.
    std::vector<int> cancelFds;
    // Dismiss a page's alert, confirm and prompt boxes as soon as they open:
    // nobody sees them, and an open one stops the page's scripts (and any
    // call waiting on them).
    bool dismissDialogs = true;
};

// The browser program: the override when not empty (a path, or a name looked
// up on PATH), else "chromium" on PATH. nullopt when it is not there.
std::optional<std::string> FindBrowserProgram(const std::string& override);

// $XDG_RUNTIME_DIR/nuvex-browser, else $XDG_CACHE_HOME/nuvex/browser
// (~/.cache/nuvex/browser); empty when none of them can be named.
std::string DefaultProfileRoot();

// Removes the profile folders under root whose owner process is gone, after
// ending what is left of their browser's process group (only processes whose
// command line names that very profile). Answers how many were removed.
int RemoveStaleProfiles(const std::string& root);

// The process-wide count of running browsers and the most that ever ran at
// once (for the serialisation check and the benchmark).
int LiveBrowsers();
int MostBrowsersAtOnce();
// Process groups of the running browsers.
std::vector<pid_t> LiveBrowserGroups();
// The processes of a process group that still run (zombies not counted).
std::vector<pid_t> GroupProcesses(pid_t group);

enum class WaitStatus {
    Ok,
    Timeout,
    Cancelled, // a cancel fd became readable
    Closed,    // the browser went away or broke the protocol
};

struct Reply {
    WaitStatus status = WaitStatus::Closed;
    json::Value result; // "result" of the reply
    std::string error;  // the browser's error message, or why there was no reply
    bool Ok() const { return status == WaitStatus::Ok && error.empty(); }
};

class Browser {
public:
    // Starts the browser and waits until it answers; nullptr with the reason
    // in error otherwise (nothing is left running then).
    static std::unique_ptr<Browser> Launch(const LaunchOptions& options, std::string& error);
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Sends a command (to a target's session when sessionId is not empty) and
    // waits for its reply; events that arrive meanwhile are kept for NextEvent.
    Reply Call(std::string_view method, json::Value params, const std::string& sessionId, int timeoutMs);
    // The next event ("method" and "params"), waiting at most timeoutMs.
    WaitStatus NextEvent(json::Value& event, int timeoutMs);

    // Ends the process group (SIGTERM, SIGKILL after the grace) and removes
    // the profile folder. Safe to call more than once.
    void Close();

    pid_t Pid() const { return pid_; }
    const std::string& ProfileDir() const { return profile_; }

private:
    Browser() = default;
    bool Send(const std::string& text, int timeoutMs);
    // Keeps an event for NextEvent, dismissing a dialog on the way.
    void KeepEvent(json::Value event);
    WaitStatus ReadSome(int timeoutMs);
    // Whether a cancel fd is readable now.
    bool Cancelled() const;

    pid_t pid_ = -1;
    int toBrowser_ = -1;
    int fromBrowser_ = -1;
    int pidFd_ = -1;
    int graceMs_ = 2000;
    std::string profile_;
    std::string temp_; // TMPDIR of the browser: the profile's tmp/, or a short private folder
    std::vector<int> cancelFds_;
    std::unique_ptr<FrameReader> reader_;
    std::deque<json::Value> events_;
    std::int64_t nextId_ = 1;
    bool broken_ = false;
    bool counted_ = false;
    bool dismissDialogs_ = true;
};

} // namespace nuvex::devtools
