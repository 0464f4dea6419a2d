#include "accounts/ibrant_connector.h"

namespace nuvex {

namespace {

class TNuvex_IbrantConnectorClass final : public TConnectorClass {
public:
    std::string TypeCode() const override { return "IBRANT"; }
    std::string ProviderName() const override { return "ibrant.example"; }
    std::string TypeCaption() const override { return "Ibrant Corporate Email"; }
    std::string ExampleAddress() const override { return "yourname@ibrant.example"; }
    int MaxAccounts() const override { return 0; }
    int ListOrder() const override { return 2; }
    std::string WizardPanelClass() const override { return "TWebvaultBasic"; }

protected:
    std::unique_ptr<TNuvex_GenericConnector> NewInstance(const AccountContext& context) const override {
        return std::make_unique<TNuvex_IbrantConnector>(*this, context);
    }
};

} // namespace

const TConnectorClass& IbrantConnectorClass() {
    static const TNuvex_IbrantConnectorClass cls;
    return cls;
}

} // namespace nuvex
