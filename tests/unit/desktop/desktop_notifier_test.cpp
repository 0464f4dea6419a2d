// The desktop notifier against a notification server of the test's own on a
// private session bus: what each call carries, replacing, closing, actions,
// do not disturb, and who plays the sound.
#include "ui/desktop_notifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace nuvex {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// Answers as a notification server would and keeps every Notify it gets.
class FakeServer : public QDBusVirtualObject {
public:
    QStringList capabilities;
    bool inhibited = false;
    QList<QList<QVariant>> notified; // the arguments of each Notify
    QList<uint> closed;
    uint nextId = 40;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
        QDBusMessage reply;
        if (m.member() == QStringLiteral("Get")) {
            reply = m.createReply(QVariant::fromValue(QDBusVariant(inhibited)));
        } else if (m.member() == QStringLiteral("GetCapabilities")) {
            reply = m.createReply(capabilities);
        } else if (m.member() == QStringLiteral("Notify")) {
            notified << m.arguments();
            const uint replaces = m.arguments().value(1).toUInt();
            reply = m.createReply(replaces != 0 ? replaces : nextId++);
        } else if (m.member() == QStringLiteral("CloseNotification")) {
            closed << m.arguments().value(0).toUInt();
            reply = m.createReply();
        } else {
            return false;
        }
        return c.send(reply);
    }
};

class DesktopNotifierTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "desktop_notifier_test";
        static char* argv[] = {name, nullptr};
        app_ = new QCoreApplication(argc, argv);
    }

    void SetUp() override {
        ASSERT_TRUE(serverBus_.isConnected()) << "the test needs a private session bus (dbus-run-session)";
        ASSERT_TRUE(serverBus_.registerVirtualObject(kPath, &server_));
        ASSERT_TRUE(serverBus_.registerService(kService));
        notifier_ =
            std::make_unique<TDesktopNotifier>(QDBusConnection::sessionBus(), [this] { ++ourSounds_; });
        QObject::connect(
            notifier_.get(), &TDesktopNotifier::ActionRequested,
            [this](const QString& account, const QString& action) { actions_ << account + u':' + action; });
    }
    void TearDown() override {
        notifier_.reset();
        serverBus_.unregisterService(kService);
        serverBus_.unregisterObject(kPath);
    }

    TDesktopNotifier::News News(const QString& account, int count) const {
        TDesktopNotifier::News n;
        n.accountId = account;
        n.accountName = QStringLiteral("Work");
        n.count = count;
        n.sender = QStringLiteral("Ann <ann@example.org>");
        n.subject = QStringLiteral("Fish & <b>chips</b>");
        n.sound = true;
        return n;
    }
    bool WaitForNotifies(int n) {
        return QTest::qWaitFor([&] { return server_.notified.size() >= n; }, 5000);
    }
    void Invoke(uint id, const QString& action) {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kService, QStringLiteral("ActionInvoked"));
        signal << id << action;
        serverBus_.send(signal);
    }

    static QCoreApplication* app_;
    QDBusConnection serverBus_ =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("server"));
    FakeServer server_;
    std::unique_ptr<TDesktopNotifier> notifier_;
    int ourSounds_ = 0;
    QStringList actions_;
};
QCoreApplication* DesktopNotifierTest::app_ = nullptr;

TEST_F(DesktopNotifierTest, OneReplacedNotificationPerAccountWithEscapedMarkupActionsAndTheServersSound) {
    server_.capabilities = {QStringLiteral("actions"), QStringLiteral("body-markup"),
                            QStringLiteral("sound")};
    EXPECT_TRUE(QTest::qWaitFor([&] { return notifier_->Available(); }, 5000));
    notifier_->Announce(News(QStringLiteral("POP3_1"), 3));
    ASSERT_TRUE(WaitForNotifies(1));
    const QList<QVariant> first = server_.notified[0];
    EXPECT_EQ(first[1].toUInt(), 0u);
    EXPECT_EQ(first[2].toString(), QStringLiteral("mail-unread"));
    EXPECT_EQ(first[3].toString(), QStringLiteral("3 new messages — Work"));
    EXPECT_EQ(first[4].toString(),
              QStringLiteral("<b>Ann &lt;ann@example.org&gt;</b>\nFish &amp; &lt;b&gt;chips&lt;/b&gt;"));
    EXPECT_EQ(first[5].toStringList(), (QStringList{"default", "Open", "check-now", "Check now"}));
    const QVariantMap hints = qdbus_cast<QVariantMap>(first[6]);
    EXPECT_EQ(hints.value(QStringLiteral("category")).toString(), QStringLiteral("email.arrived"));
    EXPECT_EQ(hints.value(QStringLiteral("sound-name")).toString(), QStringLiteral("message-new-email"));
    EXPECT_EQ(ourSounds_, 0) << "the server plays the sound; never twice";

    notifier_->Announce(News(QStringLiteral("POP3_1"), 4));
    notifier_->Announce(News(QStringLiteral("IMAP_0"), 1));
    ASSERT_TRUE(WaitForNotifies(3));
    EXPECT_EQ(server_.notified[1][1].toUInt(), 40u) << "the account's later news replaces its notification";
    EXPECT_EQ(server_.notified[2][1].toUInt(), 0u) << "another account gets one of its own";

    Invoke(40, QStringLiteral("check-now"));
    Invoke(99, QStringLiteral("default")); // not ours
    EXPECT_TRUE(QTest::qWaitFor([&] { return !actions_.isEmpty(); }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(actions_, QStringList{QStringLiteral("POP3_1:check-now")});

    notifier_->Close(QStringLiteral("POP3_1"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !server_.closed.isEmpty(); }, 5000));
    EXPECT_EQ(server_.closed, QList<uint>{40u});
}

TEST_F(DesktopNotifierTest, PlainServerGetsPlainTextNoActionsAndOurSound) {
    notifier_->Announce(News(QStringLiteral("POP3_1"), 1));
    ASSERT_TRUE(WaitForNotifies(1));
    EXPECT_EQ(server_.notified[0][3].toString(), QStringLiteral("1 new message — Work"));
    EXPECT_EQ(server_.notified[0][4].toString(),
              QStringLiteral("Ann <ann@example.org>\nFish & <b>chips</b>"));
    EXPECT_TRUE(server_.notified[0][5].toStringList().isEmpty());
    EXPECT_FALSE(qdbus_cast<QVariantMap>(server_.notified[0][6]).contains(QStringLiteral("sound-name")));
    EXPECT_EQ(ourSounds_, 1);
}

TEST_F(DesktopNotifierTest, DoNotDisturbShowsAndSoundsNothing) {
    server_.inhibited = true;
    notifier_->Announce(News(QStringLiteral("POP3_1"), 2));
    QTest::qWait(300);
    EXPECT_TRUE(server_.notified.isEmpty());
    EXPECT_EQ(ourSounds_, 0);
}

} // namespace
} // namespace nuvex
