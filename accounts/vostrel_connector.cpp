#include "accounts/vostrel_connector.h"

namespace nuvex {

namespace {

class TNuvex_VostrelConnectorClass final : public TConnectorClass {
public:
    std::string TypeCode() const override { return "VOSTREL"; }
    std::string ProviderName() const override { return "vostrel.example"; }
    std::string TypeCaption() const override { return "Vostrel Email"; }
    std::string ExampleAddress() const override { return "yourname@vostrel.example"; }
    int MaxAccounts() const override { return 0; }
    int ListOrder() const override { return 1; }
    std::string WizardPanelClass() const override { return "TWebvaultBasic"; }

protected:
    std::unique_ptr<TNuvex_GenericConnector> NewInstance(const AccountContext& context) const override {
        return std::make_unique<TNuvex_VostrelConnector>(*this, context);
    }
};

} // namespace

const TConnectorClass& VostrelConnectorClass() {
    static const TNuvex_VostrelConnectorClass cls;
    return cls;
}

} // namespace nuvex
