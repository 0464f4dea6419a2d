#pragma once
// Google Gmail accounts; the POP3 access kind builds on the POP3 connector.
#include "accounts/pop3_connector.h"

namespace nuvex {

class TNuvex_GMailConnector : public TNuvex_Pop3Connector {
public:
    using TNuvex_Pop3Connector::TNuvex_Pop3Connector;
    // The feed and POP3 access kinds arrive with the GMail client; until then
    // a check answers "not implemented" instead of trying POP3 settings that
    // this type's page does not fill.
    int Connect() override { return kStatusNotImplemented; }
    int Disconnect() override { return kStatusNotImplemented; }
    // The generic answers on purpose: the POP3 check of the base class would
    // run with settings this type's page does not fill.
    int CheckMail() override {
        return TNuvex_GenericConnector::CheckMail(); // NOLINT(bugprone-parent-virtual-call)
    }
    int OpenMailbox() override { return kStatusNotImplemented; }
    void AddNotifyItems(TNotifyMessages& list, bool force) override {
        TNuvex_GenericConnector::AddNotifyItems(list, force); // NOLINT(bugprone-parent-virtual-call)
    }
};

const TConnectorClass& GMailConnectorClass();

} // namespace nuvex
