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

// The mail-client and Send To clean-up that unregistration also runs: the
// previous mailto handler back, no file of ours left. False when some of it failed.
bool UnregisterMailClientIntegration();

} // namespace nuvex
