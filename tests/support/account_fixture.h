#pragma once
// The ground the connector tests stand on: brand values and settings kept in
// memory, away from the user's files, and an account loaded from its fields
// the way the wizard stores it. Two grounds build on it: a loopback HTTPS
// server's certificates, and a private dovecot with one user.
#include "accounts/account_store.h"
#include "accounts/generic_connector.h"
#include "lib/clock.h"
#include "lib/codepage.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/support/dovecot_harness.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>

namespace nuvex::test {

class AccountTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Error texts pass through Translate, which loads the brand values
        // from the process registry.
        SetProcessRegistry(registry.get());
        context.host = &host;
    }
    void TearDown() override { SetProcessRegistry(nullptr); }

    // An account of `kind` with `id`, loaded from `fields` as they are stored.
    template <class Connector = TNuvex_GenericConnector>
    std::unique_ptr<Connector> Load(const TConnectorClass& kind, const TAccountFields& fields,
                                    const std::string& id) {
        auto account = kind.Create(context);
        EXPECT_EQ(account->LoadSettings(BuildSettingsText(fields)), kStatusOk);
        account->SetAccountId(id);
        return std::unique_ptr<Connector>(static_cast<Connector*>(account.release()));
    }
    // Time-outs short enough for a server that never answers.
    void ShortTimeouts() {
        context.pop3Limits.connectTimeoutMs = 1000;
        context.pop3Limits.readTimeoutMs = 1000;
        context.pop3Limits.totalTimeoutMs = 5000;
    }
    // The error class and text the account's last check left.
    static std::pair<std::int32_t, std::string> LastError(TNuvex_GenericConnector& account) {
        std::pair<std::int32_t, std::string> e;
        account.TakeLastError(e.first, e.second);
        return e;
    }

    std::unique_ptr<Registry> registry = MakeMemoryRegistry();
    MemoryHostConfig host;
    AccountContext context;
};

// The connectors' clock stands still unless the test moves it.
class ClockedAccountTest : public AccountTest {
protected:
    void SetUp() override {
        SetDefaultClock(&clock);
        AccountTest::SetUp();
    }
    void TearDown() override {
        SetDefaultClock(nullptr);
        AccountTest::TearDown();
    }

    FakeClock clock;
};

// Mail texts in UTF-8 and a CA made for the test that the HTTPS client trusts.
class TlsAccountTest : public AccountTest {
protected:
    void SetUp() override {
        AccountTest::SetUp();
        savedCodePage = AnsiCodePage();
        SetAnsiCodePage(kCodePageUtf8);
        std::string error;
        auto made = TestCertificates::Make(dir.path(), error);
        if (!made) {
            GTEST_SKIP() << "no test certificates: " << error;
        }
        certs = *made;
        ca = std::make_unique<ScopedEnv>("SSL_CERT_FILE", certs.caFile);
    }
    void TearDown() override {
        AccountTest::TearDown();
        SetAnsiCodePage(savedCodePage);
    }

    int savedCodePage = 0;
    TempDir dir;
    TestCertificates certs;
    std::unique_ptr<ScopedEnv> ca;
};

// A private dovecot with the user alice, whose CA the TLS client trusts.
class DovecotAccountTest : public AccountTest {
protected:
    void SetUp() override {
        std::string why = DovecotHarness::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        AccountTest::SetUp();
        dovecot.AddUser("alice", "wonder land");
        if (imap) {
            dovecot.EnableImap();
        }
        std::string error;
        ASSERT_TRUE(dovecot.Start(error)) << error;
        setenv("SSL_CERT_FILE", dovecot.CaFile().c_str(), 1);
        context.pop3Limits.connectTimeoutMs = ScaledMs(5000);
        context.pop3Limits.readTimeoutMs = ScaledMs(10000);
    }
    void TearDown() override {
        AccountTest::TearDown();
        unsetenv("SSL_CERT_FILE");
    }

    bool imap = false;
    DovecotHarness dovecot;
};

} // namespace nuvex::test
