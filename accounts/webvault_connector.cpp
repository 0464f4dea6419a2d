#include "accounts/webvault_connector.h"

namespace nuvex {

namespace {

class TNuvex_WebvaultConnectorClass final : public TConnectorClass {
public:
    std::string TypeCode() const override { return "WEBVAULT"; }
    std::string ProviderName() const override { return "webvault.example"; }
    std::string TypeCaption() const override { return ProviderName() + " Email"; }
    std::string ExampleAddress() const override { return "yourname@webvault.example"; }
    int MaxAccounts() const override { return 0; }
    int ListOrder() const override { return 0; }
    std::string WizardPanelClass() const override { return "TWebvaultBasic"; }

protected:
    std::unique_ptr<TNuvex_GenericConnector> NewInstance(const AccountContext& context) const override {
        return std::make_unique<TNuvex_WebvaultConnector>(*this, context);
    }
};

} // namespace

const TConnectorClass& WebvaultConnectorClass() {
    static const TNuvex_WebvaultConnectorClass cls;
    return cls;
}

} // namespace nuvex
