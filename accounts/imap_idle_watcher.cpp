#include "accounts/imap_idle_watcher.h"

#include "lib/log.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace nuvex {

namespace {

using WatchClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Servers may end an IDLE after 30 minutes of silence; it is renewed before.
constexpr auto kRenewAfter = std::chrono::minutes(28);
constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxBackoffMs = 5 * 60 * 1000;
// The longest sleep: how late a resume from suspend is noticed.
constexpr auto kLongestSleep = std::chrono::seconds(60);
// A jump this large between the boot clock and the monotonic clock is a suspend.
constexpr std::int64_t kSuspendJumpMs = 5000;
constexpr int kGoodbyeGraceMs = 1500;

std::int64_t ClockMs(clockid_t id) {
    timespec t{};
    clock_gettime(id, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

// Time asleep so far: grows only while the machine is suspended.
std::int64_t SuspendedMs() {
    return ClockMs(CLOCK_BOOTTIME) - ClockMs(CLOCK_MONOTONIC);
}

} // namespace

struct ImapIdleWatcher::Connection {
    ImapIdleTarget target;
    std::unique_ptr<Pop3Transport> transport;
    std::unique_ptr<ImapClient> client;
    bool idling = false;
    bool noIdle = false; // the server does not offer IDLE: interval checks only
    WatchClock::time_point idleSince{};
    WatchClock::time_point nextAttempt{};
    int backoffMs = 0;
};

ImapIdleWatcher::ImapIdleWatcher(const AccountContext& context, News news)
    : context_(context), news_(std::move(news)) {
    context_.stop = &stop_;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

ImapIdleWatcher::~ImapIdleWatcher() {
    Stop();
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void ImapIdleWatcher::Wake() {
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
}

void ImapIdleWatcher::SetTargets(std::vector<ImapIdleTarget> targets) {
    {
        std::lock_guard lock(mutex_);
        if (targets == wanted_) {
            return;
        }
        wanted_ = std::move(targets);
        targetsChanged_ = true;
    }
    Wake();
}

void ImapIdleWatcher::Reopen() {
    {
        std::lock_guard lock(mutex_);
        reopen_ = true;
    }
    Wake();
}

void ImapIdleWatcher::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    quit_ = true;
    Wake();
    // The thread says goodbye on every socket it can; one stuck in a connect
    // or a read is cut short by the stop signal after the grace.
    const auto until = WatchClock::now() + milliseconds(kGoodbyeGraceMs);
    while (!finished_ && WatchClock::now() < until) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    stop_.Raise();
    thread_.join();
}

void ImapIdleWatcher::Drop(Connection& c, const std::string& why) {
    if (c.idling) {
        --idling_;
    }
    c.idling = false;
    if (c.transport) {
        c.transport->Close();
    }
    c.client.reset();
    c.transport.reset();
    if (quit_) {
        return;
    }
    static thread_local std::minstd_rand random(
        static_cast<unsigned>(WatchClock::now().time_since_epoch().count()));
    c.backoffMs = c.backoffMs == 0 ? kFirstBackoffMs : std::min(c.backoffMs * 2, kMaxBackoffMs);
    // Up to a fifth either way, so that many connections dropped together do
    // not come back together.
    std::uniform_int_distribution<int> jitter(-c.backoffMs / 5, c.backoffMs / 5);
    c.nextAttempt = WatchClock::now() + milliseconds(c.backoffMs + jitter(random));
    if (!why.empty()) {
        log::Info("imap", c.target.accountId + ": push connection to " + c.target.host + " (" +
                              c.target.folder + ") dropped: " + why + "; again in " +
                              std::to_string(c.backoffMs / 1000) + " s");
    }
}

void ImapIdleWatcher::Open(Connection& c) {
    try {
        c.transport = context_.pop3Transport ? context_.pop3Transport() : MakeTcpPop3Transport(&stop_);
        c.client = std::make_unique<ImapClient>(*c.transport, context_.pop3Limits);
        c.client->Connect(c.target.host, c.target.port, c.target.security);
        c.client->Login(c.target.user, c.target.password);
        if (!c.client->Offers("IDLE")) {
            c.noIdle = true;
            c.client->Logout();
            c.client.reset();
            c.transport.reset();
            log::Info("imap",
                      c.target.accountId + ": " + c.target.host + " offers no IDLE; checked at its interval");
            return;
        }
        c.client->Examine(c.target.folder);
        c.client->StartIdle();
        c.transport->RestartSession();
        c.idling = true;
        ++idling_;
        c.idleSince = WatchClock::now();
        c.backoffMs = 0;
    } catch (const std::exception& e) {
        Drop(c, e.what());
    }
}

void ImapIdleWatcher::Run() {
    std::int64_t suspended = SuspendedMs();
    while (!quit_) {
        bool reopen = false;
        {
            std::lock_guard lock(mutex_);
            if (targetsChanged_) {
                targetsChanged_ = false;
                std::erase_if(connections_, [&](const std::unique_ptr<Connection>& c) {
                    if (std::find(wanted_.begin(), wanted_.end(), c->target) != wanted_.end()) {
                        return false;
                    }
                    if (c->idling) {
                        c->idling = false;
                        --idling_;
                    }
                    return true;
                });
                for (const ImapIdleTarget& t : wanted_) {
                    auto known =
                        std::find_if(connections_.begin(), connections_.end(),
                                     [&](const std::unique_ptr<Connection>& c) { return c->target == t; });
                    if (known == connections_.end()) {
                        auto c = std::make_unique<Connection>();
                        c->target = t;
                        c->nextAttempt = WatchClock::now();
                        connections_.push_back(std::move(c));
                    }
                }
            }
            reopen = std::exchange(reopen_, false);
        }
        const std::int64_t nowSuspended = SuspendedMs();
        if (nowSuspended - suspended > kSuspendJumpMs) {
            log::Info("imap", "resumed from suspend: push connections are opened again");
            reopen = true;
        }
        suspended = nowSuspended;
        if (reopen) {
            for (auto& c : connections_) {
                Drop(*c, {});
                c->backoffMs = 0;
                c->noIdle = false;
                c->nextAttempt = WatchClock::now();
            }
        }

        for (auto& c : connections_) {
            if (quit_) {
                break;
            }
            if (!c->idling && !c->noIdle && WatchClock::now() >= c->nextAttempt) {
                Open(*c);
            } else if (c->idling && WatchClock::now() - c->idleSince >= kRenewAfter) {
                try {
                    c->client->EndIdle();
                    c->transport->RestartSession();
                    c->client->StartIdle();
                    c->idleSince = WatchClock::now();
                } catch (const std::exception& e) {
                    Drop(*c, e.what());
                }
            }
        }
        if (quit_) {
            break;
        }

        // One poll over the wake-up descriptor and every idling connection.
        std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
        std::vector<Connection*> polled;
        auto wakeAt = WatchClock::now() + kLongestSleep;
        bool buffered = false;
        for (auto& c : connections_) {
            if (c->idling) {
                fds.push_back({c->transport->PollFd(), POLLIN, 0});
                polled.push_back(c.get());
                buffered = buffered || c->transport->Buffered();
                wakeAt = std::min(wakeAt, c->idleSince + kRenewAfter);
            } else if (!c->noIdle) {
                wakeAt = std::min(wakeAt, c->nextAttempt);
            }
        }
        const auto left = std::chrono::duration_cast<milliseconds>(wakeAt - WatchClock::now()).count();
        const int timeout = buffered ? 0 : static_cast<int>(std::clamp<std::int64_t>(left + 1, 0, 60'000));
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0) {
            continue; // EINTR
        }
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        for (std::size_t i = 0; i < polled.size() && !quit_; ++i) {
            Connection& c = *polled[i];
            if (fds[i + 1].revents == 0 && !c.transport->Buffered()) {
                continue;
            }
            bool grew = false;
            try {
                do {
                    ImapResponse r = c.client->ReadResponse();
                    if (r.status == "BYE") {
                        throw ImapNegativeReply("BYE " + r.text, "IDLE", "BYE", r.code);
                    }
                    grew = grew || (r.kind == ImapResponse::Kind::Untagged && r.keyword == "EXISTS");
                } while (c.transport->Buffered());
            } catch (const std::exception& e) {
                Drop(c, e.what());
            }
            if (grew && news_) {
                news_(c.target.accountId);
            }
        }
    }
    // Goodbye without waiting for answers: DONE ends the IDLE, LOGOUT the session.
    for (auto& c : connections_) {
        if (c->idling && c->transport) {
            try {
                c->transport->Write("DONE\r\nz LOGOUT\r\n");
            } catch (...) {
                // the peer is gone or the stop came first: closing is all that is left
                log::Debug("imap", c->target.accountId + ": no goodbye sent");
            }
        }
        if (c->transport) {
            c->transport->Close();
        }
    }
    connections_.clear();
    idling_ = 0;
    finished_ = true;
}

} // namespace nuvex
