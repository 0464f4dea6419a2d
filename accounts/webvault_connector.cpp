#include "accounts/webvault_connector.h"

#include "accounts/account_store.h"
#include "accounts/draft_upload.h"
#include "accounts/open_actions.h"
#include "lib/clock.h"
#include "lib/log.h"
#include "lib/text.h"

#include <algorithm>
#include <stdexcept>
#include <sys/stat.h>

namespace nuvex {

namespace {

constexpr TConnectorClass kWebvaultClass{
    .typeCode = "WEBVAULT",
    .providerName = "webvault.example",
    .typeCaption = "webvault.example Email",
    .exampleAddress = "yourname@webvault.example",
    .listOrder = 0,
    .maxAccounts = 0,
    .wizardPanelClass = "TWebvaultBasic",
    .caps = kCapCompose | kCapSendFiles | kCapMailTo | kCapAlwaysOpens | kCapReservedA | kCapChecks,
    .newInstance = NewConnector<TNuvex_WebvaultConnector>,
    .addTypeKeys = AddWebOptionKeys,
};

// The marker as "MinId": only a non-negative decimal number is sent.
std::string MinIdOf(const std::string& marker) {
    std::string trimmed = text::Trim(marker);
    if (trimmed.empty() || trimmed.size() > 40 ||
        trimmed.find_first_not_of("0123456789") != std::string::npos) {
        return "0";
    }
    return trimmed;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    std::size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

const TConnectorClass& WebvaultConnectorClass() {
    return kWebvaultClass;
}

bool AddWebOptionKeys(TAccountFields& fields, const TTypeOptionValues& options, std::string& /*error*/) {
    auto password = options.find("password");
    AddWebTypeKeys(fields, password == options.end() ? std::string() : password->second);
    return true;
}

TNuvex_WebvaultConnector::TNuvex_WebvaultConnector(const TConnectorClass& cls, const AccountContext& context)
    : TNuvex_GenericConnector(cls, context) {}

std::string TNuvex_WebvaultConnector::ServiceUrlKey() const {
    return TypeCode() + std::string(webservice::kServiceUrlSuffix);
}

std::string TNuvex_WebvaultConnector::UploadUrlKey() const {
    return TypeCode() + std::string(webservice::kUploadUrlSuffix);
}

TNuvex_WebvaultConnector::Entries TNuvex_WebvaultConnector::Credentials() const {
    std::lock_guard lock(Guard());
    return {{"Login", UserName}, {"Pwd", Password}};
}

std::optional<std::string> TNuvex_WebvaultConnector::Request(const std::string& path,
                                                             const Entries& entries) {
    const std::string key = ServiceUrlKey();
    const std::string url = webservice::ConfiguredAddress(Context().host, key).value_or("");
    HttpLimits limits;
    std::string id;
    {
        std::lock_guard lock(Guard());
        ServiceUrl = url;
        limits = Limits;
        id = AccountId;
        lastProblem_ = NetProblem::None;
        lastServer_.clear();
    }
    // A plug-in that stops does not wait for a stalled service.
    limits.stop = Context().stop;
    if (!webservice::UsableServiceUrl(url)) {
        log::Warning("webservice",
                     id + ": the service address in " + key + " is not an http or https address");
        return std::nullopt;
    }
    // The lock is not held here: the request may wait on the network.
    std::string text = FetchUrlText(webservice::RequestUrl(url, path, webservice::EncodeCu(entries)), limits);
    std::lock_guard lock(Guard());
    lastProblem_ = text.empty() ? LastNetProblem() : NetProblem::None;
    lastServer_ = HostOfUrl(url);
    return text;
}

void TNuvex_WebvaultConnector::FailUnreachable() {
    ErrorCode = kErrorUnreachable;
    ErrorProblem = lastProblem_;
    ErrorServer = lastServer_;
}

namespace {

std::string Because(NetProblem problem) {
    const std::string_view words = NetProblemWords(problem);
    return words.empty() ? std::string() : " (" + std::string(words) + ")";
}

} // namespace

int TNuvex_WebvaultConnector::Connect() {
    try {
        {
            std::lock_guard lock(Guard());
            Connected = true;
        }
        Entries entries = Credentials();
        entries.insert(entries.end(), {{"MinId", "0"}, {"MaxHdrs", "0"}, {"MaxIds", "0"}});
        std::optional<std::string> reply = Request(NewMsgsPath, entries);
        if (!reply || reply->empty()) {
            // A test with no answer fails as a check does: class 1, with its reason.
            std::lock_guard lock(Guard());
            FailUnreachable();
            log::Warning("webservice",
                         AccountId + ": login test: no reply from the service" + Because(ErrorProblem));
            return kStatusFailed;
        }
        std::optional<std::string> utf8 = webservice::ReplyToUtf8(*reply, Context().registry);
        if (utf8 && webservice::ParseNewMsgs(*utf8).statusOk) {
            return kStatusOk;
        }
        log::Warning("webservice", AccountId + ": login test: the service did not answer OK");
    } catch (...) {
        log::Caught("webservice", "the login test of " + AccountId);
    }
    return kStatusFailed;
}

int TNuvex_WebvaultConnector::Disconnect() {
    std::lock_guard lock(Guard());
    Connected = false;
    return kStatusOk;
}

int TNuvex_WebvaultConnector::CheckMail() {
    std::string id;
    {
        std::lock_guard lock(Guard());
        LastCheck = Now();
        ErrorCode = kErrorOther;
        Headers.clear();
        MoreThanShown = false;
        id = AccountId;
    }
    std::int32_t code = kErrorOther;
    bool ok = false;
    std::int32_t newCount = 0;
    std::int32_t unread = -1;
    std::vector<TWebvaultMessage> headers;
    bool more = false;
    try {
        // A marker that cannot be read is not "no marker": asking from 0
        // would announce every message again.
        std::optional<std::string> marker = GetLastId();
        if (!marker) {
            throw std::runtime_error("the new-message marker cannot be read");
        }
        Entries entries = Credentials();
        entries.insert(entries.end(), {{"MinId", MinIdOf(*marker)}, {"MaxHdrs", "20"}, {"MaxIds", "2"}});
        std::optional<std::string> reply = Request(NewMsgsPath, entries);
        std::optional<std::string> utf8;
        if (reply && !reply->empty()) {
            utf8 = webservice::ReplyToUtf8(*reply, Context().registry);
        }
        if (!utf8 || utf8->find("xml") == std::string::npos) {
            code = kErrorUnreachable;
            NetProblem problem = NetProblem::None;
            {
                std::lock_guard lock(Guard());
                problem = lastProblem_;
            }
            log::Warning("webservice", id + ": check: no usable reply from the service" + Because(problem));
        } else {
            webservice::NewMsgsReply parsed = webservice::ParseNewMsgs(*utf8);
            if (parsed.loginFailed) {
                code = kErrorLogin;
                log::Warning("webservice", id + ": check: the service refused the login");
            } else if (!parsed.statusOk) {
                log::Warning("webservice", id + ": check: the service did not answer OK");
            } else {
                const webservice::NewIds ids = webservice::CountNewIds(parsed.headerIds, parsed.nextIds);
                // Unstored, the same messages would be announced again next
                // time; failing reports them once the store works again.
                if (!ids.newest.empty() && !SetLastId(ids.newest)) {
                    throw std::runtime_error("the new-message marker cannot be stored");
                }
                unread = parsed.unread;
                newCount = static_cast<std::int32_t>(std::min<std::size_t>(ids.count, INT32_MAX));
                more = ids.count > parsed.headers.size();
                headers = std::move(parsed.headers);
                code = kErrorNone;
                ok = true;
            }
        }
    } catch (const std::exception& e) {
        log::Warning("webservice", id + ": check failed: " + e.what());
    } catch (...) {
        log::Caught("webservice", "the check of " + id);
    }
    std::lock_guard lock(Guard());
    ErrorCode = code;
    if (code == kErrorUnreachable) {
        FailUnreachable();
    }
    NewCount = ok ? newCount : 0;
    UnreadCount = unread >= 0 ? unread : NewCount;
    if (ok) {
        Headers = std::move(headers);
        MoreThanShown = more;
    }
    return ok ? kStatusOk : kStatusFailed;
}

void TNuvex_WebvaultConnector::AddNotifyItems(TNotifyMessages& list, bool force) {
    std::lock_guard lock(Guard());
    if (force || MoreThanShown) {
        TNuvex_GenericConnector::AddNotifyItems(list, force);
    }
    for (const TWebvaultMessage& message : Headers) {
        TNotifyMessageItem item;
        item.ItemKind = kNotifyMessage;
        item.AccountRef = AccountId;
        item.MessageRef = message.MessageRef;
        item.Sender = message.Sender;
        item.Subject = message.Subject;
        item.Detail = message.Preview;
        list.Add(std::move(item));
    }
}

int TNuvex_WebvaultConnector::Redirect(const std::string& what, const std::string& path,
                                       const Entries& entries, bool errorCodes) {
    std::string id;
    {
        std::lock_guard lock(Guard());
        id = AccountId;
    }
    try {
        std::optional<std::string> reply = Request(path, entries);
        if (!reply || reply->empty()) {
            std::lock_guard lock(Guard());
            if (errorCodes) {
                FailUnreachable();
            }
            log::Warning("webservice",
                         id + ": " + what + ": no reply from the service" + Because(lastProblem_));
            return kStatusFailed;
        }
        std::optional<std::string> utf8 = webservice::ReplyToUtf8(*reply, Context().registry);
        const webservice::RedirReply redir = utf8 ? webservice::ParseRedir(*utf8) : webservice::RedirReply{};
        if (!redir.statusOk) {
            log::Warning("webservice", id + ": " + what + ": the service did not answer OK");
            return kStatusFailed;
        }
        if (!OpenUrl(*this, redir.url)) {
            log::Warning("webservice", id + ": " + what + ": the page the service named was not opened");
            return kStatusFailed;
        }
        return kStatusOk;
    } catch (...) {
        log::Caught("webservice", what + " of " + id);
        if (errorCodes) {
            std::lock_guard lock(Guard());
            ErrorCode = kErrorOther;
        }
        return kStatusFailed;
    }
}

int TNuvex_WebvaultConnector::OpenMailbox() {
    return Redirect("open mailbox", OpenUIPath, Credentials(), true);
}

int TNuvex_WebvaultConnector::OpenMessage(const std::string& ref) {
    const std::size_t colon = ref.find(':');
    Entries entries = Credentials();
    entries.emplace_back("MID", ref.substr(0, colon));
    entries.emplace_back("FID", colon == std::string::npos ? std::string() : ref.substr(colon + 1));
    return Redirect("open message", OpenMsgPath, entries, true);
}

int TNuvex_WebvaultConnector::Compose() {
    return ComposeTo("", "", "", "");
}

int TNuvex_WebvaultConnector::ComposeTo(const std::string& to, const std::string& subject,
                                        const std::string& mailto, const std::string& body) {
    Entries credentials = Credentials();
    if (!mailto.empty()) {
        Entries entries{{"MailTo", HtmlEncode(mailto)}};
        entries.insert(entries.end(), credentials.begin(), credentials.end());
        return Redirect("compose", "/MailTo?CU=%cu", entries, false);
    }
    Entries entries{{"To", to}, {"Subj", subject}, {"Body", body}};
    entries.insert(entries.end(), credentials.begin(), credentials.end());
    return Redirect("compose", CreateMsgPath, entries, false);
}

int TNuvex_WebvaultConnector::SendFiles(const std::vector<std::string>& lines) {
    try {
        DraftUploadRequest request;
        bool haveId = false, haveSubject = false, haveNote = false;
        for (const std::string& line : lines) {
            const std::size_t eq = line.find('=');
            if (eq == std::string::npos) {
                continue;
            }
            const std::string_view name = std::string_view(line).substr(0, eq);
            const std::string value = line.substr(eq + 1);
            // The first line of each name counts, as a name/value list reads them.
            if (!haveId && text::EqualsNoCase(name, "ID")) {
                request.handOffId = value;
                haveId = true;
            } else if (!haveSubject && text::EqualsNoCase(name, "SUBJECT")) {
                request.subject = ReplaceAll(value, "\t|\t", "\r\n");
                haveSubject = true;
            } else if (!haveNote && text::EqualsNoCase(name, "NOTE")) {
                request.body = ReplaceAll(value, "\t|\t", "\r\n");
                haveNote = true;
            }
        }
        for (const std::string& line : lines) {
            if (IsRegularFile(line)) {
                request.files.push_back(line);
            }
        }
        if (request.files.empty()) {
            return Compose();
        }
        // An upload address that cannot be read is not "none": the files
        // would go to the service address instead of the one chosen.
        std::optional<std::string> serviceUrl = webservice::ConfiguredAddress(Context().host, UploadUrlKey());
        if (serviceUrl && serviceUrl->empty()) {
            serviceUrl = webservice::ConfiguredAddress(Context().host, ServiceUrlKey());
        }
        {
            std::lock_guard lock(Guard());
            request.accountId = AccountId;
            request.email = Email;
            request.login = UserName;
            request.password = Password;
        }
        if (!serviceUrl || !webservice::UsableServiceUrl(*serviceUrl)) {
            log::Warning("webservice",
                         request.accountId + ": files not sent: no http or https upload address");
            return kStatusFailed;
        }
        request.serviceUrl = *serviceUrl;
        request.method = DraftAction;
        const std::string id = request.accountId;
        const std::size_t count = request.files.size();
        DraftUploader* uploader = Context().uploader;
        if (!uploader || !uploader->Start(std::move(request))) {
            log::Warning("webservice",
                         id + ": the upload of " + std::to_string(count) + " file(s) could not be started");
            return kStatusFailed;
        }
        return kStatusOk;
    } catch (...) {
        log::Caught("webservice", "sending files");
        return kStatusFailed;
    }
}

} // namespace nuvex
