// The web-service accounts: the reply rules on plain text, and the connector
// against a scripted loopback server.
#include "accounts/draft_upload.h"
#include "accounts/ibrant_connector.h"
#include "accounts/vostrel_connector.h"
#include "accounts/webvault_connector.h"
#include "lib/codepage.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/stop_signal.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace nuvex {
namespace {

using test::LoopbackHttpServer;
using webservice::CountNewIds;
using webservice::ReplyToUtf8;

// --- the rules on text -------------------------------------------------------

struct IdsRow {
    std::vector<std::string> headers;
    std::string nextIds;
    std::size_t count;
    std::string newest;
};

TEST(WebServiceIds, EachNewIdCountsOnceWhateverSeparatesThem) {
    const IdsRow rows[] = {
        {{"905", "904", "903"}, "904,903", 3, "905"}, // ids already listed as headers are not counted again
        {{"905"}, "904", 2, "905"},                   // a single further id without a comma counts
        {{"905"}, "904,903,", 3, "905"},              // a trailing empty field counts nothing
        {{"905"}, "", 1, "905"},
        {{}, "7; 8 9\t10", 4, "10"},
        {{"905"}, " 904 , ,904;00904", 2, "905"}, // repeats and leading zeros are one id
        {{"0", "abc", ""}, "-3,x", 0, ""},        // not ids: nothing is new and no marker is taken
        {{"3", "12"}, "", 2, "12"},               // newest by number, not by text or order
        {{"99999999999999999999"}, "100000000000000000000", 2, "100000000000000000000"},
    };
    for (const IdsRow& row : rows) {
        const auto ids = CountNewIds(row.headers, row.nextIds);
        EXPECT_EQ(ids.count, row.count) << row.nextIds;
        EXPECT_EQ(ids.newest, row.newest) << row.nextIds;
    }
}

struct CharsetRow {
    std::string charset;
    std::string bytes;    // the subject as the service encodes it
    std::string expected; // UTF-8
};

TEST(WebServiceCharset, EachDeclaredSetIsConvertedOnceToUtf8) {
    const CharsetRow rows[] = {
        {"utf-8",
         "Gr\xC3\xBC\xC3\x9F"
         "e",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"ISO-8859-1",
         "Gr\xFC\xDF"
         "e",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        // "日本" and a backslash, which plain SHIFT_JIS would turn into a yen sign.
        {"Shift_JIS", "\x93\xFA\x96\x7B\\", "\xE6\x97\xA5\xE6\x9C\xAC\\"},
    };
    for (const CharsetRow& row : rows) {
        const std::string reply = "<?xml version=\"1.0\" encoding=\"" + row.charset +
                                  "\"?><NewMsgsList Status=\"OK\"><Hdrs><Hdr MID=\"1\" "
                                  "Subject=\"" +
                                  row.bytes + "\"/></Hdrs></NewMsgsList>";
        const auto utf8 = ReplyToUtf8(reply, nullptr);
        ASSERT_TRUE(utf8) << row.charset;
        const auto parsed = webservice::ParseNewMsgs(*utf8);
        ASSERT_EQ(parsed.headers.size(), 1u) << row.charset;
        EXPECT_EQ(parsed.headers[0].Subject, row.expected) << row.charset;
    }
}

TEST(WebServiceCharset, UnknownSetFailsAndMissingDeclarationMeansUtf8) {
    EXPECT_FALSE(ReplyToUtf8("<?xml version=\"1.0\" encoding=\"x-no-such\"?><a/>", nullptr));
    EXPECT_EQ(ReplyToUtf8("<NewMsgsList Status=\"OK\"/>", nullptr), "<NewMsgsList Status=\"OK\"/>");
    // A byte order mark goes; bytes that are not UTF-8 become U+FFFD instead of
    // swallowing the characters after them.
    EXPECT_EQ(ReplyToUtf8("\xEF\xBB\xBF<a b=\"\xE9x\"/>", nullptr), "<a b=\"\xEF\xBF\xBDx\"/>");
}

// With an ANSI code page other than UTF-8, converting the reply to it first
// and then decoding the values as UTF-8 garbled every accent.
TEST(WebServiceCharset, AccentsSurviveAnAnsiCodePageOtherThanUtf8) {
    SetAnsiCodePage(1252);
    const auto utf8 =
        ReplyToUtf8("<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><NewMsgsList Status=\"OK\"><Hdrs>"
                    "<Hdr MID=\"1\" Subject=\"caf\xE9\"><From><Addr Name=\"Ren\xE9\" EMail=\"r@x\"/>"
                    "</From></Hdr></Hdrs></NewMsgsList>",
                    nullptr);
    ASSERT_TRUE(utf8);
    const auto parsed = webservice::ParseNewMsgs(*utf8);
    SetAnsiCodePage(kCodePageUtf8);
    ASSERT_EQ(parsed.headers.size(), 1u);
    EXPECT_EQ(parsed.headers[0].Subject, "caf\xE9");
    EXPECT_EQ(parsed.headers[0].Sender, "Ren\xE9 <r@x>");
}

TEST(WebServiceReply, HeadersSendersAndErrorDetail) {
    const auto parsed = webservice::ParseNewMsgs(
        "<?xml version=\"1.0\"?><newmsgslist status=\"OK\" Unread=\"x\"><ErrDetail>\n Login failed "
        "\n</ErrDetail>"
        "<Hdrs><Hdr MID=\"9\" FID=\"3\" Subject=\"a &amp; b &lt;c&gt;\" Preview=\"p\"><From><Addr Name=\"\" "
        "EMail=\"e@x\"/></From></Hdr><Other/><Hdr MID=\"8\"/></Hdrs></newmsgslist>");
    EXPECT_TRUE(parsed.found);
    EXPECT_TRUE(parsed.statusOk);
    EXPECT_TRUE(parsed.loginFailed); // the detail's surrounding blanks do not hide it
    EXPECT_EQ(parsed.unread, -1);    // not a number
    ASSERT_EQ(parsed.headers.size(), 2u);
    EXPECT_EQ(parsed.headers[0].MessageRef, "9:3");
    EXPECT_EQ(parsed.headers[0].Subject, "a & b <c>");
    EXPECT_EQ(parsed.headers[0].Sender, "e@x"); // no name: the address alone
    EXPECT_EQ(parsed.headers[1].MessageRef, "8:");
    EXPECT_EQ(parsed.headerIds, (std::vector<std::string>{"9", "8"}));
}

TEST(WebServiceReply, RedirectAddressLosesItsXmlEscapesOnly) {
    const auto redir = webservice::ParseRedir(
        "<Redir Status=\"OK\" Url=\"https://h.example/p?a=1&amp;b=%20&#x41;&#65;&bogus;\"/>");
    EXPECT_TRUE(redir.statusOk);
    EXPECT_EQ(redir.url, "https://h.example/p?a=1&b=%20AA&bogus;");
    EXPECT_FALSE(webservice::ParseRedir("<Redir Status=\"Error\" Url=\"https://h.example/\"/>").statusOk);
}

TEST(WebServiceRequest, CuTakesThePlaceOfTheFirstMarkerInAnyCase) {
    EXPECT_EQ(webservice::RequestUrl("http://h/wmcheck.asmx", "/NewMsgs?CU=%cu", "ABC"),
              "http://h/wmcheck.asmx/NewMsgs?CU=ABC");
    EXPECT_EQ(webservice::RequestUrl("http://h/s", "/X?CU=%Cu&y=%CU", "Z"), "http://h/s/X?CU=Z&y=%CU");
}

TEST(WebServiceRequest, OnlyHttpAndHttpsAddressesWithAHostAreUsed) {
    const std::pair<const char*, bool> rows[] = {
        {"https://mail.example/wmcheck.asmx", true},
        {"HTTP://127.0.0.1:8080/wmcheck.asmx", true},
        {"http://[::1]:81/w", true},
        {"", false},
        {"ftp://mail.example/wmcheck.asmx", false},
        {"file:///etc/passwd", false},
        {"http:///wmcheck.asmx", false},
        {"http://user:pw@mail.example/w", false},
        {"https://mail.example/w x", false},
        {"mail.example/wmcheck.asmx", false},
    };
    for (const auto& [url, usable] : rows) {
        EXPECT_EQ(webservice::UsableServiceUrl(url), usable) << url;
    }
}

// --- the connector against a scripted server -----------------------------------

struct RecordingSink final : NavigationSink {
    void PostNavigate(const std::string& u, const std::string& /*command*/) override { urls.push_back(u); }
    std::vector<std::string> urls;
};

// The keyed record of a recorded request's CU parameter.
TCryptURL CuOf(const std::string& request) {
    TCryptURL record;
    const std::size_t at = request.find("CU=");
    const std::size_t end = request.find(' ', at);
    if (at != std::string::npos) {
        record.DecodeParams(request.substr(at + 3, end - at - 3));
    }
    return record;
}

std::string PathOf(const std::string& request) {
    const std::size_t start = request.find(' ') + 1;
    return request.substr(start, request.find('?', start) - start);
}

class WebvaultConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        context.host = &host;
        context.navigation = &sink;
        host.WriteCfgStr("WEBVAULT_SERVICE_URL", server.Url("/wmcheck.asmx"));
        account = MakeAccount(WebvaultConnectorClass(), "WEBVAULT_0");
    }
    std::unique_ptr<TNuvex_WebvaultConnector> MakeAccount(const TConnectorClass& cls, const std::string& id) {
        auto created = cls.Create(context);
        auto* web = dynamic_cast<TNuvex_WebvaultConnector*>(created.get());
        EXPECT_NE(web, nullptr);
        created.release();
        std::unique_ptr<TNuvex_WebvaultConnector> a(web);
        a->SetAccountId(id);
        a->UserName = "ann@webvault.example";
        a->Email = "ann@webvault.example";
        a->Password = "p\tw&d";
        a->Limits.connectTimeoutMs = 2000;
        a->Limits.readTimeoutMs = 2000;
        a->Limits.totalTimeoutMs = 4000;
        return a;
    }
    void Reply(const std::string& xml, const std::string& charset = "utf-8") {
        server.Enqueue(LoopbackHttpServer::Response(
            200, "<?xml version=\"1.0\" encoding=\"" + charset + "\"?>" + xml, {"Content-Type: text/xml"}));
    }
    std::string Marker() { return host.ReadCfgStr("LASTID_WEBVAULT_0").value_or(""); }
    std::vector<std::string> Requests() { return server.Requests(); }
    std::vector<TNotifyMessageItem> Items(bool force) {
        TNotifyMessages list;
        account->AddNotifyItems(list, force);
        return {list.begin(), list.end()};
    }

    MemoryHostConfig host;
    RecordingSink sink;
    AccountContext context;
    LoopbackHttpServer server;
    std::unique_ptr<TNuvex_WebvaultConnector> account;
};

TEST_F(WebvaultConnectorTest, FirstCheckAsksFromZeroWithTheCredentialsInOrder) {
    Reply("<NewMsgsList Status=\"OK\" Unread=\"7\"/>");
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(PathOf(Requests()[0]), "/wmcheck.asmx/NewMsgs");
    const TCryptURL cu = CuOf(Requests()[0]);
    ASSERT_TRUE(cu.Valid());
    std::vector<std::string> names;
    for (const auto& [name, value] : cu.Entries()) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"LOGIN", "PWD", "MINID", "MAXHDRS", "MAXIDS", "RANDOMIZER"}));
    EXPECT_EQ(cu.GetParam("Pwd"), "p\tw&d");
    EXPECT_EQ(cu.GetParam("MinId"), "0");
    EXPECT_EQ(cu.GetParam("MaxHdrs"), "20");
    EXPECT_EQ(cu.GetParam("MaxIds"), "2");
    // Nothing new: the unread count stands and the marker is not touched.
    EXPECT_EQ(account->NewCount, 0);
    EXPECT_EQ(account->UnreadCount, 7);
    EXPECT_FALSE(host.Has("LASTID_WEBVAULT_0"));
}

TEST_F(WebvaultConnectorTest, HeadersGiveEntriesAndTheNewestIdBecomesTheMarker) {
    host.WriteCfgStr("LASTID_WEBVAULT_0", "900");
    Reply("<NewMsgsList Status=\"OK\"><Hdrs>"
          "<Hdr MID=\"905\" FID=\"1\" Subject=\"One\" Preview=\"p1\"><From><Addr Name=\"Ann\" "
          "EMail=\"a@x\"/></From></Hdr>"
          "<Hdr MID=\"904\" FID=\"2\" Subject=\"Two\"><From><Addr EMail=\"b@x\"/></From></Hdr>"
          "<Hdr MID=\"903\" FID=\"2\" Subject=\"Three\"/></Hdrs><NextIds>904,903</NextIds></NewMsgsList>");
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(CuOf(Requests()[0]).GetParam("MinId"), "900");
    EXPECT_EQ(account->NewCount, 3);
    EXPECT_EQ(account->UnreadCount, 3); // no "Unread": the new count
    EXPECT_EQ(Marker(), "905");
    EXPECT_FALSE(account->MoreThanShown); // every new id has its entry
    auto items = Items(false);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].ItemKind, kNotifyMessage);
    EXPECT_EQ(items[0].AccountRef, "WEBVAULT_0");
    EXPECT_EQ(items[0].MessageRef, "905:1");
    EXPECT_EQ(items[0].Sender, "Ann <a@x>");
    EXPECT_EQ(items[0].Subject, "One");
    EXPECT_EQ(items[0].Detail, "p1");
    EXPECT_EQ(items[1].Sender, "b@x");
    EXPECT_EQ(Items(true).front().ItemKind, kNotifySummary); // a forced check shows the summary first
}

TEST_F(WebvaultConnectorTest, MoreNewIdsThanHeadersPutTheSummaryFirst) {
    Reply("<NewMsgsList Status=\"OK\" Unread=\"9\"><Hdrs><Hdr MID=\"905\" FID=\"1\"/></Hdrs>"
          "<NextIds>904</NextIds></NewMsgsList>");
    ASSERT_EQ(account->CheckMail(), kStatusOk);
    EXPECT_EQ(account->NewCount, 2); // the single further id counts
    EXPECT_TRUE(account->MoreThanShown);
    auto items = Items(false);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].ItemKind, kNotifySummary);
    EXPECT_EQ(items[0].Count, 9);
}

struct FailureRow {
    const char* what;
    std::string response; // whole HTTP response; empty: none queued (the server answers 500)
    std::int32_t code;
};

TEST_F(WebvaultConnectorTest, FailuresKeepTheMarkerAndGiveTheirClass) {
    auto xml = [](const std::string& charset, const std::string& body) {
        return LoopbackHttpServer::Response(200,
                                            "<?xml version=\"1.0\" encoding=\"" + charset + "\"?>" + body);
    };
    const FailureRow rows[] = {
        {"login refused",
         xml("utf-8", "<NewMsgsList Status=\"Error\"><ErrDetail>Login failed</ErrDetail></NewMsgsList>"),
         kErrorLogin},
        {"status not OK", xml("utf-8", "<NewMsgsList Status=\"Busy\"/>"), kErrorOther},
        {"other document", xml("utf-8", "<Something/>"), kErrorOther},
        {"unknown charset", xml("x-no-such", "<NewMsgsList Status=\"OK\"/>"), kErrorUnreachable},
        {"no xml", LoopbackHttpServer::Response(200, "<html>maintenance</html>"), kErrorUnreachable},
        {"empty body", LoopbackHttpServer::Response(200, ""), kErrorUnreachable},
        {"server error", "", kErrorUnreachable},
    };
    host.WriteCfgStr("LASTID_WEBVAULT_0", "77");
    for (const FailureRow& row : rows) {
        if (!row.response.empty()) {
            server.Enqueue(row.response);
        }
        EXPECT_EQ(account->CheckMail(), kStatusFailed) << row.what;
        std::int32_t code = -1;
        std::string text;
        account->TakeLastError(code, text);
        EXPECT_EQ(code, row.code) << row.what;
        EXPECT_EQ(account->NewCount, 0) << row.what;
        EXPECT_EQ(Marker(), "77") << row.what;
        EXPECT_TRUE(Items(false).empty()) << row.what;
    }
}

TEST_F(WebvaultConnectorTest, UnreadableMarkerFailsWithoutAskingFromZero) {
    host.failAll = true;
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    EXPECT_EQ(account->ErrorCode, kErrorOther);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(WebvaultConnectorTest, StoppingThePlugInEndsACheckThatWaitsOnAStalledService) {
    StopSignal stop;
    context.stop = &stop;
    account->Limits.readTimeoutMs = 30'000;
    account->Limits.totalTimeoutMs = 60'000;
    server.Enqueue({"HTTP/1.0 200 OK\r\n", LoopbackHttpServer::Reply::Mode::Stall});
    const auto start = std::chrono::steady_clock::now();
    std::thread raiser([&] {
        server.WaitForRequests(1, 5000);
        stop.Raise();
    });
    EXPECT_EQ(account->CheckMail(), kStatusFailed);
    raiser.join();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
}

TEST_F(WebvaultConnectorTest, UnusableServiceAddressSendsNothing) {
    for (const char* url : {"ftp://127.0.0.1/wmcheck.asmx", "file:///tmp/x", "http://a:b@127.0.0.1/w"}) {
        host.WriteCfgStr("WEBVAULT_SERVICE_URL", url);
        EXPECT_EQ(account->CheckMail(), kStatusFailed) << url;
        EXPECT_EQ(account->ErrorCode, kErrorUnreachable) << url;
    }
    EXPECT_TRUE(Requests().empty());
}

// The shipped address may be another company's service: a host that cannot
// be read sends the credentials nowhere rather than there.
TEST_F(WebvaultConnectorTest, UnreadableAddressSendsNothingAnywhere) {
    host.failAll = true;
    EXPECT_EQ(webservice::ConfiguredAddress(&host, "WEBVAULT_SERVICE_URL"), std::nullopt);
    EXPECT_EQ(account->OpenMailbox(), kStatusFailed);
    EXPECT_EQ(account->Connect(), kStatusFailed);
    EXPECT_TRUE(sink.urls.empty());
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(webservice::ConfiguredAddress(nullptr, "VOSTREL_SERVICE_URL"),
              "https://mail.vostrel.example/wmcheck.asmx"); // no host at all: the shipped one
}

TEST_F(WebvaultConnectorTest, EachTypeReadsItsOwnAddressAndDefaultsToTheShippedOne) {
    auto vostrel = MakeAccount(VostrelConnectorClass(), "VOSTREL_0");
    auto ibrant = MakeAccount(IbrantConnectorClass(), "IBRANT_0");
    EXPECT_EQ(vostrel->ServiceUrlKey(), "VOSTREL_SERVICE_URL");
    EXPECT_EQ(ibrant->UploadUrlKey(), "IBRANT_UPLOAD_URL");
    EXPECT_EQ(webservice::ConfiguredAddress(&host, "VOSTREL_SERVICE_URL"),
              "https://mail.vostrel.example/wmcheck.asmx");
    host.WriteCfgStr("IBRANT_SERVICE_URL", "  " + server.Url("/corp/wmcheck.asmx") + " ");
    Reply("<NewMsgsList Status=\"OK\"/>");
    EXPECT_EQ(ibrant->CheckMail(), kStatusOk);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(PathOf(Requests()[0]), "/corp/wmcheck.asmx/NewMsgs");
    for (const TConnectorClass* cls :
         {&WebvaultConnectorClass(), &VostrelConnectorClass(), &IbrantConnectorClass()}) {
        EXPECT_TRUE(cls->CanCheck()) << cls->TypeCode();
    }
}

TEST_F(WebvaultConnectorTest, LoginTestAsksForNoHeaders) {
    Reply("<NewMsgsList Status=\"OK\"/>");
    Reply("<NewMsgsList Status=\"Error\"><ErrDetail>Login failed</ErrDetail></NewMsgsList>");
    EXPECT_EQ(account->Connect(), kStatusOk);
    EXPECT_TRUE(account->Connected);
    const TCryptURL cu = CuOf(Requests()[0]);
    EXPECT_EQ(cu.GetParam("MaxHdrs"), "0");
    EXPECT_EQ(cu.GetParam("MaxIds"), "0");
    EXPECT_EQ(account->Connect(), kStatusFailed);
    EXPECT_EQ(account->Disconnect(), kStatusOk);
    EXPECT_FALSE(account->Connected);
    EXPECT_FALSE(host.Has("LASTID_WEBVAULT_0")); // the test leaves the marker alone
}

TEST_F(WebvaultConnectorTest, OpenMessageSplitsTheReferenceAtTheFirstColon) {
    Reply("<Redir Status=\"OK\" Url=\"https://mail.example/read?m=1&amp;f=2\"/>");
    EXPECT_EQ(account->OpenMessage("905:IN:BOX"), kStatusOk);
    const TCryptURL cu = CuOf(Requests()[0]);
    EXPECT_EQ(PathOf(Requests()[0]), "/wmcheck.asmx/OpenMsg");
    EXPECT_EQ(cu.GetParam("MID"), "905");
    EXPECT_EQ(cu.GetParam("FID"), "IN:BOX");
    EXPECT_EQ(sink.urls, (std::vector<std::string>{"https://mail.example/read?m=1&f=2"}));
}

TEST_F(WebvaultConnectorTest, RefusedOrEmptyRedirectOpensNothing) {
    Reply("<Redir Status=\"Error\" Url=\"https://mail.example/\"/>");
    EXPECT_EQ(account->OpenMailbox(), kStatusFailed);
    server.Enqueue(LoopbackHttpServer::Response(200, ""));
    EXPECT_EQ(account->OpenMailbox(), kStatusFailed);
    EXPECT_EQ(account->ErrorCode, kErrorUnreachable);
    Reply("<Redir Status=\"OK\" Url=\"javascript:alert(1)\"/>");
    EXPECT_EQ(account->OpenMailbox(), kStatusFailed);
    EXPECT_TRUE(sink.urls.empty());
    EXPECT_EQ(PathOf(Requests()[0]), "/wmcheck.asmx/OpenUI");
}

TEST_F(WebvaultConnectorTest, ComposeFromAMailtoLinkSendsItEncoded) {
    Reply("<Redir Status=\"OK\" Url=\"https://mail.example/c\"/>");
    Reply("<Redir Status=\"OK\" Url=\"https://mail.example/c\"/>");
    EXPECT_EQ(account->ComposeTo("", "", "mailto:b@x?subject=\"Caf\xC3\xA9\" & more", ""), kStatusOk);
    EXPECT_EQ(PathOf(Requests()[0]), "/wmcheck.asmx/MailTo");
    EXPECT_EQ(CuOf(Requests()[0]).GetParam("MailTo"),
              HtmlEncode("mailto:b@x?subject=\"Caf\xC3\xA9\" & more"));
    EXPECT_EQ(account->ComposeTo("b@x", "Hi", "", "Body"), kStatusOk);
    const TCryptURL cu = CuOf(Requests()[1]);
    EXPECT_EQ(PathOf(Requests()[1]), "/wmcheck.asmx/CreateMsg");
    EXPECT_EQ(cu.GetParam("To"), "b@x");
    EXPECT_EQ(cu.GetParam("Subj"), "Hi");
    EXPECT_EQ(cu.GetParam("Body"), "Body");
    EXPECT_EQ(cu.Entries().front().first, "TO");
    EXPECT_EQ(sink.urls.size(), 2u);
}

class SendFilesTest : public WebvaultConnectorTest {
protected:
    void SetUp() override {
        WebvaultConnectorTest::SetUp();
        file1 = dir.file("a.txt");
        file2 = dir.file("b.bin");
        std::ofstream(file1) << "a";
        std::ofstream(file2) << "b";
        context.uploader = &uploader;
    }
    struct RecordingUploader : DraftUploader {
        bool Start(DraftUploadRequest r) override {
            requests.push_back(std::move(r));
            return accept;
        }
        std::vector<DraftUploadRequest> requests;
        bool accept = true;
    };
    test::TempDir dir;
    std::string file1, file2;
    RecordingUploader uploader;
    std::vector<DraftUploadRequest>& requests = uploader.requests;
    bool& accept = uploader.accept;
};

TEST_F(SendFilesTest, ExistingFilesGoToTheUploaderWithSubjectAndNote) {
    host.WriteCfgStr("WEBVAULT_UPLOAD_URL", server.Url("/upload/wmcheck.asmx"));
    const std::vector<std::string> lines{"ID=42",
                                         "SUBJECT=one\t|\ttwo",
                                         "NOTE=n1\t|\tn2\t|\t",
                                         file1,
                                         dir.file("gone.txt"),
                                         dir.path(),
                                         "subject=ignored",
                                         file2};
    EXPECT_EQ(account->SendFiles(lines), kStatusOk);
    ASSERT_EQ(requests.size(), 1u);
    const DraftUploadRequest& r = requests[0];
    EXPECT_EQ(r.files, (std::vector<std::string>{file1, file2}));
    EXPECT_EQ(r.subject, "one\r\ntwo");
    EXPECT_EQ(r.body, "n1\r\nn2\r\n");
    EXPECT_EQ(r.handOffId, "42");
    EXPECT_EQ(r.method, "CreateDraft");
    EXPECT_EQ(r.serviceUrl, server.Url("/upload/wmcheck.asmx"));
    EXPECT_EQ(r.accountId, "WEBVAULT_0");
    EXPECT_EQ(r.login, "ann@webvault.example");
    EXPECT_EQ(r.password, "p\tw&d");
    EXPECT_TRUE(Requests().empty());
}

TEST_F(SendFilesTest, WithoutUploadAddressTheServiceAddressIsUsed) {
    EXPECT_EQ(account->SendFiles({file1}), kStatusOk);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].serviceUrl, server.Url("/wmcheck.asmx"));
}

TEST_F(SendFilesTest, OnlyMissingFilesOpenAnEmptyComposePage) {
    Reply("<Redir Status=\"OK\" Url=\"https://mail.example/c\"/>");
    EXPECT_EQ(account->SendFiles({"SUBJECT=s", dir.file("gone.txt")}), kStatusOk);
    EXPECT_TRUE(requests.empty());
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(PathOf(Requests()[0]), "/wmcheck.asmx/CreateMsg");
    EXPECT_EQ(CuOf(Requests()[0]).GetParam("To"), "");
}

TEST_F(SendFilesTest, AnUploaderThatRefusesIsAFailure) {
    accept = false;
    EXPECT_EQ(account->SendFiles({file1}), kStatusFailed);
    host.failAll = true; // no address to send to: the uploader is not asked
    EXPECT_EQ(account->SendFiles({file1}), kStatusFailed);
    host.failAll = false;
    context.uploader = nullptr;
    EXPECT_EQ(account->SendFiles({file1}), kStatusFailed); // no uploader in this process
    EXPECT_EQ(requests.size(), 1u);
}

} // namespace
} // namespace nuvex
