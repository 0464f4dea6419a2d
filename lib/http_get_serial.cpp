// THTTPGetSerial: one request that reports its status code.
#include "lib/http_internal.h"

#include <cstdlib>
#include <cstring>

namespace nuvex {
namespace {

using http_internal::HeaderList;
using http_internal::StartsWithNoCase;

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
        const std::string line = http_internal::Trim(text.substr(start, end - start));
        if (!line.empty()) {
            lines.Add(line);
        }
        start = end + 1;
    }
}

} // namespace

bool THTTPGetSerial::GetUrl(bool /*initCom*/) {
    Text.clear();
    StatusCode = 0;
    ContentType.clear();
    try {
        std::string curlUrl;
        if (!SplitRequestUrl(Url, curlUrl)) {
            return false;
        }
        http_internal::EnsureCurlGlobalInit();
        http_internal::EasyHandle h(curl_easy_init());
        if (!h) {
            return false;
        }
        http_internal::Transfer transfer(Limits);
        transfer.keepOnly2xx = true;
        transfer.requireLength = QuerySize;
        http_internal::ApplyCommonOptions(h.get(), transfer);

        HeaderList lines;
        lines.Add(AcceptTypes.empty() ? std::string("Accept:") : "Accept: " + AcceptTypes);
        if (!UseCache) {
            lines.Add("Cache-Control: no-cache");
            lines.Add("Pragma: no-cache");
        }
        if (!PostData.empty() || !ExtraHeaders.empty() || !ContentTypeLine.empty()) {
            AddHeaderText(lines, ContentTypeLine.empty() ? kDefaultContentTypeLine : ContentTypeLine);
            AddHeaderText(lines, ExtraHeaders);
        }
        lines.Add("Expect:");

        curl_easy_setopt(h.get(), CURLOPT_URL, curlUrl.c_str());
        curl_easy_setopt(h.get(), CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        const std::string noProxy = NoProxyList();
        curl_easy_setopt(h.get(), CURLOPT_NOPROXY, noProxy.c_str());
        // Redirects are followed as a browser would, at most 10, http and https
        // only; the credentials are not handed to another host.
        curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h.get(), CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, lines.get());
        if (!Agent.empty()) {
            curl_easy_setopt(h.get(), CURLOPT_USERAGENT, Agent.c_str());
        }
        if (!Referrer.empty()) {
            curl_easy_setopt(h.get(), CURLOPT_REFERER, Referrer.c_str());
        }
        if (!UserName.empty()) {
            // Sent only in answer to a challenge, in the strongest scheme the server offers.
            curl_easy_setopt(h.get(), CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
            curl_easy_setopt(h.get(), CURLOPT_USERNAME, UserName.c_str());
            curl_easy_setopt(h.get(), CURLOPT_PASSWORD, Password.c_str());
        }
        if (!PostData.empty()) {
            curl_easy_setopt(h.get(), CURLOPT_POST, 1L);
            curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(PostData.size()));
            curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, PostData.data());
        } else {
            curl_easy_setopt(h.get(), CURLOPT_HTTPGET, 1L);
        }

        const CURLcode rc = curl_easy_perform(h.get());

        long code = 0;
        curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
        const char* type = nullptr;
        curl_easy_getinfo(h.get(), CURLINFO_CONTENT_TYPE, &type);
        const auto keepType = [&] {
            if (type && std::strlen(type) < kContentTypeBuffer) {
                ContentType = type;
            }
        };
        if (rc != CURLE_OK) {
            // A 2xx without the length asked for still says what the server
            // answered; any other broken transfer counts as no response.
            if (transfer.lengthMissing) {
                StatusCode = static_cast<int>(code);
                keepType();
            }
            return false;
        }
        StatusCode = static_cast<int>(code);
        keepType();
        if (code < 200 || code > 299) {
            return false;
        }
        if (QuerySize) {
            curl_off_t length = -1;
            curl_easy_getinfo(h.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            if (length < 0) {
                return false;
            }
        }
        Text = std::move(transfer.body);
        return true;
    } catch (...) {
        Text.clear();
        StatusCode = 0;
        ContentType.clear();
        return false;
    }
}

} // namespace nuvex
