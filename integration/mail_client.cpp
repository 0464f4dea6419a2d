#include "integration/mail_client.h"

#include "handoff/handoff_wire.h"
#include "install_dirs.h"
#include "integration/desktop_file.h"
#include "integration/mail_program_bridge.h"
#include "integration/sendto.h"
#include "lib/branding.h"
#include "lib/command_line.h"
#include "lib/files.h"
#include "lib/log.h"
#include "lib/registry.h"
#include "lib/text.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nuvex {

namespace {

// The Simple MAPI library of this program: beside it in a build tree, in the
// program's private library folder once installed; empty when neither holds it.
std::string SimpleMapiLibraryPath(const std::string& program) {
    const std::filesystem::path folder = std::filesystem::path(program).parent_path();
    for (const std::filesystem::path& candidate :
         {folder / "libNuvexDll.so", folder / NUVEX_LIBDIR_FROM_BINDIR / "nuvex" / "libNuvexDll.so"}) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) {
            return candidate.lexically_normal().string();
        }
    }
    return {};
}

constexpr std::chrono::milliseconds kToolTimeout{10000};
constexpr std::string_view kArea = "integration";
// What the store names when nothing was remembered, as the older clients expect.
constexpr std::string_view kFallbackClient = "Outlook Express";

std::string Key(std::string_view tail) {
    return std::string(kMailClientKey) + std::string(tail);
}

std::string Quoted(const std::string& program) {
    return "\"" + program + "\"";
}

std::string ReadDefaultClient(Registry& reg) {
    return ReadRegString(reg, RegRoot::HKLM, kMailClientsKey, "", "");
}

// The mailto class is always rebuilt whole, with the values older readers expect.
bool RebuildMailtoClass(Registry& reg, const std::string& clientKey) {
    bool ok = reg.DeleteKey(RegRoot::HKCR, "mailto") && reg.CreateKey(RegRoot::HKCR, "mailto");
    ok = ok && reg.SetValue(RegRoot::HKCR, "mailto", "", RegValue::Text("URL:MailTo Protocol"));
    ok = ok && reg.SetValue(RegRoot::HKCR, "mailto", "URL Protocol", RegValue::Text(""));
    ok = ok && reg.SetValue(RegRoot::HKCR, "mailto", "EditFlags",
                            RegValue{RegType::Binary, std::string("\x02\x00\x00\x00", 4)});
    // A client without these keys (one of the desktop's) simply has none to copy.
    if (reg.KeyExists(RegRoot::HKLM, clientKey + "\\Protocols\\mailto\\shell")) {
        ok = CopyRegKey(reg, RegRoot::HKLM, clientKey + "\\Protocols\\mailto\\shell", RegRoot::HKCR, true,
                        true, "mailto\\shell") &&
             ok;
    }
    if (reg.KeyExists(RegRoot::HKLM, clientKey + "\\Protocols\\mailto\\DefaultIcon")) {
        ok = CopyRegKey(reg, RegRoot::HKLM, clientKey + "\\Protocols\\mailto\\DefaultIcon", RegRoot::HKCR,
                        true, true, "mailto\\DefaultIcon") &&
             ok;
    }
    return ok;
}

std::string StripDesktop(const std::string& id) {
    return text::EndsWithNoCase(id, ".desktop") ? id.substr(0, id.size() - 8) : id;
}

// A desktop entry of that id where the desktop looks for applications.
bool DesktopEntryInstalled(const std::string& id) {
    if (id.empty() || id.find('/') != std::string::npos || !desktop::IsSafeValue(id)) {
        return false;
    }
    for (const std::string& dir : DesktopEntryDirs()) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(dir + "/" + id, ec)) {
            return true;
        }
    }
    return false;
}

bool MakeDesktopDefault(const std::string& id) {
    if (!RunTool({"xdg-mime", "default", id, std::string(kMailtoMime)}, kToolTimeout)) {
        log::Warning(kArea, "xdg-mime could not make " + id + " the handler of mailto links");
        return false;
    }
    return true;
}

// Takes our desktop entry out of the mailto lines of the user's mimeapps.list;
// every other line and association stays as it was.
bool DropOwnAssociations() {
    const std::string config = desktop::ConfigHome();
    if (config.empty()) {
        return true;
    }
    const std::string path = config + "/mimeapps.list";
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return true;
    }
    const std::string text = ReadFileText(path);
    std::string out;
    bool changed = false;
    std::string group;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.front() == '[') {
            group = line;
        }
        const std::string prefix = std::string(kMailtoMime) + "=";
        if ((group == "[Default Applications]" || group == "[Added Associations]") &&
            line.compare(0, prefix.size(), prefix) == 0) {
            std::string kept;
            std::size_t p = prefix.size();
            while (p <= line.size()) {
                std::size_t q = line.find(';', p);
                std::string item = line.substr(p, q == std::string::npos ? std::string::npos : q - p);
                if (!item.empty() && item != kMailClientDesktopId) {
                    kept += item + ";";
                }
                if (q == std::string::npos) {
                    break;
                }
                p = q + 1;
            }
            if (group == "[Default Applications]" && !kept.empty()) {
                kept.pop_back(); // xdg-mime writes the default without the list's ";"
            }
            const std::string rebuilt = kept.empty() ? std::string() : prefix + kept;
            if (rebuilt != line) {
                changed = true;
                if (rebuilt.empty()) {
                    continue;
                }
                line = rebuilt;
            }
        }
        out += line;
        if (end != std::string::npos) {
            out += '\n';
        }
    }
    if (!changed) {
        return true;
    }
    struct stat st {};
    const unsigned mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
    return desktop::WriteFileAtomic(path, out, mode);
}

// The mailto default written in the user's own mimeapps.list, as written.
std::string UserMailtoDefault() {
    const std::string config = desktop::ConfigHome();
    if (config.empty()) {
        return {};
    }
    const auto file = desktop::ReadKeyFile(config + "/mimeapps.list");
    if (!file) {
        return {};
    }
    const std::string value = file->Get("Default Applications", std::string(kMailtoMime));
    return value.substr(0, value.find(';'));
}

// Whether the desktop hands mailto links to us. xdg-mime's generic reader
// passes over an entry whose program path it cannot split (a space in it), so
// the user's own list is asked too.
bool DesktopDefaultIsOurs(const std::string& handler) {
    return handler == kMailClientDesktopId || UserMailtoDefault() == kMailClientDesktopId;
}

// Our entry names the mailto type only while the user's list makes us its
// default: an entry that names a type is the desktop's fallback handler for it,
// so after a restore links would keep coming to us.
bool WriteDesktopEntry(const std::string& program, bool claimsMailto) {
    const std::string file = MailClientDesktopFile();
    if (file.empty()) {
        log::Warning(kArea, "no desktop entry for mailto links: neither XDG_DATA_HOME nor HOME is set");
        return false;
    }
    std::string name = Translate("Email Plugin");
    if (!desktop::IsSafeValue(name)) {
        name = "Email Plugin";
    }
    // Hidden from the menus: started without a link it would only wait for its host.
    // "/mailto:ask": files named in what arrives here may be offered to the
    // user (xdg-email --attach comes this way), never sent without asking.
    const std::string content =
        "[Desktop Entry]\nType=Application\nVersion=1.0\nName=" + desktop::EscapeValue(name) +
        "\nIcon=mail-send\nExec=" +
        desktop::EscapeValue(desktop::QuoteExecArg(program) + " /mailto:" + std::string(handoff::kMailtoAsk) +
                             " %u") +
        (claimsMailto ? "\nMimeType=" + std::string(kMailtoMime) + ";" : std::string()) +
        "\nNoDisplay=true\nTerminal=false\n";
    return desktop::WriteFileAtomic(file, content, 0644);
}

// Our desktop entry written again, naming the mailto type or not; nothing to
// do when there is no entry.
bool RewriteOwnEntry(bool claimsMailto) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(MailClientDesktopFile(), ec)) {
        return true;
    }
    const std::string program = SendToProgramPath();
    if (program.empty() || !desktop::IsSafeValue(program)) {
        log::Warning(kArea, "the desktop entry was not rewritten: the program's own path is unknown");
        return false;
    }
    return WriteDesktopEntry(program, claimsMailto);
}

// Waits for the child to exit, at most until deadline, without reaping it.
bool ExitsBefore(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return true; // no way to wait with a bound here; waitpid below still reaps it
    }
    bool exited = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        exited = n > 0;
        break;
    }
    ::close(fd);
    return exited;
}

} // namespace

std::string MailClientDesktopFile() {
    const std::string data = desktop::DataHome();
    return data.empty() ? data : data + "/applications/" + std::string(kMailClientDesktopId);
}

std::optional<std::string> RunTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                   std::size_t maxOutput) {
    if (argv.empty()) {
        return std::nullopt;
    }
    const char* path = std::getenv("PATH");
    const std::string program = ResolveProgram(argv.front(), path && *path ? path : "/usr/bin:/bin");
    if (program.empty()) {
        log::Warning(kArea, "program not found: " + argv.front());
        return std::nullopt;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        log::Warning(kArea, std::string("no pipe for ") + argv.front() + ": " + std::strerror(errno));
        return std::nullopt;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // Its own process group: on a time-out the tool and whatever it started end together.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        log::Warning(kArea, "cannot start " + program + ": " + std::strerror(rc));
        return std::nullopt;
    }
    std::string out;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            timedOut = n == 0;
            break;
        }
        char buf[4096];
        const ssize_t got = ::read(fds[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        // Past the bound the rest is read and dropped, so the tool is not blocked on a full pipe.
        out.append(buf, std::min(static_cast<std::size_t>(got), maxOutput - std::min(maxOutput, out.size())));
    }
    ::close(fds[0]);
    // Closing its output is not ending: the tool gets what is left of the time-out to exit.
    if (!timedOut && !ExitsBefore(pid, deadline)) {
        timedOut = true;
    }
    if (timedOut) {
        ::kill(-pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        log::Warning(kArea, argv.front() + " did not end within its time-out and was stopped");
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        log::Warning(kArea, argv.front() + " failed with status " + std::to_string(status));
        return std::nullopt;
    }
    return out;
}

std::string QueryMailtoHandler() {
    const auto out = RunTool({"xdg-mime", "query", "default", std::string(kMailtoMime)}, kToolTimeout);
    if (!out) {
        return {};
    }
    std::string id = text::Trim(*out);
    // One id is asked for; anything more is not an answer to trust.
    return id.find_first_of("\n/") == std::string::npos ? id : std::string();
}

bool RegisterMailClient() {
    try {
        Registry& reg = ProcessRegistry();
        const std::string program = SendToProgramPath();
        if (program.empty() || !desktop::IsSafeValue(program)) {
            log::Warning(kArea, "mail client not registered: the program's own path is unknown");
            return false;
        }
        bool ok = WriteRegString(reg, RegRoot::HKLM, kMailClientKey, "", true, Translate("Email Plugin"));
        ok = WriteRegString(reg, RegRoot::HKLM, Key("\\Protocols\\mailto\\DefaultIcon"), "", true,
                            Quoted(program) + ",0") &&
             ok;
        ok = WriteRegString(reg, RegRoot::HKLM, Key("\\Protocols\\mailto\\shell\\open\\command"), "", true,
                            Quoted(program) + " /mailto %1") &&
             ok;
        ok = WriteRegString(reg, RegRoot::HKLM, Key("\\shell\\open\\command"), "", true,
                            Quoted(program) + " /readmail") &&
             ok;
        const std::string library = SimpleMapiLibraryPath(program);
        if (!library.empty()) {
            ok = WriteRegString(reg, RegRoot::HKLM, kMailClientKey, "DLLPath", true, library) && ok;
        }
        if (!ok) {
            log::Warning(kArea, "the mail client entry could not be written to the registry store");
        }
        return WriteDesktopEntry(program, UserMailtoDefault() == kMailClientDesktopId) && ok;
    } catch (...) {
        log::Caught(kArea, "RegisterMailClient");
        return false;
    }
}

bool SetDefaultMailClient() {
    try {
        Registry& reg = ProcessRegistry();
        if (!ProcessRegistryIsPersistent()) {
            // The replaced client would be forgotten at exit and could never be put back.
            log::Warning(kArea, "the registry store cannot be opened; the mailto handler is left as it is");
            return false;
        }
        const std::string current = ReadDefaultClient(reg);
        const std::string handler = QueryMailtoHandler();
        // Already us (in the store or on the desktop): the client remembered
        // by the first call stays the one to go back to.
        if (current != kMailClientName && !DesktopDefaultIsOurs(handler)) {
            const std::string previous = handler.empty() ? current : StripDesktop(handler);
            if (!WriteRegString(reg, RegRoot::HKLM, Key("\\Backup"), "", true, previous)) {
                log::Warning(kArea, "the previous mail client could not be remembered; it is not replaced");
                return false;
            }
        }
        bool ok = RebuildMailtoClass(reg, std::string(kMailClientKey));
        ok = WriteRegString(reg, RegRoot::HKLM, kMailClientsKey, "", true, kMailClientName) && ok;
        if (!ok) {
            log::Warning(kArea, "the mailto class could not be written to the registry store");
        }
        std::error_code ec;
        if (!std::filesystem::is_regular_file(MailClientDesktopFile(), ec) && !RegisterMailClient()) {
            return false;
        }
        ok = MakeDesktopDefault(std::string(kMailClientDesktopId)) && ok;
        return RewriteOwnEntry(true) && ok;
    } catch (...) {
        log::Caught(kArea, "SetDefaultMailClient");
        return false;
    }
}

bool RestoreMailClient() {
    try {
        Registry& reg = ProcessRegistry();
        const bool storeIsOurs = ReadDefaultClient(reg) == kMailClientName;
        const bool desktopIsOurs = DesktopDefaultIsOurs(QueryMailtoHandler());
        if (!storeIsOurs && !desktopIsOurs) {
            return true;
        }
        const std::string backup = ReadRegString(reg, RegRoot::HKLM, Key("\\Backup"), "", "");
        bool ok = true;
        if (storeIsOurs) {
            const std::string name = backup.empty() ? std::string(kFallbackClient) : backup;
            ok = WriteRegString(reg, RegRoot::HKLM, kMailClientsKey, "", true, name);
            ok = RebuildMailtoClass(reg, std::string(kMailClientsKey) + "\\" + name) && ok;
            if (!ok) {
                log::Warning(kArea, "the previous mail client could not be put back in the registry store");
            }
        }
        if (desktopIsOurs) {
            // A handler that has gone since cannot be put back; without one the
            // desktop chooses as it did before we were set.
            const std::string id = backup + ".desktop";
            if (!backup.empty() && DesktopEntryInstalled(id)) {
                ok = MakeDesktopDefault(id) && ok;
            } else {
                ok = DropOwnAssociations() && ok;
            }
            ok = RewriteOwnEntry(false) && ok;
        }
        return ok;
    } catch (...) {
        log::Caught(kArea, "RestoreMailClient");
        return false;
    }
}

bool UnregisterMailClient() {
    try {
        bool ok = RestoreMailClient();
        if (!DeleteRegKey(ProcessRegistry(), RegRoot::HKLM, kMailClientKey)) {
            log::Warning(kArea, "the mail client entry could not be removed from the registry store");
            ok = false;
        }
        const std::string file = MailClientDesktopFile();
        std::error_code ec;
        if (!file.empty()) {
            std::filesystem::remove(file, ec);
            if (ec) {
                log::Warning(kArea, "cannot remove " + file + ": " + ec.message());
                ok = false;
            }
        }
        return DropOwnAssociations() && ok;
    } catch (...) {
        log::Caught(kArea, "UnregisterMailClient");
        return false;
    }
}

} // namespace nuvex
