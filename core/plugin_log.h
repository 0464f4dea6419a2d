#pragma once
// The logging categories of the plug-in process's Qt side.
#include <QLoggingCategory>

namespace nuvex {
Q_DECLARE_LOGGING_CATEGORY(lcPlugin) // "nuvex.plugin"
}
