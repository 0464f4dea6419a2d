#pragma once
// Moved to the contract shared by the host and the plug-in.
#include "contract/menu_qt.h"
