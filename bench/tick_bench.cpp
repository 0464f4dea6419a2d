// One pass over 100 POP3 accounts: through the in-memory scripted transport
// (the cost of the tick, the protocol and the header decoding alone) and
// against the private dovecot (the cost with real logins).
#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/check_cycle.h"
#include "accounts/pop3_connector.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/dovecot_harness.h"
#include "tests/support/fake_transport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sys/resource.h>
#include <vector>

using namespace nuvex;

namespace {

constexpr int kAccounts = 100;
constexpr int kRepetitions = 7;

std::string Script() {
    std::string s = "S: +OK\nC: USER u\nS: +OK\nC: PASS p\nS: +OK\nC: STAT\nS: +OK 3 3000\n"
                    "C: UIDL\nS: +OK\nS: 1 a\nS: 2 b\nS: 3 c\nS: .\n";
    for (int n = 1; n <= 3; ++n) {
        s += "C: TOP " + std::to_string(n) +
             " 0\nS: +OK\nS: Received: from relay.example by mx.example\n"
             "S: From: =?UTF-8?Q?J=C3=B6rg_Sender?= <sender@example.org>\n"
             "S: Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= number " +
             std::to_string(n) + "\nS: .\n";
    }
    return s + "C: QUIT\nS: +OK\n";
}

void Fill(TAccountList& list, const AccountContext& context, const std::string& host, int port,
          const std::string& user, const std::string& password) {
    for (int i = 0; i < kAccounts; ++i) {
        TAccountFields f;
        f.userName = user;
        f.email = "a" + std::to_string(i) + "@example.org";
        f.checkMinutes = 1;
        TPop3Fields p;
        p.password = password;
        p.hostName = host;
        p.port = port;
        AddPop3TypeKeys(f, p);
        auto account = Pop3ConnectorClass().Create(context);
        account->LoadSettings(BuildSettingsText(f));
        account->SetAccountId("Pop3_" + std::to_string(i));
        list.AddAccount(std::move(account));
    }
}

// Median milliseconds of a tick in which every account is due and has 3 new.
double MedianPass(TAccountList& list, TCheckCycle& cycle, MemoryHostConfig& host, FakeClock& clock,
                  int& newSeen) {
    std::vector<double> ms;
    for (int r = 0; r < kRepetitions; ++r) {
        for (int i = 0; i < kAccounts; ++i) {
            host.WriteCfgStr("LASTID_Pop3_" + std::to_string(i), "0");
            host.DeleteCfgValue("SEENIDS_Pop3_" + std::to_string(i));
        }
        clock.AdvanceMs(120'000);
        auto start = std::chrono::steady_clock::now();
        TickResult result = cycle.Tick(TickSettings{}, {});
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        newSeen = result.totalNew;
    }
    std::sort(ms.begin(), ms.end());
    (void)list;
    return ms[ms.size() / 2];
}

} // namespace

int main() {
    auto registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    FakeClock clock;
    SetDefaultClock(&clock);

    MemoryHostConfig host;
    int newSeen = 0;
    {
        AccountContext context;
        context.host = &host;
        std::string script = Script();
        context.pop3Transport = [script]() -> std::unique_ptr<Pop3Transport> {
            return std::make_unique<test::ScriptedPop3Transport>(test::Pop3Script::FromText(script));
        };
        TAccountList list;
        Fill(list, context, "pop.example.org", 110, "u", "p");
        TCheckCycle cycle(list);
        double ms = MedianPass(list, cycle, host, clock, newSeen);
        std::printf(
            "Pass over %d accounts, in-memory transport: median %.2f ms (%.3f ms per account), new %d\n",
            kAccounts, ms, ms / kAccounts, newSeen);
    }

    std::string why = test::DovecotHarness::Unavailable();
    if (why.empty()) {
        test::DovecotHarness dovecot;
        dovecot.AddUser("u", "p");
        dovecot.Deliver("u", 1, 3);
        std::string error;
        if (dovecot.Start(error)) {
            AccountContext context;
            context.host = &host;
            TAccountList list;
            Fill(list, context, "127.0.0.1", dovecot.Pop3Port(), "u", "p");
            TCheckCycle cycle(list);
            double ms = MedianPass(list, cycle, host, clock, newSeen);
            std::printf(
                "Pass over %d accounts, dovecot on loopback: median %.2f ms (%.2f ms per account), new %d\n",
                kAccounts, ms, ms / kAccounts, newSeen);
        } else {
            std::printf("dovecot pass skipped: %s\n", error.c_str());
        }
    } else {
        std::printf("dovecot pass skipped: %s\n", why.c_str());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("Peak resident memory of this process: %ld KiB\n", usage.ru_maxrss);
    SetDefaultClock(nullptr);
    SetProcessRegistry(nullptr);
    return 0;
}
