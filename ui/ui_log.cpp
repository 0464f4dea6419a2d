#include "ui/ui_log.h"

namespace nuvex {
Q_LOGGING_CATEGORY(lcUi, "nuvex.ui")
}
