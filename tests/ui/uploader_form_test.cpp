// The draft upload's progress window: where its controls sit, the byte and
// time texts, the progress rules, Cancel, and a screenshot to look at.
#include "tests/ui/ui_test_support.h"
#include "ui/uploader_form.h"

#include <QApplication>
#include <QDir>
#include <cmath>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using test::QtEnvironment;

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct TextRow {
    double value;
    const char* text;
};

class ByteTextRows : public ::testing::TestWithParam<TextRow> {};
TEST_P(ByteTextRows, Text) {
    EXPECT_EQ(ByteText(GetParam().value), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(Bytes, ByteTextRows,
                         ::testing::Values(TextRow{0, "0B"}, TextRow{0.5, "0B"}, TextRow{1.5, "2B"},
                                           TextRow{2.5, "2B"}, TextRow{1023, "1023B"}, TextRow{1024, "1.0KB"},
                                           TextRow{40000, "39.1KB"}, TextRow{1048575, "1024.0KB"},
                                           TextRow{1048576, "1.0MB"}, TextRow{10485760, "10.0MB"}));

class TimeTextRows : public ::testing::TestWithParam<TextRow> {};
TEST_P(TimeTextRows, Text) {
    EXPECT_EQ(TimeText(GetParam().value), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(Seconds, TimeTextRows,
                         ::testing::Values(TextRow{0, "0 s"}, TextRow{0.5, "0 s"}, TextRow{1.5, "2 s"},
                                           TextRow{42.4, "42 s"}, TextRow{59.4, "59 s"},
                                           TextRow{59.6, "1 min 0 s"}, TextRow{60, "1 min 0 s"},
                                           TextRow{125, "2 min 5 s"}, TextRow{-3, "0 s"}, TextRow{NAN, "0 s"},
                                           TextRow{3600, "60 min 0 s"}));

struct Place {
    const char* name;
    QRect rect; // width -1: a label sized to its text
};

void PrintTo(const Place& p, std::ostream* os) {
    *os << p.name;
}

QWidget* ControlNamed(TWebvaultUploaderForm& w, std::string_view name) {
    const std::pair<std::string_view, QWidget*> controls[] = {
        {"Panel", w.Panel},         {"Using", w.UsingLabel},
        {"Status", w.StatusLabel},  {"Bar", w.Bar},
        {"TimeLabel", w.TimeLabel}, {"FromLabel", w.FromLabel},
        {"RateLabel", w.RateLabel}, {"Cancel", w.CancelButton}};
    for (auto [n, control] : controls) {
        if (n == name) {
            return control;
        }
    }
    return nullptr;
}

class UploaderLayout : public ::testing::TestWithParam<Place> {};

TEST_P(UploaderLayout, ControlSitsWhereDrawn) {
    TWebvaultUploaderForm win("joe@mail.test");
    QWidget* control = ControlNamed(win, GetParam().name);
    ASSERT_TRUE(control);
    const QRect want = GetParam().rect;
    EXPECT_EQ(control->x(), want.x());
    EXPECT_EQ(control->y(), want.y());
    if (want.width() >= 0) {
        EXPECT_EQ(control->width(), want.width());
        EXPECT_EQ(control->height(), want.height());
    }
}

INSTANTIATE_TEST_SUITE_P(Controls, UploaderLayout,
                         ::testing::Values(Place{"Panel", {0, 0, 368, 146}}, Place{"Using", {10, 16, -1, 0}},
                                           Place{"Status", {10, 38, 250, 13}}, Place{"Bar", {9, 57, 348, 13}},
                                           Place{"TimeLabel", {10, 75, -1, 0}},
                                           Place{"FromLabel", {10, 97, -1, 0}},
                                           Place{"RateLabel", {10, 119, -1, 0}},
                                           Place{"Cancel", {285, 152, 75, 25}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UploaderForm, ValuesStartAt110UnlessTheirLabelNeedsTheRoom) {
    TWebvaultUploaderForm win("joe@mail.test");
    const std::pair<QLabel*, QLabel*> rows[] = {
        {win.TimeLabel, win.TimeValue}, {win.FromLabel, win.FromValue}, {win.RateLabel, win.RateValue}};
    for (auto [label, value] : rows) {
        SCOPED_TRACE(label->text().toStdString());
        EXPECT_EQ(value->y(), label->y());
        EXPECT_EQ(value->height(), 13);
        EXPECT_EQ(value->x(), std::max(110, label->x() + label->width() + kUploaderValueGap));
        EXPECT_EQ(value->x() + value->width(), 358); // 10 pixels before the panel's right edge
    }
    // A narrow label leaves its value at 110.
    EXPECT_EQ(win.RateValue->x(), 110);
}

TEST(UploaderForm, TextsAndTheAddressRightAfterItsLabel) {
    TWebvaultUploaderForm win("joe@mail.test");
    EXPECT_EQ(win.Form->windowTitle(), "Preparing new email");
    EXPECT_EQ(win.Form->size(), QSize(kUploaderClientWidth, kUploaderClientHeight));
    EXPECT_EQ(win.UsingLabel->text(), "Preparing new email using ");
    EXPECT_EQ(win.EmailValue->text(), "joe@mail.test");
    EXPECT_EQ(win.EmailValue->x(), win.UsingLabel->x() + win.UsingLabel->width());
    EXPECT_EQ(win.EmailValue->x() + win.EmailValue->width(), 358);
    EXPECT_EQ(win.RateLabel->text(), "Transfer rate:");
    EXPECT_EQ(win.StatusLabel->text(), "Sending files");
    win.SetStage(TWebvaultUploaderForm::Stage::Preparing);
    EXPECT_EQ(win.StatusLabel->text(), "Preparing files");
    win.SetSendingFrom("/home/joe/Pictures", false);
    EXPECT_EQ(win.FromValue->text(), "/home/joe/Pictures");
    win.SetSendingFrom("/ignored", true);
    EXPECT_EQ(win.FromValue->text(), "Multiple locations");
}

TEST(UploaderForm, ProgressRaisesTheTotalToTheBytesSent) {
    TWebvaultUploaderForm win("joe@mail.test");
    // A report that counts the last chunk whole: the bar and texts stay consistent.
    EXPECT_TRUE(win.UpdateProgress(65536, 40000, 0, 2048));
    EXPECT_EQ(win.Bar->maximum(), 65536);
    EXPECT_EQ(win.Bar->value(), 65536);
    EXPECT_EQ(win.TimeValue->text(), "0 s (64.0KB of 64.0KB sent - 100.0%)");
    EXPECT_EQ(win.RateValue->text(), "2.0KB/s");
    EXPECT_EQ(win.Form->windowTitle(), "100.0% - Preparing new email");

    EXPECT_TRUE(win.UpdateProgress(32768, 10485760, 125, 1048576.0 * 1.5));
    EXPECT_EQ(win.TimeValue->text(), "2 min 5 s (32.0KB of 10.0MB sent - 0.3%)");
    EXPECT_EQ(win.RateValue->text(), "1.5MB/s");
    EXPECT_EQ(win.Form->windowTitle(), "0.3% - Preparing new email");
}

TEST(UploaderForm, NegativeReportsChangeNothingAndHugeTotalsStillFitTheBar) {
    TWebvaultUploaderForm win("joe@mail.test");
    ASSERT_TRUE(win.UpdateProgress(100, 200, 1, 100));
    const QString before = win.TimeValue->text();
    EXPECT_TRUE(win.UpdateProgress(150, 200, -1, 100));
    EXPECT_TRUE(win.UpdateProgress(150, 200, 1, -5));
    EXPECT_EQ(win.TimeValue->text(), before);
    EXPECT_EQ(win.Bar->value(), 100);

    EXPECT_TRUE(win.UpdateProgress(3ull << 30, 6ull << 30, 1, 1));
    EXPECT_GT(win.Bar->maximum(), 0);
    EXPECT_EQ(win.Bar->value() * 2, win.Bar->maximum());
}

TEST(UploaderForm, CancelStopsTheNextProgressReport) {
    TWebvaultUploaderForm win("joe@mail.test");
    EXPECT_TRUE(win.UpdateProgress(1, 2, 1, 1));
    win.CancelButton->click();
    EXPECT_EQ(win.Result(), kResultCancel);
    EXPECT_FALSE(win.UpdateProgress(2, 2, 0, 1));
}

TEST(UploaderForm, WaitingForTheServiceIsToldWithItsTime) {
    TWebvaultUploaderForm win("joe@mail.test");
    ASSERT_TRUE(win.UpdateProgress(2048, 2048, 0, 2048));
    win.ShowWaiting(75);
    EXPECT_TRUE(win.StatusLabel->text().contains(QStringLiteral("Waiting for the service")))
        << win.StatusLabel->text().toStdString();
    EXPECT_TRUE(win.StatusLabel->text().endsWith(QString::fromStdString(TimeText(75))));
    EXPECT_EQ(win.Bar->maximum(), 0) << "a busy bar, not a full one";
    EXPECT_LE(win.StatusLabel->fontMetrics().horizontalAdvance(win.StatusLabel->text()),
              win.StatusLabel->width());
}

TEST(UploaderForm, FailureStaysReadableWithAClose) {
    TWebvaultUploaderForm win("joe@mail.test");
    win.ShowFailure("\"/tmp/a.pdf\" became shorter while it was being sent");
    EXPECT_EQ(win.StatusLabel->text(),
              "The draft was not created: \"/tmp/a.pdf\" became shorter while it was being sent");
    EXPECT_FALSE(win.Bar->isVisibleTo(win.Form));
    EXPECT_EQ(win.CancelButton->text(), "Close");
    EXPECT_EQ(win.StatusLabel->x() + win.StatusLabel->width(), 358);
}

TEST(UploaderForm, Screenshot) {
    const QString dir = QStringLiteral(NUVEX_BINARY_DIR "/test-output");
    QDir().mkpath(dir);
    TWebvaultUploaderForm win("joe.bloggs@mail.example.com");
    win.SetStage(TWebvaultUploaderForm::Stage::Sending);
    win.SetSendingFrom("/home/joe/Pictures/Holiday 2026", false);
    win.UpdateProgress(4325376, 10223616, 9.4, 624000);
    win.Form->show();
    QApplication::processEvents();
    EXPECT_TRUE(win.Form->grab().toImage().save(dir + "/uploader-form.png"));
    win.UpdateProgress(10223616, 10223616, 0, 624000);
    win.ShowWaiting(6);
    QApplication::processEvents();
    EXPECT_TRUE(win.Form->grab().toImage().save(dir + "/uploader-form-waiting.png"));
    win.ShowFailure("\"/home/joe/Pictures/Holiday 2026/beach.jpg\" became shorter while it was being sent");
    QApplication::processEvents();
    EXPECT_TRUE(win.Form->grab().toImage().save(dir + "/uploader-form-failed.png"));
}

} // namespace
} // namespace nuvex
