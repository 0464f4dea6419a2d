#include "accounts/ibrant_connector.h"

namespace nuvex {

namespace {

// Not kCapChecks: checking arrives with this type's client, so the type is
// not offered yet; stored accounts of it still load.
constexpr TConnectorClass kIbrantClass{
    .typeCode = "IBRANT",
    .providerName = "ibrant.example",
    .typeCaption = "Ibrant Corporate Email",
    .exampleAddress = "yourname@ibrant.example",
    .listOrder = 2,
    .maxAccounts = 0,
    .wizardPanelClass = "TWebvaultBasic",
    .caps = kCapCompose | kCapSendFiles | kCapMailTo | kCapAlwaysOpens | kCapReservedA,
    .newInstance = NewConnector<TNuvex_IbrantConnector>,
};

} // namespace

const TConnectorClass& IbrantConnectorClass() {
    return kIbrantClass;
}

} // namespace nuvex
