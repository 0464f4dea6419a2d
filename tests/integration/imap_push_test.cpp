// Push against a private dovecot: a delivery while in IDLE is reported at
// once, flags stay untouched, and a stop with many connections is quick.
#include "accounts/imap_idle_watcher.h"
#include "lib/registry.h"
#include "tests/support/dovecot_harness.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace nuvex {
namespace {

using Clock = std::chrono::steady_clock;

class ImapPushTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = test::DovecotHarness::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        dovecot.AddUser("alice", "wonder land");
        dovecot.EnableImap();
        std::string error;
        ASSERT_TRUE(dovecot.Start(error)) << error;
        setenv("SSL_CERT_FILE", dovecot.CaFile().c_str(), 1);
        context.pop3Limits.connectTimeoutMs = 5000;
        context.pop3Limits.readTimeoutMs = 10000;
    }
    void TearDown() override { unsetenv("SSL_CERT_FILE"); }

    ImapIdleTarget Target(const std::string& id, ImapSecurity security = ImapSecurity::None) {
        return {id,
                test::DovecotHarness::kCertHost,
                security == ImapSecurity::Tls ? dovecot.ImapsPort() : dovecot.ImapPort(),
                security,
                "alice",
                "wonder land",
                "INBOX"};
    }

    static bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds within) {
        const auto until = Clock::now() + within;
        while (!done()) {
            if (Clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    test::DovecotHarness dovecot;
    AccountContext context;
    std::mutex mutex;
    std::vector<std::string> news;
};

TEST_F(ImapPushTest, DeliveryWhileIdlingIsReportedAtOnceAndLeavesMailUnseen) {
    ImapIdleWatcher watcher(context, [this](const std::string& id) {
        std::lock_guard lock(mutex);
        news.push_back(id);
    });
    watcher.SetTargets({Target("Imap_0", ImapSecurity::StartTls), Target("Imap_1", ImapSecurity::Tls)});
    ASSERT_TRUE(WaitFor([&] { return watcher.Idling() == 2; }, std::chrono::seconds(20))) << dovecot.Log();

    const auto delivered = Clock::now();
    dovecot.Deliver("alice", 1, 1);
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard lock(mutex);
            return news.size() >= 2;
        },
        std::chrono::seconds(5)));
    // dovecot itself tells an idling client about half a second after a delivery.
    EXPECT_LT(Clock::now() - delivered, std::chrono::seconds(3));
    EXPECT_EQ(dovecot.UnseenCount("alice"), 1);

    // A connection the server ends comes back on its own.
    watcher.Reopen();
    ASSERT_TRUE(WaitFor([&] { return watcher.Idling() == 2; }, std::chrono::seconds(20)));
    watcher.SetTargets({Target("Imap_1", ImapSecurity::Tls)});
    ASSERT_TRUE(WaitFor([&] { return watcher.Idling() == 1; }, std::chrono::seconds(5)));
}

TEST_F(ImapPushTest, StopWithFiftyConnectionsInIdleIsQuick) {
    ImapIdleWatcher watcher(context, {});
    std::vector<ImapIdleTarget> targets;
    for (int i = 0; i < 50; ++i) {
        targets.push_back(Target("Imap_" + std::to_string(i)));
    }
    watcher.SetTargets(targets);
    ASSERT_TRUE(WaitFor([&] { return watcher.Idling() == 50; }, std::chrono::seconds(60))) << dovecot.Log();
    const auto start = Clock::now();
    watcher.Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

} // namespace
} // namespace nuvex
