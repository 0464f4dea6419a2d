// A check pass over 50 POP3 accounts against the private dovecot, one account
// after another and several at once, beside `fetchmail --check` polling the
// same 50 accounts. No account has new mail (the markers equal the counts), so
// every check sends what fetchmail sends: login, STAT, QUIT. Prints medians
// and the ratios to fetchmail's time.
#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/check_cycle.h"
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
#include <unistd.h>
#include <vector>

using namespace nuvex;

namespace {

constexpr int kAccounts = 50;
constexpr int kMessagesEach = 10;
constexpr int kRepetitions = 9;

double MedianMs(const std::function<bool()>& once, int reps, int& failures) {
    std::vector<double> ms;
    failures = 0;
    once(); // warm-up: dovecot's auth and index caches
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

std::string User(int i) {
    return "bench" + std::to_string(i);
}

std::unique_ptr<TNuvex_GenericConnector> MakeAccount(const AccountContext& context, int port, int i) {
    TAccountFields f;
    f.userName = User(i);
    f.email = User(i) + "@example.org";
    TPop3Fields p;
    p.password = "bench pw";
    p.hostName = "127.0.0.1";
    p.port = port;
    AddPop3TypeKeys(f, p);
    auto account = Pop3ConnectorClass().Create(context);
    account->LoadSettings(BuildSettingsText(f));
    account->SetAccountId("Pop3_" + std::to_string(i));
    return account;
}

std::string WriteFetchmailRc(const test::DovecotHarness& d) {
    std::string path = d.Dir() + "/fetchmailrc-50";
    std::ofstream rc(path);
    rc << "set no syslog\n";
    for (int i = 0; i < kAccounts; ++i) {
        rc << "poll 127.0.0.1 with proto POP3 port " << d.Pop3Port() << "\n"
           << "  user \"" << User(i) << "\" there with password \"bench pw\" is root here\n"
           << "  sslproto ''\n";
    }
    rc.close();
    ::chmod(path.c_str(), 0600);
    return path;
}

bool RunFetchmail(const test::DovecotHarness& d, const std::string& rc) {
    std::string cmd = "HOME='" + d.Dir() + "' fetchmail --check -f '" + rc + "' -i '" + d.Dir() +
                      "/fetchids' >>'" + d.Dir() + "/fetchmail.log' 2>&1";
    int status = std::system(cmd.c_str());
    return status != -1 && WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1);
}

} // namespace

int main() {
    std::string why = test::DovecotHarness::Unavailable();
    if (!why.empty()) {
        std::cerr << "parallel_bench: " << why << "\n";
        return 1;
    }
    auto registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    test::DovecotHarness dovecot;
    for (int i = 0; i < kAccounts; ++i) {
        dovecot.AddUser(User(i), "bench pw");
        dovecot.Deliver(User(i), 1, kMessagesEach);
    }
    std::string error;
    if (!dovecot.Start(error)) {
        std::cerr << "parallel_bench: " << error << "\n";
        return 1;
    }

    MemoryHostConfig host;
    AccountContext context;
    context.host = &host;
    TAccountList list;
    for (int i = 0; i < kAccounts; ++i) {
        host.WriteCfgStr("LASTID_Pop3_" + std::to_string(i), std::to_string(kMessagesEach));
        list.AddAccount(MakeAccount(context, dovecot.Pop3Port(), i));
    }
    TCheckCycle cycle(list);
    auto pass = [&](int parallel) {
        return [&cycle, &list, parallel] {
            cycle.SetParallelChecks(parallel);
            cycle.CheckNow(""); // every account due
            cycle.SetNextTick(0);
            TickResult r = cycle.Tick(TickSettings{}, {});
            // Each account: checked, no error, nothing new.
            return r.ran && !r.stopped && r.errors.Empty() && r.totalNew == 0 &&
                   r.totalUnread == kAccounts * kMessagesEach && list.Count() == kAccounts;
        };
    };
    // The CPU this process spends per pass, to tell our cost from the server's.
    auto cpuMs = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
    };
    int failures = 0;
    const double cpuBefore = cpuMs();
    double sequential = MedianMs(pass(1), kRepetitions, failures);
    const double ourCpuPerPass = (cpuMs() - cpuBefore) / (kRepetitions + 1);
    int sequentialFailures = failures;
    double parallel4 = MedianMs(pass(4), kRepetitions, failures);
    int parallel4Failures = failures;
    double parallel8 = MedianMs(pass(8), kRepetitions, failures);
    int parallel8Failures = failures;
    std::string rc = WriteFetchmailRc(dovecot);
    double fetchmail = MedianMs([&] { return RunFetchmail(dovecot, rc); }, kRepetitions, failures);
    int fetchmailFailures = failures;

    std::printf("Check pass over %d POP3 accounts, no new mail (median of %d)\n", kAccounts, kRepetitions);
    std::printf("  fetchmail --check      %8.2f ms                (failures %d)\n", fetchmail,
                fetchmailFailures);
    std::printf("  sequential (1 at once) %8.2f ms  ratio %.2f  (failures %d)\n", sequential,
                sequential / fetchmail, sequentialFailures);
    std::printf("  parallel (4 at once)   %8.2f ms  ratio %.2f  (failures %d)\n", parallel4,
                parallel4 / fetchmail, parallel4Failures);
    std::printf("  parallel (8 at once)   %8.2f ms  ratio %.2f  (failures %d)\n", parallel8,
                parallel8 / fetchmail, parallel8Failures);
    std::printf("  CPU of this process per sequential pass: %.2f ms; machine cores online: %ld\n",
                ourCpuPerPass, sysconf(_SC_NPROCESSORS_ONLN));
    SetProcessRegistry(nullptr);
    return sequentialFailures + parallel4Failures + parallel8Failures == 0 ? 0 : 1;
}
