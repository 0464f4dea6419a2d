#pragma once
// The program's ways onto the web: the text fetch used by the web-service
// connectors, the single request object used for the mail feed, opening a page
// in the user's browser, the connectivity test, and three small text codecs.
// Nothing here keeps state between calls and nothing throws; every request has
// its own curl handle, so any number may run at once on different threads.
#include "lib/net_problem.h"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

class StopSignal;

// Bounds of one HTTP request. The defaults are the program's; tests shorten
// the time-outs so that a stalled server fails within a second or two.
struct HttpLimits {
    long connectTimeoutMs = 30'000;
    // Longest silence while the response is awaited or read (per read, not in total).
    long readTimeoutMs = 90'000;
    // Whole transfer: a server that trickles a byte now and then cannot hold a
    // check thread for ever.
    long totalTimeoutMs = 600'000;
    std::size_t maxBodyBytes = 16u << 20;
    std::size_t maxHeaderBytes = 64u << 10;
    std::size_t maxHeaderLines = 200;
    // Once raised, the transfer ends at its next progress call (about once a
    // second, also while connecting) instead of running into a time-out.
    const StopSignal* stop = nullptr;
};

// One plain HTTP/1.0 client request: the header block is built by hand so that
// exactly these lines go out, in this order: request line, Host, Authorization
// (URL user only), Cookie, User-Agent, Content-Type (body only), Content-Length
// (always, so a GET says 0), Connection: close (keep-alive off only).
// No proxy is used and no redirect is followed: the last "Location:" of the
// response is left in Location for the caller to decide.
class THTTPSend {
public:
    THTTPSend();
    THTTPSend(const THTTPSend&) = delete;
    THTTPSend& operator=(const THTTPSend&) = delete;

    // Runs one request ("GET", "HEAD", "POST", ...). True when the transfer
    // completed at the connection level; the HTTP status does not matter.
    bool HTTPMethod(const std::string& method, const std::string& url);

    // Value of the last "Location:" header of the last response, trimmed; empty if none.
    std::string Location;
    // Response header lines as received (status line first, no line ends).
    std::vector<std::string> Headers;
    // Cookies sent with the request and updated from "Set-Cookie:" of the response.
    std::map<std::string, std::string> Cookies;
    // Request body before the call (empty: none), response body after it.
    std::string Document;
    // Content type of the body sent, then of the response ("text/html" when it gives none).
    std::string MimeType = "text/html";
    std::string Protocol = "1.0";
    bool KeepAlive = true;
    std::string UserAgent = "Mozilla/4.0 (compatible)";
    // Used when the URL carries no user of its own.
    std::string UserName;
    std::string Password;
    int ResultCode = 0;
    std::string ResultString;
    std::size_t DownloadSize = 0;
    HttpLimits Limits;
};

// GET of url, following one "Location:" by hand (whatever the status, only when
// it differs from url; the second response's Location is not followed). The body
// is split into lines at CR, LF or CR LF. Returns whether the last transfer
// completed; on failure lines is left empty.
bool FetchUrlLines(const std::string& url, std::vector<std::string>& lines, const HttpLimits& limits = {});
// The same body with CR LF after every line, or an empty string on any failure.
// An HTTP error page is still returned as text.
std::string FetchUrlText(const std::string& url, const HttpLimits& limits = {});

// One synchronous GET (POST when PostData is given) for callers that need the
// status code: a refused login (401, empty text) must be told from a network
// failure (status 0, empty text).
class THTTPGetSerial {
public:
    std::string AcceptTypes = "*/*";
    std::string Agent = "Tolvane HTTPGet"; // empty: no User-Agent line
    std::string Url;                       // "http://host[:port]/path" or "https://..."
    std::string UserName;                  // answers an authentication challenge
    std::string Password;
    std::string PostData;
    std::string Referrer;
    bool UseCache = false;       // false asks every cache on the way to revalidate
    bool QuerySize = false;      // true: a response without Content-Length is a failure
    std::string ExtraHeaders;    // header lines (CR LF separated) after the content type line
    std::string ContentTypeLine; // replaces "Content-Type: application/x-www-form-urlencoded"
    HttpLimits Limits;
    // When raised, a request in progress ends within about a second, as one
    // that got no response (may be null).
    const StopSignal* Stop = nullptr;

    // Results. Text is the body of a 2xx response as received (no charset
    // conversion), empty otherwise; StatusCode is 0 when no complete response came.
    std::string Text;
    int StatusCode = 0;
    std::string ContentType;
    // The server's certificate or name was not trusted: no response, and
    // possibly someone in the way rather than a network failure.
    bool CertificateRejected = false;

    // initCom is kept for callers; there is nothing to initialise here.
    // Returns true when a 2xx body was read completely.
    bool GetUrl(bool initCom);
};

// Why the last request made on this thread got no answer; None after one
// that did, or when the connection does not say.
NetProblem LastNetProblem();

// The host of an "https://[user@]host[:port]/path" address, for messages.
std::string HostOfUrl(std::string_view url);

// Opens url in the user's browser (xdg-open, or the command line in $NUVEX_BROWSER)
// from a background thread and returns at once. Blank input opens nothing; a
// URL that IsOpenableUrl (lib/url_policy.h) refuses is not opened (logged),
// unless it is a redirect page of lib/redirect_page.h.
void OpenUrlInBrowser(const std::string& url);

// True when the system has a default route or a running interface other than loopback.
bool IsInternetConnected();

// "+" is a space, "%XX" a byte; a "%" without two hex digits after it stays,
// a "%" with fewer than two characters after it ends the text.
std::string UrlDecode(std::string_view text);
// Quote, ampersand, angle brackets and the Latin-1 letters U+00A0..U+00FF as entities.
std::string HtmlEncode(std::string_view text);
// &lt; &gt; &nbsp; %20 &quot; &apos; &amp; (without regard to case) and the
// numeric references "&#233;" / "&#xE9;" (as the character in the ANSI code
// page), in one pass: "&amp;lt;" gives the entity text "&lt;".
std::string HtmlDecode(std::string_view text);

namespace detail {
// The parts of IsInternetConnected that read /proc, given the file texts.
bool RouteTableHasDefault(std::string_view procNetRoute);
bool Ipv6RouteTableHasDefault(std::string_view procNetIpv6Route);
// Splits a body as FetchUrlLines does.
std::vector<std::string> SplitLines(std::string_view body);
// Trim of OpenUrlInBrowser: spaces and control characters at both ends.
std::string TrimUrl(std::string_view url);
} // namespace detail

} // namespace nuvex
