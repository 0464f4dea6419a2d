// A stop while a check waits on a silent POP3 server: the plug-in process
// ends within two seconds, and a host started again right away gets a fresh
// plug-in instead of one running beside the old.
#include "tests/e2e/e2e_harness.h"
#include "tests/support/line_server.h"

#include <atomic>
#include <poll.h>
#include <sys/socket.h>

namespace nuvex::e2e {
namespace {

// Accepts connections and never says a word; keeps them open until stopped.
class SilentServer {
public:
    SilentServer() {
        fd_ = test::BindLoopback(&port_, 8);
        if (fd_ < 0) {
            return;
        }
        thread_ = std::thread([this] {
            while (!quit_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0) {
                    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) {
                        clients_.push_back(c);
                        ++accepted_;
                    }
                }
            }
        });
    }
    ~SilentServer() {
        quit_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (int c : clients_) {
            ::close(c);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int Port() const { return port_; }
    int Accepted() const { return accepted_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> quit_{false};
    std::atomic<int> accepted_{0};
    std::vector<int> clients_;
    std::thread thread_;
};

class StopDuringCheckTest : public TickingE2eTest {
protected:
    void AddSilentAccount() {
        std::string file = dir_.file("pw");
        std::ofstream(file) << "secret\n";
        Result r = Run({std::string(NUVEX_BINARY_DIR) + "/core/nuvex-account", "add", "--type", "POP3",
                        "--email", "quiet@example.org", "--login", "quiet", "--server", "127.0.0.1", "--port",
                        std::to_string(server_.Port()), "--check-minutes", "1", "--password-file", file});
        ASSERT_EQ(r.code, 0) << r.out << r.err;
        ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);
    }

    SilentServer server_;
};

TEST_F(StopDuringCheckTest, StopEndsThePluginWithinTwoSecondsAndARestartDoesNotOverlap) {
    ASSERT_GT(server_.Port(), 0);
    pid_t host = StartHost();
    ASSERT_TRUE(WaitPluginUp());
    AddSilentAccount();
    // The check is out: connected, waiting for a greeting that never comes.
    ASSERT_TRUE(WaitUntil([this] { return server_.Accepted() > 0; }, 20000));
    pid_t plugin = FindNuvex();
    ASSERT_GT(plugin, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const auto stopped = Clock::now();
    ASSERT_EQ(Ctl({"stop"}).code, 0);
    EXPECT_TRUE(WaitUntil([plugin] { return Ended(plugin); }, 5000, 10));
    EXPECT_LT(Seconds(stopped), 2.0);
    EXPECT_EQ(WaitExitCode(host, 5000), 0);

    // Started again: the plug-in that serves is a new one, the old is gone.
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    EXPECT_TRUE(Ended(plugin));
    EXPECT_NE(FindNuvex(), plugin);
}

} // namespace
} // namespace nuvex::e2e
