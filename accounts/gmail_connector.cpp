#include "accounts/gmail_connector.h"

namespace nuvex {

namespace {

// Not kCapChecks: checking arrives with this type's client, so the type is
// not offered yet; stored accounts of it still load.
constexpr TConnectorClass kGMailClass{
    .typeCode = "GMAIL",
    .providerName = "Google Gmail",
    .typeCaption = "Google Gmail",
    .exampleAddress = "yourname@gmail.com",
    .listOrder = 9,
    .maxAccounts = 0,
    .wizardPanelClass = "TGMailBasic",
    .caps = kCapCompose | kCapAlwaysOpens | kCapReservedA,
    .newInstance = NewConnector<TNuvex_GMailConnector>,
};

} // namespace

const TConnectorClass& GMailConnectorClass() {
    return kGMailClass;
}

} // namespace nuvex
