// XML tokenizer: throughput on service replies of 4 KiB and 1 MiB, and the
// memory the parser holds (text and tree) per byte of reply, measured in an
// untimed pass by counting what operator new hands out.
#include "lib/codepage.h"
#include "lib/registry.h"
#include "lib/xml.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <string>

// GCC pairs the replaced operator new below with its own view of operator
// delete and warns about free(); both sides use malloc/free, so the pair is matched.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

bool g_counting = false;
std::size_t g_current = 0;
std::size_t g_peak = 0;

void Count(void* p) {
    if (g_counting && p) {
        g_current += malloc_usable_size(p);
        if (g_current > g_peak) {
            g_peak = g_current;
        }
    }
}

void Uncount(void* p) {
    if (g_counting && p) {
        const std::size_t n = malloc_usable_size(p);
        g_current = n > g_current ? 0 : g_current - n;
    }
}

} // namespace

void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) {
        throw std::bad_alloc();
    }
    Count(p);
    return p;
}
void operator delete(void* p) noexcept {
    Uncount(p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Uncount(p);
    std::free(p);
}

namespace {

// A check reply as the web service sends it, with as many message headers as
// it takes to reach the size.
std::string MakeReply(std::size_t bytes) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
        "<NewMsgsList Status=\"OK\" Unread=\"42\">\r\n  <NextIds>901,902,903</NextIds>\r\n  <Hdrs>\r\n";
    for (int i = 0; xml.size() < bytes - 32; ++i) {
        xml += "    <Hdr MID=\"" + std::to_string(100000 + i) +
               "\" FID=\"1\" Subject=\"Quarterly report, draft " + std::to_string(i) +
               "\" Preview=\"Hi all, attached is the caf\xC3\xA9 menu and the figures for...\">"
               "<From><Addr Name=\"Zo\xC3\xAB M\xC3\xBCller\" "
               "EMail=\"zoe.mueller@example.org\"/></From></Hdr>\r\n";
    }
    xml += "  </Hdrs>\r\n</NewMsgsList>\r\n";
    return xml;
}

void BM_Tokenize(benchmark::State& state) {
    const std::string reply = MakeReply(static_cast<std::size_t>(state.range(0)));

    // Untimed: what one parser holds at its peak, relative to the reply.
    g_current = g_peak = 0;
    g_counting = true;
    {
        nuvex::MXMLParserC counted{reply};
        counted.Parse();
    }
    g_counting = false;
    state.counters["peak_mem_per_input_byte"] =
        static_cast<double>(g_peak) / static_cast<double>(reply.size());
    state.counters["input_bytes"] = static_cast<double>(reply.size());

    nuvex::MXMLParserC parser{reply};
    for (auto _ : state) {
        parser.Parse();
        benchmark::DoNotOptimize(parser.Root.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply.size()));
}
BENCHMARK(BM_Tokenize)->Arg(4 * 1024)->Arg(1024 * 1024)->Repetitions(9)->ReportAggregatesOnly(true);

// A whole check: encoding from the declaration, conversion, parse and reading
// every header the way the connector does.
void BM_ReadReply(benchmark::State& state) {
    const std::string reply = MakeReply(static_cast<std::size_t>(state.range(0)));
    nuvex::SetAnsiCodePage(nuvex::kCodePageUtf8);
    // The charset look-up must not open the user's registry file from a benchmark.
    const auto registry = nuvex::MakeMemoryRegistry();
    nuvex::SetProcessRegistry(registry.get());
    for (auto _ : state) {
        const std::string enc = nuvex::XmlDocAttr(reply, {"?xml"}, 0, "", "encoding");
        nuvex::MXMLParserC parser{nuvex::ToAnsi(reply, nuvex::CharsetToCodePage(enc))};
        parser.Parse();
        std::size_t got = 0;
        nuvex::MXMLTokenC* hdrs = parser.Root->FindPath({"NewMsgsList", "Hdrs"});
        for (nuvex::MXMLTokenC* h = hdrs ? hdrs->FirstChild("Hdr") : nullptr; h; h = hdrs->NextChild()) {
            got +=
                h->GetAttr({}, 0, "", "Subject").size() + h->GetAttr({"From", "Addr"}, 0, "", "EMail").size();
        }
        benchmark::DoNotOptimize(got);
    }
    nuvex::SetProcessRegistry(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply.size()));
}
BENCHMARK(BM_ReadReply)->Arg(4 * 1024)->Arg(1024 * 1024)->Repetitions(9)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
