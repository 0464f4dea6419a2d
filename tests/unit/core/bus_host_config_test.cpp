// The plug-in's client of the host's settings and button interface, against a
// fake host on a private peer link: one that answers, one whose store fails,
// and one that never answers.
#include "contract/names.h"
#include "core/bus_host_config.h"
#include "tests/support/peer_bus.h"
#include "tests/support/temp_dir.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

enum class Mode { Answer, Fail, Hang };

// A host that answers every read with true/1/"v", answers with an error, or
// keeps the call waiting for good.
class FakeHost : public QDBusVirtualObject {
public:
    explicit FakeHost(Mode mode) : mode_(mode) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        ++calls;
        if (mode_ == Mode::Hang) {
            return true; // no reply, ever
        }
        if (mode_ == Mode::Fail) {
            return connection.send(
                message.createErrorReply(QDBusError::Failed, QStringLiteral("disk I/O error")));
        }
        QVariant value = QStringLiteral("v");
        if (message.member().startsWith(QLatin1String("ReadCfgBool"))) {
            value = true;
        } else if (message.member().startsWith(QLatin1String("ReadCfgInt"))) {
            value = 1;
        } else if (!message.member().startsWith(QLatin1String("ReadCfgStr"))) {
            return connection.send(message.createReply());
        }
        return connection.send(message.createReply(value));
    }
    std::atomic<int> calls{0};

private:
    Mode mode_;
};

class BusHostConfigTest : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override {
        BusHostConfig::ForgetHungHost();
        const Mode mode = GetParam();
        peer_ = std::make_unique<test::PeerBus>(dir_.path(), [this, mode](QDBusConnection& conn) {
            // Made on the serving thread: the host answers there, as a separate process would.
            host_ = new FakeHost(mode);
            conn.registerVirtualObject(bus::kServerPath, host_);
        });
        config_ = std::make_unique<BusHostConfig>(
            peer_->Client(), QString(), [] { return true; }, QStringLiteral("MAIL"));
    }
    void TearDown() override {
        config_.reset();
        peer_.reset();
        delete host_.load();
        BusHostConfig::ForgetHungHost();
    }

    int Calls() const { return host_ ? host_.load()->calls.load() : 0; }

    test::TempDir dir_;
    std::atomic<FakeHost*> host_{nullptr};
    std::unique_ptr<test::PeerBus> peer_;
    std::unique_ptr<BusHostConfig> config_;
};

TEST_P(BusHostConfigTest, AFailedOrUnansweredReadIsNoValue) {
    const bool answers = GetParam() == Mode::Answer;
    auto b = config_->ReadCfgBool("MAIL_ALL");
    auto i = config_->ReadCfgInt("ACHECK");
    auto s = config_->ReadCfgStr("ACCOUNTS");
    EXPECT_EQ(b.has_value(), answers);
    EXPECT_EQ(i.has_value(), answers);
    EXPECT_EQ(s.has_value(), answers);
    if (answers && b && i && s) {
        EXPECT_TRUE(*b);
        EXPECT_EQ(*i, 1);
        EXPECT_EQ(*s, "v");
    }
    EXPECT_EQ(config_->WriteCfgStr("K", "v"), answers);
    EXPECT_EQ(config_->WriteCfgBatch({{"A", true}, {"B", std::string("x")}, {"C", {}}}), answers);
}

// A host that stops answering once held the plug-in's GUI thread for the
// full time-out on every call, several calls a tick: menus and the
// notification window froze for most of each minute.
TEST_P(BusHostConfigTest, AHungHostHoldsTheCallerOnceNotOnEveryCall) {
    int timerTicks = 0;
    QTimer other;
    QObject::connect(&other, &QTimer::timeout, [&] { ++timerTicks; });
    other.start(50);
    // A "tick" of the plug-in: six host calls every 500 ms for 4 seconds.
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        config_->ReadCfgBool("MAIL_ALL");
        config_->SetButtonCaption(QStringLiteral("1"), QStringLiteral("Mail"), QStringLiteral("2"));
        config_->SetButtonHint(QStringLiteral("1"), QStringLiteral("Mail"), QStringLiteral("hint"));
        config_->ReadCfgStr("ACCOUNTS");
        config_->ReadCfgStr("MENU");
        config_->SetButtonMenu(QStringLiteral("Mail"), QStringLiteral("a=b"));
    });
    tick.start(500);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 4000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    // 80 ticks of the other timer at best; at most one call waited its full time-out.
    EXPECT_GE(timerTicks, 40) << "calls to the host reached it " << Calls() << " times";
    if (GetParam() == Mode::Hang) {
        EXPECT_LE(Calls(), 2);
        EXPECT_TRUE(BusHostConfig::HostSeemsHung());
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, BusHostConfigTest, ::testing::Values(Mode::Answer, Mode::Fail, Mode::Hang),
                         [](const auto& info) {
                             return std::string(info.param == Mode::Answer ? "Answering"
                                                : info.param == Mode::Fail ? "Failing"
                                                                           : "Hung");
                         });

} // namespace
} // namespace nuvex

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
