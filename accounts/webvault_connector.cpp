#include "accounts/webvault_connector.h"

namespace nuvex {

namespace {

// Not kCapChecks: checking arrives with this type's client, so the type is
// not offered yet; stored accounts of it still load.
constexpr TConnectorClass kWebvaultClass{
    .typeCode = "WEBVAULT",
    .providerName = "webvault.example",
    .typeCaption = "webvault.example Email",
    .exampleAddress = "yourname@webvault.example",
    .listOrder = 0,
    .maxAccounts = 0,
    .wizardPanelClass = "TWebvaultBasic",
    .caps = kCapCompose | kCapSendFiles | kCapMailTo | kCapAlwaysOpens | kCapReservedA,
    .newInstance = NewConnector<TNuvex_WebvaultConnector>,
};

} // namespace

const TConnectorClass& WebvaultConnectorClass() {
    return kWebvaultClass;
}

} // namespace nuvex
