#include "lib/redirect_page.h"

#include "lib/log.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/random.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace nuvex {
namespace {

using Clock = std::chrono::steady_clock;

std::string HtmlAttribute(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A JavaScript string literal that cannot end the script element or the string.
std::string ScriptString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           std::string_view(":/?#[]@!$()*+,;=-._~%").find(c) != std::string_view::npos ||
                           u >= 0x80;
        if (plain) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string RandomName() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {};
        }
        got += static_cast<std::size_t>(n);
    }
    std::string name;
    for (unsigned char b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        name += hex;
    }
    return name + ".html";
}

// A folder that is ours alone, or false.
bool EnsurePrivateFolder(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        return false;
    }
    return (st.st_mode & 077) == 0 || ::chmod(dir.c_str(), 0700) == 0;
}

// The pages written and not yet removed, and the thread that removes them when
// their time is up. Destroyed at normal program end, which removes the rest.
class PageKeeper {
public:
    static PageKeeper& Instance() {
        static PageKeeper keeper;
        return keeper;
    }

    ~PageKeeper() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (reaper_.joinable()) {
            reaper_.join();
        }
        for (const Page& page : pages_) {
            ::unlink(page.path.c_str());
        }
    }

    void Add(std::string path) {
        std::lock_guard lock(mutex_);
        pages_.push_back({std::move(path), Clock::now() + lifetime_});
        if (!reaper_.joinable()) {
            reaper_ = std::thread([this] { Reap(); });
        }
        changed_.notify_all();
    }

    bool Holds(std::string_view path) {
        std::lock_guard lock(mutex_);
        for (const Page& page : pages_) {
            if (page.path == path) {
                return true;
            }
        }
        return false;
    }

    void SetLifetime(std::chrono::milliseconds lifetime) {
        std::lock_guard lock(mutex_);
        lifetime_ = lifetime;
    }

private:
    struct Page {
        std::string path;
        Clock::time_point expires;
    };

    void Reap() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            const auto now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (auto it = pages_.begin(); it != pages_.end();) {
                if (it->expires <= now) {
                    ::unlink(it->path.c_str());
                    it = pages_.erase(it);
                } else {
                    next = std::min(next, it->expires);
                    ++it;
                }
            }
            if (next == Clock::time_point::max()) {
                changed_.wait(lock);
            } else {
                changed_.wait_until(lock, next);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Page> pages_;
    std::chrono::milliseconds lifetime_{60'000};
    bool stopping_ = false;
    std::thread reaper_;
};

// Pages left behind by a run that did not end normally; old enough that no
// browser still needs them.
void RemoveStalePages(const std::string& dir) {
    constexpr auto kStaleAfter = std::chrono::minutes(10);
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        return;
    }
    const auto cutoff = std::chrono::system_clock::now() - kStaleAfter;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() < 5 || name.compare(name.size() - 5, 5, ".html") != 0) {
            continue;
        }
        struct stat st;
        const std::string path = dir + "/" + name;
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            std::chrono::system_clock::from_time_t(st.st_mtime) < cutoff) {
            ::unlink(path.c_str());
        }
    }
    ::closedir(d);
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string RedirectPageFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/') {
        return {};
    }
    return std::string(runtime) + "/nuvex-open";
}

std::string WriteRedirectPage(std::string_view url) {
    try {
        const std::string dir = RedirectPageFolder();
        if (dir.empty() || !EnsurePrivateFolder(dir)) {
            log::Warning("browser", "no private folder for a redirect page under $XDG_RUNTIME_DIR: " +
                                        (dir.empty() ? std::string("not set") : dir));
            return {};
        }
        RemoveStalePages(dir);
        const std::string name = RandomName();
        if (name.empty()) {
            log::Warning("browser", "no random name for a redirect page");
            return {};
        }
        std::string path = dir + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            log::Warning("browser", "cannot create " + path + ": " + std::strerror(errno));
            return {};
        }
        const bool written = WriteAll(fd, detail::RedirectPageHtml(url));
        const bool closed = ::close(fd) == 0;
        if (!written || !closed) {
            log::Warning("browser", "cannot write " + path);
            ::unlink(path.c_str());
            return {};
        }
        PageKeeper::Instance().Add(path);
        return path;
    } catch (...) {
        log::Caught("browser", "WriteRedirectPage");
        return {};
    }
}

bool IsRedirectPage(std::string_view path) {
    return PageKeeper::Instance().Holds(path);
}

namespace detail {

std::string RedirectPageHtml(std::string_view url) {
    const std::string attribute = HtmlAttribute(url);
    // replace() keeps this page out of the history, so Back does not reopen it
    // once it is gone; the refresh and the link are for pages without scripts.
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
           "<meta name=\"referrer\" content=\"no-referrer\">\n"
           "<meta http-equiv=\"refresh\" content=\"0;url=" +
           attribute +
           "\">\n<title>Opening</title>\n"
           "<script>location.replace(" +
           ScriptString(url) + ");</script>\n</head><body><a href=\"" + attribute +
           "\">Continue</a></body></html>\n";
}

void SetRedirectPageLifetime(std::chrono::milliseconds lifetime) {
    PageKeeper::Instance().SetLifetime(lifetime);
}

} // namespace detail

} // namespace nuvex
