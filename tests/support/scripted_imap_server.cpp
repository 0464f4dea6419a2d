#include "tests/support/scripted_imap_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nuvex::test {

ScriptedImapServer::ScriptedImapServer(std::vector<std::string> script) : script_(std::move(script)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_, 8);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

ScriptedImapServer::~ScriptedImapServer() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
}

std::vector<std::string> ScriptedImapServer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool ScriptedImapServer::Send(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size() && !stop_) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return !stop_;
}

bool ScriptedImapServer::Receive(int fd, std::string& line) {
    line.clear();
    char c;
    while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        if (::recv(fd, &c, 1, 0) != 1) {
            return false;
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::lock_guard lock(mutex_);
            received_.push_back(line);
            return true;
        }
        line += c;
    }
    return false;
}

void ScriptedImapServer::Handle(int fd) {
    std::string tag = "*";
    std::string line;
    for (const std::string& step : script_) {
        if (step.rfind("S: ", 0) == 0) {
            std::string text = step.substr(3);
            for (std::size_t at = text.find('$'); at != std::string::npos;
                 at = text.find('$', at + tag.size())) {
                text.replace(at, 1, tag);
            }
            if (!Send(fd, text + "\r\n")) {
                return;
            }
        } else if (step == "C:") {
            if (!Receive(fd, line)) {
                return;
            }
            tag = line.substr(0, line.find(' '));
        } else if (step.rfind("FLOOD ", 0) == 0) {
            while (Send(fd, step.substr(6) + "\r\n")) {
            }
            return;
        } else if (step == "ENDLESS") {
            while (Send(fd, std::string(4096, 'A'))) {
            }
            return;
        } else if (step == "SILENT" || step == "GARBAGE") {
            if (step == "GARBAGE" && !Send(fd, "this is no TLS server hello\r\n")) {
                return;
            }
            char buf[512];
            while (!stop_) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0 && ::recv(fd, buf, sizeof buf, 0) <= 0) {
                    return;
                }
            }
            return;
        }
    }
    // The script ended: wait for the client to close, answering nothing more.
    char buf[512];
    while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0 && ::recv(fd, buf, sizeof buf, 0) <= 0) {
            return;
        }
    }
}

void ScriptedImapServer::Serve() {
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        Handle(fd);
        ::close(fd);
    }
}

} // namespace nuvex::test
