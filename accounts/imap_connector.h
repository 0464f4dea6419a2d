#pragma once
// Any IMAP mailbox. A check asks each watched folder's STATUS; where UIDNEXT
// moved since the last check it opens the folder read-only (EXAMINE) and
// searches the unseen messages at or above the UIDNEXT stored then. Headers
// and a short preview of the newest of them are read with BODY.PEEK: a check
// never sets \Seen or changes anything on the server.
#include "accounts/generic_connector.h"
#include "accounts/imap_client.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nuvex {

struct TImapMessage {
    std::string Subject;
    std::string Preview;
    std::string Sender;
    std::string Date; // as the message gives it
};

// What a folder looked like at the last check: new mail is unseen mail with a
// UID of at least uidNext, valid while the folder keeps its UIDVALIDITY.
struct TImapFolderMark {
    std::uint32_t uidValidity = 0;
    std::uint32_t uidNext = 0;
    bool operator==(const TImapFolderMark&) const = default;
};
using TImapMarks = std::map<std::string, TImapFolderMark>;

// The marker text stored for an account, and back; a text this type did not
// write reads as no marks.
std::string FormatImapMarks(const TImapMarks& marks);
TImapMarks ParseImapMarks(const std::string& text);

// The preview line of a message from its header fields and first body bytes:
// the first text/plain part, transfer encoding and charset decoded, blanks
// folded, at most maxChars characters; empty when there is no plain text.
std::string ImapPreviewText(const std::string& header, const std::string& body, std::size_t maxChars = 120);

class TNuvex_ImapConnector : public TNuvex_GenericConnector {
public:
    TNuvex_ImapConnector(const TConnectorClass& cls, const AccountContext& context);
    ~TNuvex_ImapConnector() override;

    int Connect() override;
    int Disconnect() override;
    int CheckMail() override;
    int OpenMailbox() override;
    void LoadTypeSettings(const TCryptURL& record) override;
    void AddNotifyItems(TNotifyMessages& list, bool force) override;
    void TakeLastError(std::int32_t& code, std::string& text) override;

    // Fields added by this type (guarded by Guard() like the base fields).
    ImapSecurity Security = ImapSecurity::Tls;
    std::int32_t Port = 993;
    std::string HostName;
    std::vector<std::string> Folders{"INBOX"};
    std::string MailerName;
    std::string OpenUrlText;
    std::vector<TImapMessage> Headers;
    bool MoreThanShown = false;
    // Whether the server offered IDLE at the last check.
    bool ServerIdles = false;

private:
    struct Failure {
        std::int32_t code = kErrorOther;
        bool cancelled = false;
        bool untrustedCertificate = false;
        std::string what;
    };
    static Failure DescribeFailure(const std::exception_ptr& error);
    void Fail(const Failure& failure, const std::string& host);
    void DropConnection();
    std::string LogId();

    std::unique_ptr<Pop3Transport> transport_;
    std::unique_ptr<ImapClient> client_;
    std::string untrustedHost_;
};

const TConnectorClass& ImapConnectorClass();

// Settings keys of the type: the security word and the folders joined by LF.
const char* ImapSecurityWord(ImapSecurity security);
std::optional<ImapSecurity> ParseImapSecurity(std::string_view word);
constexpr std::int32_t kDefaultImapPort = 143;
constexpr std::int32_t kDefaultImapsPort = 993;

struct TImapFields {
    std::string password;
    std::string hostName;
    std::int32_t port = kDefaultImapsPort;
    ImapSecurity security = ImapSecurity::Tls;
    std::vector<std::string> folders{"INBOX"};
    std::string mailerName;
    std::string webmailUrl;
};
void AddImapTypeKeys(TAccountFields& fields, const TImapFields& imap);

} // namespace nuvex
