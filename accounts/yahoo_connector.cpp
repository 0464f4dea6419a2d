#include "accounts/yahoo_connector.h"

namespace nuvex {

namespace {

// Not kCapChecks: checking arrives with this type's client, so the type is
// not offered yet; stored accounts of it still load.
constexpr TConnectorClass kYahooClass{
    .typeCode = "YAHOO",
    .providerName = "Yahoo",
    .typeCaption = "Yahoo",
    .exampleAddress = "yourname@yahoo.com",
    .listOrder = 10,
    .maxAccounts = 1,
    .wizardPanelClass = "TYahooBasic",
    .caps = kCapCompose | kCapAlwaysOpens,
    .newInstance = NewConnector<TNuvex_YahooConnector>,
};

} // namespace

const TConnectorClass& YahooConnectorClass() {
    return kYahooClass;
}

} // namespace nuvex
