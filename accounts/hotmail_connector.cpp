#include "accounts/hotmail_connector.h"

namespace nuvex {

namespace {

// Not kCapChecks: checking arrives with this type's client, so the type is
// not offered yet; stored accounts of it still load.
constexpr TConnectorClass kHotMailClass{
    .typeCode = "HOTMAIL",
    .providerName = "HotMail",
    .typeCaption = "HotMail",
    .exampleAddress = "yourname@hotmail.com",
    .listOrder = 10,
    .maxAccounts = 1,
    .wizardPanelClass = "THotmailBasic",
    .caps = kCapCompose | kCapAlwaysOpens,
    .newInstance = NewConnector<TNuvex_HotMailConnector>,
};

} // namespace

const TConnectorClass& HotMailConnectorClass() {
    return kHotMailClass;
}

} // namespace nuvex
