#include "core/plugin_log.h"

namespace nuvex {
// Debug lines (timings for the benches) only when asked for:
// QT_LOGGING_RULES="nuvex.plugin.debug=true".
Q_LOGGING_CATEGORY(lcPlugin, "nuvex.plugin", QtInfoMsg)
} // namespace nuvex
