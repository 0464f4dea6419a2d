#pragma once
// A loopback TCP server on a port the kernel picks that hands each connection,
// one at a time, to a handler on its own thread: the base of the scripted
// servers that do what a real one will not (stall, flood, send garbage, reset).
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nuvex::test {

// A TCP socket bound to 127.0.0.1 on a free port (written to *port), listening
// with `backlog` unless it is negative; -1 when that fails.
int BindLoopback(int* port, int backlog = -1);

class LineServer {
public:
    // One connection as the handler sees it. Every call gives up once the
    // server is being destroyed, so no handler outlives its test.
    class Peer {
    public:
        // Sends all of data; false once the client is gone.
        bool Send(const std::string& data);
        // One line without its line end; false once the client is gone.
        bool Receive(std::string& line);
        // Reads and drops what comes until the client goes away.
        void Drain();
        bool Stopping() const { return server_.stop_; }
        int Fd() const { return fd_; }

    private:
        friend class LineServer;
        Peer(LineServer& server, int fd) : server_(server), fd_(fd) {}
        LineServer& server_;
        int fd_;
    };
    using Handler = std::function<void(Peer&)>;

    explicit LineServer(Handler handler);
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    int Port() const { return port_; }
    // Every line received so far, on all connections.
    std::vector<std::string> Received() const;

private:
    void Serve();

    Handler handler_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};

} // namespace nuvex::test
