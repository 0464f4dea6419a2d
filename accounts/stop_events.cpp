#include "accounts/stop_events.h"

#include "contract/event_names.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/named_objects.h"

#include <memory>

namespace nuvex {

StopPredicate NamedStopEvents() {
    std::shared_ptr<NamedEvent> stop = OpenOrCreateEvent(std::string(names::kStopEvent), true, false);
    std::shared_ptr<NamedEvent> shutdown = OpenOrCreateEvent(names::ShutdownEvent(kPluginName), false, false);
    if (!stop || !shutdown) {
        log::Warning("events",
                     "a stop event of the tick could not be opened; the tick stops only on the other");
    }
    return [stop, shutdown]() {
        if (stop && stop->TryWait()) {
            return true;
        }
        if (shutdown && shutdown->TryWait()) {
            // The shutdown event resets itself when tested; set it again so
            // that the main loop, which ends the process on it, still sees it.
            shutdown->Set();
            return true;
        }
        return false;
    };
}

} // namespace nuvex
