#pragma once
// Webmail without a protocol the plug-in can use: a check signs in the way a
// person would. A hidden headless Chromium (lib/devtools_pipe.h) opens the
// provider's sign-in page, fills in the account's credentials, submits the
// form and reads the number of unread messages off the page that follows.
// The provider's connector supplies a pattern resource (sign-in page, form
// and field names, cookie words) and a worker that knows how to read its pages.
#include "accounts/generic_connector.h"
#include "lib/stop_signal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace nuvex {

namespace devtools {
class Browser;
}

// What a page shows, as read from one document (the top one or a frame's).
struct TWebPage {
    std::string location; // the browser's current address
    std::string bodyText; // the body's visible text
    std::string bodyHtml; // the body's inner HTML
};

// Outcomes of one browser check.
constexpr std::uint8_t kWebCounts = 0;    // counts read
constexpr std::uint8_t kWebRefused = 1;   // sign-in refused
constexpr std::uint8_t kWebUndecided = 2; // no count shown
constexpr std::uint8_t kWebStopped = 3;   // stopped, or the page was not reachable

// Stages of the worker.
constexpr std::uint8_t kStageNotSubmitted = 0;
constexpr std::uint8_t kStageSubmitted = 1;
constexpr std::uint8_t kStageFinished = 2;

// The time limits of a browser check. Tests shorten them.
struct TWebCheckLimits {
    int budgetMs = 90'000;      // the pages of one check, from the browser's start
    int attempts = 10;          // page waits per check
    int settleMs = 5'000;       // a page is not read before this (the submit's navigation may not have begun)
    int interactiveMs = 1'000;  // an interactive page this long is taken as ready
    int pollMs = 250;           // between looks at the page's ready state
    int callTimeoutMs = 10'000; // one DevTools command
    int startTimeoutMs = 20'000;
    int killGraceMs = 2'000; // between SIGTERM and SIGKILL of the browser's group
    // Empty: $NUVEX_CHROMIUM when set, else "chromium" on PATH.
    std::string browserProgram;
    // Empty: lib/devtools_pipe.h's DefaultProfileRoot().
    std::string profileRoot;
};

// The name=value lines of a pattern resource, in order.
using TPatternList = std::vector<std::pair<std::string, std::string>>;

// Lines without "=" are skipped; CR LF and LF both end a line.
TPatternList ParsePattern(std::string_view text);
// The value of the first line of that name (exact case), empty when none.
std::string PatternValue(const TPatternList& pattern, std::string_view name);
void SetPatternValue(TPatternList& pattern, std::string_view name, const std::string& value);
// Every "%USERNAME%" and "%PASSWORD%" (exact case) in the values replaced.
TPatternList FillPlaceholders(TPatternList pattern, const std::string& userName, const std::string& password);
// The compiled-in pattern resource of that name ("HOTMAIL", "YAHOO"); empty when there is none.
std::string_view PatternResource(std::string_view name);

// The lower-cased values of "COOKIE_0" to "COOKIE_9".
std::vector<std::string> CookieWords(const TPatternList& pattern);
// The domain a cookie file name stands for: the lower-cased name without its
// extension, then the part after "@", then the part before "[".
std::string CookieFileDomain(std::string_view fileName);
// Moves the provider's "*.txt" cookie files of folder aside to ".cbk", or back;
// answers how many files were moved.
int HideCookieFiles(const std::string& folder, const std::vector<std::string>& words);
int RestoreCookieFiles(const std::string& folder, const std::vector<std::string>& words);

// The worker of one browser check, on its own thread.
class TWebCheckThread {
public:
    // settings: the pattern with the placeholders already replaced; stop: the
    // plug-in's stop signal (may be null); cookieFolder: empty when none is configured.
    TWebCheckThread(TPatternList settings, TWebCheckLimits limits, std::string cookieFolder,
                    const StopSignal* stop);
    virtual ~TWebCheckThread();
    TWebCheckThread(const TWebCheckThread&) = delete;
    TWebCheckThread& operator=(const TWebCheckThread&) = delete;

    // A second signal that ends the run like Terminate (the account going
    // away); call before Start.
    void SetCancel(const StopSignal* cancel) { cancel_ = cancel; }
    void Start();
    // True once the run has ended, waiting at most ms.
    bool WaitFor(int ms);
    // Asks the run to end: every wait of it returns at once.
    void Terminate();
    void Join();

    virtual void HideCookies();
    virtual void RestoreCookies();
    virtual std::uint8_t FillLoginForm();
    virtual std::uint8_t EvaluatePage(const TWebPage& page);

    // Results, read after the run ended.
    TPatternList Settings;
    std::uint8_t Stage = kStageNotSubmitted;
    std::uint8_t Outcome = kWebUndecided;
    std::string FoundComposeUrl;
    std::int32_t FoundNew = 0;
    std::int32_t FoundUnread = 0;
    // The browser program is not installed / could not be started or went away.
    bool BrowserMissing = false;
    bool BrowserFailed = false;

protected:
    enum class PageWait { Ready, Stopped, Terminated };
    void Run();
    PageWait WaitForPage(std::chrono::steady_clock::time_point budgetEnd);
    std::uint8_t EvaluateDocument();
    // The top document (contextId 0) or a frame's isolated world.
    bool ReadPage(std::int64_t contextId, TWebPage& page);
    // document.readyState as IE numbers it: 1 loading, 3 interactive, 4 complete; 0 unknown.
    int ReadyState();
    std::string Location();
    void Browse();

    TWebCheckLimits limits_;
    std::string cookieFolder_;
    const StopSignal* stop_;
    const StopSignal* cancel_ = nullptr;
    StopSignal terminate_;
    std::unique_ptr<devtools::Browser> browser_;
    std::string session_;
    std::string targetId_;
    bool mainFrameLoading_ = false;
    int fillCount_ = 0;

private:
    void DrainEvents(int waitMs);

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
};

class TNuvex_WebBasedConnector : public TNuvex_GenericConnector {
public:
    TNuvex_WebBasedConnector(const TConnectorClass& cls, const AccountContext& context,
                             std::string_view pattern);
    ~TNuvex_WebBasedConnector() override;

    int Connect() override;
    int Disconnect() override;
    int CheckMail() override;
    int OpenMailbox() override;
    // Opens the compose page. When that needs a sign-in first, the sign-in
    // runs on a thread of this account and Compose returns at once: the
    // caller may be the GUI thread, and a sign-in can take 90 seconds.
    int Compose() override;
    // Waits until a sign-in started by Compose has ended (for tests).
    void WaitForCompose();
    // A missing browser gets its own first line; the other failures keep
    // the texts of their class.
    void TakeLastError(std::int32_t& code, std::string& text) override;

    void SetLimits(TWebCheckLimits limits);
    // The sign-in page: the host value TypeCode + "_LOGIN" when set, else the pattern's "INIT_URL".
    std::string InitUrl();

    // Fields added by this type (guarded by Guard()).
    std::string ComposeUrl;
    double LastLogin = 0;
    TPatternList Pattern;

protected:
    // Ends a sign-in that Compose started and waits for its thread. Every
    // subclass calls it in its destructor: the thread calls NewWorker, which
    // must not meet a half-destroyed object.
    void StopCompose();
    // The worker class of the provider.
    virtual std::unique_ptr<TWebCheckThread> NewWorker(TPatternList settings, TWebCheckLimits limits,
                                                       std::string cookieFolder);

private:
    std::string CookieFolder();

    void OpenComposePage();

    TWebCheckLimits limits_;
    bool browserMissing_ = false;
    // Ends a running check when the account is destroyed.
    StopSignal cancel_;
    std::mutex composeMutex_;
    std::thread composeThread_;
    std::atomic<bool> composing_{false};
};

// The keys of a browser-driven account from the command line's options: the
// address, the sign-in name and the password.
bool AddWebBasedTypeKeys(TAccountFields& fields, const TTypeOptionValues& options, std::string& error);

// The first line of the error text of a check that found no browser.
inline constexpr std::string_view kBrowserMissingText =
    "the browser needed to check this account is not installed";

} // namespace nuvex
