// A settings reload of many stored accounts: the account list loaded from the
// stored text the first time (every account created) and again unchanged (the
// reload each settings change brings), for 100 and 1000 POP3 accounts.
#include "accounts/account_list.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "cli/account_cli.h"
#include "lib/host_config.h"
#include "lib/registry.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using namespace nuvex;

struct Stored {
    MemoryHostConfig host;
    TConnectorRegistry registry;
    std::string text;
};

// The accounts as nuvex-account adds them.
Stored& StoredAccounts(int count) {
    static std::map<int, std::unique_ptr<Stored>> made;
    auto& slot = made[count];
    if (!slot) {
        slot = std::make_unique<Stored>();
        RegisterAllConnectorClasses(slot->registry);
        for (int i = 1; i <= count; ++i) {
            const std::string n = std::to_string(i);
            std::istringstream in("secret\n");
            std::ostringstream out, err;
            if (RunAccountCli({"add", "--type", "pop3", "--email", "user" + n + "@example.org", "--login",
                               "user" + n, "--server", "127.0.0.1", "--password-stdin"},
                              slot->host, slot->registry, in, out, err) != kCliOk) {
                std::fprintf(stderr, "reload_bench: add failed: %s\n", err.str().c_str());
                std::exit(1);
            }
        }
        slot->text = slot->host.ReadCfgStr("ACCOUNTS", -1).value_or("");
    }
    return *slot;
}

void FirstLoad(benchmark::State& state) {
    Stored& stored = StoredAccounts(static_cast<int>(state.range(0)));
    AccountContext context;
    for (auto _ : state) {
        TAccountList list;
        benchmark::DoNotOptimize(LoadAccountList(list, stored.text, stored.registry, context, &stored.host));
    }
}

void UnchangedReload(benchmark::State& state) {
    Stored& stored = StoredAccounts(static_cast<int>(state.range(0)));
    AccountContext context;
    TAccountList list;
    LoadAccountList(list, stored.text, stored.registry, context, &stored.host);
    for (auto _ : state) {
        benchmark::DoNotOptimize(LoadAccountList(list, stored.text, stored.registry, context, &stored.host));
    }
}

} // namespace

BENCHMARK(FirstLoad)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(UnchangedReload)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // nuvex-account add writes its named objects here; a private folder.
    char dir[] = "/tmp/nuvex-reload-bench-XXXXXX";
    if (!::mkdtemp(dir)) {
        return 1;
    }
    ::setenv("NUVEX_OBJECTS_DIR", dir, 1);
    auto registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    SetProcessRegistry(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
