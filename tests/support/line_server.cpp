#include "tests/support/line_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nuvex::test {

int BindLoopback(int* port, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (backlog >= 0 && ::listen(fd, backlog) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

LineServer::LineServer(Handler handler) : handler_(std::move(handler)) {
    listen_ = BindLoopback(&port_, 8);
    thread_ = std::thread([this] { Serve(); });
}

LineServer::~LineServer() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
}

std::vector<std::string> LineServer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool LineServer::Peer::Send(const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size() && !Stopping()) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return !Stopping();
}

bool LineServer::Peer::Receive(std::string& line) {
    line.clear();
    char c;
    while (!Stopping()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        if (::recv(fd_, &c, 1, 0) != 1) {
            return false;
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::lock_guard lock(server_.mutex_);
            server_.received_.push_back(line);
            return true;
        }
        line += c;
    }
    return false;
}

void LineServer::Peer::Drain() {
    char buf[512];
    while (!Stopping()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0 && ::recv(fd_, buf, sizeof buf, 0) <= 0) {
            return;
        }
    }
}

void LineServer::Serve() {
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        Peer peer(*this, fd);
        handler_(peer);
        ::close(fd);
    }
}

} // namespace nuvex::test
