// The Mail menu lines built from a snapshot of the enabled accounts, and the
// tray's variant of them.
#include "contract/menu_text.h"
#include "core/menu_builder.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

MenuAccount Account(const std::string& id, const std::string& email, bool compose = false, bool open = true,
                    int unread = 0) {
    MenuAccount a;
    a.id = id;
    a.email = email;
    a.canCompose = compose;
    a.hasOpenAction = open;
    a.unread = unread;
    return a;
}

std::vector<std::string> Lines(const std::string& text) {
    return SplitMenuLines(text);
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(MenuBuilderTest, NoAccountsGiveOnlyTheFixedLinesEndingWithSettings) {
    MenuSnapshot s;
    EXPECT_EQ(BuildMenuLines(s), "$\r\nAdd New Account=ADD_ACCOUNT\r\n\r\n-\r\nSettings=SETTINGS\r\n");
}

TEST(MenuBuilderTest, OneAccountHasNoCheckAllAndNoComposeUsing) {
    MenuSnapshot s;
    s.enabled = {Account("POP3_1", "a@example.org", true, true, 3)};
    const std::string expected = "$\r\n"
                                 "+Check Selected Account\r\n"
                                 "a@example.org=CHECK_POP3_1\r\n"
                                 "<\r\n"
                                 "Compose Email=COMPOSE_POP3_1\r\n"
                                 "-\r\n"
                                 "Go to a@example.org (3 New)=OPEN_POP3_1\r\n"
                                 "\r\n"
                                 "-\r\n"
                                 "Add New Account=ADD_ACCOUNT\r\n"
                                 "\r\n"
                                 "-\r\n"
                                 "Settings=SETTINGS\r\n";
    EXPECT_EQ(BuildMenuLines(s), expected);
}

TEST(MenuBuilderTest, TwoAccountsCheckAllComposeUsingAndGreyedGoTo) {
    MenuSnapshot s;
    s.enabled = {Account("POP3_1", "a@example.org", true, false, 3),
                 Account("W_2", "b@example.org", true, true, 0),
                 Account("POP3_3", "c@example.org", false, false, 2)};
    auto lines = Lines(BuildMenuLines(s));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Check All Accounts=CHECK_ALL");
    EXPECT_TRUE(Has(lines, "c@example.org=CHECK_POP3_3"));
    // The first account that can compose, without a chosen one.
    EXPECT_TRUE(Has(lines, "Compose Email=COMPOSE_POP3_1"));
    EXPECT_TRUE(Has(lines, "+Compose Email Using"));
    EXPECT_TRUE(Has(lines, "b@example.org=COMPOSE_W_2"));
    EXPECT_FALSE(Has(lines, "c@example.org=COMPOSE_POP3_3"));
    EXPECT_TRUE(Has(lines, "{Go to a@example.org (3 New)=OPEN_POP3_1"));
    EXPECT_TRUE(Has(lines, "Go to b@example.org=OPEN_W_2")); // no count when nothing is unread
    EXPECT_TRUE(Has(lines, "{Go to c@example.org (2 New)=OPEN_POP3_3"));
}

TEST(MenuBuilderTest, ChosenComposeAccountWinsAndAnUnusableChoiceFallsBack) {
    MenuSnapshot s;
    s.enabled = {Account("A_1", "a@x", true), Account("B_2", "b@x", true), Account("C_3", "c@x", false)};
    s.composeId = "B_2";
    EXPECT_TRUE(Has(Lines(BuildMenuLines(s)), "Compose Email=COMPOSE_B_2"));
    s.composeId = "C_3"; // cannot compose
    EXPECT_TRUE(Has(Lines(BuildMenuLines(s)), "Compose Email=COMPOSE_A_1"));
    s.composeId = "GONE_9";
    EXPECT_TRUE(Has(Lines(BuildMenuLines(s)), "Compose Email=COMPOSE_A_1"));
    s.enabled = {Account("C_3", "c@x", false)};
    for (const std::string& l : Lines(BuildMenuLines(s))) {
        EXPECT_EQ(l.find("COMPOSE"), std::string::npos) << l;
    }
}

TEST(MenuBuilderTest, HelpAndAboutOnlyWhenTheirLinksAreSet) {
    MenuSnapshot s;
    s.helpUrl = "https://help.example.org/";
    auto lines = Lines(BuildMenuLines(s));
    EXPECT_EQ(lines.back(), "Help=HELP");
    s.aboutUrl = "https://about.example.org/";
    lines = Lines(BuildMenuLines(s));
    EXPECT_EQ(lines[lines.size() - 2], "Help=HELP");
    EXPECT_EQ(lines.back(), "About=ABOUT");
    s.helpUrl.clear();
    lines = Lines(BuildMenuLines(s));
    EXPECT_EQ(lines[lines.size() - 2], "Settings=SETTINGS");
}

TEST(MenuBuilderTest, AccountNamesThatLookLikeMenuSyntaxAreEscaped) {
    MenuSnapshot s;
    s.enabled = {Account("P_1", "+team&co")};
    auto lines = Lines(BuildMenuLines(s));
    EXPECT_TRUE(Has(lines, "!+team&&co=CHECK_P_1"));
    // The submenu still closes after the one account.
    MenuModel model = ParseMenu(lines, MenuOptions{});
    ASSERT_FALSE(model.entries.empty());
    EXPECT_EQ(model.entries[0].kind, MenuEntry::Kind::Submenu);
    EXPECT_EQ(model.entries[0].children.size(), 1u);
}

TEST(MenuBuilderTest, TrayLinesUseTheTrayAddCommandAndEndWithRemoveIcon) {
    MenuSnapshot s;
    s.enabled = {Account("P_1", "a@x")};
    auto tray = TrayMenuLines(BuildMenuLines(s));
    EXPECT_TRUE(Has(tray, "Add New Account=ADD_ACCOUNT_TRAY"));
    EXPECT_FALSE(Has(tray, "Add New Account=ADD_ACCOUNT"));
    ASSERT_GE(tray.size(), 3u);
    EXPECT_EQ(tray[tray.size() - 3], "Settings=SETTINGS");
    EXPECT_EQ(tray[tray.size() - 2], "-");
    EXPECT_EQ(tray.back(), "Remove Icon=REMOVE");
    // The button's lines otherwise come through unchanged, empty lines too.
    EXPECT_EQ(tray.size(), Lines(BuildMenuLines(s)).size() + 2);
}

TEST(MenuBuilderTest, CaptionIsEmailWithNothingUnreadElseTheCountAndNew) {
    EXPECT_EQ(MailCaption(0), "Email");
    EXPECT_EQ(MailCaption(5), "5 New");
    EXPECT_EQ(MailCaption(1), "1 New");
}

} // namespace
} // namespace nuvex
