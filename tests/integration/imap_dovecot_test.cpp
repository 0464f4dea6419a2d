// IMAP checks end to end against a private dovecot on loopback: plain,
// STARTTLS and implicit TLS; new mail counted across checks; flags untouched.
#include "accounts/imap_connector.h"
#include "lib/clock.h"
#include "tests/support/account_fixture.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

class ImapDovecotTest : public test::DovecotAccountTest {
protected:
    ImapDovecotTest() { imap = true; }

    std::unique_ptr<TNuvex_ImapConnector>
    Account(const std::string& password, ImapSecurity security,
            const std::string& hostName = test::DovecotHarness::kCertHost) {
        TAccountFields f;
        f.userName = "alice";
        f.email = "alice@example.org";
        TImapFields p;
        p.password = password;
        p.hostName = hostName;
        p.security = security;
        p.port = security == ImapSecurity::Tls ? dovecot.ImapsPort() : dovecot.ImapPort();
        AddImapTypeKeys(f, p);
        return Load<TNuvex_ImapConnector>(ImapConnectorClass(), f, "Imap_0");
    }
};

TEST_F(ImapDovecotTest, EachSecurityCountsNewMailAcrossChecksAndLeavesItUnseen) {
    for (ImapSecurity security : {ImapSecurity::None, ImapSecurity::StartTls, ImapSecurity::Tls}) {
        SCOPED_TRACE(ImapSecurityWord(security));
        host.WriteCfgStr("LASTID_Imap_0", "");
        auto account = Account("wonder land", security);
        ASSERT_EQ(account->CheckMail(), kStatusOk) << dovecot.Log();
        const int before = account->UnreadCount;
        EXPECT_EQ(account->NewCount, before); // the first check lists what is unseen
        EXPECT_TRUE(account->ServerIdles);

        dovecot.Deliver("alice", 100 + before, 3);
        ASSERT_EQ(account->CheckMail(), kStatusOk);
        EXPECT_EQ(account->NewCount, 3);
        EXPECT_EQ(account->UnreadCount, before + 3);
        ASSERT_EQ(account->Headers.size(), 3u);
        EXPECT_EQ(account->Headers[0].Subject, "Message " + std::to_string(102 + before));
        EXPECT_EQ(account->Headers[0].Preview, "Body of message " + std::to_string(102 + before) + ".");

        ASSERT_EQ(account->CheckMail(), kStatusOk);
        EXPECT_EQ(account->NewCount, 0);
        EXPECT_EQ(dovecot.UnseenCount("alice"), before + 3);
    }
}

TEST_F(ImapDovecotTest, WrongPasswordAndUntrustedCertificateEndInTheirClasses) {
    auto wrong = Account("not it", ImapSecurity::Tls);
    EXPECT_EQ(wrong->CheckMail(), kStatusFailed);
    EXPECT_EQ(wrong->ErrorCode, kErrorLogin);

    setenv("SSL_CERT_FILE", dovecot.OtherCaFile().c_str(), 1);
    for (ImapSecurity security : {ImapSecurity::Tls, ImapSecurity::StartTls}) {
        auto untrusted = Account("wonder land", security);
        EXPECT_EQ(untrusted->CheckMail(), kStatusFailed);
        EXPECT_EQ(untrusted->ErrorCode, kErrorOther);
        std::int32_t code = 0;
        std::string text;
        untrusted->TakeLastError(code, text);
        EXPECT_NE(text.find("localhost"), std::string::npos) << text;
    }
}

} // namespace
} // namespace nuvex
