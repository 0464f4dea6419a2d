#pragma once
// What the toolbar host needs to find and start the plug-in: a D-Bus
// activation file and the host's plug-in entry in the registry store.
#include "contract/activation.h"
#include "contract/names.h"

#include <QString>

namespace nuvex {

// HKCU key of the host's plug-in entry.
inline constexpr const char* kPluginEntryKey = "Software\\Brannock\\PlugIns\\MAIL";

bool RegisterServer(QString* error);
bool UnregisterServer(QString* error);

// The mail-client and Send To clean-up that unregistration also runs. Their
// targets arrive with the hand-off receiver; until then there is nothing to undo.
void UnregisterMailClientIntegration();

} // namespace nuvex
