#include "accounts/vostrel_connector.h"

namespace nuvex {

namespace {

// Not kCapChecks: checking arrives with this type's client, so the type is
// not offered yet; stored accounts of it still load.
constexpr TConnectorClass kVostrelClass{
    .typeCode = "VOSTREL",
    .providerName = "vostrel.example",
    .typeCaption = "Vostrel Email",
    .exampleAddress = "yourname@vostrel.example",
    .listOrder = 1,
    .maxAccounts = 0,
    .wizardPanelClass = "TWebvaultBasic",
    .caps = kCapCompose | kCapSendFiles | kCapMailTo | kCapAlwaysOpens | kCapReservedA,
    .newInstance = NewConnector<TNuvex_VostrelConnector>,
};

} // namespace

const TConnectorClass& VostrelConnectorClass() {
    return kVostrelClass;
}

} // namespace nuvex
