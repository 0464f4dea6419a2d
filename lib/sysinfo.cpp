#include "lib/sysinfo.h"

#include "lib/files.h"

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace nuvex {

namespace {

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') {
        path.push_back('/');
    }
    return path;
}

std::string EnvPath(const char* name) {
    const char* v = std::getenv(name);
    return v && v[0] == '/' ? std::string(v) : std::string();
}

std::string ConfigHome() {
    std::string v = EnvPath("XDG_CONFIG_HOME");
    return v.empty() ? HomeFolder() + "/.config" : v;
}

std::string DataHome() {
    std::string v = EnvPath("XDG_DATA_HOME");
    return v.empty() ? HomeFolder() + "/.local/share" : v;
}

// One entry of user-dirs.dirs, e.g. XDG_DESKTOP_DIR="$HOME/Desktop". Empty
// when the file or the entry is missing or the value is not a path.
std::string UserDir(std::string_view key) {
    std::string text = ReadFileText(ConfigHome() + "/user-dirs.dirs");
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (!line.starts_with(key) || line.substr(key.size()).find('=') != 0) {
            continue;
        }
        std::string_view value = line.substr(key.size() + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.starts_with("$HOME/")) {
            return HomeFolder() + std::string(value.substr(5));
        }
        if (value == "$HOME") {
            return HomeFolder();
        }
        if (value.starts_with("/")) {
            return std::string(value);
        }
    }
    return {};
}

} // namespace

std::string HomeFolder() {
    std::string home = EnvPath("HOME");
    if (!home.empty()) {
        while (home.size() > 1 && home.back() == '/') {
            home.pop_back();
        }
        return home;
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    return "/tmp";
}

const SystemFacts& SysInfo() {
    static const SystemFacts facts = [] {
        SystemFacts f;
        f.processId = static_cast<int>(::getpid());
        std::error_code ec;
        std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (!ec) {
            f.programPath = exe.string();
            f.programFolder = WithSlash(exe.parent_path().string());
        }
        return f;
    }();
    return facts;
}

std::string SpecialFolderPath(SpecialFolder folder) {
    switch (folder) {
    case SpecialFolder::Desktop: {
        std::string d = UserDir("XDG_DESKTOP_DIR");
        return WithSlash(d.empty() ? HomeFolder() + "/Desktop" : d);
    }
    case SpecialFolder::Personal: {
        std::string d = UserDir("XDG_DOCUMENTS_DIR");
        return WithSlash(d.empty() ? HomeFolder() + "/Documents" : d);
    }
    case SpecialFolder::Startup:
        return WithSlash(ConfigHome() + "/autostart");
    case SpecialFolder::Programs:
    case SpecialFolder::StartMenu:
        return WithSlash(DataHome() + "/applications");
    case SpecialFolder::Temp: {
        std::string t = EnvPath("TMPDIR");
        return WithSlash(t.empty() ? "/tmp" : t);
    }
    case SpecialFolder::SendTo:
        return WithSlash(DataHome() + "/brannock/SendTo");
    }
    return {};
}

} // namespace nuvex
