// Window base: key guard, close box, colours and fonts, the dialog frame and
// the modal run, on the offscreen platform with a fake clock.
#include "lib/clock.h"
#include "lib/registry.h"
#include "tests/ui/ui_test_support.h"
#include "ui/vostrel_win.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using test::QtEnvironment;
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// A window with OK and Cancel, as the advanced dialogs build it.
class TestDialog : public TVostrelWin {
public:
    TestDialog() {
        frame = BuildDialogFrame(*this, "Test caption", "Test title", QSize(400, 300), true);
        edit = new QLineEdit(frame.Content);
    }
    TDialogFrame frame;
    QLineEdit* edit = nullptr;
};

class WindowBaseTest : public ::testing::Test {
protected:
    void SetUp() override { SetDefaultClock(&clock); }
    void TearDown() override { SetDefaultClock(nullptr); }
    FakeClock clock;
};

TEST_F(WindowBaseTest, EnterActsOnlyAfterOneSecond) {
    TestDialog dialog;
    dialog.Prepare();
    dialog.Form->show();
    clock.AdvanceMs(500);
    QTest::keyClick(dialog.edit, Qt::Key_Return);
    EXPECT_EQ(dialog.Result(), 0);
    clock.AdvanceMs(500); // exactly one second: still too early
    QTest::keyClick(dialog.edit, Qt::Key_Return);
    EXPECT_EQ(dialog.Result(), 0);
    clock.AdvanceMs(500);
    QTest::keyClick(dialog.edit, Qt::Key_Return);
    EXPECT_EQ(dialog.Result(), 1);
}

TEST_F(WindowBaseTest, EscapeCancelsAndModifiersDisableBothKeys) {
    TestDialog dialog;
    dialog.Prepare();
    clock.AdvanceMs(1500);
    QTest::keyClick(dialog.edit, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClick(dialog.edit, Qt::Key_Escape, Qt::ControlModifier);
    QTest::keyClick(dialog.Form, Qt::Key_Enter, Qt::AltModifier);
    EXPECT_EQ(dialog.Result(), 0);
    QTest::keyClick(dialog.edit, Qt::Key_Escape);
    EXPECT_EQ(dialog.Result(), 2);
}

TEST_F(WindowBaseTest, EnterOnAFocusedButtonPressesItAndALinkKeepsIt) {
    TestDialog dialog;
    auto* other = new QPushButton(QStringLiteral("Other"), dialog.frame.Content);
    int clicks = 0;
    QObject::connect(other, &QPushButton::clicked, other, [&] { ++clicks; });
    auto* link = new QLabel(QStringLiteral("<a href=\"x\">help</a>"), dialog.frame.Content);
    link->setTextInteractionFlags(Qt::LinksAccessibleByKeyboard);
    dialog.Prepare();
    clock.AdvanceMs(1500);
    EXPECT_TRUE(dialog.HandleKey(Qt::Key_Return, Qt::NoModifier, other));
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(dialog.HandleKey(Qt::Key_Return, Qt::NoModifier, link));
    EXPECT_EQ(dialog.Result(), 0);
    EXPECT_TRUE(dialog.HandleKey(Qt::Key_Return, Qt::NoModifier, dialog.edit));
    EXPECT_EQ(dialog.Result(), 1);
}

TEST_F(WindowBaseTest, PrepareRestartsTheGuard) {
    TestDialog dialog;
    dialog.Prepare();
    clock.AdvanceMs(5000);
    dialog.Prepare();
    clock.AdvanceMs(300);
    EXPECT_FALSE(dialog.HandleKey(Qt::Key_Return, Qt::NoModifier));
    EXPECT_EQ(dialog.Result(), 0);
}

TEST_F(WindowBaseTest, MissingControlsOrDisabledButtonDoNothing) {
    TestDialog dialog;
    dialog.DefaultControl = nullptr;
    dialog.Prepare();
    clock.AdvanceMs(2000);
    EXPECT_FALSE(dialog.HandleKey(Qt::Key_Return, Qt::NoModifier));
    dialog.frame.CancelButton->setEnabled(false);
    dialog.HandleKey(Qt::Key_Escape, Qt::NoModifier);
    EXPECT_EQ(dialog.Result(), 0);
}

TEST_F(WindowBaseTest, CloseBoxEndsWithCancelButNotAfterAccept) {
    TestDialog dialog;
    dialog.Prepare();
    dialog.Form->show();
    dialog.Form->close();
    EXPECT_EQ(dialog.Result(), 2);

    TestDialog accepted;
    accepted.Prepare();
    accepted.Form->show();
    accepted.frame.OkButton->click();
    accepted.Form->close();
    EXPECT_EQ(accepted.Result(), 1);
}

TEST_F(WindowBaseTest, EditsAtAnyDepthGetTheWindowColourAndOldFontsStay) {
    TVostrelWin win;
    win.Form = new TVostrelForm;
    auto* outer = new QWidget(win.Form);
    auto* inner = new QWidget(outer);
    auto* nested = new QLineEdit(inner);
    auto* direct = new QLineEdit(win.Form);
    auto* label = new QLabel("kept", inner);
    for (QLineEdit* e : {nested, direct}) {
        QPalette p = e->palette();
        p.setColor(QPalette::Base, Qt::red);
        e->setPalette(p);
    }
    const QFont before = label->font();
    win.Prepare();
    const QColor window = QApplication::palette().color(QPalette::Base);
    EXPECT_EQ(nested->palette().color(QPalette::Base), window);
    EXPECT_EQ(direct->palette().color(QPalette::Base), window);
    EXPECT_EQ(label->font().toString(), before.toString());
    EXPECT_EQ(win.Form->font().pointSize(), 8);
}

TEST_F(WindowBaseTest, DialogFrameGeometry) {
    TestDialog dialog;
    const TDialogFrame& f = dialog.frame;
    EXPECT_EQ(dialog.Form->size(), QSize(400, 300));
    EXPECT_EQ(f.Header->geometry(), QRect(0, 0, 400, 52));
    EXPECT_EQ(f.Title->geometry(), QRect(22, 17, 400 - 44, 18));
    EXPECT_TRUE(f.Title->font().bold());
    EXPECT_EQ(f.Title->font().pointSize(), 10);
    EXPECT_EQ(f.Footer->geometry(), QRect(0, 252, 400, 48));
    EXPECT_EQ(f.Content->geometry(), QRect(0, 52, 400, 200));
    EXPECT_EQ(f.OkButton->size(), QSize(75, 25));
    EXPECT_EQ(f.OkButton->y(), 14);
    EXPECT_EQ(f.CancelButton->y(), 14);
    EXPECT_EQ(f.CancelButton->x(), 400 - 83);
    EXPECT_EQ(f.OkButton->x(), 400 - 83 - 83);
    EXPECT_EQ(f.CancelButton->text(), "&Cancel");
    EXPECT_EQ(f.OkButton->property("tag").toInt(), 1);
    EXPECT_EQ(f.CancelButton->property("tag").toInt(), 2);
    EXPECT_EQ(dialog.DefaultControl, f.OkButton);
    EXPECT_EQ(dialog.CancelControl, f.CancelButton);
    EXPECT_EQ(dialog.Form->windowTitle(), "Test caption");
    EXPECT_EQ(f.Title->text(), "Test title");
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(dialog.Form->geometry().center(), screen.center());
}

TEST_F(WindowBaseTest, DialogFrameScreenshot) {
    TestDialog dialog;
    dialog.edit->setGeometry(22, 20, 200, 21);
    dialog.Prepare();
    dialog.Form->show();
    const QImage shot = dialog.Form->grab().toImage();
    const QString dir = QStringLiteral(NUVEX_BINARY_DIR "/test-output");
    ASSERT_TRUE(QDir().mkpath(dir));
    EXPECT_TRUE(shot.save(dir + "/dialog-frame.png"));
    // Header in the window colour, content in the button face.
    EXPECT_EQ(shot.pixelColor(5, 5), QApplication::palette().color(QPalette::Base));
    EXPECT_EQ(shot.pixelColor(5, 100), QApplication::palette().color(QPalette::Button));
}

TEST_F(WindowBaseTest, RunModalDisablesOwnerAndCopiesBackOnlyOnAccept) {
    QWidget owner;
    owner.show();
    for (const int expected : {1, 2}) {
        TestDialog dialog;
        dialog.Prepare();
        bool ownerDisabledWhileRunning = false;
        QTimer::singleShot(0, [&] {
            ownerDisabledWhileRunning = !owner.isEnabled();
            (expected == 1 ? dialog.frame.OkButton : dialog.frame.CancelButton)->click();
        });
        int copies = 0;
        EXPECT_EQ(RunModal(dialog, &owner, [&] { ++copies; }), expected);
        EXPECT_TRUE(ownerDisabledWhileRunning);
        EXPECT_TRUE(owner.isEnabled());
        EXPECT_FALSE(dialog.Form->isVisible());
        EXPECT_EQ(copies, expected == 1 ? 1 : 0);
    }
}

TEST_F(WindowBaseTest, RunModalEndsWhenTheCloseBoxIsUsed) {
    TestDialog dialog;
    dialog.Prepare();
    QTimer::singleShot(0, [&] { dialog.Form->close(); });
    EXPECT_EQ(RunModal(dialog, nullptr), 2);
}

} // namespace
} // namespace nuvex
