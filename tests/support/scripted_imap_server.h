#pragma once
// A loopback IMAP server that follows a script on every connection, for what
// a real server will not do (endless lines, floods, huge literals, a failed
// STARTTLS). Script lines:
//   "S: TEXT"   sends TEXT and CR LF; "$" in it is the tag of the last command
//   "C:"        reads one command line (and takes its tag)
//   "FLOOD TEXT" sends TEXT and CR LF until the client goes away
//   "ENDLESS"   sends bytes without a line end until the client goes away
//   "SILENT"    reads and answers nothing until the client goes away
//   "GARBAGE"   sends bytes that are no TLS handshake, then waits
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nuvex::test {

class ScriptedImapServer {
public:
    explicit ScriptedImapServer(std::vector<std::string> script);
    ~ScriptedImapServer();
    ScriptedImapServer(const ScriptedImapServer&) = delete;
    ScriptedImapServer& operator=(const ScriptedImapServer&) = delete;

    int Port() const { return port_; }
    // Every command line received so far, on all connections.
    std::vector<std::string> Received() const;

private:
    void Serve();
    void Handle(int fd);
    bool Send(int fd, const std::string& data);
    bool Receive(int fd, std::string& line);

    std::vector<std::string> script_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};

} // namespace nuvex::test
