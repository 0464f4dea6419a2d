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

// Busy CPU time of the whole machine (every process, the server's included)
// from /proc/stat: the floor under a pass is this divided by the cores.
double MachineBusyMs() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return static_cast<double>(user + nice + system + irq + softirq + steal) * 1000.0 /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The median wall time of once() and the machine's busy CPU per call.
struct Timed {
    double wallMs = 0;
    double machineCpuMs = 0;
    int failures = 0;
};

Timed Measure(const std::function<bool()>& once, int reps) {
    Timed t;
    const double before = MachineBusyMs();
    t.wallMs = MedianMs(once, reps, t.failures);
    t.machineCpuMs = (MachineBusyMs() - before) / (reps + 1);
    return t;
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

// One run of every pass against a dovecot of its own; the number of failed passes.
int RunAgainst(bool keepProcesses) {
    test::DovecotHarness dovecot;
    dovecot.KeepProcesses(keepProcesses);
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
    const double cpuBefore = cpuMs();
    const Timed sequential = Measure(pass(1), kRepetitions);
    const double ourCpuPerPass = (cpuMs() - cpuBefore) / (kRepetitions + 1);
    const Timed parallel4 = Measure(pass(4), kRepetitions);
    const Timed parallel8 = Measure(pass(8), kRepetitions);
    std::string rc = WriteFetchmailRc(dovecot);
    const Timed fetchmail = Measure([&] { return RunFetchmail(dovecot, rc); }, kRepetitions);

    std::printf("Check pass over %d POP3 accounts, no new mail (median of %d), dovecot %s\n", kAccounts,
                kRepetitions,
                keepProcesses ? "keeping its login and POP3 processes"
                              : "with a new login and POP3 process per connection (its default)");
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    auto row = [&](const char* name, const Timed& t) {
        std::printf("  %-22s %8.2f ms  ratio %.2f  machine CPU %7.2f ms (floor on %ld cores %6.2f ms)  "
                    "failures %d\n",
                    name, t.wallMs, t.wallMs / fetchmail.wallMs, t.machineCpuMs, cores,
                    t.machineCpuMs / static_cast<double>(cores), t.failures);
    };
    row("fetchmail --check", fetchmail);
    row("sequential (1 at once)", sequential);
    row("parallel (4 at once)", parallel4);
    row("parallel (8 at once)", parallel8);
    std::printf("  CPU of this process per sequential pass: %.2f ms\n", ourCpuPerPass);
    return sequential.failures + parallel4.failures + parallel8.failures;
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
    // With its default settings dovecot starts two processes per login, and on
    // a small machine that work, not the client's, sets the pace; a server
    // set up for many logins shows the client's own cost.
    int failures = RunAgainst(false);
    failures += RunAgainst(true);
    SetProcessRegistry(nullptr);
    return failures == 0 ? 0 : 1;
}
