// TNotifyMessages is header-only; this unit keeps the accounts library non-empty
// until the connectors arrive.
#include "accounts/notify.h"
