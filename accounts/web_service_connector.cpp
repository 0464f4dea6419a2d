#include "accounts/web_service_connector.h"

#include "lib/branding.h"
#include "lib/codepage.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/text.h"
#include "lib/xml.h"

#include <algorithm>
#include <set>

namespace nuvex::webservice {

namespace {

// Values of the reply are UTF-8 once ReplyToUtf8 has run; the rest of the
// program works in the ANSI code page.
std::string Ansi(std::string_view utf8) {
    return WideToAnsi(Utf8ToWide(utf8));
}

std::string Attr(const MXMLTokenC& token, const XmlPath& path, std::string_view name) {
    return Ansi(token.GetAttr(path, 0, "", name));
}

// A positive decimal id without sign or blanks, compared as text by length
// first so that ids beyond 64 bits still order correctly.
bool IsId(std::string_view id) {
    if (id.empty() || id.size() > 40 ||
        !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    return id.find_first_not_of('0') != std::string_view::npos;
}

std::string_view StripLeadingZeros(std::string_view id) {
    std::size_t first = id.find_first_not_of('0');
    return first == std::string_view::npos ? id.substr(id.size()) : id.substr(first);
}

bool IdLess(std::string_view a, std::string_view b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

} // namespace

std::optional<std::string> ConfiguredAddress(HostConfig* host, const std::string& key) {
    if (host) {
        std::optional<std::string> value = host->Connected() ? host->ReadCfgStr(key) : std::nullopt;
        if (!value) {
            log::Warning("webservice", "the host did not answer the read of " + key);
            return std::nullopt;
        }
        std::string trimmed = text::Trim(*value);
        if (!trimmed.empty()) {
            return trimmed;
        }
    }
    return text::Trim(ConfigResourceValue(ConfigResourceText(), key).value_or(""));
}

bool UsableServiceUrl(std::string_view url) {
    std::size_t rest = 0;
    if (text::StartsWithNoCase(url, "https://")) {
        rest = 8;
    } else if (text::StartsWithNoCase(url, "http://")) {
        rest = 7;
    } else {
        return false;
    }
    const std::string_view after = url.substr(rest);
    const std::size_t end = after.find_first_of("/?#");
    const std::string_view authority = after.substr(0, end);
    if (authority.empty() || authority.front() == ':' ||
        authority.find_first_of(" \t\r\n@") != std::string_view::npos) {
        return false; // no host, or user information that would travel with every request
    }
    return url.find_first_of(" \t\r\n") == std::string_view::npos;
}

std::string RequestUrl(std::string_view serviceUrl, std::string_view path, std::string_view cu) {
    std::string out(serviceUrl);
    const std::string lower = text::ToLowerAscii(path);
    const std::size_t at = lower.find("%cu");
    if (at == std::string::npos) {
        out += path;
    } else {
        out.append(path.substr(0, at));
        out.append(cu);
        out.append(path.substr(at + 3));
    }
    return out;
}

std::string EncodeCu(const std::vector<std::pair<std::string, std::string>>& entries) {
    TCryptURL record;
    for (const auto& [name, value] : entries) {
        record.SetParam(name, value);
    }
    return record.EncodeParams();
}

std::optional<std::string> ReplyToUtf8(std::string_view reply, Registry* registry) {
    std::string_view body = reply;
    if (body.starts_with("\xEF\xBB\xBF")) {
        body.remove_prefix(3);
    }
    // Only the declaration is read for the set's name; the document itself is
    // parsed once, after the conversion.
    std::string charset;
    const std::size_t start = body.find_first_not_of(" \t\r\n");
    if (start != std::string_view::npos && text::StartsWithNoCase(body.substr(start), "<?xml")) {
        const std::size_t end = body.find("?>", start);
        const std::size_t len = end == std::string_view::npos
                                    ? std::min<std::size_t>(body.size() - start, 1024)
                                    : std::min<std::size_t>(end + 2 - start, 1024);
        charset = text::Trim(XmlDocAttr(body.substr(start, len), {"?xml"}, 0, "", "encoding"));
    }
    int codePage = kCodePageUtf8;
    if (!charset.empty()) {
        codePage = registry ? CharsetToCodePage(*registry, charset) : CharsetToCodePage(charset);
    }
    std::optional<std::u16string> wide = codePage > 0 ? CodePageToWide(body, codePage) : std::nullopt;
    if (!wide) {
        log::Warning("webservice", "the reply's character set \"" + charset.substr(0, 40) + "\" is unknown");
        return std::nullopt;
    }
    std::optional<std::string> utf8 = WideToCodePage(*wide, kCodePageUtf8);
    if (!utf8) {
        log::Warning("webservice", "the reply could not be converted to UTF-8");
    }
    return utf8;
}

NewIds CountNewIds(const std::vector<std::string>& headerIds, std::string_view nextIds) {
    std::set<std::string, std::less<>> ids;
    auto add = [&](std::string_view id) {
        id = text::TrimView(id);
        if (IsId(id)) {
            ids.emplace(StripLeadingZeros(id));
        }
    };
    for (const std::string& id : headerIds) {
        add(id);
    }
    std::size_t pos = 0;
    while (pos < nextIds.size()) {
        const std::size_t end = nextIds.find_first_of(",; \t\r\n", pos);
        add(nextIds.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        if (end == std::string_view::npos) {
            break;
        }
        pos = end + 1;
    }
    NewIds out;
    out.count = ids.size();
    for (const std::string& id : ids) {
        if (out.newest.empty() || IdLess(out.newest, id)) {
            out.newest = id;
        }
    }
    return out;
}

NewMsgsReply ParseNewMsgs(const std::string& utf8) {
    NewMsgsReply out;
    MXMLParserC parser(utf8);
    parser.Parse();
    const MXMLTokenC* list = parser.Root->FindChild("NewMsgsList");
    if (!list) {
        return out;
    }
    out.found = true;
    out.loginFailed = text::Trim(Ansi(list->GetText({"ErrDetail"}, 0, ""))) == "Login failed";
    out.statusOk = Attr(*list, {}, "Status") == "OK";
    const std::string unread = text::Trim(Attr(*list, {}, "Unread"));
    if (!unread.empty() && unread.size() <= 10 &&
        std::all_of(unread.begin(), unread.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const long long value = std::stoll(unread);
        out.unread = value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
    }
    out.nextIds = Ansi(list->GetText({"NextIds"}, 0, ""));
    if (const MXMLTokenC* hdrs = list->FindChild("Hdrs")) {
        for (const auto& child : hdrs->Children) {
            if (out.headers.size() >= kMaxReplyHeaders) {
                break;
            }
            if (!text::EqualsNoCase(text::TrimView(child->Name), "Hdr")) {
                continue;
            }
            const MXMLTokenC& hdr = *child;
            const std::string mid = Attr(hdr, {}, "MID");
            TWebvaultMessage message;
            message.FolderId = Attr(hdr, {}, "FID");
            message.MessageRef = mid + ":" + message.FolderId;
            message.Subject = HtmlDecode(Attr(hdr, {}, "Subject"));
            message.Preview = HtmlDecode(Attr(hdr, {}, "Preview"));
            const std::string name = HtmlDecode(Attr(hdr, {"From", "Addr"}, "Name"));
            const std::string email = HtmlDecode(Attr(hdr, {"From", "Addr"}, "EMail"));
            message.Sender = name.empty() ? email : name + " <" + email + ">";
            out.headerIds.push_back(mid);
            out.headers.push_back(std::move(message));
        }
    }
    return out;
}

RedirReply ParseRedir(const std::string& utf8) {
    RedirReply out;
    MXMLParserC parser(utf8);
    parser.Parse();
    if (const MXMLTokenC* redir = parser.Root->FindChild("Redir")) {
        out.statusOk = Attr(*redir, {}, "Status") == "OK";
        out.url = XmlUnescape(text::Trim(Attr(*redir, {}, "Url")));
    }
    return out;
}

std::string XmlUnescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        const std::size_t semi = text.find(';', i);
        if (semi == std::string_view::npos || semi - i > 10) {
            out += text[i++];
            continue;
        }
        const std::string_view name = text.substr(i + 1, semi - i - 1);
        char plain = '\0';
        if (name == "amp") {
            plain = '&';
        } else if (name == "quot") {
            plain = '"';
        } else if (name == "apos") {
            plain = '\'';
        } else if (name == "lt") {
            plain = '<';
        } else if (name == "gt") {
            plain = '>';
        } else if (name.size() >= 2 && name[0] == '#') {
            // Only ASCII references: an address has no business holding more.
            unsigned value = 0;
            bool ok = true;
            const bool hex = name[1] == 'x' || name[1] == 'X';
            for (char c : name.substr(hex ? 2 : 1)) {
                const int digit = c >= '0' && c <= '9'          ? c - '0'
                                  : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                : -1;
                if (digit < 0 || value > 0xFFFF) {
                    ok = false;
                    break;
                }
                value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
            }
            if (ok && value >= 0x20 && value < 0x7F) {
                plain = static_cast<char>(value);
            }
        }
        if (plain == '\0') {
            out += text[i++];
            continue;
        }
        out += plain;
        i = semi + 1;
    }
    return out;
}

HttpLimits DefaultLimits() {
    HttpLimits limits;
    limits.connectTimeoutMs = 15'000;
    limits.readTimeoutMs = 30'000;
    limits.totalTimeoutMs = 60'000;
    limits.maxBodyBytes = std::size_t{2} << 20;
    return limits;
}

} // namespace nuvex::webservice
