// IMAP checks as scripted conversations through the fake transport.
#include "accounts/imap_connector.h"
#include "lib/clock.h"
#include "tests/support/account_fixture.h"
#include "tests/support/fake_transport.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

using test::Pop3Script;

constexpr const char* kFetchItems =
    " (UID BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE CONTENT-TYPE CONTENT-TRANSFER-ENCODING)] "
    "BODY.PEEK[TEXT]<0.2048>)";

// The script lines of one FETCH answer whose header and text come as literals.
std::string FetchReply(int seq, int uid, const std::string& header, const std::string& text) {
    auto lines = [](const std::string& block) {
        std::string out;
        std::size_t at = 0;
        while (at < block.size()) {
            std::size_t end = block.find("\r\n", at);
            out += "S: " + block.substr(at, end - at) + "\n";
            at = end + 2;
        }
        return out;
    };
    return "S: * " + std::to_string(seq) + " FETCH (UID " + std::to_string(uid) +
           " BODY[HEADER.FIELDS (FROM)] {" + std::to_string(header.size()) + "}\n" + lines(header) +
           "S:  BODY[TEXT]<0> {" + std::to_string(text.size()) + "}\n" + lines(text) + "S: )\n";
}

std::string Status(int messages, int unseen, int uidNext, int validity) {
    return "C: n2 STATUS \"INBOX\" (MESSAGES UNSEEN UIDNEXT UIDVALIDITY)\nS: * STATUS INBOX (MESSAGES " +
           std::to_string(messages) + " UNSEEN " + std::to_string(unseen) + " UIDNEXT " +
           std::to_string(uidNext) + " UIDVALIDITY " + std::to_string(validity) + ")\nS: n2 OK done\n";
}

constexpr const char* kLogin = "S: * OK [CAPABILITY IMAP4rev1 IDLE] ready\n"
                               "C: n1 LOGIN \"alice\" \"s3cret\"\n"
                               "S: n1 OK [CAPABILITY IMAP4rev1 IDLE] logged in\n";
constexpr const char* kLogout = "C: n9 LOGOUT\nS: * BYE bye\nS: n9 OK\n";

class ImapConnectorTest : public test::ClockedAccountTest {
protected:
    // The script's tags are renumbered so that rows can be written with n9 for LOGOUT.
    std::unique_ptr<TNuvex_ImapConnector> Account(std::string script,
                                                  ImapSecurity security = ImapSecurity::None) {
        int tag = 0;
        std::string numbered;
        std::size_t at = 0;
        while (at < script.size()) {
            std::size_t end = script.find('\n', at);
            std::string line = script.substr(at, end - at);
            at = end == std::string::npos ? script.size() : end + 1;
            if (line.rfind("C: n", 0) == 0) {
                ++tag;
            }
            for (const char* prefix : {"C: n", "S: n"}) {
                if (line.rfind(prefix, 0) == 0) {
                    std::size_t blank = line.find(' ', 3);
                    line = std::string(prefix) + std::to_string(tag) + line.substr(blank);
                }
            }
            numbered += line + "\n";
        }
        this->script = Pop3Script::FromText(numbered);
        context.pop3Transport = test::ScriptedTransportFactory(this->script);
        TAccountFields f;
        f.userName = "alice";
        f.email = "alice@example.org";
        TImapFields p;
        p.password = "s3cret";
        p.hostName = "imap.example.org";
        p.security = security;
        p.port = security == ImapSecurity::Tls ? 993 : 143;
        AddImapTypeKeys(f, p);
        return Load<TNuvex_ImapConnector>(ImapConnectorClass(), f, "Imap_0");
    }

    void ExpectScriptFollowed() {
        EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
        EXPECT_TRUE(script->Finished()) << "stopped at line " << script->pos;
    }

    std::shared_ptr<Pop3Script> script;
};

TEST_F(ImapConnectorTest, NewIsUnseenAtOrAboveTheStoredUidNextAndNothingIsMarkedSeen) {
    host.WriteCfgStr("LASTID_Imap_0", FormatImapMarks({{"INBOX", {77, 4}}}));
    const std::string header1 =
        "From: Bob <bob@example.org>\r\nSubject: Lunch\r\nDate: Mon, 1 Jan 2024 10:00 +0000\r\n\r\n";
    const std::string header2 = "From: carol@example.net\r\nSubject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n"
                                "Content-Type: text/plain; charset=iso-8859-1\r\n"
                                "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
    auto account =
        Account(std::string(kLogin) + Status(6, 3, 7, 77) +
                "C: n EXAMINE \"INBOX\"\nS: * 6 EXISTS\nS: * OK [UIDVALIDITY 77] ok\n"
                "S: * OK [UIDNEXT 7] ok\nS: n OK [READ-ONLY] done\n"
                "C: n UID SEARCH UNSEEN UID 4:*\nS: * SEARCH 2 4 6\nS: n OK done\n"
                "C: n UID FETCH 4,6" +
                kFetchItems + "\n" + FetchReply(3, 4, header1, "Hello  there,\r\nsee you\r\n") +
                FetchReply(5, 6, header2, "Sch=F6n=\r\nes Wetter\r\n") + "S: n OK done\n" + kLogout);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    ExpectScriptFollowed();
    EXPECT_EQ(account->NewCount, 2);
    EXPECT_EQ(account->UnreadCount, 3);
    EXPECT_TRUE(account->ServerIdles);
    ASSERT_EQ(account->Headers.size(), 2u);
    EXPECT_EQ(account->Headers[0].Sender, "carol@example.net");
    EXPECT_EQ(account->Headers[0].Subject, "Gr\xC3\xBC\xC3\x9F"
                                           "e");
    EXPECT_EQ(account->Headers[0].Preview, "Sch\xC3\xB6nes Wetter");
    EXPECT_EQ(account->Headers[1].Sender, "Bob <bob@example.org>");
    EXPECT_EQ(account->Headers[1].Preview, "Hello there, see you");
    EXPECT_EQ(account->Headers[1].Date, "Mon, 1 Jan 2024 10:00 +0000");
    EXPECT_EQ(ParseImapMarks(*host.ReadCfgStr("LASTID_Imap_0")).at("INBOX").uidNext, 7u);
    for (const std::string& sent : script->sent) {
        EXPECT_EQ(sent.find("STORE"), std::string::npos);
        EXPECT_EQ(sent.find("SELECT"), std::string::npos);
        EXPECT_TRUE(sent.find("BODY[") == std::string::npos) << sent; // only BODY.PEEK
    }
}

TEST_F(ImapConnectorTest, UnmovedUidNextOpensNothing) {
    host.WriteCfgStr("LASTID_Imap_0", FormatImapMarks({{"INBOX", {77, 7}}}));
    auto account = Account(std::string(kLogin) + Status(6, 1, 7, 77) + kLogout);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    ExpectScriptFollowed();
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_EQ(account->UnreadCount, 1);
}

TEST_F(ImapConnectorTest, ChangedUidValidityRebaselinesWithoutAnnouncing) {
    host.WriteCfgStr("LASTID_Imap_0", FormatImapMarks({{"INBOX", {77, 7}}}));
    auto account = Account(std::string(kLogin) + Status(900, 900, 901, 78) + kLogout);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    ExpectScriptFollowed();
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_EQ(account->UnreadCount, 900);
    auto mark = ParseImapMarks(*host.ReadCfgStr("LASTID_Imap_0")).at("INBOX");
    EXPECT_EQ(mark.uidValidity, 78u);
    EXPECT_EQ(mark.uidNext, 901u);
}

TEST_F(ImapConnectorTest, AuthenticatePlainWhenOfferedAndStartTlsBeforeIt) {
    auto account =
        Account("S: * OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready\n"
                "C: n STARTTLS\nS: n OK go\nT! ok\n"
                "C: n CAPABILITY\nS: * CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR IDLE\nS: n OK\n"
                "C: n AUTHENTICATE PLAIN AGFsaWNlAHMzY3JldA==\nS: n OK in\n" +
                    Status(0, 0, 1, 5) +
                    "C: n EXAMINE \"INBOX\"\nS: n OK\nC: n UID SEARCH UNSEEN UID 1:*\nS: * SEARCH\n"
                    "S: n OK\nC: n CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: n OK\n" +
                    kLogout,
                ImapSecurity::StartTls);
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    ExpectScriptFollowed();
    EXPECT_TRUE(script->tls);
    EXPECT_EQ(script->port, 143);
    EXPECT_FALSE(account->ServerIdles);
}

struct FailureRow {
    const char* name;
    std::string script;
    std::int32_t error;
    ImapSecurity security = ImapSecurity::None;
};

class ImapFailures : public ImapConnectorTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(ImapFailures, EndInTheirClassAndKeepTheMarker) {
    host.WriteCfgStr("LASTID_Imap_0", FormatImapMarks({{"INBOX", {77, 4}}}));
    auto account = Account(GetParam().script, GetParam().security);
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_EQ(account->ErrorCode, GetParam().error);
    EXPECT_EQ(ParseImapMarks(*host.ReadCfgStr("LASTID_Imap_0")).at("INBOX").uidNext, 4u);
    if (GetParam().security == ImapSecurity::StartTls) {
        for (const std::string& sent : script->sent) {
            EXPECT_EQ(sent.find("LOGIN"), std::string::npos) << "credentials sent without TLS";
        }
    }
}

const std::string kGreeting = "S: * OK [CAPABILITY IMAP4rev1] ready\nC: n1 LOGIN \"alice\" \"s3cret\"\n";
const std::string kAfterLogin = std::string(kLogin);

INSTANTIATE_TEST_SUITE_P(
    Rows, ImapFailures,
    ::testing::Values(
        FailureRow{"AuthenticationFailed",
                   kGreeting + "S: n1 NO [AUTHENTICATIONFAILED] Authentication failed.\n", kErrorLogin},
        FailureRow{"PlainNoToLogin", kGreeting + "S: n1 NO bad password\n", kErrorLogin},
        FailureRow{"Unavailable", kGreeting + "S: n1 NO [UNAVAILABLE] backend down\n", kErrorUnreachable},
        FailureRow{"Alert", kGreeting + "S: n1 NO [ALERT] account locked, call us\n", kErrorOther},
        FailureRow{"ByeGreeting", "S: * BYE too many connections\n", kErrorUnreachable},
        FailureRow{"SilenceAfterGreeting", kGreeting + "S! timeout\n", kErrorUnreachable},
        FailureRow{"UnterminatedLine", kGreeting + "S! toolong\n", kErrorOther},
        FailureRow{"HugeLiteral",
                   kAfterLogin + "C: n STATUS \"INBOX\" (MESSAGES UNSEEN UIDNEXT UIDVALIDITY)\n"
                                 "S: * STATUS {2147483648}\n",
                   kErrorOther},
        FailureRow{
            "ByeMidCheck",
            kAfterLogin +
                "C: n STATUS \"INBOX\" (MESSAGES UNSEEN UIDNEXT UIDVALIDITY)\nS: * BYE shutting down\n",
            kErrorUnreachable},
        FailureRow{"NoStartTlsOffered", "S: * OK [CAPABILITY IMAP4rev1] ready\n", kErrorOther,
                   ImapSecurity::StartTls},
        FailureRow{"StartTlsHandshakeFails",
                   "S: * OK [CAPABILITY IMAP4rev1 STARTTLS] ready\nC: n1 STARTTLS\nS: n1 OK go\nT! fail\n",
                   kErrorUnreachable, ImapSecurity::StartTls},
        FailureRow{"StartTlsRefused",
                   "S: * OK [CAPABILITY IMAP4rev1 STARTTLS] ready\nC: n1 STARTTLS\nS: n1 BAD no\n",
                   kErrorOther, ImapSecurity::StartTls}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImapConnectorTest, UntaggedFloodEndsTheCheck) {
    std::string flood = std::string(kLogin) + "C: n STATUS \"INBOX\" (MESSAGES UNSEEN UIDNEXT UIDVALIDITY)\n";
    for (int i = 0; i < 10001; ++i) {
        flood += "S: * OK still here\n";
    }
    auto account = Account(flood);
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
}

TEST(ImapMarks, RoundTripAndForeignTextsReadAsNone) {
    TImapMarks marks{{"INBOX", {1, 2}}, {"Lists/\xC3\xA9t\xC3\xA9;x", {4294967295u, 4294967295u}}};
    EXPECT_EQ(ParseImapMarks(FormatImapMarks(marks)), marks);
    EXPECT_TRUE(ParseImapMarks("12").empty());
    EXPECT_TRUE(ParseImapMarks("imap1;1.2.zz;4294967296.1.41").empty());
}

TEST(ImapPreview, FirstPlainPartDecoded) {
    const std::string multipart = "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n";
    const std::string body =
        "--b1\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "SGVsbG8gd29ybGQ=\r\n--b1\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--b1--\r\n";
    EXPECT_EQ(ImapPreviewText(multipart, body), "Hello world");
    EXPECT_EQ(ImapPreviewText("Content-Type: text/html\r\n\r\n", "<p>x</p>"), "");
    EXPECT_EQ(ImapPreviewText("", "a\r\n\r\n  b\tc", 3), "a b");
}

} // namespace
} // namespace nuvex
