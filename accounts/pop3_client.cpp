#include "accounts/pop3_client.h"

#include "accounts/account_store.h"
#include "accounts/connector_support.h"
#include "lib/log.h"
#include "lib/text.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

namespace nuvex {

namespace {

// Server texts end up in exception messages and the log; keep them short and printable.
} // namespace

std::string Pop3NegativeReply::ResponseCode() const {
    std::string_view text = what();
    if (text::StartsWithNoCase(text, "-ERR")) {
        text.remove_prefix(4);
    }
    text = text::TrimView(text);
    if (text.empty() || text.front() != '[') {
        return {};
    }
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) {
        return {};
    }
    return text::ToUpperAscii(text.substr(1, close - 1));
}

std::string Pop3Client::ReadStatus(const std::string& word) {
    std::string line = transport_.ReadLine();
    if (text::StartsWithNoCase(line, "+OK")) {
        std::size_t start = line.find_first_not_of(' ', 3);
        return start == std::string::npos ? std::string() : line.substr(start);
    }
    if (text::StartsWithNoCase(line, "-ERR")) {
        throw Pop3NegativeReply(ServerExcerpt(line), word);
    }
    throw Pop3ProtocolError("unexpected reply" + (word.empty() ? std::string() : " to " + word) + ": " +
                            ServerExcerpt(line));
}

std::string Pop3Client::Command(const std::string& line, const std::string& word) {
    transport_.Write(line + "\r\n");
    return ReadStatus(word);
}

void Pop3Client::Connect(const std::string& host, int port, bool implicitTls) {
    transport_.Open(host, port, implicitTls, limits_);
    ReadStatus({});
}

void Pop3Client::Login(const std::string& user, const std::string& password) {
    // A CR or LF inside the credentials would smuggle a second command.
    for (const std::string* s : {&user, &password}) {
        if (s->find_first_of("\r\n") != std::string::npos) {
            throw Pop3NegativeReply("login name or password holds a line break", "USER");
        }
    }
    Command("USER " + user, "USER");
    Command("PASS " + password, "PASS");
}

int Pop3Client::Stat() {
    std::string text = Command("STAT", "STAT");
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    long long count = 0;
    bool any = false;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        any = true;
        count = count * 10 + (text[i] - '0');
        if (count > 0x7fffffff) {
            throw Pop3ProtocolError("message count out of range");
        }
        ++i;
    }
    if (!any && !text.empty()) {
        throw Pop3ProtocolError("STAT reply without a count: " + ServerExcerpt(text));
    }
    return static_cast<int>(count);
}

std::vector<std::string> Pop3Client::Top(int n, bool& truncated) {
    transport_.Write("TOP " + std::to_string(n) + " 0\r\n");
    return ReadTop(n, truncated);
}

void Pop3Client::SendTops(const std::vector<int>& numbers) {
    std::string batch;
    for (int n : numbers) {
        batch += "TOP " + std::to_string(n) + " 0\r\n";
    }
    if (!batch.empty()) {
        transport_.Write(batch);
    }
}

std::vector<std::string> Pop3Client::Capabilities() {
    constexpr std::size_t kMaxCapabilityLines = 64;
    try {
        Command("CAPA", "CAPA");
    } catch (const Pop3NegativeReply&) {
        return {}; // a server before RFC 2449: no capabilities known
    }
    std::vector<std::string> names;
    std::size_t total = 0;
    for (;;) {
        std::string line = transport_.ReadLine();
        if (line == ".") {
            break;
        }
        total += line.size() + 2;
        if (total > limits_.maxHeaderBytes) {
            throw Pop3ProtocolError("CAPA reply without end");
        }
        if (names.size() < kMaxCapabilityLines) {
            std::string_view word = text::TrimView(line);
            word = word.substr(0, word.find(' '));
            names.push_back(text::ToUpperAscii(word));
        }
    }
    return names;
}

std::optional<std::vector<std::pair<int, std::string>>> Pop3Client::UniqueIds(int count) {
    // RFC 1939: 1 to 70 characters from 0x21 to 0x7E.
    constexpr std::size_t kMaxIdBytes = 70;
    Command("UIDL", "UIDL");
    std::vector<std::pair<int, std::string>> ids;
    std::unordered_set<std::string> distinct;
    std::string problem;
    std::size_t total = 0;
    for (;;) {
        std::string line = transport_.ReadLine();
        if (line == ".") {
            break;
        }
        total += line.size() + 2;
        if (total > limits_.maxDiscardBytes) {
            throw Pop3ProtocolError("UIDL listing without end");
        }
        if (!problem.empty()) {
            continue; // read on to the end so that the next command lines up
        }
        const std::size_t space = line.find(' ');
        const auto number = space == std::string::npos
                                ? std::nullopt
                                : ParseDecimal(std::string_view(line).substr(0, space), 1, count);
        std::string id = space == std::string::npos ? std::string() : line.substr(space + 1);
        const bool printable = std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7f; });
        if (!number || id.empty() || id.size() > kMaxIdBytes || !printable) {
            problem = "malformed line " + ServerExcerpt(line);
        } else if (ids.size() == static_cast<std::size_t>(count)) {
            problem = "more lines than messages";
        } else if (!distinct.insert(id).second) {
            problem = "id " + ServerExcerpt(id) + " given twice";
        } else {
            ids.emplace_back(*number, std::move(id));
        }
    }
    if (!problem.empty()) {
        log::Warning("pop3", "the UIDL listing is not used: " + problem);
        return std::nullopt;
    }
    return ids;
}

std::vector<std::string> Pop3Client::ReadTop(int n, bool& truncated) {
    truncated = false;
    ReadStatus("TOP");
    std::vector<std::string> lines;
    std::size_t kept = 0;
    std::size_t total = 0;
    bool inBody = false;
    for (;;) {
        std::string line = transport_.ReadLine();
        if (line == ".") {
            break;
        }
        if (!line.empty() && line[0] == '.') {
            line.erase(0, 1);
        }
        total += line.size() + 2;
        if (total > limits_.maxDiscardBytes) {
            throw Pop3ProtocolError("header block of message " + std::to_string(n) + " without end");
        }
        if (inBody || truncated) {
            continue;
        }
        if (line.empty()) {
            inBody = true; // what follows is body the server should not have sent
            continue;
        }
        if (lines.size() >= limits_.maxHeaderLines || kept + line.size() + 2 > limits_.maxHeaderBytes) {
            truncated = true;
            continue;
        }
        kept += line.size() + 2;
        lines.push_back(std::move(line));
    }
    return lines;
}

void Pop3Client::Quit() {
    if (!transport_.IsOpen()) {
        return;
    }
    try {
        Command("QUIT", "QUIT");
    } catch (...) {
        // The session ends either way; the line says why it did not end politely.
        log::Caught("pop3", "QUIT");
    }
    transport_.Close();
}

} // namespace nuvex
