#pragma once
// Accounts of the hosted webmail services that answer the "wmcheck" web
// service. The three types of the family differ only in their type row and
// in the host key that names their service address.
#include "accounts/generic_connector.h"
#include "accounts/web_service_connector.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nuvex {

class TNuvex_WebvaultConnector : public TNuvex_GenericConnector {
public:
    TNuvex_WebvaultConnector(const TConnectorClass& cls, const AccountContext& context);

    int Connect() override;
    int Disconnect() override;
    int CheckMail() override;
    int Compose() override;
    int SendFiles(const std::vector<std::string>& lines) override;
    int ComposeTo(const std::string& to, const std::string& subject, const std::string& mailto,
                  const std::string& body) override;
    int OpenMessage(const std::string& ref) override;
    int OpenMailbox() override;
    void AddNotifyItems(TNotifyMessages& list, bool force) override;

    // The host keys of this type's service address and upload address.
    std::string ServiceUrlKey() const;
    std::string UploadUrlKey() const;

    const std::string NewMsgsPath = "/NewMsgs?CU=%cu";
    const std::string DraftAction = "CreateDraft";
    const std::string OpenMsgPath = "/OpenMsg?CU=%cu";
    const std::string OpenUIPath = "/OpenUI?CU=%cu";
    const std::string CreateMsgPath = "/CreateMsg?CU=%cu";
    std::vector<TWebvaultMessage> Headers;
    bool MoreThanShown = false;
    // The address the last request went to; looked up again before each one,
    // so that a changed host value takes effect without a reload.
    std::string ServiceUrl;
    // Bounds of every request; tests shorten them.
    HttpLimits Limits = webservice::DefaultLimits();

private:
    using Entries = std::vector<std::pair<std::string, std::string>>;
    // The reply text, or nullopt when no usable service address is set (logged).
    std::optional<std::string> Request(const std::string& path, const Entries& entries);
    Entries Credentials() const;
    // Why the last request got no answer, and from which server (guarded).
    NetProblem lastProblem_ = NetProblem::None;
    std::string lastServer_;
    // Class 1 with the reason of the last request; call with Guard() held.
    void FailUnreachable();
    // The redirect requests: open the page the reply names. errorCodes: set
    // ErrorCode 1 on an empty reply and 3 on a failure of the reply.
    int Redirect(const std::string& what, const std::string& path, const Entries& entries, bool errorCodes);
};

const TConnectorClass& WebvaultConnectorClass();

// The command-line tool's keys of a web-service account.
bool AddWebOptionKeys(TAccountFields& fields, const TTypeOptionValues& options, std::string& error);

} // namespace nuvex
