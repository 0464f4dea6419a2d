#include "core/navigation_dispatcher.h"

#include "accounts/open_actions.h"
#include "core/mail_host.h"
#include "core/plugin_log.h"
#include "lib/clock.h"
#include "lib/http.h"
#include "lib/log.h"
#include "lib/redirect_page.h"
#include "lib/url_policy.h"

namespace nuvex {

TNavigationDispatcher::TNavigationDispatcher(MailHost& host)
    : host_(host), openBrowser_([](const std::string& url) { OpenUrlInBrowser(url); }) {}

void TNavigationDispatcher::SetBrowserContext(const QString& context) {
    std::lock_guard lock(mutex_);
    browserContext_ = context;
    browserContextStamp_ = TickCount();
}

void TNavigationDispatcher::SetLinks(std::string helpLink, std::string registerUrl) {
    helpLink_ = std::move(helpLink);
    registerUrl_ = std::move(registerUrl);
}

void TNavigationDispatcher::PostNavigate(const std::string& url, const std::string& commandLine) {
    {
        std::lock_guard lock(mutex_);
        url_ = url;
        command_ = commandLine;
    }
    QMetaObject::invokeMethod(
        this, [this] { HandleNavigate(); }, Qt::QueuedConnection);
}

void TNavigationDispatcher::HandleNavigate() {
    std::string url;
    std::string command;
    QString context;
    std::uint64_t stamp = 0;
    {
        std::lock_guard lock(mutex_);
        url.swap(url_);
        command.swap(command_);
        context = browserContext_;
        stamp = browserContextStamp_;
    }
    if (!host_.Settings() || url.empty()) {
        return;
    }
    if (!IsOpenableUrl(url) && !IsRedirectPage(url)) {
        qCWarning(lcPlugin) << "not opening a page with the scheme" << QString::fromStdString(UrlScheme(url));
        return;
    }
    bool numeric = false;
    context.toLongLong(&numeric);
    if (useCurrentWindow_ && numeric && TickCount() - stamp < kBrowserContextMs) {
        // A window that went away meanwhile still gets the page, in a new one.
        if (host_.NavigateWindow(context, QString::fromStdString(url))) {
            return;
        }
        qCInfo(lcPlugin) << "the browser window" << context << "did not take the page; opening it anew";
    }
    bool started = false;
    if (!command.empty()) {
        SpawnProgramLauncher spawner;
        ProgramLauncher& launcher = launcher_ ? *launcher_ : static_cast<ProgramLauncher&>(spawner);
        started = launcher.Run(command);
        if (!started) {
            qCWarning(lcPlugin) << "the browser command line did not start; using the desktop's browser";
        }
    }
    if (!started) {
        OpenInBrowser(url);
    }
}

void TNavigationDispatcher::OpenInBrowser(const std::string& url) {
    try {
        openBrowser_(url);
    } catch (...) {
        log::Caught("plugin", "opening a page in the browser");
    }
}

void TNavigationDispatcher::OpenHelpLink(int tag) {
    QString url = QString::fromStdString(helpLink_);
    url.replace(QStringLiteral("%help_tag"), QString::number(tag), Qt::CaseInsensitive);
    if (!url.isEmpty()) {
        OpenInBrowser(url.toStdString());
    }
}

void TNavigationDispatcher::OpenRegisterPage() {
    if (!registerUrl_.empty()) {
        OpenInBrowser(registerUrl_);
    }
}

} // namespace nuvex
