#pragma once
// The corporate webmail service of the web-service family, offered only when the host allows it.
#include "accounts/webvault_connector.h"

namespace nuvex {

class TNuvex_IbrantConnector : public TNuvex_WebvaultConnector {
public:
    using TNuvex_WebvaultConnector::TNuvex_WebvaultConnector;
};

const TConnectorClass& IbrantConnectorClass();

} // namespace nuvex
