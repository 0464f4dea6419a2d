// IMAP servers that misbehave on purpose: every check ends in its error class
// within its (shortened) time-outs, and the tick goes on to the next account.
#include "accounts/account_list.h"
#include "accounts/check_cycle.h"
#include "accounts/imap_connector.h"
#include "tests/support/account_fixture.h"
#include "tests/support/scripted_imap_server.h"

#include <chrono>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using Script = std::vector<std::string>;

const Script kGreeting = {"S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi", "C:", "S: $ OK in", "C:"};

Script With(Script head, const Script& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const Script kGood = With(kGreeting, {
                                         "S: * STATUS INBOX (MESSAGES 1 UNSEEN 1 UIDNEXT 2 UIDVALIDITY 1)",
                                         "S: $ OK",
                                         "C:",
                                         "S: $ OK [READ-ONLY]",
                                         "C:",
                                         "S: * SEARCH 1",
                                         "S: $ OK",
                                         "C:",
                                         "S: * 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM)] {24}",
                                         "S: From: good@example.org",
                                         "S:  BODY[TEXT]<0> NIL)",
                                         "S: $ OK",
                                         "C:",
                                         "S: * CAPABILITY IMAP4rev1",
                                         "S: $ OK",
                                         "C:",
                                         "S: * BYE",
                                         "S: $ OK",
                                     });

struct HostileRow {
    const char* name;
    Script script;
    std::int32_t error;
    ImapSecurity security = ImapSecurity::None;
};

class ImapHostileTest : public test::AccountTest, public ::testing::WithParamInterface<HostileRow> {
protected:
    void SetUp() override {
        AccountTest::SetUp();
        ShortTimeouts();
    }

    std::unique_ptr<TNuvex_GenericConnector> Account(int port, const std::string& id, ImapSecurity security) {
        TAccountFields f;
        f.userName = "u";
        f.email = id + "@example.org";
        TImapFields p;
        p.password = "p";
        p.hostName = "127.0.0.1";
        p.port = port;
        p.security = security;
        AddImapTypeKeys(f, p);
        return Load(ImapConnectorClass(), f, id);
    }
};

TEST_P(ImapHostileTest, CheckEndsInItsClassInTimeAndTheNextAccountIsChecked) {
    test::ScriptedImapServer hostile(GetParam().script);
    test::ScriptedImapServer good(kGood);
    TAccountList list;
    list.AddAccount(Account(hostile.Port(), "Imap_0", GetParam().security));
    list.AddAccount(Account(good.Port(), "Imap_1", ImapSecurity::None));
    TCheckCycle cycle(list);

    const auto start = std::chrono::steady_clock::now();
    TickResult r = cycle.Tick(TickSettings{}, {});
    const auto elapsed = std::chrono::steady_clock::now() - start;

    // Read time-outs of 1 s, a total of 5 s: well under 8 s, whatever the server does.
    EXPECT_LT(elapsed, std::chrono::seconds(8));
    ASSERT_EQ(r.errors.Count(), 1);
    EXPECT_EQ(r.errors.Item(0).AccountRef, "Imap_0");
    EXPECT_EQ(r.errors.Item(0).Detail.substr(0, 10),
              GetParam().error == kErrorUnreachable ? std::string("Server is ") : std::string("Unknown er"));
    EXPECT_FALSE(host.Has("LASTID_Imap_0"));
    EXPECT_EQ(r.totalNew, 1);
    if (GetParam().security == ImapSecurity::StartTls) {
        for (const std::string& line : hostile.Received()) {
            EXPECT_EQ(line.find("LOGIN"), std::string::npos) << "credentials went out in plain text";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ImapHostileTest,
    ::testing::Values(
        HostileRow{"HugeLiteral", With(kGreeting, {"S: * STATUS INBOX {2147483648}", "SILENT"}), kErrorOther},
        HostileRow{"UnterminatedLine", {"S: * OK hi", "ENDLESS"}, kErrorOther},
        HostileRow{"UntaggedFlood", With(kGreeting, {"FLOOD * OK still busy"}), kErrorOther},
        HostileRow{
            "SilenceAfterGreeting", {"S: * OK [CAPABILITY IMAP4rev1] hi", "SILENT"}, kErrorUnreachable},
        HostileRow{"ByeMidCheck", With(kGreeting, {"S: * BYE going down", "SILENT"}), kErrorUnreachable},
        HostileRow{"StartTlsHandshakeFails",
                   {"S: * OK [CAPABILITY IMAP4rev1 STARTTLS] hi", "C:", "S: $ OK begin", "GARBAGE"},
                   kErrorUnreachable,
                   ImapSecurity::StartTls},
        HostileRow{"StartTlsNotOffered",
                   {"S: * OK [CAPABILITY IMAP4rev1] hi", "SILENT"},
                   kErrorOther,
                   ImapSecurity::StartTls}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace nuvex
