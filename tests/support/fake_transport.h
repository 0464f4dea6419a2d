#pragma once
// A scripted POP3 peer for unit tests. A script is a list of lines:
//   "C: TEXT"   the client must send TEXT (one line)
//   "S: TEXT"   the server answers TEXT
//   "S! reset"  the next read fails as a reset connection
//   "S! timeout" the next read fails as a time-out
//   "S! toolong" the next read fails as an over-long line
//   "O! refuse" the connection is refused
//   "O! untrusted" the TLS certificate is not trusted
//   "T! ok"     the client starts TLS here and the upgrade succeeds
//   "T! fail"   the client starts TLS here and the handshake fails
// A literal the client reads by size (ReadBytes) is taken from the next "S:"
// lines, each with its CR LF.
// Lines starting with "#" are comments. The transport records what the client
// did differently from the script.
#include "accounts/account_context.h"
#include "accounts/pop3_transport.h"

#include <memory>
#include <string>
#include <vector>

namespace nuvex::test {

struct Pop3Script {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    std::vector<std::string> mismatches;
    std::vector<std::string> sent; // every line the client sent
    std::string host;
    int port = 0;
    bool tls = false;
    int opens = 0;

    static std::shared_ptr<Pop3Script> FromText(const std::string& text);
    // A script file under tests/data/pop3.
    static std::shared_ptr<Pop3Script> FromFile(const std::string& name);
    bool Finished() const { return pos == lines.size(); }
};

class ScriptedPop3Transport final : public Pop3Transport {
public:
    explicit ScriptedPop3Transport(std::shared_ptr<Pop3Script> script) : script_(std::move(script)) {}
    void Open(const std::string& host, int port, bool implicitTls, const Pop3Limits& limits) override;
    std::string ReadLine() override;
    std::string ReadBytes(std::size_t n) override;
    void Write(std::string_view data) override;
    void StartTls(const std::string& host) override;
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }

private:
    std::shared_ptr<Pop3Script> script_;
    bool open_ = false;
    std::string partial_;
    std::string pending_; // what is left of lines ReadBytes took in part
};

Pop3TransportFactory ScriptedTransportFactory(std::shared_ptr<Pop3Script> script);

} // namespace nuvex::test
