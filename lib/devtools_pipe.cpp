#include "lib/devtools_pipe.h"

#include "lib/log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace nuvex::devtools {

namespace fs = std::filesystem;

namespace {

using SteadyClock = std::chrono::steady_clock;

std::mutex gLiveMutex;
std::vector<pid_t> gLiveGroups;
int gMostAtOnce = 0;

void NoteStarted(pid_t group) {
    std::lock_guard lock(gLiveMutex);
    gLiveGroups.push_back(group);
    gMostAtOnce = std::max(gMostAtOnce, static_cast<int>(gLiveGroups.size()));
}

void NoteEnded(pid_t group) {
    std::lock_guard lock(gLiveMutex);
    auto it = std::find(gLiveGroups.begin(), gLiveGroups.end(), group);
    if (it != gLiveGroups.end()) {
        gLiveGroups.erase(it);
    }
}

int RemainingMs(SteadyClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1'000'000));
}

// Moves fd to a number of at least 10, close-on-exec, so that the child's
// dup2 onto 3 and 4 never meets one of its own sources.
int HighFd(int fd) {
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return high;
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::string ReadSmallFile(const std::string& path, std::size_t bound) {
    std::ifstream in(path, std::ios::binary);
    std::string text(bound, '\0');
    in.read(text.data(), static_cast<std::streamsize>(bound));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// Field 22 of /proc/<pid>/stat (the start time in clock ticks), and the
// process group (field 5); nullopt when the process is gone.
struct ProcStat {
    pid_t group = 0;
    unsigned long long startTime = 0;
    char state = '?';
};

std::optional<ProcStat> ReadProcStat(pid_t pid) {
    std::string text = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(text.substr(close + 1));
    ProcStat st;
    std::string field;
    rest >> st.state;
    // Fields 4 (ppid) and 5 (pgrp) follow the state; the start time is field 22.
    std::string ppid;
    rest >> ppid >> st.group;
    for (int i = 6; i < 22 && rest >> field; ++i) {
    }
    rest >> st.startTime;
    if (!rest) {
        return std::nullopt;
    }
    return st;
}

bool ProcessAlive(pid_t pid, unsigned long long startTime) {
    if (pid <= 0) {
        return false;
    }
    std::optional<ProcStat> st = ReadProcStat(pid);
    return st && st->state != 'Z' && st->startTime == startTime;
}

// The live processes of group whose command line holds needle (empty: any).
std::vector<pid_t> GroupMembers(pid_t group, const std::string& needle) {
    std::vector<pid_t> members;
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        return members;
    }
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        std::optional<ProcStat> st = ReadProcStat(static_cast<pid_t>(pid));
        if (!st || st->group != group || st->state == 'Z') {
            continue;
        }
        if (!needle.empty()) {
            std::string cmdline =
                ReadSmallFile("/proc/" + std::to_string(pid) + "/cmdline", std::size_t{64} * 1024);
            if (cmdline.find(needle) == std::string::npos) {
                continue;
            }
        }
        members.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return members;
}

std::string UserDataArg(const std::string& profile) {
    return "--user-data-dir=" + profile;
}

// Waits until group has no live member left, at most timeoutMs.
bool WaitGroupGone(pid_t group, int timeoutMs) {
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (GroupMembers(group, {}).empty()) {
            return true;
        }
        if (SteadyClock::now() >= deadline) {
            return false;
        }
        // Children of a killed browser are reaped by whoever adopts them; a
        // short pause lets that happen (there is nothing to wait on here).
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Chromium makes its singleton socket at
// "$TMPDIR/.org.chromium.Chromium.XXXXXX/SingletonSocket", 44 bytes past the
// folder, and a socket's path has room for 107: a longer temp folder and the
// browser aborts at start. The profile's own tmp/ is used while it is short
// enough, else a private folder in the system's temp folder.
constexpr std::size_t kMaxBrowserTempPath = 60;
constexpr std::string_view kShortTempPrefix = "/tmp/nuvex-";

// A private folder made by ShortTempFolder, and still this user's.
bool IsOurShortTemp(const std::string& path) {
    struct stat st {};
    return path.starts_with(kShortTempPrefix) &&
           path.find('/', kShortTempPrefix.size()) == std::string::npos && ::lstat(path.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

std::string ShortTempFolder(std::string& error) {
    std::string pattern = std::string(kShortTempPrefix) + "XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a temp folder for the browser in /tmp: " + std::string(std::strerror(errno));
        return {};
    }
    return pattern;
}

void RemoveTemp(const std::string& path) {
    if (!IsOurShortTemp(path)) {
        return;
    }
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) {
        log::Warning("browser", "cannot remove the browser's temp folder " + path + ": " + ec.message());
    }
}

bool WriteMarker(const std::string& profile, const std::string& temp, pid_t group) {
    std::optional<ProcStat> self = ReadProcStat(::getpid());
    std::ofstream out(profile + "/" + std::string(kProfileMarker), std::ios::trunc);
    out << "owner " << ::getpid() << " " << (self ? self->startTime : 0) << "\n";
    if (group > 0) {
        out << "group " << group << "\n";
    }
    if (temp.starts_with(kShortTempPrefix)) {
        out << "temp " << temp << "\n";
    }
    out.flush();
    return static_cast<bool>(out);
}

// A private folder for the profiles: created 0700 when missing; refused when
// it is a link or belongs to someone else.
bool PrepareRoot(const std::string& root, std::string& error) {
    std::error_code ec;
    fs::create_directories(root, ec);
    struct stat st {};
    if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        error = "the profile folder " + root + " is not a folder of this user";
        return false;
    }
    if ((st.st_mode & 0777) != 0700 && ::chmod(root.c_str(), 0700) != 0) {
        error = "cannot make " + root + " private";
        return false;
    }
    return true;
}

std::vector<std::string> ChildEnvironment(const std::string& profile, const std::string& temp) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        if (entry.starts_with("TMPDIR=") || entry.starts_with("XDG_CONFIG_HOME=") ||
            entry.starts_with("XDG_CACHE_HOME=")) {
            continue;
        }
        env.emplace_back(entry);
    }
    // Whatever the browser writes besides the profile stays in folders of
    // its own, removed with the profile.
    env.push_back("TMPDIR=" + temp);
    env.push_back("XDG_CONFIG_HOME=" + profile + "/config");
    env.push_back("XDG_CACHE_HOME=" + profile + "/cache");
    return env;
}

std::vector<std::string> BrowserArguments(const std::string& program, const std::string& profile) {
    std::vector<std::string> args = {
        program,
        "--headless",
        "--remote-debugging-pipe",
        UserDataArg(profile),
        "--disk-cache-dir=" + profile + "/cache",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-gpu",
        "--disable-extensions",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-default-apps",
        "--disable-breakpad",
        "--password-store=basic",
        "--mute-audio",
        "--noerrdialogs",
        // A sign-in page's pop-up would be a second window nobody sees.
        "--block-new-web-contents",
    };
    if (::geteuid() == 0) {
        // Chromium refuses to start as root with its sandbox on.
        args.emplace_back("--no-sandbox");
    }
    args.emplace_back("about:blank");
    return args;
}

} // namespace

bool FrameReader::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t nul = bytes.find('\0');
        std::string_view part = bytes.substr(0, nul);
        if (buffer_.size() + part.size() > max_) {
            buffer_.clear();
            return false;
        }
        buffer_.append(part);
        if (nul == std::string_view::npos) {
            break;
        }
        ready_.push_back(std::move(buffer_));
        buffer_.clear();
        bytes.remove_prefix(nul + 1);
    }
    return true;
}

std::optional<std::string> FrameReader::Next() {
    if (ready_.empty()) {
        return std::nullopt;
    }
    std::string message = std::move(ready_.front());
    ready_.pop_front();
    return message;
}

std::optional<std::string> FindBrowserProgram(const std::string& override) {
    std::string name = override.empty() ? std::string("chromium") : override;
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), X_OK) == 0 && !fs::is_directory(name)) {
            return name;
        }
        return std::nullopt;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        std::size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
        if (dir.empty()) {
            continue; // an empty entry would mean the working folder
        }
        std::string candidate = dir + "/" + name;
        std::error_code ec;
        if (::access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate, ec)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string DefaultProfileRoot() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        return std::string(runtime) + "/nuvex-browser";
    }
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/') {
        return std::string(cache) + "/nuvex/browser";
    }
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        return std::string(home) + "/.cache/nuvex/browser";
    }
    return {};
}

int RemoveStaleProfiles(const std::string& root) {
    int removed = 0;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (!it->is_directory(kind) || it->is_symlink(kind)) {
            continue;
        }
        std::string dir = it->path().string();
        std::string marker = ReadSmallFile(dir + "/" + std::string(kProfileMarker), 4096);
        std::istringstream lines(marker);
        std::string word;
        long owner = 0;
        unsigned long long ownerStart = 0;
        long group = 0;
        std::string temp;
        bool haveOwner = false;
        while (lines >> word) {
            if (word == "owner" && lines >> owner >> ownerStart) {
                haveOwner = true;
            } else if (word == "group") {
                lines >> group;
            } else if (word == "temp") {
                lines >> temp;
            }
        }
        if (!haveOwner || ProcessAlive(static_cast<pid_t>(owner), ownerStart)) {
            continue; // not ours, or its owner still runs it
        }
        if (group > 1 && !GroupMembers(static_cast<pid_t>(group), UserDataArg(dir)).empty()) {
            log::Warning("browser", "ending the browser left running by process " + std::to_string(owner));
            ::kill(-static_cast<pid_t>(group), SIGKILL);
            WaitGroupGone(static_cast<pid_t>(group), 2000);
        }
        RemoveTemp(temp);
        std::error_code gone;
        fs::remove_all(dir, gone);
        if (gone) {
            log::Warning("browser", "cannot remove the profile folder " + dir + ": " + gone.message());
        } else {
            ++removed;
        }
    }
    return removed;
}

int LiveBrowsers() {
    std::lock_guard lock(gLiveMutex);
    return static_cast<int>(gLiveGroups.size());
}

int MostBrowsersAtOnce() {
    std::lock_guard lock(gLiveMutex);
    return gMostAtOnce;
}

std::vector<pid_t> LiveBrowserGroups() {
    std::lock_guard lock(gLiveMutex);
    return gLiveGroups;
}

std::vector<pid_t> GroupProcesses(pid_t group) {
    return GroupMembers(group, {});
}

std::unique_ptr<Browser> Browser::Launch(const LaunchOptions& options, std::string& error) {
    if (options.profileRoot.empty() || !PrepareRoot(options.profileRoot, error)) {
        if (error.empty()) {
            error = "no folder for the browser profile";
        }
        return nullptr;
    }
    RemoveStaleProfiles(options.profileRoot);

    std::unique_ptr<Browser> browser(new Browser());
    browser->graceMs_ = options.graceMs;
    browser->dismissDialogs_ = options.dismissDialogs;
    browser->cancelFds_ = options.cancelFds;
    browser->reader_ = std::make_unique<FrameReader>(options.maxMessageBytes);

    std::string pattern = options.profileRoot + "/profile-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a profile folder under " + options.profileRoot + ": " + std::strerror(errno);
        return nullptr;
    }
    browser->profile_ = pattern;
    for (const char* sub : {"/tmp", "/config", "/cache"}) {
        ::mkdir((pattern + sub).c_str(), 0700);
    }
    browser->temp_ = pattern + "/tmp";
    if (browser->temp_.size() > kMaxBrowserTempPath) {
        browser->temp_ = ShortTempFolder(error);
        if (browser->temp_.empty()) {
            browser->Close();
            return nullptr;
        }
    }
    if (!WriteMarker(pattern, browser->temp_, 0)) {
        error = "cannot write the profile marker";
        browser->Close();
        return nullptr;
    }

    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        error = std::string("cannot make the pipes: ") + std::strerror(errno);
        for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        browser->Close();
        return nullptr;
    }
    int childIn = HighFd(toChild[0]);
    int childOut = HighFd(fromChild[1]);
    browser->toBrowser_ = HighFd(toChild[1]);
    browser->fromBrowser_ = HighFd(fromChild[0]);

    std::vector<std::string> args = BrowserArguments(options.program, pattern);
    std::vector<std::string> env = ChildEnvironment(pattern, browser->temp_);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, childIn, 3);
    posix_spawn_file_actions_adddup2(&actions, childOut, 4);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, options.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(childIn);
    ::close(childOut);
    if (rc != 0) {
        error = "cannot start " + options.program + ": " + std::strerror(rc);
        browser->Close();
        return nullptr;
    }
    browser->pid_ = pid;
    browser->counted_ = true;
    NoteStarted(pid);
    WriteMarker(pattern, browser->temp_, pid);
    if (::geteuid() == 0) {
        log::Info("browser", "running as root: the browser is started with --no-sandbox");
    }
    browser->pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ::fcntl(browser->fromBrowser_, F_SETFL, ::fcntl(browser->fromBrowser_, F_GETFL) | O_NONBLOCK);
    ::fcntl(browser->toBrowser_, F_SETFL, ::fcntl(browser->toBrowser_, F_GETFL) | O_NONBLOCK);

    Reply hello = browser->Call("Browser.getVersion", json::Object{}, {}, options.startTimeoutMs);
    if (!hello.Ok()) {
        error = "the browser did not answer: " + hello.error;
        browser->Close();
        return nullptr;
    }
    return browser;
}

Browser::~Browser() {
    Close();
}

bool Browser::Cancelled() const {
    for (int fd : cancelFds_) {
        pollfd p{fd, POLLIN, 0};
        if (fd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            return true;
        }
    }
    return false;
}

bool Browser::Send(const std::string& text, int timeoutMs) {
    if (broken_ || toBrowser_ < 0) {
        return false;
    }
    // A browser that died closes its end: the write must fail with EPIPE,
    // not raise SIGPIPE in the whole program.
    sigset_t pipeSet;
    sigset_t old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    std::string frame = text;
    frame.push_back('\0');
    std::size_t done = 0;
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    bool ok = true;
    while (done < frame.size()) {
        ssize_t n = ::write(toBrowser_, frame.data() + done, frame.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd p{toBrowser_, POLLOUT, 0};
            int left = RemainingMs(deadline);
            if (left > 0 && ::poll(&p, 1, left) > 0) {
                continue;
            }
        }
        ok = false;
        break;
    }
    if (!ok && !wasPending) {
        timespec zero{0, 0};
        while (::sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!ok) {
        broken_ = true;
    }
    return ok;
}

WaitStatus Browser::ReadSome(int timeoutMs) {
    if (broken_ || fromBrowser_ < 0) {
        return WaitStatus::Closed;
    }
    std::vector<pollfd> fds{{fromBrowser_, POLLIN, 0}};
    for (int fd : cancelFds_) {
        if (fd >= 0) {
            fds.push_back({fd, POLLIN, 0});
        }
    }
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0) {
        return errno == EINTR ? WaitStatus::Timeout : WaitStatus::Closed;
    }
    if (n == 0) {
        return WaitStatus::Timeout;
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents & POLLIN) {
            return WaitStatus::Cancelled;
        }
    }
    char chunk[64 * 1024];
    // At most this much per call, so a writer that never pauses cannot keep
    // the reader here; the rest is read on the next call.
    for (int reads = 0; reads < 16; ++reads) {
        ssize_t got = ::read(fromBrowser_, chunk, sizeof chunk);
        if (got > 0) {
            if (!reader_->Feed(std::string_view(chunk, static_cast<std::size_t>(got)))) {
                log::Warning("browser", "the browser sent a message over the size bound");
                broken_ = true;
                return WaitStatus::Closed;
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno == EAGAIN) {
            return WaitStatus::Ok;
        }
        broken_ = true; // end of the stream: the browser is gone
        return WaitStatus::Closed;
    }
    return WaitStatus::Ok;
}

Reply Browser::Call(std::string_view method, json::Value params, const std::string& sessionId,
                    int timeoutMs) {
    Reply reply;
    const std::int64_t id = nextId_++;
    json::Object message{{"id", id}, {"method", std::string(method)}, {"params", std::move(params)}};
    if (!sessionId.empty()) {
        message.emplace_back("sessionId", sessionId);
    }
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    if (Cancelled()) {
        reply.status = WaitStatus::Cancelled;
        reply.error = "cancelled";
        return reply;
    }
    if (!Send(json::Value(std::move(message)).Dump(), timeoutMs)) {
        reply.error = "the browser is gone";
        return reply;
    }
    for (;;) {
        while (std::optional<std::string> text = reader_->Next()) {
            // A browser that floods the pipe must not hold the caller past its time.
            if (RemainingMs(deadline) == 0) {
                break;
            }
            std::optional<json::Value> value = text->empty() ? std::nullopt : json::Parse(*text);
            if (!value) {
                continue; // not JSON: nothing of ours
            }
            if ((*value)["id"].AsInt(-1) == id) {
                reply.status = WaitStatus::Ok;
                reply.result = (*value)["result"];
                if ((*value).Has("error")) {
                    reply.error = (*value)["error"]["message"].AsString("error");
                }
                return reply;
            }
            if ((*value).Has("method")) {
                KeepEvent(std::move(*value));
            }
        }
        int left = RemainingMs(deadline);
        if (left == 0) {
            reply.status = WaitStatus::Timeout;
            reply.error = "no answer to " + std::string(method) + " in time";
            return reply;
        }
        WaitStatus status = ReadSome(left);
        if (status == WaitStatus::Cancelled || status == WaitStatus::Closed) {
            reply.status = status;
            reply.error = status == WaitStatus::Cancelled ? "cancelled" : "the browser is gone";
            return reply;
        }
    }
}

void Browser::KeepEvent(json::Value event) {
    if (dismissDialogs_ && event["method"].AsString() == "Page.javascriptDialogOpening") {
        // Sent without waiting: the reply is one nobody asks for, and is dropped.
        json::Object dismiss{{"id", nextId_++},
                             {"method", "Page.handleJavaScriptDialog"},
                             {"params", json::Object{{"accept", false}}}};
        if (event.Has("sessionId")) {
            dismiss.emplace_back("sessionId", event["sessionId"].AsString());
        }
        Send(json::Value(std::move(dismiss)).Dump(), 1000);
    }
    // Events nobody reads must not pile up without bound.
    if (events_.size() >= 1000) {
        events_.pop_front();
    }
    events_.push_back(std::move(event));
}

WaitStatus Browser::NextEvent(json::Value& event, int timeoutMs) {
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (std::optional<std::string> text = reader_->Next()) {
            if (RemainingMs(deadline) == 0) {
                break;
            }
            std::optional<json::Value> value = text->empty() ? std::nullopt : json::Parse(*text);
            if (value && value->Has("method")) {
                KeepEvent(std::move(*value));
            }
        }
        if (!events_.empty()) {
            event = std::move(events_.front());
            events_.pop_front();
            return WaitStatus::Ok;
        }
        int left = RemainingMs(deadline);
        if (left == 0) {
            return WaitStatus::Timeout;
        }
        WaitStatus status = ReadSome(left);
        if (status != WaitStatus::Ok && status != WaitStatus::Timeout) {
            return status;
        }
    }
}

void Browser::Close() {
    if (pid_ > 0) {
        // Without its pipe the browser shuts down on its own; the signals
        // are for one that hangs.
        CloseFd(toBrowser_);
        auto exited = [this](int waitMs) {
            if (pidFd_ >= 0) {
                pollfd p{pidFd_, POLLIN, 0};
                ::poll(&p, 1, waitMs);
            } else {
                auto deadline = SteadyClock::now() + std::chrono::milliseconds(waitMs);
                while (::waitpid(pid_, nullptr, WNOHANG) == 0 && SteadyClock::now() < deadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            return ::waitpid(pid_, nullptr, WNOHANG) != 0;
        };
        bool gone = exited(graceMs_);
        if (!gone) {
            ::kill(-pid_, SIGTERM);
            gone = exited(graceMs_);
        }
        // Helpers of the browser may outlive it: the whole group goes.
        ::kill(-pid_, SIGKILL);
        if (!gone) {
            ::waitpid(pid_, nullptr, 0);
        }
        if (!WaitGroupGone(pid_, 2000)) {
            log::Warning("browser",
                         "processes of browser group " + std::to_string(pid_) + " are still there");
        }
        if (counted_) {
            NoteEnded(pid_);
            counted_ = false;
        }
        pid_ = -1;
    }
    CloseFd(toBrowser_);
    CloseFd(fromBrowser_);
    CloseFd(pidFd_);
    if (!profile_.empty()) {
        std::error_code ec;
        fs::remove_all(profile_, ec);
        if (ec) {
            log::Warning("browser", "cannot remove the profile folder " + profile_ + ": " + ec.message());
        }
        profile_.clear();
    }
    RemoveTemp(temp_);
    temp_.clear();
}

} // namespace nuvex::devtools
