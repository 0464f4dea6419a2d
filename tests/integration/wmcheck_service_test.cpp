// The web-service accounts against the development web service (tools/wmcheck),
// over HTTP and HTTPS, with every character set it speaks and every way it
// can misbehave; and the draft upload the service stores.
#include "accounts/webvault_connector.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/http.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wmcheck_harness.h"

#include <chrono>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using Clock = std::chrono::steady_clock;
using test::WmAccount;
using test::WmcheckHarness;
using test::WmMessage;

constexpr const char* kLogin = "ann@webvault.example";
constexpr const char* kPassword = "s3cret&\"pw";

struct RecordingSink final : NavigationSink {
    void PostNavigate(const std::string& u, const std::string& /*command*/) override { urls.push_back(u); }
    std::vector<std::string> urls;
};

WmAccount Account(const std::string& charset, std::vector<WmMessage> messages = {}) {
    WmAccount a;
    a.login = kLogin;
    a.password = kPassword;
    a.charset = charset;
    a.messages = std::move(messages);
    return a;
}

class WmcheckServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = WmcheckHarness::Unavailable(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        context.host = &host;
        context.navigation = &sink;
    }
    void Start(const WmAccount& account, const std::string& cert = "", const std::string& key = "") {
        service.SetAccounts({account});
        std::string error;
        ASSERT_TRUE(service.Start(error, cert, key)) << error;
        host.WriteCfgStr("WEBVAULT_SERVICE_URL", service.ServiceUrl());
        auto created = WebvaultConnectorClass().Create(context);
        connector.reset(dynamic_cast<TNuvex_WebvaultConnector*>(created.release()));
        ASSERT_TRUE(connector);
        connector->SetAccountId("WEBVAULT_0");
        connector->UserName = kLogin;
        connector->Email = kLogin;
        connector->Password = kPassword;
        connector->Limits.connectTimeoutMs = 2000;
        connector->Limits.readTimeoutMs = 1500;
        connector->Limits.totalTimeoutMs = 5000;
    }
    std::int32_t LastError() {
        std::int32_t code = -1;
        std::string text;
        connector->TakeLastError(code, text);
        return code;
    }

    MemoryHostConfig host;
    RecordingSink sink;
    AccountContext context;
    WmcheckHarness service;
    std::unique_ptr<TNuvex_WebvaultConnector> connector;
};

struct CharsetRow {
    const char* charset;
    const char* subject; // UTF-8, within the set's repertoire
    const char* name;
};

TEST_F(WmcheckServiceTest, SendersAndSubjectsArriveInTheirCharactersFromEverySet) {
    const CharsetRow rows[] = {
        {"utf-8",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC 5 & <b>",
         "\xE5\xB1\xB1\xE7\x94\xB0 Ren\xC3\xA9"},
        {"iso-8859-1", "Caf\xC3\xA9 cr\xC3\xA8me",
         "Ren\xC3\xA9"
         " M\xC3\xBCller"},
        {"windows-1251", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
         "\xD0\x91\xD0\xBE\xD1\x80\xD0\xB8\xD1\x81"},
        {"shift_jis", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\\", "\xE5\xB1\xB1\xE7\x94\xB0"},
    };
    for (const CharsetRow& row : rows) {
        SCOPED_TRACE(row.charset);
        service.Stop();
        host.DeleteCfgValue("LASTID_WEBVAULT_0");
        Start(Account(row.charset, {{12, 3, row.subject, "preview", row.name, "a@example.org"},
                                    {11, 3, "plain", "", "", "b@example.org"}}));
        ASSERT_EQ(connector->CheckMail(), kStatusOk) << service.Stderr();
        EXPECT_EQ(connector->NewCount, 2);
        ASSERT_EQ(connector->Headers.size(), 2u);
        EXPECT_EQ(connector->Headers[0].Subject, row.subject);
        EXPECT_EQ(connector->Headers[0].Sender, std::string(row.name) + " <a@example.org>");
        EXPECT_EQ(connector->Headers[1].Sender, "b@example.org");
        EXPECT_EQ(host.ReadCfgStr("LASTID_WEBVAULT_0"), "12");
    }
}

TEST_F(WmcheckServiceTest, TheMarkerAsksOnlyForNewerMessagesNextTime) {
    Start(Account("utf-8", {{5, 1, "five", "", "", "f@x"}, {4, 1, "four", "", "", "f@x"}}));
    ASSERT_EQ(connector->CheckMail(), kStatusOk);
    EXPECT_EQ(connector->NewCount, 2);
    ASSERT_EQ(connector->CheckMail(), kStatusOk);
    EXPECT_EQ(connector->NewCount, 0);
    EXPECT_EQ(connector->UnreadCount, 2); // still unread on the service
    EXPECT_NE(service.RequestLog().find("\"MINID\": \"5\""), std::string::npos) << service.RequestLog();
    EXPECT_EQ(service.RequestLog().find(kPassword), std::string::npos);
}

TEST_F(WmcheckServiceTest, WrongPasswordIsALoginError) {
    WmAccount a = Account("utf-8");
    a.password = "other";
    Start(a);
    EXPECT_EQ(connector->CheckMail(), kStatusFailed);
    EXPECT_EQ(LastError(), kErrorLogin);
    EXPECT_EQ(connector->Connect(), kStatusFailed);
}

struct MisbehaviourRow {
    const char* mode;
    bool succeeds;
    std::int32_t code;
};

TEST_F(WmcheckServiceTest, EveryMisbehaviourEndsInTimeWithItsClass) {
    const MisbehaviourRow rows[] = {
        {"slow", false, kErrorUnreachable},      // longer than the read time-out
        {"truncated", false, kErrorUnreachable}, // shorter than its Content-Length
        {"unknown-charset", false, kErrorUnreachable},
        {"500", false, kErrorUnreachable},
        {"redirect-loop", false, kErrorUnreachable},
        {"huge", false, kErrorUnreachable}, // 20 MiB: not read past the bound
        {"wrong-charset", true, kErrorNone},
    };
    for (const MisbehaviourRow& row : rows) {
        SCOPED_TRACE(row.mode);
        service.Stop();
        WmAccount a = Account("utf-8", {{3, 1, "Caf\xC3\xA9", "", "", "c@x"}});
        a.misbehave = row.mode;
        a.delaySeconds = 4;
        Start(a);
        const auto start = Clock::now();
        EXPECT_EQ(connector->CheckMail(), row.succeeds ? kStatusOk : kStatusFailed);
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 4.0);
        EXPECT_EQ(LastError(), row.code);
        if (row.succeeds) {
            // UTF-8 bytes read as Latin-1, once: no double decoding, no loss.
            ASSERT_EQ(connector->Headers.size(), 1u);
            EXPECT_EQ(connector->Headers[0].Subject, "Caf\xC3\x83\xC2\xA9");
        } else {
            EXPECT_FALSE(host.Has("LASTID_WEBVAULT_0"));
        }
    }
}

TEST_F(WmcheckServiceTest, OpenAndComposeOpenThePagesTheServiceNames) {
    Start(Account("windows-1251"));
    ASSERT_EQ(connector->OpenMailbox(), kStatusOk);
    ASSERT_EQ(connector->OpenMessage("905:7"), kStatusOk);
    ASSERT_EQ(connector->Compose(), kStatusOk);
    ASSERT_EQ(connector->ComposeTo("", "", "mailto:b@example.org?subject=Hi%20there", ""), kStatusOk);
    const std::string base = "http://127.0.0.1:" + std::to_string(service.Port());
    EXPECT_EQ(sink.urls,
              (std::vector<std::string>{
                  base + "/web/inbox?login=ann%40webvault.example", base + "/web/message?mid=905&fid=7",
                  base + "/web/compose?to=&subj=",
                  base + "/web/compose?mailto=mailto%3Ab%40example.org%3Fsubject%3DHi%2520there"}));
}

TEST_F(WmcheckServiceTest, HttpsWorksWithTheTestCaAndFailsWithAnother) {
    test::TempDir certs;
    std::string error;
    auto made = test::TestCertificates::Make(certs.path(), error);
    ASSERT_TRUE(made) << error;
    Start(Account("utf-8", {{2, 1, "secure", "", "", "s@x"}}), made->certFile, made->keyFile);
    {
        test::ScopedEnv ca("SSL_CERT_FILE", made->otherCaFile);
        EXPECT_EQ(connector->CheckMail(), kStatusFailed);
        EXPECT_EQ(LastError(), kErrorUnreachable);
    }
    test::ScopedEnv ca("SSL_CERT_FILE", made->caFile);
    ASSERT_EQ(connector->CheckMail(), kStatusOk);
    EXPECT_EQ(connector->NewCount, 1);
    ASSERT_EQ(connector->OpenMailbox(), kStatusOk);
    ASSERT_EQ(sink.urls.size(), 1u);
    EXPECT_EQ(sink.urls[0].rfind("https://localhost:", 0), 0u) << sink.urls[0];
}

// A DIME record: 12-byte header, then ID, TYPE and data, each padded to 4.
std::string DimeRecord(unsigned char flags, unsigned char typeT, const std::string& id,
                       const std::string& type, const std::string& data) {
    auto be16 = [](std::size_t v) {
        return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
    };
    auto pad = [](std::string s) { return s + std::string((4 - s.size() % 4) % 4, '\0'); };
    std::string out{static_cast<char>(flags), static_cast<char>(typeT << 4)};
    out += be16(0) + be16(id.size()) + be16(type.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((data.size() >> shift) & 0xFF);
    }
    return out + pad(id) + pad(type) + pad(data);
}

TEST_F(WmcheckServiceTest, TheServiceStoresAnUploadedDraftAndAnswersWithItsPage) {
    Start(Account("utf-8"));
    const std::string ns = "http://tempuri.org/RirIzeraz.WebMail.UI/WMCheck";
    TCryptURL record;
    record.SetParam("Subj", "Caf\xC3\xA9\r\nline two");
    record.SetParam("Login", kLogin);
    record.SetParam("Pwd", kPassword);
    const std::string envelope = "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
                                 "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                 "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                 "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
                                 "<soap:Header></soap:Header><soap:Body>    <CreateDraft xmlns=\"" +
                                 ns + "\"><CU>" + record.EncodeParams() +
                                 "</CU>    </CreateDraft></soap:Body></soap:Envelope>";
    const std::string file(40001, '\x7F');
    const std::string dime =
        DimeRecord(0x0C, 2, "SoapHeader", "http://schemas.xmlsoap.org/soap/envelope/", envelope) +
        DimeRecord(0x08, 1, "BODY", "application/octet-stream",
                   "Gr\xC3\xBC\xC3\x9F"
                   "e") +
        DimeRecord(0x0A, 1, "/home/ann/r\xC3\xA9sum\xC3\xA9.bin", "application/octet-stream", file);
    THTTPGetSerial post;
    post.Url = service.ServiceUrl();
    post.PostData = dime;
    post.ContentTypeLine = "Content-Type: application/dime";
    post.ExtraHeaders = "SOAPAction: \"" + ns + "/CreateDraft\"";
    post.Limits.totalTimeoutMs = 10'000;
    ASSERT_TRUE(post.GetUrl(false)) << post.StatusCode << service.Stderr();
    const std::string reply = post.Text;
    ASSERT_NE(reply.find("status=\"ok\""), std::string::npos) << reply;
    const std::size_t at = reply.find("url=\"") + 5;
    TCryptURL page;
    ASSERT_TRUE(page.DecodeParams(reply.substr(at, reply.find('"', at) - at))) << reply;
    EXPECT_EQ(page.GetParam("URL"), "http://127.0.0.1:" + std::to_string(service.Port()) + "/web/draft?id=1");

    const auto drafts = service.Drafts();
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_NE(drafts[0].find("\"subject\": \"Caf\xC3\xA9\\r\\nline two\""), std::string::npos) << drafts[0];
    EXPECT_NE(drafts[0].find("\"body\": \"Gr\xC3\xBC\xC3\x9F"
                             "e\""),
              std::string::npos)
        << drafts[0];
    EXPECT_NE(drafts[0].find("\"name\": \"/home/ann/r\xC3\xA9sum\xC3\xA9.bin\", \"size\": 40001"),
              std::string::npos)
        << drafts[0];

    // A wrong password stores nothing and says so.
    record.SetParam("Pwd", "wrong");
    post.PostData = DimeRecord(0x0E, 2, "SoapHeader", "http://schemas.xmlsoap.org/soap/envelope/",
                               "<CreateDraft xmlns=\"" + ns + "\"><CU>" + record.EncodeParams() + "</CU>");
    ASSERT_TRUE(post.GetUrl(false));
    EXPECT_NE(post.Text.find("status=\"error\""), std::string::npos) << post.Text;
    // Neither does a message that is not DIME.
    post.PostData = "garbage";
    ASSERT_TRUE(post.GetUrl(false));
    EXPECT_NE(post.Text.find("status=\"error\""), std::string::npos) << post.Text;
    EXPECT_EQ(service.Drafts().size(), 1u);
}

} // namespace
} // namespace nuvex
