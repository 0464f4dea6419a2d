#pragma once
// Yahoo webmail, checked through its sign-in page.
#include "accounts/web_based_connector.h"

namespace nuvex {

// Reads the Yahoo pages: the failure texts, "You have N unread message(s)"
// and the compose address in the page's markup.
class TYahooCheckThread : public TWebCheckThread {
public:
    using TWebCheckThread::TWebCheckThread;
    std::uint8_t EvaluatePage(const TWebPage& page) override;
};

class TNuvex_YahooConnector : public TNuvex_WebBasedConnector {
public:
    TNuvex_YahooConnector(const TConnectorClass& cls, const AccountContext& context);
    ~TNuvex_YahooConnector() override;
    int CheckMail() override;

protected:
    std::unique_ptr<TWebCheckThread> NewWorker(TPatternList settings, TWebCheckLimits limits,
                                               std::string cookieFolder) override;
};

const TConnectorClass& YahooConnectorClass();

} // namespace nuvex
