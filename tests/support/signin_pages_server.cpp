#include "tests/support/signin_pages_server.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace nuvex::test {

namespace {

// tests/data sits two folders below the source root.
constexpr const char* kScript = NUVEX_TEST_DATA "/../../tools/signin_pages/signin_pages.py";

} // namespace

SigninPagesServer::SigninPagesServer() {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string script = kScript;
    std::vector<char*> argv = {const_cast<char*>("python3"), script.data(), nullptr};
    int rc = ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(out[0]);
        error_ = std::string("cannot start python3: ") + std::strerror(rc);
        return;
    }
    // The first line is "PORT <n>".
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 10'000) <= 0) {
            break;
        }
        char buf[64];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.rfind("PORT ", 0) == 0) {
        port_ = std::atoi(line.c_str() + 5);
    }
    if (port_ <= 0) {
        error_ = "the sign-in pages did not start: " + line;
    }
}

SigninPagesServer::~SigninPagesServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::string SigninPagesServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

} // namespace nuvex::test
