#include "accounts/hotmail_connector.h"

namespace nuvex {

namespace {

class TNuvex_HotMailConnectorClass final : public TConnectorClass {
public:
    std::string TypeCode() const override { return "HOTMAIL"; }
    std::string ProviderName() const override { return "HotMail"; }
    std::string TypeCaption() const override { return "HotMail"; }
    std::string ExampleAddress() const override { return "yourname@hotmail.com"; }
    int MaxAccounts() const override { return 1; }
    int ListOrder() const override { return 10; }
    std::string WizardPanelClass() const override { return "THotmailBasic"; }

protected:
    std::unique_ptr<TNuvex_GenericConnector> NewInstance(const AccountContext& context) const override {
        return std::make_unique<TNuvex_HotMailConnector>(*this, context);
    }
};

} // namespace

const TConnectorClass& HotMailConnectorClass() {
    static const TNuvex_HotMailConnectorClass cls;
    return cls;
}

} // namespace nuvex
