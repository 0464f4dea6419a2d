#pragma once
// The navigation dispatcher of the mail controller: pages that accounts and
// menu commands ask for. The request may come from the check worker; it is
// handled on the GUI thread: in the browser window the command came from
// (within five seconds, when the user wants the current window), else by the
// browser's command line, else by the desktop's browser. Also the wizard's
// help links and the register page.
#include "accounts/account_context.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace nuvex {

class MailHost;

// How long a browser context given with a menu command stays usable.
inline constexpr std::uint64_t kBrowserContextMs = 5000;

class TNavigationDispatcher final : public QObject, public NavigationSink {
    Q_OBJECT
public:
    explicit TNavigationDispatcher(MailHost& host);

    // The browser window a menu command came from ("" for none), stamped now.
    void SetBrowserContext(const QString& context);
    // Any thread: stores the page and queues its handling to the GUI thread.
    void PostNavigate(const std::string& url, const std::string& commandLine) override;
    // GUI thread: opens the stored page (once).
    void HandleNavigate();

    // Whether pages go to the browser window of the command ("CURRBROWSEWINDOW").
    void SetUseCurrentWindow(bool use) { useCurrentWindow_ = use; }
    // The wizard's help-link pattern ("WHAT_LINK") and register page ("REG_MAIL").
    void SetLinks(std::string helpLink, std::string registerUrl);

    // The help-link pattern with every "%help_tag" (any case) replaced by tag.
    void OpenHelpLink(int tag);
    void OpenRegisterPage();
    // A page in the desktop's browser.
    void OpenInBrowser(const std::string& url);

    // Test seams: the launcher of browser command lines, the desktop browser.
    void SetLauncher(ProgramLauncher* launcher) { launcher_ = launcher; }
    void SetBrowserOpener(std::function<void(const std::string&)> open) { openBrowser_ = std::move(open); }

private:
    MailHost& host_;
    std::mutex mutex_; // the URL and command line may come from the check worker
    std::string url_;
    std::string command_;
    QString browserContext_;
    std::uint64_t browserContextStamp_ = 0;
    bool useCurrentWindow_ = false;
    std::string helpLink_;
    std::string registerUrl_;
    ProgramLauncher* launcher_ = nullptr;
    std::function<void(const std::string&)> openBrowser_;
};

} // namespace nuvex
