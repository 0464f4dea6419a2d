// Servers that misbehave on purpose: every check ends with an error class
// within its (shortened) time-out, and the tick goes on to the next account.
#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/check_cycle.h"
#include "accounts/pop3_connector.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/temp_dir.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace nuvex {
namespace {

enum class Behaviour { Good, Silent, EndlessLine, Drip, Garbage, HugeHeader, ResetAfterLogin };

// One loopback listener on port 0 answering every connection the same way.
class HostileServer {
public:
    explicit HostileServer(Behaviour behaviour) : behaviour_(behaviour) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listen_, 8);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~HostileServer() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    int Port() const { return port_; }

private:
    bool Send(int fd, const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size() && !stop_) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return !stop_;
    }
    // One command line from the client, or empty when it went away.
    std::string Receive(int fd) {
        std::string line;
        char c;
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            if (::recv(fd, &c, 1, 0) != 1) {
                return {};
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
        return {};
    }
    void Login(int fd) {
        Send(fd, "+OK hello\r\n");
        Receive(fd);
        Send(fd, "+OK\r\n");
        Receive(fd);
        Send(fd, "+OK in\r\n");
    }
    void Handle(int fd) {
        switch (behaviour_) {
        case Behaviour::Good:
            Login(fd);
            Receive(fd); // STAT
            Send(fd, "+OK 1 100\r\n");
            Receive(fd); // TOP 1 0
            Send(fd, "+OK\r\nFrom: good@example.org\r\nSubject: fine\r\n.\r\n");
            Receive(fd); // QUIT
            Send(fd, "+OK\r\n");
            break;
        case Behaviour::Silent:
            while (!stop_ && !Receive(fd).empty()) {
            }
            break;
        case Behaviour::EndlessLine:
            Send(fd, "+OK ");
            while (Send(fd, std::string(4096, 'A'))) {
            }
            break;
        case Behaviour::Drip:
            // A byte every 200 ms: each read sees data, the line never ends.
            Send(fd, "+OK");
            while (!stop_ && Send(fd, "x")) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            break;
        case Behaviour::Garbage: {
            static const char junk[] = "\x16\x03\x01\x00\xff garbage \x00\x01\r\n";
            Send(fd, std::string(junk, sizeof junk - 1));
            Receive(fd);
            break;
        }
        case Behaviour::HugeHeader:
            Login(fd);
            Receive(fd);
            Send(fd, "+OK 1 100\r\n");
            Receive(fd);
            Send(fd, "+OK\r\n");
            while (Send(fd, "X-Filler: " + std::string(200, 'y') + "\r\n")) {
            }
            break;
        case Behaviour::ResetAfterLogin: {
            Login(fd);
            linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            break;
        }
        }
    }
    void Serve() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                continue;
            }
            Handle(fd);
            ::close(fd);
        }
    }

    Behaviour behaviour_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Pop3HostileTest : public ::testing::TestWithParam<std::pair<Behaviour, std::int32_t>> {
protected:
    void SetUp() override {
        SetProcessRegistry(registry.get());
        context.host = &host;
        context.pop3Limits.connectTimeoutMs = 1000;
        context.pop3Limits.readTimeoutMs = 1000;
        context.pop3Limits.totalTimeoutMs = 5000;
        context.pop3Limits.maxLineBytes = 16 * 1024;
        context.pop3Limits.maxDiscardBytes = 1024 * 1024;
    }
    void TearDown() override { SetProcessRegistry(nullptr); }

    std::unique_ptr<TNuvex_GenericConnector> Account(int port, const std::string& id) {
        TAccountFields f;
        f.userName = "u";
        f.email = id + "@example.org";
        TPop3Fields p;
        p.password = "p";
        p.hostName = "127.0.0.1";
        p.port = port;
        AddPop3TypeKeys(f, p);
        auto account = Pop3ConnectorClass().Create(context);
        EXPECT_EQ(account->LoadSettings(BuildSettingsText(f)), kStatusOk);
        account->SetAccountId(id);
        return account;
    }

    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    MemoryHostConfig host;
    AccountContext context;
};

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
    EXPECT_LT(elapsed, std::chrono::seconds(8));
    ASSERT_EQ(r.errors.Count(), 1);
    EXPECT_EQ(r.errors.Item(0).AccountRef, "Pop3_0");
    EXPECT_EQ(r.errors.Item(0).Detail.substr(0, 10),
              (expected == kErrorUnreachable ? std::string("Server is ") : std::string("Unknown er")));
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
                                 break;
                             }
                             return std::string("Good");
                         });

} // namespace
} // namespace nuvex
