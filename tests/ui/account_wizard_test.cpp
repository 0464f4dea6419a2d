// The account wizard driven as a user would, offscreen: the four pages of a
// new POP3 account, the type limits, the account page kept or made anew as
// the type changes, the duplicate question, the confirmation layout and a
// failed test, the keyboard, and a larger font. Screenshots of every page go to
// build/test-output/.
#include "accounts/account_list.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "accounts/pop3_connector.h"
#include "lib/clock.h"
#include "lib/crypt_url.h"
#include "tests/support/fake_account_page.h"
#include "tests/ui/ui_test_support.h"
#include "ui/account_wizard.h"

#include <QDir>
#include <QFrame>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using test::FakeAccountPage;
using test::QtEnvironment;
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

TConnectorClass MakeClass(std::string_view code, int order, int max) {
    TConnectorClass cls;
    cls.typeCode = code;
    cls.providerName = code;
    cls.exampleAddress = "someone@example.org";
    cls.listOrder = order;
    cls.maxAccounts = max;
    cls.caps = kCapChecks;
    cls.newInstance = &NewConnector<TNuvex_GenericConnector>;
    return cls;
}

const TConnectorClass kAlpha = MakeClass("Alpha", 5, 1);
const TConnectorClass kBeta = MakeClass("Beta", 3, 0);
const TConnectorClass kHidden = MakeClass("Hidden", 1, 0);

void Shot(TWizard& w, const QString& name) {
    const QString dir = QStringLiteral(NUVEX_BINARY_DIR "/test-output");
    QDir().mkpath(dir);
    EXPECT_TRUE(w.Form->grab().toImage().save(dir + "/wizard-" + name + ".png"));
}

class WizardTest : public ::testing::Test {
protected:
    TWizardEnv Env(const TConnectorRegistry& types) {
        TWizardEnv env;
        env.accounts = &accounts;
        env.types = &types;
        env.makePage = test::FakePageFactory(&pagesMade);
        env.openHelp = [this](int tag) { helpTags.push_back(tag); };
        env.openSignUp = [this] { ++signUps; };
        env.askDuplicate = [this] {
            ++duplicateAsked;
            return duplicateAnswer;
        };
        return env;
    }
    FakeAccountPage& Page(TWizard& w) { return static_cast<FakeAccountPage&>(*w.AccountPage); }
    QRadioButton* Radio(TWizard& w, const std::string& code) {
        return w.Form->findChild<QRadioButton*>(QString::fromStdString("type_" + code));
    }
    void AddListed(const TConnectorClass& cls, const std::string& id, const std::string& email) {
        auto account = cls.Create(AccountContext{});
        account->AccountId = id;
        account->Email = email;
        ASSERT_TRUE(accounts.AddAccount(std::move(account)));
    }
    void Fill(TWizard& w, const QString& email, const QString& login, const QString& server) {
        FakeAccountPage& page = Page(w);
        QTest::keyClicks(page.email, email);
        QTest::keyClicks(page.login, login);
        QTest::keyClicks(page.password, QStringLiteral("secret"));
        QTest::keyClicks(page.server, server);
    }

    TAccountList accounts;
    int pagesMade = 0;
    std::vector<int> helpTags;
    int signUps = 0;
    int duplicateAsked = 0;
    bool duplicateAnswer = false;
};

TEST_F(WizardTest, NewPop3AccountThroughTheFourPages) {
    TWizard w(nullptr, false, Env(ConnectorRegistry()));
    w.NewAccountMode = true;
    w.Prepare();
    w.Form->show();
    EXPECT_EQ(w.CurrentPage, kPageWelcome);
    EXPECT_FALSE(w.BackButton->isVisible());
    EXPECT_TRUE(w.NextButton->isEnabled());
    EXPECT_EQ(w.TitleLabel->text(), QStringLiteral("Set Up Your Email Account"));
    ASSERT_NE(w.SidePicture, nullptr);
    EXPECT_EQ(w.SidePicture->geometry(), QRect(0, 20, 165, 310));
    Shot(w, "0-welcome");

    QTest::mouseClick(w.NextButton, Qt::LeftButton);
    EXPECT_EQ(w.CurrentPage, kPageType);
    EXPECT_EQ(w.StepLabel->text(), QStringLiteral("Step 1/3"));
    QRadioButton* pop3 = Radio(w, "Pop3");
    ASSERT_NE(pop3, nullptr);
    EXPECT_TRUE(w.TypeChoices.front().radio->isChecked());
    // Only types that can check are offered, the optional ones never.
    for (const auto& choice : w.TypeChoices) {
        EXPECT_TRUE(choice.cls->CanCheck());
    }
    pop3->click();
    Shot(w, "1-type");

    QTest::mouseClick(w.NextButton, Qt::LeftButton);
    EXPECT_EQ(w.CurrentPage, kPageAccount);
    EXPECT_EQ(w.PageTypeCode, "Pop3");
    EXPECT_TRUE(w.AdvancedButton->isVisible());
    EXPECT_FALSE(w.NextButton->isEnabled()) << "Next waits for a complete page";
    Fill(w, QStringLiteral("me@example.org"), QStringLiteral("me"), QStringLiteral("pop.example.org"));
    EXPECT_TRUE(w.NextButton->isEnabled());
    QTest::mouseClick(w.AdvancedButton, Qt::LeftButton);
    EXPECT_EQ(Page(w).advancedShown, 1);
    Shot(w, "2-account");

    QTest::mouseClick(w.NextButton, Qt::LeftButton);
    EXPECT_EQ(w.CurrentPage, kPageConfirm);
    EXPECT_EQ(w.NextButton->text(), QStringLiteral("&Finish"));
    EXPECT_EQ(w.TitleLabel->text(), QStringLiteral("Congratulations!"));
    EXPECT_EQ(duplicateAsked, 0);
    Shot(w, "3-confirm");

    QTest::mouseClick(w.NextButton, Qt::LeftButton);
    EXPECT_EQ(w.Result(), kResultAccept);
    TCryptURL record;
    ASSERT_TRUE(record.DecodeParams(w.AccountPage->BuildSettingsText()));
    EXPECT_EQ(record.GetParam("EMAIL"), "me@example.org");
    EXPECT_EQ(record.GetParam("HOSTNAME"), "pop.example.org");
    EXPECT_EQ(w.AccountPage->AccountClass(), &Pop3ConnectorClass());
}

TEST_F(WizardTest, BackFromTheTypePageReturnsToTheWelcomePage) {
    TWizard w(nullptr, false, Env(ConnectorRegistry()));
    w.Navigate(kTagNext);
    ASSERT_EQ(w.CurrentPage, kPageType);
    QTest::mouseClick(w.BackButton, Qt::LeftButton);
    EXPECT_EQ(w.CurrentPage, kPageWelcome);
    EXPECT_TRUE(w.BackButton->isHidden());
    w.Navigate(kTagBack); // nothing before the first page
    EXPECT_EQ(w.CurrentPage, kPageWelcome);
    EXPECT_EQ(w.Result(), kResultOpen);
}

TEST_F(WizardTest, AccountPageIsKeptForTheSameTypeAndMadeAnewForAnother) {
    TConnectorRegistry types;
    types.RegisterConnectorClass(kAlpha, false);
    types.RegisterConnectorClass(kBeta, false);
    TWizard w(nullptr, false, Env(types));
    w.Navigate(kTagNext);
    Radio(w, "Alpha")->click();
    w.Navigate(kTagNext);
    ASSERT_EQ(w.PageTypeCode, "Alpha");
    Fill(w, QStringLiteral("a@b.c"), QStringLiteral("a"), QStringLiteral("pop.b.c"));

    struct Row {
        const char* type;
        int pagesAfter;
        const char* emailAfter;
    };
    const Row rows[] = {
        {"Alpha", 1, "a@b.c"}, // same type: the typed text stays
        {"Beta", 2, ""},       // another type: a new page
        {"Alpha", 3, ""},      // and back again: new once more
    };
    for (const Row& row : rows) {
        w.Navigate(kTagBack);
        ASSERT_EQ(w.CurrentPage, kPageType);
        Radio(w, row.type)->click();
        w.Navigate(kTagNext);
        EXPECT_EQ(w.PageTypeCode, row.type);
        EXPECT_EQ(pagesMade, row.pagesAfter) << row.type;
        EXPECT_EQ(Page(w).email->text(), QString::fromLatin1(row.emailAfter)) << row.type;
        EXPECT_EQ(w.AccountContainer()->findChildren<QWidget*>(QStringLiteral("fakePage")).size(), 1)
            << "the old page's controls are gone";
    }
}

TEST_F(WizardTest, TypeAtItsLimitIsNotOfferedButAnEditStillFindsIt) {
    TConnectorRegistry types;
    types.RegisterConnectorClass(kAlpha, false);
    types.RegisterConnectorClass(kBeta, false);
    types.RegisterConnectorClass(kHidden, true);
    AddListed(kAlpha, "Alpha_0", "x@y.z");

    TWizard w(nullptr, false, Env(types));
    w.Navigate(kTagNext);
    EXPECT_EQ(Radio(w, "Alpha"), nullptr) << "one Alpha account is its limit";
    EXPECT_EQ(Radio(w, "Hidden"), nullptr) << "optional types are not offered";
    ASSERT_NE(Radio(w, "Beta"), nullptr);
    EXPECT_TRUE(Radio(w, "Beta")->isChecked());

    TWizard edit(nullptr, false, Env(types));
    EXPECT_TRUE(edit.PrepareEdit("Alpha"));
    EXPECT_EQ(edit.PageTypeCode, "Alpha");
    TWizard optional(nullptr, false, Env(types));
    EXPECT_TRUE(optional.PrepareEdit("Hidden")) << "an edit finds the optional types too";
    TWizard unknown(nullptr, false, Env(types));
    EXPECT_FALSE(unknown.PrepareEdit("Nothing"));
    EXPECT_EQ(unknown.AccountPage, nullptr);
}

TEST_F(WizardTest, DuplicateNeedsAnExplicitYes) {
    AddListed(Pop3ConnectorClass(), "Pop3_0", "me@example.org");
    AddListed(kBeta, "Beta_0", "other@example.org");
    struct Row {
        const char* email;
        bool answer;
        int asked;
        int pageAfter;
    };
    const Row rows[] = {
        {"me@example.org", false, 1, kPageAccount}, // No stays on the page
        {"me@example.org", true, 1, kPageConfirm},
        {"Me@example.org", false, 0, kPageConfirm},    // another letter case is no duplicate
        {"other@example.org", false, 0, kPageConfirm}, // the same address of another type neither
    };
    for (const Row& row : rows) {
        duplicateAsked = 0;
        duplicateAnswer = row.answer;
        TWizard w(nullptr, false, Env(ConnectorRegistry()));
        w.NewAccountMode = true;
        w.Navigate(kTagNext);
        Radio(w, "Pop3")->click();
        w.Navigate(kTagNext);
        Fill(w, QString::fromLatin1(row.email), QStringLiteral("me"), QStringLiteral("pop.example.org"));
        w.Navigate(kTagNext);
        EXPECT_EQ(duplicateAsked, row.asked) << row.email;
        EXPECT_EQ(w.CurrentPage, row.pageAfter) << row.email;
        EXPECT_EQ(w.Result(), kResultOpen);
    }
}

TEST_F(WizardTest, ClosingLineStaysAtOrBelow135) {
    TWizard w(nullptr, false, Env(ConnectorRegistry()));
    w.Navigate(kTagNext);
    Radio(w, "Pop3")->click();
    w.Navigate(kTagNext);
    Fill(w, QStringLiteral("me@example.org"), QStringLiteral("me"), QStringLiteral("pop.example.org"));
    w.Navigate(kTagNext);
    auto* line = w.PagePanels[kPageConfirm]->findChild<QFrame*>(QStringLiteral("closingLine"));
    ASSERT_NE(line, nullptr);
    // Four summary lines end at 58 + 4 * 20 = 138.
    EXPECT_EQ(line->geometry(), QRect(37, 138, 486, 2));
    auto* text = w.PagePanels[kPageConfirm]->findChild<QLabel*>(QStringLiteral("closingText"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->y(), 152);

    TWizard bare(nullptr, false, Env(ConnectorRegistry()));
    bare.ShowPage(kPageConfirm); // no account page: no summary at all
    line = bare.PagePanels[kPageConfirm]->findChild<QFrame*>(QStringLiteral("closingLine"));
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->y(), 135);
}

TEST_F(WizardTest, OverLongValueIsCutOnTheConfirmationPage) {
    TWizard w(nullptr, false, Env(ConnectorRegistry()));
    w.Navigate(kTagNext);
    Radio(w, "Pop3")->click();
    w.Navigate(kTagNext);
    Page(w).email->setText(QString(10000, QLatin1Char('x')) + QStringLiteral("@example.org"));
    Page(w).login->setText(QStringLiteral("me"));
    Page(w).server->setText(QStringLiteral("pop.example.org"));
    w.Navigate(kTagNext);
    for (QLabel* value : w.PagePanels[kPageConfirm]->findChildren<QLabel*>(QStringLiteral("summaryValue"))) {
        EXPECT_LE(value->geometry().right(), kWizardWidth) << "a value stays inside the window";
    }
    Shot(w, "3-confirm-long");
}

TEST_F(WizardTest, CancelAndTheCloseBoxEndWithResult2OnEveryPage) {
    for (int page = kPageWelcome; page <= kPageConfirm; ++page) {
        TWizard w(nullptr, false, Env(ConnectorRegistry()));
        w.Form->show();
        for (int i = 0; i < page; ++i) {
            if (w.CurrentPage == kPageAccount) {
                Fill(w, QStringLiteral("me@example.org"), QStringLiteral("me"),
                     QStringLiteral("pop.example.org"));
            }
            w.Navigate(kTagNext);
        }
        ASSERT_EQ(w.CurrentPage, page);
        if (page % 2 == 0) {
            QTest::mouseClick(w.CancelButton, Qt::LeftButton);
        } else {
            w.Form->close();
        }
        EXPECT_EQ(w.Result(), kResultCancel) << page;
    }
}

TEST_F(WizardTest, EnterGoesOnWhereNextCanAndEscapeCancels) {
    FakeClock clock;
    SetDefaultClock(&clock);
    TWizard w(nullptr, false, Env(ConnectorRegistry()));
    w.Prepare();
    w.Form->show();
    clock.AdvanceMs(1500); // past the window base's one-second guard
    for (QPushButton* b : {w.NextButton, w.BackButton, w.CancelButton, w.AdvancedButton}) {
        EXPECT_TRUE(b->text().startsWith(QLatin1Char('&'))) << b->objectName().toStdString();
    }
    QTest::keyClick(w.Form, Qt::Key_Return);
    EXPECT_EQ(w.CurrentPage, kPageType);
    QTest::keyClick(w.Form, Qt::Key_Enter);
    ASSERT_EQ(w.CurrentPage, kPageAccount);
    QTest::keyClick(Page(w).email, Qt::Key_Return); // incomplete: the page says what is missing
    EXPECT_EQ(w.CurrentPage, kPageAccount);
    EXPECT_EQ(Page(w).problemsRevealed, 1);
    w.BackButton->setFocus();
    QTest::keyClick(w.BackButton, Qt::Key_Return); // a focused button is pressed itself
    EXPECT_EQ(w.CurrentPage, kPageType);
    QTest::keyClick(w.Form, Qt::Key_Escape);
    EXPECT_EQ(w.Result(), kResultCancel);
    SetDefaultClock(nullptr);
}

// After a failed connection test the page says so, and Finish waits until
// the user chooses to save anyway; Back still leads to the fields.
TEST_F(WizardTest, FailedTestIsToldAndSavedOnlyOnRequest) {
    struct Row {
        bool testFailed;
        const char* title;
        bool finishAtOnce;
    };
    for (const Row& row :
         {Row{false, "Congratulations!", true}, Row{true, "The connection test failed", false}}) {
        TWizard w(nullptr, false, Env(ConnectorRegistry()));
        w.Navigate(kTagNext);
        Radio(w, "Pop3")->click();
        w.Navigate(kTagNext);
        Fill(w, QStringLiteral("me@example.org"), QStringLiteral("me"), QStringLiteral("pop.example.org"));
        Page(w).testFailed = row.testFailed;
        w.Navigate(kTagNext);
        ASSERT_EQ(w.CurrentPage, kPageConfirm);
        EXPECT_EQ(w.TitleLabel->text(), QString::fromLatin1(row.title));
        EXPECT_EQ(w.NextButton->isEnabled(), row.finishAtOnce);
        EXPECT_EQ(w.SaveAnywayBox != nullptr, row.testFailed);
        if (row.testFailed) {
            Shot(w, "3-confirm-test-failed");
            EXPECT_FALSE(w.SaveAnywayBox->isChecked());
            w.Navigate(kTagNext);
            EXPECT_EQ(w.Result(), kResultOpen) << "not saved without the user's word";
            w.Navigate(kTagBack);
            EXPECT_EQ(w.CurrentPage, kPageAccount);
            w.Navigate(kTagNext);
            w.SaveAnywayBox->click();
            EXPECT_TRUE(w.NextButton->isEnabled());
        }
        w.Navigate(kTagNext);
        EXPECT_EQ(w.Result(), kResultAccept) << row.title;
    }
}

TEST_F(WizardTest, LinksAndSignUpReachTheirHandlers) {
    TWizard w(nullptr, false, Env(ConnectorRegistry()));
    w.Form->show();
    QTest::mouseClick(w.PagePanels[kPageWelcome]->findChild<QPushButton*>(QStringLiteral("signUp")),
                      Qt::LeftButton);
    EXPECT_EQ(signUps, 1);
    w.Navigate(kTagNext);
    QLabel* link = nullptr;
    for (QLabel* label : w.PagePanels[kPageType]->findChildren<QLabel*>()) {
        if (label->property("tag").toInt() == 1130) {
            link = label;
        }
    }
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(link->focusPolicy() & Qt::TabFocus) << "the link is reachable by keyboard";
    emit link->linkActivated(QStringLiteral("help"));
    EXPECT_EQ(helpTags, std::vector<int>{1130});
}

TEST_F(WizardTest, EveryControlIsReachableByTab) {
    TWizard w(nullptr, false, Env(ConnectorRegistry()));
    w.Form->show();
    w.Navigate(kTagNext);
    QApplication::setActiveWindow(w.Form);
    // Walk the focus chain once round and note every widget it reaches.
    QSet<QWidget*> reached;
    QWidget* start = w.CancelButton;
    start->setFocus();
    QWidget* current = start;
    for (int i = 0; i < 100; ++i) {
        current = current->nextInFocusChain();
        if (current == start) {
            break;
        }
        if (current->isVisible() && (current->focusPolicy() & Qt::TabFocus)) {
            reached.insert(current);
        }
    }
    for (QWidget* control : {static_cast<QWidget*>(w.NextButton), static_cast<QWidget*>(w.BackButton),
                             static_cast<QWidget*>(w.TypeChoices.front().radio)}) {
        EXPECT_TRUE(reached.contains(control)) << control->objectName().toStdString();
    }
}

TEST_F(WizardTest, LargerFontClipsNoLabel) {
    const QFont before = QApplication::font();
    QFont big = before;
    big.setPixelSize(18); // about 150 % of the 11-12 pixel text
    QApplication::setFont(big);
    TWizard w(nullptr, true, Env(ConnectorRegistry()));
    w.Prepare(); // as the editors do, before the later pages are made
    w.Form->show();
    auto checkPage = [&](int page) {
        for (QLabel* label : w.PagePanels[page]->findChildren<QLabel*>()) {
            if (label->isVisible() && label->pixmap().isNull() && !label->text().isEmpty()) {
                if (!label->wordWrap()) {
                    EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
                }
                EXPECT_GE(label->height(), label->wordWrap() ? label->heightForWidth(label->width())
                                                             : label->sizeHint().height())
                    << label->text().toStdString();
                EXPECT_LE(label->geometry().right(), kWizardWidth) << label->text().toStdString();
            }
        }
    };
    checkPage(kPageWelcome);
    Shot(w, "0-welcome-large-font");
    w.Navigate(kTagNext);
    checkPage(kPageType);
    Shot(w, "1-type-large-font");
    EXPECT_EQ(QFontMetrics(w.PagePanels[kPageType]->font()).height(), QFontMetrics(big).height())
        << "a page made after Prepare keeps the larger font";
    QApplication::setFont(before);
}

TEST(WizardPictureTest, PicturesHaveTheirSizesAndAKeyColour) {
    const QImage panel = WizardPicture("BMPPANEL");
    EXPECT_EQ(panel.size(), QSize(165, 310));
    const QImage folder = WizardPicture("WIZFOLDER");
    EXPECT_EQ(folder.size(), QSize(58, 66));
    EXPECT_EQ(folder.pixel(0, 0), qRgb(255, 0, 255));
    EXPECT_TRUE(WizardPicture("NOSUCH").isNull());
}

} // namespace
} // namespace nuvex
