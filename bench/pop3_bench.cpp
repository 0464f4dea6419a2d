// One POP3 check of a 5000-message maildrop with 21 new messages, plain and
// over TLS, beside `fetchmail --check` against the same private dovecot; and
// the plain check with its TOPs pipelined and one by one, beside a minimal
// raw client sending the same commands pipelined (the floor); and the check
// that decides by unique ids (UIDL) beside the counted one.
// Prints medians, the ratios, and the peak memory of this process.
#include "accounts/account_store.h"
#include "accounts/pop3_connector.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/dovecot_harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace nuvex;

namespace {

constexpr int kMessages = 5000;
constexpr int kNew = 21;
constexpr int kRepetitions = 15;

double MedianMs(const std::function<bool()>& once, int reps, int& failures) {
    std::vector<double> ms;
    failures = 0;
    once(); // warm-up: dovecot's index and our TLS context
    for (int i = 0; i < reps; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (!once()) {
            ++failures;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

std::unique_ptr<TNuvex_GenericConnector> MakeAccount(const AccountContext& context, const std::string& host,
                                                     int port, bool ssl) {
    TAccountFields f;
    f.userName = "bench";
    f.email = "bench@example.org";
    TPop3Fields p;
    p.password = "bench pw";
    p.hostName = host;
    p.port = port;
    p.useSsl = ssl;
    AddPop3TypeKeys(f, p);
    auto account = Pop3ConnectorClass().Create(context);
    account->LoadSettings(BuildSettingsText(f));
    account->SetAccountId("Pop3_0");
    return account;
}

std::string WriteFetchmailRc(const test::DovecotHarness& d, bool ssl) {
    std::string path = d.Dir() + (ssl ? "/fetchmailrc-tls" : "/fetchmailrc");
    std::ofstream rc(path);
    rc << "set no syslog\n"
       << "poll " << (ssl ? "localhost" : "127.0.0.1") << " with proto POP3 port "
       << (ssl ? d.Pop3sPort() : d.Pop3Port()) << "\n"
       << "  user \"bench\" there with password \"bench pw\" is root here\n";
    if (ssl) {
        rc << "  ssl sslcertck sslcertfile \"" << d.CaFile() << "\"\n";
    } else {
        rc << "  sslproto ''\n";
    }
    rc.close();
    ::chmod(path.c_str(), 0600);
    return path;
}

bool RunFetchmail(const test::DovecotHarness& d, const std::string& rc) {
    std::string cmd = "HOME='" + d.Dir() + "' fetchmail --check -f '" + rc + "' -i '" + d.Dir() +
                      "/fetchids' >>'" + d.Dir() + "/fetchmail.log' 2>&1";
    int status = std::system(cmd.c_str());
    // 0: messages waiting; 1: none. Anything else is a failure.
    return status != -1 && WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1);
}

// The floor: the least a client can do for the same answer. One socket, the
// login, STAT and the 21 TOPs written at once, the replies read to their ends.
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
    bool Send(const std::string& text) {
        return ok_ &&
               ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // One line without CR LF; false at the end of the stream.
    bool Line(std::string& line) {
        for (;;) {
            std::size_t nl = buffer_.find("\r\n", start_);
            if (nl != std::string::npos) {
                line.assign(buffer_, start_, nl - start_);
                start_ = nl + 2;
                return true;
            }
            buffer_.erase(0, start_);
            start_ = 0;
            char chunk[16384];
            ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return false;
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    bool Ok() {
        std::string line;
        return Line(line) && line.rfind("+OK", 0) == 0;
    }
    bool MultiLine() {
        std::string line;
        while (Line(line)) {
            if (line == ".") {
                return true;
            }
        }
        return false;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::string buffer_;
    std::size_t start_ = 0;
};

bool RawCheck(int port, bool uidl = false) {
    RawClient c(port);
    if (!c.Ok() || !c.Send("USER bench\r\n") || !c.Ok() || !c.Send("PASS bench pw\r\n") || !c.Ok() ||
        !c.Send("STAT\r\n") || !c.Ok()) {
        return false;
    }
    if (uidl && (!c.Send("UIDL\r\n") || !c.Ok() || !c.MultiLine())) {
        return false;
    }
    std::string tops;
    for (int n = kMessages - kNew + 1; n <= kMessages; ++n) {
        tops += "TOP " + std::to_string(n) + " 0\r\n";
    }
    if (!c.Send(tops)) {
        return false;
    }
    for (int i = 0; i < kNew; ++i) {
        if (!c.Ok() || !c.MultiLine()) {
            return false;
        }
    }
    return c.Send("QUIT\r\n") && c.Ok();
}

// Medians of several variants measured in turn, round after round, so that
// load from elsewhere on the machine falls on all of them alike.
std::vector<double> InterleavedMedians(const std::vector<std::function<bool()>>& variants, int reps,
                                       std::vector<int>& failures) {
    std::vector<std::vector<double>> ms(variants.size());
    failures.assign(variants.size(), 0);
    for (const auto& once : variants) {
        once(); // warm-up
    }
    for (int i = 0; i < reps; ++i) {
        for (std::size_t v = 0; v < variants.size(); ++v) {
            auto start = std::chrono::steady_clock::now();
            if (!variants[v]()) {
                ++failures[v];
            }
            ms[v].push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    }
    std::vector<double> medians;
    for (auto& series : ms) {
        std::sort(series.begin(), series.end());
        medians.push_back(series[series.size() / 2]);
    }
    return medians;
}

} // namespace

int main() {
    std::string why = test::DovecotHarness::Unavailable();
    if (!why.empty()) {
        std::cerr << "pop3_bench: " << why << "\n";
        return 1;
    }
    auto registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    test::DovecotHarness dovecot;
    dovecot.AddUser("bench", "bench pw");
    dovecot.Deliver("bench", 1, kMessages);
    std::string error;
    if (!dovecot.Start(error)) {
        std::cerr << "pop3_bench: " << error << "\n";
        return 1;
    }
    setenv("SSL_CERT_FILE", dovecot.CaFile().c_str(), 1);

    MemoryHostConfig host;
    AccountContext context;
    context.host = &host;
    auto plain = MakeAccount(context, "127.0.0.1", dovecot.Pop3Port(), false);
    auto tls = MakeAccount(context, test::DovecotHarness::kCertHost, dovecot.Pop3sPort(), true);
    // The ids of all but the newest 21 messages count as seen, as the marker does.
    std::string seenBefore;
    if (plain->CheckMail() == kStatusOk) {
        const std::string all = host.ReadCfgStr("SEENIDS_Pop3_0").value_or("");
        std::size_t end = 0;
        for (int n = 0; n < kMessages - kNew && end != std::string::npos; ++n) {
            end = all.find(' ', end + 1);
        }
        seenBefore = all.substr(0, end);
    }
    auto check = [&](TNuvex_GenericConnector& account) {
        return [&account, &host, &seenBefore] {
            host.WriteCfgStr("LASTID_Pop3_0", std::to_string(kMessages - kNew));
            host.WriteCfgStr("SEENIDS_Pop3_0", seenBefore);
            bool ok = account.CheckMail() == kStatusOk && account.NewCount == kNew;
            return ok;
        };
    };
    int failures = 0;
    double ourPlain = MedianMs(check(*plain), kRepetitions, failures);
    int ourPlainFailures = failures;
    double ourTls = MedianMs(check(*tls), kRepetitions, failures);
    int ourTlsFailures = failures;

    // The same plain check pipelined and one by one, beside the raw floor.
    auto* pop3 = static_cast<TNuvex_Pop3Connector*>(plain.get());
    auto oneByOne = [&] {
        pop3->SetPipelining(false);
        bool ok = check(*plain)();
        pop3->SetPipelining(true);
        return ok;
    };
    // New mail by its unique ids (UIDL) against the counted check that went before it.
    auto counted = [&] {
        pop3->SetUniqueIds(false);
        bool ok = check(*plain)();
        pop3->SetUniqueIds(true);
        return ok;
    };
    std::vector<int> pipeFailures;
    std::vector<double> pipe =
        InterleavedMedians({[&] { return RawCheck(dovecot.Pop3Port()); }, check(*plain), oneByOne, counted,
                            [&] { return RawCheck(dovecot.Pop3Port(), true); }},
                           3 * kRepetitions, pipeFailures);
    const double floor = pipe[0];
    const double ourPipelined = pipe[1];
    const double ourOneByOne = pipe[2];
    const double ourCounted = pipe[3];
    const double uidlFloor = pipe[4];

    std::string rcPlain = WriteFetchmailRc(dovecot, false);
    std::string rcTls = WriteFetchmailRc(dovecot, true);
    double fmPlain = MedianMs([&] { return RunFetchmail(dovecot, rcPlain); }, kRepetitions, failures);
    int fmPlainFailures = failures;
    double fmTls = MedianMs([&] { return RunFetchmail(dovecot, rcTls); }, kRepetitions, failures);
    int fmTlsFailures = failures;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("POP3 check of %d messages, %d new (median of %d)\n", kMessages, kNew, kRepetitions);
    std::printf("  plain: ours %8.2f ms  fetchmail --check %8.2f ms  ratio %.2f  (failures %d/%d)\n",
                ourPlain, fmPlain, ourPlain / fmPlain, ourPlainFailures, fmPlainFailures);
    std::printf("  TLS:   ours %8.2f ms  fetchmail --check %8.2f ms  ratio %.2f  (failures %d/%d)\n", ourTls,
                fmTls, ourTls / fmTls, ourTlsFailures, fmTlsFailures);
    std::printf("STAT + %d TOP, plain, measured in turn (median of %d)\n", kNew, 3 * kRepetitions);
    std::printf("  raw client, pipelined (floor) %8.2f ms  (failures %d)\n", floor, pipeFailures[0]);
    std::printf("  ours, pipelined               %8.2f ms  ratio to floor %.2f  (failures %d)\n",
                ourPipelined, ourPipelined / floor, pipeFailures[1]);
    std::printf("  ours, one by one              %8.2f ms  ratio to floor %.2f  (failures %d)\n", ourOneByOne,
                ourOneByOne / floor, pipeFailures[2]);
    std::printf("  ours, pipelined, counted (no UIDL) %8.2f ms  by unique ids: ratio %.2f  (failures %d)\n",
                ourCounted, ourPipelined / ourCounted, pipeFailures[3]);
    std::printf("  raw client with UIDL (floor)  %8.2f ms  ours by unique ids: ratio %.2f  (failures %d)\n",
                uidlFloor, ourPipelined / uidlFloor, pipeFailures[4]);
    std::printf("  peak resident memory of this process: %ld KiB\n", usage.ru_maxrss);
    SetProcessRegistry(nullptr);
    std::ifstream log(dovecot.Dir() + "/fetchmail.log");
    std::string line;
    std::string said;
    while (std::getline(log, line)) {
        if (line.find("message") != std::string::npos) {
            said = line; // the last report, e.g. "5000 messages for bench at ..."
        }
    }
    std::printf("  fetchmail said: %s\n", said.c_str());
    return ourPlainFailures + ourTlsFailures + pipeFailures[0] + pipeFailures[1] + pipeFailures[2] +
                       pipeFailures[3] ==
                   0
               ? 0
               : 1;
}
