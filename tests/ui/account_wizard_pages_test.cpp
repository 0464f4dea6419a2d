// The wizard with the program's own account pages: a POP3 account typed into
// the real page goes through the four pages and comes out as the settings
// text that the account store keeps; bad input keeps Next disabled.
// Screenshots under build/test-output/.
#include "accounts/account_list.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "lib/branding.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "tests/ui/ui_test_support.h"
#include "ui/account_wizard.h"
#include "ui/advanced_dialog.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
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

// Every title names the product as the build's branding does, whatever the
// brand: here one that is not the default.
TEST_F(WizardPagesTest, WindowTitlesNameTheProductOfTheBranding) {
    ASSERT_TRUE(
        WriteRegString(ProcessRegistry(), RegRoot::HKLM, "Software\\Brannock\\", "BRAND", true, "Acme"));
    LoadBranding(ProcessRegistry(), ConfigResourceText(), true);
    TWizard added(nullptr, false, Env());
    TWizard edited(nullptr, false, Env());
    ASSERT_TRUE(edited.PrepareEdit("Pop3"));
    TNuvex_Advanced basic;
    TNuvex_AdvancedPop3 pop3;
    const std::pair<const char*, QString> rows[] = {
        {"wizard", added.Form->windowTitle()},
        {"editor", edited.Form->windowTitle()},
        {"advanced", basic.Form->windowTitle()},
        {"advanced POP3", pop3.Form->windowTitle()},
    };
    for (const auto& [window, title] : rows) {
        EXPECT_TRUE(title.startsWith(QStringLiteral("Acme Email Plugin")))
            << window << ": " << title.toStdString();
    }
    ProcessRegistry().DeleteValue(RegRoot::HKLM, NormalizeKeyPath("Software\\Brannock\\"), "BRAND");
    ForgetBranding();
}

// What a Linux user reads: no Windows things (Explorer, Internet Explorer),
// no "setup" as a verb, no shouting, no doubled blanks; on every page of
// every account type, new and edited, on the advanced dialogs and on the
// settings pages.
TEST_F(WizardPagesTest, NoShippedCaptionNamesWindowsThingsOrShouts) {
    const QRegularExpression wrong(QStringLiteral(
        R"(\b(Explorer|Windows|IE|Outlook|Start menu)\b|!!|\S  \S|\b[Ss]etup (Your|your|the|an?)\b|to setup\b)"));
    QStringList texts;
    auto collect = [&](const QWidget* root) {
        texts << root->windowTitle();
        for (const QLabel* l : root->findChildren<QLabel*>()) {
            texts << l->text();
        }
        for (const QAbstractButton* b : root->findChildren<QAbstractButton*>()) {
            texts << b->text();
        }
        for (const QComboBox* c : root->findChildren<QComboBox*>()) {
            for (int i = 0; i < c->count(); ++i) {
                texts << c->itemText(i);
            }
        }
    };
    {
        TWizard welcome(nullptr, true, Env());
        collect(welcome.Form);
    }
    for (const TConnectorClass* cls : ConnectorRegistry().ConnectorClasses()) {
        const QString radio = QString::fromStdString("type_" + cls->TypeCode());
        TWizard added(nullptr, false, Env());
        added.Navigate(kTagNext);
        collect(added.Form);
        if (auto* r = added.Form->findChild<QRadioButton*>(radio)) {
            r->click();
            added.Navigate(kTagNext);
            collect(added.Form);
        }
        TWizard edited(nullptr, false, Env());
        ASSERT_TRUE(edited.PrepareEdit(cls->TypeCode()));
        collect(edited.Form);
    }
    TNuvex_Advanced basic;
    collect(basic.Form);
    TNuvex_AdvancedPop3 pop3;
    collect(pop3.Form);
    for (const char* page : {"TAB1", "TAB2", "TAB3"}) {
        QFile file(
            QStringLiteral(NUVEX_TEST_DATA "/../../resources/settings/%1.html").arg(QLatin1String(page)));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << page;
        QString html = QString::fromUtf8(file.readAll());
        html.remove(QRegularExpression(QStringLiteral("<script.*?</script>"),
                                       QRegularExpression::DotMatchesEverythingOption));
        texts << html.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    }
    EXPECT_GT(texts.size(), 200);
    for (const QString& text : texts) {
        EXPECT_FALSE(text.contains(wrong)) << text.toStdString();
    }
}

} // namespace
} // namespace nuvex
