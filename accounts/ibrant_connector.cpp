#include "accounts/ibrant_connector.h"

namespace nuvex {

namespace {

constexpr TConnectorClass kIbrantClass{
    .typeCode = "IBRANT",
    .providerName = "ibrant.example",
    .typeCaption = "Ibrant Corporate Email",
    .exampleAddress = "yourname@ibrant.example",
    .listOrder = 2,
    .maxAccounts = 0,
    .wizardPanelClass = "TWebvaultBasic",
    .caps = kCapCompose | kCapSendFiles | kCapMailTo | kCapAlwaysOpens | kCapReservedA | kCapChecks,
    .newInstance = NewConnector<TNuvex_IbrantConnector>,
    .addTypeKeys = AddWebOptionKeys,
};

} // namespace

const TConnectorClass& IbrantConnectorClass() {
    return kIbrantClass;
}

} // namespace nuvex
