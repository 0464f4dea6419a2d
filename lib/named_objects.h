#pragma once
// Cross-process named events and mutexes (the Windows kernel objects the
// toolbar family uses to signal stop, shutdown and refresh, and to keep one
// running copy). They live under $XDG_RUNTIME_DIR in a user-only folder.
#include <memory>
#include <string>
#include <string_view>

namespace nuvex {

class NamedEvent {
public:
    virtual ~NamedEvent() = default;
    virtual void Set() = 0;
    virtual void Reset() = 0;
    // Releases the waiters present now (all for manual reset, one for auto
    // reset) and leaves the event clear.
    virtual void Pulse() = 0;
    // Zero time-out test. For an auto-reset event a true answer consumes the signal.
    virtual bool TryWait() = 0;
    // Waits up to timeoutMs (negative: no limit); same consumption rule.
    virtual bool Wait(int timeoutMs) = 0;
    // Ends the waits of this handle, current and later ones, with false, so
    // that a thread blocked without a time-out can be told to leave. Only this
    // handle is affected: waiters on other handles or in other processes carry
    // on, whatever they were waiting for.
    virtual void Interrupt() = 0;
};

class NamedMutex {
public:
    virtual ~NamedMutex() = default;
    // Takes the mutex within timeoutMs (0: at once). The owning thread may
    // take it again; a holder that dies releases it.
    virtual bool Lock(int timeoutMs) = 0;
    virtual void Unlock() = 0;
};

// Open the object of that name, or create it. nullptr when neither works.
std::unique_ptr<NamedEvent> OpenOrCreateEvent(std::string_view name, bool manualReset, bool initiallySet);
std::unique_ptr<NamedMutex> OpenOrCreateMutex(std::string_view name);
// Opens the event only while some handle keeps it; nullptr when it does not
// exist (its reset kind is the creator's).
std::unique_ptr<NamedEvent> OpenEvent(std::string_view name);

// The folder that holds the objects (created user-only on first use): one per
// login session, keyed on the session bus address (else the display), under
// $XDG_RUNTIME_DIR/nuvex-objects. Tests point it elsewhere through $NUVEX_OBJECTS_DIR.
std::string NamedObjectsDir();

} // namespace nuvex
