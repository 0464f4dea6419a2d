// Servers that misbehave on purpose: every check ends with an error class
// within its (shortened) time-out, and the tick goes on to the next account.
#include "accounts/account_list.h"
#include "accounts/check_cycle.h"
#include "accounts/pop3_connector.h"
#include "accounts/pop3_transport.h"
#include "accounts/webvault_connector.h"
#include "lib/clock.h"
#include "lib/stop_signal.h"
#include "tests/support/account_fixture.h"
#include "tests/support/line_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace nuvex {
namespace {

enum class Behaviour { Good, Silent, EndlessLine, Drip, Garbage, HugeHeader, ResetAfterLogin, Mute };

// One loopback listener answering every connection the same way.
class HostileServer {
public:
    explicit HostileServer(Behaviour behaviour)
        : server_([behaviour](test::LineServer::Peer& peer) { Handle(behaviour, peer); }) {}
    int Port() const { return server_.Port(); }

private:
    static void Login(test::LineServer::Peer& peer) {
        std::string line;
        peer.Send("+OK hello\r\n");
        peer.Receive(line);
        peer.Send("+OK\r\n");
        peer.Receive(line);
        peer.Send("+OK in\r\n");
    }
    static void Handle(Behaviour behaviour, test::LineServer::Peer& peer) {
        std::string line;
        switch (behaviour) {
        case Behaviour::Good:
            Login(peer);
            peer.Receive(line); // STAT
            peer.Send("+OK 1 100\r\n");
            peer.Receive(line); // UIDL
            peer.Send("+OK\r\n1 good-1\r\n.\r\n");
            peer.Receive(line); // TOP 1 0
            peer.Send("+OK\r\nFrom: good@example.org\r\nSubject: fine\r\n.\r\n");
            peer.Receive(line); // QUIT
            peer.Send("+OK\r\n");
            break;
        case Behaviour::Silent:
            while (peer.Receive(line)) {
            }
            break;
        case Behaviour::EndlessLine:
            peer.Send("+OK ");
            while (peer.Send(std::string(4096, 'A'))) {
            }
            break;
        case Behaviour::Drip:
            // A byte every 200 ms: each read sees data, the line never ends.
            peer.Send("+OK");
            while (peer.Send("x")) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            break;
        case Behaviour::Garbage: {
            static const char junk[] = "\x16\x03\x01\x00\xff garbage \x00\x01\r\n";
            peer.Send(std::string(junk, sizeof junk - 1));
            peer.Receive(line);
            break;
        }
        case Behaviour::HugeHeader:
            Login(peer);
            peer.Receive(line);
            peer.Send("+OK 1 100\r\n");
            peer.Receive(line);
            peer.Send("+OK\r\n");
            while (peer.Send("X-Filler: " + std::string(200, 'y') + "\r\n")) {
            }
            break;
        case Behaviour::Mute:
            // Reads whatever comes (a TLS hello included) and never answers.
            peer.Drain();
            break;
        case Behaviour::ResetAfterLogin: {
            Login(peer);
            linger hard{1, 0};
            ::setsockopt(peer.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            break;
        }
        }
    }

    test::LineServer server_;
};

class Pop3ServerTest : public test::AccountTest {
protected:
    void SetUp() override {
        AccountTest::SetUp();
        ShortTimeouts();
        context.pop3Limits.maxLineBytes = 16 * 1024;
        context.pop3Limits.maxDiscardBytes = 1024 * 1024;
    }

    std::unique_ptr<TNuvex_GenericConnector> Account(int port, const std::string& id,
                                                     const std::string& server = "127.0.0.1") {
        TAccountFields f;
        f.userName = "u";
        f.email = id + "@example.org";
        TPop3Fields p;
        p.password = "p";
        p.hostName = server;
        p.port = port;
        AddPop3TypeKeys(f, p);
        return Load(Pop3ConnectorClass(), f, id);
    }
};

class Pop3HostileTest : public Pop3ServerTest,
                        public ::testing::WithParamInterface<std::pair<Behaviour, std::int32_t>> {};

TEST_P(Pop3HostileTest, CheckEndsWithAnErrorClassInTimeAndTheNextAccountIsChecked) {
    auto [behaviour, expected] = GetParam();
    HostileServer hostile(behaviour);
    HostileServer good(Behaviour::Good);
    TAccountList list;
    list.AddAccount(Account(hostile.Port(), "Pop3_0"));
    list.AddAccount(Account(good.Port(), "Pop3_1"));
    TCheckCycle cycle(list);

    auto start = std::chrono::steady_clock::now();
    TickResult r = cycle.Tick(TickSettings{}, {});
    auto elapsed = std::chrono::steady_clock::now() - start;

    // Read time-outs of 1 s, a total of 5 s: well under 8 s, whatever the server does.
    EXPECT_LT(elapsed, nuvex::test::Scaled(std::chrono::seconds(8)));
    ASSERT_EQ(r.errors.Count(), 1);
    EXPECT_EQ(r.errors.Item(0).AccountRef, "Pop3_0");
    // A server that stops answering is told as such; a reset is the network's.
    const bool silence = behaviour == Behaviour::Silent || behaviour == Behaviour::Drip;
    EXPECT_EQ(r.errors.Item(0).Detail.substr(0, 10), expected == kErrorOther ? std::string("Unknown er")
                                                     : silence               ? std::string("The server")
                                                                             : std::string("Server is "));
    EXPECT_FALSE(host.Has("LASTID_Pop3_0"));
    EXPECT_EQ(r.totalNew, 1); // the good account behind it
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_1"), "1");
}

INSTANTIATE_TEST_SUITE_P(Servers, Pop3HostileTest,
                         ::testing::Values(std::make_pair(Behaviour::Silent, kErrorUnreachable),
                                           std::make_pair(Behaviour::EndlessLine, kErrorOther),
                                           std::make_pair(Behaviour::Drip, kErrorUnreachable),
                                           std::make_pair(Behaviour::Garbage, kErrorOther),
                                           std::make_pair(Behaviour::HugeHeader, kErrorOther),
                                           std::make_pair(Behaviour::ResetAfterLogin, kErrorUnreachable)),
                         [](const auto& info) {
                             switch (info.param.first) {
                             case Behaviour::Silent:
                                 return std::string("Silent");
                             case Behaviour::EndlessLine:
                                 return std::string("EndlessLine");
                             case Behaviour::Drip:
                                 return std::string("Drip");
                             case Behaviour::Garbage:
                                 return std::string("Garbage");
                             case Behaviour::HugeHeader:
                                 return std::string("HugeHeader");
                             case Behaviour::ResetAfterLogin:
                                 return std::string("ResetAfterLogin");
                             case Behaviour::Good:
                             case Behaviour::Mute:
                                 break;
                             }
                             return std::string("Good");
                         });

// A loopback port nothing listens on.
int ClosedPort() {
    int port = 0;
    ::close(test::BindLoopback(&port));
    return port;
}

// A server that gives no answer is told by its cause, over POP3 and over
// HTTP alike. The class stays 1 (shown at most hourly); only the words change.
TEST_F(Pop3ServerTest, NoAnswerIsToldByItsCause) {
    HostileServer mute(Behaviour::Mute);
    const struct {
        const char* name;
        std::string server;
        int port;
        std::string says;
    } rows[] = {
        {"closed port", "127.0.0.1", ClosedPort(), "The server 127.0.0.1 refused the connection."},
        {"no such name", "nosuch.invalid", 110, "No server named nosuch.invalid was found."},
        {"silent server", "127.0.0.1", mute.Port(), "The server 127.0.0.1 did not answer in time."},
    };
    for (const auto& row : rows) {
        for (const bool web : {false, true}) {
            std::unique_ptr<TNuvex_GenericConnector> account;
            if (web) {
                host.WriteCfgStr("WEBVAULT_SERVICE_URL",
                                 "http://" + row.server + ":" + std::to_string(row.port) + "/wmcheck.asmx");
                account = WebvaultConnectorClass().Create(context);
                auto& w = dynamic_cast<TNuvex_WebvaultConnector&>(*account);
                w.SetAccountId("WEBVAULT_0");
                w.UserName = w.Email = "u@example.org";
                w.Password = "p";
                w.Limits.connectTimeoutMs = w.Limits.readTimeoutMs = 1000;
            } else {
                account = Account(row.port, "Pop3_0", row.server);
            }
            account->BeginCheck();
            EXPECT_NE(account->CheckMail(), kStatusOk);
            std::int32_t code = kErrorNone;
            std::string text;
            account->TakeLastError(code, text);
            EXPECT_EQ(code, kErrorUnreachable) << row.name << (web ? " over HTTP" : " over POP3");
            EXPECT_EQ(text.substr(0, text.find("\r\n")), row.says)
                << row.name << (web ? " over HTTP" : " over POP3");
        }
    }
}

SocketAddress Loopback(int port) {
    SocketAddress a;
    auto* in = reinterpret_cast<sockaddr_in*>(&a.storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in->sin_port = htons(static_cast<std::uint16_t>(port));
    a.length = sizeof(sockaddr_in);
    return a;
}

// A listener whose accept queue is full: the kernel drops further SYNs, so a
// connect to it hangs as one to an address whose packets are dropped does.
class BlackHole {
public:
    BlackHole() {
        listen_ = test::BindLoopback(&port_, 0);
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const SocketAddress a = Loopback(port_);
        ::connect(filler_, reinterpret_cast<const sockaddr*>(&a.storage), a.length);
    }
    ~BlackHole() {
        ::close(filler_);
        ::close(listen_);
    }
    SocketAddress Address() const { return Loopback(port_); }

private:
    int listen_ = -1;
    int filler_ = -1;
    int port_ = 0;
};

class Pop3TransportTest : public Pop3ServerTest {
protected:
    // The real TCP transport with a fixed address list instead of the resolver.
    void UseAddresses(std::vector<SocketAddress> addresses, const StopSignal* stop = nullptr) {
        context.pop3Transport = [addresses, stop] {
            return MakeTcpPop3Transport(
                stop, [addresses](const std::string&, int, int, const StopSignal*) { return addresses; });
        };
    }
};

TEST_F(Pop3TransportTest, FirstAddressThatNeverAnswersLeavesTimeForTheNext) {
    BlackHole hole;
    HostileServer good(Behaviour::Good);
    context.pop3Limits.connectTimeoutMs = 3000;
    UseAddresses({hole.Address(), Loopback(good.Port())});
    auto account = Account(good.Port(), "Pop3_0");

    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(account->NewCount, 1);
    // Half of the connect time for each of the two addresses, not all of it for the first.
    EXPECT_GT(elapsed, std::chrono::milliseconds(1200));
    EXPECT_LT(elapsed, nuvex::test::Scaled(std::chrono::milliseconds(2500)));
}

enum class StopPhase { Connect, TlsHandshake, Read };

class Pop3StopTest : public Pop3TransportTest, public ::testing::WithParamInterface<StopPhase> {};

TEST_P(Pop3StopTest, RaisedStopEndsTheCheckAtOnceWithoutAnErrorOrAMarker) {
    BlackHole hole;
    HostileServer mute(Behaviour::Mute);
    StopSignal stop;
    // Time-outs far beyond the assertion: only the stop can end the check in time.
    context.pop3Limits.connectTimeoutMs = 30'000;
    context.pop3Limits.readTimeoutMs = 30'000;
    context.pop3Limits.totalTimeoutMs = 60'000;
    UseAddresses({GetParam() == StopPhase::Connect ? hole.Address() : Loopback(mute.Port())}, &stop);
    TAccountFields f;
    f.userName = "u";
    f.email = "u@example.org";
    TPop3Fields p;
    p.password = "p";
    p.hostName = "127.0.0.1";
    p.port = mute.Port();
    p.useSsl = GetParam() == StopPhase::TlsHandshake;
    AddPop3TypeKeys(f, p);
    auto account = Load(Pop3ConnectorClass(), f, "Pop3_0");

    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop.Raise();
    });
    auto start = std::chrono::steady_clock::now();
    int result = account->CheckMail();
    auto elapsed = std::chrono::steady_clock::now() - start;
    stopper.join();

    EXPECT_NE(result, kStatusOk);
    EXPECT_LT(elapsed, nuvex::test::Scaled(std::chrono::seconds(1)));
    std::int32_t code = -1;
    std::string text;
    account->TakeLastError(code, text);
    EXPECT_EQ(code, kErrorNone); // nothing to report: the plug-in is stopping
    EXPECT_FALSE(host.Has("LASTID_Pop3_0"));
}

INSTANTIATE_TEST_SUITE_P(Phases, Pop3StopTest,
                         ::testing::Values(StopPhase::Connect, StopPhase::TlsHandshake, StopPhase::Read),
                         [](const auto& info) {
                             switch (info.param) {
                             case StopPhase::Connect:
                                 return std::string("Connect");
                             case StopPhase::TlsHandshake:
                                 return std::string("TlsHandshake");
                             case StopPhase::Read:
                                 break;
                             }
                             return std::string("Read");
                         });

} // namespace
} // namespace nuvex
