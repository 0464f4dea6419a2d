// One browser check (HotMail pages of tools/signin_pages, through headless
// Chromium) as a whole: wall time and the peak memory (PSS summed over the
// browser's process group, sampled every 20 ms), medians over repetitions;
// once with the shipped page timings and once with the short ones the tests
// use. Then two accounts due at once: they must not run two browsers together.
//
//     browser_check_bench [repetitions]
#include "accounts/hotmail_connector.h"
#include "accounts/yahoo_connector.h"
#include "lib/devtools_pipe.h"
#include "lib/host_config.h"
#include "tests/support/signin_pages_server.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace nuvex;

long PssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "Pss:") {
            in >> value;
            return value;
        }
        in.ignore(1 << 20, '\n');
    }
    return 0;
}

// The largest PSS sum of the running browsers' groups while it runs.
class PssSampler {
public:
    PssSampler()
        : thread_([this] {
              while (!done_) {
                  long sum = 0;
                  for (pid_t group : devtools::LiveBrowserGroups()) {
                      for (pid_t pid : devtools::GroupProcesses(group)) {
                          sum += PssKiB(pid);
                      }
                  }
                  peak_ = std::max(peak_.load(), sum);
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          }) {}
    long Stop() {
        done_ = true;
        thread_.join();
        return peak_;
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<long> peak_{0};
    std::thread thread_;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Setup {
    test::SigninPagesServer pages;
    test::TempDir profiles;
    MemoryHostConfig host;
    AccountContext context;
    Setup() {
        context.host = &host;
        host.WriteCfgStr("HOTMAIL_LOGIN", pages.Url("/hotmail/ok/login"));
        host.WriteCfgStr("YAHOO_LOGIN", pages.Url("/yahoo/ok/login"));
    }
    template <class Connector>
    std::unique_ptr<Connector> Account(const TConnectorClass& cls, const TWebCheckLimits& limits) {
        auto account = std::make_unique<Connector>(cls, context);
        account->SetAccountId(cls.TypeCode() + "_0");
        account->UserName = "someone";
        account->Password = test::kSigninPassword;
        account->SetLimits(limits);
        return account;
    }
};

void Measure(Setup& setup, const char* what, const TWebCheckLimits& limits, int repetitions) {
    std::vector<double> seconds;
    std::vector<double> pssMiB;
    int failures = 0;
    for (int i = 0; i < repetitions; ++i) {
        auto account = setup.Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), limits);
        PssSampler sampler;
        auto start = std::chrono::steady_clock::now();
        if (account->CheckMail() != kStatusOk) {
            ++failures;
        }
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        pssMiB.push_back(static_cast<double>(sampler.Stop()) / 1024.0);
    }
    std::printf("%-28s wall %6.2f s   peak PSS %7.1f MiB   (median of %d, %d failed)\n", what,
                Median(seconds), Median(pssMiB), repetitions, failures);
}

} // namespace

int main(int argc, char** argv) {
    int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!devtools::FindBrowserProgram("")) {
        std::cerr << "browser_check_bench: chromium is not installed\n";
        return 1;
    }
    Setup setup;
    if (!setup.pages.Running()) {
        std::cerr << "browser_check_bench: " << setup.pages.Error() << "\n";
        return 1;
    }
    TWebCheckLimits shipped;
    shipped.profileRoot = setup.profiles.path() + "/profiles";
    TWebCheckLimits quick = shipped;
    quick.settleMs = 200;
    quick.interactiveMs = 200;
    quick.pollMs = 50;

    Measure(setup, "one check, shipped timings", shipped, repetitions);
    Measure(setup, "one check, test timings", quick, repetitions);

    auto hotmail = setup.Account<TNuvex_HotMailConnector>(HotMailConnectorClass(), quick);
    auto yahoo = setup.Account<TNuvex_YahooConnector>(YahooConnectorClass(), quick);
    auto start = std::chrono::steady_clock::now();
    int a = kStatusFailed;
    int b = kStatusFailed;
    std::thread first([&] { a = hotmail->CheckMail(); });
    std::thread second([&] { b = yahoo->CheckMail(); });
    first.join();
    second.join();
    double both = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("two accounts due at once     wall %6.2f s   most browsers at once: %d   results %s\n", both,
                devtools::MostBrowsersAtOnce(), a == kStatusOk && b == kStatusOk ? "ok" : "FAILED");
    return devtools::MostBrowsersAtOnce() == 1 ? 0 : 2;
}
