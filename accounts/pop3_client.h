#pragma once
// The few POP3 commands a check needs: USER/PASS, STAT, CAPA, UIDL, TOP n 0, QUIT.
#include "accounts/account_context.h"
#include "accounts/pop3_transport.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nuvex {

// A "-ERR" answer; the text is the server's (never holds the password).
class Pop3NegativeReply : public std::runtime_error {
public:
    // command: the word the server refused ("USER", "PASS", "STAT", "TOP"),
    // empty for the greeting.
    Pop3NegativeReply(const std::string& what, std::string command = {})
        : std::runtime_error(what), command_(std::move(command)) {}
    const std::string& Command() const { return command_; }
    // The RFC 2449 response code in brackets after "-ERR" ("IN-USE",
    // "SYS/TEMP", "AUTH", ...), upper-cased; empty when the reply has none.
    std::string ResponseCode() const;

private:
    std::string command_;
};

// A reply that is neither "+OK" nor "-ERR", or a reply beyond its bounds.
class Pop3ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Pop3Client {
public:
    Pop3Client(Pop3Transport& transport, const Pop3Limits& limits) : transport_(transport), limits_(limits) {}

    // Opens the transport and reads the greeting.
    void Connect(const std::string& host, int port, bool implicitTls);
    void Login(const std::string& user, const std::string& password);
    // The first number of the STAT reply (0 when the reply has none).
    int Stat();
    // The header lines of message n (dot-unstuffed, without the final "."),
    // up to the empty line that ends them: a server that sends body lines
    // anyway is read to the end and the body dropped. When the header part is
    // beyond the line or byte bound, truncated is set and the lines within the
    // bounds are kept.
    std::vector<std::string> Top(int n, bool& truncated);
    // The capability names of the CAPA reply, upper-cased (the first word of
    // each line); empty when the server refuses CAPA. At most 64 lines kept.
    std::vector<std::string> Capabilities();
    // The UIDL listing as (message number, unique id) pairs in the server's
    // order. A "-ERR" throws Pop3NegativeReply (the server has no UIDL). A
    // listing with a malformed line, a number above count, a repeated id or
    // more than count lines is read to its end and answers nullopt: ids that
    // cannot be trusted must not decide what is new.
    std::optional<std::vector<std::pair<int, std::string>>> UniqueIds(int count);
    // Pipelining (RFC 2449): all the "TOP n 0" commands in one write; their
    // replies are then read in the same order with ReadTop.
    void SendTops(const std::vector<int>& numbers);
    // The reply to a TOP already sent, as Top gives it; a "-ERR" throws
    // Pop3NegativeReply and leaves the stream at the next reply.
    std::vector<std::string> ReadTop(int n, bool& truncated);
    // Sends QUIT, reads its answer within the read time-out and closes; errors are ignored.
    void Quit();
    void Close() { transport_.Close(); }
    bool IsOpen() const { return transport_.IsOpen(); }

private:
    std::string Command(const std::string& line, const std::string& word);
    std::string ReadStatus(const std::string& word);

    Pop3Transport& transport_;
    Pop3Limits limits_;
};

} // namespace nuvex
