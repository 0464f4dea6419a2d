// One POP3 check of a 5000-message maildrop with 21 new messages, plain and
// over TLS, beside `fetchmail --check` against the same private dovecot.
// Prints medians, the ratio, and the peak memory of this process.
#include "accounts/account_store.h"
#include "accounts/pop3_connector.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/dovecot_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>
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
    auto check = [&](TNuvex_GenericConnector& account) {
        return [&account, &host] {
            host.WriteCfgStr("LASTID_Pop3_0", std::to_string(kMessages - kNew));
            bool ok = account.CheckMail() == kStatusOk && account.NewCount == kNew;
            return ok;
        };
    };
    int failures = 0;
    double ourPlain = MedianMs(check(*plain), kRepetitions, failures);
    int ourPlainFailures = failures;
    double ourTls = MedianMs(check(*tls), kRepetitions, failures);
    int ourTlsFailures = failures;

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
    return ourPlainFailures + ourTlsFailures == 0 ? 0 : 1;
}
