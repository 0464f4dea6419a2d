#pragma once
// One small logging seam for the Qt-free layers. lib/ and accounts/ call it;
// the Qt programs install a sink that forwards to Qt's logging categories
// ("nuvex.<area>"), so QT_LOGGING_RULES and the journal work as usual. Without
// an installed sink, warnings and worse go to standard error.
//
// Never pass a password or a settings text: log ids, classes and the peer's words.
#include <string>
#include <string_view>

namespace nuvex::log {

enum class Level { Debug, Info, Warning, Critical };

// Areas in use: "pop3", "http", "xml", "registry", "files", "events", "browser",
// "accounts", "check", "codepage", "branding", "host", "plugin", "ui",
// "handoff", "mapi".
using Sink = void (*)(Level level, std::string_view area, std::string_view text);

// Replaces the sink (nullptr: the standard-error sink). Call before threads start.
void SetSink(Sink sink);

void Write(Level level, std::string_view area, std::string_view text) noexcept;

inline void Debug(std::string_view area, std::string_view text) noexcept {
    Write(Level::Debug, area, text);
}
inline void Info(std::string_view area, std::string_view text) noexcept {
    Write(Level::Info, area, text);
}
inline void Warning(std::string_view area, std::string_view text) noexcept {
    Write(Level::Warning, area, text);
}
inline void Critical(std::string_view area, std::string_view text) noexcept {
    Write(Level::Critical, area, text);
}

// For use inside a catch block: logs "<where>: <what was caught>" at warning
// level, naming the exception's text when it is a std::exception. The one
// helper for every place that must not let an exception out.
void Caught(std::string_view area, std::string_view where) noexcept;

// The text of the exception being handled, or "unknown exception"; "" outside a handler.
std::string CurrentExceptionText() noexcept;

} // namespace nuvex::log
