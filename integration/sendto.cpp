#include "integration/sendto.h"

#include "integration/desktop_file.h"
#include "lib/log.h"
#include "lib/text.h"

#include <climits>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace nuvex {

namespace {

constexpr std::string_view kPrefix = "Mail Recipient (";
constexpr std::string_view kSuffix = ").desktop";
// A file name is at most 255 bytes on the file systems a home lives on.
constexpr std::size_t kMaxFileName = 255;
constexpr std::size_t kMaxKey = 256;

std::mutex programMutex;
std::string programOverride;

std::string RunningExecutable() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    // A program replaced by an update while it runs is named with this mark;
    // the entries are for the path, which holds the new program.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        path.resize(path.size() - kDeleted.size());
    }
    return path;
}

std::vector<std::string> Folders() {
    std::vector<std::string> dirs;
    for (std::string dir : {ThunarSendToFolder(), KdeServiceMenuFolder()}) {
        if (!dir.empty()) {
            dirs.push_back(std::move(dir));
        }
    }
    return dirs;
}

std::string ExecLine(const std::string& program, std::string_view key) {
    const std::string exec =
        desktop::QuoteExecArg(program) + " " + desktop::QuoteExecArg("/sendto:" + std::string(key)) + " %F";
    return desktop::EscapeValue(exec);
}

// Thunar lists every desktop file of its sendto folder for any selection.
std::string ThunarEntry(const std::string& name, const std::string& exec, const std::string& icon) {
    return "[Desktop Entry]\nType=Application\nVersion=1.0\nName=" + name + "\nIcon=" + icon +
           "\nExec=" + exec + "\nTerminal=false\n";
}

// A service menu offers its action for the files and folders it matches.
std::string KdeEntry(const std::string& name, const std::string& exec, const std::string& icon) {
    return "[Desktop Entry]\nType=Service\nMimeType=all/all;\n"
           "X-KDE-Submenu=Send To\nActions=nuvexSendTo;\n\n[Desktop Action nuvexSendTo]\nName=" +
           name + "\nIcon=" + icon + "\nExec=" + exec + "\n";
}

bool RemoveFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec) {
        log::Warning("integration", "cannot remove " + path + ": " + ec.message());
        return false;
    }
    return true;
}

std::string FileNameOf(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

} // namespace

std::string SendToProgramPath() {
    {
        std::lock_guard<std::mutex> lock(programMutex);
        if (!programOverride.empty()) {
            return programOverride;
        }
    }
    return RunningExecutable();
}

void SetSendToProgramPath(std::string path) {
    std::lock_guard<std::mutex> lock(programMutex);
    programOverride = std::move(path);
}

std::string ThunarSendToFolder() {
    const std::string data = desktop::DataHome();
    return data.empty() ? data : data + "/Thunar/sendto";
}

std::string KdeServiceMenuFolder() {
    const std::string data = desktop::DataHome();
    return data.empty() ? data : data + "/kio/servicemenus";
}

std::string SendToFileName(std::string_view email) {
    if (email.empty() || email.find('/') != std::string_view::npos || !desktop::IsSafeValue(email)) {
        return {};
    }
    std::string name = std::string(kPrefix) + std::string(email) + std::string(kSuffix);
    return name.size() > kMaxFileName ? std::string() : name;
}

bool CreateSendToShortcut(std::string_view email, std::string_view key) {
    try {
        const std::string file = SendToFileName(email);
        if (file.empty() || key.empty() || key.size() > kMaxKey || !desktop::IsSafeValue(key)) {
            log::Warning("integration", "no Send To entry for an address or account key that cannot be one");
            return false;
        }
        const std::string program = SendToProgramPath();
        if (program.empty() || program.front() != '/' || !desktop::IsSafeValue(program)) {
            log::Warning("integration", "no Send To entry: the program's own path is unknown");
            return false;
        }
        const std::string exec = ExecLine(program, key);
        const std::string name =
            desktop::EscapeValue(file.substr(0, file.size() - std::string(".desktop").size()));
        const std::string icon = "mail-send";
        if (ThunarSendToFolder().empty()) {
            log::Warning("integration", "no Send To entry: neither XDG_DATA_HOME nor HOME is set");
            return false;
        }
        bool ok =
            desktop::WriteFileAtomic(ThunarSendToFolder() + "/" + file, ThunarEntry(name, exec, icon), 0600);
        // Service menus in the user's folder are only offered when executable.
        ok =
            desktop::WriteFileAtomic(KdeServiceMenuFolder() + "/" + file, KdeEntry(name, exec, icon), 0700) &&
            ok;
        return ok;
    } catch (...) {
        log::Caught("integration", "CreateSendToShortcut");
        return false;
    }
}

bool DeleteSendToShortcut(std::string_view email) {
    try {
        const std::string file = SendToFileName(email);
        if (file.empty()) {
            return true; // such a name was never written
        }
        bool ok = true;
        for (const std::string& dir : Folders()) {
            ok = RemoveFile(dir + "/" + file) && ok;
        }
        return ok;
    } catch (...) {
        log::Caught("integration", "DeleteSendToShortcut");
        return false;
    }
}

bool SendToShortcutExists(std::string_view email) {
    try {
        const std::string file = SendToFileName(email);
        const std::vector<std::string> dirs = Folders();
        if (file.empty() || dirs.size() < 2) {
            return false;
        }
        for (const std::string& dir : dirs) {
            std::error_code ec;
            if (!std::filesystem::is_regular_file(dir + "/" + file, ec)) {
                return false;
            }
        }
        return true;
    } catch (...) {
        log::Caught("integration", "SendToShortcutExists");
        return false;
    }
}

int RemoveAllSendToShortcuts() {
    int removed = 0;
    try {
        // The file name alone decides, not a substring of the whole path: an
        // entry of the user's whose path merely mentions it stays.
        const std::string own = text::ToLowerAscii(FileNameOf(SendToProgramPath()));
        if (own.empty()) {
            log::Warning("integration", "Send To entries not removed: the program's own path is unknown");
            return 0;
        }
        for (const std::string& dir : Folders()) {
            std::error_code ec;
            std::vector<std::string> files;
            for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
                if (text::EndsWithNoCase(it->path().filename().string(), ".desktop")) {
                    files.push_back(it->path().string());
                }
            }
            for (const std::string& file : files) {
                const std::string target = ResolveShortcut(file);
                if (!target.empty() && text::ToLowerAscii(FileNameOf(target)) == own && RemoveFile(file)) {
                    ++removed;
                }
            }
        }
    } catch (...) {
        log::Caught("integration", "RemoveAllSendToShortcuts");
    }
    return removed;
}

std::string ResolveShortcut(const std::string& path) {
    try {
        const auto file = desktop::ReadKeyFile(path);
        if (!file || file->groupOrder.empty() || file->groupOrder.front() != "Desktop Entry") {
            return {};
        }
        const std::string type = file->Get("Desktop Entry", "Type");
        if (type == "Link") {
            // Only local files can be handed on; the host part must be empty or this machine's.
            std::string url = file->Get("Desktop Entry", "URL");
            if (!text::StartsWithNoCase(url, "file://")) {
                return {};
            }
            url.erase(0, 7);
            if (text::StartsWithNoCase(url, "localhost/")) {
                url.erase(0, 9);
            }
            if (url.empty() || url.front() != '/') {
                return {};
            }
            std::string out;
            for (std::size_t i = 0; i < url.size(); ++i) {
                auto hex = [](char c) {
                    return c >= '0' && c <= '9'   ? c - '0'
                           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
                };
                if (url[i] == '%' && i + 2 < url.size() && hex(url[i + 1]) >= 0 && hex(url[i + 2]) >= 0) {
                    out += static_cast<char>(hex(url[i + 1]) * 16 + hex(url[i + 2]));
                    i += 2;
                } else {
                    out += url[i];
                }
            }
            return out.find('\0') == std::string::npos ? out : std::string();
        }
        // An application's target is its program; a service menu keeps it in its first action.
        std::string exec = file->Get("Desktop Entry", "Exec");
        for (std::size_t i = 1; exec.empty() && i < file->groupOrder.size(); ++i) {
            if (text::StartsWithNoCase(file->groupOrder[i], "Desktop Action ")) {
                exec = file->Get(file->groupOrder[i], "Exec");
            }
        }
        const auto words = desktop::SplitExec(exec);
        return words && !words->empty() ? words->front() : std::string();
    } catch (...) {
        log::Caught("integration", "ResolveShortcut");
        return {};
    }
}

void ResolveShortcutsInList(std::vector<std::string>& list) {
    for (std::string& entry : list) {
        if (text::EndsWithNoCase(entry, ".desktop")) {
            entry = ResolveShortcut(entry);
        }
    }
}

} // namespace nuvex
