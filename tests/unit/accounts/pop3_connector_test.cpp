// POP3 checks as scripted conversations through a fake transport.
#include "accounts/pop3_client.h"
#include "accounts/pop3_connector.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "tests/support/account_fixture.h"
#include "tests/support/fake_transport.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

using test::Pop3Script;

class Pop3ConnectorTest : public test::ClockedAccountTest {
protected:
    std::unique_ptr<TNuvex_Pop3Connector> Account(std::shared_ptr<Pop3Script> script,
                                                  const std::string& password = "s3cret", bool ssl = false,
                                                  bool storePort = true, int actionCode = 0) {
        context.pop3Transport = test::ScriptedTransportFactory(std::move(script));
        TAccountFields f;
        f.userName = "alice";
        f.email = "alice@example.org";
        f.actionCode = actionCode;
        TPop3Fields p;
        p.password = password;
        p.hostName = "pop.example.org";
        p.useSsl = ssl;
        AddPop3TypeKeys(f, p);
        if (!storePort) {
            std::erase_if(f.typeKeys, [](const auto& kv) { return kv.first == "PORT"; });
        }
        auto pop3 = Load<TNuvex_Pop3Connector>(Pop3ConnectorClass(), f, "Pop3_0");
        // The scripts below are one command per round trip; the pipelined
        // conversations have their own tests.
        pop3->SetPipelining(pipelining);
        return pop3;
    }

    static std::string Messages(int from, int to) {
        std::string s;
        for (int n = from; n <= to; ++n) {
            s += "C: TOP " + std::to_string(n) + " 0\nS: +OK\nS: From: user" + std::to_string(n) +
                 "@example.org\nS: Subject: Message " + std::to_string(n) + "\nS: .\n";
        }
        return s;
    }

    // A server without UIDL unless told otherwise; askUidl false: the
    // account already knows that and does not ask again. Maildrops beyond
    // 20000 messages are counted without asking.
    static std::string Login(int count, bool askUidl = true) {
        return "S: +OK ready\nC: USER alice\nS: +OK\nC: PASS s3cret\nS: +OK\nC: STAT\nS: +OK " +
               std::to_string(count) + " 100\n" +
               (count > 0 && count <= 20000 && askUidl ? "C: UIDL\nS: -ERR unknown command\n" : "");
    }

    bool pipelining = false;
};

TEST_F(Pop3ConnectorTest, FirstCheckOfThreeMessagesListsAllAndStoresMarker) {
    auto script = Pop3Script::FromFile("first_check_three.txt");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_TRUE(script->Finished());
    EXPECT_EQ(account->NewCount, 3);
    EXPECT_EQ(account->UnreadCount, 3);
    EXPECT_EQ(account->ErrorCode, 0);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "3");
    ASSERT_EQ(account->Headers.size(), 3u);
    EXPECT_EQ(account->Headers[0].Sender, "Smith, Bob <bob@example.org>");
    EXPECT_EQ(account->Headers[0].Subject, "Lunch on Friday");
    EXPECT_EQ(account->Headers[1].Sender, "J\xC3\xB6rg M\xC3\xBCller <joerg@example.de>");
    EXPECT_EQ(account->Headers[1].Subject, "Gr\xC3\xBC\xC3\x9F"
                                           "e aus Berlin");
    EXPECT_EQ(account->Headers[2].Sender, "Carol Jones <carol@example.net>");
    EXPECT_EQ(account->Headers[2].Preview, "");
    EXPECT_EQ(script->port, 110);
    EXPECT_FALSE(script->tls);
}

TEST_F(Pop3ConnectorTest, SameCountAgainIsNothingNewAndFetchesNothing) {
    host.WriteCfgStr("LASTID_Pop3_0", "3");
    auto script = Pop3Script::FromText(Login(3) + "C: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_TRUE(account->Headers.empty());
    TNotifyMessages list;
    account->AddNotifyItems(list, false);
    EXPECT_TRUE(list.Empty());
    account->AddNotifyItems(list, true);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(0).ItemKind, kNotifySummary);
    EXPECT_EQ(list.Item(0).Count, 3);
}

TEST_F(Pop3ConnectorTest, ThirtyNewKeepTwentyOneHeadersAndSummaryComesFirst) {
    auto script = Pop3Script::FromText(Login(30) + Messages(1, 21) + "C: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(account->NewCount, 30);
    EXPECT_EQ(account->Headers.size(), 21u);
    EXPECT_TRUE(account->MoreThanShown);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "30");
    TNotifyMessages list;
    account->AddNotifyItems(list, false);
    ASSERT_EQ(list.Count(), 22);
    EXPECT_EQ(list.Item(0).ItemKind, kNotifySummary);
    EXPECT_EQ(list.Item(0).Count, 30);
    EXPECT_EQ(list.Item(1).ItemKind, kNotifyMessage);
    EXPECT_EQ(list.Item(1).Subject, "Message 1");
    EXPECT_EQ(list.Item(21).Subject, "Message 21");
    // No open action: the entries are not clickable.
    EXPECT_EQ(list.Item(1).AccountRef, "");
}

TEST_F(Pop3ConnectorTest, RemovedMessagesGiveNegativeNewAndLowerTheMarker) {
    host.WriteCfgStr("LASTID_Pop3_0", "5");
    auto script = Pop3Script::FromText(Login(3) + "C: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, -2);
    EXPECT_TRUE(account->Headers.empty());
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "3");
}

TEST_F(Pop3ConnectorTest, UniqueIdsDecideWhatIsNewWhereTheServerListsThem) {
    const struct {
        const char* name;
        const char* marker;
        const char* seen; // stored before the check
        int count;
        std::string uidl; // the reply to UIDL
        int fresh;
        int firstTop, lastTop; // the headers read
        const char* seenAfter;
    } rows[] = {
        {"two deleted elsewhere, two arrived", "4", "a b c d", 4, "+OK\nS: 1 c\nS: 2 d\nS: 3 e\nS: 4 f\nS: .",
         2, 3, 4, "c d e f a b"},
        {"first check: the marker's baseline", "", "", 2, "+OK\nS: 1 a\nS: 2 b\nS: .", 2, 1, 2, "a b"},
        {"first check with ids after a marker", "2", "", 3, "+OK\nS: 1 a\nS: 2 b\nS: 3 c\nS: .", 1, 3, 3,
         "a b c"},
        {"one deleted, none new", "3", "a b c", 2, "+OK\nS: 1 b\nS: 2 c\nS: .", 0, 0, -1, "b c a"},
        {"a gone message comes back", "2", "b c a", 3, "+OK\nS: 1 a\nS: 2 b\nS: 3 c\nS: .", 0, 0, -1,
         "a b c"},
        {"malformed listing: counted, ids dropped", "1", "a", 2, "+OK\nS: 1 a\nS: 2\nS: .", 1, 2, 2, ""},
        {"repeated id: counted, ids dropped", "1", "a", 2, "+OK\nS: 1 a\nS: 2 a\nS: .", 1, 2, 2, ""},
        {"no UIDL: counted, ids dropped", "1", "a", 2, "-ERR unknown command", 1, 2, 2, ""},
    };
    for (const auto& row : rows) {
        host.WriteCfgStr("LASTID_Pop3_0", row.marker);
        host.WriteCfgStr("SEENIDS_Pop3_0", row.seen);
        auto script = Pop3Script::FromText(Login(row.count, false) + "C: UIDL\nS: " + row.uidl + "\n" +
                                           Messages(row.firstTop, row.lastTop) + "C: QUIT\nS: +OK\n");
        auto account = Account(script);
        ASSERT_EQ(account->CheckMail(), kStatusOk) << row.name;
        EXPECT_TRUE(script->mismatches.empty()) << row.name << ": " << script->mismatches.front();
        EXPECT_EQ(account->NewCount, row.fresh) << row.name;
        const std::size_t tops = row.lastTop >= row.firstTop ? row.lastTop - row.firstTop + 1 : 0;
        ASSERT_EQ(account->Headers.size(), tops) << row.name;
        if (tops > 0) {
            EXPECT_EQ(account->Headers[0].Subject, "Message " + std::to_string(row.firstTop)) << row.name;
        }
        EXPECT_EQ(*host.ReadCfgStr("SEENIDS_Pop3_0"), row.seenAfter) << row.name;
        EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), std::to_string(row.count)) << row.name;
    }
}

TEST_F(Pop3ConnectorTest, EmptyMaildropResetsTheMarker) {
    host.WriteCfgStr("LASTID_Pop3_0", "7");
    auto script = Pop3Script::FromText(Login(0) + "C: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "0");
}

TEST_F(Pop3ConnectorTest, RejectedMessageIsSkippedAndTheOthersStand) {
    host.WriteCfgStr("LASTID_Pop3_0", "3");
    auto script = Pop3Script::FromFile("top_rejected.txt");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(account->NewCount, 2);
    ASSERT_EQ(account->Headers.size(), 1u);
    EXPECT_EQ(account->Headers[0].Sender, "dave@example.com");
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "5");
}

TEST_F(Pop3ConnectorTest, WrongPasswordIsClassTwoAndLeavesTheMarker) {
    host.WriteCfgStr("LASTID_Pop3_0", "2");
    auto script = Pop3Script::FromFile("wrong_password.txt");
    auto account = Account(script, "wrong");
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorLogin);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "2");
    std::int32_t code = 0;
    std::string text;
    account->TakeLastError(code, text);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(text, "Invalid login or password.\r\nCheck your account settings.");
    account->TakeLastError(code, text);
    EXPECT_EQ(code, 0); // each failure is reported once
    EXPECT_EQ(text, "");
}

TEST_F(Pop3ConnectorTest, RefusedConnectionIsClassOne) {
    auto script = Pop3Script::FromText("O! refuse\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
    EXPECT_FALSE(host.Has("LASTID_Pop3_0"));
}

TEST_F(Pop3ConnectorTest, UntrustedCertificateIsClassThreeWithATextNamingTheServer) {
    auto script = Pop3Script::FromText("O! untrusted\n");
    auto account = Account(script, "s3cret", true);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
    std::int32_t code = 0;
    std::string text;
    account->TakeLastError(code, text);
    EXPECT_EQ(code, kErrorOther);
    EXPECT_EQ(text, "The certificate of the server pop.example.org could not be verified.\r\n"
                    "Check the server name and its certificate.");
    account->TakeLastError(code, text);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(text, "");
}

TEST_F(Pop3ConnectorTest, GarbageGreetingIsClassThree) {
    auto script = Pop3Script::FromText("S: HELLO THERE\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
}

struct NegativeReplyCase {
    const char* name;
    std::string script; // after the greeting
    std::int32_t expected;
};

class Pop3NegativeReplies : public Pop3ConnectorTest,
                            public ::testing::WithParamInterface<NegativeReplyCase> {};

TEST_P(Pop3NegativeReplies, ResponseCodeChoosesTheClassAndTheMarkerStays) {
    host.WriteCfgStr("LASTID_Pop3_0", "4");
    auto script = Pop3Script::FromText("S: +OK\n" + GetParam().script);
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(account->ErrorCode, GetParam().expected);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "4");
}

constexpr const char* kLoggedIn = "C: USER alice\nS: +OK\nC: PASS s3cret\nS: +OK\nC: STAT\n";

INSTANTIATE_TEST_SUITE_P(
    Codes, Pop3NegativeReplies,
    ::testing::Values(
        NegativeReplyCase{"PlainAfterPass", "C: USER alice\nS: +OK\nC: PASS s3cret\nS: -ERR wrong\n",
                          kErrorLogin},
        NegativeReplyCase{"AuthAfterUser",
                          "C: USER alice\nS: -ERR [AUTH] Plaintext authentication disallowed\n", kErrorLogin},
        // Another client (a phone) holds the maildrop: a passing state, throttled like an outage.
        NegativeReplyCase{"InUseAfterPass",
                          "C: USER alice\nS: +OK\nC: PASS s3cret\nS: -ERR [IN-USE] locked\n",
                          kErrorUnreachable},
        NegativeReplyCase{"SysTempAfterPass",
                          "C: USER alice\nS: +OK\nC: PASS s3cret\nS: -err [sys/temp] try later\n",
                          kErrorUnreachable},
        NegativeReplyCase{"SysPermAfterPass",
                          "C: USER alice\nS: +OK\nC: PASS s3cret\nS: -ERR [SYS/PERM] account disabled\n",
                          kErrorOther},
        NegativeReplyCase{"InUseOnStat", (std::string(kLoggedIn) + "S: -ERR [IN-USE] busy\n"),
                          kErrorUnreachable},
        NegativeReplyCase{"PlainOnStat", (std::string(kLoggedIn) + "S: -ERR mailbox locked\n"), kErrorLogin}),
    [](const auto& info) { return std::string(info.param.name); });

// The host store with reads or writes of the marker failing, as a host that
// went away between two calls does.
class FlakyMarkerHost final : public HostConfig {
public:
    explicit FlakyMarkerHost(MemoryHostConfig& store) : store_(store) {}
    bool failReads = false;
    bool failWrites = false;

    bool Connected() const override { return true; }
    std::optional<bool> ReadCfgBool(std::string_view key, int flag) override {
        return store_.ReadCfgBool(key, flag);
    }
    std::optional<std::int32_t> ReadCfgInt(std::string_view key, int flag) override {
        return store_.ReadCfgInt(key, flag);
    }
    std::optional<std::string> ReadCfgStr(std::string_view key, int flag) override {
        return failReads ? std::nullopt : store_.ReadCfgStr(key, flag);
    }
    bool WriteCfgBool(std::string_view key, bool value, int flag) override {
        return store_.WriteCfgBool(key, value, flag);
    }
    bool WriteCfgInt(std::string_view key, std::int32_t value, int flag) override {
        return store_.WriteCfgInt(key, value, flag);
    }
    bool WriteCfgStr(std::string_view key, std::string_view value, int flag) override {
        return !failWrites && store_.WriteCfgStr(key, value, flag);
    }
    bool DeleteCfgValue(std::string_view key, int flag) override { return store_.DeleteCfgValue(key, flag); }
    bool ConfigChanged() override { return true; }

private:
    MemoryHostConfig& store_;
};

TEST_F(Pop3ConnectorTest, UnreadableMarkerFailsTheCheckInsteadOfAnnouncingTheWholeMaildrop) {
    host.WriteCfgStr("LASTID_Pop3_0", "3");
    FlakyMarkerHost flaky(host);
    flaky.failReads = true;
    context.host = &flaky;
    auto script = Pop3Script::FromText(Login(3));
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_TRUE(account->Headers.empty());
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "3");
}

TEST_F(Pop3ConnectorTest, UnstoredMarkerFailsTheCheckSoItsMessagesAreAnnouncedOnceLater) {
    FlakyMarkerHost flaky(host);
    flaky.failWrites = true;
    context.host = &flaky;
    auto script = Pop3Script::FromText(Login(2) + Messages(1, 2));
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_TRUE(account->Headers.empty());
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "");

    // Once the store works, the next check announces them, and only that one.
    flaky.failWrites = false;
    context.pop3Transport = test::ScriptedTransportFactory(
        Pop3Script::FromText(Login(2, false) + Messages(1, 2) + "C: QUIT\nS: +OK\n"));
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 2);
    EXPECT_EQ(account->Headers.size(), 2u);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "2");
}

TEST_F(Pop3ConnectorTest, ServerWithoutTopGetsBoundedAttemptsAndTheMarkerMoves) {
    // A hostile or TOP-less server: 42 refusals, not one per message.
    std::string refusals;
    for (int n = 1; n <= 42; ++n) {
        refusals += "C: TOP " + std::to_string(n) + " 0\nS: -ERR unknown command\n";
    }
    auto script = Pop3Script::FromText(Login(2147483647) + refusals + "C: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_TRUE(script->Finished());
    EXPECT_EQ(account->NewCount, 2147483647);
    EXPECT_TRUE(account->Headers.empty());
    EXPECT_TRUE(account->MoreThanShown);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "2147483647");
}

TEST_F(Pop3ConnectorTest, MarkerAndCountAtTheLargestNumberFetchNothing) {
    host.WriteCfgStr("LASTID_Pop3_0", "2147483647");
    auto script = Pop3Script::FromText(Login(2147483647) + "C: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_TRUE(account->Headers.empty());
}

TEST_F(Pop3ConnectorTest, MessageThatBreaksTheConnectionTwiceInARowIsSkipped) {
    const std::string breaks = Messages(1, 1) + "C: TOP 2 0\nS: +OK\nS: From: a@b.c\nS! reset\n";
    auto account = Account(Pop3Script::FromText(Login(2) + breaks));
    for (int round = 0; round < 2; ++round) {
        EXPECT_NE(account->CheckMail(), kStatusOk);
        EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
        EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "");
        context.pop3Transport =
            test::ScriptedTransportFactory(Pop3Script::FromText(Login(2, false) + breaks));
    }
    auto third = Pop3Script::FromText(Login(2, false) + Messages(1, 1) + "C: QUIT\nS: +OK\n");
    context.pop3Transport = test::ScriptedTransportFactory(third);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(third->mismatches.empty()) << third->mismatches.front();
    EXPECT_EQ(account->NewCount, 2);
    ASSERT_EQ(account->Headers.size(), 1u);
    EXPECT_EQ(account->Headers[0].Subject, "Message 1");
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "2");
}

TEST_F(Pop3ConnectorTest, TopThatSendsTheBodyKeepsTheHeaderPart) {
    std::string body;
    for (int i = 0; i < 50; ++i) {
        body += "S: body line " + std::to_string(i) + "\n";
    }
    context.pop3Limits.maxHeaderLines = 10;
    auto script = Pop3Script::FromText(Login(1) +
                                       "C: TOP 1 0\nS: +OK\nS: From: Ann <ann@example.org>\n"
                                       "S: Subject: with body\nS:\n" +
                                       body + "S: .\nC: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    ASSERT_EQ(account->Headers.size(), 1u);
    EXPECT_EQ(account->Headers[0].Sender, "Ann <ann@example.org>");
    EXPECT_EQ(account->Headers[0].Subject, "with body");
}

std::vector<std::string>& LogLines() {
    static std::vector<std::string> lines;
    return lines;
}

TEST_F(Pop3ConnectorTest, FailedCheckLogsIdClassAndServerWordsButNeverThePassword) {
    LogLines().clear();
    log::SetSink([](log::Level, std::string_view area, std::string_view text) {
        LogLines().push_back(std::string(area) + ": " + std::string(text));
    });
    auto script = Pop3Script::FromText("S: +OK\nC: USER alice\nS: +OK\nC: PASS s3cret\n"
                                       "S: -ERR [AUTH] password s3cret is wrong\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    log::SetSink(nullptr);
    ASSERT_EQ(LogLines().size(), 1u);
    const std::string& line = LogLines()[0];
    EXPECT_NE(line.find("pop3: Pop3_0"), std::string::npos) << line;
    EXPECT_NE(line.find("class 2"), std::string::npos) << line;
    EXPECT_NE(line.find("PASS answered: -ERR [AUTH] password *** is wrong"), std::string::npos) << line;
    EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
}

TEST_F(Pop3ConnectorTest, ConnectionLostWhileReadingHeadersFailsAndKeepsTheMarker) {
    // Writing the marker here would lose messages 2 and 3 for good.
    host.WriteCfgStr("LASTID_Pop3_0", "1");
    auto script = Pop3Script::FromText(Login(3) + "C: TOP 2 0\nS: +OK\nS: From: a@b.c\nS! reset\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "1");
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_TRUE(account->Headers.empty());
}

TEST_F(Pop3ConnectorTest, OverLongLineIsClassThree) {
    auto script = Pop3Script::FromText(Login(1) + "C: TOP 1 0\nS: +OK\nS! toolong\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
}

TEST_F(Pop3ConnectorTest, SilentServerIsClassOne) {
    auto script = Pop3Script::FromText("S! timeout\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
}

TEST_F(Pop3ConnectorTest, FailedCheckDoesNotRepeatTheLastChecksMessages) {
    auto first = Pop3Script::FromText(Login(2) + Messages(1, 2) + "C: QUIT\nS: +OK\n");
    auto account = Account(first);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    ASSERT_EQ(account->NewCount, 2);
    context.pop3Transport = test::ScriptedTransportFactory(Pop3Script::FromText("O! refuse\n"));
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 0);
    TNotifyMessages list;
    account->AddNotifyItems(list, false);
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(account->UnreadCount, 2); // the last known count still shows
}

TEST_F(Pop3ConnectorTest, SslWithoutStoredPortConnectsWithTlsToPort110) {
    auto script = Pop3Script::FromText(Login(0) + "C: QUIT\nS: +OK\n");
    auto account = Account(script, "s3cret", true, false);
    EXPECT_EQ(account->Port, 110);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->tls);
    EXPECT_EQ(script->port, 110);
    EXPECT_EQ(script->host, "pop.example.org");
}

TEST_F(Pop3ConnectorTest, MessageEntriesCarryTheAccountWhenItHasAnOpenAction) {
    auto script = Pop3Script::FromText(Login(1) + Messages(1, 1) + "C: QUIT\nS: +OK\n");
    auto account = Account(script, "s3cret", false, true, 1);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    TNotifyMessages list;
    account->AddNotifyItems(list, true);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Item(0).AccountRef, "Pop3_0");
    EXPECT_EQ(list.Item(0).Sender, "alice@example.org");
    EXPECT_EQ(list.Item(1).AccountRef, "Pop3_0");
    EXPECT_EQ(list.Item(1).MessageRef, "Pop3_0");
    EXPECT_EQ(list.Item(1).Sender, "user1@example.org");
}

TEST_F(Pop3ConnectorTest, ConnectionTestLogsInAndOutWithoutTouchingTheMarker) {
    auto script =
        Pop3Script::FromText("S: +OK\nC: USER alice\nS: +OK\nC: PASS s3cret\nS: +OK\nC: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->Connect(), kStatusOk);
    EXPECT_TRUE(account->Connected);
    EXPECT_EQ(account->Disconnect(), kStatusOk);
    EXPECT_TRUE(script->Finished());
    EXPECT_FALSE(host.Has("LASTID_Pop3_0"));
}

// The TOPs of a check sent together, then their replies: a client that waits
// for each reply before the next command reads out of turn and the script
// records it.
std::string PipelinedMessages(int from, int to) {
    std::string commands;
    std::string replies;
    for (int n = from; n <= to; ++n) {
        commands += "C: TOP " + std::to_string(n) + " 0\n";
        replies += "S: +OK\nS: From: user" + std::to_string(n) + "@example.org\nS: Subject: Message " +
                   std::to_string(n) + "\nS: .\n";
    }
    return commands + replies;
}

const std::string kCapaPipelining = "C: CAPA\nS: +OK list follows\nS: TOP\nS: pipelining\nS: UIDL\nS: .\n";

TEST_F(Pop3ConnectorTest, PipeliningServerGetsTheTopsOfACheckTogether) {
    pipelining = true;
    const struct {
        const char* name;
        std::string stored;
        int count;
        std::string conversation; // after the login and STAT
        std::size_t headers;
        bool moreThanShown;
    } rows[] = {
        {"thirty new: one batch of 21", "0", 30, kCapaPipelining + PipelinedMessages(1, 21), 21, true},
        {"three new", "2", 5, kCapaPipelining + PipelinedMessages(3, 5), 3, false},
        {"one new: no CAPA, one TOP", "4", 5, Messages(5, 5), 1, false},
        {"server without PIPELINING: one by one", "0", 3,
         "C: CAPA\nS: +OK\nS: TOP\nS: USER\nS: .\n" + Messages(1, 3), 3, false},
        {"server without CAPA: one by one", "0", 2, "C: CAPA\nS: -ERR unknown command\n" + Messages(1, 2), 2,
         false},
        {"a refused TOP inside the batch is skipped", "0", 3,
         kCapaPipelining + "C: TOP 1 0\nC: TOP 2 0\nC: TOP 3 0\nS: +OK\nS: Subject: one\nS: .\n"
                           "S: -ERR no such message\nS: +OK\nS: Subject: three\nS: .\n",
         2, false},
    };
    for (const auto& row : rows) {
        host.WriteCfgStr("LASTID_Pop3_0", row.stored);
        auto script = Pop3Script::FromText(Login(row.count) + row.conversation + "C: QUIT\nS: +OK\n");
        auto account = Account(script);
        ASSERT_EQ(account->CheckMail(), kStatusOk) << row.name;
        EXPECT_TRUE(script->mismatches.empty()) << row.name << ": " << script->mismatches.front();
        EXPECT_TRUE(script->Finished()) << row.name;
        EXPECT_EQ(account->Headers.size(), row.headers) << row.name;
        EXPECT_EQ(account->MoreThanShown, row.moreThanShown) << row.name;
        EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), std::to_string(row.count)) << row.name;
    }
}

TEST_F(Pop3ConnectorTest, PipelinedReplyStreamCutPartWayFailsAndKeepsTheMarker) {
    pipelining = true;
    host.WriteCfgStr("LASTID_Pop3_0", "0");
    auto script = Pop3Script::FromText(Login(3) + kCapaPipelining +
                                       "C: TOP 1 0\nC: TOP 2 0\nC: TOP 3 0\n"
                                       "S: +OK\nS: Subject: one\nS: .\nS: +OK\nS: From: a@b.c\nS! reset\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "0");
    EXPECT_TRUE(account->Headers.empty());
    EXPECT_EQ(account->NewCount, 0);
}

TEST_F(Pop3ConnectorTest, PipelinedChecksKeepTheAttemptBoundAndAskCapaOnce) {
    pipelining = true;
    // A server that refuses every TOP: two batches of 21, then the bound.
    std::string commands;
    std::string refusals;
    auto batch = [&](int from, int to) {
        std::string out;
        for (int n = from; n <= to; ++n) {
            out += "C: TOP " + std::to_string(n) + " 0\n";
        }
        for (int n = from; n <= to; ++n) {
            out += "S: -ERR no TOP here\n";
        }
        return out;
    };
    auto script = Pop3Script::FromText(Login(1000) + kCapaPipelining + batch(1, 21) + batch(22, 42) +
                                       "C: QUIT\nS: +OK\n");
    auto account = Account(script);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_TRUE(script->Finished());
    EXPECT_TRUE(account->MoreThanShown);
    EXPECT_TRUE(account->Headers.empty());
    // The next check of the same server does not ask CAPA again.
    auto next =
        Pop3Script::FromText(Login(1003, false) + PipelinedMessages(1001, 1003) + "C: QUIT\nS: +OK\n");
    context.pop3Transport = test::ScriptedTransportFactory(next);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_TRUE(next->mismatches.empty()) << next->mismatches.front();
    EXPECT_EQ(account->Headers.size(), 3u);
}

TEST(Pop3ClientTest, TopUnstuffsDotsAndKeepsTheHeaderLinesWithinTheBounds) {
    auto script = Pop3Script::FromText("C: TOP 1 0\nS: +OK\nS: ..starts with a dot\nS: Subject: x\nS: .\n"
                                       "C: TOP 2 0\nS: +OK\nS: A: 1\nS: B: 2\nS: C: 3\nS: .\n");
    test::ScriptedPop3Transport transport(script);
    Pop3Limits limits;
    limits.maxHeaderLines = 2;
    Pop3Client client(transport, limits);
    transport.Open("h", 1, false, limits);
    bool truncated = true;
    auto lines = client.Top(1, truncated);
    EXPECT_FALSE(truncated);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], ".starts with a dot");
    lines = client.Top(2, truncated);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(lines, (std::vector<std::string>{"A: 1", "B: 2"}));
    EXPECT_TRUE(script->Finished()); // read to the end: the next command still lines up
}

TEST(Pop3ClientTest, LineBreakInCredentialsIsRefusedBeforeSending) {
    auto script = Pop3Script::FromText("S: +OK\n");
    test::ScriptedPop3Transport transport(script);
    Pop3Client client(transport, Pop3Limits{});
    client.Connect("h", 110, false);
    EXPECT_THROW(client.Login("alice\r\nDELE 1", "x"), Pop3NegativeReply);
    EXPECT_TRUE(script->sent.empty());
}

} // namespace
} // namespace nuvex
