#include "tests/support/loopback_http_server.h"

#include "tests/support/temp_dir.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
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

struct LoopbackHttpServer::Connection {
    int fd = -1;
    SSL* ssl = nullptr;
};

std::optional<TestCertificates> TestCertificates::Make(const std::string& dir, std::string& error) {
    const std::string d = ShellQuote(dir);
    const std::string script =
        "cd " + d +
        " && printf 'subjectAltName=DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > server.ext"
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj '/CN=Nuvex Test CA' -keyout ca.key -out ca.crt"
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj '/CN=Other Test CA' -keyout other-ca.key -out other-ca.crt"
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
        " -subj '/CN=localhost' -keyout server.key -out server.csr"
        " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2"
        " -extfile server.ext -out server.crt";
    if (std::system(("(" + script + ") >" + d + "/openssl.log 2>&1").c_str()) != 0) {
        error = "openssl could not make the test certificates (see " + dir + "/openssl.log)";
        return std::nullopt;
    }
    return TestCertificates{dir + "/ca.crt", dir + "/other-ca.crt", dir + "/server.crt", dir + "/server.key"};
}

LoopbackHttpServer::LoopbackHttpServer(const TestCertificates& tls) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_file(ctx, tls.certFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("cannot load the test certificate");
    }
    // A client that hangs up mid-reply must not end the test program: OpenSSL
    // writes without MSG_NOSIGNAL.
    ::signal(SIGPIPE, SIG_IGN);
    tls_ = ctx;
    Start();
}

LoopbackHttpServer::LoopbackHttpServer() {
    Start();
}

void LoopbackHttpServer::Start() {
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
    SSL_CTX_free(static_cast<SSL_CTX*>(tls_));
}

int LoopbackHttpServer::FailedHandshakes() const {
    std::lock_guard lock(mutex_);
    return failedHandshakes_;
}

std::string LoopbackHttpServer::Url(const std::string& path) const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) + path;
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
    Connection c{fd, nullptr};
    if (tls_) {
        // The handshake blocks at most this long on a client that says nothing.
        timeval tv{kReadTimeoutMs / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        c.ssl = SSL_new(static_cast<SSL_CTX*>(tls_));
        if (!c.ssl || SSL_set_fd(c.ssl, fd) != 1 || SSL_accept(c.ssl) != 1) {
            SSL_free(c.ssl);
            std::lock_guard lock(mutex_);
            ++failedHandshakes_;
            return;
        }
    }
    ServeRequest(c);
    if (c.ssl) {
        SSL_shutdown(c.ssl);
        SSL_free(c.ssl);
    }
}

void LoopbackHttpServer::ServeRequest(Connection& c) {
    std::string request;
    if (!ReadRequest(c, request)) {
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
    if (!SendAll(c, reply.bytes)) {
        return;
    }
    switch (reply.mode) {
    case Reply::Mode::Send:
        if (!c.ssl) {
            ::shutdown(c.fd, SHUT_WR);
        }
        // Let the client read everything before the socket goes (no reset).
        WaitStopped(c, c.ssl ? 200 : 2000);
        break;
    case Reply::Mode::Stall:
        WaitStopped(c, -1);
        break;
    case Reply::Mode::SendForever: {
        const std::string filler(64 * 1024, 'x');
        while (SendAll(c, filler)) {
        }
        break;
    }
    }
}

bool LoopbackHttpServer::WaitReadable(Connection& c, int timeoutMs) {
    if (c.ssl && SSL_pending(c.ssl) > 0) {
        return true;
    }
    pollfd fds[2] = {{c.fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    return ::poll(fds, 2, timeoutMs) > 0 && !fds[1].revents;
}

namespace {

ssize_t Receive(SSL* ssl, int fd, char* buf, std::size_t n) {
    if (ssl) {
        const int got = SSL_read(ssl, buf, static_cast<int>(n));
        return got > 0 ? got : -1;
    }
    return ::recv(fd, buf, n, 0);
}

} // namespace

// Reads the header block and as many body bytes as its Content-Length gives.
bool LoopbackHttpServer::ReadRequest(Connection& c, std::string& request) {
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
        if (request.size() > kMaxRequestBytes || !WaitReadable(c, kReadTimeoutMs)) {
            return false;
        }
        const ssize_t n = Receive(c.ssl, c.fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        request.append(buf, static_cast<std::size_t>(n));
    }
}

bool LoopbackHttpServer::SendAll(Connection& c, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        pollfd fds[2] = {{c.fd, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, kReadTimeoutMs) <= 0 || fds[1].revents || (fds[0].revents & (POLLERR | POLLHUP))) {
            return false;
        }
        const ssize_t n = c.ssl ? SSL_write(c.ssl, bytes.data() + sent, static_cast<int>(bytes.size() - sent))
                                : ::send(c.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Returns when the client closes, the server stops, or timeoutMs passes (-1: no limit).
bool LoopbackHttpServer::WaitStopped(Connection& c, int timeoutMs) {
    char buf[1024];
    for (;;) {
        pollfd fds[2] = {{c.fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready <= 0 || fds[1].revents) {
            return fds[1].revents != 0;
        }
        if (Receive(c.ssl, c.fd, buf, sizeof buf) <= 0) {
            return false;
        }
    }
}

} // namespace nuvex::test
