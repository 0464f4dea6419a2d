#include "lib/files.h"

#include "lib/log.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvex {

namespace fs = std::filesystem;

namespace {

// Bounds for a walk over a tree that someone else controls.
constexpr std::size_t kMaxExpandedEntries = 100'000;
constexpr int kMaxExpandPasses = 256;

std::string JoinPath(std::string_view folder, std::string_view name) {
    if (folder.empty()) {
        return std::string(name);
    }
    std::string out(folder);
    if (out.back() != '/') {
        out.push_back('/');
    }
    out += name;
    return out;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool FindFiles(std::string_view mask, std::vector<std::string>& list, bool withFolder, FindWhat what) {
    try {
        std::string folder;
        std::string pattern(mask);
        if (auto slash = mask.rfind('/'); slash != std::string_view::npos) {
            folder = std::string(mask.substr(0, slash + 1));
            pattern = std::string(mask.substr(slash + 1));
        }
        if (pattern == "*.*" || pattern.empty()) {
            pattern = "*"; // the all-files mask, also for names without a dot
        }
        std::error_code ec;
        fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), ec);
        if (ec) {
            return false;
        }
        std::vector<std::string> found;
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name == "." || name == ".." || ::fnmatch(pattern.c_str(), name.c_str(), 0) != 0) {
                continue;
            }
            if (what != FindWhat::All) {
                bool dir = it->is_directory(ec);
                if ((what == FindWhat::Folders) != dir) {
                    continue;
                }
            }
            found.push_back(withFolder ? folder + name : name);
        }
        if (ec) {
            return false;
        }
        std::sort(found.begin(), found.end());
        list.insert(list.end(), found.begin(), found.end());
        return true;
    } catch (...) {
        log::Caught("files", "FindFiles");
        return false;
    }
}

void ExpandFolders(std::vector<std::string>& list) {
    try {
        std::set<std::string> seen;
        bool expanded = true;
        for (int pass = 0; expanded && pass < kMaxExpandPasses; ++pass) {
            expanded = false;
            // Last to first: what is appended lies behind the walk and waits
            // for the next pass.
            for (std::size_t i = list.size(); i-- > 0;) {
                if (!IsFolder(list[i])) {
                    continue;
                }
                std::error_code ec;
                std::string real = fs::canonical(list[i], ec).string();
                if (ec || seen.insert(real).second) {
                    std::vector<std::string> entries;
                    std::string folder = list[i];
                    if (folder.back() != '/') {
                        folder.push_back('/');
                    }
                    FindFiles(folder + "*", entries, true);
                    std::size_t room =
                        kMaxExpandedEntries > list.size() ? kMaxExpandedEntries - list.size() : 0;
                    if (entries.size() > room) {
                        entries.resize(room);
                    }
                    list.insert(list.end(), entries.begin(), entries.end());
                }
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
                expanded = true;
            }
        }
    } catch (...) {
        log::Caught("files", "ExpandFolders");
        // The list keeps what was expanded so far.
    }
}

bool DeleteFileNowOrAtRestart(const std::string& path, bool tryNow) {
    if (tryNow) {
        ::unlink(path.c_str());
    }
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

std::string ExpandPath(std::string_view text) {
    try {
        if (text.find('%') != std::string_view::npos) {
            std::string out;
            std::size_t i = 0;
            while (i < text.size()) {
                std::size_t p = text.find('%', i);
                std::size_t q = p == std::string_view::npos ? p : text.find('%', p + 1);
                if (q == std::string_view::npos) {
                    out.append(text.substr(i));
                    break;
                }
                out.append(text.substr(i, p - i));
                std::string name(text.substr(p + 1, q - p - 1));
                const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
                if (value) {
                    out += value;
                    i = q + 1;
                } else {
                    // Unknown: keep "%NAME" and let the closing "%" open the next one.
                    out.append(text.substr(p, q - p));
                    i = q;
                }
            }
            return out;
        }
        if (text.empty()) {
            return std::string(text);
        }
        std::error_code ec;
        if (text.find('/') != std::string_view::npos) {
            fs::path p(text);
            if (fs::exists(p, ec)) {
                return fs::absolute(p, ec).lexically_normal().string();
            }
            return std::string(text);
        }
        const char* path = std::getenv("PATH");
        std::string_view dirs = path ? path : "";
        while (!dirs.empty()) {
            std::size_t colon = dirs.find(':');
            std::string_view dir = dirs.substr(0, colon);
            dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
            if (dir.empty() || dir.front() != '/') {
                continue; // relative entries would search the current folder
            }
            std::string candidate = JoinPath(dir, text);
            if (fs::is_regular_file(candidate, ec)) {
                return candidate;
            }
        }
        return std::string(text);
    } catch (...) {
        log::Caught("files", "ExpandPath");
        return std::string(text);
    }
}

std::string ReadFileText(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::size_t>(st.st_size) <= kMaxFileTextBytes) {
        try {
            // Files under /proc report size 0, so read to the end but never past the bound.
            char buf[65536];
            for (;;) {
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    if (n < 0) {
                        out.clear();
                    }
                    break;
                }
                if (out.size() + static_cast<std::size_t>(n) > kMaxFileTextBytes) {
                    out.clear();
                    break;
                }
                out.append(buf, static_cast<std::size_t>(n));
            }
        } catch (...) {
            log::Caught("files", "ReadFileText");
            out.clear();
        }
    }
    ::close(fd);
    return out;
}

std::string FormatThousands(double number) {
    if (!std::isfinite(number)) {
        return "0";
    }
    char digits[400];
    std::snprintf(digits, sizeof digits, "%.0f", std::round(number));
    std::string_view text = digits;
    bool negative = !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    if (text == "0") {
        negative = false; // no "-0"
    }
    const lconv* lc = std::localeconv();
    std::string sep = lc && lc->thousands_sep ? lc->thousands_sep : "";
    std::string grouping = lc && lc->grouping ? lc->grouping : "";
    if (sep.empty() || grouping.empty()) {
        return (negative ? "-" : "") + std::string(text);
    }
    // Group from the right: each grouping byte is a group size, the last one
    // repeats, CHAR_MAX ends grouping.
    std::string out;
    std::size_t end = text.size();
    std::size_t gi = 0;
    int size = static_cast<unsigned char>(grouping[0]);
    while (end > 0) {
        if (size <= 0 || size == CHAR_MAX || static_cast<std::size_t>(size) >= end) {
            out.insert(0, text.substr(0, end));
            break;
        }
        out.insert(0, text.substr(end - static_cast<std::size_t>(size), static_cast<std::size_t>(size)));
        out.insert(0, sep);
        end -= static_cast<std::size_t>(size);
        if (gi + 1 < grouping.size()) {
            size = static_cast<unsigned char>(grouping[++gi]);
        }
    }
    return (negative ? "-" : "") + out;
}

} // namespace nuvex
