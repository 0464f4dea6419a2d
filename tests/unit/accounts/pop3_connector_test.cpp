// POP3 checks as scripted conversations through a fake transport.
#include "accounts/account_store.h"
#include "accounts/pop3_client.h"
#include "accounts/pop3_connector.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/fake_transport.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

using test::Pop3Script;

class Pop3ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDefaultClock(&clock);
        // Error texts pass through Translate, which loads the brand values
        // from the process registry: keep that in memory, away from the user's files.
        SetProcessRegistry(registry.get());
        context.host = &host;
    }
    void TearDown() override {
        SetDefaultClock(nullptr);
        SetProcessRegistry(nullptr);
    }

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
        auto account = Pop3ConnectorClass().Create(context);
        EXPECT_EQ(account->LoadSettings(BuildSettingsText(f)), kStatusOk);
        account->SetAccountId("Pop3_0");
        return std::unique_ptr<TNuvex_Pop3Connector>(static_cast<TNuvex_Pop3Connector*>(account.release()));
    }

    static std::string Messages(int from, int to) {
        std::string s;
        for (int n = from; n <= to; ++n) {
            s += "C: TOP " + std::to_string(n) + " 0\nS: +OK\nS: From: user" + std::to_string(n) +
                 "@example.org\nS: Subject: Message " + std::to_string(n) + "\nS: .\n";
        }
        return s;
    }

    static std::string Login(int count) {
        return "S: +OK ready\nC: USER alice\nS: +OK\nC: PASS s3cret\nS: +OK\nC: STAT\nS: +OK " +
               std::to_string(count) + " 100\n";
    }

    FakeClock clock;
    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    MemoryHostConfig host;
    AccountContext context;
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

TEST_F(Pop3ConnectorTest, UntrustedCertificateIsReportedAsClassThree) {
    auto script = Pop3Script::FromText("O! untrusted\n");
    auto account = Account(script, "s3cret", true);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
}

TEST_F(Pop3ConnectorTest, GarbageGreetingIsClassThree) {
    auto script = Pop3Script::FromText("S: HELLO THERE\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
}

TEST_F(Pop3ConnectorTest, NegativeStatIsClassTwoAndMarkerUntouched) {
    host.WriteCfgStr("LASTID_Pop3_0", "4");
    auto script = Pop3Script::FromText(
        "S: +OK\nC: USER alice\nS: +OK\nC: PASS s3cret\nS: +OK\nC: STAT\nS: -ERR mailbox locked\n");
    auto account = Account(script);
    EXPECT_NE(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->ErrorCode, kErrorLogin);
    EXPECT_EQ(*host.ReadCfgStr("LASTID_Pop3_0"), "4");
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

TEST(Pop3ClientTest, TopUnstuffsDotsAndDropsAnOversizedHeaderBlock) {
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
    EXPECT_TRUE(lines.empty());
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
