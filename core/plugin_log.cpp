#include "core/plugin_log.h"

namespace nuvex {
Q_LOGGING_CATEGORY(lcPlugin, "nuvex.plugin")
}
