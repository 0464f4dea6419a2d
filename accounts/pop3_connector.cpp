#include "accounts/pop3_connector.h"

#include "accounts/account_store.h"
#include "accounts/mail_headers.h"
#include "accounts/open_actions.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/text.h"

namespace nuvex {

namespace {

constexpr std::int32_t kDefaultPop3Port = 110;
// More than 20 kept stops the fetch, so at most 21 headers are listed: the
// loop tests the count before it adds.
constexpr std::size_t kHeaderLimit = 20;

// A failure while a message's headers were read that leaves the connection
// unusable: the check ends instead of skipping the message.
struct ConnectionLost {
    std::exception_ptr cause;
};

} // namespace

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

std::string OptionValue(const TTypeOptionValues& options, std::string_view name) {
    auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
}

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
}

void TNuvex_Pop3Connector::SetHostName(const std::string& host) {
    std::lock_guard guard(Guard());
    HostName = host;
}

void TNuvex_Pop3Connector::SetPort(std::int32_t port) {
    std::lock_guard guard(Guard());
    Port = port;
}

void TNuvex_Pop3Connector::SetUseSSL(bool useSsl) {
    std::lock_guard guard(Guard());
    UseSSL = useSsl;
}

std::int32_t TNuvex_Pop3Connector::ErrorClassOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const TransportError& e) {
        switch (e.Kind()) {
        case TransportFailure::Unreachable:
        case TransportFailure::Reset:
        case TransportFailure::Timeout:
        case TransportFailure::TlsHandshake:
            return kErrorUnreachable;
        case TransportFailure::LineTooLong:
            return kErrorOther;
        case TransportFailure::TlsVerify:
            // Not class 1: that one is shown at most hourly and reads like a
            // network hiccup, while an untrusted certificate may be an attack
            // and must be reported on every check.
            return kErrorOther;
        }
        return kErrorOther;
    } catch (const Pop3NegativeReply&) {
        return kErrorLogin;
    } catch (...) {
        return kErrorOther;
    }
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
        transport_ = context.pop3Transport ? context.pop3Transport() : MakeTcpPop3Transport();
        if (!transport_) {
            throw TransportError(TransportFailure::Unreachable, "no transport");
        }
        client_ = std::make_unique<Pop3Client>(*transport_, context.pop3Limits);
        client_->Connect(host, port, useSsl);
        client_->Login(user, password);
    } catch (...) {
        std::int32_t code = ErrorClassOf(std::current_exception());
        DropConnection();
        std::lock_guard guard(Guard());
        Connected = false;
        ErrorCode = code;
        return kStatusFailed;
    }
    std::lock_guard guard(Guard());
    Connected = client_->IsOpen();
    if (!Connected) {
        ErrorCode = kErrorOther;
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

int TNuvex_Pop3Connector::CheckMail() {
    {
        std::lock_guard guard(Guard());
        LastCheck = Now();
        ErrorCode = kErrorOther; // an unexpected failure reads "Unknown error occurred."
        // A failed check has nothing new: without this, a failure whose report
        // the hourly throttle holds back would list the previous check's
        // messages again on every tick.
        Headers.clear();
        NewCount = 0;
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
            SetLastId("0");
        } else {
            std::int32_t stored = StrToIntDef(GetLastId(), 0);
            if (stored < 0) {
                stored = 0; // not a count any check wrote
            }
            newCount = count - stored;
            for (int n = stored + 1; n <= count; ++n) {
                if (headers.size() > kHeaderLimit) {
                    moreThanShown = true;
                    break;
                }
                try {
                    bool truncated = false;
                    std::vector<std::string> lines = client_->Top(n, truncated);
                    if (truncated) {
                        continue; // beyond the header bounds: skipped like a rejected message
                    }
                    TMailHeaders parsed = ParseMailHeaders(lines);
                    if (!parsed.fromAddress.empty() || !parsed.subject.empty()) {
                        headers.push_back(
                            {parsed.subject, "", SenderText(parsed.fromName, parsed.fromAddress)});
                    }
                } catch (const Pop3NegativeReply&) {
                    // the server refused this message number: skip it
                } catch (...) {
                    throw ConnectionLost{std::current_exception()};
                }
            }
            SetLastId(std::to_string(count));
        }
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
    } catch (const ConnectionLost& lost) {
        // The marker stays where it was, so the next check lists these messages again.
        std::int32_t code = ErrorClassOf(lost.cause);
        DropConnection();
        std::lock_guard guard(Guard());
        Connected = false;
        ErrorCode = code;
    } catch (...) {
        std::int32_t code = ErrorClassOf(std::current_exception());
        DropConnection();
        std::lock_guard guard(Guard());
        Connected = false;
        ErrorCode = code;
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
