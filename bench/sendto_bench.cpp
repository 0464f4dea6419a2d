// The Send To upkeep of a settings change with many accounts: every account
// with Send To on has its two entries made again, though nearly all of them
// are already there as they should be. The folder is on the disk the bench
// runs from (TMPDIR), not in memory, so that syncing a file costs what it
// costs on a desktop.
#include "integration/sendto.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using namespace nuvex;

std::string Email(int i) {
    return "user" + std::to_string(i) + "@example.org";
}

void UpkeepAllPresent(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    for (int i = 0; i < count; ++i) {
        if (!CreateSendToShortcut(Email(i), "POP3_" + std::to_string(i))) {
            state.SkipWithError("the entries could not be made");
            return;
        }
    }
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            benchmark::DoNotOptimize(CreateSendToShortcut(Email(i), "POP3_" + std::to_string(i)));
        }
    }
}

void UpkeepAllAbsent(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            benchmark::DoNotOptimize(DeleteSendToShortcut("absent" + Email(i)));
        }
    }
}

} // namespace

BENCHMARK(UpkeepAllPresent)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(UpkeepAllAbsent)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    const char* base = std::getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/var/tmp") + "/nuvex-sendto-bench-XXXXXX";
    if (!::mkdtemp(dir.data())) {
        std::perror("sendto_bench: mkdtemp");
        return 1;
    }
    ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
    SetSendToProgramPath("/usr/bin/nuvex");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
