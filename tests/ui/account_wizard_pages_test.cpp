// The wizard with the program's own account pages: a POP3 account typed into
// the real page goes through the four pages and comes out as the settings
// text that the account store keeps; bad input keeps Next disabled.
// Screenshots under build/test-output/.
#include "accounts/account_list.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "tests/ui/ui_test_support.h"
#include "ui/account_wizard.h"

#include <QDir>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using test::QtEnvironment;
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

void Shot(TWizard& w, const QString& name) {
    const QString dir = QStringLiteral(NUVEX_BINARY_DIR "/test-output");
    QDir().mkpath(dir);
    EXPECT_TRUE(w.Form->grab().toImage().save(dir + "/wizard-pop3-" + name + ".png"));
}

class WizardPagesTest : public ::testing::Test {
protected:
    TWizardEnv Env() {
        TWizardEnv env;
        env.accounts = &accounts;
        env.types = &ConnectorRegistry();
        env.makePage = PanelPageFactory(TPanelPageSetup{});
        env.askDuplicate = [] { return false; };
        return env;
    }
    QLineEdit* Box(TWizard& w, const char* name) {
        return w.AccountContainer()->findChild<QLineEdit*>(QLatin1String(name));
    }
    void ToAccountPage(TWizard& w) {
        w.Navigate(kTagNext);
        w.Form->findChild<QRadioButton*>(QStringLiteral("type_Pop3"))->click();
        w.Navigate(kTagNext);
        ASSERT_EQ(w.PageTypeCode, "Pop3");
    }
    TAccountList accounts;
};

TEST_F(WizardPagesTest, Pop3AccountThroughTheRealPage) {
    TWizard w(nullptr, false, Env());
    w.NewAccountMode = true;
    w.Form->show();
    ToAccountPage(w);
    EXPECT_FALSE(w.NextButton->isEnabled());
    QTest::keyClicks(Box(w, "EmailBox"), QStringLiteral("me@example.org"));
    QTest::keyClicks(Box(w, "LoginBox"), QStringLiteral("me"));
    QTest::keyClicks(Box(w, "PasswordBox"), QStringLiteral("secret"));
    QTest::keyClicks(Box(w, "ServerBox"), QStringLiteral("pop.example.org"));
    EXPECT_TRUE(w.NextButton->isEnabled());
    Shot(w, "2-account");
    w.Navigate(kTagNext);
    ASSERT_EQ(w.CurrentPage, kPageConfirm);
    Shot(w, "3-confirm");
    w.Navigate(kTagNext);
    EXPECT_EQ(w.Result(), kResultAccept);
    TCryptURL record;
    ASSERT_TRUE(record.DecodeParams(w.AccountPage->BuildSettingsText()));
    EXPECT_EQ(record.GetParam("EMAIL"), "me@example.org");
    EXPECT_EQ(record.GetParam("USERNAME"), "me");
    EXPECT_EQ(record.GetParam("PASSWORD"), "secret");
    EXPECT_EQ(record.GetParam("HOSTNAME"), "pop.example.org");
}

TEST_F(WizardPagesTest, BadInputKeepsNextDisabled) {
    const struct {
        const char* email;
        const char* login;
        const char* server;
    } rows[] = {
        {"no-at-sign", "me", "pop.example.org"},
        {"me@example.org", "", "pop.example.org"},
        {"me@example.org", "me", ""},
    };
    for (const auto& row : rows) {
        TWizard w(nullptr, false, Env());
        ToAccountPage(w);
        Box(w, "EmailBox")->setText(QString::fromUtf8(row.email));
        Box(w, "LoginBox")->setText(QString::fromUtf8(row.login));
        Box(w, "ServerBox")->setText(QString::fromUtf8(row.server));
        EXPECT_FALSE(w.NextButton->isEnabled()) << row.email << " " << row.login << " " << row.server;
    }
}

TEST_F(WizardPagesTest, EditShowsTheStoredValues) {
    TWizard typed(nullptr, false, Env());
    ToAccountPage(typed);
    Box(typed, "EmailBox")->setText(QStringLiteral("b@example.org"));
    Box(typed, "LoginBox")->setText(QStringLiteral("b"));
    Box(typed, "ServerBox")->setText(QStringLiteral("pop.b"));
    const std::string stored = typed.AccountPage->BuildSettingsText();

    TWizard w(nullptr, false, Env());
    ASSERT_TRUE(w.PrepareEdit("Pop3"));
    w.AccountPage->ReadSettingsText(stored);
    w.AccountPage->SettingsToControls();
    EXPECT_EQ(Box(w, "EmailBox")->text(), QStringLiteral("b@example.org"));
    EXPECT_EQ(Box(w, "ServerBox")->text(), QStringLiteral("pop.b"));
    EXPECT_EQ(w.NextButton->text(), QStringLiteral("&OK"));
    w.Form->show();
    Shot(w, "edit");
}

// The edit wizard shows the page the add wizard shows, at the same fit.
TEST_F(WizardPagesTest, EditFitsThePageAsTheAddWizardDoes) {
    TWizard add(nullptr, false, Env());
    ToAccountPage(add);
    TWizard edit(nullptr, false, Env());
    ASSERT_TRUE(edit.PrepareEdit("Pop3"));
    for (TWizard* w : {&add, &edit}) {
        const QWidget* page = w->AccountContainer();
        for (QLabel* label : page->findChildren<QLabel*>()) {
            EXPECT_LE(label->mapTo(w->Form, QPoint(label->width(), 0)).x(), w->Form->width())
                << label->text().toStdString();
        }
        EXPECT_LE(w->NextButton->geometry().right(), w->Form->width()) << "the footer follows";
    }
    EXPECT_EQ(edit.Form->width(), add.Form->width());
}

// What is missing is said once the user typed or tried to go on, not before.
TEST_F(WizardPagesTest, MissingInputIsToldAfterTypingOrEnter) {
    FakeClock clock;
    SetDefaultClock(&clock);
    for (const bool byEnter : {false, true}) {
        TWizard w(nullptr, false, Env());
        w.Prepare();
        w.Form->show();
        ToAccountPage(w);
        auto* problem = w.AccountContainer()->findChild<QLabel*>(QStringLiteral("ProblemLabel"));
        ASSERT_NE(problem, nullptr);
        EXPECT_TRUE(problem->text().isEmpty()) << problem->text().toStdString();
        if (byEnter) {
            clock.AdvanceMs(1500);
            QTest::keyClick(Box(w, "EmailBox"), Qt::Key_Return);
            EXPECT_EQ(w.CurrentPage, kPageAccount);
        } else {
            QTest::keyClicks(Box(w, "EmailBox"), QStringLiteral("me"));
        }
        EXPECT_FALSE(problem->text().isEmpty()) << byEnter;
    }
    SetDefaultClock(nullptr);
}

} // namespace
} // namespace nuvex
