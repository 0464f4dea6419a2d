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
#include "tests/support/line_server.h"

#include <string>
#include <vector>

namespace nuvex::test {

class ScriptedImapServer {
public:
    explicit ScriptedImapServer(std::vector<std::string> script);

    int Port() const { return server_.Port(); }
    // Every command line received so far, on all connections.
    std::vector<std::string> Received() const { return server_.Received(); }

private:
    void Handle(LineServer::Peer& peer) const;

    std::vector<std::string> script_;
    LineServer server_;
};

} // namespace nuvex::test
