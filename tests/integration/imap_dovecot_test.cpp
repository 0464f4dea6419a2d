// IMAP checks end to end against a private dovecot on loopback: plain,
// STARTTLS and implicit TLS; new mail counted across checks; flags untouched.
#include "accounts/account_store.h"
#include "accounts/imap_connector.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/dovecot_harness.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

class ImapDovecotTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = test::DovecotHarness::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        SetProcessRegistry(registry.get());
        dovecot.AddUser("alice", "wonder land");
        dovecot.EnableImap();
        std::string error;
        ASSERT_TRUE(dovecot.Start(error)) << error;
        setenv("SSL_CERT_FILE", dovecot.CaFile().c_str(), 1);
        context.host = &host;
        context.pop3Limits.connectTimeoutMs = 5000;
        context.pop3Limits.readTimeoutMs = 10000;
    }
    void TearDown() override {
        SetProcessRegistry(nullptr);
        unsetenv("SSL_CERT_FILE");
    }

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
        auto account = ImapConnectorClass().Create(context);
        EXPECT_EQ(account->LoadSettings(BuildSettingsText(f)), kStatusOk);
        account->SetAccountId("Imap_0");
        return std::unique_ptr<TNuvex_ImapConnector>(static_cast<TNuvex_ImapConnector*>(account.release()));
    }

    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    test::DovecotHarness dovecot;
    MemoryHostConfig host;
    AccountContext context;
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
