#include "tests/support/fake_transport.h"

#include <fstream>
#include <sstream>

namespace nuvex::test {

std::shared_ptr<Pop3Script> Pop3Script::FromText(const std::string& text) {
    auto script = std::make_shared<Pop3Script>();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        script->lines.push_back(line);
    }
    return script;
}

std::shared_ptr<Pop3Script> Pop3Script::FromFile(const std::string& name) {
    std::ifstream in(std::string(NUVEX_TEST_DATA) + "/pop3/" + name);
    std::stringstream text;
    text << in.rdbuf();
    auto script = FromText(text.str());
    if (script->lines.empty()) {
        script->mismatches.push_back("script file missing or empty: " + name);
    }
    return script;
}

void ScriptedPop3Transport::Open(const std::string& host, int port, bool implicitTls, const Pop3Limits&) {
    Pop3Script& s = *script_;
    s.host = host;
    s.port = port;
    s.tls = implicitTls;
    ++s.opens;
    if (s.pos < s.lines.size() && s.lines[s.pos].rfind("O! ", 0) == 0) {
        std::string what = s.lines[s.pos++].substr(3);
        if (what == "untrusted") {
            throw TransportError(TransportFailure::TlsVerify, "certificate not trusted");
        }
        throw TransportError(TransportFailure::Unreachable, "connection refused");
    }
    open_ = true;
}

std::string ScriptedPop3Transport::ReadBytes(std::size_t n) {
    while (pending_.size() < n) {
        std::string rest = std::move(pending_);
        pending_.clear();
        std::string line = ReadLine();
        pending_ = rest + line + "\r\n";
    }
    std::string out = pending_.substr(0, n);
    pending_.erase(0, n);
    return out;
}

void ScriptedPop3Transport::StartTls(const std::string& host) {
    Pop3Script& s = *script_;
    if (s.pos < s.lines.size() && s.lines[s.pos] == "T! ok") {
        ++s.pos;
        s.tls = true;
        s.host = host;
        return;
    }
    if (s.pos < s.lines.size() && s.lines[s.pos] == "T! fail") {
        ++s.pos;
        open_ = false;
        throw TransportError(TransportFailure::TlsHandshake, "TLS handshake failed");
    }
    s.mismatches.push_back("client started TLS where the script has: " +
                           (s.pos < s.lines.size() ? s.lines[s.pos] : std::string("(end)")));
    throw TransportError(TransportFailure::TlsHandshake, "TLS out of turn");
}

std::string ScriptedPop3Transport::ReadLine() {
    Pop3Script& s = *script_;
    if (!open_) {
        throw TransportError(TransportFailure::Reset, "not connected");
    }
    if (!pending_.empty()) {
        std::size_t end = pending_.find("\r\n");
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end == std::string::npos ? std::string::npos : end + 2);
        return line;
    }
    if (s.pos >= s.lines.size()) {
        throw TransportError(TransportFailure::Reset, "script ended: connection closed");
    }
    const std::string& line = s.lines[s.pos];
    if (line.rfind("S: ", 0) == 0 || line == "S:") {
        ++s.pos;
        return line.size() > 3 ? line.substr(3) : std::string();
    }
    if (line.rfind("S! ", 0) == 0) {
        ++s.pos;
        std::string what = line.substr(3);
        open_ = false;
        if (what == "timeout") {
            throw TransportError(TransportFailure::Timeout, "time-out");
        }
        if (what == "toolong") {
            throw TransportError(TransportFailure::LineTooLong, "reply line too long");
        }
        throw TransportError(TransportFailure::Reset, "connection reset");
    }
    s.mismatches.push_back("client read while the script expects: " + line);
    throw TransportError(TransportFailure::Timeout, "client read out of turn");
}

void ScriptedPop3Transport::Write(std::string_view data) {
    Pop3Script& s = *script_;
    if (!open_) {
        throw TransportError(TransportFailure::Reset, "not connected");
    }
    partial_ += data;
    std::size_t nl;
    while ((nl = partial_.find("\r\n")) != std::string::npos) {
        std::string sent = partial_.substr(0, nl);
        partial_.erase(0, nl + 2);
        s.sent.push_back(sent);
        if (s.pos < s.lines.size() && s.lines[s.pos] == "C: " + sent) {
            ++s.pos;
        } else {
            s.mismatches.push_back("client sent \"" + sent + "\" where the script has \"" +
                                   (s.pos < s.lines.size() ? s.lines[s.pos] : std::string("(end)")) + "\"");
        }
    }
}

Pop3TransportFactory ScriptedTransportFactory(std::shared_ptr<Pop3Script> script) {
    return [script]() -> std::unique_ptr<Pop3Transport> {
        return std::make_unique<ScriptedPop3Transport>(script);
    };
}

} // namespace nuvex::test
