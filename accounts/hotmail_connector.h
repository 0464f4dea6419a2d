#pragma once
// HotMail webmail, checked through its sign-in page.
#include "accounts/generic_connector.h"

namespace nuvex {

class TNuvex_HotMailConnector : public TNuvex_GenericConnector {
public:
    using TNuvex_GenericConnector::TNuvex_GenericConnector;
    // Checking through the provider's sign-in page arrives with the browser
    // driver; until then CheckMail answers "not implemented".
};

const TConnectorClass& HotMailConnectorClass();

} // namespace nuvex
