// THTTPSend and the text fetch built on it.
#include "lib/http_internal.h"
#include "lib/log.h"
#include "lib/text.h"

#include <memory>
#include <optional>
#include <utility>

namespace nuvex {
namespace {

using http_internal::EasyHandle;
using http_internal::HeaderList;
using http_internal::Transfer;

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

std::string UrlPart(CURLU* u, CURLUPart part, unsigned flags = 0) {
    char* value = nullptr;
    if (curl_url_get(u, part, &value, flags) != CURLUE_OK || !value) {
        return {};
    }
    std::string out(value);
    curl_free(value);
    return out;
}

std::string Base64(const std::string& in) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) {
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        }
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// Text after the header's colon, trimmed ("Location:x" has no space to split at).
std::string HeaderValue(const std::string& line) {
    const auto colon = line.find(':');
    return colon == std::string::npos ? std::string() : text::Trim(line.substr(colon + 1));
}

// The first name=value pair of a Set-Cookie value.
void StoreCookie(const std::string& value, std::map<std::string, std::string>& cookies) {
    const std::string pair = value.substr(0, value.find(';'));
    const auto eq = pair.find('=');
    const std::string name = text::Trim(pair.substr(0, eq));
    if (name.empty()) {
        return;
    }
    cookies[name] = eq == std::string::npos ? std::string() : text::Trim(pair.substr(eq + 1));
}

// Where one request goes: the URL's own user is taken out, because it goes into
// the Authorization line we write and curl would otherwise add a second one.
struct RequestTarget {
    std::string host;
    std::string port;
    std::string url; // without user and password
    std::string user;
    std::string password;
};

std::optional<RequestTarget> ParseTarget(const std::string& url) {
    UrlHandle u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_DEFAULT_SCHEME | CURLU_PATH_AS_IS) !=
                  CURLUE_OK) {
        return std::nullopt;
    }
    RequestTarget t;
    t.user = UrlPart(u.get(), CURLUPART_USER, CURLU_URLDECODE);
    t.password = UrlPart(u.get(), CURLUPART_PASSWORD, CURLU_URLDECODE);
    curl_url_set(u.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(u.get(), CURLUPART_PASSWORD, nullptr, 0);
    t.host = UrlPart(u.get(), CURLUPART_HOST);
    t.port = UrlPart(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    t.url = UrlPart(u.get(), CURLUPART_URL);
    if (t.host.empty() || t.url.empty()) {
        return std::nullopt;
    }
    return t;
}

std::string CookieLine(const std::map<std::string, std::string>& cookies) {
    std::string line = "Cookie: ";
    bool first = true;
    for (const auto& [name, value] : cookies) {
        line += (first ? "" : "; ") + name + "=" + value;
        first = false;
    }
    return line;
}

void SetMethod(CURL* h, const std::string& verb, const std::string& body) {
    if (verb == "GET" && body.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (verb == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        if (verb != "POST") {
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, verb.c_str());
        }
    }
}

// Every Location is resolved against the URL that answered it. curl decides
// what is absolute by the scheme at the start, so a relative Location whose
// query holds another URL ("/login?next=https://...") stays relative.
std::string ResolveLocation(const std::string& base, const std::string& location) {
    UrlHandle u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, base.c_str(), CURLU_DEFAULT_SCHEME) != CURLUE_OK ||
        curl_url_set(u.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK) {
        log::Warning("http", "a redirect target could not be resolved; not followed");
        return {};
    }
    return UrlPart(u.get(), CURLUPART_URL);
}

// The request body, taken out of Document, and the results of the last request cleared.
std::string StartRequest(THTTPSend& r, const std::string& verb) {
    std::string body = std::move(r.Document);
    r.Document.clear();
    if (verb == "HEAD") {
        body.clear();
    }
    r.Headers.clear();
    r.Location.clear();
    r.ResultCode = 0;
    r.ResultString.clear();
    r.DownloadSize = 0;
    return body;
}

// Only these lines, in this order; curl's own Accept is switched off. The port
// is written whenever it is not 80, so https gives "host:443".
void BuildHeaderLines(const THTTPSend& r, HeaderList& lines, const RequestTarget& target,
                      const std::string& body, const std::string& bodyType) {
    const std::string& host = target.host;
    const std::string& port = target.port;
    const std::string& user = target.user;
    const std::string& password = target.password;
    lines.Add("Host: " + host + (port == "80" ? std::string() : ":" + port));
    if (!user.empty()) {
        lines.Add("Authorization: Basic " + Base64(user + ":" + password));
    }
    if (!r.Cookies.empty()) {
        lines.Add(CookieLine(r.Cookies));
    }
    if (!r.UserAgent.empty()) {
        lines.Add("User-Agent: " + r.UserAgent);
    }
    if (!body.empty()) {
        lines.Add("Content-Type: " + bodyType);
    }
    lines.Add("Content-Length: " + std::to_string(body.size()));
    if (!r.KeepAlive) {
        lines.Add("Connection: close");
    }
    lines.Add("Accept:");
    lines.Add("Expect:");
}

void TakeResponse(THTTPSend& r, CURL* h, Transfer& transfer) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    r.ResultCode = static_cast<int>(code);
    r.Headers = std::move(transfer.headers);
    for (const std::string& line : r.Headers) {
        if (text::StartsWithNoCase(line, "HTTP/")) {
            const auto space = line.find(' ');
            const auto second = space == std::string::npos ? space : line.find(' ', space + 1);
            r.ResultString =
                second == std::string::npos ? std::string() : text::Trim(line.substr(second + 1));
        } else if (text::StartsWithNoCase(line, "Location:")) {
            r.Location = HeaderValue(line);
        } else if (text::StartsWithNoCase(line, "Content-Type:")) {
            r.MimeType = HeaderValue(line);
        } else if (text::StartsWithNoCase(line, "Set-Cookie:")) {
            StoreCookie(HeaderValue(line), r.Cookies);
        }
    }
    r.Document = std::move(transfer.body);
    r.DownloadSize = r.Document.size();
}

} // namespace

THTTPSend::THTTPSend() = default;

bool THTTPSend::HTTPMethod(const std::string& method, const std::string& url) {
    try {
        http_internal::EnsureCurlGlobalInit();
        const std::string verb = text::ToUpperAscii(method);
        const std::string body = StartRequest(*this, verb);
        const std::string bodyType = MimeType;
        MimeType = "text/html";

        std::optional<RequestTarget> target = ParseTarget(url);
        if (!target) {
            log::Warning("http", "request refused: the URL cannot be parsed");
            return false;
        }
        if (target->user.empty()) {
            target->user = UserName;
            target->password = Password;
        }
        HeaderList lines;
        BuildHeaderLines(*this, lines, *target, body, bodyType);

        EasyHandle h(curl_easy_init());
        if (!h) {
            log::Warning("http", "no curl handle for a request");
            return false;
        }
        Transfer transfer(Limits);
        http_internal::ApplyCommonOptions(h.get(), transfer);
        curl_easy_setopt(h.get(), CURLOPT_URL, target->url.c_str());
        curl_easy_setopt(h.get(), CURLOPT_PATH_AS_IS, 1L);
        // The fetch never goes through a proxy, whatever the environment says.
        curl_easy_setopt(h.get(), CURLOPT_PROXY, "");
        curl_easy_setopt(h.get(), CURLOPT_HTTP_VERSION,
                         Protocol == "1.1" ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0);
        // A reply without a status line is taken as body text (result code 0).
        curl_easy_setopt(h.get(), CURLOPT_HTTP09_ALLOWED, 1L);
        curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, lines.get());
        SetMethod(h.get(), verb, body);

        const CURLcode rc = curl_easy_perform(h.get());
        TakeResponse(*this, h.get(), transfer);
        if (rc != CURLE_OK) {
            http_internal::LogFailure("request to " + target->host, rc, transfer);
        }
        return rc == CURLE_OK;
    } catch (...) {
        log::Caught("http", "THTTPSend::HTTPMethod");
        return false;
    }
}

std::string HostOfUrl(std::string_view url) {
    if (const std::size_t scheme = url.find("://"); scheme != std::string_view::npos) {
        url.remove_prefix(scheme + 3);
    }
    url = url.substr(0, url.find_first_of("/?#"));
    if (const std::size_t at = url.rfind('@'); at != std::string_view::npos) {
        url.remove_prefix(at + 1);
    }
    if (!url.empty() && url.front() == '[') {
        const std::size_t close = url.find(']');
        return std::string(url.substr(1, close == std::string_view::npos ? close : close - 1));
    }
    return std::string(url.substr(0, url.find(':')));
}

namespace detail {

std::vector<std::string> SplitLines(std::string_view body) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r' || body[i] == '\n') {
            lines.emplace_back(body.substr(start, i - start));
            if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < body.size()) {
        lines.emplace_back(body.substr(start));
    }
    return lines;
}

} // namespace detail

bool FetchUrlLines(const std::string& url, std::vector<std::string>& lines, const HttpLimits& limits) {
    try {
        lines.clear();
        std::string body;
        std::string location;
        bool ok = false;
        {
            THTTPSend first;
            first.Limits = limits;
            ok = first.HTTPMethod("GET", url);
            location = first.Location;
            body = std::move(first.Document);
        }
        // Followed whatever the status: some services answer 200 with a Location.
        // Only once, and with a fresh client, so no cookie of the first answer goes along.
        if (!location.empty() && location != url) {
            const std::string next = ResolveLocation(url, location);
            if (next.empty()) {
                return false;
            }
            THTTPSend second;
            second.Limits = limits;
            ok = second.HTTPMethod("GET", next);
            body = std::move(second.Document);
        }
        // A cut-off body (time-out, size bound) is no answer: callers would
        // parse half a reply.
        if (ok) {
            lines = detail::SplitLines(body);
        }
        return ok;
    } catch (...) {
        log::Caught("http", "FetchUrlLines");
        lines.clear();
        return false;
    }
}

std::string FetchUrlText(const std::string& url, const HttpLimits& limits) {
    try {
        std::vector<std::string> lines;
        if (!FetchUrlLines(url, lines, limits)) {
            return {};
        }
        std::string joined;
        for (const std::string& line : lines) {
            joined += line;
            joined += "\r\n";
        }
        return joined;
    } catch (...) {
        log::Caught("http", "FetchUrlText");
        return {};
    }
}

} // namespace nuvex
