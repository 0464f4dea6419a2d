// The wizard's pages and the advanced dialogs on a 150 % screen
// (QT_SCALE_FACTOR=1.5), with the design font and with a larger system font:
// no label, box or button shows less than its whole text, and nothing sticks
// out of its window. Screenshots under build/test-output/scale-150/.
#include "accounts/account_list.h"
#include "accounts/connector_registry.h"
#include "accounts/gmail_connector.h"
#include "accounts/pop3_connector.h"
#include "tests/ui/ui_test_support.h"
#include "ui/account_wizard.h"
#include "ui/advanced_dialog.h"
#include "ui/page_gmail.h"
#include "ui/page_pop3.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

// Before the application exists: the scale is read when it starts.
[[maybe_unused]] const bool g_scaled = qputenv("QT_SCALE_FACTOR", "1.5");
using test::QtEnvironment;
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QString Name(const QWidget* w) {
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        return label->text();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
        return button->text();
    }
    return w->objectName();
}

// Every visible text of window: whole, and inside the window.
void ExpectNothingClipped(QWidget* window, const std::string& where) {
    const QRect inside = window->rect();
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || w->isWindow()) {
            continue;
        }
        const std::string what =
            where + ": " + w->metaObject()->className() + " \"" + Name(w).toStdString() + "\"";
        auto* label = qobject_cast<QLabel*>(w);
        auto* button = qobject_cast<QAbstractButton*>(w);
        if (label && !label->pixmap().isNull()) {
            continue;
        }
        if ((label && label->text().isEmpty()) || (!label && !button)) {
            continue;
        }
        if (label && label->wordWrap()) {
            EXPECT_GE(w->height(), label->heightForWidth(w->width())) << what;
        } else if (qobject_cast<QPushButton*>(w)) {
            // A push button's hint adds generous margins; the text itself must fit.
            // Measured as shown: a mnemonic's "&" is an underline, not a character.
            QString shown = button->text();
            shown.replace(QStringLiteral("&&"), QStringLiteral("\x01")).remove(u'&').replace(u'\x01', u'&');
            const int text = w->fontMetrics().horizontalAdvance(shown);
            EXPECT_GE(w->width(), text + 6) << what;
            EXPECT_GE(w->height(), w->fontMetrics().height()) << what;
        } else {
            EXPECT_GE(w->width(), w->sizeHint().width()) << what;
            EXPECT_GE(w->height(), w->fontMetrics().height()) << what;
        }
        const QRect inWindow(w->mapTo(window, QPoint(0, 0)), w->size());
        EXPECT_TRUE(inside.contains(inWindow)) << what;
    }
    // Buttons side by side must not cover each other's text.
    const QList<QPushButton*> buttons = window->findChildren<QPushButton*>();
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        for (qsizetype k = i + 1; k < buttons.size(); ++k) {
            QPushButton* a = buttons[i];
            QPushButton* b = buttons[k];
            if (a->parentWidget() == b->parentWidget() && a->isVisibleTo(window) && b->isVisibleTo(window)) {
                EXPECT_FALSE(a->geometry().intersects(b->geometry()))
                    << where << ": \"" << a->text().toStdString() << "\" and \"" << b->text().toStdString()
                    << "\" overlap";
            }
        }
    }
}

void Shot(QWidget* window, const QString& name) {
    const QString dir = QStringLiteral(NUVEX_BINARY_DIR "/test-output/scale-150");
    QDir().mkpath(dir);
    EXPECT_TRUE(window->grab().toImage().save(dir + "/" + name + ".png"));
}

class Scale150Test : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        before_ = QApplication::font();
        if (GetParam() > 0) {
            QFont big = before_;
            big.setPixelSize(GetParam());
            QApplication::setFont(big);
        }
    }
    void TearDown() override { QApplication::setFont(before_); }

    TWizardEnv Env() {
        TWizardEnv env;
        env.accounts = &accounts;
        env.types = &ConnectorRegistry();
        env.makePage = PanelPageFactory(TPanelPageSetup{});
        env.askDuplicate = [] { return false; };
        return env;
    }
    QString Suffix() const { return GetParam() > 0 ? QStringLiteral("-font%1").arg(GetParam()) : QString(); }
    std::string Where(const char* page) const {
        return std::string(page) + (GetParam() > 0 ? " font " + std::to_string(GetParam()) + "px" : "");
    }

    QFont before_;
    TAccountList accounts;
};

TEST(Scale150, TheScreenIsScaled) {
    ASSERT_NE(QGuiApplication::primaryScreen(), nullptr);
    EXPECT_DOUBLE_EQ(QGuiApplication::primaryScreen()->devicePixelRatio(), 1.5);
}

// Every offered account type: the welcome and type pages, and its own page.
TEST_P(Scale150Test, EveryWizardPageShowsItsWholeText) {
    QStringList types;
    {
        TWizard w(nullptr, true, Env());
        w.Prepare();
        w.Form->show();
        ExpectNothingClipped(w.Form, Where("welcome"));
        Shot(w.Form, QStringLiteral("wizard-0-welcome") + Suffix());
        w.Navigate(kTagNext);
        ExpectNothingClipped(w.Form, Where("type"));
        Shot(w.Form, QStringLiteral("wizard-1-type") + Suffix());
        for (const TWizard::TypeChoice& choice : w.TypeChoices) {
            types << choice.radio->objectName();
        }
    }
    ASSERT_TRUE(types.contains(QStringLiteral("type_Pop3"))) << types.join(QLatin1Char(' ')).toStdString();
    for (const QString& type : types) {
        TWizard w(nullptr, false, Env());
        w.NewAccountMode = true;
        w.Prepare();
        w.Form->show();
        w.Navigate(kTagNext);
        w.Form->findChild<QRadioButton*>(type)->click();
        w.Navigate(kTagNext);
        ASSERT_EQ(w.CurrentPage, kPageAccount) << type.toStdString();
        ExpectNothingClipped(w.Form, Where(type.toStdString().c_str()));
        Shot(w.Form, QStringLiteral("wizard-2-") + type.mid(5) + Suffix());
    }
}

TEST_P(Scale150Test, ConfirmationPageShowsItsWholeText) {
    TWizard w(nullptr, false, Env());
    w.NewAccountMode = true;
    w.Prepare();
    w.Form->show();
    w.Navigate(kTagNext);
    w.Form->findChild<QRadioButton*>(QStringLiteral("type_Pop3"))->click();
    w.Navigate(kTagNext);
    auto box = [&](const char* name) {
        return w.AccountContainer()->findChild<QLineEdit*>(QLatin1String(name));
    };
    box("EmailBox")->setText(QStringLiteral("renee.dubois@example.org"));
    box("LoginBox")->setText(QStringLiteral("renee"));
    box("PasswordBox")->setText(QStringLiteral("secret"));
    box("ServerBox")->setText(QStringLiteral("pop.example.org"));
    ASSERT_TRUE(w.NextButton->isEnabled());
    w.Navigate(kTagNext);
    ASSERT_EQ(w.CurrentPage, kPageConfirm);
    ExpectNothingClipped(w.Form, Where("confirmation"));
    Shot(w.Form, QStringLiteral("wizard-3-confirm") + Suffix());
}

template <class Page> std::unique_ptr<Page> Built(QWidget* container, const TConnectorClass& cls) {
    auto page = std::make_unique<Page>(container);
    page->AccountClass = &cls;
    page->BuildPage(false);
    page->ReadSettingsText({});
    page->SettingsToControls();
    return page;
}

TEST_P(Scale150Test, AdvancedDialogsShowTheirWholeText) {
    QWidget container;
    {
        auto page = Built<TPop3Basic>(&container, Pop3ConnectorClass());
        TNuvex_AdvancedPop3 pop3;
        pop3.FromPage(*page);
        pop3.Form->show();
        ExpectNothingClipped(pop3.Form, Where("advanced POP3"));
        Shot(pop3.Form, QStringLiteral("advanced-pop3") + Suffix());
    }
    auto page = Built<TGMailBasic>(&container, GMailConnectorClass());
    TNuvex_Advanced basic;
    basic.FromPage(*page);
    basic.Form->show();
    ExpectNothingClipped(basic.Form, Where("advanced"));
    Shot(basic.Form, QStringLiteral("advanced-basic") + Suffix());
}

// 0: the design font; 18 px: a larger system font, about 150 % of the 11-12 px text.
INSTANTIATE_TEST_SUITE_P(Fonts, Scale150Test, ::testing::Values(0, 18));

} // namespace
} // namespace nuvex
