#include "accounts/open_actions.h"

#include "accounts/generic_connector.h"
#include "lib/command_line.h"
#include "lib/crypt_url.h"
#include "lib/log.h"
#include "lib/redirect_page.h"
#include "lib/registry.h"
#include "lib/text.h"
#include "lib/url_policy.h"

#include <cstdlib>
#include <filesystem>

namespace nuvex {

namespace {

constexpr std::string_view kMailClientsKey = "SOFTWARE\\Clients\\Mail";
constexpr std::string_view kOwnMailClient = "VostrelMail";
constexpr std::string_view kBrowserCommandKey = "HTTP\\shell\\open\\command";
constexpr std::string_view kFallbackBrowserCommand = "xdg-open %1";

std::string ReplaceAllNoCase(const std::string& text, std::string_view pattern, const std::string& with) {
    const std::string lowerText = text::ToLowerAscii(text);
    const std::string lowerPattern = text::ToLowerAscii(pattern);
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

bool ContainsNoCase(const std::string& text, std::string_view pattern) {
    return text::ToLowerAscii(text).find(text::ToLowerAscii(pattern)) != std::string::npos;
}

// Every byte but the unreserved ones of RFC 3986 as %XX: a password holding
// "&", "#" or "%" must arrive as the password, not end the query early.
std::string PercentEncode(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

bool IsUrlPlaceholder(std::string_view word) {
    return word == "%1" || word == "%u" || word == "%U";
}

// The argv of the browser command with the target in place of its first "%1"
// (or "%u"/"%U", as a desktop entry writes it), appended when there is none;
// joined again so that splitting the result gives the target as one argument
// whatever quotes stood around the placeholder.
std::string FillBrowserCommand(const std::string& command, const std::string& target) {
    auto words = SplitCommandLine(command);
    if (!words) {
        log::Warning("accounts", "browser command has no program or an open quote; using xdg-open");
        words = SplitCommandLine(kFallbackBrowserCommand);
    }
    bool placed = false;
    for (std::string& word : *words) {
        if (placed) {
            break;
        }
        if (IsUrlPlaceholder(word)) {
            word = target;
            placed = true;
        } else if (const auto at = word.find("%1"); at != std::string::npos) {
            word.replace(at, 2, target);
            placed = true;
        }
    }
    if (!placed) {
        words->push_back(target);
    }
    return JoinCommandLine(*words);
}

// The program path of a command line: its first word.
std::string ProgramPathOf(const std::string& command) {
    const auto words = SplitCommandLine(command);
    return words ? words->front() : std::string();
}

std::string MailCommandOf(Registry& registry, const std::string& name) {
    std::string key = std::string(kMailClientsKey) + "\\" + name + "\\shell\\open\\command";
    return ExpandEnvironmentStrings(ReadRegString(registry, RegRoot::HKLM, key, "", ""));
}

} // namespace

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
    const std::string lower = text::ToLowerAscii(url);
    if (lower.find("http://") == std::string::npos && lower.find("https://") == std::string::npos) {
        TCryptURL record;
        record.DecodeParams(url);
        url = record.GetParam("URL");
    }
    if (url.empty()) {
        return false;
    }
    if (!IsOpenableUrl(url)) {
        log::Warning("accounts", "page of " + account.AccountId + " not opened: scheme \"" + UrlScheme(url) +
                                     "\" is not http, https or mailto");
        return false;
    }
    bool carriesPassword = false;
    {
        std::lock_guard guard(account.Guard());
        carriesPassword = !account.Password.empty() && ContainsNoCase(url, "%passwd%");
        url = ReplaceAllNoCase(url, "%username%", PercentEncode(account.UserName));
        url = ReplaceAllNoCase(url, "%passwd%", PercentEncode(account.Password));
        url = ReplaceAllNoCase(url, "%email%", account.Email);
    }
    // The browser is handed a private page that forwards to the URL, never the
    // URL itself: a command line is readable by every local user.
    std::string target = url;
    if (carriesPassword) {
        target = WriteRedirectPage(url);
        if (target.empty()) {
            log::Warning("accounts",
                         "page of " + account.AccountId + " not opened: no private page for its password");
            return false;
        }
    }
    std::string command;
    if (context.registry) {
        command = ReadRegString(*context.registry, RegRoot::HKCR, kBrowserCommandKey, "", "");
    }
    if (command.find_first_not_of(' ') == std::string::npos) {
        command = std::string(kFallbackBrowserCommand);
    }
    command = FillBrowserCommand(command, target);
    if (context.navigation) {
        context.navigation->PostNavigate(target, command);
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

bool SpawnProgramLauncher::Run(const std::string& commandLine) {
    return RunCommandLine(commandLine);
}

ProgramLauncher& LauncherOf(const AccountContext& context) {
    static SpawnProgramLauncher spawner;
    return context.launcher ? *context.launcher : spawner;
}

} // namespace nuvex
