// IMAP response decoding: what a well-formed response gives, and what the
// bounds refuse.
#include "accounts/imap_response.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

TEST(ImapResponse, DecodesTheShapesACheckMeets) {
    auto r = ParseImapResponse("n3 NO [AUTHENTICATIONFAILED] Authentication failed.");
    EXPECT_EQ(r.kind, ImapResponse::Kind::Tagged);
    EXPECT_EQ(r.tag, "n3");
    EXPECT_EQ(r.status, "NO");
    EXPECT_EQ(r.code, "AUTHENTICATIONFAILED");
    EXPECT_EQ(r.text, "Authentication failed.");

    r = ParseImapResponse("* OK [UIDVALIDITY 1700000000] UIDs valid");
    EXPECT_EQ(r.code, "UIDVALIDITY");
    EXPECT_EQ(r.codeArgs, "1700000000");

    r = ParseImapResponse("* 23 EXISTS");
    EXPECT_EQ(r.number, 23u);
    EXPECT_EQ(r.keyword, "EXISTS");

    r = ParseImapResponse("* SEARCH 4 9 ");
    ASSERT_EQ(r.values.size(), 2u);
    EXPECT_EQ(r.values[1].number, 9u);

    r = ParseImapResponse("* STATUS \"Sent \\\"x\\\"\" (MESSAGES 3 UNSEEN 1)");
    ASSERT_EQ(r.values.size(), 2u);
    EXPECT_EQ(r.values[0].text, "Sent \"x\"");
    ASSERT_EQ(r.values[1].items.size(), 4u);

    r = ParseImapResponse("* 1 FETCH (UID 7 BODY[HEADER.FIELDS (FROM SUBJECT)] {11}\r\nSubject: a\n "
                          "BODY[TEXT]<0> NIL)");
    ASSERT_EQ(r.values.size(), 1u);
    const auto& items = r.values[0].items;
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[2].text, "BODY[HEADER.FIELDS (FROM SUBJECT)]");
    EXPECT_EQ(items[3].text, "Subject: a\n");
    EXPECT_EQ(items[4].text, "BODY[TEXT]<0>");
    EXPECT_EQ(items[5].kind, ImapValue::Kind::Nil);

    r = ParseImapResponse("+ idling");
    EXPECT_EQ(r.kind, ImapResponse::Kind::Continuation);
}

TEST(ImapResponse, RefusesWhatBreaksTheGrammarOrABound) {
    ImapParseLimits small;
    small.maxDepth = 3;
    small.maxLiteralBytes = 16;
    small.maxItems = 50;
    const std::string deep = "* X " + std::string(4, '(') + std::string(4, ')');
    const std::string many = [] {
        std::string s = "* SEARCH";
        for (int i = 0; i < 60; ++i) {
            s += " 1";
        }
        return s;
    }();
    for (const std::string& wire :
         {std::string("* X \"open"), std::string("* X (1 2"), std::string("* X {5}\r\nab"),
          std::string("* X {17}\r\n12345678901234567"), std::string("* X {9x}\r\n"),
          std::string("n1 FETCH (UID 1)"), std::string("n1 BYE x"), std::string(""), std::string("* X a]"),
          std::string("* OK [ALERT no end"), deep, many}) {
        EXPECT_THROW(ParseImapResponse(wire, small), ImapProtocolError) << wire;
    }
    EXPECT_NO_THROW(ParseImapResponse("* X ((()))", small));
}

TEST(ImapResponse, TrailingLiteralSizeIsBoundedBeforeAnyByteIsRead) {
    ImapParseLimits limits;
    EXPECT_EQ(TrailingLiteralSize("* 1 FETCH (BODY[] {42}", limits), 42u);
    EXPECT_EQ(TrailingLiteralSize("* 1 FETCH (BODY[] {42+}", limits), 42u);
    EXPECT_EQ(TrailingLiteralSize("* OK {ok}", limits), std::nullopt);
    EXPECT_EQ(TrailingLiteralSize("* OK done", limits), std::nullopt);
    EXPECT_THROW(TrailingLiteralSize("* 1 FETCH (BODY[] {2147483648}", limits), ImapProtocolError);
    EXPECT_THROW(TrailingLiteralSize("* 1 FETCH (BODY[] {99999999999999999999999}", limits),
                 ImapProtocolError);
}

TEST(ImapResponse, QuotingAndFolderNames) {
    EXPECT_EQ(ImapQuoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(ImapQuoted("a\r\nb"), std::nullopt);
    struct Row {
        const char* utf8;
        const char* wire;
    };
    for (const Row& row : {Row{"INBOX", "INBOX"}, Row{"A&B", "A&-B"},
                           Row{"Entw\xC3\xBC"
                               "rfe",
                               "Entw&APw-rfe"},
                           Row{"\xE5\x8F\xB0\xE5\x8C\x97", "&U,BTFw-"}}) {
        EXPECT_EQ(ImapEncodeFolder(row.utf8), row.wire);
    }
}

} // namespace
} // namespace nuvex
