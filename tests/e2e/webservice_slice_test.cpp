// A web-service account end to end: brannock --headless, nuvex, the
// development web service on loopback, the account added with nuvex-account
// and the service address set in the host's settings. What the user sees is
// read back through `brannock ctl button MAIL` and the notification log.
#include "tests/e2e/e2e_harness.h"
#include "tests/support/wmcheck_harness.h"

namespace nuvex::e2e {
namespace {

class WebServiceSliceTest : public TickingE2eTest {
protected:
    void SetUp() override {
        TickingE2eTest::SetUp();
        if (std::string why = test::WmcheckHarness::Unavailable(); !why.empty()) {
            GTEST_SKIP() << why;
        }
    }
    void TearDown() override {
        TickingE2eTest::TearDown();
        service_.Stop();
    }

    test::WmcheckHarness service_;
};

TEST_F(WebServiceSliceTest, TwoNewMessagesShowOnTheButtonWithTheirSendersInTheirCharacters) {
    // The service answers in windows-1251: Cyrillic, and signs beyond Latin-1.
    const std::string boris = "\xD0\x91\xD0\xBE\xD1\x80\xD0\xB8\xD1\x81";
    const std::string privet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
    const std::string darya = "\xD0\x94\xD0\xB0\xD1\x80\xD1\x8C\xD1\x8F";
    const std::string number = "\xE2\x84\x96"
                               "5 \xE2\x80\x94 \xE2\x82\xAC"; // numero sign, dash, euro
    test::WmAccount account;
    account.login = "ann@webvault.example";
    account.password = "ann-pw";
    account.charset = "windows-1251";
    account.messages = {{905, 1, privet, "p1", boris, "boris@example.org"},
                        {904, 1, number, "p2", darya, "darya@example.org"}};
    service_.SetAccounts({account});
    std::string error;
    ASSERT_TRUE(service_.Start(error)) << error;

    // Pages open through the stand-in browser, never the desktop's opener.
    {
        ::mkdir((dir_.path() + "/config/brannock").c_str(), 0700);
        auto reg = OpenSqliteRegistry(dir_.path() + "/config/brannock/registry.db");
        ASSERT_TRUE(reg);
        ASSERT_TRUE(WriteRegString(*reg, RegRoot::HKCR, "HTTP\\shell\\open\\command", "", true,
                                   dir_.file("browser.sh") + " %1"));
    }
    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    ASSERT_EQ(Ctl({"set", "MAIL", "WEBVAULT_SERVICE_URL", service_.ServiceUrl()}).code, 0);
    const std::string pw = dir_.file("ann.pw");
    std::ofstream(pw) << "ann-pw\n";
    Result added = Run({AccountTool(), "add", "--type", "WEBVAULT", "--email", "ann@webvault.example",
                        "--check-minutes", "1", "--password-file", pw});
    ASSERT_EQ(added.code, 0) << added.out << added.err;
    ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);
    ASSERT_EQ(Ctl({"command", "MAIL", "CHECK_ALL"}).code, 0);

    ASSERT_TRUE(WaitUntil([&] { return Field(Button(), "caption") == "2 New"; }, 30000, 100))
        << Button() << "\n"
        << NotifyLog() << "\n"
        << service_.Stderr();
    const std::string log = NotifyLog();
    EXPECT_NE(log.find("notify total=2 "), std::string::npos) << log;
    EXPECT_NE(
        log.find("account=WEBVAULT_0 count=0 sender=" + boris + " <boris@example.org> subject=" + privet),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("sender=" + darya + " <darya@example.org> subject=" + number), std::string::npos)
        << log;

    // The button's menu opens the web mailbox through the service's redirect.
    const std::string menu = Field(Button(), "menu");
    EXPECT_NE(menu.find("Compose Email"), std::string::npos) << menu;
    ASSERT_EQ(Ctl({"command", "MAIL", "OPEN_WEBVAULT_0"}).code, 0);
    EXPECT_TRUE(
        WaitUntil([&] { return Navigations().find("/web/inbox?login=") != std::string::npos; }, 10000))
        << Navigations();
}

} // namespace
} // namespace nuvex::e2e
