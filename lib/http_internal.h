#pragma once
// Plumbing shared by the two HTTP clients: libcurl set-up, the bounds and
// time-outs every request gets, and the per-request state the callbacks fill.
#include "lib/http.h"
#include "lib/stop_signal.h"

#include <chrono>
#include <curl/curl.h>
#include <memory>
#include <string>
#include <vector>

namespace nuvex::http_internal {

// curl_global_init is not thread-safe; every request calls this first.
void EnsureCurlGlobalInit();

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

class HeaderList {
public:
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list_); }
    // Throws std::bad_alloc when curl cannot copy the line.
    void Add(const std::string& line);
    curl_slist* get() const { return list_; }

private:
    curl_slist* list_ = nullptr;
};

// What the callbacks of one transfer share.
struct Transfer {
    explicit Transfer(const HttpLimits& l) : limits(l) {}

    HttpLimits limits;
    CURL* handle = nullptr;
    std::string body;
    // Header lines of the latest response (status line first, line ends removed).
    std::vector<std::string> headers;
    std::size_t headerBytes = 0;
    std::size_t headerLines = 0;
    // Bodies of responses other than 2xx are dropped unread (the request object);
    // they still count against maxBodyBytes, or an endless error page would hold
    // the thread until the total time-out.
    bool keepOnly2xx = false;
    std::size_t droppedBytes = 0;
    // A 2xx response must announce its length (the request object's size query).
    bool requireLength = false;

    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t lastDown = -1;
    curl_off_t lastUp = -1;

    // Raised when the program stops: the transfer ends at the next progress call.
    const StopSignal* stop = nullptr;
    bool cancelled = false;

    bool bodyTooLarge = false;
    bool droppedTooLarge = false;
    bool headersTooLarge = false;
    bool stalled = false;
    bool stopped = false;
    bool lengthMissing = false;
};

// Options every request gets: signals off, http and https only, no automatic
// redirect, connect/read/total time-outs, size bounds and the callbacks that
// fill transfer.
void ApplyCommonOptions(CURL* h, Transfer& transfer);

// The stall watchdog, for curl's progress callback (about once a second, also
// while nothing moves): true, with stalled set, once no byte has moved either
// way for the read time-out since the connection stood.
bool Stalled(Transfer& transfer, curl_off_t down, curl_off_t up);

// One log line for a failed transfer: what was asked (never a URL with its
// query or user), curl's reason, and which of our bounds ended it.
void LogFailure(const std::string& what, CURLcode rc, const Transfer& transfer);

} // namespace nuvex::http_internal
