#pragma once
// The logging category of the windows.
#include <QLoggingCategory>

namespace nuvex {
Q_DECLARE_LOGGING_CATEGORY(lcUi) // "nuvex.ui"
}
