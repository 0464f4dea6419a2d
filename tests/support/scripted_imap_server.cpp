#include "tests/support/scripted_imap_server.h"

namespace nuvex::test {

ScriptedImapServer::ScriptedImapServer(std::vector<std::string> script)
    : script_(std::move(script)), server_([this](LineServer::Peer& peer) { Handle(peer); }) {}

void ScriptedImapServer::Handle(LineServer::Peer& peer) const {
    std::string tag = "*";
    std::string line;
    for (const std::string& step : script_) {
        if (step.rfind("S: ", 0) == 0) {
            std::string text = step.substr(3);
            for (std::size_t at = text.find('$'); at != std::string::npos;
                 at = text.find('$', at + tag.size())) {
                text.replace(at, 1, tag);
            }
            if (!peer.Send(text + "\r\n")) {
                return;
            }
        } else if (step == "C:") {
            if (!peer.Receive(line)) {
                return;
            }
            tag = line.substr(0, line.find(' '));
        } else if (step.rfind("FLOOD ", 0) == 0) {
            while (peer.Send(step.substr(6) + "\r\n")) {
            }
            return;
        } else if (step == "ENDLESS") {
            while (peer.Send(std::string(4096, 'A'))) {
            }
            return;
        } else if (step == "SILENT" || step == "GARBAGE") {
            if (step == "GARBAGE" && !peer.Send("this is no TLS server hello\r\n")) {
                return;
            }
            peer.Drain();
            return;
        }
    }
    // The script ended: wait for the client to close, answering nothing more.
    peer.Drain();
}

} // namespace nuvex::test
