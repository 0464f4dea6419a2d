#include "accounts/gmail_connector.h"

#include "accounts/account_store.h"
#include "accounts/connector_support.h"
#include "accounts/open_actions.h"
#include "lib/branding.h"
#include "lib/clock.h"
#include "lib/codepage.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/stop_signal.h"
#include "lib/text.h"
#include "lib/xml.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>
#include <utility>

namespace nuvex {

namespace {

constexpr std::int32_t kGMailPop3Port = 995;
constexpr const char* kWebmailUrl = "https://mail.google.com/mail/";
// Entries listed per check; the ones beyond only raise MoreThanShown.
constexpr std::int32_t kShownEntries = 20;
// A feed of twenty entries is some tens of kilobytes; anything near this
// bound is not the feed, and reading it all would only cost memory.
constexpr std::size_t kMaxFeedBytes = std::size_t{1} << 20;

constexpr TTypeOption kGMailOptions[] = {{"pop3", false}};

// The type keys the GMail page writes: the address is the login, and "--pop3"
// chooses POP3 access instead of the feed.
bool AddGMailOptionKeys(TAccountFields& fields, const TTypeOptionValues& options, std::string& error) {
    error.clear();
    auto password = options.find("password");
    fields.typeKeys.insert(fields.typeKeys.end(),
                           {
                               {"EMAIL", fields.email},
                               {"USERNAME", fields.userName},
                               {"PASSWORD", password == options.end() ? std::string() : password->second},
                               {"ASSOCIATE", fields.associate ? "1" : "0"},
                               {"ACODE", std::to_string(fields.actionCode)},
                               {"CTYPE", options.count("pop3") ? "1" : "0"},
                           });
    return true;
}

constexpr TConnectorClass kGMailClass{
    .typeCode = "GMAIL",
    .providerName = "Google Gmail",
    .typeCaption = "Google Gmail",
    .exampleAddress = "yourname@gmail.com",
    .listOrder = 9,
    .maxAccounts = 0,
    .wizardPanelClass = "TGMailBasic",
    .caps = kCapCompose | kCapAlwaysOpens | kCapReservedA | kCapChecks,
    .newInstance = NewConnector<TNuvex_GMailConnector>,
    .options = kGMailOptions,
    .addTypeKeys = AddGMailOptionKeys,
};

// A feed value as a person reads it: the feed is UTF-8, the program's texts
// are in the ANSI code page, and the feed escapes markup and may write
// characters as numeric references.
std::string FeedText(const TXMLTag* tag) {
    if (!tag) {
        return {};
    }
    return text::Trim(HtmlDecode(WideToAnsi(Utf8ToWide(tag->Text))));
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "host", "host:port", "[v6]" or "[v6]:port"; nullopt when the port is not 1..65535.
std::optional<std::pair<std::string, int>> SplitServer(const std::string& value) {
    std::string host = value;
    std::string port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos) {
            return std::nullopt;
        }
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') {
                return std::nullopt;
            }
            port = host.substr(close + 2);
        }
        host = host.substr(1, close - 1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
    }
    if (host.empty()) {
        return std::nullopt;
    }
    if (port.empty()) {
        return std::make_pair(host, kGMailPop3Port);
    }
    auto number = ParseDecimal(port, 1, 65535);
    if (!number) {
        return std::nullopt;
    }
    return std::make_pair(host, *number);
}

} // namespace

const TConnectorClass& GMailConnectorClass() {
    return kGMailClass;
}

std::string GMailSetting(HostConfig* host, std::string_view key) {
    if (host && host->Connected()) {
        if (std::optional<std::string> value = host->ReadCfgStr(key); value && !text::Trim(*value).empty()) {
            return text::Trim(*value);
        }
    }
    return text::Trim(ConfigResourceValue(ConfigResourceText(), key).value_or(""));
}

bool FeedIdAfter(std::string_view a, std::string_view b) {
    // One key (text before the trailing digits, their number, the whole text)
    // compared in that order: anything looser is no order at all, and the
    // check keeps the greatest id as its marker, so a cycle would announce
    // the same mail again or never.
    auto split = [](std::string_view s) {
        std::size_t i = s.size();
        while (i > 0 && IsDigit(s[i - 1])) {
            --i;
        }
        std::string_view number = s.substr(i);
        while (number.size() > 1 && number.front() == '0') {
            number.remove_prefix(1);
        }
        return std::pair{s.substr(0, i), number};
    };
    const auto [pa, na] = split(a);
    const auto [pb, nb] = split(b);
    if (pa != pb) {
        return pa > pb;
    }
    if (na.size() != nb.size()) {
        return na.size() > nb.size();
    }
    if (na != nb) {
        return na > nb;
    }
    return a > b;
}

TNuvex_GMailConnector::TNuvex_GMailConnector(const TConnectorClass& cls, const AccountContext& context)
    : TNuvex_Pop3Connector(cls, context) {
    FeedLimits.connectTimeoutMs = 30'000;
    FeedLimits.readTimeoutMs = 60'000;
    FeedLimits.totalTimeoutMs = 120'000;
    FeedLimits.maxBodyBytes = kMaxFeedBytes;
    ApplyPop3Settings(false);
}

void TNuvex_GMailConnector::ApplyPop3Settings(bool askHost) {
    const std::string fallback =
        ConfigResourceValue(ConfigResourceText(), gmail_keys::kPop3Server).value_or("");
    const std::string value = askHost ? GMailSetting(Context().host, gmail_keys::kPop3Server) : fallback;
    std::optional<std::pair<std::string, int>> server = SplitServer(value);
    std::lock_guard guard(Guard());
    if (!server) {
        // Once per bad value, not on every check.
        if (value != badPop3Server_) {
            log::Warning("gmail",
                         "the POP3 server \"" + value + "\" is not a host or host:port; using the default");
            badPop3Server_ = value;
        }
        server = SplitServer(fallback);
    }
    // The stored HOSTNAME, PORT and USESSL of this type mean nothing: POP3
    // access is always TLS from the first byte.
    if (server && (HostName != server->first || Port != server->second || !UseSSL)) {
        SetHostName(server->first);
        SetPort(server->second);
        SetUseSSL(true);
    }
    UseSSL = true;
    OpenUrlText = kWebmailUrl;
    MailerName.clear();
}

int TNuvex_GMailConnector::AfterCreate() {
    try {
        {
            std::lock_guard guard(Guard());
            if (!LoginUrl.empty() && !ComposeUrl.empty()) {
                return kStatusOk;
            }
        }
        HostConfig* host = Context().host;
        if (!host || !host->Connected()) {
            return kStatusFailed;
        }
        std::string login = host->ReadCfgStr(gmail_keys::kLoginUrl).value_or("");
        std::string compose = host->ReadCfgStr(gmail_keys::kComposeUrl).value_or("");
        std::lock_guard guard(Guard());
        LoginUrl = std::move(login);
        ComposeUrl = std::move(compose);
        return !LoginUrl.empty() && !ComposeUrl.empty() ? kStatusOk : kStatusFailed;
    } catch (...) {
        log::Caught("gmail", "reading the sign-in addresses");
        return kStatusFailed;
    }
}

void TNuvex_GMailConnector::LoadTypeSettings(const TCryptURL& record) {
    TNuvex_Pop3Connector::LoadTypeSettings(record);
    ApplyPop3Settings(false);
    std::lock_guard guard(Guard());
    AccessType = StrToIntDef(record.GetParam("CTYPE"), 0);
}

TNuvex_GMailConnector::FeedReply TNuvex_GMailConnector::FetchFeed() {
    THTTPGetSerial request;
    {
        std::lock_guard guard(Guard());
        request.UserName = UserName;
        request.Password = Password;
        request.Limits = FeedLimits;
    }
    request.Stop = Context().stop;
    request.Url = GMailSetting(Context().host, gmail_keys::kFeedUrl);
    // The credentials go with the request: never over plain text.
    if (!text::StartsWithNoCase(request.Url, "https://")) {
        // The address itself is not logged: it might carry a user and password.
        log::Warning("gmail", std::string(gmail_keys::kFeedUrl) +
                                  " is not an https address; the feed is not asked for");
        return {};
    }
    request.GetUrl(false);
    return {std::move(request.Text), request.StatusCode, request.CertificateRejected, LastNetProblem(),
            HostOfUrl(request.Url)};
}

int TNuvex_GMailConnector::Connect() {
    std::int32_t access = 0;
    {
        std::lock_guard guard(Guard());
        access = AccessType;
    }
    if (access != 0) {
        ApplyPop3Settings(true);
        return TNuvex_Pop3Connector::Connect();
    }
    try {
        FeedReply reply = FetchFeed();
        std::lock_guard guard(Guard());
        if (!reply.body.empty() && reply.status == 200) {
            ErrorCode = kErrorNone;
            return kStatusOk;
        }
        ErrorCode = reply.status == 401 ? kErrorLogin : kErrorUnreachable;
        ErrorProblem = reply.status == 0 ? reply.problem : NetProblem::None;
        ErrorServer = reply.server;
        const std::string_view words = NetProblemWords(ErrorProblem);
        log::Warning("gmail", AccountId + ": feed test failed with status " + std::to_string(reply.status) +
                                  (words.empty() ? std::string() : " (" + std::string(words) + ")"));
    } catch (...) {
        log::Caught("gmail", "testing the feed");
        std::lock_guard guard(Guard());
        ErrorCode = kErrorOther;
    }
    return kStatusFailed;
}

int TNuvex_GMailConnector::CheckMail() {
    std::int32_t access = 0;
    {
        std::lock_guard guard(Guard());
        UnreadCount = 0;
        NewCount = 0;
        access = AccessType;
    }
    if (access != 0) {
        ApplyPop3Settings(true);
        return TNuvex_Pop3Connector::CheckMail();
    }
    return CheckFeed();
}

int TNuvex_GMailConnector::CheckFeed() {
    std::string id;
    {
        std::lock_guard guard(Guard());
        LastCheck = Now();
        ErrorCode = kErrorOther;
        Headers.clear();
        untrustedFeedHost_.clear();
        id = AccountId;
    }
    auto fail = [&](std::int32_t code, const std::string& why, NetProblem problem = NetProblem::None,
                    const std::string& server = {}) {
        std::lock_guard guard(Guard());
        ErrorCode = code;
        ErrorProblem = problem;
        ErrorServer = server;
        const std::string_view words = NetProblemWords(problem);
        log::Warning("gmail", id + ": feed check failed: " + why +
                                  (words.empty() ? std::string() : " (" + std::string(words) + ")") +
                                  " [class " + std::to_string(code) + "]");
        return kStatusFailed;
    };
    try {
        FeedReply reply = FetchFeed();
        if (Context().stop && Context().stop->Raised()) {
            // Stopping says nothing about the account: no error to report.
            std::lock_guard guard(Guard());
            ErrorCode = kErrorNone;
            log::Info("gmail", id + ": feed check stopped");
            return kStatusFailed;
        }
        if (reply.certificateRejected) {
            // Not class 1: that one is shown at most hourly and reads like a
            // network hiccup, while an untrusted certificate may be an attack.
            const std::string server = HostOfUrl(GMailSetting(Context().host, gmail_keys::kFeedUrl));
            {
                std::lock_guard guard(Guard());
                untrustedFeedHost_ = server;
            }
            return fail(kErrorOther, "the certificate of " + server + " is not trusted");
        }
        if (reply.status == 401) {
            return fail(kErrorLogin, "the server refused the login");
        }
        if (reply.body.find("</feed") == std::string::npos) {
            if (reply.status == 0) {
                return fail(kErrorUnreachable, "no complete answer", reply.problem, reply.server);
            }
            return fail(kErrorUnreachable,
                        "status " + std::to_string(reply.status) + " without a whole feed");
        }
        std::unique_ptr<TXMLTag> tree = BuildTagTree(reply.body);
        reply.body.clear();
        TXMLTag* feed = tree ? FindTag("feed", tree.get()) : nullptr;
        if (!feed) {
            return fail(kErrorUnreachable, "the answer holds no feed element");
        }
        std::optional<std::string> marker = GetLastId();
        if (!marker) {
            throw MarkerUnavailable("cannot read the new-message marker");
        }
        std::int32_t unread = 0;
        std::int32_t fresh = 0;
        bool more = false;
        std::string greatest;
        bool sawId = false;
        std::vector<TPOP3Message> headers;
        for (const auto& child : feed->Children) {
            const std::string name = text::ToLowerAscii(child->Name);
            if (name == "fullcount") {
                unread = StrToIntDef(text::Trim(child->Text), 0);
                continue;
            }
            if (name != "entry") {
                continue;
            }
            const TXMLTag* idTag = FindTag("id", child.get());
            if (!idTag) {
                continue;
            }
            const std::string entryId = text::Trim(idTag->Text);
            if (!sawId || FeedIdAfter(entryId, greatest)) {
                greatest = entryId;
                sawId = true;
            }
            // Newest first: the first entry we have seen ends the new ones.
            if (!FeedIdAfter(entryId, *marker)) {
                break;
            }
            ++fresh;
            if (fresh > kShownEntries) {
                more = true;
                continue;
            }
            TPOP3Message message;
            message.Subject = FeedText(FindTag("title", child.get()));
            message.Preview = FeedText(FindTag("summary", child.get()));
            if (FindTag("author", child.get())) {
                const std::string sender = FeedText(FindTag("name", child.get()));
                const std::string email = FeedText(FindTag("email", child.get()));
                message.Sender = !sender.empty() && !email.empty() ? sender + " <" + email + ">" : email;
            }
            if (!message.Sender.empty() || !message.Subject.empty() || !message.Preview.empty()) {
                headers.push_back(std::move(message));
            }
        }
        if (sawId && !SetLastId(greatest)) {
            throw MarkerUnavailable("cannot store the new-message marker");
        }
        std::lock_guard guard(Guard());
        UnreadCount = unread;
        NewCount = fresh;
        Headers = std::move(headers);
        MoreThanShown = MoreThanShown || more;
        ErrorCode = kErrorNone;
        return kStatusOk;
    } catch (const MarkerUnavailable& e) {
        return fail(kErrorUnreachable, e.what());
    } catch (...) {
        log::Caught("gmail", id + ": reading the feed");
        std::lock_guard guard(Guard());
        ErrorCode = kErrorOther;
        return kStatusFailed;
    }
}

void TNuvex_GMailConnector::TakeLastError(std::int32_t& code, std::string& text) {
    {
        std::lock_guard guard(Guard());
        if (ErrorCode != kErrorNone && !untrustedFeedHost_.empty()) {
            code = ErrorCode;
            text = CertificateErrorText(untrustedFeedHost_);
            ErrorCode = kErrorNone;
            untrustedFeedHost_.clear();
            return;
        }
    }
    TNuvex_Pop3Connector::TakeLastError(code, text);
}

int TNuvex_GMailConnector::OpenSignIn(bool compose) {
    if (AfterCreate() == kStatusOk) {
        std::string url;
        {
            std::lock_guard guard(Guard());
            url = compose ? ComposeUrl : LoginUrl;
        }
        OpenUrl(*this, url);
    }
    // The callers take no action on the answer; the type has always answered so.
    return kStatusFailed;
}

int TNuvex_GMailConnector::OpenMailbox() {
    return OpenSignIn(false);
}

int TNuvex_GMailConnector::OpenMessage(const std::string& /*ref*/) {
    return OpenSignIn(false);
}

int TNuvex_GMailConnector::Compose() {
    return OpenSignIn(true);
}

} // namespace nuvex
