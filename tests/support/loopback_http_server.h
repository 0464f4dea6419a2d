#pragma once
// A scripted HTTP server on 127.0.0.1 (port chosen by the system) that runs on
// its own thread inside a test. Each connection takes the next scripted reply
// (one request per connection, closed after the reply); the exact bytes of every
// request (header block and body) are recorded for the test to compare.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nuvex::test {

// A test CA, a second CA that signed nothing, and a server certificate for
// "localhost" signed by the first, made with the openssl command in dir.
struct TestCertificates {
    std::string caFile;
    std::string otherCaFile;
    std::string certFile;
    std::string keyFile;
    // Nothing when the openssl command is missing or fails (the reason in error).
    static std::optional<TestCertificates> Make(const std::string& dir, std::string& error);
};

class LoopbackHttpServer {
public:
    struct Reply {
        enum class Mode {
            Send,        // send bytes, then close
            Stall,       // send bytes, then keep the connection open and silent until stopped
            SendForever, // send bytes, then a stream of filler until the client goes away
        };
        std::string bytes;
        Mode mode = Mode::Send;
    };

    LoopbackHttpServer();
    // HTTPS with the given certificate: every connection starts with a TLS
    // handshake; one that fails is closed and recorded in no request.
    explicit LoopbackHttpServer(const TestCertificates& tls);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT" + path; in TLS mode "https://localhost:PORT" + path,
    // the name the certificate carries.
    std::string Url(const std::string& path) const;
    // Connections whose TLS handshake failed.
    int FailedHandshakes() const;

    // Replies are used in order; with none left a connection gets a 500.
    void Enqueue(Reply reply);
    void Enqueue(const std::string& bytes) { Enqueue(Reply{bytes, Reply::Mode::Send}); }

    // The requests received so far, each as the exact bytes read.
    std::vector<std::string> Requests() const;
    // Waits up to timeoutMs until at least count requests have arrived.
    bool WaitForRequests(std::size_t count, int timeoutMs) const;

    // "HTTP/1.0 <status> <reason>", the given header lines, Content-Length, an
    // empty line and the body.
    static std::string Response(int status, const std::string& body,
                                const std::vector<std::string>& headers = {},
                                const std::string& version = "HTTP/1.0");

private:
    struct Connection;

    void Start();
    void Run();
    void Serve(int fd);
    void ServeRequest(Connection& c);
    bool ReadRequest(Connection& c, std::string& request);
    bool SendAll(Connection& c, const std::string& bytes);
    bool WaitStopped(Connection& c, int timeoutMs);
    bool WaitReadable(Connection& c, int timeoutMs);

    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::deque<Reply> replies_;
    std::vector<std::string> requests_;
    std::thread thread_;
    void* tls_ = nullptr; // SSL_CTX
    int failedHandshakes_ = 0;
};

} // namespace nuvex::test
