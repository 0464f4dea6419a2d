#pragma once
// The maker's own webmail service, a member of the web-service family.
#include "accounts/webvault_connector.h"

namespace nuvex {

class TNuvex_VostrelConnector : public TNuvex_WebvaultConnector {
public:
    using TNuvex_WebvaultConnector::TNuvex_WebvaultConnector;
};

const TConnectorClass& VostrelConnectorClass();

} // namespace nuvex
