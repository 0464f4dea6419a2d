#include "accounts/web_based_connector.h"

#include "accounts/account_store.h"
#include "accounts/open_actions.h"
#include "lib/branding.h"
#include "lib/clock.h"
#include "lib/devtools_pipe.h"
#include "lib/host_config.h"
#include "lib/http.h"
#include "lib/log.h"
#include "lib/registry.h"
#include "lib/text.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace nuvex {

namespace detail {
extern const char kPatternHotmail[];
extern const char kPatternYahoo[];
} // namespace detail

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Compose reuses the address of a sign-in at most this old.
constexpr double kComposeReuse = 0.010416666666666666667; // 15 minutes in days
// A frame tree is walked this far at most.
constexpr std::size_t kMaxFrames = 32;
// A page's text and markup are read up to this many characters each.
constexpr int kMaxPageChars = 1024 * 1024;
// Cookie files bigger than this are not a provider's cookies.
constexpr std::size_t kMaxCookieFileBytes = std::size_t{1024} * 1024;

// Serialises browser checks: two accounts due at once never run two browsers.
std::timed_mutex gBrowserCheckLock;

// The browser went away or broke the protocol in the middle of the check.
class BrowserGone : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string JsString(const std::string& text) {
    return json::Value(text).Dump();
}

int MsLeft(SteadyClock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1'000'000));
}

// The host of an http(s) address, lower-cased; empty when there is none.
std::string UrlHost(std::string_view url) {
    std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
    }
    if (rest.starts_with("[")) {
        return text::ToLowerAscii(rest.substr(0, rest.find(']') + 1));
    }
    return text::ToLowerAscii(rest.substr(0, rest.find(':')));
}

// A sign-in page on this machine needs no Internet connection.
bool IsLoopbackUrl(std::string_view url) {
    std::string host = UrlHost(url);
    return host == "localhost" || host == "[::1]" || host.starts_with("127.");
}

std::string ReadBounded(const fs::path& path, std::size_t bound, bool& tooBig) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    tooBig = ec || size > bound;
    if (tooBig) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(size));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// Moves every file of folder ending in from whose domain and content match
// a cookie word to the same name ending in to.
int MoveCookieFiles(const std::string& folder, const std::vector<std::string>& words, std::string_view from,
                    std::string_view to) {
    if (folder.empty() || words.empty()) {
        return 0;
    }
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        std::string name = it->path().filename().string();
        if (it->is_regular_file(kind) && !it->is_symlink(kind) && text::EndsWithNoCase(name, from)) {
            files.push_back(it->path());
        }
    }
    int moved = 0;
    for (const fs::path& file : files) {
        std::string domain = CookieFileDomain(file.filename().string());
        if (domain.empty()) {
            continue; // an empty domain is part of every word
        }
        bool tooBig = false;
        std::string content = text::ToLowerAscii(ReadBounded(file, kMaxCookieFileBytes, tooBig));
        if (tooBig) {
            continue;
        }
        for (const std::string& word : words) {
            if (word.find(domain) == std::string::npos || content.find(word) == std::string::npos) {
                continue;
            }
            fs::path target = file;
            target.replace_extension(std::string(to));
            std::error_code moveError;
            fs::rename(file, target, moveError);
            if (moveError) {
                log::Warning("browser",
                             "cannot move the cookie file " + file.string() + ": " + moveError.message());
            } else {
                ++moved;
            }
            break;
        }
    }
    return moved;
}

} // namespace

bool AddWebBasedTypeKeys(TAccountFields& fields, const TTypeOptionValues& options, std::string& error) {
    auto password = options.find("password");
    if (password == options.end() || password->second.empty()) {
        error = "the password is empty";
        return false;
    }
    fields.typeKeys.insert(fields.typeKeys.end(), {
                                                      {"EMAIL", fields.email},
                                                      {"USERNAME", fields.userName},
                                                      {"PASSWORD", password->second},
                                                  });
    return true;
}

TPatternList ParsePattern(std::string_view text) {
    TPatternList lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            continue;
        }
        lines.emplace_back(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
    }
    return lines;
}

std::string PatternValue(const TPatternList& pattern, std::string_view name) {
    for (const auto& [key, value] : pattern) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

void SetPatternValue(TPatternList& pattern, std::string_view name, const std::string& value) {
    for (auto& [key, old] : pattern) {
        if (key == name) {
            old = value;
            return;
        }
    }
    pattern.emplace_back(std::string(name), value);
}

TPatternList FillPlaceholders(TPatternList pattern, const std::string& userName,
                              const std::string& password) {
    for (auto& line : pattern) {
        // One pass per placeholder over the original text, so that a user
        // name holding "%PASSWORD%" is not filled in a second time.
        std::string out;
        std::string_view rest = line.second;
        for (;;) {
            std::size_t u = rest.find("%USERNAME%");
            std::size_t p = rest.find("%PASSWORD%");
            std::size_t at = std::min(u, p);
            if (at == std::string_view::npos) {
                out.append(rest);
                break;
            }
            out.append(rest.substr(0, at));
            out.append(at == u ? userName : password);
            rest.remove_prefix(at + 10);
        }
        line.second = std::move(out);
    }
    return pattern;
}

std::string_view PatternResource(std::string_view name) {
    if (name == "HOTMAIL") {
        return detail::kPatternHotmail;
    }
    if (name == "YAHOO") {
        return detail::kPatternYahoo;
    }
    return {};
}

std::vector<std::string> CookieWords(const TPatternList& pattern) {
    std::vector<std::string> words;
    for (char digit = '0'; digit <= '9'; ++digit) {
        std::string word = PatternValue(pattern, std::string("COOKIE_") + digit);
        if (!word.empty()) {
            words.push_back(text::ToLowerAscii(word));
        }
    }
    return words;
}

std::string CookieFileDomain(std::string_view fileName) {
    std::string name = text::ToLowerAscii(fileName);
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos) {
        name.erase(dot);
    }
    if (std::size_t at = name.find('@'); at != std::string::npos) {
        name.erase(0, at + 1);
    }
    if (std::size_t bracket = name.find('['); bracket != std::string::npos) {
        name.erase(bracket);
    }
    return name;
}

int HideCookieFiles(const std::string& folder, const std::vector<std::string>& words) {
    return MoveCookieFiles(folder, words, ".txt", ".cbk");
}

int RestoreCookieFiles(const std::string& folder, const std::vector<std::string>& words) {
    return MoveCookieFiles(folder, words, ".cbk", ".txt");
}

// ---------------------------------------------------------------------------

TWebCheckThread::TWebCheckThread(TPatternList settings, TWebCheckLimits limits, std::string cookieFolder,
                                 const StopSignal* stop)
    : Settings(std::move(settings)), limits_(std::move(limits)), cookieFolder_(std::move(cookieFolder)),
      stop_(stop) {}

TWebCheckThread::~TWebCheckThread() {
    Terminate();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TWebCheckThread::Start() {
    thread_ = std::thread([this] { Run(); });
}

bool TWebCheckThread::WaitFor(int ms) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
}

void TWebCheckThread::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TWebCheckThread::Terminate() {
    terminate_.Raise();
}

void TWebCheckThread::HideCookies() {
    HideCookieFiles(cookieFolder_, CookieWords(Settings));
}

void TWebCheckThread::RestoreCookies() {
    RestoreCookieFiles(cookieFolder_, CookieWords(Settings));
}

std::uint8_t TWebCheckThread::EvaluatePage(const TWebPage& /*page*/) {
    return kWebUndecided; // every provider reads its own pages
}

void TWebCheckThread::Run() {
    try {
        Outcome = kWebUndecided;
        HideCookies();
        Browse();
    } catch (const BrowserGone& e) {
        BrowserFailed = true;
        log::Warning("browser", std::string("the browser went away during the check: ") + e.what());
    } catch (...) {
        log::Caught("browser", "the browser check");
        Outcome = kWebRefused;
    }
    Stage = kStageFinished;
    try {
        if (browser_) {
            browser_->Close();
            browser_.reset();
        }
        RestoreCookies();
    } catch (...) {
        log::Caught("browser", "ending the browser check");
    }
    std::lock_guard lock(mutex_);
    done_ = true;
    ended_.notify_all();
}

void TWebCheckThread::Browse() {
    std::string wanted = limits_.browserProgram;
    if (wanted.empty()) {
        if (const char* env = std::getenv("NUVEX_CHROMIUM")) {
            wanted = env;
        }
    }
    std::optional<std::string> program = devtools::FindBrowserProgram(wanted);
    if (!program) {
        BrowserMissing = true;
        log::Warning("browser", "no browser program \"" +
                                    (wanted.empty() ? std::string("chromium") : wanted) +
                                    "\" found: install chromium to check this account");
        return;
    }
    devtools::LaunchOptions options;
    options.program = *program;
    options.profileRoot = limits_.profileRoot.empty() ? devtools::DefaultProfileRoot() : limits_.profileRoot;
    options.startTimeoutMs = limits_.startTimeoutMs;
    options.graceMs = limits_.killGraceMs;
    options.cancelFds = {terminate_.Fd()};
    if (stop_) {
        options.cancelFds.push_back(stop_->Fd());
    }
    if (cancel_) {
        options.cancelFds.push_back(cancel_->Fd());
    }
    std::string error;
    browser_ = devtools::Browser::Launch(options, error);
    if (!browser_) {
        if (terminate_.Raised() || (stop_ && stop_->Raised())) {
            Outcome = kWebStopped;
            return;
        }
        BrowserFailed = true;
        log::Warning("browser", "cannot start " + *program + ": " + error);
        return;
    }

    // The budget of the pages starts once the browser is up: a slow start on
    // a busy machine must not leave the pages no time.
    const auto budgetEnd = SteadyClock::now() + std::chrono::milliseconds(limits_.budgetMs);
    devtools::Reply target = browser_->Call("Target.createTarget", json::Object{{"url", "about:blank"}}, {},
                                            limits_.callTimeoutMs);
    targetId_ = target.result["targetId"].AsString();
    if (!target.Ok() || targetId_.empty()) {
        throw BrowserGone("no page: " + target.error);
    }
    devtools::Reply attached =
        browser_->Call("Target.attachToTarget", json::Object{{"targetId", targetId_}, {"flatten", true}}, {},
                       limits_.callTimeoutMs);
    session_ = attached.result["sessionId"].AsString();
    if (!attached.Ok() || session_.empty()) {
        throw BrowserGone("cannot attach to the page: " + attached.error);
    }
    browser_->Call("Page.enable", json::Object{}, session_, limits_.callTimeoutMs);

    const std::string initUrl = PatternValue(Settings, "INIT_URL");
    devtools::Reply navigated =
        browser_->Call("Page.navigate", json::Object{{"url", initUrl}}, session_,
                       std::min(limits_.callTimeoutMs, std::max(MsLeft(budgetEnd), 1)));
    if (navigated.status == devtools::WaitStatus::Closed) {
        throw BrowserGone(navigated.error);
    }
    if (navigated.status == devtools::WaitStatus::Cancelled) {
        Outcome = stop_ && stop_->Raised() ? kWebStopped : Outcome;
        return;
    }
    std::string netError = navigated.result["errorText"].AsString();
    if (!navigated.error.empty() || !netError.empty()) {
        // The sign-in page itself could not be loaded: like a server that is not there.
        Outcome = kWebStopped;
        log::Warning("browser", "cannot open the sign-in page " + UrlHost(initUrl) + ": " +
                                    (netError.empty() ? navigated.error : netError));
        return;
    }

    std::string remembered;
    for (int attempt = 0; attempt < limits_.attempts; ++attempt) {
        PageWait wait = WaitForPage(budgetEnd);
        if (wait == PageWait::Stopped) {
            Outcome = kWebStopped;
            break;
        }
        if (wait == PageWait::Terminated) {
            break;
        }
        if (Stage == kStageNotSubmitted && FillLoginForm() == 0) {
            Stage = kStageSubmitted;
            continue;
        }
        Outcome = EvaluateDocument();
        if (Outcome != kWebUndecided) {
            break;
        }
        if (MsLeft(budgetEnd) == 0) {
            break;
        }
        std::string location = Location();
        if (ReadyState() == 4 && location == remembered) {
            break; // the page will not change any more
        }
        remembered = location;
    }
}

void TWebCheckThread::DrainEvents(int waitMs) {
    json::Value event;
    devtools::WaitStatus status = browser_->NextEvent(event, waitMs);
    while (status == devtools::WaitStatus::Ok) {
        const std::string method = event["method"].AsString();
        const json::Value& params = event["params"];
        if (event["sessionId"].AsString() == session_ && params["frameId"].AsString() == targetId_) {
            if (method == "Page.frameStartedLoading") {
                mainFrameLoading_ = true;
            } else if (method == "Page.frameStoppedLoading") {
                mainFrameLoading_ = false;
            }
        }
        status = browser_->NextEvent(event, 0);
    }
    if (status == devtools::WaitStatus::Closed) {
        throw BrowserGone("the browser closed its pipe");
    }
}

TWebCheckThread::PageWait TWebCheckThread::WaitForPage(SteadyClock::time_point budgetEnd) {
    const auto start = SteadyClock::now();
    const auto settled = start + std::chrono::milliseconds(limits_.settleMs);
    auto interactiveSince = start;
    for (;;) {
        if (stop_ && stop_->Raised()) {
            return PageWait::Stopped;
        }
        if (terminate_.Raised() || (cancel_ && cancel_->Raised())) {
            return PageWait::Terminated;
        }
        if (MsLeft(budgetEnd) == 0) {
            return PageWait::Ready; // the attempt loop ends on the budget
        }
        DrainEvents(std::min(limits_.pollMs, MsLeft(budgetEnd)));
        const auto now = SteadyClock::now();
        if (now < settled) {
            continue;
        }
        int state = mainFrameLoading_ ? 1 : ReadyState();
        if (state < 3) {
            interactiveSince = SteadyClock::now();
        } else if (state == 4 ||
                   SteadyClock::now() - interactiveSince > std::chrono::milliseconds(limits_.interactiveMs)) {
            return PageWait::Ready;
        }
    }
}

namespace {

// Evaluates expression in the page (or the given execution context) and
// answers its value; null when it threw or did not answer.
json::Value Evaluate(devtools::Browser& browser, const std::string& session, const std::string& expression,
                     std::int64_t contextId, int timeoutMs) {
    json::Object params{{"expression", expression}, {"returnByValue", true}};
    if (contextId != 0) {
        params.emplace_back("contextId", contextId);
    }
    devtools::Reply reply =
        browser.Call("Runtime.evaluate", json::Value(std::move(params)), session, timeoutMs);
    if (reply.status == devtools::WaitStatus::Closed) {
        throw BrowserGone(reply.error);
    }
    if (!reply.Ok() || reply.result.Has("exceptionDetails")) {
        return {};
    }
    return reply.result["result"]["value"];
}

} // namespace

int TWebCheckThread::ReadyState() {
    std::string state =
        Evaluate(*browser_, session_, "document.readyState", 0, std::min(limits_.callTimeoutMs, 2000))
            .AsString();
    if (state == "complete") {
        return 4;
    }
    if (state == "interactive") {
        return 3;
    }
    return state == "loading" ? 1 : 0;
}

std::string TWebCheckThread::Location() {
    return Evaluate(*browser_, session_, "location.href", 0, limits_.callTimeoutMs).AsString();
}

std::uint8_t TWebCheckThread::FillLoginForm() {
    try {
        static constexpr std::string_view kFill = R"((function(m, n, v) {
  if (document.nuvexFill !== m) return 'moved';
  var e = document.getElementsByName(n)[0] || document.getElementById(n);
  if (!e) return 'none';
  var tag = (e.tagName || '').toLowerCase();
  if (tag === 'input') {
    var type = (e.getAttribute('type') || 'text').toLowerCase();
    if (['text', 'password', 'email', 'hidden', 'search', 'tel', 'url', 'number'].indexOf(type) >= 0) e.value = v;
    else e.checked = (v === '1');
  } else if (tag === 'textarea') {
    e.value = v;
  } else {
    return 'skipped';
  }
  e.dispatchEvent(new Event('input', {bubbles: true}));
  e.dispatchEvent(new Event('change', {bubbles: true}));
  return 'set';
}))";
        // A page that leaves for another while it is filled in must not get
        // the rest of the fields, nor be submitted half filled: the document
        // is marked, and the form is submitted only while the mark is there.
        const std::string mark = std::to_string(++fillCount_);
        Evaluate(*browser_, session_, "document.nuvexFill = " + mark, 0, limits_.callTimeoutMs);
        for (const auto& [name, value] : Settings) {
            if (!name.starts_with("FILL_")) {
                continue;
            }
            std::string field = name.substr(5, 255);
            std::string expression =
                std::string(kFill) + "(" + mark + ", " + JsString(field) + ", " + JsString(value) + ")";
            if (Evaluate(*browser_, session_, expression, 0, limits_.callTimeoutMs).AsString() == "moved") {
                log::Info("browser", "the sign-in page changed while it was filled in");
                return 1;
            }
            DrainEvents(0); // what the page does on input runs before the next field
        }
        static constexpr std::string_view kSubmit = R"((function(m, n) {
  if (document.nuvexFill !== m) return 'moved';
  var f = document.forms[n] || document.getElementsByName(n)[0] || document.getElementById(n);
  if (!(f instanceof HTMLFormElement)) return 'no form';
  HTMLFormElement.prototype.submit.call(f);
  return 'submitted';
}))";
        DrainEvents(0);
        if (mainFrameLoading_) {
            return 1; // a navigation the page started is under way
        }
        std::string expression =
            std::string(kSubmit) + "(" + mark + ", " + JsString(PatternValue(Settings, "FORM")) + ")";
        json::Value answer = Evaluate(*browser_, session_, expression, 0, limits_.callTimeoutMs);
        return answer.AsString() == "submitted" ? 0 : 1;
    } catch (const BrowserGone&) {
        throw;
    } catch (...) {
        log::Caught("browser", "filling the sign-in form");
        return 1;
    }
}

bool TWebCheckThread::ReadPage(std::int64_t contextId, TWebPage& page) {
    const std::string bound = std::to_string(kMaxPageChars);
    std::string expression =
        "({l: String(location.href), t: document.body ? String(document.body.innerText).slice(0, " + bound +
        ") : '', h: document.body ? String(document.body.innerHTML).slice(0, " + bound + ") : ''})";
    json::Value value = Evaluate(*browser_, session_, expression, contextId, limits_.callTimeoutMs);
    if (!value.IsObject()) {
        return false;
    }
    page.location = value["l"].AsString();
    page.bodyText = value["t"].AsString();
    page.bodyHtml = value["h"].AsString();
    return true;
}

std::uint8_t TWebCheckThread::EvaluateDocument() {
    TWebPage top;
    if (!ReadPage(0, top)) {
        return kWebUndecided;
    }
    std::uint8_t answer = EvaluatePage(top);
    if (answer == kWebCounts || answer == kWebRefused) {
        return answer;
    }
    devtools::Reply tree =
        browser_->Call("Page.getFrameTree", json::Object{}, session_, limits_.callTimeoutMs);
    if (tree.status == devtools::WaitStatus::Closed) {
        throw BrowserGone(tree.error);
    }
    // The frames below the top document, breadth first, with a bound.
    std::vector<json::Value> pending;
    for (const json::Value& child : tree.result["frameTree"]["childFrames"].Items()) {
        pending.push_back(child);
    }
    for (std::size_t i = 0; i < pending.size() && i < kMaxFrames; ++i) {
        const json::Value node = pending[i];
        for (const json::Value& child : node["childFrames"].Items()) {
            pending.push_back(child);
        }
        std::string frameId = node["frame"]["id"].AsString();
        devtools::Reply world = browser_->Call(
            "Page.createIsolatedWorld", json::Object{{"frameId", frameId}, {"worldName", "nuvex-check"}},
            session_, limits_.callTimeoutMs);
        std::int64_t context = world.result["executionContextId"].AsInt(0);
        TWebPage framePage;
        if (!world.Ok() || context == 0 || !ReadPage(context, framePage)) {
            continue;
        }
        framePage.location = top.location; // the browser's address, as for the top page
        answer = EvaluatePage(framePage);
        if (answer == kWebCounts || answer == kWebRefused) {
            break;
        }
    }
    return answer;
}

// ---------------------------------------------------------------------------

TNuvex_WebBasedConnector::TNuvex_WebBasedConnector(const TConnectorClass& cls, const AccountContext& context,
                                                   std::string_view pattern)
    : TNuvex_GenericConnector(cls, context), Pattern(ParsePattern(pattern)) {}

TNuvex_WebBasedConnector::~TNuvex_WebBasedConnector() {
    StopCompose();
}

void TNuvex_WebBasedConnector::StopCompose() {
    cancel_.Raise();
    std::lock_guard lock(composeMutex_);
    if (composeThread_.joinable()) {
        composeThread_.join();
    }
}

void TNuvex_WebBasedConnector::SetLimits(TWebCheckLimits limits) {
    std::lock_guard guard(Guard());
    limits_ = std::move(limits);
}

std::unique_ptr<TWebCheckThread>
TNuvex_WebBasedConnector::NewWorker(TPatternList settings, TWebCheckLimits limits, std::string cookieFolder) {
    return std::make_unique<TWebCheckThread>(std::move(settings), std::move(limits), std::move(cookieFolder),
                                             Context().stop);
}

std::string TNuvex_WebBasedConnector::InitUrl() {
    HostConfig* host = Context().host;
    if (host && host->Connected()) {
        std::optional<std::string> moved = host->ReadCfgStr(TypeCode() + "_LOGIN");
        if (moved && !text::Trim(*moved).empty()) {
            return text::Trim(*moved);
        }
    }
    std::lock_guard guard(Guard());
    return PatternValue(Pattern, "INIT_URL");
}

std::string TNuvex_WebBasedConnector::CookieFolder() {
    Registry* registry = Context().registry;
    if (!registry) {
        return {};
    }
    std::optional<RegValue> value = registry->GetValue(
        RegRoot::HKCU, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Cookies");
    return value ? value->data : std::string();
}

int TNuvex_WebBasedConnector::Connect() {
    std::string id;
    TPatternList settings;
    TWebCheckLimits limits;
    {
        std::lock_guard guard(Guard());
        id = AccountId;
        settings = FillPlaceholders(Pattern, UserName, Password);
        limits = limits_;
        browserMissing_ = false;
    }
    const std::string initUrl = InitUrl();
    SetPatternValue(settings, "INIT_URL", initUrl);
    if (!IsLoopbackUrl(initUrl) && !IsInternetConnected()) {
        std::lock_guard guard(Guard());
        ErrorCode = kErrorUnreachable;
        log::Warning("browser", id + ": no Internet connection, the sign-in page was not opened");
        return kStatusFailed;
    }

    // One browser at a time; a check that cannot have it within its own
    // budget reports nothing rather than piling up behind the others.
    const StopSignal* stop = Context().stop;
    std::unique_lock<std::timed_mutex> turn(gBrowserCheckLock, std::defer_lock);
    const auto giveUp =
        SteadyClock::now() + std::chrono::milliseconds(limits.budgetMs + 2 * limits.killGraceMs);
    while (!turn.try_lock_for(std::chrono::milliseconds(200))) {
        if (cancel_.Raised()) {
            return kStatusFailed;
        }
        if ((stop && stop->Raised()) || SteadyClock::now() >= giveUp) {
            log::Warning("browser",
                         id + ": another browser check held the browser too long; this check is skipped");
            return kStatusFailed;
        }
    }

    std::unique_ptr<TWebCheckThread> worker = NewWorker(std::move(settings), limits, CookieFolder());
    worker->SetCancel(&cancel_);
    worker->Start();
    // The worker keeps its own budget; this wait adds the time its browser
    // needs to start and to end.
    if (!worker->WaitFor(limits.startTimeoutMs + limits.budgetMs + 2 * limits.killGraceMs + 1000)) {
        log::Warning("browser", id + ": the browser check did not end within its budget");
    }
    worker->Terminate();
    worker->Join(); // every wait of the worker ends on Terminate
    const std::uint8_t outcome = worker->Outcome;
    const bool missing = worker->BrowserMissing;
    const bool failed = worker->BrowserFailed;
    TWebCheckThread* results = worker.get();

    std::lock_guard guard(Guard());
    int status = kStatusFailed;
    if (missing || failed) {
        browserMissing_ = missing;
        ErrorCode = kErrorOther;
    } else if (outcome == kWebCounts) {
        NewCount = results->FoundNew;
        UnreadCount = results->FoundUnread;
        ComposeUrl = results->FoundComposeUrl;
        LastLogin = Now();
        ErrorCode = kErrorNone;
        status = kStatusOk;
    } else if (outcome == kWebRefused) {
        ErrorCode = kErrorLogin;
        log::Warning("browser", id + ": the provider refused the sign-in");
    } else if (outcome == kWebStopped) {
        ErrorCode = kErrorUnreachable;
    } else {
        log::Info("browser", id + ": the provider's page showed no count");
    }
    worker.reset(); // joins the thread
    return status;
}

int TNuvex_WebBasedConnector::Disconnect() {
    std::lock_guard guard(Guard());
    LastLogin = 0;
    return kStatusOk;
}

int TNuvex_WebBasedConnector::CheckMail() {
    {
        std::lock_guard guard(Guard());
        LastCheck = Now();
        ErrorCode = kErrorOther;
    }
    Disconnect();
    return Connect();
}

int TNuvex_WebBasedConnector::OpenMailbox() {
    std::string url = InitUrl();
    if (!url.empty()) {
        OpenUrl(*this, url);
    }
    return kStatusOk;
}

void TNuvex_WebBasedConnector::OpenComposePage() {
    std::string url;
    {
        std::lock_guard guard(Guard());
        url = ComposeUrl;
    }
    if (!url.empty()) {
        OpenUrl(*this, url);
    }
}

int TNuvex_WebBasedConnector::Compose() {
    bool signIn = false;
    {
        std::lock_guard guard(Guard());
        signIn = ComposeUrl.empty() || Now() - LastLogin > kComposeReuse;
    }
    if (!signIn) {
        OpenComposePage();
        return kStatusOk;
    }
    std::lock_guard lock(composeMutex_);
    if (composing_) {
        return kStatusOk; // the sign-in under way opens the page
    }
    if (composeThread_.joinable()) {
        composeThread_.join();
    }
    composing_ = true;
    composeThread_ = std::thread([this] {
        try {
            Connect();
            if (!cancel_.Raised()) {
                OpenComposePage();
            }
        } catch (...) {
            log::Caught("browser", "signing in to compose");
        }
        composing_ = false;
    });
    return kStatusOk;
}

void TNuvex_WebBasedConnector::WaitForCompose() {
    std::lock_guard lock(composeMutex_);
    if (composeThread_.joinable()) {
        composeThread_.join();
    }
}

void TNuvex_WebBasedConnector::TakeLastError(std::int32_t& code, std::string& text) {
    std::lock_guard guard(Guard());
    if (ErrorCode == kErrorOther && browserMissing_) {
        code = ErrorCode;
        text =
            Translate(std::string(kBrowserMissingText)) + "\r\n" + Translate("Check your computer settings.");
        ErrorCode = kErrorNone;
        browserMissing_ = false;
        return;
    }
    TNuvex_GenericConnector::TakeLastError(code, text);
}

} // namespace nuvex
