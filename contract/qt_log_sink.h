#pragma once
// The Qt side of the logging seam in lib/log.h: lines of the Qt-free layers go
// to the Qt logging category "nuvex.<area>", so QT_LOGGING_RULES and the
// journal treat them like every other Qt message.
namespace nuvex {

// Installs the sink for the whole process and keeps every nuvex.* category
// below warnings quiet unless a rule asks for it; call once from main, before
// threads start.
void InstallQtLogSink();

} // namespace nuvex
