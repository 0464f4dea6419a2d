#pragma once
// The IMAP commands a check needs, on the program's own transport (its
// deadlines, stop signal and certificate checks): greeting, STARTTLS,
// CAPABILITY, AUTHENTICATE PLAIN or LOGIN, STATUS, EXAMINE, UID SEARCH,
// UID FETCH with BODY.PEEK, IDLE and LOGOUT. Nothing here changes a mailbox.
#include "accounts/account_context.h"
#include "accounts/imap_response.h"
#include "accounts/pop3_transport.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvex {

enum class ImapSecurity { Tls, StartTls, None };

// A tagged NO or BAD, an untagged BYE, or a greeting that refuses; the text is
// the server's (never the password).
class ImapNegativeReply : public std::runtime_error {
public:
    ImapNegativeReply(const std::string& what, std::string command, std::string status, std::string code)
        : std::runtime_error(what), command_(std::move(command)), status_(std::move(status)),
          code_(std::move(code)) {}
    // The command word ("LOGIN", "EXAMINE"); empty for the greeting.
    const std::string& Command() const { return command_; }
    const std::string& Status() const { return status_; }     // "NO", "BAD" or "BYE"
    const std::string& ResponseCode() const { return code_; } // "AUTHENTICATIONFAILED", ...
private:
    std::string command_;
    std::string status_;
    std::string code_;
};

// The server asked for STARTTLS is not offering it: the check ends rather
// than going on in plain text.
class ImapNoStartTls : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ImapFolderStatus {
    std::uint32_t messages = 0;
    std::uint32_t unseen = 0;
    std::uint32_t uidNext = 0;
    std::uint32_t uidValidity = 0;
};

struct ImapFetchedMessage {
    std::uint32_t uid = 0;
    std::string header; // the asked header fields, CR LF lines
    std::string text;   // the first bytes of the body
};

class ImapClient {
public:
    ImapClient(Pop3Transport& transport, const Pop3Limits& limits, const ImapParseLimits& parse = {});

    // Opens the transport, reads the greeting and, for StartTls, upgrades the
    // connection before anything else is sent.
    void Connect(const std::string& host, int port, ImapSecurity security);
    // AUTHENTICATE PLAIN where the server offers it, else LOGIN.
    void Login(const std::string& user, const std::string& password);
    bool HasCapability(std::string_view name) const;
    // As HasCapability, asking the server first when its list is not known.
    bool Offers(std::string_view name);
    ImapFolderStatus Status(const std::string& folder);
    // Opens folder read-only; its UIDVALIDITY and UIDNEXT as the server reports them.
    ImapFolderStatus Examine(const std::string& folder);
    // UIDs of the unseen messages with a UID of at least from, ascending.
    std::vector<std::uint32_t> UnseenFrom(std::uint32_t from);
    // Header fields and the first textBytes of the body of the given UIDs,
    // without setting \Seen.
    std::vector<ImapFetchedMessage> FetchPreviews(const std::vector<std::uint32_t>& uids,
                                                  std::size_t textBytes);
    // Enters IDLE: true once the server's continuation came.
    void StartIdle();
    // Ends IDLE with DONE; the untagged responses before the tagged OK are dropped.
    void EndIdle();
    // One whole response; used while in IDLE.
    ImapResponse ReadResponse();
    // Sends LOGOUT, reads its answer within the read time-out and closes; errors are ignored.
    void Logout();
    void Close() { transport_.Close(); }
    bool IsOpen() const { return transport_.IsOpen(); }

private:
    // Sends "tag line" and reads to its tagged answer; the untagged responses
    // on the way go to each (a BYE among them ends the command).
    void Command(const std::string& line, const std::string& word,
                 const std::function<void(const ImapResponse&)>& each = {});
    std::string NextTag();
    void ReadCapabilities(const ImapResponse& r);
    void AskCapabilities();
    void TakeCodeCapabilities(const ImapResponse& r);

    Pop3Transport& transport_;
    Pop3Limits limits_;
    ImapParseLimits parse_;
    std::vector<std::string> capabilities_;
    unsigned tagCounter_ = 0;
    std::string idleTag_;
};

} // namespace nuvex
