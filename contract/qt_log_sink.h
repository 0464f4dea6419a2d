#pragma once
// The Qt side of the logging seam in lib/log.h: lines of the Qt-free layers go
// to the Qt logging category "nuvex.<area>", so QT_LOGGING_RULES and the
// journal treat them like every other Qt message.
//
// The Qt side logs to the same categories: LogCategory("plugin") is the one
// "nuvex.plugin" object of the process, and the named ones below are it.
#include "lib/log.h"

#include <QLoggingCategory>

namespace nuvex {

const QLoggingCategory& LogCategory(log::Area area);

inline const QLoggingCategory& lcPlugin() {
    return LogCategory("plugin");
}
inline const QLoggingCategory& lcUi() {
    return LogCategory("ui");
}
inline const QLoggingCategory& lcHost() {
    return LogCategory("host");
}
inline const QLoggingCategory& lcUpload() {
    return LogCategory("upload");
}

// Installs the sink for the whole process and keeps every nuvex.* category
// below warnings quiet unless a rule asks for it; call once from main, before
// threads start.
void InstallQtLogSink();

} // namespace nuvex
