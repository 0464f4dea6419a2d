#include "accounts/pop3_transport.h"

#include "lib/log.h"
#include "lib/stop_signal.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace nuvex {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Real time, not the program clock: the time-outs guard against peers, and a
// fake clock in tests must not make a silent server wait for ever.
struct Deadline {
    SteadyClock::time_point at;
    static Deadline In(int ms) { return {SteadyClock::now() + std::chrono::milliseconds(ms)}; }
    int RemainingMs() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - SteadyClock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    static Deadline Earlier(const Deadline& a, const Deadline& b) { return a.at < b.at ? a : b; }
};

std::string OpenSslErrorText() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "TLS error";
    }
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    return buf;
}

// SSL_write on a socket the peer closed raises SIGPIPE; the program must not
// die of it. The signal is blocked on this thread for the call and a pending
// one is taken off before unblocking (plain sends use MSG_NOSIGNAL instead).
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeGuard() {
        if (!wasPending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                sigset_t set;
                sigemptyset(&set);
                sigaddset(&set, SIGPIPE);
                timespec zero{0, 0};
                sigtimedwait(&set, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t old_{};
    bool wasPending_ = false;
};

// One client context per trust configuration; loading the system store costs
// milliseconds, so it is shared, and made anew when SSL_CERT_FILE or
// SSL_CERT_DIR changes.
class TlsContextCache {
public:
    SSL_CTX* Get() {
        std::lock_guard lock(mutex_);
        std::string key = Env("SSL_CERT_FILE") + '\n' + Env("SSL_CERT_DIR");
        if (!ctx_ || key != key_) {
            SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
            if (!ctx) {
                return nullptr;
            }
            SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
            if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
                SSL_CTX_free(ctx);
                return nullptr;
            }
            if (ctx_) {
                SSL_CTX_free(ctx_);
            }
            ctx_ = ctx;
            key_ = key;
        }
        SSL_CTX_up_ref(ctx_);
        return ctx_;
    }

private:
    static std::string Env(const char* name) {
        const char* v = std::getenv(name);
        return v ? v : "";
    }
    std::mutex mutex_;
    SSL_CTX* ctx_ = nullptr;
    std::string key_;
};

TlsContextCache& TlsContexts() {
    static auto* cache = new TlsContextCache; // never freed: other threads may still hold it at exit
    return *cache;
}

// Without an eventfd the stop flag is looked at between waits this long.
constexpr int kStopSliceMs = 50;

enum class WaitResult { Ready, TimedOut, Cancelled, Failed };

// Waits until fd is ready for events, the deadline passes or the stop is
// raised; a signal that interrupts poll() does not end the wait.
WaitResult WaitFor(int fd, short events, const Deadline& deadline, const StopSignal* stop) {
    for (;;) {
        if (stop && stop->Raised()) {
            return WaitResult::Cancelled;
        }
        int left = deadline.RemainingMs();
        if (left <= 0) {
            return WaitResult::TimedOut;
        }
        pollfd p[2] = {{fd, events, 0}, {-1, POLLIN, 0}};
        if (stop && stop->Fd() >= 0) {
            p[1].fd = stop->Fd();
        } else if (stop) {
            left = std::min(left, kStopSliceMs);
        }
        int ready = ::poll(p, 2, left);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WaitResult::Failed;
        }
        if (p[1].revents != 0) {
            return WaitResult::Cancelled;
        }
        if (ready > 0 && p[0].revents != 0) {
            return WaitResult::Ready;
        }
    }
}

[[noreturn]] void ThrowCancelled() {
    throw TransportError(TransportFailure::Cancelled, "stopped");
}

// getaddrinfo has no time-out of its own. It runs on a helper thread that
// owns its state together with this waiter; when the wait gives up, the helper
// finishes on its own and frees what it used.
struct Resolution {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int rc = 0;
    addrinfo* result = nullptr;
    ~Resolution() {
        if (result) {
            freeaddrinfo(result);
        }
    }
};

std::vector<SocketAddress> ResolveWithin(const std::string& host, int port, int timeoutMs,
                                         const StopSignal* stop) {
    auto state = std::make_shared<Resolution>();
    try {
        std::thread([state, host, service = std::to_string(port)] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            if (rc != 0) {
                found = nullptr;
            }
            std::lock_guard lock(state->mutex);
            state->rc = rc;
            state->result = found;
            state->finished = true;
            state->done.notify_all();
        }).detach();
    } catch (...) {
        log::Caught("pop3", "starting the name look-up");
        return {};
    }
    const Deadline deadline = Deadline::In(timeoutMs);
    std::unique_lock lock(state->mutex);
    // The condition variable cannot wait on the stop signal: wait in slices.
    while (!state->finished) {
        int left = deadline.RemainingMs();
        if (left <= 0 || (stop && stop->Raised())) {
            return {};
        }
        state->done.wait_for(lock, std::chrono::milliseconds(std::min(left, kStopSliceMs)));
    }
    // The name server said there is no such name; any other failure (none
    // reachable: EAI_AGAIN) is the network's, told as such.
    if (state->rc == EAI_NONAME || state->rc == EAI_FAIL
#ifdef EAI_NODATA
        || state->rc == EAI_NODATA
#endif
    ) {
        throw TransportError(TransportFailure::Unreachable, "no such host " + host, NetProblem::NoSuchHost);
    }
    if (state->rc != 0) {
        throw TransportError(TransportFailure::Unreachable,
                             "name look-up of " + host + " failed: " + gai_strerror(state->rc));
    }
    std::vector<SocketAddress> out;
    for (addrinfo* ai = state->result; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        SocketAddress a;
        std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        out.push_back(a);
    }
    return out;
}

std::string AddressText(const SocketAddress& a) {
    char buf[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (a.storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a.storage);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
        port = ntohs(in->sin_port);
        return std::string(buf) + ":" + std::to_string(port);
    }
    if (a.storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a.storage);
        inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
        port = ntohs(in6->sin6_port);
    }
    return "[" + std::string(buf) + "]:" + std::to_string(port);
}

// One connection attempt within its own deadline; the socket, or -1 with error set.
int ConnectOne(const SocketAddress& address, const Deadline& deadline, const StopSignal* stop,
               std::string& error, int& errorNumber) {
    int s = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        errorNumber = errno;
        error = AddressText(address) + ": " + std::strerror(errno);
        return -1;
    }
    int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
    // A non-blocking connect interrupted by a signal goes on in the background, like EINPROGRESS.
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        WaitResult w = WaitFor(s, POLLOUT, deadline, stop);
        int soError = 0;
        socklen_t len = sizeof soError;
        if (w == WaitResult::Cancelled) {
            ::close(s);
            ThrowCancelled();
        }
        if (w == WaitResult::Ready && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 &&
            soError == 0) {
            rc = 0;
        } else {
            errno = w == WaitResult::TimedOut ? ETIMEDOUT : (soError != 0 ? soError : errno);
        }
    }
    if (rc != 0) {
        errorNumber = errno;
        error = AddressText(address) + ": " + std::strerror(errno);
        ::close(s);
        return -1;
    }
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

bool IsIpLiteral(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

class TcpPop3Transport final : public Pop3Transport {
public:
    TcpPop3Transport(const StopSignal* stop, Pop3Resolver resolver)
        : stop_(stop), resolver_(resolver ? std::move(resolver) : Pop3Resolver(ResolveWithin)) {}
    ~TcpPop3Transport() override { Close(); }

    void Open(const std::string& host, int port, bool implicitTls, const Pop3Limits& limits) override {
        Close();
        limits_ = limits;
        total_ = Deadline::In(limits.totalTimeoutMs);
        fd_ = ConnectTcp(host, port, Deadline::Earlier(Deadline::In(limits.connectTimeoutMs), total_));
        if (implicitTls) {
            Handshake(host);
        }
    }

    void StartTls(const std::string& host) override {
        if (fd_ < 0 || ssl_) {
            throw TransportError(TransportFailure::TlsHandshake, "no plain connection to upgrade");
        }
        if (buffer_.size() > start_) {
            throw TransportError(TransportFailure::TlsHandshake, "server sent data before the TLS handshake");
        }
        Handshake(host);
    }

    std::string ReadBytes(std::size_t n) override {
        Deadline deadline = Deadline::Earlier(Deadline::In(limits_.readTimeoutMs), total_);
        // The lines already taken lie before start_.
        buffer_.erase(0, start_);
        start_ = 0;
        while (buffer_.size() < n) {
            Fill(deadline);
        }
        std::string out = buffer_.substr(0, n);
        buffer_.erase(0, n);
        scanned_ = 0;
        return out;
    }

    std::string ReadLine() override {
        Deadline deadline = Deadline::Earlier(Deadline::In(limits_.readTimeoutMs), total_);
        for (;;) {
            std::size_t nl = buffer_.find('\n', std::max(start_, scanned_));
            if (nl != std::string::npos) {
                // The lines of a long listing are taken from the front by an
                // offset: erasing each would move the rest of the buffer every time.
                std::string line = buffer_.substr(start_, nl - start_);
                start_ = nl + 1;
                scanned_ = start_;
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                if (line.size() > limits_.maxLineBytes) {
                    throw TransportError(TransportFailure::LineTooLong, "reply line too long");
                }
                return line;
            }
            buffer_.erase(0, start_);
            start_ = 0;
            scanned_ = buffer_.size();
            if (buffer_.size() > limits_.maxLineBytes) {
                throw TransportError(TransportFailure::LineTooLong, "reply line too long");
            }
            Fill(deadline);
        }
    }

    void Write(std::string_view data) override {
        if (fd_ < 0) {
            throw TransportError(TransportFailure::Reset, "not connected");
        }
        if (stop_ && stop_->Raised()) {
            ThrowCancelled();
        }
        Deadline deadline = Deadline::Earlier(Deadline::In(limits_.readTimeoutMs), total_);
        std::size_t sent = 0;
        while (sent < data.size()) {
            if (ssl_) {
                int n;
                {
                    SigpipeGuard guard;
                    n = SSL_write(ssl_, data.data() + sent, static_cast<int>(data.size() - sent));
                }
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                    continue;
                }
                WaitForSsl(SSL_get_error(ssl_, n), deadline, "write");
            } else {
                ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                    WaitFd(POLLOUT, deadline);
                } else {
                    throw TransportError(TransportFailure::Reset,
                                         std::string("send: ") + std::strerror(errno));
                }
            }
        }
    }

    void Close() override {
        if (ssl_) {
            SigpipeGuard guard;
            SSL_shutdown(ssl_); // one close_notify, no wait for the peer's
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        if (ctx_) {
            SSL_CTX_free(ctx_);
            ctx_ = nullptr;
        }
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        buffer_.clear();
        start_ = 0;
        scanned_ = 0;
        ERR_clear_error();
    }

    bool IsOpen() const override { return fd_ >= 0; }
    int PollFd() const override { return fd_; }
    bool Buffered() const override { return buffer_.size() > start_ || (ssl_ && SSL_pending(ssl_) > 0); }
    void RestartSession() override { total_ = Deadline::In(limits_.totalTimeoutMs); }

private:
    int ConnectTcp(const std::string& host, int port, const Deadline& deadline) {
        if (host.empty() || port <= 0 || port > 65535) {
            throw TransportError(TransportFailure::Unreachable, "no server name or port");
        }
        std::vector<SocketAddress> addresses = resolver_(host, port, deadline.RemainingMs(), stop_);
        if (stop_ && stop_->Raised()) {
            ThrowCancelled();
        }
        if (addresses.empty()) {
            throw TransportError(TransportFailure::Unreachable,
                                 "server name " + host + " not resolved in time", NetProblem::TimedOut);
        }
        std::string lastError = "connect failed";
        int lastErrno = 0;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            // Each address gets its share of what is left: a first address
            // whose packets are silently dropped (a broken IPv6 route) must not
            // spend the time of the ones behind it. One that fails fast leaves
            // its share to the rest.
            const int share = std::max(1, deadline.RemainingMs() / static_cast<int>(addresses.size() - i));
            const Deadline attempt = Deadline::Earlier(Deadline::In(share), deadline);
            int fd = ConnectOne(addresses[i], attempt, stop_, lastError, lastErrno);
            if (fd >= 0) {
                return fd;
            }
        }
        // The reason of the last address tried is the one told.
        const NetProblem problem = lastErrno == ECONNREFUSED ? NetProblem::Refused
                                   : lastErrno == ETIMEDOUT  ? NetProblem::TimedOut
                                                             : NetProblem::None;
        throw TransportError(TransportFailure::Unreachable, lastError, problem);
    }

    void Handshake(const std::string& host) {
        ctx_ = TlsContexts().Get();
        if (!ctx_) {
            throw TransportError(TransportFailure::TlsHandshake, "TLS context: " + OpenSslErrorText());
        }
        ssl_ = SSL_new(ctx_);
        if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1) {
            throw TransportError(TransportFailure::TlsHandshake, "TLS setup: " + OpenSslErrorText());
        }
        // Without the name or address to match, any trusted certificate would
        // pass: a set-up failure here must end the connection.
        bool named =
            IsIpLiteral(host)
                ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str()) == 1
                : SSL_set_tlsext_host_name(ssl_, host.c_str()) == 1 && SSL_set1_host(ssl_, host.c_str()) == 1;
        if (!named) {
            throw TransportError(TransportFailure::TlsVerify,
                                 "cannot check the certificate against " + host + ": " + OpenSslErrorText());
        }
        Deadline deadline = Deadline::Earlier(Deadline::In(limits_.readTimeoutMs), total_);
        for (;;) {
            int rc;
            {
                SigpipeGuard guard;
                rc = SSL_connect(ssl_);
            }
            if (rc == 1) {
                break;
            }
            int err = SSL_get_error(ssl_, rc);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                WaitFd(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
                continue;
            }
            long verify = SSL_get_verify_result(ssl_);
            if (verify != X509_V_OK) {
                throw TransportError(TransportFailure::TlsVerify, std::string("certificate not trusted: ") +
                                                                      X509_verify_cert_error_string(verify));
            }
            throw TransportError(TransportFailure::TlsHandshake, "TLS handshake: " + OpenSslErrorText());
        }
    }

    void WaitFd(short events, const Deadline& deadline) {
        switch (WaitFor(fd_, events, deadline, stop_)) {
        case WaitResult::Ready:
            return;
        case WaitResult::TimedOut:
            throw TransportError(TransportFailure::Timeout, "time-out");
        case WaitResult::Cancelled:
            ThrowCancelled();
        case WaitResult::Failed:
            break;
        }
        throw TransportError(TransportFailure::Reset, std::string("poll: ") + std::strerror(errno));
    }

    void WaitForSsl(int err, const Deadline& deadline, const char* what) {
        if (err == SSL_ERROR_WANT_READ) {
            WaitFd(POLLIN, deadline);
        } else if (err == SSL_ERROR_WANT_WRITE) {
            WaitFd(POLLOUT, deadline);
        } else if (err == SSL_ERROR_ZERO_RETURN) {
            throw TransportError(TransportFailure::Reset, "connection closed by the server");
        } else {
            throw TransportError(TransportFailure::Reset,
                                 std::string("TLS ") + what + ": " + OpenSslErrorText());
        }
    }

    void Fill(const Deadline& deadline) {
        if (fd_ < 0) {
            throw TransportError(TransportFailure::Reset, "not connected");
        }
        // A peer that never pauses would otherwise never reach a wait.
        if (stop_ && stop_->Raised()) {
            ThrowCancelled();
        }
        char chunk[16384];
        for (;;) {
            if (ssl_) {
                int n = SSL_read(ssl_, chunk, sizeof chunk);
                if (n > 0) {
                    buffer_.append(chunk, static_cast<std::size_t>(n));
                    return;
                }
                WaitForSsl(SSL_get_error(ssl_, n), deadline, "read");
            } else {
                ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
                if (n > 0) {
                    buffer_.append(chunk, static_cast<std::size_t>(n));
                    return;
                }
                if (n == 0) {
                    throw TransportError(TransportFailure::Reset, "connection closed by the server");
                }
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    WaitFd(POLLIN, deadline);
                } else {
                    throw TransportError(TransportFailure::Reset,
                                         std::string("recv: ") + std::strerror(errno));
                }
            }
        }
    }

    const StopSignal* stop_;
    Pop3Resolver resolver_;
    Pop3Limits limits_;
    Deadline total_{};
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::string buffer_;
    std::size_t start_ = 0; // where the next line begins
    std::size_t scanned_ = 0;
};

} // namespace

std::string Pop3Transport::ReadBytes(std::size_t /*n*/) {
    throw TransportError(TransportFailure::Reset, "this transport reads lines only");
}

void Pop3Transport::StartTls(const std::string& /*host*/) {
    throw TransportError(TransportFailure::TlsHandshake, "this transport cannot start TLS");
}

std::unique_ptr<Pop3Transport> MakeTcpPop3Transport(const StopSignal* stop, Pop3Resolver resolver) {
    return std::make_unique<TcpPop3Transport>(stop, std::move(resolver));
}

} // namespace nuvex
