// From and Subject as real mail writes them.
#include "accounts/mail_headers.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

TMailHeaders Parse(std::vector<std::string> lines) {
    return ParseMailHeaders(lines);
}

struct MailboxCase {
    const char* value;
    const char* name;
    const char* address;
};

class FromForms : public ::testing::TestWithParam<MailboxCase> {};

TEST_P(FromForms, GiveNameAndAddress) {
    std::string name;
    std::string address;
    ParseMailbox(GetParam().value, name, address);
    EXPECT_EQ(name, GetParam().name) << GetParam().value;
    EXPECT_EQ(address, GetParam().address) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    RealWorld, FromForms,
    ::testing::Values(MailboxCase{" bob@example.org", "", "bob@example.org"},
                      MailboxCase{" <bob@example.org>", "", "bob@example.org"},
                      MailboxCase{" Bob Smith <bob@example.org>", "Bob Smith", "bob@example.org"},
                      MailboxCase{" \"Smith, Bob\" <bob@example.org>", "Smith, Bob", "bob@example.org"},
                      MailboxCase{" \"Bob \\\"The Builder\\\" Smith\" <bob@example.org>",
                                  "Bob \"The Builder\" Smith", "bob@example.org"},
                      MailboxCase{" bob@example.org (Bob Smith)", "Bob Smith", "bob@example.org"},
                      MailboxCase{" Bob (work) <bob@example.org>", "Bob", "bob@example.org"},
                      MailboxCase{" =?UTF-8?Q?Ren=C3=A9e?= <renee@example.fr>",
                                  "Ren\xC3\xA9"
                                  "e",
                                  "renee@example.fr"},
                      MailboxCase{" \"=?utf-8?B?5bGx55Sw?=\" <yamada@example.jp>", "\xE5\xB1\xB1\xE7\x94\xB0",
                                  "yamada@example.jp"},
                      MailboxCase{" \"bob@example.org\" <bob@example.org>", "", "bob@example.org"},
                      MailboxCase{" Alice <a@example.org>, Bob <b@example.org>", "Alice", "a@example.org"},
                      MailboxCase{" <@relay.example:bob@example.org>", "", "bob@example.org"}));

TEST(MailHeaders, FoldedSubjectIsJoined) {
    auto h = Parse({"Subject: A very long", "\tsubject line", "From: x@y.z"});
    EXPECT_EQ(h.subject, "A very long subject line"); // the folding tab shows as a blank
    EXPECT_EQ(h.fromAddress, "x@y.z");
}

TEST(MailHeaders, FoldedFromWithEncodedName) {
    auto h = Parse({"From: =?iso-8859-1?q?J=F6rg?=", " <joerg@example.de>"});
    EXPECT_EQ(h.fromName, "J\xC3\xB6rg");
    EXPECT_EQ(h.fromAddress, "joerg@example.de");
}

TEST(MailHeaders, AdjacentEncodedWordsJoinWithoutTheBlankBetween) {
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?B?SGVsbG8s?= =?UTF-8?B?IHdvcmxk?="), "Hello, world");
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?a?=\r\n =?UTF-8?Q?b?="), "ab");
    // Between an encoded word and plain text the blank stays.
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?a?= b"), "a b");
}

TEST(MailHeaders, CharacterSplitAcrossAdjacentEncodedWordsDecodesWhole) {
    // The two halves of one character in two words, as several mailers cut them.
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?caf=C3?= =?UTF-8?Q?=A9?="), "caf\xC3\xA9");
    EXPECT_EQ(DecodeHeaderText("=?utf-8?B?5bE=?=\r\n =?UTF-8?B?sQ==?="), "\xE5\xB1\xB1");
    // Only words of one charset join; text between words keeps them apart.
    EXPECT_EQ(DecodeHeaderText("=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?="), "\xC3\xA9\xC3\xA9");
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?=C3?= x =?UTF-8?Q?=A9?="), "\xEF\xBF\xBD x \xEF\xBF\xBD");
}

struct InvalidUtf8Case {
    const char* raw;
    const char* decoded;
};

class DecodedTextIsValidUtf8 : public ::testing::TestWithParam<InvalidUtf8Case> {};

TEST_P(DecodedTextIsValidUtf8, WhatIconvPassesThroughIsReplaced) {
    EXPECT_EQ(DecodeHeaderText(GetParam().raw), GetParam().decoded) << GetParam().raw;
}

INSTANTIATE_TEST_SUITE_P(
    Iconv, DecodedTextIsValidUtf8,
    ::testing::Values(
        // A 4-byte form above U+10FFFF, passed through by UTF-8 to UTF-8.
        InvalidUtf8Case{"=?UTF-8?B?9bGxlQ==?=", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        // A UCS-4 value beyond Unicode, written by iconv as a 6-byte form.
        InvalidUtf8Case{"x =?UCS-4?B?f////w==?= y", "x \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
                                                    "\xEF\xBF\xBD\xEF\xBF\xBD y"},
        InvalidUtf8Case{"=?UTF-8?Q?ok_=F0=9F=98=80?=", "ok \xF0\x9F\x98\x80"}));

double BestSecondsToParse(const std::vector<std::string>& lines) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        auto start = std::chrono::steady_clock::now();
        TMailHeaders h = ParseMailHeaders(lines);
        best =
            std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        EXPECT_FALSE(h.subject.empty());
    }
    return best;
}

// A folded Subject of about 256 KiB made of one unit repeated.
std::vector<std::string> FoldedSubject(const std::string& unit) {
    std::vector<std::string> lines;
    std::string line = "Subject: ";
    for (std::size_t total = 0; total < 256 * 1024; total += unit.size()) {
        line += unit;
        if (line.size() > 900) {
            lines.push_back(line);
            line = " ";
        }
    }
    lines.push_back(line);
    return lines;
}

class HostileSubject : public ::testing::TestWithParam<const char*> {};

TEST_P(HostileSubject, DecodesInTimeOfTheSameOrderAsPlainText) {
    const double plain = BestSecondsToParse(FoldedSubject("plain te"));
    const double hostile = BestSecondsToParse(FoldedSubject(GetParam()));
    // Linear decoding costs a small multiple of plain text; the quadratic
    // scan this guards against cost thousands of times as much.
    EXPECT_LT(hostile, 50 * plain + 0.05) << "plain " << plain << " s, hostile " << hostile << " s";
}

INSTANTIATE_TEST_SUITE_P(Openers, HostileSubject,
                         ::testing::Values("=?a?Q?b", "=?a?Q?b ", "=?x-unknown?Q?b?=", "=?=?=?=?",
                                           "=?UTF-8?Q?=C3?="));

TEST(MailHeaders, CharsetsDecodeToUtf8) {
    EXPECT_EQ(DecodeHeaderText("=?ISO-8859-1?Q?caf=E9?="), "caf\xC3\xA9");
    // windows-1252 has the euro sign and curly quotes where ISO-8859-1 has controls.
    EXPECT_EQ(DecodeHeaderText("=?windows-1252?Q?=80_5_=93off=94?="),
              "\xE2\x82\xAC 5 \xE2\x80\x9Coff\xE2\x80\x9D");
    EXPECT_EQ(DecodeHeaderText("=?KOI8-R?B?8NLJ18XU?="), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
    EXPECT_EQ(DecodeHeaderText("=?utf-8*en?Q?x_y?="), "x y");
}

TEST(MailHeaders, MalformedAndUnknownEncodedWordsStayReadable) {
    EXPECT_EQ(DecodeHeaderText("=?x-unknown?Q?abc?="), "=?x-unknown?Q?abc?=");
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?X?abc?="), "=?UTF-8?X?abc?=");
    EXPECT_EQ(DecodeHeaderText("price =?UTF-8?Q?10=?="), "price 10=");
    // An invalid byte sequence in the named charset becomes U+FFFD.
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?a=FFb?="), "a\xEF\xBF\xBD"
                                                     "b");
}

TEST(MailHeaders, RawEightBitTextIsUtf8OrWindows1252) {
    EXPECT_EQ(DecodeHeaderText("Gr\xC3\xBC\xC3\x9F"
                               "e"),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(DecodeHeaderText("Gr\xFC\xDF"
                               "e"),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
}

TEST(MailHeaders, ControlCharactersBecomeBlanks) {
    EXPECT_EQ(DecodeHeaderText("=?UTF-8?Q?a=0Db=00c?="), "a b c");
}

TEST(MailHeaders, FirstFromAndSubjectWinAndBodyIsNotRead) {
    auto h =
        Parse({"subject: first", "FROM: a@example.org", "Subject: second", "", "From: body@example.org"});
    EXPECT_EQ(h.subject, "first");
    EXPECT_EQ(h.fromAddress, "a@example.org");
}

TEST(MailHeaders, MissingHeadersAreEmpty) {
    auto h = Parse({"Received: from somewhere", "Message-ID: <1@x>"});
    EXPECT_EQ(h.fromAddress, "");
    EXPECT_EQ(h.subject, "");
}

TEST(MailHeaders, SenderTextHasABlankBeforeTheAngleBrackets) {
    EXPECT_EQ(SenderText("Bob", "bob@example.org"), "Bob <bob@example.org>");
    EXPECT_EQ(SenderText("", "bob@example.org"), "bob@example.org");
}

TEST(MailHeaders, DeeplyNestedCommentEnds) {
    std::string value = " x@y.z " + std::string(5000, '(') + "c" + std::string(5000, ')');
    std::string name;
    std::string address;
    ParseMailbox(value, name, address);
    EXPECT_EQ(address, "x@y.z");
}

} // namespace
} // namespace nuvex
