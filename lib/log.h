#pragma once
// One small logging seam for the Qt-free layers. lib/ and accounts/ call it;
// the Qt programs install a sink that forwards to Qt's logging categories
// ("nuvex.<area>"), so QT_LOGGING_RULES and the journal work as usual. Without
// an installed sink, warnings and worse go to standard error.
//
// Never pass a password or a settings text: log ids, classes and the peer's words.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace nuvex::log {

enum class Level { Debug, Info, Warning, Critical };

// Every area there is; each is the Qt logging category "nuvex.<area>". A line
// for an area not listed here does not compile, so a typo cannot open a new
// category that no logging rule knows.
inline constexpr std::array<std::string_view, 26> kAreas = {
    "accounts", "autostart", "branding", "browser", "check", "cli",    "codepage",   "crypt",       "editor",
    "events",   "files",     "gmail",    "handoff", "host",  "http",   "imap",       "integration", "mapi",
    "plugin",   "pop3",      "registry", "sqlite",  "ui",    "upload", "webservice", "xml",
};

constexpr bool IsArea(std::string_view name) {
    for (const std::string_view area : kAreas) {
        if (area == name) {
            return true;
        }
    }
    return false;
}

// Reached only while compiling a line for an area missing from kAreas; being
// no constexpr function, it turns that line into a compile error.
void UndeclaredLogArea();

// A log area, checked against kAreas where it is written.
class Area {
public:
    consteval Area(const char* name) : name_(name) {
        if (!IsArea(name_)) {
            UndeclaredLogArea();
        }
    }
    consteval Area(std::string_view name) : name_(name) {
        if (!IsArea(name_)) {
            UndeclaredLogArea();
        }
    }
    constexpr std::string_view Name() const { return name_; }
    // Its place in kAreas, for tables kept per area.
    constexpr std::size_t Index() const {
        std::size_t i = 0;
        while (kAreas[i] != name_) {
            ++i;
        }
        return i;
    }

private:
    std::string_view name_;
};

using Sink = void (*)(Level level, std::string_view area, std::string_view text);

// Replaces the sink (nullptr: the standard-error sink). Call before threads start.
void SetSink(Sink sink);

void Write(Level level, Area area, std::string_view text) noexcept;

inline void Debug(Area area, std::string_view text) noexcept {
    Write(Level::Debug, area, text);
}
inline void Info(Area area, std::string_view text) noexcept {
    Write(Level::Info, area, text);
}
inline void Warning(Area area, std::string_view text) noexcept {
    Write(Level::Warning, area, text);
}
inline void Critical(Area area, std::string_view text) noexcept {
    Write(Level::Critical, area, text);
}

// For use inside a catch block: logs "<where>: <what was caught>" at warning
// level, naming the exception's text when it is a std::exception. The one
// helper for every place that must not let an exception out.
void Caught(Area area, std::string_view where) noexcept;

// Runs f so that nothing it throws gets out: a failure leaves one warning in
// area naming what failed and the exception's text, and the caller goes on.
// True when f ran to its end.
template <typename F> bool RunIsolated(Area area, std::string_view what, F&& f) noexcept {
    try {
        std::forward<F>(f)();
        return true;
    } catch (...) {
        Caught(area, what);
        return false;
    }
}

// The text of the exception being handled, or "unknown exception"; "" outside a handler.
std::string CurrentExceptionText() noexcept;

} // namespace nuvex::log
