#include "lib/text.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

TEST(Text, CaseFoldingTouchesOnlyAsciiLetters) {
    // "é" in UTF-8 (C3 A9) and in Latin-1 (E9) must come through unchanged.
    EXPECT_EQ(text::ToUpperAscii("pop3_0 \xC3\xA9\xE9 z{"), "POP3_0 \xC3\xA9\xE9 Z{");
    EXPECT_EQ(text::ToLowerAscii("MAIL_All \xC3\x89"), "mail_all \xC3\x89");
    EXPECT_TRUE(text::EqualsNoCase("Pop3_0", "POP3_0"));
    EXPECT_FALSE(text::EqualsNoCase("Pop3_0", "POP3_00"));
    EXPECT_FALSE(text::EqualsNoCase("\xC3\xA9", "\xC3\x89"));
    EXPECT_TRUE(text::StartsWithNoCase("+OK [IN-USE]", "+ok"));
    EXPECT_FALSE(text::StartsWithNoCase("+O", "+OK"));
    EXPECT_TRUE(text::EndsWithNoCase("letter.TXT", ".txt"));
    EXPECT_FALSE(text::EndsWithNoCase("t", ".txt"));
}

TEST(Text, TrimKeepsInnerBlanksAndHandlesAllBlank) {
    EXPECT_EQ(text::Trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(text::Trim(" \r\n\t "), "");
    EXPECT_EQ(text::Trim(""), "");
    EXPECT_EQ(text::TrimView("\vx\v"), "\vx\v");
    EXPECT_EQ(text::TrimSpace("\v\fx y\f"), "x y");
}

} // namespace
} // namespace nuvex
