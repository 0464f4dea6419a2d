#include "accounts/pop3_connector.h"

#include "accounts/account_store.h"
#include "accounts/connector_support.h"
#include "accounts/mail_headers.h"
#include "accounts/open_actions.h"
#include "lib/account_keys.h"
#include "lib/branding.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/text.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <unordered_set>

namespace nuvex {

namespace {

constexpr std::int32_t kDefaultPop3Port = 110;
// More than 20 kept stops the fetch, so at most 21 headers are listed: the
// loop tests the count before it adds.
// A server without TOP, or a hostile STAT count, must not turn a check into
// one refused round trip per message: twice the headers a check lists.
constexpr int kMaxTopAttempts = 2 * (static_cast<int>(kHeaderLimit) + 1);
// A message whose TOP broke the connection this many checks in a row is skipped.
constexpr int kSkipAfterFailedChecks = 2;
// Beyond this many messages the ids would cost more to keep than they are
// worth: such a maildrop is counted.
constexpr int kMaxTrackedIds = 20'000;
// Seen ids no longer in the maildrop are kept, the most recently gone first,
// up to this many: a server that hides a message for a while (locked by
// another session) must not have it announced again when it comes back.
constexpr std::size_t kKeepGoneIds = 256;

// A failure while a message's headers were read that leaves the connection
// unusable: the check ends instead of skipping the message.
class ConnectionLost : public std::runtime_error {
public:
    ConnectionLost(int message, std::exception_ptr cause)
        : std::runtime_error("connection lost reading message " + std::to_string(message)),
          cause_(std::move(cause)) {}
    std::exception_ptr Cause() const { return cause_; }

private:
    std::exception_ptr cause_;
};

} // namespace

std::string CertificateErrorText(const std::string& host) {
    std::string first = Translate("The certificate of the server %HOST could not be verified.");
    std::size_t at = first.find("%HOST");
    if (at != std::string::npos) {
        first.replace(at, 5, host);
    }
    return first + "\r\n" + Translate("Check the server name and its certificate.");
}

void AddPop3TypeKeys(TAccountFields& f, const TPop3Fields& p) {
    const char* ssl = p.useSsl ? "1" : "0";
    // The page writes the base keys again; they keep their first place.
    f.typeKeys.insert(f.typeKeys.end(), {
                                            {"EMAIL", f.email},
                                            {"USERNAME", f.userName},
                                            {"PASSWORD", p.password},
                                            {"HOSTNAME", p.hostName},
                                            {"PORT", std::to_string(p.port)},
                                            {"USESSL", ssl},
                                            {"ASSOCIATE", f.associate ? "1" : "0"},
                                            {"ACODE", std::to_string(f.actionCode)},
                                            {"AMAILER", p.mailerName},
                                            {"AURL", p.webmailUrl},
                                        });
}

namespace {

constexpr std::int32_t kDefaultPop3SslPort = 995;

constexpr TTypeOption kPop3Options[] = {
    {"server"}, {"port"}, {"ssl", false}, {"webmail-url"}, {"mail-program"},
};

// The POP3 keys from the command line's options: the server is required,
// the port defaults to the one of the chosen transport.
bool AddPop3OptionKeys(TAccountFields& fields, const TTypeOptionValues& options, std::string& error) {
    TPop3Fields p;
    p.password = OptionValue(options, "password");
    p.hostName = OptionValue(options, "server");
    p.useSsl = options.count("ssl") != 0;
    p.webmailUrl = OptionValue(options, "webmail-url");
    p.mailerName = OptionValue(options, "mail-program");
    // A POP3 login is often not the address: it must be given.
    error = options.count("login") ? FieldTextProblem("--server", p.hostName, false)
                                   : "--login is required for POP3 accounts";
    if (error.empty() && options.count("port")) {
        auto port = ParseDecimal(OptionValue(options, "port"), 1, 65535);
        if (!port) {
            error = "--port must be a number from 1 to 65535";
        }
        p.port = port.value_or(0);
    } else {
        p.port = p.useSsl ? kDefaultPop3SslPort : kDefaultPop3Port;
    }
    if (error.empty() && (fields.actionCode == kOpenWebmail || options.count("webmail-url"))) {
        error = FieldTextProblem("--webmail-url", p.webmailUrl, false);
        if (error.empty() && !text::StartsWithNoCase(p.webmailUrl, "http://") &&
            !text::StartsWithNoCase(p.webmailUrl, "https://")) {
            error = "--webmail-url must begin with http:// or https://";
        }
    }
    if (error.empty() && (fields.actionCode == kOpenMailProgram || options.count("mail-program"))) {
        error = FieldTextProblem("--mail-program", p.mailerName, true);
    }
    if (!error.empty()) {
        return false;
    }
    AddPop3TypeKeys(fields, p);
    return true;
}

constexpr TConnectorClass kPop3Class{
    .typeCode = "Pop3",
    .providerName = "POP3",
    .typeCaption = "Other POP3 Account",
    .exampleAddress = "yourname@mail.example",
    .listOrder = 10,
    .maxAccounts = 0,
    .wizardPanelClass = "TPop3Basic",
    .caps = kCapChecks,
    .newInstance = NewConnector<TNuvex_Pop3Connector>,
    .options = kPop3Options,
    .addTypeKeys = AddPop3OptionKeys,
};

} // namespace

const TConnectorClass& Pop3ConnectorClass() {
    return kPop3Class;
}

TNuvex_Pop3Connector::TNuvex_Pop3Connector(const TConnectorClass& cls, const AccountContext& context)
    : TNuvex_GenericConnector(cls, context) {}

TNuvex_Pop3Connector::~TNuvex_Pop3Connector() {
    DropConnection();
}

void TNuvex_Pop3Connector::LoadTypeSettings(const TCryptURL& record) {
    std::lock_guard guard(Guard());
    UseSSL = record.GetParam("USESSL") == "1";
    HostName = record.GetParam("HOSTNAME");
    Port = StrToIntDef(record.GetParam("PORT"), kDefaultPop3Port);
    MailerName = record.GetParam("AMAILER");
    OpenUrlText = record.GetParam("AURL");
    serverPipelines_.reset();
    serverUidl_.reset();
}

void TNuvex_Pop3Connector::SetHostName(const std::string& host) {
    std::lock_guard guard(Guard());
    HostName = host;
    serverPipelines_.reset();
    serverUidl_.reset();
}

void TNuvex_Pop3Connector::SetPort(std::int32_t port) {
    std::lock_guard guard(Guard());
    Port = port;
    serverPipelines_.reset();
    serverUidl_.reset();
}

void TNuvex_Pop3Connector::SetUseSSL(bool useSsl) {
    std::lock_guard guard(Guard());
    UseSSL = useSsl;
    serverPipelines_.reset();
    serverUidl_.reset();
}

TNuvex_Pop3Connector::Failure TNuvex_Pop3Connector::DescribeFailure(const std::exception_ptr& error) {
    Failure f;
    try {
        std::rethrow_exception(error);
    } catch (const ConnectionLost& e) {
        f = DescribeFailure(e.Cause());
        f.what = std::string(e.what()) + ": " + f.what;
        return f;
    } catch (const TransportError& e) {
        f.what = e.what();
        f.problem = e.Problem();
        switch (e.Kind()) {
        case TransportFailure::Unreachable:
        case TransportFailure::Reset:
        case TransportFailure::Timeout:
        case TransportFailure::TlsHandshake:
            f.code = kErrorUnreachable;
            break;
        case TransportFailure::LineTooLong:
            f.code = kErrorOther;
            break;
        case TransportFailure::TlsVerify:
            // Not class 1: that one is shown at most hourly and reads like a
            // network hiccup, while an untrusted certificate may be an attack
            // and must be reported on every check.
            f.code = kErrorOther;
            f.untrustedCertificate = true;
            break;
        case TransportFailure::Cancelled:
            f.code = kErrorNone;
            f.cancelled = true;
            break;
        }
    } catch (const Pop3NegativeReply& e) {
        // RFC 2449/3206 response codes tell a busy maildrop or a passing
        // server fault from a refused login; without a code, -ERR is taken
        // as a refusal.
        const std::string code = e.ResponseCode();
        if (code == "IN-USE" || code == "SYS/TEMP") {
            f.code = kErrorUnreachable;
        } else if (code.empty() || code == "AUTH") {
            f.code = kErrorLogin;
        } else {
            f.code = kErrorOther;
        }
        f.what = (e.Command().empty() ? std::string("greeting") : e.Command()) + " answered: " + e.what();
    } catch (const MarkerUnavailable& e) {
        f.code = kErrorUnreachable;
        f.what = e.what();
    } catch (const std::exception& e) {
        f.code = kErrorOther;
        f.what = e.what();
    } catch (...) {
        f.code = kErrorOther;
        f.what = "unknown exception";
    }
    return f;
}

void TNuvex_Pop3Connector::Fail(const Failure& failure, const std::string& host) {
    std::string id;
    std::string password;
    {
        std::lock_guard guard(Guard());
        Connected = false;
        ErrorCode = failure.code;
        untrustedHost_ = failure.untrustedCertificate ? host : std::string();
        // Class 1 keeps its meaning for the pass (shown at most hourly); its
        // text says what really happened.
        ErrorProblem = failure.code == kErrorUnreachable ? failure.problem : NetProblem::None;
        ErrorServer = host;
        id = AccountId;
        password = Password;
    }
    const std::string what = WithoutPassword(failure.what, password);
    if (failure.cancelled) {
        log::Info("pop3", id + ": check of " + host + " stopped");
    } else {
        const std::string_view words = NetProblemWords(failure.problem);
        log::Warning("pop3", id + ": check of " + host + " failed: " + what +
                                 (words.empty() || what.find(words) != std::string::npos
                                      ? std::string()
                                      : " (" + std::string(words) + ")") +
                                 " [class " + std::to_string(failure.code) + "]");
    }
}

void TNuvex_Pop3Connector::TakeLastError(std::int32_t& code, std::string& text) {
    std::lock_guard guard(Guard());
    if (ErrorCode != kErrorNone && !untrustedHost_.empty()) {
        code = ErrorCode;
        text = CertificateErrorText(untrustedHost_);
        ErrorCode = kErrorNone;
        untrustedHost_.clear();
        return;
    }
    TNuvex_GenericConnector::TakeLastError(code, text);
}

void TNuvex_Pop3Connector::DropConnection() {
    if (transport_) {
        transport_->Close();
    }
    client_.reset();
    transport_.reset();
}

int TNuvex_Pop3Connector::Connect() {
    std::string host;
    std::string user;
    std::string password;
    std::int32_t port = 0;
    bool useSsl = false;
    {
        std::lock_guard guard(Guard());
        ErrorCode = kErrorNone;
        untrustedHost_.clear();
        if (client_ && client_->IsOpen()) {
            Connected = true;
            return kStatusOk;
        }
        host = HostName;
        user = UserName;
        password = Password;
        port = Port;
        useSsl = UseSSL;
    }
    DropConnection();
    const AccountContext& context = Context();
    try {
        transport_ = context.pop3Transport ? context.pop3Transport() : MakeTcpPop3Transport(context.stop);
        if (!transport_) {
            throw TransportError(TransportFailure::Unreachable, "no transport");
        }
        client_ = std::make_unique<Pop3Client>(*transport_, context.pop3Limits);
        client_->Connect(host, port, useSsl);
        client_->Login(user, password);
    } catch (...) {
        Failure failure = DescribeFailure(std::current_exception());
        DropConnection();
        Fail(failure, host);
        return kStatusFailed;
    }
    std::lock_guard guard(Guard());
    Connected = client_->IsOpen();
    if (!Connected) {
        ErrorCode = kErrorOther;
        log::Warning("pop3", AccountId + ": connection to " + host + " closed right after the login");
        return kStatusFailed;
    }
    return kStatusOk;
}

int TNuvex_Pop3Connector::Disconnect() {
    if (client_) {
        client_->Quit();
    }
    DropConnection();
    std::lock_guard guard(Guard());
    Connected = false;
    return kStatusOk;
}

void TNuvex_Pop3Connector::NoteBrokenMessage(int n) {
    failingChecks_ = n == failingMessage_ ? failingChecks_ + 1 : 1;
    failingMessage_ = n;
}

bool TNuvex_Pop3Connector::ServerPipelines() {
    if (!pipeliningAllowed_) {
        return false;
    }
    if (!serverPipelines_) {
        const std::vector<std::string> names = client_->Capabilities();
        serverPipelines_ = std::find(names.begin(), names.end(), "PIPELINING") != names.end();
    }
    return *serverPipelines_;
}

std::vector<TPOP3Message> TNuvex_Pop3Connector::ReadNewHeaders(const std::vector<int>& numbers,
                                                               bool& moreThanShown) {
    std::vector<TPOP3Message> headers;
    std::string id;
    {
        std::lock_guard guard(Guard());
        id = AccountId;
    }
    // One CAPA is a round trip of its own: asked only when at least two TOPs
    // would go out, and remembered for the server until its settings change.
    const bool pipelined = numbers.size() >= 2 && ServerPipelines();
    int attempts = 0;
    std::vector<int> batch;
    std::size_t next = 0;
    while (next < numbers.size()) {
        if (headers.size() > kHeaderLimit || attempts == kMaxTopAttempts) {
            moreThanShown = true;
            break;
        }
        // Pipelined, a batch holds as many TOPs as headers could still be
        // kept, so it never asks for more than the one-by-one loop would.
        const std::size_t want = pipelined ? kHeaderLimit + 1 - headers.size() : 1;
        batch.clear();
        for (; next < numbers.size() && batch.size() < want &&
               attempts + static_cast<int>(batch.size()) < kMaxTopAttempts;
             ++next) {
            const int n = numbers[next];
            if (n == failingMessage_ && failingChecks_ >= kSkipAfterFailedChecks) {
                log::Warning("pop3",
                             id + ": message " + std::to_string(n) +
                                 " broke the connection in two checks in a row; its headers are skipped");
                continue;
            }
            batch.push_back(n);
        }
        attempts += static_cast<int>(batch.size());
        if (batch.size() > 1) {
            client_->SendTops(batch);
        }
        for (int n : batch) {
            try {
                bool truncated = false;
                std::vector<std::string> lines =
                    batch.size() > 1 ? client_->ReadTop(n, truncated) : client_->Top(n, truncated);
                TMailHeaders parsed = ParseMailHeaders(lines);
                if (!parsed.fromAddress.empty() || !parsed.subject.empty()) {
                    headers.push_back({parsed.subject, "", SenderText(parsed.fromName, parsed.fromAddress)});
                }
            } catch (const Pop3NegativeReply& e) {
                // The server refused this message number (deleted meanwhile, or no TOP): skip it.
                log::Debug("pop3", id + ": TOP " + std::to_string(n) + " refused: " + e.what());
            } catch (const TransportError& e) {
                if (e.Kind() == TransportFailure::Cancelled) {
                    throw; // stopping says nothing about this message
                }
                NoteBrokenMessage(n);
                throw ConnectionLost(n, std::current_exception());
            } catch (...) {
                // Reported with the check's failure line once the check ends.
                NoteBrokenMessage(n);
                throw ConnectionLost(n, std::current_exception());
            }
        }
    }
    return headers;
}

TNuvex_Pop3Connector::UidlNews TNuvex_Pop3Connector::ReadUniqueIds(int count) {
    UidlNews news;
    if (!uniqueIdsAllowed_ || count > kMaxTrackedIds || serverUidl_ == false) {
        return news;
    }
    std::optional<std::vector<std::pair<int, std::string>>> listed;
    try {
        listed = client_->UniqueIds(count);
        serverUidl_ = true;
    } catch (const Pop3NegativeReply& e) {
        serverUidl_ = false;
        log::Info("pop3", "the server has no UIDL (" + std::string(e.what()) + "); new mail is counted");
        return news;
    }
    if (!listed || listed->empty()) {
        return news;
    }
    std::string id;
    {
        std::lock_guard guard(Guard());
        id = AccountId;
    }
    HostConfig* host = Context().host;
    std::optional<std::string> stored;
    if (host && host->Connected()) {
        stored = host->ReadCfgStr(SeenIdsKey(id));
    }
    if (!stored) {
        // Taken for "none seen", every message would be news.
        throw MarkerUnavailable("cannot read the seen message ids");
    }
    std::unordered_set<std::string_view> seen;
    std::vector<std::string_view> seenOrder;
    for (std::string_view rest = *stored; !rest.empty();) {
        const std::size_t space = rest.find(' ');
        std::string_view word = rest.substr(0, space);
        if (!word.empty() && seen.insert(word).second) {
            seenOrder.push_back(word);
        }
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
    std::unordered_set<std::string_view> current;
    current.reserve(listed->size());
    std::size_t bytes = 0;
    for (const auto& [number, uid] : *listed) {
        current.insert(uid);
        bytes += uid.size() + 1;
        if (!seen.count(uid)) {
            news.fresh.push_back(number);
        }
    }
    std::sort(news.fresh.begin(), news.fresh.end());
    news.decides = !seen.empty();
    news.seenText.reserve(bytes + kKeepGoneIds * 16);
    for (const auto& entry : *listed) {
        news.seenText += entry.second;
        news.seenText += ' ';
    }
    std::size_t gone = 0;
    for (std::string_view word : seenOrder) {
        if (gone == kKeepGoneIds) {
            break;
        }
        if (!current.count(word)) {
            news.seenText += word;
            news.seenText += ' ';
            ++gone;
        }
    }
    news.seenText.pop_back();
    news.changed = news.seenText != *stored;
    return news;
}

bool TNuvex_Pop3Connector::StoreMarkers(int count, const UidlNews& news) {
    const std::string marker = std::to_string(count);
    if (news.seenText.empty() ? seenStored_ == false : !news.changed) {
        return SetLastId(marker);
    }
    std::string id;
    {
        std::lock_guard guard(Guard());
        id = AccountId;
    }
    // One batch: a store that took the ids but not the marker would have the
    // failed check's news counted as seen, and they were never announced.
    // The ids come first, so a store without transactions that stops part
    // way leaves the marker as it was.
    std::vector<CfgWrite> writes;
    if (news.seenText.empty()) {
        writes.push_back({SeenIdsKey(id), std::monostate{}});
    } else {
        writes.push_back({SeenIdsKey(id), news.seenText});
    }
    writes.push_back({MarkerKey(id), marker});
    HostConfig* host = Context().host;
    if (!host || !host->Connected() || !host->WriteCfgBatch(writes)) {
        log::Warning("accounts", id + ": the host did not store LASTID_" + id + " and " + SeenIdsKey(id));
        return false;
    }
    seenStored_ = !news.seenText.empty();
    std::lock_guard guard(Guard());
    LastIdCache = marker;
    return true;
}

int TNuvex_Pop3Connector::CheckMail() {
    std::string host;
    {
        std::lock_guard guard(Guard());
        LastCheck = Now();
        ErrorCode = kErrorOther; // an unexpected failure reads "Unknown error occurred."
        // A failed check has nothing new: without this, a failure whose report
        // the hourly throttle holds back would list the previous check's
        // messages again on every tick.
        Headers.clear();
        NewCount = 0;
        host = HostName;
    }
    int result = kStatusFailed;
    try {
        Disconnect();
        if (Connect() != kStatusOk) {
            return kStatusFailed;
        }
        std::vector<TPOP3Message> headers;
        bool moreThanShown = false;
        std::int32_t newCount = 0;
        int count = client_->Stat();
        if (count <= 0) {
            if (!StoreMarkers(0, {})) {
                throw MarkerUnavailable("cannot store the new-message marker");
            }
        } else {
            // A marker that cannot be read is not 0: that would announce the
            // whole maildrop as new.
            std::optional<std::string> marker = GetLastId();
            if (!marker) {
                throw MarkerUnavailable("cannot read the new-message marker");
            }
            std::int32_t stored = StrToIntDef(*marker, 0);
            if (stored < 0) {
                stored = 0; // not a count any check wrote
            }
            UidlNews ids = ReadUniqueIds(count);
            std::vector<int> numbers;
            if (ids.decides) {
                newCount = static_cast<std::int32_t>(ids.fresh.size());
                numbers = std::move(ids.fresh);
            } else {
                newCount = count - stored;
                // Beyond the attempt bound no TOP goes out: the range is not
                // built further (a marker and a count near 2^31 stay cheap).
                const std::int64_t last =
                    std::min<std::int64_t>(count, std::int64_t{stored} + kMaxTopAttempts + 1);
                for (std::int64_t n = std::int64_t{stored} + 1; n <= last; ++n) {
                    numbers.push_back(static_cast<int>(n));
                }
                moreThanShown = last < count;
            }
            headers = ReadNewHeaders(numbers, moreThanShown);
            // Unstored, the same messages would be announced again next time;
            // failing the check reports them once, when the store works again.
            if (!StoreMarkers(count, ids)) {
                throw MarkerUnavailable("cannot store the new-message marker");
            }
        }
        failingMessage_ = 0;
        failingChecks_ = 0;
        {
            std::lock_guard guard(Guard());
            Headers = std::move(headers);
            MoreThanShown = MoreThanShown || moreThanShown;
            NewCount = newCount;
            UnreadCount = count;
            ErrorCode = kErrorNone;
        }
        result = kStatusOk;
        Disconnect();
    } catch (...) {
        // A lost connection keeps the marker where it was, so the next check
        // lists these messages again.
        Failure failure = DescribeFailure(std::current_exception());
        DropConnection();
        Fail(failure, host);
    }
    return result;
}

void TNuvex_Pop3Connector::AddNotifyItems(TNotifyMessages& list, bool force) {
    std::lock_guard guard(Guard());
    if (force || MoreThanShown) {
        TNuvex_GenericConnector::AddNotifyItems(list, force);
    }
    bool clickable = HasOpenAction();
    for (const TPOP3Message& message : Headers) {
        TNotifyMessageItem item;
        item.ItemKind = kNotifyMessage;
        item.AccountRef = clickable ? AccountId : std::string();
        item.MessageRef = item.AccountRef;
        item.Sender = message.Sender;
        item.Subject = message.Subject;
        item.Detail = message.Preview;
        list.Add(std::move(item));
    }
}

int TNuvex_Pop3Connector::OpenMailbox() {
    std::int32_t action = 0;
    std::string url;
    std::string mailer;
    {
        std::lock_guard guard(Guard());
        action = ActionCode;
        url = OpenUrlText;
        mailer = MailerName;
    }
    if (action == 1 && !url.empty()) {
        OpenUrl(*this, url);
    } else if (action == 2) {
        StartMailProgram(Context(), mailer);
    }
    return kStatusOk;
}

} // namespace nuvex
