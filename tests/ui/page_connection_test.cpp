// The POP3 page's login test against a private dovecot and a silent port:
// it runs off the GUI thread, shows it is busy, can be cancelled, and says in
// words what went wrong; the password never reaches a log line.
#include "accounts/pop3_connector.h"
#include "lib/log.h"
#include "lib/registry.h"
#include "tests/support/dovecot_harness.h"
#include "tests/support/line_server.h"
#include "tests/support/time_scale.h"
#include "tests/ui/ui_test_support.h"
#include "ui/connection_test.h"
#include "ui/page_pop3.h"
#include "ui/vostrel_win.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QTest>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace nuvex {
namespace {

using test::QtEnvironment;
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr const char* kPassword = "wonder land";

// Everything logged while a test runs, from any thread.
std::mutex g_logMutex;
std::string g_logged;
void KeepLog(log::Level, std::string_view area, std::string_view text) {
    std::lock_guard lock(g_logMutex);
    g_logged.append(area).append(": ").append(text).append("\n");
}
void KeepQtLog(QtMsgType, const QMessageLogContext&, const QString& text) {
    std::lock_guard lock(g_logMutex);
    g_logged.append(text.toStdString()).append("\n");
}

// A loopback port that takes connections and never says a word.
class SilentPort {
public:
    SilentPort() { fd_ = test::BindLoopback(&port_, 4); }
    ~SilentPort() { ::close(fd_); }
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

class PageConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_logged.clear();
        log::SetSink(KeepLog);
        previousHandler = qInstallMessageHandler(KeepQtLog);
        form.resize(570, 350);
        form.setFont(UiFontPixels("Tahoma", 11)); // the wizard's font
        container = new QWidget(&form);
        container->setGeometry(0, 0, 570, 350);
        page = std::make_unique<TPop3Basic>(container);
        page->AccountClass = &Pop3ConnectorClass();
        page->Context.registry = registry.get();
        page->Context.pop3Limits.connectTimeoutMs = nuvex::test::ScaledMs(5000);
        page->Context.pop3Limits.readTimeoutMs = nuvex::test::ScaledMs(10000);
        page->BuildPage(false);
        page->ReadSettingsText("");
        page->SettingsToControls();
        // The wizard grows with the page's minimum size.
        form.resize(form.size().expandedTo(page->PagePanel->minimumSize()));
        container->resize(form.size());
        page->ShowTestResult = [this](bool passed, const QString& text) {
            boxes++;
            boxPassed = passed;
            boxText = text;
        };
        form.show();
    }
    void TearDown() override {
        page.reset();
        qInstallMessageHandler(previousHandler);
        log::SetSink(nullptr);
        unsetenv("SSL_CERT_FILE");
        EXPECT_EQ(g_logged.find(kPassword), std::string::npos) << g_logged;
    }

    void Fill(const QString& server, int port, bool ssl,
              const QString& password = QString::fromLatin1(kPassword)) {
        page->EmailBox->setText(QStringLiteral("alice@example.org"));
        page->LoginBox->setText(QStringLiteral("alice"));
        page->PasswordBox->setText(password);
        page->ServerBox->setText(server);
        page->Port = std::to_string(port);
        page->UseSsl = ssl;
    }
    QPushButton* TestButton() {
        return page->PagePanel->findChild<QPushButton*>(QStringLiteral("TestButton"));
    }
    QPushButton* CancelButton() {
        return page->PagePanel->findChild<QPushButton*>(QStringLiteral("CancelTestButton"));
    }
    // Clicks the test button and waits for the result box.
    bool RunTest(int waitMs = 30000) {
        QTest::mouseClick(TestButton(), Qt::LeftButton);
        return QTest::qWaitFor([this] { return !page->TestRunning(); }, nuvex::test::ScaledMs(waitMs));
    }

    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    QWidget form;
    QWidget* container = nullptr;
    std::unique_ptr<TPop3Basic> page;
    QtMessageHandler previousHandler = nullptr;
    int boxes = 0;
    bool boxPassed = false;
    QString boxText;
};

class PageDovecotTest : public PageConnectionTest {
protected:
    void SetUp() override {
        std::string why = test::DovecotHarness::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        PageConnectionTest::SetUp();
        dovecot.AddUser("alice", kPassword);
        std::string error;
        ASSERT_TRUE(dovecot.Start(error)) << error;
    }
    test::DovecotHarness dovecot;
};

TEST_F(PageDovecotTest, TheRightPasswordPasses) {
    Fill(QStringLiteral("127.0.0.1"), dovecot.Pop3Port(), false);
    ASSERT_TRUE(RunTest());
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(boxPassed) << boxText.toStdString() << dovecot.Log();
    EXPECT_EQ(boxText, QStringLiteral("Connection Test Passed"));
    EXPECT_TRUE(TestButton()->isEnabled());
}

TEST_F(PageDovecotTest, AWrongPasswordIsNamedAsARefusedLogin) {
    Fill(QStringLiteral("127.0.0.1"), dovecot.Pop3Port(), false, QStringLiteral("not the password"));
    ASSERT_TRUE(RunTest());
    EXPECT_FALSE(boxPassed);
    EXPECT_TRUE(boxText.startsWith(QStringLiteral("Connection Test Failed"))) << boxText.toStdString();
    EXPECT_TRUE(boxText.contains(QStringLiteral("127.0.0.1:%1 refused the login").arg(dovecot.Pop3Port())))
        << boxText.toStdString();
    EXPECT_EQ(g_logged.find("not the password"), std::string::npos) << g_logged;
}

TEST_F(PageDovecotTest, TlsWithTheTestCaPassesAndWithoutItIsUntrusted) {
    setenv("SSL_CERT_FILE", dovecot.CaFile().c_str(), 1);
    Fill(QString::fromLatin1(test::DovecotHarness::kCertHost), dovecot.Pop3sPort(), true);
    ASSERT_TRUE(RunTest());
    EXPECT_TRUE(boxPassed) << boxText.toStdString() << dovecot.Log();

    setenv("SSL_CERT_FILE", dovecot.OtherCaFile().c_str(), 1);
    ASSERT_TRUE(RunTest());
    EXPECT_FALSE(boxPassed);
    EXPECT_TRUE(boxText.contains(QStringLiteral("certificate"))) << boxText.toStdString();
}

TEST_F(PageConnectionTest, ASilentServerIsNamedWithTheTimeItWasGiven) {
    SilentPort silent;
    page->Context.pop3Limits.readTimeoutMs = 2000;
    Fill(QStringLiteral("127.0.0.1"), silent.Port(), false);
    QTest::mouseClick(TestButton(), Qt::LeftButton);
    // The page stays responsive and shows it is busy.
    EXPECT_TRUE(page->TestRunning());
    EXPECT_FALSE(TestButton()->isEnabled());
    EXPECT_TRUE(CancelButton()->isVisible());
    EXPECT_TRUE(page->PagePanel->findChild<QProgressBar*>()->isVisible());
    const QString dir = QStringLiteral(NUVEX_BINARY_DIR "/test-output");
    QDir().mkpath(dir);
    EXPECT_TRUE(form.grab().toImage().save(dir + "/page-pop3-testing.png"));
    QTest::keyClicks(page->LoginBox, QStringLiteral("x")); // typing goes on meanwhile
    EXPECT_EQ(page->LoginBox->text(), QStringLiteral("alicex"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !page->TestRunning(); }, nuvex::test::ScaledMs(15000)));
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(boxText.contains(
        QStringLiteral("The server 127.0.0.1:%1 did not answer within 2 seconds").arg(silent.Port())))
        << boxText.toStdString();
    EXPECT_FALSE(CancelButton()->isVisible());
}

TEST_F(PageConnectionTest, ARefusedPortIsNotCalledSilent) {
    int port = 0;
    {
        SilentPort closed; // bound, then closed: nobody listens there any more
        port = closed.Port();
    }
    Fill(QStringLiteral("127.0.0.1"), port, false);
    ASSERT_TRUE(RunTest());
    EXPECT_TRUE(boxText.contains(QStringLiteral("The server 127.0.0.1 refused the connection.")))
        << boxText.toStdString();
    // The wizard's last page hears of it for as long as the settings stay as tested.
    EXPECT_TRUE(page->TestFailedForCurrentSettings());
    page->PasswordBox->setText(QStringLiteral("another"));
    EXPECT_FALSE(page->TestFailedForCurrentSettings());
}

TEST_F(PageConnectionTest, CancelEndsTheTestAtOnceWithoutABox) {
    SilentPort silent;
    page->Context.pop3Limits.readTimeoutMs = 60000;
    Fill(QStringLiteral("127.0.0.1"), silent.Port(), false);
    QTest::mouseClick(TestButton(), Qt::LeftButton);
    ASSERT_TRUE(page->TestRunning());
    QTest::qWait(200);
    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(CancelButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !page->TestRunning(); }, nuvex::test::ScaledMs(5000)));
    EXPECT_LT(timer.elapsed(), nuvex::test::ScaledMs(2000));
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(TestButton()->isEnabled());
}

TEST_F(PageConnectionTest, ClosingThePageDuringATestReturnsPromptly) {
    SilentPort silent;
    page->Context.pop3Limits.readTimeoutMs = 60000;
    Fill(QStringLiteral("127.0.0.1"), silent.Port(), false);
    QTest::mouseClick(TestButton(), Qt::LeftButton);
    QTest::qWait(100);
    QElapsedTimer timer;
    timer.start();
    page.reset();
    EXPECT_LT(timer.elapsed(), nuvex::test::ScaledMs(2000));
}

TEST(ConnectionFailureWords, EachClassSaysWhatToCheck) {
    TConnectionTestResult login;
    login.errorClass = 2;
    EXPECT_EQ(ConnectionFailureText(login, QStringLiteral("h:110"), 30000),
              QStringLiteral("The server h:110 refused the login. Check the login name and the password."));
    TConnectionTestResult silent;
    silent.errorClass = 1;
    silent.elapsedMs = 30010;
    EXPECT_TRUE(ConnectionFailureText(silent, QStringLiteral("127.0.0.1:995"), 30000)
                    .startsWith(QStringLiteral("The server 127.0.0.1:995 did not answer within 30 seconds")));
    TConnectionTestResult other;
    other.errorClass = 3;
    other.errorText = "First line\r\nSecond line";
    EXPECT_EQ(ConnectionFailureText(other, QStringLiteral("h:1"), 30000),
              QStringLiteral("First line Second line"));
}

} // namespace
} // namespace nuvex
