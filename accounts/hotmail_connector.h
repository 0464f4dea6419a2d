#pragma once
// HotMail webmail, checked through its sign-in page.
#include "accounts/web_based_connector.h"

namespace nuvex {

// Reads the HotMail pages: the failure texts, and the counts after "My Messages".
class THotmailCheckThread : public TWebCheckThread {
public:
    using TWebCheckThread::TWebCheckThread;
    std::uint8_t EvaluatePage(const TWebPage& page) override;
};

class TNuvex_HotMailConnector : public TNuvex_WebBasedConnector {
public:
    TNuvex_HotMailConnector(const TConnectorClass& cls, const AccountContext& context);
    ~TNuvex_HotMailConnector() override;
    int CheckMail() override;

protected:
    std::unique_ptr<TWebCheckThread> NewWorker(TPatternList settings, TWebCheckLimits limits,
                                               std::string cookieFolder) override;
};

const TConnectorClass& HotMailConnectorClass();

} // namespace nuvex
