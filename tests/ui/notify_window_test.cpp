// The notification window and the object that runs it, driven pass by pass
// on a fake clock: fades, the hold, the close glyph, stop events, the saved
// position and the click actions. Also writes screenshots to the build tree.
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/named_objects.h"
#include "lib/registry.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"
#include "tests/ui/ui_test_support.h"
#include "ui/notify_alerts.h"
#include "ui/notify_window.h"
#include "ui/pictures.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <thread>

namespace nuvex {
namespace {

using test::QtEnvironment;
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// The offscreen platform cannot raise windows or apply opacity and says so
// on every call; the window's own opacity value is what the tests check.
const QtMessageHandler g_previousHandler =
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (text.startsWith(QLatin1String("This plugin does not support"))) {
            return;
        }
        if (g_previousHandler) {
            g_previousHandler(type, context, text);
        } else {
            std::fprintf(stderr, "%s\n", qPrintable(text));
        }
    });

struct RecordingActions final : NotifyActions {
    std::vector<std::string> calls;
    std::function<void()> onCall; // runs first in every action
    void OpenAccountMailbox(const std::string& id) override {
        if (onCall) {
            onCall();
        }
        calls.push_back("mailbox " + id);
    }
    void OpenAccountMessage(const std::string& id, const std::string& ref) override {
        calls.push_back("message " + id + " " + ref);
    }
    void EditAccount(const std::string& id) override { calls.push_back("edit " + id); }
};

using test::Summary;

TNotifyMessageItem Message(const std::string& sender, const std::string& subject, const std::string& detail) {
    return test::Message(sender, subject, detail, "POP3_1", "msg-7");
}

using test::Error;

using Stage = TNotifyWindowThread::Stage;
const QRect kWork(0, 0, 1280, 1000);
const QPoint kAway(-500, -500);

class NotifyWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDefaultClock(&clock);
        stopNotify = OpenOrCreateEvent("RI4StopWNotify", true, false);
        stop = OpenOrCreateEvent("RI4Stop", true, false);
        ASSERT_TRUE(stopNotify && stop);
        stopNotify->Reset();
        stop->Reset();
        context.host = &host;
        context.actions = &actions;
        context.workArea = [] { return kWork; };
        context.cursorPos = [this] { return cursor; };
        mail.Add(Message("Ann Example", "Lunch on Friday", "Shall we meet at noon by the river?"));
    }
    void TearDown() override {
        // A window that ended saves its place on the worker thread through
        // `host`, which goes with the fixture.
        EXPECT_TRUE(WaitForNotifyPlaceIo(5000));
        stopNotify->Reset();
        stop->Reset();
        SetDefaultClock(nullptr);
    }

    std::unique_ptr<TNotifyWindowThread> Make(const TNotifyMessages& m, const TNotifyMessages& e) {
        return std::make_unique<TNotifyWindowThread>(context, 3, m, e, true);
    }
    // Through the pulse and the pause after it, to the first window.
    void ToFirstWindow(TNotifyWindowThread& t) {
        t.Start();
        clock.AdvanceMs(151);
        t.Pass();
        clock.AdvanceMs(50);
        t.Pass();
    }
    void Step(TNotifyWindowThread& t, std::uint64_t ms = 51) {
        clock.AdvanceMs(ms);
        t.Pass();
    }
    void ToFullOpacity(TNotifyWindowThread& t) {
        while (t.Window() && t.Window()->Opacity() < 100) {
            Step(t);
        }
    }

    FakeClock clock;
    MemoryHostConfig host;
    RecordingActions actions;
    NotifyContext context;
    QPoint cursor = kAway;
    TNotifyMessages mail;
    TNotifyMessages errors;
    std::unique_ptr<NamedEvent> stopNotify;
    std::unique_ptr<NamedEvent> stop;
};

TEST_F(NotifyWindowTest, PulseComesFirstThenTheWindowFadesInBySteps) {
    auto t = Make(mail, errors);
    t->Start();
    EXPECT_TRUE(stopNotify->TryWait()); // older windows see the pulse
    EXPECT_EQ(t->Window(), nullptr);
    clock.AdvanceMs(150);
    t->Pass();
    EXPECT_TRUE(stopNotify->TryWait()); // 150 ms is not yet over
    clock.AdvanceMs(1);
    t->Pass();
    EXPECT_FALSE(stopNotify->TryWait());
    EXPECT_EQ(t->Window(), nullptr);
    clock.AdvanceMs(50);
    t->Pass();
    ASSERT_NE(t->Window(), nullptr);
    EXPECT_EQ(t->CurrentStage(), Stage::Mail);
    EXPECT_TRUE(t->Window()->Form->isVisible());
    EXPECT_EQ(t->Window()->Opacity(), 0);

    Step(*t, 50); // steps need more than 50 ms
    EXPECT_EQ(t->Window()->Opacity(), 0);
    Step(*t, 1);
    EXPECT_EQ(t->Window()->Opacity(), 5);
    for (int i = 2; i <= 20; ++i) {
        Step(*t);
        EXPECT_EQ(t->Window()->Opacity(), 5 * i);
    }
    EXPECT_DOUBLE_EQ(t->Window()->Form->windowOpacity(), 1.0);
    Step(*t);
    EXPECT_EQ(t->Window()->Opacity(), 100);
}

TEST_F(NotifyWindowTest, HeldTenSecondsAfterTheLastStepThenFadesOutToTheEnd) {
    auto t = Make(mail, errors);
    ToFirstWindow(*t);
    ToFullOpacity(*t);
    Step(*t, 10000);
    EXPECT_EQ(t->Window()->Opacity(), 100);
    Step(*t, 1);
    EXPECT_EQ(t->Window()->Opacity(), 95);
    const QRect where = t->Window()->WindowRect();
    // Once started, the fade-out goes on whatever the pointer does.
    cursor = t->Window()->Form->geometry().center();
    for (int expected = 90; expected > 0; expected -= 5) {
        Step(*t);
        ASSERT_EQ(t->Window()->Opacity(), expected);
    }
    Step(*t);
    EXPECT_EQ(t->CurrentStage(), Stage::Done);
    EXPECT_EQ(t->Window(), nullptr);
    EXPECT_EQ(where.topLeft(), QPoint(1280 - 300, 1000 - 200));
    ASSERT_TRUE(WaitForNotifyPlaceIo(5000)); // saved off the GUI thread
    EXPECT_EQ(host.ReadCfgInt("NOTIFY_POSX"), where.x());
    EXPECT_EQ(host.ReadCfgInt("NOTIFY_POSY"), where.y());
}

TEST_F(NotifyWindowTest, PointerOnTheWindowHoldsItAndLeavingStartsTheFadeOut) {
    auto t = Make(mail, errors);
    ToFirstWindow(*t);
    ToFullOpacity(*t);
    cursor = t->Window()->Form->geometry().center();
    Step(*t, 10001);
    Step(*t, 30000);
    EXPECT_EQ(t->Window()->Opacity(), 100);
    cursor = kAway;
    Step(*t, 1);
    EXPECT_EQ(t->Window()->Opacity(), 95);
}

TEST_F(NotifyWindowTest, PointerIsTrackedByEnterAndLeaveWithoutAPositionSource) {
    context.cursorPos = nullptr;
    TNotifyWindow w(mail, context);
    w.PrepareAndPlace();
    w.Show();
    EXPECT_FALSE(w.PointerInside());
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(-9000, -9000));
    QCoreApplication::sendEvent(w.Form, &enter);
    EXPECT_TRUE(w.PointerInside());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(w.Form, &leave);
    EXPECT_FALSE(w.PointerInside());
}

TEST_F(NotifyWindowTest, CloseGlyphEndsAtOnceWithoutFade) {
    errors.Add(Error("bob@example.org", "The server refused the login."));
    auto t = Make(mail, errors);
    ToFirstWindow(*t);
    Step(*t);
    Step(*t);
    TVostrelForm* form = t->Window()->Form;
    const int w = t->Window()->Layout().innerWidth;
    QTest::mouseClick(form, Qt::LeftButton, {}, QPoint(w - 13, 4)); // left of the glyph
    QTest::mouseClick(form, Qt::LeftButton, {}, QPoint(w - 8, 9));  // below the strip
    EXPECT_EQ(form->Result(), 0);
    QTest::mouseClick(form, Qt::LeftButton, {}, QPoint(w - 8, 4));
    EXPECT_EQ(form->Result(), 2);
    t->Pass(); // no time needs to pass
    // The error window follows, starting at 10.
    EXPECT_EQ(t->CurrentStage(), Stage::Error);
    ASSERT_NE(t->Window(), nullptr);
    EXPECT_EQ(t->Window()->Opacity(), 10);
    EXPECT_EQ(t->Window()->Layout().total, 55);
}

TEST_F(NotifyWindowTest, DraggingTheTopStripMovesTheWindow) {
    TNotifyWindow w(mail, context);
    w.PrepareAndPlace();
    w.Show();
    QWidget* form = w.Form;
    auto send = [&](QEvent::Type type, QPoint local, QPoint global, Qt::MouseButtons buttons) {
        QMouseEvent event(type, QPointF(local), QPointF(global), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(form, &event);
    };
    auto drag = [&](QPoint from, QPoint by) {
        const QPoint global = form->mapToGlobal(from);
        send(QEvent::MouseButtonPress, from, global, Qt::LeftButton);
        send(QEvent::MouseMove, from + by, global + by, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, from + by, global + by, Qt::NoButton);
    };
    const QPoint start = form->pos();
    drag(QPoint(50, 12), QPoint(-100, -50)); // below the strip: the window stays
    EXPECT_EQ(form->pos(), start);
    drag(QPoint(50, 4), QPoint(-100, -50));
    EXPECT_EQ(form->pos(), start + QPoint(-100, -50));
    EXPECT_EQ(w.Result(), 0);
}

TEST_F(NotifyWindowTest, ErrorWindowOpensWhereTheMailWindowWasLeft) {
    errors.Add(Error("bob@example.org", "The server refused the login."));
    auto t = Make(mail, errors);
    ToFirstWindow(*t);
    TNotifyWindow* first = t->Window();
    first->Form->move(QPoint(500, 300) + QPoint(3, 16 + 3)); // dragged: window corner at 500,300
    first->Form->SetResult(2);
    t->Pass();
    ASSERT_EQ(t->CurrentStage(), Stage::Error);
    EXPECT_EQ(t->Window()->WindowRect().topLeft(), QPoint(500, 300));
}

TEST_F(NotifyWindowTest, SavedPositionRules) {
    auto placed = [&] {
        TNotifyWindow w(mail, context);
        w.PrepareAndPlace();
        return w.WindowRect().topLeft();
    };
    const QPoint standard(1280 - 300, 1000 - 200);
    EXPECT_EQ(placed(), standard); // never saved: the read answers nothing
    host.WriteCfgInt("NOTIFY_POSX", 0);
    host.WriteCfgInt("NOTIFY_POSY", 0);
    EXPECT_EQ(placed(), standard);
    host.WriteCfgInt("NOTIFY_POSX", 1280 - 50);
    host.WriteCfgInt("NOTIFY_POSY", 1000 - 50);
    EXPECT_EQ(placed(), standard);
    host.WriteCfgInt("NOTIFY_POSX", -1);
    EXPECT_EQ(placed().x(), standard.x());
    host.WriteCfgInt("NOTIFY_POSX", 1280 - 51);
    host.WriteCfgInt("NOTIFY_POSY", 120);
    EXPECT_EQ(placed(), QPoint(1229, 120));
    // A place saved for a short window keeps a tall one on the screen.
    host.WriteCfgInt("NOTIFY_POSY", 940);
    EXPECT_EQ(placed().y(), 1000 - 105); // the window is 35 + 70 high

    host.failAll = true; // a dead host: computed place, nothing written
    EXPECT_EQ(placed(), standard);
    host.failAll = false;

    TNotifyWindow w(mail, context);
    w.PrepareAndPlace();
    w.Form->move(3, 16 + 3 + 40); // window corner at 0,40
    w.SavePosition();
    EXPECT_EQ(host.ReadCfgInt("NOTIFY_POSX"), 1);
    EXPECT_EQ(host.ReadCfgInt("NOTIFY_POSY"), 40);
}

// A host that stops answering until released (or two seconds have passed).
class HungHost final : public HostConfig {
public:
    MemoryHostConfig inner;
    std::atomic<bool> hung{true};
    bool Connected() const override { return true; }
    std::optional<bool> ReadCfgBool(std::string_view k, int f) override {
        return Wait(), inner.ReadCfgBool(k, f);
    }
    std::optional<std::int32_t> ReadCfgInt(std::string_view k, int f) override {
        return Wait(), inner.ReadCfgInt(k, f);
    }
    std::optional<std::string> ReadCfgStr(std::string_view k, int f) override {
        return Wait(), inner.ReadCfgStr(k, f);
    }
    bool WriteCfgBool(std::string_view k, bool v, int f) override {
        return Wait(), inner.WriteCfgBool(k, v, f);
    }
    bool WriteCfgInt(std::string_view k, std::int32_t v, int f) override {
        return Wait(), inner.WriteCfgInt(k, v, f);
    }
    bool WriteCfgStr(std::string_view k, std::string_view v, int f) override {
        return Wait(), inner.WriteCfgStr(k, v, f);
    }
    bool DeleteCfgValue(std::string_view k, int f) override { return Wait(), inner.DeleteCfgValue(k, f); }
    bool ConfigChanged() override { return true; }

private:
    void Wait() {
        QElapsedTimer t;
        t.start();
        while (hung && t.elapsed() < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

TEST_F(NotifyWindowTest, AHungHostNeverHoldsTheWindowLong) {
    HungHost hungHost;
    hungHost.inner.WriteCfgInt("NOTIFY_POSX", 100);
    hungHost.inner.WriteCfgInt("NOTIFY_POSY", 100);
    context.host = &hungHost;
    auto t = Make(mail, errors);
    QElapsedTimer timer;
    timer.start();
    ToFirstWindow(*t);
    ASSERT_NE(t->Window(), nullptr);
    EXPECT_LT(timer.elapsed(), nuvex::test::ScaledMs(1000));
    EXPECT_EQ(t->Window()->WindowRect().topLeft(), QPoint(1280 - 300, 1000 - 200)); // the default place
    timer.restart();
    t->Window()->Form->SetResult(kResultCancel);
    t->Pass();
    EXPECT_EQ(t->CurrentStage(), Stage::Done);
    EXPECT_LT(timer.elapsed(), nuvex::test::ScaledMs(500));
    hungHost.hung = false;
    ASSERT_TRUE(WaitForNotifyPlaceIo(5000));
    EXPECT_EQ(hungHost.inner.ReadCfgInt("NOTIFY_POSX"), 1280 - 300);
}

TEST_F(NotifyWindowTest, DrainingBeforeTheStoreGoesDropsWhatAHungHostHasNotTaken) {
    HungHost hungHost;
    hungHost.inner.WriteCfgInt("NOTIFY_POSX", 100);
    context.host = &hungHost;
    auto t = Make(mail, errors);
    ToFirstWindow(*t); // the read of the place hangs
    t->Window()->Form->SetResult(kResultCancel);
    t->Pass(); // the save is queued behind it
    EXPECT_EQ(t->CurrentStage(), Stage::Done);
    EXPECT_FALSE(DrainNotifyPlaceIo(50));
    hungHost.hung = false;
    ASSERT_TRUE(WaitForNotifyPlaceIo(5000));
    EXPECT_EQ(hungHost.inner.ReadCfgInt("NOTIFY_POSX"), 100); // the save never ran
    EXPECT_TRUE(DrainNotifyPlaceIo(50));
}

TEST_F(NotifyWindowTest, PulseOfANewerNotificationClosesTheShownOne) {
    errors.Add(Error("bob@example.org", "The server refused the login."));
    auto older = Make(mail, errors);
    ToFirstWindow(*older);
    ToFullOpacity(*older);
    // Another process's notification: only the named event tells.
    stopNotify->Set();
    Step(*older, 10);
    EXPECT_EQ(older->CurrentStage(), Stage::Done); // and no error window after it
    stopNotify->Reset();
}

TEST_F(NotifyWindowTest, SecondNotificationReplacesTheFirstAtItsPlace) {
    auto older = Make(mail, errors);
    ToFirstWindow(*older);
    older->Window()->Form->move(QPoint(400, 200) + QPoint(3, 19));
    TNotifyMessages second;
    second.Add(Summary("carol@example.org", 2));
    auto newer = Make(second, errors);
    newer->Start();
    Step(*older, 10);
    EXPECT_EQ(older->CurrentStage(), Stage::Done);
    clock.AdvanceMs(151);
    newer->Pass();
    clock.AdvanceMs(50);
    newer->Pass();
    ASSERT_NE(newer->Window(), nullptr);
    EXPECT_EQ(newer->Window()->WindowRect().topLeft(), QPoint(400, 200));
}

TEST_F(NotifyWindowTest, EmptyListsShowNothingButStillCloseTheOlderWindow) {
    auto older = Make(mail, errors);
    ToFirstWindow(*older);
    TNotifyMessages none;
    auto empty = Make(none, none);
    empty->Start();
    Step(*older, 10);
    EXPECT_EQ(older->CurrentStage(), Stage::Done);
    clock.AdvanceMs(151);
    empty->Pass();
    clock.AdvanceMs(50);
    empty->Pass();
    EXPECT_EQ(empty->CurrentStage(), Stage::Done);
    EXPECT_EQ(empty->Window(), nullptr);
}

TEST_F(NotifyWindowTest, StopEventEndsTheWindowAndTheErrorWindowWithIt) {
    errors.Add(Error("bob@example.org", "The server refused the login."));
    auto t = Make(mail, errors);
    ToFirstWindow(*t);
    stop->Set();
    Step(*t, 10);
    EXPECT_EQ(t->CurrentStage(), Stage::Done);
}

TEST_F(NotifyWindowTest, ClicksRunTheEntryActionOnceAndEndTheWindow) {
    TNotifyMessages items;
    items.Add(Summary("ann@example.org", 4));
    items.Add(Message("Ann Example", "Lunch", "Noon?"));
    items.Add(Error("bob@example.org", "Login refused"));
    auto clickText = [&](const QString& text) {
        TNotifyWindow w(items, context);
        w.PrepareAndPlace();
        w.Show();
        for (TClickLabel* label : w.Form->findChildren<TClickLabel*>()) {
            if (label->text() == text) {
                QTest::mouseClick(label, Qt::LeftButton);
                QTest::mouseClick(label, Qt::LeftButton); // the window has ended: nothing more
                break;
            }
        }
        return w.Result();
    };
    EXPECT_EQ(clickText("Subject: Lunch"), 2);
    EXPECT_EQ(clickText("new messages"), 2);
    EXPECT_EQ(clickText("Login refused"), 2);
    QCoreApplication::processEvents(); // the actions run from the event loop
    EXPECT_EQ(actions.calls,
              (std::vector<std::string>{"message POP3_1 msg-7", "mailbox POP3_1", "edit POP3_2"}));

    TNotifyWindow w(items, context);
    w.ClickEntry(NotifyAction::OpenAccount, 3); // out of range
    EXPECT_EQ(w.Result(), 0);
}

TEST_F(NotifyWindowTest, ClickEndsTheWindowBeforeTheActionRunsFromACopyOfTheEntry) {
    auto items = std::make_unique<TNotifyMessages>();
    items->Add(Summary("ann@example.org", 4));
    auto w = std::make_unique<TNotifyWindow>(*items, context);
    w->PrepareAndPlace();
    w->Show();
    int resultSeenByAction = -1;
    // An action that runs a nested loop may see the window end and be freed.
    actions.onCall = [&] {
        resultSeenByAction = w ? w->Result() : 2;
        w.reset();
    };
    w->ClickEntry(NotifyAction::OpenAccount, 0);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->Result(), 2);
    w.reset();
    items.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(resultSeenByAction, 2);
    EXPECT_EQ(actions.calls, std::vector<std::string>{"mailbox POP3_1"});
}

TEST_F(NotifyWindowTest, EnterAcceptsOnlyAfterOneSecond) {
    auto t = Make(mail, errors);
    ToFirstWindow(*t);
    TVostrelForm* form = t->Window()->Form;
    clock.AdvanceMs(500);
    QTest::keyClick(form, Qt::Key_Return);
    EXPECT_EQ(form->Result(), 0);
    clock.AdvanceMs(1000);
    QTest::keyClick(form, Qt::Key_Return);
    EXPECT_EQ(form->Result(), 1);
    t->Pass();
    EXPECT_EQ(t->CurrentStage(), Stage::Done);
}

// Real timers on a fake clock: each wait below ends as soon as the timer has
// fired, bounded so that a broken schedule fails instead of hanging.
bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 5000) {
        QTest::qWait(5);
    }
    return done();
}

TEST_F(NotifyWindowTest, RunsByItselfFromTheCallersCopiesAndFreesItself) {
    QPointer<TNotifyWindowThread> t;
    {
        TNotifyMessages local;
        local.Add(Summary("ann@example.org", 2));
        t = ShowNotifyWindow(context, 2, local, errors);
    } // the caller's list is gone; the notification has its own copy
    ASSERT_TRUE(t);
    QSignalSpy finished(t.data(), &TNotifyWindowThread::Finished);
    clock.AdvanceMs(201);
    ASSERT_TRUE(WaitFor([&] { return t && t->Window() && t->Window()->Form->isVisible(); }));
    EXPECT_EQ(t->Window()->Layout().total, 45);
    const int before = t->Window()->Opacity();
    clock.AdvanceMs(51);
    ASSERT_TRUE(WaitFor([&] { return t && t->Window() && t->Window()->Opacity() > before; }));
    t->Window()->Form->SetResult(2);
    ASSERT_TRUE(WaitFor([&] { return t.isNull(); }));
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(NotifyWindowTest, ScreenshotsOfOneThreeAndTwelveEntries) {
    const QString dir = QStringLiteral(NUVEX_BINARY_DIR "/test-output");
    ASSERT_TRUE(QDir().mkpath(dir));
    auto shoot = [&](const TNotifyMessages& items, const QString& name, int scrollSteps) {
        TNotifyWindow w(items, context);
        w.PrepareAndPlace();
        w.Show();
        if (w.ScrollBox()) {
            w.ScrollBox()->verticalScrollBar()->setValue(scrollSteps * w.Layout().scrollStep);
        }
        const QImage shot = w.Form->grab().toImage();
        EXPECT_EQ(shot.size(), QSize(w.Layout().innerWidth, w.Layout().innerHeight));
        EXPECT_TRUE(shot.save(dir + "/" + name + ".png"));
        // Pixel-doubled copy for reviewing the small pictures by eye.
        shot.scaled(shot.size() * 3, Qt::IgnoreAspectRatio, Qt::FastTransformation)
            .save(dir + "/" + name + "-x3.png");
        // The border is drawn in its colour at the corners.
        EXPECT_EQ(shot.pixelColor(0, shot.height() - 1), QColor(22, 89, 130));
        return w.ScrollBox() != nullptr;
    };
    EXPECT_FALSE(shoot(mail, "notify-one", 0));

    TNotifyMessages mixed;
    mixed.Add(Summary("ann.example@example.org", 1234));
    mixed.Add(Message(
        "A very long sender name that cannot fit <b>here</b>", "Quarterly figures and the plan",
        "Hello team, please find the attached figures for the last quarter and the plan for the next."));
    mixed.Add(Error("bob@example.org", "The server refused the login. Check the user name and password."));
    EXPECT_FALSE(shoot(mixed, "notify-mixed", 0));

    TNotifyMessages twelve;
    for (int i = 0; i < 12; ++i) {
        twelve.Add(Message("Sender " + std::to_string(i + 1), "Subject number " + std::to_string(i + 1),
                           i % 3 == 0 ? "A short preview."
                                      : "A longer preview that needs two lines to be shown in the window."));
    }
    EXPECT_TRUE(shoot(twelve, "notify-twelve", 3));
}

// Every text of the window stands out from its background, under the light
// palette and under a dark one, measured on the rendered pixels: in each
// label the commonest colour is the background, the one farthest from it the
// glyphs' core.
class NotifyPaletteRows : public NotifyWindowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NotifyPaletteRows, EveryTextHasAContrastOfAtLeastFourAndAHalf) {
    const QPalette light = QApplication::palette();
    QApplication::setPalette(GetParam() ? test::DarkPalette() : light);
    TNotifyMessages items;
    items.Add(Summary("ann@example.org", 2));
    items.Add(Message("Marta Nowak <marta@example.org>", "Lunch?", "Free on Friday?"));
    items.Add(Error("bob@example.org", "Invalid login or password."));
    {
        TNotifyWindow w(items, context);
        w.PrepareAndPlace();
        w.Show();
        const QImage shot = w.Form->grab().toImage();
        shot.save(QStringLiteral(NUVEX_BINARY_DIR "/test-output/notify-") +
                  (GetParam() ? QStringLiteral("dark") : QStringLiteral("light")) + QStringLiteral(".png"));
        int measured = 0;
        for (const QLabel* label : w.Form->findChildren<QLabel*>()) {
            if (!label->isVisible() || label->text().trimmed().isEmpty()) {
                continue;
            }
            const QImage crop = shot.copy(QRect(label->mapTo(w.Form, QPoint(0, 0)), label->size()));
            std::map<QRgb, int> counts;
            for (int y = 0; y < crop.height(); ++y) {
                for (int x = 0; x < crop.width(); ++x) {
                    ++counts[crop.pixel(x, y)];
                }
            }
            const QColor background(std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                                        return a.second < b.second;
                                    })->first);
            double best = 1;
            for (const auto& [rgb, n] : counts) {
                best = std::max(best, test::ContrastRatio(QColor(rgb), background));
            }
            EXPECT_GE(best, 4.5) << label->text().toStdString();
            ++measured;
        }
        EXPECT_GE(measured, 8);
    }
    QApplication::setPalette(light);
}

INSTANTIATE_TEST_SUITE_P(Palettes, NotifyPaletteRows, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Dark" : "Light"; });

TEST(NotifyAlerts, TrayGetsTheNewIconAndTheTooltipByTheirGates) {
    struct FakeTray final : TrayTarget {
        int icons = 0;
        QIcon icon;
        QStringList tips;
        void SetIcon(const QIcon& i) override {
            ++icons;
            icon = i;
        }
        void SetToolTip(const QString& tip) override { tips << tip; }
    } tray;
    SetTrayNewMail(&tray, 0, 0);
    EXPECT_EQ(tray.icons, 0);
    EXPECT_TRUE(tray.tips.isEmpty());
    SetTrayNewMail(&tray, 3, 0);
    EXPECT_EQ(tray.icons, 1);
    EXPECT_FALSE(tray.icon.isNull());
    EXPECT_TRUE(tray.tips.isEmpty());
    SetTrayNewMail(&tray, 5, 7);
    ASSERT_EQ(tray.tips.size(), 1);
    EXPECT_EQ(tray.tips[0], "You have 5 new emails.");
    SetTrayNewMail(nullptr, 5, 7); // no tray yet: nothing happens
}

TEST(NotifyAlerts, SoundIsQuietWithoutASoundSystem) {
    PlayNewMailSound();
    PlayNewMailSound(); // dropped or played; neither blocks
    QElapsedTimer waited;
    waited.start();
    while (NewMailSoundPending() && waited.elapsed() < 10000) {
        QTest::qWait(20);
    }
    EXPECT_FALSE(NewMailSoundPending());
}

TEST(Pictures, SizesAndKeyColour) {
    const std::pair<const char*, QSize> sizes[] = {
        {"NOTIFY_GRADIENT", {1, 8}},    {"NOTIFY_SCROLL", {2, 8}},    {"NOTIFY_CLOSE", {7, 8}},
        {"NOTIFY_ENVELOPES", {25, 22}}, {"NOTIFY_MESSAGE", {25, 22}}, {"NOTIFY_ERROR", {25, 22}},
        {"NEWMAIL", {16, 16}},          {"TRAYICON", {32, 32}},       {"NEWICON", {32, 32}},
        {"MAINICON", {32, 32}}};
    for (const auto& [name, size] : sizes) {
        EXPECT_EQ(Picture(name).size(), size) << name;
    }
    EXPECT_TRUE(Picture("NO_SUCH").isNull());

    // A sheet of all pictures, four times their size, for review by eye.
    QImage sheet(4 * 10 * 36, 4 * 36, QImage::Format_ARGB32);
    sheet.fill(QColor(230, 237, 242));
    QPainter painter(&sheet);
    int x = 0;
    for (const auto& [name, size] : sizes) {
        const QImage picture = Picture(name);
        painter.drawImage(QRect(x, 8, picture.width() * 4, picture.height() * 4), picture);
        x += 4 * 36;
    }
    painter.end();
    QDir().mkpath(QStringLiteral(NUVEX_BINARY_DIR "/test-output"));
    EXPECT_TRUE(sheet.save(QStringLiteral(NUVEX_BINARY_DIR "/test-output/pictures-x4.png")));
    const QImage icon = Picture("NOTIFY_ERROR");
    EXPECT_EQ(icon.pixel(0, 0), kPictureKeyColour);
    const QImage keyed = WithKeyTransparent(icon);
    EXPECT_EQ(qAlpha(keyed.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(keyed.pixel(12, 10)), 255);
    EXPECT_EQ(IconPicture("NEWICON").availableSizes().size(), 2);
    EXPECT_TRUE(IconPicture("NOTIFY_ERROR").isNull());
}

} // namespace
} // namespace nuvex
