#include "accounts/yahoo_connector.h"

namespace nuvex {

namespace {

class TNuvex_YahooConnectorClass final : public TConnectorClass {
public:
    std::string TypeCode() const override { return "YAHOO"; }
    std::string ProviderName() const override { return "Yahoo"; }
    std::string TypeCaption() const override { return "Yahoo"; }
    std::string ExampleAddress() const override { return "yourname@yahoo.com"; }
    int MaxAccounts() const override { return 1; }
    int ListOrder() const override { return 10; }
    std::string WizardPanelClass() const override { return "TYahooBasic"; }

protected:
    std::unique_ptr<TNuvex_GenericConnector> NewInstance(const AccountContext& context) const override {
        return std::make_unique<TNuvex_YahooConnector>(*this, context);
    }
};

} // namespace

const TConnectorClass& YahooConnectorClass() {
    static const TNuvex_YahooConnectorClass cls;
    return cls;
}

} // namespace nuvex
