#pragma once
// Any POP3 mailbox: a check logs in, asks for the message count and, where the
// server has UIDL, the unique ids; new are the messages whose id was not seen
// before (without UIDL: those beyond the count seen last time). It reads the
// headers of the new messages (TOP with no body lines) and logs out. It never
// deletes or downloads mail.
#include "accounts/generic_connector.h"
#include "accounts/pop3_client.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nuvex {

struct TPOP3Message {
    std::string Subject;
    std::string Preview; // always empty: only headers are read
    std::string Sender;
};

class TNuvex_Pop3Connector : public TNuvex_GenericConnector {
public:
    TNuvex_Pop3Connector(const TConnectorClass& cls, const AccountContext& context);
    ~TNuvex_Pop3Connector() override;

    int Connect() override;
    int Disconnect() override;
    int CheckMail() override;
    int OpenMailbox() override;
    void LoadTypeSettings(const TCryptURL& record) override;
    void AddNotifyItems(TNotifyMessages& list, bool force) override;
    // An untrusted certificate gets its own text naming the server; the other
    // failures keep the texts of their class.
    void TakeLastError(std::int32_t& code, std::string& text) override;

    void SetHostName(const std::string& host);
    void SetPort(std::int32_t port);
    void SetUseSSL(bool useSsl);
    // Whether the TOPs of a check may go out together where the server
    // announces PIPELINING (on by default; off measures the one-by-one check).
    void SetPipelining(bool allowed) { pipeliningAllowed_ = allowed; }
    // Whether a check may ask for the unique ids (on by default; off measures
    // the counted check).
    void SetUniqueIds(bool allowed) { uniqueIdsAllowed_ = allowed; }

    // Fields added by this type (guarded by Guard() like the base fields).
    bool UseSSL = false;
    std::int32_t Port = 110;
    std::string HostName;
    std::string MailerName;
    std::string OpenUrlText;
    std::vector<TPOP3Message> Headers;
    bool MoreThanShown = false;

private:
    // What ended a conversation, for the error class and the log line.
    struct Failure {
        std::int32_t code = kErrorOther;
        bool cancelled = false;            // the plug-in is stopping: no error to report
        bool untrustedCertificate = false; // gets its own text
        NetProblem problem = NetProblem::None;
        std::string what; // the server's words or the transport's reason
    };
    static Failure DescribeFailure(const std::exception_ptr& error);
    // Sets ErrorCode from failure and leaves its one log line.
    void Fail(const Failure& failure, const std::string& host);
    // The headers of the given messages, oldest first, within the header and
    // attempt bounds; moreThanShown when some were left out.
    std::vector<TPOP3Message> ReadNewHeaders(const std::vector<int>& numbers, bool& moreThanShown);
    // What the unique ids of a check say.
    struct UidlNews {
        bool decides = false;   // false: the count-based rule decides (no UIDL, ids not to be
                                // trusted, or none stored yet: the first check's baseline)
        std::vector<int> fresh; // message numbers whose id was not seen before
        std::string seenText;   // the ids to store after the check; empty: none to keep
        bool changed = false;   // seenText differs from what is stored
    };
    UidlNews ReadUniqueIds(int count);
    // Stores the marker (count) and the seen ids of news (empty: drops them)
    // after a check, as one.
    bool StoreMarkers(int count, const UidlNews& news);
    void NoteBrokenMessage(int n);
    // Asks CAPA once per server: whether it announces PIPELINING.
    bool ServerPipelines();
    void DropConnection();

    std::unique_ptr<Pop3Transport> transport_;
    std::unique_ptr<Pop3Client> client_;
    // The host whose certificate failed in the last check; empty otherwise.
    std::string untrustedHost_;
    // A message whose TOP broke the connection, and in how many checks in a
    // row: after two it is skipped, so one broken message cannot hold the
    // marker for ever.
    int failingMessage_ = 0;
    int failingChecks_ = 0;
    bool pipeliningAllowed_ = true;
    bool uniqueIdsAllowed_ = true;
    // What the server's CAPA said; unknown until first needed, forgotten when
    // the server settings change.
    std::optional<bool> serverPipelines_;
    // Whether the server answers UIDL; unknown until asked, forgotten like the above.
    std::optional<bool> serverUidl_;
    // Whether seen ids may be stored for the account (unknown at first): the
    // count-based rule drops them once, so that ids of long ago never decide.
    std::optional<bool> seenStored_;
};

const TConnectorClass& Pop3ConnectorClass();

// The two-line text of a check that failed because the server's certificate
// was not trusted, naming the server.
std::string CertificateErrorText(const std::string& host);

// The POP3 page's type keys, in its order.
struct TPop3Fields {
    std::string password;
    std::string hostName;
    std::int32_t port = 110;
    bool useSsl = false;
    std::string mailerName; // "AMAILER": display name of the mail program
    std::string webmailUrl; // "AURL"
};
void AddPop3TypeKeys(TAccountFields& fields, const TPop3Fields& pop3);

} // namespace nuvex
