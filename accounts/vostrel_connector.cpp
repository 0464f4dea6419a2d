#include "accounts/vostrel_connector.h"

namespace nuvex {

namespace {

constexpr TConnectorClass kVostrelClass{
    .typeCode = "VOSTREL",
    .providerName = "vostrel.example",
    .typeCaption = "Vostrel Email",
    .exampleAddress = "yourname@vostrel.example",
    .listOrder = 1,
    .maxAccounts = 0,
    .wizardPanelClass = "TWebvaultBasic",
    .caps = kCapCompose | kCapSendFiles | kCapMailTo | kCapAlwaysOpens | kCapReservedA | kCapChecks,
    .newInstance = NewConnector<TNuvex_VostrelConnector>,
    .addTypeKeys = AddWebOptionKeys,
};

} // namespace

const TConnectorClass& VostrelConnectorClass() {
    return kVostrelClass;
}

} // namespace nuvex
