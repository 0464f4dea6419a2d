#pragma once
// What an account needs from the rest of the program, handed in rather than
// reached through globals, so that tests can give every account its own host
// store, registry, navigation sink, program launcher and network transport.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace nuvex {

class DraftUploader;
class HostConfig;
class Registry;
class Pop3Transport;
class StopSignal;

// Receives "open this page" requests. The controller stores the URL and the
// command line and handles them on its GUI thread (the NUVEX_NAVURL step); the
// call must return quickly and may come from the check worker thread.
class NavigationSink {
public:
    virtual ~NavigationSink() = default;
    virtual void PostNavigate(const std::string& url, const std::string& commandLine) = 0;
};

// Runs a command line of a desktop entry or of the browser bridge. The default
// implementation splits it into words and spawns it without a shell; tests record the calls.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;
    virtual bool Run(const std::string& commandLine) = 0;
};

// Time limits of one POP3 conversation, in milliseconds. Tests shorten them.
struct Pop3Limits {
    int connectTimeoutMs = 30'000;
    int readTimeoutMs = 60'000;   // for one whole reply line
    int totalTimeoutMs = 300'000; // for one whole check, however the server drips
    std::size_t maxLineBytes = std::size_t{64} * 1024;
    std::size_t maxHeaderBytes = std::size_t{256} * 1024;
    std::size_t maxHeaderLines = 1000;
    // A header block beyond the two bounds above is read on and thrown away up
    // to its end, so that the next message can still be asked for; beyond this
    // many bytes the server is taken as hostile and the check ends.
    std::size_t maxDiscardBytes = std::size_t{16} * 1024 * 1024;
};

using Pop3TransportFactory = std::function<std::unique_ptr<Pop3Transport>()>;

struct AccountContext {
    HostConfig* host = nullptr;   // the plug-in's configuration values (markers, account list)
    Registry* registry = nullptr; // browser command and installed mail programs
    NavigationSink* navigation = nullptr;
    ProgramLauncher* launcher = nullptr; // nullptr: the shell launcher
    Pop3TransportFactory pop3Transport;  // empty: a TCP/TLS transport
    Pop3Limits pop3Limits;
    // Raised when the plug-in stops: network waits of a check end at once.
    const StopSignal* stop = nullptr;
    // Turns files handed to a web-service account into a draft; nullptr where
    // no upload can be shown (the command-line tool).
    DraftUploader* uploader = nullptr;
};

} // namespace nuvex
