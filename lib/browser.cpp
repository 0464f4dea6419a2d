// Opening a page in the user's browser, and the connectivity test.
#include "lib/command_line.h"
#include "lib/http.h"
#include "lib/log.h"
#include "lib/redirect_page.h"
#include "lib/url_policy.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace nuvex {
namespace {

constexpr int kAttempts = 3;
constexpr auto kRetryPause = std::chrono::milliseconds(1000);
// xdg-open usually hands the page to a running browser and ends at once; when it
// runs the browser itself, it is left alone after this and merely reaped later.
constexpr int kLaunchTimeoutMs = 10'000;
constexpr std::size_t kMaxRouteFileBytes = 1u << 20;

bool IsTrimmed(char c) {
    return static_cast<unsigned char>(c) <= ' ' || c == 0x7F;
}

// $NUVEX_BROWSER split as a command line (so a path with blanks can be quoted),
// else the desktop's opener.
std::vector<std::string> BrowserCommand() {
    const char* custom = std::getenv("NUVEX_BROWSER");
    if (custom && *custom) {
        if (auto argv = SplitCommandLine(custom)) {
            return *argv;
        }
        log::Warning("browser", "NUVEX_BROWSER has an open quote; using xdg-open");
    }
    return {"xdg-open"};
}

// What the background thread needs, taken on the caller's thread: the
// environment may be changed by the program later (setenv), and reading it from
// another thread at the same time is a data race.
struct Launch {
    std::vector<std::string> argv;
    std::vector<std::string> env;
};

enum class Outcome { Succeeded, Failed, StillRunning };

Outcome Collect(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Outcome::Succeeded : Outcome::Failed;
}

// Waits up to timeoutMs for the child to end, without polling in a loop where
// the kernel offers a descriptor for it.
Outcome WaitWithTimeout(pid_t pid, int timeoutMs) {
    int status = 0;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        ::close(pidfd);
        if (ready <= 0) {
            return Outcome::StillRunning;
        }
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return Outcome::StillRunning;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return Collect(status);
    }
    pid_t r;
    do {
        r = ::waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    // ECHILD: someone else reaped it (SIGCHLD ignored); it did start.
    return r < 0 ? Outcome::Succeeded : Collect(status);
}

void ReapWhenDone(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void RunBrowser(const Launch& launch) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(kRetryPause);
        }
        const pid_t pid = SpawnDetached(launch.argv, launch.env);
        if (pid < 0) {
            continue;
        }
        switch (WaitWithTimeout(pid, kLaunchTimeoutMs)) {
        case Outcome::Succeeded:
            return;
        case Outcome::StillRunning:
            ReapWhenDone(pid);
            return;
        case Outcome::Failed:
            break;
        }
    }
    log::Warning("browser",
                 "the browser did not open a page after " + std::to_string(kAttempts) + " attempts");
}

std::string ReadSmallFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (!in) {
        return text;
    }
    text.resize(kMaxRouteFileBytes);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::vector<std::vector<std::string>> Rows(std::string_view text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::vector<std::string> row;
        for (std::string f; fields >> f;) {
            row.push_back(f);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

unsigned long HexField(const std::string& s) {
    return std::strtoul(s.c_str(), nullptr, 16);
}

constexpr unsigned long kRouteUp = 0x0001;     // RTF_UP
constexpr unsigned long kRouteReject = 0x0200; // RTF_REJECT: "unreachable" placeholder routes

bool HasRunningInterface() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        const unsigned flags = i->ifa_flags;
        found = (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
    }
    ::freeifaddrs(list);
    return found;
}

} // namespace

namespace detail {

std::string TrimUrl(std::string_view url) {
    std::size_t first = 0, last = url.size();
    while (first < last && IsTrimmed(url[first])) {
        ++first;
    }
    while (last > first && IsTrimmed(url[last - 1])) {
        --last;
    }
    return std::string(url.substr(first, last - first));
}

// Iface Destination Gateway Flags ... with a header line first.
bool RouteTableHasDefault(std::string_view procNetRoute) {
    const auto rows = Rows(procNetRoute);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto& r = rows[i];
        if (r.size() >= 4 && r[0] != "lo" && r[1] == "00000000" && (HexField(r[3]) & kRouteUp) &&
            !(HexField(r[3]) & kRouteReject)) {
            return true;
        }
    }
    return false;
}

// Destination, prefix length, source, source prefix, next hop, metric, refs,
// use, flags, interface; no header line.
bool Ipv6RouteTableHasDefault(std::string_view procNetIpv6Route) {
    for (const auto& r : Rows(procNetIpv6Route)) {
        if (r.size() >= 10 && r[0] == std::string(32, '0') && r[1] == "00" && r[9] != "lo" &&
            (HexField(r[8]) & kRouteUp) && !(HexField(r[8]) & kRouteReject)) {
            return true;
        }
    }
    return false;
}

} // namespace detail

void OpenUrlInBrowser(const std::string& url) {
    try {
        std::string target = detail::TrimUrl(url);
        if (target.empty()) {
            return;
        }
        // Only web and mail addresses, and the redirect pages this program wrote
        // itself; a leading "-" can pass neither, so no launcher reads it as an option.
        if (!IsOpenableUrl(target) && !IsRedirectPage(target)) {
            log::Warning("browser",
                         "not opened: scheme \"" + UrlScheme(target) + "\" is not http, https or mailto");
            return;
        }
        Launch launch;
        launch.argv = BrowserCommand();
        // The URL is one argument of its own: nothing in it reaches a shell.
        launch.argv.push_back(std::move(target));
        for (char** e = environ; e && *e; ++e) {
            launch.env.emplace_back(*e);
        }
        std::thread([launch = std::move(launch)] {
            try {
                RunBrowser(launch);
            } catch (...) {
                log::Caught("browser", "OpenUrlInBrowser thread");
            }
        }).detach();
    } catch (...) {
        // No thread, no browser: the page is not opened.
        log::Caught("browser", "OpenUrlInBrowser");
    }
}

bool IsInternetConnected() {
    try {
        return detail::RouteTableHasDefault(ReadSmallFile("/proc/net/route")) ||
               detail::Ipv6RouteTableHasDefault(ReadSmallFile("/proc/net/ipv6_route")) ||
               HasRunningInterface();
    } catch (...) {
        log::Caught("browser", "IsInternetConnected");
        return false;
    }
}

} // namespace nuvex
