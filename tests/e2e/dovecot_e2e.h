#pragma once
// The plug-in and its host against a private dovecot whose users the test names.
#include "tests/e2e/e2e_harness.h"
#include "tests/support/dovecot_harness.h"

#include <string>
#include <utility>
#include <vector>

namespace nuvex::e2e {

class DovecotE2eTest : public TickingE2eTest {
protected:
    void TearDown() override {
        TickingE2eTest::TearDown();
        dovecot_.Stop();
    }

    void StartWithDovecot(const std::vector<std::pair<std::string, std::string>>& users) {
        if (std::string why = test::DovecotHarness::Unavailable(); !why.empty()) {
            GTEST_SKIP() << "dovecot harness unavailable: " << why;
        }
        for (const auto& [user, password] : users) {
            dovecot_.AddUser(user, password);
        }
        std::string error;
        ASSERT_TRUE(dovecot_.Start(error)) << error;
        StartHost();
        ASSERT_TRUE(WaitPluginUp());
    }

    test::DovecotHarness dovecot_;
};

} // namespace nuvex::e2e
