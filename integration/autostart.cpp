#include "integration/autostart.h"

#include "integration/desktop_file.h"
#include "lib/log.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace nuvex::autostart {
namespace {

constexpr const char* kArea = "autostart";
// Marks the entries this program writes, so that removing never takes one the
// user made under the same name.
constexpr const char* kOwnerKey = "X-Nuvex-Autostart";

bool IsOurs(const std::string& path) {
    const auto file = desktop::ReadKeyFile(path);
    return file && file->Get("Desktop Entry", kOwnerKey) == "true";
}

} // namespace

std::string EntryPath() {
    const std::string config = desktop::ConfigHome();
    return config.empty() ? std::string() : config + "/autostart/org.brannock.Nuvex.desktop";
}

std::string EntryText(const std::string& hostProgram) {
    if (hostProgram.empty() || !desktop::IsSafeValue(hostProgram)) {
        return {};
    }
    return "[Desktop Entry]\nType=Application\nVersion=1.0\nName=Nuvex\n"
           "Comment=Watch your mail accounts and tell you when new mail arrives\nIcon=nuvex\nExec=" +
           desktop::EscapeValue(desktop::QuoteExecArg(hostProgram)) +
           "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n" + kOwnerKey + "=true\n";
}

bool Enable(const std::string& hostProgram) {
    const std::string path = EntryPath();
    const std::string text = EntryText(hostProgram);
    if (path.empty() || text.empty()) {
        log::Warning(kArea, "start at login not set up: no configuration folder or no usable program path");
        return false;
    }
    if (!desktop::WriteFileAtomic(path, text, 0644)) {
        log::Warning(kArea, "start at login not set up: cannot write " + path);
        return false;
    }
    return true;
}

bool Disable() {
    const std::string path = EntryPath();
    if (path.empty() || !IsOurs(path)) {
        return true;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        log::Warning(kArea,
                     "start at login not switched off: cannot remove " + path + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

bool IsEnabled() {
    const std::string path = EntryPath();
    return !path.empty() && IsOurs(path);
}

std::string HostProgramBeside(const std::string& program) {
    std::error_code ec;
    const std::filesystem::path beside = std::filesystem::path(program).parent_path() / "brannock";
    if (!program.empty() && std::filesystem::is_regular_file(beside, ec) &&
        ::access(beside.c_str(), X_OK) == 0) {
        return beside.string();
    }
    return "brannock";
}

} // namespace nuvex::autostart
