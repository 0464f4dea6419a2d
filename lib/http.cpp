// libcurl set-up shared by the fetch and the request object.
#include "lib/http_internal.h"
#include "lib/log.h"
#include "lib/stop_signal.h"
#include "lib/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>

namespace nuvex::http_internal {
namespace {

thread_local NetProblem lastProblem = NetProblem::None;

NetProblem ProblemOf(CURLcode rc, const Transfer& t) {
    if (t.stalled) {
        return NetProblem::TimedOut;
    }
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return NetProblem::NoSuchHost;
    case CURLE_COULDNT_CONNECT: {
        // Also what an unreachable network gives: only a refusal is called one.
        long osErrno = 0;
        if (t.handle) {
            curl_easy_getinfo(t.handle, CURLINFO_OS_ERRNO, &osErrno);
        }
        return osErrno == ECONNREFUSED ? NetProblem::Refused : NetProblem::None;
    }
    case CURLE_OPERATION_TIMEDOUT:
        return NetProblem::TimedOut;
    case CURLE_SSL_CONNECT_ERROR:
        return NetProblem::Tls;
    case CURLE_PEER_FAILED_VERIFICATION:
        return NetProblem::Certificate;
    default:
        return NetProblem::None;
    }
}

using Clock = std::chrono::steady_clock;

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    t.lastActivity = Clock::now();
    if (t.keepOnly2xx || t.requireLength) {
        long code = 0;
        curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &code);
        const bool ok = code >= 200 && code <= 299;
        if (!ok && t.keepOnly2xx) {
            // Read and dropped: only the status matters.
            t.droppedBytes += n;
            if (t.droppedBytes > t.limits.maxBodyBytes) {
                t.droppedTooLarge = true;
                return CURL_WRITEFUNC_ERROR;
            }
            return n;
        }
        if (ok && t.requireLength) {
            curl_off_t length = -1;
            curl_easy_getinfo(t.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            if (length < 0) {
                t.lengthMissing = true;
                return CURL_WRITEFUNC_ERROR;
            }
        }
    }
    if (n > t.limits.maxBodyBytes - std::min(t.body.size(), t.limits.maxBodyBytes)) {
        t.bodyTooLarge = true;
        return CURL_WRITEFUNC_ERROR;
    }
    try {
        t.body.append(data, n);
    } catch (const std::bad_alloc&) {
        t.bodyTooLarge = true;
        return CURL_WRITEFUNC_ERROR;
    }
    return n;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    t.lastActivity = Clock::now();
    t.headerBytes += n;
    t.headerLines += 1;
    if (t.headerBytes > t.limits.maxHeaderBytes || t.headerLines > t.limits.maxHeaderLines) {
        t.headersTooLarge = true;
        return 0;
    }
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (text::StartsWithNoCase(line, "HTTP/")) {
        // A new response (after 100 Continue, an authentication round or a
        // redirect): only the last one's headers and body count.
        t.headers.clear();
        t.body.clear();
        t.droppedBytes = 0;
    }
    if (!line.empty()) {
        try {
            t.headers.push_back(std::move(line));
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    return n;
}

// The read time-out: the longest silence allowed once connected. curl calls
// this about once a second even while nothing moves.
int OnProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto& t = *static_cast<Transfer*>(user);
    if (t.stop && t.stop->Raised()) {
        t.cancelled = true;
        return 1;
    }
    if (t.limits.stop && t.limits.stop->Raised()) {
        t.stopped = true;
        return 1;
    }
    return Stalled(t, down, up) ? 1 : 0;
}

} // namespace

bool Stalled(Transfer& t, curl_off_t down, curl_off_t up) {
    const auto now = Clock::now();
    if (down != t.lastDown || up != t.lastUp) {
        t.lastDown = down;
        t.lastUp = up;
        t.lastActivity = now;
    }
    curl_off_t connectUs = 0;
    curl_easy_getinfo(t.handle, CURLINFO_CONNECT_TIME_T, &connectUs);
    if (connectUs == 0) {
        t.lastActivity = now; // still connecting: the connect time-out rules
        return false;
    }
    if (now - t.lastActivity > std::chrono::milliseconds(t.limits.readTimeoutMs)) {
        t.stalled = true;
        return true;
    }
    return false;
}

void EnsureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void HeaderList::Add(const std::string& line) {
    curl_slist* next = curl_slist_append(list_, line.c_str());
    if (!next) {
        throw std::bad_alloc();
    }
    list_ = next;
}

void ApplyCommonOptions(CURL* h, Transfer& t) {
    lastProblem = NetProblem::None;
    t.handle = h;
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, t.limits.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, t.limits.totalTimeoutMs);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.limits.maxBodyBytes));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    // The trust store OpenSSL's own variables name, as for the POP3 client
    // (which takes OpenSSL's defaults); curl would otherwise read only its
    // built-in bundle. Verification itself stays on.
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) {
        curl_easy_setopt(h, CURLOPT_CAINFO, file);
    }
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir) {
        curl_easy_setopt(h, CURLOPT_CAPATH, dir);
    }
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
}

void LogFailure(const std::string& what, CURLcode rc, const Transfer& t) {
    std::string reason = curl_easy_strerror(rc);
    if (t.bodyTooLarge || t.droppedTooLarge) {
        reason = "body larger than " + std::to_string(t.limits.maxBodyBytes) + " bytes";
    } else if (t.headersTooLarge) {
        reason = "header block over its bound";
    } else if (t.stopped) {
        reason = "stopped";
    } else if (t.stalled) {
        reason = "no data for " + std::to_string(t.limits.readTimeoutMs) + " ms";
    } else if (t.cancelled) {
        reason = "the program is stopping";
    } else if (t.lengthMissing) {
        reason = "no Content-Length";
    }
    lastProblem = ProblemOf(rc, t);
    const std::string_view words = NetProblemWords(lastProblem);
    log::Warning("http",
                 what + " failed: " + reason +
                     (words.empty() || words == reason ? std::string() : " (" + std::string(words) + ")"));
}

} // namespace nuvex::http_internal

namespace nuvex {

NetProblem LastNetProblem() {
    return http_internal::lastProblem;
}

} // namespace nuvex
