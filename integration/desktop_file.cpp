#include "integration/desktop_file.h"

#include "lib/command_line.h"
#include "lib/log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvex::desktop {

namespace {

constexpr std::size_t kMaxKeyFileBytes = std::size_t{256} * 1024;
// Reserved characters of the Exec key: an argument holding one is quoted.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string XdgHome(const char* var, const char* fallback) {
    std::string dir = Env(var);
    // A relative value is invalid by the base-directory rules and is ignored.
    if (!dir.empty() && dir.front() == '/') {
        return dir;
    }
    const std::string home = Env("HOME");
    return home.empty() ? std::string() : home + fallback;
}

std::string UnescapeValue(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 >= v.size()) {
            out += v[i];
            continue;
        }
        const char n = v[++i];
        switch (n) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            out += n;
        }
    }
    return out;
}

bool MakeFolders(const std::filesystem::path& dir) {
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec)) {
        return true;
    }
    std::filesystem::path built;
    for (const auto& part : dir) {
        built /= part;
        if (std::filesystem::is_directory(built, ec)) {
            continue;
        }
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return std::filesystem::is_directory(dir, ec);
}

} // namespace

std::string DataHome() {
    return XdgHome("XDG_DATA_HOME", "/.local/share");
}

std::string ConfigHome() {
    return XdgHome("XDG_CONFIG_HOME", "/.config");
}

bool IsSafeValue(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string QuoteExecArg(std::string_view word) {
    std::string body;
    bool quote = word.empty();
    for (char c : word) {
        if (kReserved.find(c) != std::string_view::npos) {
            quote = true;
        }
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            body += '\\';
        }
        if (c == '%') {
            body += '%';
        }
        body += c;
    }
    return quote ? "\"" + body + "\"" : body;
}

std::string EscapeValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::optional<std::vector<std::string>> SplitExec(std::string_view value) {
    auto words = SplitCommandLine(UnescapeValue(value));
    if (!words) {
        return std::nullopt;
    }
    for (std::string& word : *words) {
        std::string out;
        for (std::size_t i = 0; i < word.size(); ++i) {
            out += word[i];
            if (word[i] == '%' && i + 1 < word.size() && word[i + 1] == '%') {
                ++i;
            }
        }
        word = std::move(out);
    }
    return words;
}

std::string KeyFile::Get(const std::string& group, const std::string& key) const {
    auto g = groups.find(group);
    if (g == groups.end()) {
        return {};
    }
    auto k = g->second.find(key);
    return k == g->second.end() ? std::string() : k->second;
}

std::optional<KeyFile> ReadKeyFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) ||
        std::filesystem::file_size(path, ec) > kMaxKeyFileBytes || ec) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    KeyFile file;
    std::string group;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            const std::size_t end = line.find(']');
            group = line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
            if (file.groups.emplace(group, std::map<std::string, std::string>{}).second) {
                file.groupOrder.push_back(group);
            }
            continue;
        }
        if (group.empty()) {
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, eq);
        while (!key.empty() && key.back() == ' ') {
            key.pop_back();
        }
        std::size_t start = eq + 1;
        while (start < line.size() && line[start] == ' ') {
            ++start;
        }
        // The first of a duplicated key counts, as in the desktop's own readers.
        file.groups[group].emplace(std::move(key), line.substr(start));
    }
    return file;
}

namespace {

// True when path is already a regular file (not a link) with this content
// and these permission bits. Each settings change makes every account's
// entries again; rewriting and syncing identical files made that cost
// seconds with a few hundred accounts.
bool AlreadyWritten(const std::string& path, std::string_view content, unsigned mode) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == mode &&
                st.st_uid == ::geteuid() && static_cast<std::size_t>(st.st_size) == content.size();
    std::string buffer(same ? content.size() + 1 : 0, '\0');
    std::size_t done = 0;
    while (same && done < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            same = n == 0 && done == content.size(); // end of file where expected
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return same && done == content.size() && std::string_view(buffer.data(), done) == content;
}

} // namespace

bool WriteFileAtomic(const std::string& path, std::string_view content, unsigned mode) {
    if (AlreadyWritten(path, content, mode)) {
        return true;
    }
    const std::filesystem::path target(path);
    if (!MakeFolders(target.parent_path())) {
        log::Warning("integration", "cannot create the folder " + target.parent_path().string());
        return false;
    }
    // Short and without the final suffix: a long target name must still fit, and
    // nobody lists the half-written file as an entry.
    std::string tmp = target.parent_path().string() + "/.nuvex-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        log::Warning("integration", "cannot create a file beside " + path + ": " + std::strerror(errno));
        return false;
    }
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
    std::size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        log::Warning("integration", "cannot write " + path + ": " + std::strerror(errno));
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace nuvex::desktop
