// THTTPSend and the text fetch built on it.
#include "lib/http_internal.h"

#include <memory>
#include <utility>

namespace nuvex {
namespace {

using http_internal::EasyHandle;
using http_internal::HeaderList;
using http_internal::StartsWithNoCase;
using http_internal::Transfer;
using http_internal::Trim;

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

std::string ToUpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

// Text after the header's colon, trimmed ("Location:x" has no space to split at).
std::string HeaderValue(const std::string& line) {
    const auto colon = line.find(':');
    return colon == std::string::npos ? std::string() : Trim(line.substr(colon + 1));
}

// The first name=value pair of a Set-Cookie value.
void StoreCookie(const std::string& value, std::map<std::string, std::string>& cookies) {
    const std::string pair = value.substr(0, value.find(';'));
    const auto eq = pair.find('=');
    const std::string name = Trim(pair.substr(0, eq));
    if (name.empty()) {
        return;
    }
    cookies[name] = eq == std::string::npos ? std::string() : Trim(pair.substr(eq + 1));
}

// A relative Location is taken against the URL that answered it; an absolute
// one is used exactly as given.
std::string ResolveLocation(const std::string& base, const std::string& location) {
    if (location.find("://") != std::string::npos) {
        return location;
    }
    UrlHandle u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, base.c_str(), CURLU_DEFAULT_SCHEME) != CURLUE_OK ||
        curl_url_set(u.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK) {
        return location;
    }
    const std::string resolved = UrlPart(u.get(), CURLUPART_URL);
    return resolved.empty() ? location : resolved;
}

} // namespace

THTTPSend::THTTPSend() = default;

bool THTTPSend::HTTPMethod(const std::string& method, const std::string& url) {
    try {
        http_internal::EnsureCurlGlobalInit();
        const std::string verb = ToUpperAscii(method);
        std::string requestBody = std::move(Document);
        Document.clear();
        if (verb == "HEAD") {
            requestBody.clear();
        }
        Headers.clear();
        Location.clear();
        ResultCode = 0;
        ResultString.clear();
        DownloadSize = 0;
        const std::string sentMimeType = MimeType;
        MimeType = "text/html";

        // The URL's own user goes into the Authorization line we write; curl
        // must not see it, or it would add a second one.
        UrlHandle u(curl_url());
        if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(),
                               CURLU_DEFAULT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK) {
            return false;
        }
        std::string user = UrlPart(u.get(), CURLUPART_USER, CURLU_URLDECODE);
        std::string password = UrlPart(u.get(), CURLUPART_PASSWORD, CURLU_URLDECODE);
        if (user.empty()) {
            user = UserName;
            password = Password;
        }
        curl_url_set(u.get(), CURLUPART_USER, nullptr, 0);
        curl_url_set(u.get(), CURLUPART_PASSWORD, nullptr, 0);
        const std::string host = UrlPart(u.get(), CURLUPART_HOST);
        const std::string port = UrlPart(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
        const std::string target = UrlPart(u.get(), CURLUPART_URL);
        if (host.empty() || target.empty()) {
            return false;
        }

        // Only these lines, in this order; curl's own Accept is switched off.
        // The port is written whenever it is not 80, so https gives "host:443".
        HeaderList lines;
        lines.Add("Host: " + host + (port == "80" ? std::string() : ":" + port));
        if (!user.empty()) {
            lines.Add("Authorization: Basic " + Base64(user + ":" + password));
        }
        if (!Cookies.empty()) {
            std::string cookie = "Cookie: ";
            bool first = true;
            for (const auto& [name, value] : Cookies) {
                cookie += (first ? "" : "; ") + name + "=" + value;
                first = false;
            }
            lines.Add(cookie);
        }
        if (!UserAgent.empty()) {
            lines.Add("User-Agent: " + UserAgent);
        }
        if (!requestBody.empty()) {
            lines.Add("Content-Type: " + sentMimeType);
        }
        lines.Add("Content-Length: " + std::to_string(requestBody.size()));
        if (!KeepAlive) {
            lines.Add("Connection: close");
        }
        lines.Add("Accept:");
        lines.Add("Expect:");

        EasyHandle h(curl_easy_init());
        if (!h) {
            return false;
        }
        Transfer transfer(Limits);
        http_internal::ApplyCommonOptions(h.get(), transfer);
        curl_easy_setopt(h.get(), CURLOPT_URL, target.c_str());
        curl_easy_setopt(h.get(), CURLOPT_PATH_AS_IS, 1L);
        // The fetch never goes through a proxy, whatever the environment says.
        curl_easy_setopt(h.get(), CURLOPT_PROXY, "");
        curl_easy_setopt(h.get(), CURLOPT_HTTP_VERSION,
                         Protocol == "1.1" ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0);
        // A reply without a status line is taken as body text (result code 0).
        curl_easy_setopt(h.get(), CURLOPT_HTTP09_ALLOWED, 1L);
        curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, lines.get());
        if (verb == "GET" && requestBody.empty()) {
            curl_easy_setopt(h.get(), CURLOPT_HTTPGET, 1L);
        } else if (verb == "HEAD") {
            curl_easy_setopt(h.get(), CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(h.get(), CURLOPT_POST, 1L);
            curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(requestBody.size()));
            curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, requestBody.data());
            if (verb != "POST") {
                curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, verb.c_str());
            }
        }

        const CURLcode rc = curl_easy_perform(h.get());

        long code = 0;
        curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
        ResultCode = static_cast<int>(code);
        Headers = std::move(transfer.headers);
        for (const std::string& line : Headers) {
            if (StartsWithNoCase(line, "HTTP/")) {
                const auto space = line.find(' ');
                const auto second = space == std::string::npos ? space : line.find(' ', space + 1);
                ResultString = second == std::string::npos ? std::string() : Trim(line.substr(second + 1));
            } else if (StartsWithNoCase(line, "Location:")) {
                Location = HeaderValue(line);
            } else if (StartsWithNoCase(line, "Content-Type:")) {
                MimeType = HeaderValue(line);
            } else if (StartsWithNoCase(line, "Set-Cookie:")) {
                StoreCookie(HeaderValue(line), Cookies);
            }
        }
        Document = std::move(transfer.body);
        DownloadSize = Document.size();
        return rc == CURLE_OK;
    } catch (...) {
        return false;
    }
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
            THTTPSend second;
            second.Limits = limits;
            ok = second.HTTPMethod("GET", ResolveLocation(url, location));
            body = std::move(second.Document);
        }
        // A cut-off body (time-out, size bound) is no answer: callers would
        // parse half a reply.
        if (ok) {
            lines = detail::SplitLines(body);
        }
        return ok;
    } catch (...) {
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
        std::string text;
        for (const std::string& line : lines) {
            text += line;
            text += "\r\n";
        }
        return text;
    } catch (...) {
        return {};
    }
}

} // namespace nuvex
