// THTTPGetSerial: one request that reports its status code.
#include "lib/http_internal.h"
#include "lib/log.h"
#include "lib/text.h"

#include <cstdlib>
#include <cstring>

namespace nuvex {
namespace {

using http_internal::HeaderList;
using http_internal::Transfer;
using text::StartsWithNoCase;

constexpr const char* kDefaultContentTypeLine = "Content-Type: application/x-www-form-urlencoded";
// Longer Content-Type values are not kept (they never name a real media type).
constexpr std::size_t kContentTypeBuffer = 256;

// "http://" and "https://" in any case; the host is what stands before the first
// "/", the path the rest (query included). A host without a path asks for "/".
bool SplitRequestUrl(const std::string& url, std::string& curlUrl) {
    std::string scheme;
    std::size_t skip = 0;
    if (StartsWithNoCase(url, "http://")) {
        scheme = "http://";
        skip = 7;
    } else if (StartsWithNoCase(url, "https://")) {
        scheme = "https://";
        skip = 8;
    } else {
        return false;
    }
    const std::string rest = url.substr(skip);
    const auto slash = rest.find('/');
    const std::string host = rest.substr(0, slash);
    const std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (host.empty()) {
        return false;
    }
    // An explicit port stays in the host part; otherwise curl takes 80 or 443.
    curlUrl = scheme + host + path;
    return true;
}

// The system's proxy settings (the environment) are honoured, but never for
// this machine itself.
std::string NoProxyList() {
    std::string list = "localhost,127.0.0.1,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            list = std::string(value) + "," + list;
            break;
        }
    }
    return list;
}

void AddHeaderText(HeaderList& lines, const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text::Trim(text.substr(start, end - start));
        if (!line.empty()) {
            lines.Add(line);
        }
        start = end + 1;
    }
}

void AddRequestHeaders(const THTTPGetSerial& r, HeaderList& lines) {
    lines.Add(r.AcceptTypes.empty() ? std::string("Accept:") : "Accept: " + r.AcceptTypes);
    if (!r.UseCache) {
        lines.Add("Cache-Control: no-cache");
        lines.Add("Pragma: no-cache");
    }
    if (!r.PostData.empty() || !r.ExtraHeaders.empty() || !r.ContentTypeLine.empty()) {
        AddHeaderText(lines, r.ContentTypeLine.empty() ? kDefaultContentTypeLine : r.ContentTypeLine);
        AddHeaderText(lines, r.ExtraHeaders);
    }
    lines.Add("Expect:");
}

// The options of this request beyond the common ones. The strings handed to
// curl must outlive the transfer: they belong to r and to the caller.
void ConfigureRequest(const THTTPGetSerial& r, CURL* h, const std::string& curlUrl, const HeaderList& lines,
                      const std::string& noProxy) {
    curl_easy_setopt(h, CURLOPT_URL, curlUrl.c_str());
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_NOPROXY, noProxy.c_str());
    // Redirects are followed as a browser would, at most 10, http and https
    // only; the credentials are not handed to another host.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, lines.get());
    if (!r.Agent.empty()) {
        curl_easy_setopt(h, CURLOPT_USERAGENT, r.Agent.c_str());
    }
    if (!r.Referrer.empty()) {
        curl_easy_setopt(h, CURLOPT_REFERER, r.Referrer.c_str());
    }
    if (!r.UserName.empty()) {
        // Sent only in answer to a challenge, in the strongest scheme the server offers.
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
        curl_easy_setopt(h, CURLOPT_USERNAME, r.UserName.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, r.Password.c_str());
    }
    if (!r.PostData.empty()) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.PostData.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, r.PostData.data());
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
}

// Status, content type and body of a finished transfer into r.
bool CollectResult(THTTPGetSerial& r, CURL* h, CURLcode rc, Transfer& transfer) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    const char* type = nullptr;
    curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &type);
    const auto keepStatus = [&] {
        r.StatusCode = static_cast<int>(code);
        if (type && std::strlen(type) < kContentTypeBuffer) {
            r.ContentType = type;
        }
    };
    if (rc != CURLE_OK) {
        http_internal::LogFailure("feed request", rc, transfer);
        r.CertificateRejected = rc == CURLE_PEER_FAILED_VERIFICATION;
        // A 2xx without the length asked for, or an error page cut off at the
        // size bound, still says what the server answered (a refused login must
        // not look like a network failure); any other broken transfer counts as
        // no response.
        if (transfer.lengthMissing || transfer.droppedTooLarge) {
            keepStatus();
        }
        return false;
    }
    keepStatus();
    if (code < 200 || code > 299) {
        return false;
    }
    if (r.QuerySize) {
        curl_off_t length = -1;
        curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length < 0) {
            return false;
        }
    }
    r.Text = std::move(transfer.body);
    return true;
}

} // namespace

bool THTTPGetSerial::GetUrl(bool /*initCom*/) {
    Text.clear();
    StatusCode = 0;
    ContentType.clear();
    CertificateRejected = false;
    try {
        std::string curlUrl;
        if (!SplitRequestUrl(Url, curlUrl)) {
            log::Warning("http", "feed request refused: not an http or https URL");
            return false;
        }
        http_internal::EnsureCurlGlobalInit();
        http_internal::EasyHandle h(curl_easy_init());
        if (!h) {
            log::Warning("http", "no curl handle for a feed request");
            return false;
        }
        Transfer transfer(Limits);
        transfer.keepOnly2xx = true;
        transfer.requireLength = QuerySize;
        transfer.stop = Stop;
        http_internal::ApplyCommonOptions(h.get(), transfer);
        HeaderList lines;
        AddRequestHeaders(*this, lines);
        const std::string noProxy = NoProxyList();
        ConfigureRequest(*this, h.get(), curlUrl, lines, noProxy);
        const CURLcode rc = curl_easy_perform(h.get());
        return CollectResult(*this, h.get(), rc, transfer);
    } catch (...) {
        log::Caught("http", "THTTPGetSerial::GetUrl");
        Text.clear();
        StatusCode = 0;
        ContentType.clear();
        return false;
    }
}

} // namespace nuvex
