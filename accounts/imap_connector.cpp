#include "accounts/imap_connector.h"

#include "accounts/account_store.h"
#include "accounts/connector_support.h"
#include "accounts/mail_headers.h"
#include "accounts/open_actions.h"
#include "accounts/pop3_connector.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/log.h"
#include "lib/text.h"

#include <algorithm>
#include <cctype>

namespace nuvex {

namespace {

// Body bytes read per listed message for its preview.
constexpr std::size_t kPreviewBytes = 2048;
constexpr std::string_view kMarksPrefix = "imap1";

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

int Nibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> Unhex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = Nibble(hex[i]);
        const int lo = Nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

// UIDs go to 2^32 - 1: beyond what ParseDecimal takes.
std::optional<std::uint32_t> ParseU32(std::string_view digits) {
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xffffffffu) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// The unfolded value of the first header field called name; empty when absent.
std::string HeaderValue(std::string_view header, std::string_view name) {
    std::string value;
    bool inField = false;
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find('\n', at);
        std::string_view line =
            header.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        at = end == std::string_view::npos ? header.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (inField) {
                value += ' ';
                value += text::TrimView(line);
            }
            continue;
        }
        if (inField) {
            break;
        }
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos &&
            text::EqualsNoCase(text::TrimView(line.substr(0, colon)), name)) {
            inField = true;
            value = std::string(text::TrimView(line.substr(colon + 1)));
        }
    }
    return value;
}

// A parameter of a Content-Type value ("charset", "boundary"), unquoted.
std::string ContentParameter(std::string_view value, std::string_view name) {
    std::size_t at = value.find(';');
    while (at != std::string_view::npos) {
        std::string_view rest = text::TrimView(value.substr(at + 1));
        std::size_t eq = rest.find('=');
        if (eq == std::string_view::npos) {
            return {};
        }
        std::string_view key = text::TrimView(rest.substr(0, eq));
        std::string_view v = text::TrimView(rest.substr(eq + 1));
        std::string out;
        std::size_t next = 0;
        if (!v.empty() && v[0] == '"') {
            std::size_t close = v.find('"', 1);
            out = std::string(
                v.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
            next = close == std::string_view::npos ? v.size() : close + 1;
        } else {
            next = std::min(v.find(';'), v.size());
            out = std::string(text::TrimView(v.substr(0, next)));
        }
        if (text::EqualsNoCase(key, name)) {
            return out;
        }
        std::size_t semi = v.find(';', next);
        if (semi == std::string_view::npos) {
            return {};
        }
        value = v;
        at = semi;
    }
    return {};
}

std::string DecodeQuotedPrintable(std::string_view in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '=') {
            out += in[i];
            continue;
        }
        if (i + 1 < in.size() && (in[i + 1] == '\r' || in[i + 1] == '\n')) {
            i += (in[i + 1] == '\r' && i + 2 < in.size() && in[i + 2] == '\n') ? 2 : 1; // soft break
            continue;
        }
        if (i + 2 < in.size() && std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
            out += static_cast<char>(Nibble(in[i + 1]) * 16 + Nibble(in[i + 2]));
            i += 2;
            continue;
        }
        if (i + 2 >= in.size()) {
            break; // cut off mid-escape by the byte bound
        }
        out += '=';
    }
    return out;
}

std::string DecodeBase64(std::string_view in) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : in) {
        if (c == '=') {
            break;
        }
        std::size_t v = kAlphabet.find(c);
        if (v == std::string_view::npos) {
            continue; // line ends and blanks
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

// The plain text of one entity (header fields, then body), or nullopt when it
// holds none; multiparts are followed into their first part, a few levels deep.
std::optional<std::string> PlainText(std::string_view header, std::string_view body, int depth) {
    const std::string type = HeaderValue(header, "Content-Type");
    const std::string mime =
        text::ToLowerAscii(text::TrimView(std::string_view(type).substr(0, type.find(';'))));
    if (mime.starts_with("multipart/")) {
        const std::string boundary = ContentParameter(type, "boundary");
        if (boundary.empty() || depth >= 3) {
            return std::nullopt;
        }
        const std::string delimiter = "--" + boundary;
        std::size_t start = body.find(delimiter);
        while (start != std::string_view::npos) {
            std::size_t lineEnd = body.find('\n', start);
            if (lineEnd == std::string_view::npos) {
                return std::nullopt;
            }
            std::string_view part = body.substr(lineEnd + 1);
            std::size_t next = part.find(delimiter);
            std::string_view whole = part.substr(0, next);
            std::size_t split = whole.find("\r\n\r\n");
            std::size_t gap = 4;
            if (split == std::string_view::npos) {
                split = whole.find("\n\n");
                gap = 2;
            }
            if (split == std::string_view::npos) {
                return std::nullopt;
            }
            if (auto text =
                    PlainText(whole.substr(0, split + gap / 2), whole.substr(split + gap), depth + 1)) {
                return text;
            }
            if (next == std::string_view::npos) {
                return std::nullopt;
            }
            start = lineEnd + 1 + next;
        }
        return std::nullopt;
    }
    if (!mime.empty() && mime != "text/plain") {
        return std::nullopt;
    }
    const std::string encoding =
        text::ToLowerAscii(text::TrimView(HeaderValue(header, "Content-Transfer-Encoding")));
    std::string decoded = encoding == "quoted-printable" ? DecodeQuotedPrintable(body)
                          : encoding == "base64"         ? DecodeBase64(body)
                                                         : std::string(body);
    std::string charset = ContentParameter(type, "charset");
    if (charset.empty()) {
        charset = "utf-8";
    }
    return ConvertToUtf8(decoded, charset).value_or(std::string());
}

// Lines joined by single blanks, control characters dropped, cut at maxChars
// characters without splitting one.
std::string Fold(std::string_view text, std::size_t maxChars) {
    std::string out;
    std::size_t chars = 0;
    bool blank = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c == 0x7f) {
            blank = !out.empty();
            continue;
        }
        if ((c & 0xc0) != 0x80) {
            if (chars == maxChars) {
                break;
            }
            if (blank) {
                if (++chars == maxChars) {
                    break;
                }
                out += ' ';
                blank = false;
            }
            ++chars;
        }
        out += static_cast<char>(c);
    }
    return out;
}

std::vector<std::string> HeaderLines(const std::string& header) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find('\n', at);
        std::string line = header.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        at = end == std::string::npos ? header.size() : end + 1;
    }
    return lines;
}

constexpr TTypeOption kImapOptions[] = {
    {"server"}, {"port"}, {"security"}, {"folder", true, true}, {"webmail-url"}, {"mail-program"},
};

bool AddImapOptionKeys(TAccountFields& fields, const TTypeOptionValues& options, std::string& error) {
    TImapFields p;
    p.password = OptionValue(options, "password");
    p.hostName = OptionValue(options, "server");
    p.webmailUrl = OptionValue(options, "webmail-url");
    p.mailerName = OptionValue(options, "mail-program");
    error = FieldTextProblem("--server", p.hostName, false);
    if (error.empty() && options.count("security")) {
        auto security = ParseImapSecurity(OptionValue(options, "security"));
        if (!security) {
            error = "--security must be tls, starttls or none";
        }
        p.security = security.value_or(ImapSecurity::Tls);
    }
    if (error.empty() && options.count("port")) {
        auto port = ParseDecimal(OptionValue(options, "port"), 1, 65535);
        if (!port) {
            error = "--port must be a number from 1 to 65535";
        }
        p.port = port.value_or(0);
    } else {
        p.port = p.security == ImapSecurity::Tls ? kDefaultImapsPort : kDefaultImapPort;
    }
    if (error.empty() && options.count("folder")) {
        // A repeated --folder arrives as its values joined by LF.
        p.folders.clear();
        const std::string all = OptionValue(options, "folder");
        std::size_t at = 0;
        while (error.empty() && at <= all.size()) {
            std::size_t end = std::min(all.find('\n', at), all.size());
            std::string name = all.substr(at, end - at);
            error = FieldTextProblem("--folder", name, true);
            if (error.empty() && std::find(p.folders.begin(), p.folders.end(), name) == p.folders.end()) {
                p.folders.push_back(name);
            }
            at = end + 1;
        }
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
    if (fields.userName.empty()) {
        fields.userName = fields.email; // most IMAP logins are the address
    }
    AddImapTypeKeys(fields, p);
    return true;
}

constexpr TConnectorClass kImapClass{
    .typeCode = "Imap",
    .providerName = "IMAP",
    .typeCaption = "Other IMAP Account",
    .exampleAddress = "yourname@mail.example",
    .listOrder = 10,
    .maxAccounts = 0,
    .wizardPanelClass = "TImapBasic",
    .caps = kCapChecks,
    .newInstance = NewConnector<TNuvex_ImapConnector>,
    .options = kImapOptions,
    .addTypeKeys = AddImapOptionKeys,
};

} // namespace

const TConnectorClass& ImapConnectorClass() {
    return kImapClass;
}

const char* ImapSecurityWord(ImapSecurity security) {
    switch (security) {
    case ImapSecurity::Tls:
        return "tls";
    case ImapSecurity::StartTls:
        return "starttls";
    case ImapSecurity::None:
        return "none";
    }
    return "tls";
}

std::optional<ImapSecurity> ParseImapSecurity(std::string_view word) {
    for (ImapSecurity s : {ImapSecurity::Tls, ImapSecurity::StartTls, ImapSecurity::None}) {
        if (text::EqualsNoCase(word, ImapSecurityWord(s))) {
            return s;
        }
    }
    return std::nullopt;
}

void AddImapTypeKeys(TAccountFields& f, const TImapFields& p) {
    std::string folders;
    for (const std::string& name : p.folders) {
        folders += (folders.empty() ? "" : "\n") + name;
    }
    f.typeKeys.insert(f.typeKeys.end(), {
                                            {"EMAIL", f.email},
                                            {"USERNAME", f.userName},
                                            {"PASSWORD", p.password},
                                            {"HOSTNAME", p.hostName},
                                            {"PORT", std::to_string(p.port)},
                                            {"SECURITY", ImapSecurityWord(p.security)},
                                            {"FOLDERS", folders},
                                            {"ASSOCIATE", f.associate ? "1" : "0"},
                                            {"ACODE", std::to_string(f.actionCode)},
                                            {"AMAILER", p.mailerName},
                                            {"AURL", p.webmailUrl},
                                        });
}

std::string FormatImapMarks(const TImapMarks& marks) {
    std::string out(kMarksPrefix);
    for (const auto& [folder, mark] : marks) {
        out +=
            ";" + std::to_string(mark.uidValidity) + "." + std::to_string(mark.uidNext) + "." + Hex(folder);
    }
    return out;
}

TImapMarks ParseImapMarks(const std::string& text) {
    TImapMarks marks;
    if (text.rfind(kMarksPrefix, 0) != 0) {
        return marks;
    }
    std::string_view rest = std::string_view(text).substr(kMarksPrefix.size());
    while (!rest.empty() && rest[0] == ';') {
        rest.remove_prefix(1);
        std::string_view entry = rest.substr(0, rest.find(';'));
        rest.remove_prefix(entry.size());
        std::size_t dot1 = entry.find('.');
        std::size_t dot2 = dot1 == std::string_view::npos ? dot1 : entry.find('.', dot1 + 1);
        if (dot2 == std::string_view::npos) {
            continue;
        }
        auto validity = ParseU32(entry.substr(0, dot1));
        auto next = ParseU32(entry.substr(dot1 + 1, dot2 - dot1 - 1));
        auto folder = Unhex(entry.substr(dot2 + 1));
        if (validity && next && folder) {
            marks[*folder] = {*validity, *next};
        }
    }
    return marks;
}

std::string ImapPreviewText(const std::string& header, const std::string& body, std::size_t maxChars) {
    return Fold(PlainText(header, body, 0).value_or(std::string()), maxChars);
}

TNuvex_ImapConnector::TNuvex_ImapConnector(const TConnectorClass& cls, const AccountContext& context)
    : TNuvex_GenericConnector(cls, context) {}

TNuvex_ImapConnector::~TNuvex_ImapConnector() {
    DropConnection();
}

void TNuvex_ImapConnector::LoadTypeSettings(const TCryptURL& record) {
    std::lock_guard guard(Guard());
    Security = ParseImapSecurity(record.GetParam("SECURITY")).value_or(ImapSecurity::Tls);
    HostName = record.GetParam("HOSTNAME");
    Port = StrToIntDef(record.GetParam("PORT"),
                       Security == ImapSecurity::Tls ? kDefaultImapsPort : kDefaultImapPort);
    Folders.clear();
    const std::string all = record.GetParam("FOLDERS");
    std::size_t at = 0;
    while (at < all.size()) {
        std::size_t end = std::min(all.find('\n', at), all.size());
        std::string name = all.substr(at, end - at);
        if (!name.empty() && std::find(Folders.begin(), Folders.end(), name) == Folders.end()) {
            Folders.push_back(name);
        }
        at = end + 1;
    }
    if (Folders.empty()) {
        Folders.emplace_back("INBOX");
    }
    MailerName = record.GetParam("AMAILER");
    OpenUrlText = record.GetParam("AURL");
}

std::string TNuvex_ImapConnector::LogId() {
    std::lock_guard guard(Guard());
    return AccountId;
}

TNuvex_ImapConnector::Failure TNuvex_ImapConnector::DescribeFailure(const std::exception_ptr& error) {
    Failure f;
    try {
        std::rethrow_exception(error);
    } catch (const TransportError& e) {
        f.what = e.what();
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
            // Reported on every check, not hourly like class 1: it may be an attack.
            f.code = kErrorOther;
            f.untrustedCertificate = true;
            break;
        case TransportFailure::Cancelled:
            f.code = kErrorNone;
            f.cancelled = true;
            break;
        }
    } catch (const ImapNegativeReply& e) {
        // Response codes tell a refused login from a passing server fault; a
        // plain NO to the login is a refusal, to anything else a fault.
        const std::string& code = e.ResponseCode();
        const bool login = e.Command() == "LOGIN" || e.Command() == "AUTHENTICATE";
        // A BYE is the server going away (shutting down, too many
        // connections): a passing fault like a dropped connection.
        if (code == "UNAVAILABLE" || code == "INUSE" || (e.Status() == "BYE" && code.empty())) {
            f.code = kErrorUnreachable;
        } else if (code == "AUTHENTICATIONFAILED" || code == "AUTHORIZATIONFAILED" || code == "EXPIRED" ||
                   (login && code.empty() && e.Status() == "NO")) {
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

void TNuvex_ImapConnector::Fail(const Failure& failure, const std::string& host) {
    std::string id;
    std::string password;
    {
        std::lock_guard guard(Guard());
        Connected = false;
        ErrorCode = failure.code;
        untrustedHost_ = failure.untrustedCertificate ? host : std::string();
        id = AccountId;
        password = Password;
    }
    const std::string what = WithoutPassword(failure.what, password);
    if (failure.cancelled) {
        log::Info("imap", id + ": check of " + host + " stopped");
    } else {
        log::Warning("imap", id + ": check of " + host + " failed, class " + std::to_string(failure.code) +
                                 ": " + what);
    }
}

void TNuvex_ImapConnector::TakeLastError(std::int32_t& code, std::string& text) {
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

void TNuvex_ImapConnector::DropConnection() {
    if (transport_) {
        transport_->Close();
    }
    client_.reset();
    transport_.reset();
}

int TNuvex_ImapConnector::Connect() {
    std::string host;
    std::string user;
    std::string password;
    std::int32_t port = 0;
    ImapSecurity security = ImapSecurity::Tls;
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
        security = Security;
    }
    DropConnection();
    const AccountContext& context = Context();
    try {
        transport_ = context.pop3Transport ? context.pop3Transport() : MakeTcpPop3Transport(context.stop);
        if (!transport_) {
            throw TransportError(TransportFailure::Unreachable, "no transport");
        }
        client_ = std::make_unique<ImapClient>(*transport_, context.pop3Limits);
        client_->Connect(host, port, security);
        client_->Login(user, password);
    } catch (...) {
        Failure failure = DescribeFailure(std::current_exception());
        DropConnection();
        Fail(failure, host);
        return kStatusFailed;
    }
    std::lock_guard guard(Guard());
    Connected = true;
    return kStatusOk;
}

int TNuvex_ImapConnector::Disconnect() {
    if (client_) {
        client_->Logout();
    }
    DropConnection();
    std::lock_guard guard(Guard());
    Connected = false;
    return kStatusOk;
}

int TNuvex_ImapConnector::CheckMail() {
    std::string host;
    std::vector<std::string> folders;
    {
        std::lock_guard guard(Guard());
        LastCheck = Now();
        ErrorCode = kErrorOther;
        Headers.clear();
        NewCount = 0;
        host = HostName;
        folders = Folders;
    }
    const std::string id = LogId();
    int result = kStatusFailed;
    try {
        Disconnect();
        if (Connect() != kStatusOk) {
            return kStatusFailed;
        }
        std::optional<std::string> marker = GetLastId();
        if (!marker) {
            throw MarkerUnavailable("cannot read the new-message marker");
        }
        const TImapMarks stored = ParseImapMarks(*marker);
        TImapMarks marks;
        std::vector<TImapMessage> headers;
        std::int64_t newCount = 0;
        std::int64_t unread = 0;
        for (const std::string& folder : folders) {
            ImapFolderStatus status = client_->Status(folder);
            unread += status.unseen;
            auto previous = stored.find(folder);
            const bool known = previous != stored.end();
            if (known && previous->second.uidValidity != status.uidValidity) {
                log::Info("imap", id + ": " + folder + " was renumbered (UIDVALIDITY " +
                                      std::to_string(previous->second.uidValidity) + " to " +
                                      std::to_string(status.uidValidity) +
                                      "); its mail is not announced again");
                marks[folder] = {status.uidValidity, status.uidNext};
                continue;
            }
            const std::uint32_t from = known ? previous->second.uidNext : 1;
            if (known && status.uidNext != 0 && status.uidNext <= from) {
                marks[folder] = previous->second; // nothing arrived
                continue;
            }
            ImapFolderStatus opened = client_->Examine(folder);
            std::vector<std::uint32_t> uids = client_->UnseenFrom(from);
            newCount += static_cast<std::int64_t>(uids.size());
            std::uint32_t next = std::max({from, status.uidNext, opened.uidNext});
            if (!uids.empty()) {
                next =
                    std::max<std::uint32_t>(next, uids.back() == 0xffffffffu ? uids.back() : uids.back() + 1);
            }
            marks[folder] = {opened.uidValidity != 0 ? opened.uidValidity : status.uidValidity, next};
            const std::size_t room = kHeaderLimit - std::min(kHeaderLimit, headers.size());
            if (room == 0 || uids.empty()) {
                continue;
            }
            std::vector<std::uint32_t> newest(
                uids.end() - static_cast<std::ptrdiff_t>(std::min(room, uids.size())), uids.end());
            std::vector<ImapFetchedMessage> fetched = client_->FetchPreviews(newest, kPreviewBytes);
            std::sort(fetched.begin(), fetched.end(),
                      [](const ImapFetchedMessage& a, const ImapFetchedMessage& b) { return a.uid > b.uid; });
            for (const ImapFetchedMessage& m : fetched) {
                TMailHeaders parsed = ParseMailHeaders(HeaderLines(m.header));
                headers.push_back({parsed.subject, ImapPreviewText(m.header, m.text),
                                   SenderText(parsed.fromName, parsed.fromAddress),
                                   DecodeHeaderText(HeaderValue(m.header, "Date"))});
            }
        }
        const bool idles = client_->Offers("IDLE");
        {
            std::lock_guard guard(Guard());
            ServerIdles = idles;
        }
        // Unstored, the same messages would be announced again next time.
        if (!SetLastId(FormatImapMarks(marks))) {
            throw MarkerUnavailable("cannot store the new-message marker");
        }
        {
            std::lock_guard guard(Guard());
            Headers = std::move(headers);
            MoreThanShown = MoreThanShown || newCount > static_cast<std::int64_t>(Headers.size());
            NewCount = static_cast<std::int32_t>(std::min<std::int64_t>(newCount, 0x7fffffff));
            UnreadCount = static_cast<std::int32_t>(std::min<std::int64_t>(unread, 0x7fffffff));
            ErrorCode = kErrorNone;
        }
        result = kStatusOk;
        Disconnect();
    } catch (...) {
        Failure failure = DescribeFailure(std::current_exception());
        DropConnection();
        Fail(failure, host);
    }
    return result;
}

void TNuvex_ImapConnector::AddNotifyItems(TNotifyMessages& list, bool force) {
    std::lock_guard guard(Guard());
    if (force || MoreThanShown) {
        TNuvex_GenericConnector::AddNotifyItems(list, force);
    }
    bool clickable = HasOpenAction();
    for (const TImapMessage& message : Headers) {
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

int TNuvex_ImapConnector::OpenMailbox() {
    std::int32_t action = 0;
    std::string url;
    std::string mailer;
    {
        std::lock_guard guard(Guard());
        action = ActionCode;
        url = OpenUrlText;
        mailer = MailerName;
    }
    if (action == kOpenWebmail && !url.empty()) {
        OpenUrl(*this, url);
    } else if (action == kOpenMailProgram) {
        StartMailProgram(Context(), mailer);
    }
    return kStatusOk;
}

} // namespace nuvex
