#include "contract/menu_text.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

MenuModel Parse(const std::vector<std::string>& lines, MenuOptions options = {}) {
    return ParseMenu(lines, options);
}

std::vector<std::string> Texts(const MenuModel& model) {
    std::vector<std::string> out;
    for (const MenuEntry* e : MenuCommandItems(model)) {
        out.push_back(e->text);
    }
    return out;
}

TEST(MenuSections, TextWithoutDollarIsTakenWhole) {
    auto model = Parse({"A=CMD_A", "", "   ", "B=CMD_B"});
    EXPECT_EQ(Texts(model), (std::vector<std::string>{"A", "B"}));
}

TEST(MenuSections, WithDollarOnlyTheFirstSectionCounts) {
    auto model = Parse({"Before=X", "$", "A=CMD_A", "$OTHER", "B=CMD_B"});
    EXPECT_EQ(Texts(model), (std::vector<std::string>{"A"}));
}

TEST(MenuSections, NamedSectionIsFoundWithoutRegardToCase) {
    MenuOptions options;
    options.section = "other";
    auto model = Parse({"$MAIN", "A=CMD_A", "$OTHER", "B=CMD_B", "$THIRD", "C=CMD_C"}, options);
    EXPECT_EQ(Texts(model), (std::vector<std::string>{"B"}));
}

TEST(MenuLines, CommentsSkippedSeparatorsKept) {
    auto model = Parse({"// a comment=X", "A=CMD_A", "-", "B=CMD_B"});
    ASSERT_EQ(model.entries.size(), 3u);
    EXPECT_EQ(model.entries[1].kind, MenuEntry::Kind::Separator);
    EXPECT_EQ(Texts(model), (std::vector<std::string>{"A", "B"}));
}

TEST(MenuLines, SubmenusGetTheirOwnIdRanges) {
    MenuOptions options;
    options.rootIdBase = 1000;
    options.idStep = 100;
    auto model =
        Parse({"Top=T", "+First", "A=CMD_A", "+Inner", "B=CMD_B", "<", "<", "After=X", "+Second", "C=CMD_C"},
              options);
    EXPECT_EQ(model.submenuCount, 3);
    ASSERT_EQ(model.entries.size(), 4u);
    EXPECT_EQ(model.entries[0].Id(), 1000);
    const MenuEntry& first = model.entries[1];
    ASSERT_EQ(first.kind, MenuEntry::Kind::Submenu);
    EXPECT_EQ(first.text, "First");
    ASSERT_EQ(first.children.size(), 2u);
    EXPECT_EQ(first.children[0].Id(), 1100);
    EXPECT_EQ(first.children[1].children[0].Id(), 1200);
    EXPECT_EQ(model.entries[2].text, "After");
    EXPECT_EQ(model.entries[2].Id(), 1002);
    EXPECT_EQ(model.entries[3].children[0].Id(), 1300);
    EXPECT_EQ(model.entries[3].children[0].command, "CMD_C");
}

TEST(MenuLines, StrayCloseIsIgnored) {
    auto model = Parse({"<", "A=CMD_A"});
    EXPECT_EQ(Texts(model), (std::vector<std::string>{"A"}));
}

TEST(MenuItems, MarkersAreRemovedAndApplied) {
    auto model = Parse({">Checked=C1", "{Grey=C2", "!#Protected=C3", "#Hash=C4", "Plain=C5"});
    auto items = MenuCommandItems(model);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_TRUE(items[0]->checked);
    EXPECT_EQ(items[0]->text, "Checked");
    EXPECT_TRUE(items[1]->grayed);
    EXPECT_EQ(items[1]->text, "Grey");
    EXPECT_EQ(items[2]->text, "#Protected");
    EXPECT_FALSE(items[2]->hashMarked);
    EXPECT_TRUE(items[3]->hashMarked);
    EXPECT_EQ(items[3]->text, "Hash");
    EXPECT_FALSE(items[4]->checked || items[4]->grayed);
}

TEST(MenuItems, CommandDropsANumberBeforeTheColon) {
    auto model = Parse({"A=12:CMD_A", "B=:CMD_B", "C=https://example.org/x", "D=-3:CMD_D", "E=x1:Y"});
    auto items = MenuCommandItems(model);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0]->command, "CMD_A");
    EXPECT_EQ(items[1]->command, "CMD_B");
    EXPECT_EQ(items[2]->command, "https://example.org/x");
    EXPECT_EQ(items[3]->command, "CMD_D");
    EXPECT_EQ(items[4]->command, "x1:Y");
}

TEST(MenuItems, EmptyCommandIsGreyed) {
    auto model = Parse({"NoValue", "Empty=", "Full=X"});
    auto items = MenuCommandItems(model);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(items[0]->grayed);
    EXPECT_TRUE(items[1]->grayed);
    EXPECT_FALSE(items[2]->grayed);
}

TEST(MenuItems, SearchPrefixesOnlyUnmarkedLinesWithoutTextBeforeColon) {
    MenuOptions options;
    options.search = true;
    auto model = Parse({"Web=CMD", "Colon=:CMD", "Url=http://x", "#Hash=CMD", "Num=5:CMD"}, options);
    EXPECT_EQ(Texts(model), (std::vector<std::string>{"Search Web", "Search Colon", "Url", "Hash", "Num"}));
}

TEST(MenuItems, GivenLineIsChecked) {
    MenuOptions options;
    options.checkedLine = 2;
    auto model = Parse({"A=1", "", "B=2"}, options);
    auto items = MenuCommandItems(model);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_FALSE(items[0]->checked);
    EXPECT_TRUE(items[1]->checked);
    EXPECT_EQ(items[1]->sourceLine, 2);
}

TEST(MenuItems, SingleAmpersandsAreDoubledAndDoubleOnesKept) {
    auto model = Parse({"Tom & Jerry=X", "R&&D=Y", "+A&B", "C=Z"});
    auto items = MenuCommandItems(model);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0]->text, "Tom && Jerry");
    EXPECT_EQ(items[1]->text, "R&&D");
    EXPECT_EQ(model.entries[2].text, "A&&B");
    EXPECT_EQ(DoubleSingleAmpersands("&&&"), "&&&&");
}

TEST(MenuText, SplitsAnyLineEnd) {
    EXPECT_EQ(SplitMenuLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitMenuLines("$\r\n"), (std::vector<std::string>{"$"}));
}

TEST(EscapeCaption, MarkerCharactersGetAProtectingBang) {
    for (std::string c : {"<", "$", "#", ">", "{"}) {
        EXPECT_EQ(EscapeMenuCaption(c + "name"), "!" + c + "name");
    }
    EXPECT_EQ(EscapeMenuCaption("a&b"), "a&&b");
    EXPECT_EQ(EscapeMenuCaption("plain"), "plain");
}

TEST(EscapeCaption, SubmenuAndCommentLookalikesStayItems) {
    std::vector<std::string> lines{"+Check", EscapeMenuCaption("+team@example.org") + "=CHECK_A",
                                   EscapeMenuCaption("//odd") + "=CHECK_B", "<", "After=X"};
    auto model = Parse(lines);
    ASSERT_EQ(model.submenuCount, 1);
    ASSERT_EQ(model.entries.size(), 2u);
    const auto& sub = model.entries[0].children;
    ASSERT_EQ(sub.size(), 2u);
    EXPECT_EQ(sub[0].text, "+team@example.org");
    EXPECT_EQ(sub[1].text, "//odd");
    EXPECT_EQ(model.entries[1].text, "After");
}

TEST(EscapeCaption, HashCaptionKeepsItsHashInTheMenu) {
    std::string line = EscapeMenuCaption("#team@example.org") + "=CHECK_P_1";
    auto model = Parse({line});
    auto items = MenuCommandItems(model);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->text, "#team@example.org");
    EXPECT_FALSE(items[0]->hashMarked);
    EXPECT_EQ(items[0]->command, "CHECK_P_1");
}

TEST(EscapeCaption, LongNamesAreCutTo49AndDots) {
    std::string sixty(60, 'x');
    std::string escaped = EscapeMenuCaption(sixty);
    EXPECT_EQ(escaped, std::string(49, 'x') + "...");
    EXPECT_EQ(EscapeMenuCaption(std::string(50, 'y')), std::string(50, 'y'));
    EXPECT_EQ(EscapeMenuCaption(std::string(51, 'y')), std::string(49, 'y') + "...");
}

TEST(EscapeCaption, CutNeverSplitsACharacter) {
    std::string text;
    for (int i = 0; i < 60; ++i) {
        text += "\xC3\xA9"; // é
    }
    std::string escaped = EscapeMenuCaption(text);
    std::string expected;
    for (int i = 0; i < 49; ++i) {
        expected += "\xC3\xA9";
    }
    EXPECT_EQ(escaped, expected + "...");
}

// Every caption, put into an item line the way the button's menu does, comes
// back as one item with its own command and a text that reads the same.
TEST(EscapeCaption, EveryCaptionRoundTripsThroughTheParser) {
    const std::string fullWidthEquals = "\xEF\xBC\x9D";
    const struct {
        std::string caption;
        std::string shown;
    } rows[] = {
        {"user=tag@example.org", "user" + fullWidthEquals + "tag@example.org"},
        {"!boss@x.org", "!boss@x.org"},
        {"=start@x.org", fullWidthEquals + "start@x.org"},
        {"a==b", "a" + fullWidthEquals + fullWidthEquals + "b"},
        {"#team@example.org", "#team@example.org"},
        {"{grey}@x.org", "{grey}@x.org"},
        {">me@x.org", ">me@x.org"},
        {"<close@x.org", "<close@x.org"},
        {"$section@x.org", "$section@x.org"},
        {"+team@x.org", "+team@x.org"},
        {"//odd@x.org", "//odd@x.org"},
        {"-", "-"},
        {"Go to user=tag@example.org", "Go to user" + fullWidthEquals + "tag@example.org"},
        {"R&D@x.org", "R&&D@x.org"},
    };
    for (const auto& row : rows) {
        auto model = Parse({"$", EscapeMenuCaption(row.caption) + "=CHECK_P_1", "After=NEXT"});
        auto items = MenuCommandItems(model);
        ASSERT_EQ(items.size(), 2u) << row.caption;
        EXPECT_EQ(items[0]->text, row.shown) << row.caption;
        EXPECT_EQ(items[0]->command, "CHECK_P_1") << row.caption;
        EXPECT_FALSE(items[0]->checked || items[0]->grayed || items[0]->hashMarked) << row.caption;
        EXPECT_EQ(items[1]->command, "NEXT") << row.caption;
    }
}

TEST(EscapeCaption, APartAfterFixedWordsKeepsTheCommand) {
    // The items point into the model: it must outlive them.
    auto model = Parse({"{Go to " + EscapeMenuCaptionPart("user=tag@x.org") + "=OPEN_P_1"});
    auto items = MenuCommandItems(model);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->command, "OPEN_P_1");
    EXPECT_TRUE(items[0]->grayed);
}

} // namespace
} // namespace nuvex
