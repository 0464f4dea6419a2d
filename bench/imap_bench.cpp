// IMAP against a private dovecot:
//  - one check of a 5000-message INBOX with 21 new, beside a raw client that
//    sends the same commands one after another (the floor) and beside
//    `fetchmail --check --protocol IMAP`, measured in turn;
//  - push latency: from a delivery to the watcher's report, over 20 deliveries;
//  - idle: 50 connections in IDLE for a while: wake-ups and CPU of the
//    watcher thread, memory per connection.
// Usage: imap_bench [idle seconds, default 60]. Prints medians and ratios.
#include "accounts/account_store.h"
#include "accounts/imap_connector.h"
#include "accounts/imap_idle_watcher.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/dovecot_harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace nuvex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMessages = 5000;
constexpr int kNew = 21;
constexpr int kRepetitions = 15;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The floor: one socket, the same commands as a check, each awaited.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() { ::close(fd_); }
    // Sends "tag command" and reads to the tagged OK.
    bool Command(const std::string& tag, const std::string& command) {
        const std::string text = tag + " " + command + "\r\n";
        if (!ok_ ||
            ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
            return false;
        }
        return Until(tag + " ");
    }
    bool Until(const std::string& prefix) {
        for (;;) {
            std::size_t at = buffer_.find("\r\n" + prefix);
            if (at != std::string::npos || buffer_.rfind(prefix, 0) == 0) {
                std::size_t start = at == std::string::npos ? 0 : at + 2;
                std::size_t end = buffer_.find("\r\n", start);
                if (end != std::string::npos) {
                    const bool ok = buffer_.compare(start + prefix.size(), 2, "OK") == 0;
                    buffer_.erase(0, end + 2);
                    return ok;
                }
            }
            char chunk[65536];
            ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return false;
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::string buffer_;
};

bool RawCheck(int port, std::uint32_t from, const std::string& uids) {
    RawClient c(port);
    return c.Until("* ") && c.Command("a", "LOGIN \"bench\" \"bench pw\"") &&
           c.Command("b", "STATUS \"INBOX\" (MESSAGES UNSEEN UIDNEXT UIDVALIDITY)") &&
           c.Command("c", "EXAMINE \"INBOX\"") &&
           c.Command("d", "UID SEARCH UNSEEN UID " + std::to_string(from) + ":*") &&
           c.Command("e", "UID FETCH " + uids +
                              " (UID BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE CONTENT-TYPE "
                              "CONTENT-TRANSFER-ENCODING)] BODY.PEEK[TEXT]<0.2048>)") &&
           c.Command("f", "CAPABILITY") && c.Command("g", "LOGOUT");
}

bool RunFetchmail(const test::DovecotHarness& d) {
    const std::string rc = d.Dir() + "/fetchmailrc-imap";
    {
        std::ofstream out(rc);
        out << "set no syslog\npoll 127.0.0.1 with proto IMAP port " << d.ImapPort()
            << "\n  user \"bench\" there with password \"bench pw\" is root here\n  sslproto ''\n";
    }
    ::chmod(rc.c_str(), 0600);
    const std::string cmd = "HOME='" + d.Dir() + "' fetchmail --check --protocol IMAP -f '" + rc + "' >>'" +
                            d.Dir() + "/fetchmail.log' 2>&1";
    const int status = std::system(cmd.c_str());
    return status != -1 && WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1);
}

// Context switches and CPU time of one thread of this process.
struct ThreadUse {
    long switches = 0;
    double cpuMs = 0;
};
ThreadUse UseOf(long tid) {
    ThreadUse u;
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
            line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
            u.switches += std::atol(line.substr(line.find(':') + 1).c_str());
        }
    }
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        std::vector<std::string> fields;
        while (rest >> field) {
            fields.push_back(field);
        }
        if (fields.size() > 12) {
            u.cpuMs = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) * 1000.0 /
                      static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    return u;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.substr(6).c_str());
        }
    }
    return 0;
}

std::vector<long> Threads() {
    std::vector<long> ids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.push_back(std::atol(e.path().filename().c_str()));
    }
    return ids;
}

} // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    if (std::string why = test::DovecotHarness::Unavailable(); !why.empty()) {
        std::cerr << "imap_bench: " << why << "\n";
        return 1;
    }
    auto registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    test::DovecotHarness dovecot;
    dovecot.AddUser("bench", "bench pw");
    dovecot.EnableImap();
    dovecot.Deliver("bench", 1, kMessages - kNew);
    std::string error;
    if (!dovecot.Start(error)) {
        std::cerr << "imap_bench: " << error << "\n";
        return 1;
    }
    MemoryHostConfig host;
    AccountContext context;
    context.host = &host;
    TAccountFields f;
    f.userName = "bench";
    f.email = "bench@example.org";
    TImapFields p;
    p.password = "bench pw";
    p.hostName = "127.0.0.1";
    p.port = dovecot.ImapPort();
    p.security = ImapSecurity::None;
    AddImapTypeKeys(f, p);
    auto account = ImapConnectorClass().Create(context);
    account->LoadSettings(BuildSettingsText(f));
    account->SetAccountId("Imap_0");
    // The baseline: every message so far is old; then 21 arrive.
    if (account->CheckMail() != kStatusOk) {
        std::cerr << "imap_bench: the first check failed\n";
        return 1;
    }
    const std::string baseline = *host.ReadCfgStr("LASTID_Imap_0");
    const std::uint32_t from = ParseImapMarks(baseline).at("INBOX").uidNext;
    dovecot.Deliver("bench", kMessages - kNew + 1, kNew);
    std::string uids;
    for (int i = 0; i < kNew; ++i) {
        uids += (i ? "," : "") + std::to_string(from + static_cast<std::uint32_t>(i));
    }

    std::vector<std::function<bool()>> variants = {
        [&] { return RawCheck(dovecot.ImapPort(), from, uids); },
        [&] {
            host.WriteCfgStr("LASTID_Imap_0", baseline);
            return account->CheckMail() == kStatusOk && account->NewCount == kNew;
        },
        [&] { return RunFetchmail(dovecot); },
    };
    std::vector<std::vector<double>> ms(variants.size());
    std::vector<int> failures(variants.size(), 0);
    for (auto& v : variants) {
        v(); // warm-up
    }
    for (int r = 0; r < kRepetitions; ++r) {
        for (std::size_t v = 0; v < variants.size(); ++v) {
            const auto start = Clock::now();
            failures[v] += variants[v]() ? 0 : 1;
            ms[v].push_back(Ms(Clock::now() - start));
        }
    }
    const double floor = Median(ms[0]);
    const double ours = Median(ms[1]);
    const double fetchmail = Median(ms[2]);
    std::printf("IMAP check of %d messages, %d new, plain (median of %d, measured in turn)\n", kMessages,
                kNew, kRepetitions);
    std::printf("  raw client, same commands (floor) %8.2f ms  (failures %d)\n", floor, failures[0]);
    std::printf("  ours                              %8.2f ms  ratio to floor %.2f  (failures %d)\n", ours,
                ours / floor, failures[1]);
    std::printf("  fetchmail --check --protocol IMAP %8.2f ms  ours/fetchmail %.2f  (failures %d)\n",
                fetchmail, ours / fetchmail, failures[2]);

    // Push latency: delivery to report.
    std::atomic<int> reports{0};
    std::atomic<Clock::rep> reportedAt{0};
    const std::vector<long> before = Threads();
    ImapIdleWatcher watcher(context, [&](const std::string&) {
        reportedAt = Clock::now().time_since_epoch().count();
        ++reports;
    });
    ImapIdleTarget target{"Imap_0",   "127.0.0.1", dovecot.ImapPort(), ImapSecurity::None, "bench",
                          "bench pw", "INBOX"};
    watcher.SetTargets({target});
    for (int i = 0; i < 2000 && watcher.Idling() < 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<double> latency;
    for (int i = 0; i < 20; ++i) {
        const int seen = reports;
        const auto start = Clock::now();
        dovecot.Deliver("bench", kMessages + 1 + i, 1);
        while (reports == seen && Clock::now() - start < std::chrono::seconds(10)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        latency.push_back(
            reports == seen ? 10'000.0 : Ms(Clock::time_point(Clock::duration(reportedAt.load())) - start));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::printf("Push: delivery to report, 20 deliveries: median %.1f ms, worst %.1f ms\n", Median(latency),
                *std::max_element(latency.begin(), latency.end()));

    // Idle: 50 connections.
    std::vector<long> watcherThreads;
    for (long id : Threads()) {
        if (std::find(before.begin(), before.end(), id) == before.end()) {
            watcherThreads.push_back(id);
        }
    }
    const long rssBefore = ResidentKiB();
    std::vector<ImapIdleTarget> many;
    for (int i = 0; i < 50; ++i) {
        ImapIdleTarget t = target;
        t.accountId = "Imap_" + std::to_string(i);
        many.push_back(t);
    }
    watcher.SetTargets(many);
    for (int i = 0; i < 6000 && watcher.Idling() < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const long rssAfter = ResidentKiB();
    ThreadUse start{};
    for (long id : watcherThreads) {
        ThreadUse u = UseOf(id);
        start.switches += u.switches;
        start.cpuMs += u.cpuMs;
    }
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    ThreadUse end{};
    for (long id : watcherThreads) {
        ThreadUse u = UseOf(id);
        end.switches += u.switches;
        end.cpuMs += u.cpuMs;
    }
    std::printf(
        "Idle: %d connections in IDLE for %d s: watcher wake-ups %.3f/s, CPU %.3f %%, "
        "memory %.1f KiB per connection (resident, this process)\n",
        watcher.Idling(), idleSeconds, static_cast<double>(end.switches - start.switches) / idleSeconds,
        (end.cpuMs - start.cpuMs) / (10.0 * idleSeconds), static_cast<double>(rssAfter - rssBefore) / 50.0);
    const auto stopStart = Clock::now();
    watcher.Stop();
    std::printf("Stop with 50 connections in IDLE: %.1f ms\n", Ms(Clock::now() - stopStart));
    SetProcessRegistry(nullptr);
    return failures[0] + failures[1] == 0 ? 0 : 1;
}
