#pragma once
// Accounts of the hosted webmail service that answers the "wmcheck" web service.
#include "accounts/generic_connector.h"

namespace nuvex {

class TNuvex_WebvaultConnector : public TNuvex_GenericConnector {
public:
    using TNuvex_GenericConnector::TNuvex_GenericConnector;
    // The web-service family composes, takes files and mailto links; its
    // mailbox always opens. Checking arrives with the web-service client:
    // until then CheckMail answers "not implemented" and nothing is reported.
};

const TConnectorClass& WebvaultConnectorClass();

} // namespace nuvex
