#pragma once
// Yahoo webmail, checked through its sign-in page.
#include "accounts/generic_connector.h"

namespace nuvex {

class TNuvex_YahooConnector : public TNuvex_GenericConnector {
public:
    using TNuvex_GenericConnector::TNuvex_GenericConnector;
    // Checking through the provider's sign-in page arrives with the browser
    // driver; until then CheckMail answers "not implemented".
};

const TConnectorClass& YahooConnectorClass();

} // namespace nuvex
