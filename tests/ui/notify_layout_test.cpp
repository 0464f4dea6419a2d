// The notification layout as numbers: heights, the scroll box, the texts of
// the entries, shortening and the preview split, with a fixed-width measure.
#include "lib/files.h"
#include "tests/ui/ui_test_support.h"
#include "ui/notify_layout.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

// 6 pixels a character, 7 in bold, 13-pixel lines.
class FixedMeasure final : public TextMeasure {
public:
    int Width(const QString& text, bool bold) const override {
        return static_cast<int>(text.size()) * (bold ? 7 : 6);
    }
    int LineHeight() const override { return 13; }
};

const TNotifyTexts kTexts{"From:", "Subject:", "Message:", "Account:", "new message", "new messages"};

using test::Summary;

using test::Error;
using test::Message;

TNotifyLayout Lay(const TNotifyMessages& items) {
    return LayoutNotifyEntries(items, FixedMeasure(), kTexts);
}

std::vector<TNotifyLabel> LabelsOf(const TNotifyLayout& layout, int entry) {
    std::vector<TNotifyLabel> out;
    for (const auto& l : layout.labels) {
        if (l.entry == entry) {
            out.push_back(l);
        }
    }
    return out;
}

int Right(const TNotifyLabel& l) {
    return l.rect.x() + l.rect.width();
}

TEST(NotifyLayout, RowsUpTo250FitTheWindowAboveTheyScroll) {
    TNotifyMessages fits; // 70 + 70 + 55 + 55
    fits.Add(Message("a", "s", "d"));
    fits.Add(Message("b", "s", "d"));
    fits.Add(Error("c", "e"));
    fits.Add(Error("d", "e"));
    const TNotifyLayout a = Lay(fits);
    EXPECT_EQ(a.total, 250);
    EXPECT_FALSE(a.scrolled);
    EXPECT_EQ(a.windowHeight, 285);
    EXPECT_EQ(a.innerWidth, 274);
    EXPECT_EQ(a.innerHeight, 285 - 16 - 6);
    EXPECT_EQ(a.containerWidth, 280);

    // Heights are multiples of 5, so the first total above 250 is 255.
    TNotifyMessages over;
    over.Add(Summary("a", 1));
    over.Add(Message("b", "s", "d"));
    over.Add(Message("c", "s", "d"));
    over.Add(Message("d", "s", "d"));
    const TNotifyLayout b = Lay(over);
    EXPECT_EQ(b.total, 255);
    EXPECT_TRUE(b.scrolled);
    EXPECT_EQ(b.windowHeight, 285);
    EXPECT_EQ(b.scrollBox, QRect(1, 9, 272, 250));
    EXPECT_EQ(b.containerWidth, 272 - 16 - 3);
    EXPECT_EQ(b.scrollStep, 1); // (255 - 250) div 4, at least 1
    // Scrolled rows start at -5: the first line sits at 10 in the panel.
    EXPECT_EQ(LabelsOf(b, 0).front().rect.y(), 10);
}

TEST(NotifyLayout, SmallListAndScrollStep) {
    TNotifyMessages one;
    one.Add(Message("Ann", "Hello", ""));
    const TNotifyLayout a = Lay(one);
    EXPECT_EQ(a.total, 45);
    EXPECT_EQ(a.windowHeight, 80);
    EXPECT_TRUE(a.separators.empty());
    EXPECT_EQ(a.icons.at(0).rect, QRect(7, 19, 25, 22));

    TNotifyMessages twelve;
    for (int i = 0; i < 12; ++i) {
        twelve.Add(Message("Ann", "Hello", "one two"));
    }
    const TNotifyLayout b = Lay(twelve);
    EXPECT_EQ(b.total, 840);
    EXPECT_EQ(b.scrollStep, (840 - 250) / 12);
    // Every preview fits on one line: each row gives back one 13-pixel line.
    EXPECT_EQ(b.contentHeight, 840 - 12 * 13);
    EXPECT_EQ(b.panel, QSize(253, 840 - 12 * 13));
    EXPECT_EQ(b.separators.size(), 11u);
}

TEST(NotifyLayout, SummaryCountsAndWording) {
    TNotifyMessages items;
    items.Add(Summary("ann@example.org", 1));
    items.Add(Summary("bob@example.org", 1000));
    const TNotifyLayout layout = Lay(items);
    const auto one = LabelsOf(layout, 0);
    ASSERT_EQ(one.size(), 4u);
    EXPECT_EQ(one[0].text, "Account:");
    EXPECT_EQ(one[1].text, "ann@example.org");
    EXPECT_EQ(one[1].style, NotifyTextStyle::Bold);
    EXPECT_EQ(one[1].rect.x(), 40 + 8 * 6);
    EXPECT_EQ(one[2].text, "1 ");
    EXPECT_EQ(one[2].style, NotifyTextStyle::Bold);
    EXPECT_EQ(one[3].text, "new message");
    EXPECT_EQ(one[3].rect.topLeft(), QPoint(40 + 2 * 7, 3 + 15 + 13));

    const auto many = LabelsOf(layout, 1);
    const QString thousand = QString::fromStdString(FormatThousands(1000));
    EXPECT_EQ(many[2].text, thousand + " ");
    EXPECT_EQ(many[3].text, "new messages");
    EXPECT_EQ(many[3].rect.x(), Right(many[2]));
    EXPECT_EQ(many[3].rect.y(), 3 + 45 + 15 + 13);
    for (const auto& l : layout.labels) {
        EXPECT_EQ(l.action, NotifyAction::OpenAccount);
    }
    ASSERT_EQ(layout.separators.size(), 1u);
    EXPECT_EQ(layout.separators[0], QRect(0, 3 + 50, 273, 1));
}

TEST(NotifyLayout, LongSenderTakesTheCaptionPlaceAndIsShortened) {
    TNotifyMessages items;
    items.Add(Message(std::string(60, 'A'), "Hi", ""));
    items.Add(Message("Bob", "Hi", ""));
    const TNotifyLayout layout = Lay(items);
    const auto longOne = LabelsOf(layout, 0);
    EXPECT_FALSE(longOne[0].visible); // "From:" gives way
    EXPECT_EQ(longOne[1].rect.x(), 40);
    // The longest text with "..." that ends more than 10 pixels inside 277.
    EXPECT_EQ(longOne[1].text, QString(29, 'A') + "...");
    EXPECT_LT(Right(longOne[1]), 267);
    EXPECT_GE(Right(longOne[1]) + 7, 267);

    const auto shortOne = LabelsOf(layout, 1);
    EXPECT_TRUE(shortOne[0].visible);
    EXPECT_EQ(shortOne[1].text, "Bob");
    EXPECT_EQ(shortOne[1].rect.x(), 40 + 5 * 6);
    EXPECT_EQ(shortOne[2].text, "Subject:Hi");
}

TEST(NotifyLayout, LongAccountNameHidesTheCaptionAndUsesNoMargin) {
    TNotifyMessages items;
    items.Add(Error(std::string(60, 'n'), "Login refused"));
    const auto labels = LabelsOf(Lay(items), 0);
    EXPECT_FALSE(labels[0].visible);
    EXPECT_EQ(labels[1].rect.x(), 40);
    EXPECT_EQ(labels[1].text, QString(30, 'n') + "..."); // 40 + 33 * 7 = 271 < 277
    ASSERT_EQ(labels.size(), 3u);
    EXPECT_TRUE(labels[2].wordWrap);
    EXPECT_EQ(labels[2].rect, QRect(40, 3 + 15 + 13, 280 - 6 - 41, 26));
    for (const auto& l : labels) {
        EXPECT_EQ(l.action, NotifyAction::EditAccount);
    }
}

TEST(NotifyLayout, OnePreviewLineMovesTheFollowingRowsUp) {
    TNotifyMessages items;
    items.Add(Message("Ann", "Lunch", "\r\n  Short note \t"));
    items.Add(Summary("x", 2));
    const TNotifyLayout layout = Lay(items);
    const auto first = LabelsOf(layout, 0);
    ASSERT_EQ(first.size(), 5u);
    EXPECT_EQ(first[3].text, "Message:");
    EXPECT_EQ(first[4].text, "Short note");
    EXPECT_EQ(first[4].style, NotifyTextStyle::Preview);
    EXPECT_EQ(first[4].rect.topLeft(), QPoint(40 + 8 * 6, 3 + 15 + 26));
    EXPECT_EQ(layout.total, 115);              // the window still counts 70
    EXPECT_EQ(layout.contentHeight, 115 - 13); // the rows do not
    EXPECT_EQ(layout.windowHeight, 35 + 115);
    EXPECT_EQ(layout.separators.at(0).y(), 3 - 13 + 75);
    EXPECT_EQ(LabelsOf(layout, 1).front().rect.y(), 3 + 70 - 13 + 15);
    EXPECT_EQ(layout.icons.at(1).rect.y(), 3 + 70 - 13 + 16);
}

TEST(NotifyLayout, LongPreviewSplitsAtABlankIntoTwoLines) {
    TNotifyMessages items;
    items.Add(Message("Ann", "Plans", "aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii"));
    items.Add(Summary("x", 2));
    const TNotifyLayout layout = Lay(items);
    const auto labels = LabelsOf(layout, 0);
    ASSERT_EQ(labels.size(), 6u);
    // 88 + 29 * 6 = 262 is the last cut that ends more than 10 inside 277.
    EXPECT_EQ(labels[4].text, "aaaa bbbb cccc dddd eeee ffff");
    EXPECT_EQ(labels[5].text, "gggg hhhh iiii");
    EXPECT_EQ(labels[5].rect.topLeft(), QPoint(labels[4].rect.x(), 3 + 15 + 39));
    EXPECT_EQ(layout.contentHeight, layout.total);
    EXPECT_EQ(layout.separators.at(0).y(), 3 + 75);
}

TEST(NotifyLayout, PreviewWithoutBlanksIsCutByCharacters) {
    TNotifyMessages items;
    items.Add(Message("Ann", "Plans", std::string(80, 'x')));
    const auto labels = LabelsOf(Lay(items), 0);
    ASSERT_EQ(labels.size(), 6u);
    EXPECT_EQ(labels[4].text, QString(29, 'x'));
    EXPECT_EQ(labels[5].text, QString(26, 'x') + "...");
}

TEST(NotifyLayout, MessageWithoutAccountIsNotClickableButItsIconIs) {
    TNotifyMessages items;
    items.Add(Message("Ann", "Line\none", "", ""));
    const TNotifyLayout layout = Lay(items);
    for (const auto& l : layout.labels) {
        EXPECT_EQ(l.action, NotifyAction::None);
    }
    EXPECT_EQ(layout.icons.at(0).action, NotifyAction::OpenAccount);
    // A line break from a header would split the row; it becomes a blank.
    EXPECT_EQ(layout.labels.at(2).text, "Subject:Line one");
}

TEST(NotifyLayout, HugeTextsAreBoundedBeforeMeasuring) {
    TNotifyMessages items;
    items.Add(Message(std::string(200000, 'S'), std::string(200000, 's'), std::string(200000, 'd')));
    const auto labels = LabelsOf(Lay(items), 0);
    for (const auto& l : labels) {
        EXPECT_LE(l.text.size(), 403);
        EXPECT_LE(Right(l), 277);
    }
}

TEST(NotifyPlacement, AboveTheBottomRightOfTheWorkArea) {
    const QRect work(0, 0, 1920, 1040);
    EXPECT_EQ(DefaultNotifyWindowRect(work, 280, 80), QRect(1620, 840, 280, 80));
    EXPECT_EQ(DefaultNotifyWindowRect(work, 280, 285), QRect(1620, 1040 - 285 - 15, 280, 285));
    const QRect offset(100, 30, 1000, 700);
    EXPECT_EQ(DefaultNotifyWindowRect(offset, 280, 80).topLeft(), QPoint(800, 530));
}

TEST(NotifyPlacement, SavedEdgeRules) {
    EXPECT_FALSE(UsableSavedEdge(std::nullopt, 1870));
    EXPECT_FALSE(UsableSavedEdge(0, 1870));
    EXPECT_FALSE(UsableSavedEdge(-1, 1870)); // never written
    EXPECT_FALSE(UsableSavedEdge(1870, 1870));
    EXPECT_EQ(UsableSavedEdge(1869, 1870), 1869);
    EXPECT_EQ(UsableSavedEdge(1, 1870), 1);
    EXPECT_EQ(EdgeToSave(0), 1);
    EXPECT_EQ(EdgeToSave(412), 412);
}

} // namespace
} // namespace nuvex
