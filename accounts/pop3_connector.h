#pragma once
// Any POP3 mailbox: a check logs in, asks for the message count, compares it
// with the count seen last time, reads the headers of the new messages (TOP
// with no body lines) and logs out. It never deletes or downloads mail.
#include "accounts/generic_connector.h"
#include "accounts/pop3_client.h"

#include <memory>
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

    void SetHostName(const std::string& host);
    void SetPort(std::int32_t port);
    void SetUseSSL(bool useSsl);

    // Fields added by this type (guarded by Guard() like the base fields).
    bool UseSSL = false;
    std::int32_t Port = 110;
    std::string HostName;
    std::string MailerName;
    std::string OpenUrlText;
    std::vector<TPOP3Message> Headers;
    bool MoreThanShown = false;

private:
    // The error class of an exception thrown inside a conversation.
    static std::int32_t ErrorClassOf(std::exception_ptr error);
    void DropConnection();

    std::unique_ptr<Pop3Transport> transport_;
    std::unique_ptr<Pop3Client> client_;
};

const TConnectorClass& Pop3ConnectorClass();

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
