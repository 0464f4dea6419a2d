#include "lib/command_line.h"

#include "lib/log.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace nuvex {
namespace {

constexpr std::string_view kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsPlain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

std::string SearchPathOf(const std::vector<std::string>& env) {
    for (const std::string& entry : env) {
        if (entry.rfind("PATH=", 0) == 0) {
            return entry.substr(5);
        }
    }
    return std::string(kDefaultSearchPath);
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (const std::string& s : strings) {
        out.push_back(const_cast<char*>(s.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

} // namespace

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (IsBlank(c)) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            ++i;
        } else if (c == '\'') {
            const std::size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            word.append(line.substr(i + 1, close - i - 1));
            inWord = true;
            i = close + 1;
        } else if (c == '"') {
            inWord = true;
            ++i;
            for (;; ++i) {
                if (i >= line.size()) {
                    return std::nullopt;
                }
                if (line[i] == '"') {
                    ++i;
                    break;
                }
                if (line[i] == '\\' && i + 1 < line.size() &&
                    std::string_view("\"\\$`").find(line[i + 1]) != std::string_view::npos) {
                    ++i;
                }
                word += line[i];
            }
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[i + 1];
            inWord = true;
            i += 2;
        } else {
            word += c;
            inWord = true;
            ++i;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    if (words.empty()) {
        return std::nullopt;
    }
    return words;
}

std::string QuoteArgument(std::string_view word) {
    bool plain = !word.empty();
    for (char c : word) {
        plain = plain && IsPlain(c);
    }
    if (plain) {
        return std::string(word);
    }
    std::string out = "'";
    for (char c : word) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

std::string JoinCommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& word : argv) {
        if (!line.empty()) {
            line += ' ';
        }
        line += QuoteArgument(word);
    }
    return line;
}

std::string ResolveProgram(const std::string& program, std::string_view searchPath) {
    if (program.empty()) {
        return {};
    }
    if (program.find('/') != std::string::npos) {
        return program;
    }
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        std::size_t end = searchPath.find(':', start);
        if (end == std::string_view::npos) {
            end = searchPath.size();
        }
        const std::string_view dir = searchPath.substr(start, end - start);
        if (!dir.empty() && dir.front() == '/') {
            std::string candidate = std::string(dir) + "/" + program;
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return {};
}

pid_t SpawnDetached(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    if (argv.empty()) {
        return -1;
    }
    std::vector<std::string> ownEnv;
    if (env.empty()) {
        for (char** e = environ; e && *e; ++e) {
            ownEnv.emplace_back(*e);
        }
    }
    const std::vector<std::string>& environment = env.empty() ? ownEnv : env;
    const std::string program = ResolveProgram(argv.front(), SearchPathOf(environment));
    if (program.empty()) {
        log::Warning("browser", "program not found: " + argv.front());
        return -1;
    }
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, args.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        log::Warning("browser", "cannot start " + program + ": " + std::to_string(rc));
        return -1;
    }
    return pid;
}

void ReapInBackground(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // Without a thread the child stays a zombie until this program ends; harmless.
        log::Caught("browser", "ReapInBackground");
    }
}

bool RunCommandLine(std::string_view line) {
    const auto argv = SplitCommandLine(line);
    if (!argv) {
        log::Warning("browser", "command line with no program or an open quote");
        return false;
    }
    const pid_t pid = SpawnDetached(*argv);
    if (pid < 0) {
        return false;
    }
    ReapInBackground(pid);
    return true;
}

} // namespace nuvex
