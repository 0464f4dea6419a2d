#pragma once
// The byte stream under the POP3 client: a TCP connection, optionally with
// TLS from the first byte. Tests replace it with a scripted fake.
#include "accounts/account_context.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nuvex {

enum class TransportFailure {
    Unreachable,  // name not resolved, refused, unreachable, connect time-out
    Reset,        // connection reset or closed by the peer
    Timeout,      // no complete line within the read time-out
    LineTooLong,  // a line beyond the line bound
    TlsHandshake, // the peer does not speak TLS
    TlsVerify,    // certificate or host name not trusted
};

class TransportError : public std::runtime_error {
public:
    TransportError(TransportFailure kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    TransportFailure Kind() const { return kind_; }

private:
    TransportFailure kind_;
};

class Pop3Transport {
public:
    virtual ~Pop3Transport() = default;
    // Opens the connection (and finishes the TLS handshake); throws TransportError.
    virtual void Open(const std::string& host, int port, bool implicitTls, const Pop3Limits& limits) = 0;
    // One line without its CR LF; throws TransportError.
    virtual std::string ReadLine() = 0;
    // Sends all of data; throws TransportError.
    virtual void Write(std::string_view data) = 0;
    // Closes at once; safe to call twice.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

// A TCP transport with poll()-based time-outs and OpenSSL for implicit TLS.
// The server certificate and host name are verified against the system store
// (SSL_CERT_FILE and SSL_CERT_DIR are honoured).
std::unique_ptr<Pop3Transport> MakeTcpPop3Transport();

} // namespace nuvex
