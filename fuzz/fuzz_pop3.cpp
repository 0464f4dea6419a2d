// Fuzz target: a POP3 check (TNuvex_Pop3Connector::CheckMail over
// Pop3Client) against a server whose every byte is fuzzed.
//
// The input is the server's side of the conversation as raw bytes; the
// transport below hands them out line by line the way the TCP transport does
// (LF ends a line, one CR before it is dropped, a line beyond the bound
// fails). Two checks run in turn, so the second one sees the marker the first
// stored. A first byte 0x02 makes the host store fail during the first check.
// Small limits let short inputs reach the bounds.
//
// Checked besides memory safety:
//   - the client never sends a line holding CR or LF inside it;
//   - the password is sent only in the PASS command;
//   - at most 21 messages are listed and at most 42 TOP commands sent per check;
//   - counts are never negative after a successful check;
//   - a failed check leaves the marker as it was.
//
// The unit tests replay fuzz/regress/fuzz_pop3 and fuzz/corpus/fuzz_pop3 through
// OneInput with NUVEX_FUZZ_NO_ENTRY set and NUVEX_FUZZ_FAIL reporting to the test.
#include "accounts/generic_connector.h"
#include "accounts/notify.h"
#include "accounts/pop3_client.h"
#include "accounts/pop3_connector.h"
#include "accounts/pop3_transport.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/registry.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#ifndef NUVEX_FUZZ_FAIL
#define NUVEX_FUZZ_FAIL(what) std::abort()
#endif

namespace nuvex::fuzz_pop3 {

constexpr std::string_view kPassword = "s3cret-pw";
constexpr int kMaxTopsPerCheck = 42;

struct Wire {
    std::string_view server; // bytes not yet read by the client
    std::string sent;        // bytes the client wrote
};

class FuzzTransport final : public Pop3Transport {
public:
    explicit FuzzTransport(Wire& wire) : wire_(wire) {}

    void Open(const std::string&, int, bool, const Pop3Limits& limits) override {
        limits_ = limits;
        // The first byte of the remaining input may refuse the connection.
        if (!wire_.server.empty() && wire_.server.front() == '\x01') {
            wire_.server.remove_prefix(1);
            throw TransportError(TransportFailure::Unreachable, "refused");
        }
        open_ = true;
    }

    std::string ReadLine() override {
        if (!open_) {
            throw TransportError(TransportFailure::Reset, "not connected");
        }
        const std::size_t nl = wire_.server.find('\n');
        if (nl == std::string_view::npos) {
            const bool tooLong = wire_.server.size() > limits_.maxLineBytes;
            wire_.server = {};
            open_ = false;
            throw TransportError(tooLong ? TransportFailure::LineTooLong : TransportFailure::Reset,
                                 "end of input");
        }
        std::string line(wire_.server.substr(0, nl));
        wire_.server.remove_prefix(nl + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > limits_.maxLineBytes) {
            throw TransportError(TransportFailure::LineTooLong, "reply line too long");
        }
        return line;
    }

    void Write(std::string_view data) override {
        if (!open_) {
            throw TransportError(TransportFailure::Reset, "not connected");
        }
        wire_.sent.append(data);
    }

    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }

private:
    Wire& wire_;
    Pop3Limits limits_;
    bool open_ = false;
};

inline std::string Settings() {
    TCryptURL record;
    record.SetParam("USERNAME", "alice");
    record.SetParam("EMAIL", "alice@example.org");
    record.SetParam("PASSWORD", kPassword);
    record.SetParam("HOSTNAME", "pop.example.org");
    record.SetParam("PORT", "110");
    record.SetParam("USESSL", "0");
    return record.EncodeParams();
}

// Every command is one line ending CR LF, with no other CR or LF in it, and
// the password goes out in PASS only. Answers the number of TOP commands.
inline int CheckSent(std::string_view sent) {
    int tops = 0;
    std::size_t start = 0;
    while (start < sent.size()) {
        const std::size_t end = sent.find("\r\n", start);
        if (end == std::string_view::npos) {
            NUVEX_FUZZ_FAIL("a command without its line end");
            return tops;
        }
        const std::string_view line = sent.substr(start, end - start);
        if (line.find_first_of("\r\n") != std::string_view::npos) {
            NUVEX_FUZZ_FAIL("a line break inside a command");
        }
        if (line.find(kPassword) != std::string_view::npos && line != "PASS " + std::string(kPassword)) {
            NUVEX_FUZZ_FAIL("the password went out in another command");
        }
        if (line.substr(0, 4) == "TOP ") {
            ++tops;
        }
        start = end + 2;
    }
    return tops;
}

struct Fixture {
    FakeClock clock;
    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    Fixture() {
        SetDefaultClock(&clock);
        SetProcessRegistry(registry.get());
        log::SetSink([](log::Level, std::string_view, std::string_view) {});
    }
};

inline int OneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;

    Wire wire;
    wire.server = std::string_view(reinterpret_cast<const char*>(data), size);
    const bool storeFails = !wire.server.empty() && wire.server.front() == '\x02';
    if (storeFails) {
        wire.server.remove_prefix(1);
    }

    MemoryHostConfig host;
    AccountContext context;
    context.host = &host;
    context.pop3Transport = [&wire]() -> std::unique_ptr<Pop3Transport> {
        return std::make_unique<FuzzTransport>(wire);
    };
    context.pop3Limits.maxLineBytes = 256;
    context.pop3Limits.maxHeaderBytes = 1024;
    context.pop3Limits.maxHeaderLines = 16;
    context.pop3Limits.maxDiscardBytes = 4096;

    auto account = Pop3ConnectorClass().Create(context);
    if (account->LoadSettings(Settings()) != kStatusOk) {
        NUVEX_FUZZ_FAIL("settings did not load");
        return 0;
    }
    account->SetAccountId("Pop3_0");
    auto* pop3 = static_cast<TNuvex_Pop3Connector*>(account.get());

    for (int round = 0; round < 2; ++round) {
        host.failAll = storeFails && round == 0;
        const std::size_t sentBefore = wire.sent.size();
        const std::string markerBefore = host.failAll ? std::string() : *host.ReadCfgStr("LASTID_Pop3_0");
        const int result = pop3->CheckMail();
        host.failAll = false;
        if (pop3->Headers.size() > 21) {
            NUVEX_FUZZ_FAIL("more than 21 messages listed");
        }
        if (result == kStatusOk && pop3->UnreadCount < 0) {
            NUVEX_FUZZ_FAIL("negative count after a successful check");
        }
        if (result != kStatusOk && *host.ReadCfgStr("LASTID_Pop3_0") != markerBefore) {
            NUVEX_FUZZ_FAIL("a failed check moved the marker");
        }
        if (CheckSent(std::string_view(wire.sent).substr(sentBefore)) > kMaxTopsPerCheck) {
            NUVEX_FUZZ_FAIL("more TOP commands than a check may send");
        }
        TNotifyMessages list;
        pop3->AddNotifyItems(list, round == 1);
        std::int32_t code = 0;
        std::string text;
        pop3->TakeLastError(code, text);
        if (text.find(kPassword) != std::string::npos) {
            NUVEX_FUZZ_FAIL("the password in an error text");
        }
    }
    return 0;
}

} // namespace nuvex::fuzz_pop3

#ifndef NUVEX_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return nuvex::fuzz_pop3::OneInput(data, size);
}
#endif
