#pragma once
// The tick's stop test over the host's named events "RI4Stop" and
// "RI4Shutdown_" + plug-in name.
#include "accounts/check_cycle.h"

namespace nuvex {

// Opens (or creates) the two events now and answers a predicate that tests
// them without waiting; the events stay open as long as the predicate lives.
StopPredicate NamedStopEvents();

} // namespace nuvex
