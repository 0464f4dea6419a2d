#include "tests/support/wmcheck_harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nuvex::test {

namespace {

std::string Script() {
    return std::string(NUVEX_BINARY_DIR) + "/tools/wmcheck/wmcheck.py";
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

WmcheckHarness::~WmcheckHarness() {
    Stop();
}

std::string WmcheckHarness::Unavailable() {
    if (::access("/usr/bin/python3", X_OK) != 0) {
        return "python3 is not installed";
    }
    if (::access(Script().c_str(), R_OK) != 0) {
        return "the service script is missing from the build folder";
    }
    return {};
}

void WmcheckHarness::SetAccounts(const std::vector<WmAccount>& accounts) {
    std::string json = "{\"accounts\": [";
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const WmAccount& a = accounts[i];
        json += i ? ",\n" : "\n";
        json += "{\"login\": " + JsonString(a.login) + ", \"password\": " + JsonString(a.password) +
                ", \"charset\": " + JsonString(a.charset);
        if (a.unread >= 0) {
            json += ", \"unread\": " + std::to_string(a.unread);
        }
        if (!a.misbehave.empty()) {
            json += ", \"misbehave\": " + JsonString(a.misbehave) +
                    ", \"delay\": " + std::to_string(a.delaySeconds);
        }
        json += ", \"messages\": [";
        for (std::size_t m = 0; m < a.messages.size(); ++m) {
            const WmMessage& msg = a.messages[m];
            json += m ? ", " : "";
            json += "{\"mid\": " + std::to_string(msg.mid) + ", \"fid\": " + std::to_string(msg.fid) +
                    ", \"subject\": " + JsonString(msg.subject) +
                    ", \"preview\": " + JsonString(msg.preview) + ", \"name\": " + JsonString(msg.name) +
                    ", \"email\": " + JsonString(msg.email) + "}";
        }
        json += "]}";
    }
    json += "\n]}\n";
    // Written beside and renamed, so that the service never reads half a file.
    const std::string path = dir_.file("accounts.json");
    std::ofstream(path + ".new", std::ios::binary) << json;
    std::filesystem::rename(path + ".new", path);
}

bool WmcheckHarness::Start(std::string& error, const std::string& cert, const std::string& key) {
    if (std::string why = Unavailable(); !why.empty()) {
        error = why;
        return false;
    }
    if (!std::filesystem::exists(dir_.file("accounts.json"))) {
        SetAccounts({});
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    std::vector<std::string> argv{
        "/usr/bin/python3", Script(),    "--accounts",    dir_.file("accounts.json"),
        "--drafts",         DraftsDir(), "--request-log", dir_.file("requests.log")};
    if (!cert.empty()) {
        argv.insert(argv.end(), {"--cert", cert, "--key", key});
        tls_ = true;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, dir_.file("stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        pid_ = -1;
        error = "python3 could not be started";
        return false;
    }
    // The first line is "PORT <n>"; the service prints it once it listens.
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) {
            continue;
        }
        char buf[64];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.rfind("PORT ", 0) != 0 || (port_ = std::atoi(line.c_str() + 5)) <= 0) {
        error = "the service did not come up: " + Stderr();
        Stop();
        return false;
    }
    return true;
}

void WmcheckHarness::Stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        ::usleep(20'000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string WmcheckHarness::ServiceUrl() const {
    return std::string(tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) +
           "/wmcheck.asmx";
}

std::string WmcheckHarness::RequestLog() const {
    return Slurp(dir_.file("requests.log"));
}

std::vector<std::string> WmcheckHarness::Drafts() const {
    std::vector<std::string> out;
    for (int n = 1;; ++n) {
        const std::string path = DraftsDir() + "/draft-" + std::to_string(n) + "/draft.json";
        if (!std::filesystem::exists(path)) {
            return out;
        }
        out.push_back(Slurp(path));
    }
}

std::string WmcheckHarness::Stderr() const {
    return Slurp(dir_.file("stderr.log"));
}

} // namespace nuvex::test
