#include "lib/log.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <stdexcept>

namespace nuvex::log {
namespace {

void StderrSink(Level level, std::string_view area, std::string_view text) {
    if (level == Level::Debug || level == Level::Info) {
        return;
    }
    const char* tag = level == Level::Critical ? "critical" : "warning";
    std::fprintf(stderr, "nuvex.%.*s: %s: %.*s\n", static_cast<int>(area.size()), area.data(), tag,
                 static_cast<int>(text.size()), text.data());
}

std::atomic<Sink> g_sink{&StderrSink};

} // namespace

void SetSink(Sink sink) {
    g_sink.store(sink ? sink : &StderrSink);
}

void Write(Level level, Area area, std::string_view text) noexcept {
    try {
        g_sink.load()(level, area.Name(), text);
    } catch (...) {
        // A sink that throws (out of memory while formatting) must not take
        // its caller down; there is nowhere left to report it.
    }
}

std::string CurrentExceptionText() noexcept {
    try {
        const std::exception_ptr current = std::current_exception();
        if (!current) {
            return {};
        }
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            return e.what();
        } catch (...) {
            return "unknown exception";
        }
    } catch (...) {
        return {};
    }
}

void Caught(Area area, std::string_view where) noexcept {
    try {
        std::string text(where);
        text += ": ";
        text += CurrentExceptionText();
        Write(Level::Warning, area, text);
    } catch (...) {
        Write(Level::Warning, area, where);
    }
}

} // namespace nuvex::log
