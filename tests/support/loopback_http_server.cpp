#include "tests/support/loopback_http_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nuvex::test {
namespace {

constexpr std::size_t kMaxRequestBytes = 1u << 20;
constexpr int kReadTimeoutMs = 10'000;

const char* Reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

// Content-Length of a header block, 0 when it gives none.
std::size_t ContentLength(const std::string& head) {
    std::size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (strncasecmp(head.c_str() + pos, "Content-Length:", 15) == 0) {
            return static_cast<std::size_t>(std::strtoul(head.c_str() + pos + 15, nullptr, 10));
        }
    }
    return 0;
}

} // namespace

LoopbackHttpServer::LoopbackHttpServer() {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(wakeWrite_, &byte, 1);
    thread_.join();
    ::close(listenFd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

std::string LoopbackHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttpServer::Enqueue(Reply reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(reply));
}

std::vector<std::string> LoopbackHttpServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool LoopbackHttpServer::WaitForRequests(std::size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= count; });
}

std::string LoopbackHttpServer::Response(int status, const std::string& body,
                                         const std::vector<std::string>& headers,
                                         const std::string& version) {
    std::string out = version + " " + std::to_string(status) + " " + Reason(status) + "\r\n";
    for (const std::string& h : headers) {
        out += h + "\r\n";
    }
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return out;
}

void LoopbackHttpServer::Run() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents) {
            return;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            Serve(fd);
            ::close(fd);
        }
    }
}

void LoopbackHttpServer::Serve(int fd) {
    std::string request;
    if (!ReadRequest(fd, request)) {
        return;
    }
    Reply reply{Response(500, "no reply scripted"), Reply::Mode::Send};
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (!replies_.empty()) {
            reply = std::move(replies_.front());
            replies_.pop_front();
        }
    }
    arrived_.notify_all();
    if (!SendAll(fd, reply.bytes)) {
        return;
    }
    switch (reply.mode) {
    case Reply::Mode::Send:
        ::shutdown(fd, SHUT_WR);
        // Let the client read everything before the socket goes (no reset).
        WaitStopped(fd, 2000);
        break;
    case Reply::Mode::Stall:
        WaitStopped(fd, -1);
        break;
    case Reply::Mode::SendForever: {
        const std::string filler(64 * 1024, 'x');
        while (SendAll(fd, filler)) {
        }
        break;
    }
    }
}

// Reads the header block and as many body bytes as its Content-Length gives.
bool LoopbackHttpServer::ReadRequest(int fd, std::string& request) {
    std::size_t headEnd = std::string::npos;
    std::size_t want = 0;
    char buf[4096];
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = request.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                want = headEnd + 4 + ContentLength(request.substr(0, headEnd + 2));
            }
        }
        if (headEnd != std::string::npos && request.size() >= want) {
            return true;
        }
        if (request.size() > kMaxRequestBytes) {
            return false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, kReadTimeoutMs) <= 0 || fds[1].revents) {
            return false;
        }
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        request.append(buf, static_cast<std::size_t>(n));
    }
}

bool LoopbackHttpServer::SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, kReadTimeoutMs) <= 0 || fds[1].revents || (fds[0].revents & (POLLERR | POLLHUP))) {
            return false;
        }
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Returns when the client closes, the server stops, or timeoutMs passes (-1: no limit).
bool LoopbackHttpServer::WaitStopped(int fd, int timeoutMs) {
    char buf[1024];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready <= 0 || fds[1].revents) {
            return fds[1].revents != 0;
        }
        if (::recv(fd, buf, sizeof buf, 0) <= 0) {
            return false;
        }
    }
}

} // namespace nuvex::test
