#include "accounts/yahoo_connector.h"

#include "lib/clock.h"
#include "lib/text.h"

namespace nuvex {

namespace {

constexpr TConnectorClass kYahooClass{
    .typeCode = "YAHOO",
    .providerName = "Yahoo",
    .typeCaption = "Yahoo",
    .exampleAddress = "yourname@yahoo.com",
    .listOrder = 10,
    .maxAccounts = 1,
    .wizardPanelClass = "TYahooBasic",
    .caps = kCapCompose | kCapAlwaysOpens | kCapChecks,
    .newInstance = NewConnector<TNuvex_YahooConnector>,
    .addTypeKeys = AddWebBasedTypeKeys,
};

constexpr std::string_view kInvalid = "Invalid ID or password.";
constexpr std::string_view kForgot = "Did you forget or misspell your ID or password?";
constexpr std::string_view kYouHave = "You have";
constexpr std::string_view kUnread = "unread message";
constexpr std::string_view kShowCompose = "parent.showCompose()";
constexpr std::string_view kLocation = "location='";

// The address the page's compose link sets, from its markup; empty when none.
std::string ComposeAddress(std::string_view html) {
    std::size_t at = html.find(kShowCompose);
    if (at == std::string_view::npos) {
        return {};
    }
    html.remove_prefix(at + kShowCompose.size());
    at = html.find(kLocation);
    if (at == std::string_view::npos) {
        return {};
    }
    html.remove_prefix(at + kLocation.size());
    std::string_view quoted = html.substr(0, html.find('\''));
    // The markup is read back from the page with "&" written as "&amp;".
    std::string url;
    for (std::size_t amp = quoted.find("&amp;"); amp != std::string_view::npos; amp = quoted.find("&amp;")) {
        url.append(quoted.substr(0, amp + 1));
        quoted.remove_prefix(amp + 5);
    }
    url.append(quoted);
    return url;
}

// The page's links are often relative: an address starting with "/" is
// taken on the page's own scheme and host, as the browser would.
std::string Absolute(const std::string& url, const std::string& pageLocation) {
    if (!url.starts_with('/')) {
        return url;
    }
    std::size_t scheme = pageLocation.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    if (url.starts_with("//")) {
        return pageLocation.substr(0, scheme + 1) + url;
    }
    std::size_t pathStart = pageLocation.find_first_of("/?#", scheme + 3);
    return pageLocation.substr(0, pathStart) + url;
}

} // namespace

std::uint8_t TYahooCheckThread::EvaluatePage(const TWebPage& page) {
    const std::string& body = page.bodyText;
    if (body.find(kInvalid) != std::string::npos && body.find(kForgot) != std::string::npos) {
        return kWebRefused;
    }
    std::size_t at = body.find(kYouHave);
    if (at == std::string::npos) {
        return kWebUndecided;
    }
    std::string rest = text::Trim(std::string_view(body).substr(at + kYouHave.size()));
    if (rest.find(kUnread) == std::string::npos) {
        return kWebUndecided;
    }
    std::size_t blank = rest.find_first_of(" \t\r\n");
    std::int32_t count = StrToIntDef(rest.substr(0, blank), 0);
    FoundNew = count;
    FoundUnread = count;
    std::string compose = ComposeAddress(page.bodyHtml);
    if (!compose.empty()) {
        FoundComposeUrl = Absolute(compose, page.location);
    }
    return kWebCounts;
}

TNuvex_YahooConnector::TNuvex_YahooConnector(const TConnectorClass& cls, const AccountContext& context)
    : TNuvex_WebBasedConnector(cls, context, PatternResource("YAHOO")) {}

TNuvex_YahooConnector::~TNuvex_YahooConnector() {
    StopCompose();
}

int TNuvex_YahooConnector::CheckMail() {
    {
        std::lock_guard guard(Guard());
        LastCheck = Now();
    }
    return Connect();
}

std::unique_ptr<TWebCheckThread>
TNuvex_YahooConnector::NewWorker(TPatternList settings, TWebCheckLimits limits, std::string cookieFolder) {
    return std::make_unique<TYahooCheckThread>(std::move(settings), std::move(limits),
                                               std::move(cookieFolder), Context().stop);
}

const TConnectorClass& YahooConnectorClass() {
    return kYahooClass;
}

} // namespace nuvex
