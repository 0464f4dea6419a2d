#pragma once
// With NUVEX_NOTIFY_LOG naming a file, each notification is also written there
// as text: what a headless run showed, for tests and bug reports. The file
// holds senders and subjects, so it is made readable by its owner only.
#include "accounts/notify.h"

#include <cstdint>

namespace nuvex {

void LogNotification(std::int32_t total, const TNotifyMessages& mail, const TNotifyMessages& errors);

} // namespace nuvex
