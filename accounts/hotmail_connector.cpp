#include "accounts/hotmail_connector.h"

#include "lib/clock.h"
#include "lib/text.h"

namespace nuvex {

namespace {

constexpr TConnectorClass kHotMailClass{
    .typeCode = "HOTMAIL",
    .providerName = "HotMail",
    .typeCaption = "HotMail",
    .exampleAddress = "yourname@hotmail.com",
    .listOrder = 10,
    .maxAccounts = 1,
    .wizardPanelClass = "THotmailBasic",
    .caps = kCapCompose | kCapAlwaysOpens | kCapChecks,
    .newInstance = NewConnector<TNuvex_HotMailConnector>,
    .addTypeKeys = AddWebBasedTypeKeys,
};

constexpr std::string_view kRetype =
    "Please retype the e-mail address and password, or sign up if you haven't already done so.";
constexpr std::string_view kTooMany =
    "You've tried to sign in too many times with an incorrect e-mail address or "
    "password, or someone else is trying to sign in to the account";
constexpr std::string_view kMyMessages = "My Messages";

std::string ReplaceFirst(std::string text, std::string_view from, std::string_view to) {
    if (std::size_t at = text.find(from); at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

} // namespace

std::uint8_t THotmailCheckThread::EvaluatePage(const TWebPage& page) {
    const std::string& body = page.bodyText;
    if (body.find(kRetype) != std::string::npos || body.find(kTooMany) != std::string::npos) {
        return kWebRefused;
    }
    std::size_t at = body.find(kMyMessages);
    if (at == std::string::npos) {
        return kWebUndecided;
    }
    std::string_view rest = std::string_view(body).substr(at + kMyMessages.size());
    FoundComposeUrl = ReplaceFirst(page.location, "cgi-bin/hmhome", "cgi-bin/compose");
    std::size_t open = rest.find('(');
    std::size_t close = open == std::string_view::npos ? open : rest.find(')', open);
    if (close == std::string_view::npos) {
        return kWebUndecided;
    }
    FoundNew = StrToIntDef(text::Trim(rest.substr(0, open)), 0);
    FoundUnread = StrToIntDef(text::Trim(rest.substr(open + 1, close - open - 1)), 0);
    return kWebCounts;
}

TNuvex_HotMailConnector::TNuvex_HotMailConnector(const TConnectorClass& cls, const AccountContext& context)
    : TNuvex_WebBasedConnector(cls, context, PatternResource("HOTMAIL")) {}

TNuvex_HotMailConnector::~TNuvex_HotMailConnector() {
    StopCompose();
}

int TNuvex_HotMailConnector::CheckMail() {
    {
        std::lock_guard guard(Guard());
        LastCheck = Now();
    }
    return Connect();
}

std::unique_ptr<TWebCheckThread>
TNuvex_HotMailConnector::NewWorker(TPatternList settings, TWebCheckLimits limits, std::string cookieFolder) {
    return std::make_unique<THotmailCheckThread>(std::move(settings), std::move(limits),
                                                 std::move(cookieFolder), Context().stop);
}

const TConnectorClass& HotMailConnectorClass() {
    return kHotMailClass;
}

} // namespace nuvex
