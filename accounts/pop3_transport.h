#pragma once
// The byte stream under the POP3 and IMAP clients: a TCP connection, with TLS
// from the first byte or after an upgrade on request. Tests replace it with a
// scripted fake.
#include "accounts/account_context.h"
#include "lib/net_problem.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace nuvex {

class StopSignal;

enum class TransportFailure {
    Unreachable,  // name not resolved, refused, unreachable, connect time-out
    Reset,        // connection reset or closed by the peer
    Timeout,      // no complete line within the read time-out
    LineTooLong,  // a line beyond the line bound
    TlsHandshake, // the peer does not speak TLS
    TlsVerify,    // certificate or host name not trusted
    Cancelled,    // the plug-in is stopping: the check ends at once
};

class TransportError : public std::runtime_error {
public:
    TransportError(TransportFailure kind, const std::string& what, NetProblem problem = NetProblem::None)
        : std::runtime_error(what), kind_(kind), problem_(problem) {}
    TransportFailure Kind() const { return kind_; }
    // What the user is told: given, or what the kind alone says.
    NetProblem Problem() const {
        if (problem_ != NetProblem::None) {
            return problem_;
        }
        switch (kind_) {
        case TransportFailure::Timeout:
            return NetProblem::TimedOut;
        case TransportFailure::TlsHandshake:
            return NetProblem::Tls;
        case TransportFailure::TlsVerify:
            return NetProblem::Certificate;
        default:
            return NetProblem::None;
        }
    }

private:
    TransportFailure kind_;
    NetProblem problem_;
};

class Pop3Transport {
public:
    virtual ~Pop3Transport() = default;
    // Opens the connection (and finishes the TLS handshake); throws TransportError.
    virtual void Open(const std::string& host, int port, bool implicitTls, const Pop3Limits& limits) = 0;
    // One line without its CR LF; throws TransportError.
    virtual std::string ReadLine() = 0;
    // Exactly n bytes, line ends included (an IMAP literal, whose size the
    // caller bounded); throws TransportError.
    virtual std::string ReadBytes(std::size_t n);
    // Sends all of data; throws TransportError.
    virtual void Write(std::string_view data) = 0;
    // Starts TLS on the open connection (STARTTLS), with the checks of an
    // implicit TLS connection; bytes the server sent before the handshake are
    // refused, not read as if they had been protected. Throws TransportError;
    // the connection is then unusable: there is no way back to plain text.
    virtual void StartTls(const std::string& host);
    // For a connection that waits between commands (IMAP IDLE): the socket
    // to poll (-1 when there is none), whether bytes already arrived that a
    // poll would not show (a decrypted TLS record), and a fresh whole-session
    // deadline, since such a connection outlives any one check.
    virtual int PollFd() const { return -1; }
    virtual bool Buffered() const { return false; }
    virtual void RestartSession() {}
    // Closes at once; safe to call twice.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

// One address to try, as the resolver found it.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// Host name and port to the addresses to try, in order; empty when the name
// did not resolve within timeoutMs or the stop was raised. A name that has
// no address throws TransportError (NetProblem::NoSuchHost). The default asks
// getaddrinfo; tests hand in fixed lists (a first address that never answers).
using Pop3Resolver = std::function<std::vector<SocketAddress>(const std::string& host, int port,
                                                              int timeoutMs, const StopSignal* stop)>;

// A TCP transport with poll()-based time-outs and OpenSSL for implicit TLS.
// The server certificate and host name are verified against the system store
// (SSL_CERT_FILE and SSL_CERT_DIR are honoured). Every wait also watches stop
// (may be null): once it is raised, the call in progress throws Cancelled.
std::unique_ptr<Pop3Transport> MakeTcpPop3Transport(const StopSignal* stop = nullptr,
                                                    Pop3Resolver resolver = {});

} // namespace nuvex
