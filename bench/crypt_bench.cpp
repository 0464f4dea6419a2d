// Keyed record: encoding and decoding throughput for settings-sized (1 KiB) and
// large (64 KiB) records, in bytes of record content per second.
#include "lib/crypt_url.h"

#include <benchmark/benchmark.h>
#include <string>

namespace {

// Shape 0: many short entries, like account settings. Shape 1: a few entries,
// one of them a long multi-line value, like a message body in a request.
nuvex::TCryptURL MakeRecord(std::size_t bytes, int shape, std::size_t& contentBytes) {
    nuvex::TCryptURL rec;
    contentBytes = 0;
    if (shape == 0) {
        for (int i = 0; contentBytes < bytes; ++i) {
            std::string name = "KEY" + std::to_string(i);
            std::string value = "value " + std::to_string(i * 7919) + "\twith tab and\r\nline break ";
            value.resize(40, 'x');
            contentBytes += name.size() + value.size();
            rec.SetParam(name, value);
        }
    } else {
        rec.SetParam("USERNAME", "someone@example.org");
        rec.SetParam("PASSWORD", "correct horse battery staple");
        std::string body;
        while (body.size() + 64 < bytes) {
            body += "A line of the message body, with a\ttab, ending in CR LF.\r\n";
        }
        contentBytes += 8 + 19 + 8 + 28 + 4 + body.size();
        rec.SetParam("BODY", body);
    }
    return rec;
}

void BM_Encode(benchmark::State& state) {
    std::size_t content = 0;
    nuvex::TCryptURL rec =
        MakeRecord(static_cast<std::size_t>(state.range(0)), static_cast<int>(state.range(1)), content);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rec.EncodeParams());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content));
}

void BM_Decode(benchmark::State& state) {
    std::size_t content = 0;
    nuvex::TCryptURL rec =
        MakeRecord(static_cast<std::size_t>(state.range(0)), static_cast<int>(state.range(1)), content);
    const std::string text = rec.EncodeParams();
    for (auto _ : state) {
        nuvex::TCryptURL back;
        if (!back.DecodeParams(text)) {
            state.SkipWithError("decode rejected its own text");
            break;
        }
        benchmark::DoNotOptimize(back);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content));
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"bytes", "shape"});
    for (int shape : {0, 1}) {
        b->Args({1024, shape});
        b->Args({64 * 1024, shape});
    }
    b->Repetitions(9)->ReportAggregatesOnly(true)->DisplayAggregatesOnly(true);
}

BENCHMARK(BM_Encode)->Apply(Sizes);
BENCHMARK(BM_Decode)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
