#include "accounts/gmail_connector.h"

namespace nuvex {

namespace {

class TNuvex_GMailConnectorClass final : public TConnectorClass {
public:
    std::string TypeCode() const override { return "GMAIL"; }
    std::string ProviderName() const override { return "Google Gmail"; }
    std::string TypeCaption() const override { return "Google Gmail"; }
    std::string ExampleAddress() const override { return "yourname@gmail.com"; }
    int MaxAccounts() const override { return 0; }
    int ListOrder() const override { return 9; }
    std::string WizardPanelClass() const override { return "TGMailBasic"; }

protected:
    std::unique_ptr<TNuvex_GenericConnector> NewInstance(const AccountContext& context) const override {
        return std::make_unique<TNuvex_GMailConnector>(*this, context);
    }
};

} // namespace

const TConnectorClass& GMailConnectorClass() {
    static const TNuvex_GMailConnectorClass cls;
    return cls;
}

} // namespace nuvex
