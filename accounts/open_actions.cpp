#include "accounts/open_actions.h"

#include "accounts/generic_connector.h"
#include "lib/crypt_url.h"
#include "lib/registry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace nuvex {

namespace {

constexpr std::string_view kMailClientsKey = "SOFTWARE\\Clients\\Mail";
constexpr std::string_view kOwnMailClient = "VostrelMail";
constexpr std::string_view kBrowserCommandKey = "HTTP\\shell\\open\\command";
constexpr std::string_view kFallbackBrowserCommand = "xdg-open %1";

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string ReplaceAllNoCase(const std::string& text, std::string_view pattern, const std::string& with) {
    std::string lowerText = Lower(text);
    std::string lowerPattern = Lower(pattern);
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = lowerText.find(lowerPattern, pos);
        if (hit == std::string::npos) {
            out.append(text, pos, std::string::npos);
            return out;
        }
        out.append(text, pos, hit - pos);
        out += with;
        pos = hit + pattern.size();
    }
}

// The command line with its first "%1" replaced by the quoted url. A "%1"
// already in double quotes loses them: the single-quoted word replaces both.
std::string FillBrowserCommand(std::string command, const std::string& url) {
    if (command.find("%1") == std::string::npos) {
        command += " %1";
    }
    std::size_t at = command.find("%1");
    std::size_t from = at;
    std::size_t to = at + 2;
    if (at > 0 && command[at - 1] == '"' && to < command.size() && command[to] == '"') {
        --from;
        ++to;
    }
    return command.substr(0, from) + ShellQuote(url) + command.substr(to);
}

// The program path of a command line: the text in its leading double quotes,
// else the text after the last backslash or colon, else the whole command.
std::string ProgramPathOf(const std::string& command) {
    if (!command.empty() && command[0] == '"') {
        std::size_t close = command.find('"', 1);
        return command.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    std::size_t cut = command.find_last_of("\\:");
    if (cut != std::string::npos) {
        std::string rest = command.substr(cut + 1);
        if (!rest.empty()) {
            return rest;
        }
    }
    return command;
}

std::string MailCommandOf(Registry& registry, const std::string& name) {
    std::string key = std::string(kMailClientsKey) + "\\" + name + "\\shell\\open\\command";
    return ExpandEnvironmentStrings(ReadRegString(registry, RegRoot::HKLM, key, "", ""));
}

} // namespace

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

std::string ExpandEnvironmentStrings(const std::string& text) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t open = text.find('%', pos);
        if (open == std::string::npos) {
            break;
        }
        std::size_t close = text.find('%', open + 1);
        if (close == std::string::npos) {
            break;
        }
        std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        out.append(text, pos, open - pos);
        if (value) {
            out += value;
            pos = close + 1;
        } else {
            // Unknown names stay as they are; the closing "%" may open the next one.
            out += '%';
            out += name;
            pos = close;
        }
    }
    out.append(text, pos, std::string::npos);
    return out;
}

bool OpenUrl(TNuvex_GenericConnector& account, const std::string& urlText) {
    const AccountContext& context = account.Context();
    std::string url = urlText;
    std::string lower = Lower(url);
    if (lower.find("http://") == std::string::npos && lower.find("https://") == std::string::npos) {
        TCryptURL record;
        record.DecodeParams(url);
        url = record.GetParam("URL");
    }
    if (url.empty()) {
        return false;
    }
    {
        std::lock_guard guard(account.Guard());
        url = ReplaceAllNoCase(url, "%username%", account.UserName);
        url = ReplaceAllNoCase(url, "%passwd%", account.Password);
        url = ReplaceAllNoCase(url, "%email%", account.Email);
    }
    std::string command;
    if (context.registry) {
        command = ReadRegString(*context.registry, RegRoot::HKCR, kBrowserCommandKey, "", "");
    }
    if (command.find_first_not_of(' ') == std::string::npos) {
        command = std::string(kFallbackBrowserCommand);
    }
    command = FillBrowserCommand(command, url);
    if (context.navigation) {
        context.navigation->PostNavigate(url, command);
    }
    return true;
}

std::vector<std::string> ListMailPrograms(Registry& registry) {
    std::vector<std::string> list;
    if (!registry.KeyExists(RegRoot::HKLM, kMailClientsKey)) {
        return list;
    }
    std::vector<std::string> names = registry.SubKeys(RegRoot::HKLM, kMailClientsKey);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        const std::string& name = *it;
        if (name == kOwnMailClient) {
            continue;
        }
        std::string path = ProgramPathOf(MailCommandOf(registry, name));
        std::error_code ec;
        if (path.empty() || !std::filesystem::is_regular_file(path, ec)) {
            continue;
        }
        std::string display =
            ReadRegString(registry, RegRoot::HKLM, std::string(kMailClientsKey) + "\\" + name, "", "");
        list.push_back(name + "||" + display);
    }
    return list;
}

bool StartMailProgram(const AccountContext& context, const std::string& displayName) {
    if (!context.registry) {
        return false;
    }
    for (const std::string& entry : ListMailPrograms(*context.registry)) {
        std::size_t sep = entry.find("||");
        if (entry.substr(sep + 2) != displayName) {
            continue;
        }
        std::string command = MailCommandOf(*context.registry, entry.substr(0, sep));
        return !command.empty() && LauncherOf(context).Run(command);
    }
    return false;
}

bool ShellProgramLauncher::Run(const std::string& commandLine) {
    if (commandLine.empty()) {
        return false;
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    // The command travels as one argument of sh -c: it is the desktop entry's
    // or the browser bridge's text, with user data only inside quoted words.
    const char* argv[] = {"/bin/sh", "-c", commandLine.c_str(), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        return false;
    }
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

ProgramLauncher& LauncherOf(const AccountContext& context) {
    static ShellProgramLauncher shell;
    return context.launcher ? *context.launcher : shell;
}

} // namespace nuvex
