#include "lib/crypt_url.h"
#include "lib/named_objects.h"
#include "tests/support/dime_reader.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"
#include "upload/draft_upload_job.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace nuvex {
namespace {

using Clock = std::chrono::steady_clock;
using test::LoopbackHttpServer;

constexpr std::uint64_t kMiB = 1048576;

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// A sparse file: sizes matter here, not contents.
void MakeFileOfSize(const std::string& path, std::uint64_t size) {
    WriteFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
}

std::string Pattern(std::size_t n, int seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 31 + seed) & 0xFF);
    }
    return s;
}

std::string OkReply(const std::string& draftUrl) {
    TCryptURL r;
    r.SetParam("URL", draftUrl);
    return LoopbackHttpServer::Response(
        200, "<?xml version=\"1.0\"?><CreateDraftResult Status=\"OK\" url=\"" + r.EncodeParams() + "\"/>");
}

std::string BodyOf(const std::string& request) {
    const std::size_t end = request.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : request.substr(end + 4);
}

std::string HeadOf(const std::string& request) {
    return request.substr(0, request.find("\r\n\r\n") + 2);
}

// The file-taking rules, row by row: sizes in, what is taken out.
struct TakeRow {
    const char* name;
    std::vector<std::uint64_t> sizes;
    std::vector<int> recordsOf; // indexes of the files that get a record
    std::uint64_t total;
    int count;
};

void PrintTo(const TakeRow& row, std::ostream* os) {
    *os << row.name;
}

class TakeFilesRows : public ::testing::TestWithParam<TakeRow> {};

TEST_P(TakeFilesRows, LimitAndEmptyFiles) {
    const TakeRow& row = GetParam();
    test::TempDir dir;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < row.sizes.size(); ++i) {
        paths.push_back(dir.file("f" + std::to_string(i)));
        MakeFileOfSize(paths.back(), row.sizes[i]);
    }
    const TakenFiles taken = TakeFiles(paths, DraftUploadOptions{});
    ASSERT_EQ(taken.records.size(), row.recordsOf.size());
    for (std::size_t i = 0; i < row.recordsOf.size(); ++i) {
        EXPECT_EQ(taken.records[i].id, paths[row.recordsOf[i]]);
        EXPECT_EQ(taken.records[i].DataSize(), row.sizes[row.recordsOf[i]]);
    }
    EXPECT_EQ(taken.totalBytes, row.total);
    EXPECT_EQ(taken.count, row.count);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, TakeFilesRows,
    ::testing::Values(
        // The second 6 MiB file would pass 10 MiB and is left out; the 1 MiB after it still goes.
        TakeRow{"SixSixOne", {6 * kMiB, 6 * kMiB, 1 * kMiB}, {0, 2}, 7 * kMiB, 2},
        TakeRow{"ExactlyTheLimit", {kMaxDraftFileBytes - 4, 4, 1}, {0, 1}, kMaxDraftFileBytes, 2},
        TakeRow{"EmptyCountedWithoutRecord", {0, 10}, {1}, 10, 2},
        TakeRow{"OverLimitAlone", {kMaxDraftFileBytes + 1}, {}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TakeFiles, MissingFilesAndFoldersAreSkippedAndLocationsNoted) {
    test::TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    WriteFile(dir.file("a"), "a");
    WriteFile(dir.file("sub/b"), "b");
    TakenFiles one = TakeFiles({dir.file("a"), dir.file("missing"), dir.file("sub")}, {});
    EXPECT_EQ(one.count, 1);
    EXPECT_EQ(one.skipped.size(), 2u);
    EXPECT_EQ(one.folder, dir.path());
    EXPECT_FALSE(one.multipleFolders);

    TakenFiles two = TakeFiles({dir.file("a"), dir.file("sub/b")}, {});
    EXPECT_EQ(two.count, 2);
    EXPECT_TRUE(two.multipleFolders);
    EXPECT_EQ(two.folder, "");
}

TEST(DraftRequest, EnvelopeAndHeadersAreExact) {
    EXPECT_EQ(SoapEnvelope("CreateDraft", "XYZ"),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
              "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
              "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Header></soap:Header><soap:Body>"
              "    <CreateDraft xmlns=\"http://tempuri.org/RirIzeraz.WebMail.UI/WMCheck\"><CU>XYZ</CU>"
              "    </CreateDraft></soap:Body></soap:Envelope>");
    EXPECT_EQ(DraftRequestHeaders("CreateDraft"),
              (std::vector<std::string>{
                  "Content-Type: application/dime",
                  "SOAPAction: \"http://tempuri.org/RirIzeraz.WebMail.UI/WMCheck/CreateDraft\""}));
}

TEST(DraftRequest, EmptyFileAndNoBodyLeaveOnlyTheEnvelopeRecord) {
    test::TempDir dir;
    MakeFileOfSize(dir.file("empty"), 0);
    TakenFiles taken = TakeFiles({dir.file("empty")}, {});
    EXPECT_EQ(taken.count, 1);
    const std::string out = dime::WriteAll(DraftMessageRecords("<e/>", "", std::move(taken.records)));
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x0E);
    EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x20);
    std::string error;
    EXPECT_EQ(test::ReadDime(out, error).size(), 1u) << error;
}

struct ResponseRow {
    const char* name;
    std::string response;
    std::optional<std::string> url;
};

void PrintTo(const ResponseRow& row, std::ostream* os) {
    *os << row.name;
}

class DraftResponseRows : public ::testing::TestWithParam<ResponseRow> {};

TEST_P(DraftResponseRows, StatusOkAndUrlRule) {
    EXPECT_EQ(DraftUrlFromResponse(GetParam().response), GetParam().url);
}

std::string Encoded(const std::string& key, const std::string& value) {
    TCryptURL r;
    r.SetParam(key, value);
    return r.EncodeParams();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DraftResponseRows,
    ::testing::Values(
        ResponseRow{"OkAnyCase", "<r STATUS=\"Ok\" URL=\"" + Encoded("URL", "http://x/d?1") + "\"/>",
                    "http://x/d?1"},
        ResponseRow{"NoOk", "<r status=\"failed\" url=\"" + Encoded("URL", "http://x/") + "\"/>",
                    std::nullopt},
        ResponseRow{"OkWithoutQuotes", "<r status=ok url=\"" + Encoded("URL", "http://x/") + "\"/>",
                    std::nullopt},
        ResponseRow{"UrlNotARecord", "<r status=\"ok\" url=\"not a record\"/>", std::nullopt},
        ResponseRow{"RecordWithoutUrl", "<r status=\"ok\" url=\"" + Encoded("X", "y") + "\"/>", std::nullopt},
        ResponseRow{"CutOff", "<r status=\"ok\" url=\"" + Encoded("URL", "http://x/"), std::nullopt},
        ResponseRow{"Empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

class PostTest : public ::testing::Test {
protected:
    DraftUploadOptions FastOptions() {
        DraftUploadOptions o;
        o.connectTimeoutMs = 2000;
        o.stallTimeoutMs = 5000;
        o.totalTimeoutMs = 10000;
        return o;
    }
    DraftUploadRequest Request(const std::string& url, std::vector<std::string> files) {
        DraftUploadRequest r;
        r.accountId = "WV_1";
        r.serviceUrl = url;
        r.method = "CreateDraft";
        r.login = "joe";
        r.password = "s3cret";
        r.subject = "Trip photos";
        r.body = "Grüße\r\nJoe";
        r.handOffId = "t" + std::to_string(::getpid());
        r.files = std::move(files);
        return r;
    }
    test::TempDir dir_;
};

TEST_F(PostTest, FortyThousandBytesGoInTwoChunksWithProgressEach) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Response(200, "done"));
    dime::Record r;
    r.inlineData = Pattern(40000 - 12, 1); // a 12-byte header, no ID, no TYPE
    dime::Writer body({r});
    ASSERT_EQ(body.TotalSize(), 40000u);
    std::vector<UploadProgress> calls;
    const PostResult result = PostLarge(
        server.Url("/ws"), {"Content-Type: application/dime"}, body,
        [&](const UploadProgress& p) {
            calls.push_back(p);
            return true;
        },
        nullptr, FastOptions());
    ASSERT_TRUE(result.completed) << result.error;
    EXPECT_EQ(result.response, "done");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].sent, 32768u);
    EXPECT_EQ(calls[1].sent, 40000u);
    EXPECT_EQ(calls[0].total, 40000u);
    EXPECT_GT(calls[0].rate, 0);
    EXPECT_EQ(calls[1].secondsLeft, 0);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(BodyOf(server.Requests()[0]).size(), 40000u);
}

TEST_F(PostTest, WholeRequestReadsBackRecordByRecordAndDraftIsNamed) {
    LoopbackHttpServer server;
    server.Enqueue(OkReply("http://mail.test/compose?d=7"));
    const std::string big = Pattern(200000, 3), small = Pattern(30, 5);
    WriteFile(dir_.file("big.bin"), big);
    WriteFile(dir_.file("small.txt"), small);
    MakeFileOfSize(dir_.file("empty"), 0);
    std::string sendingFrom;
    bool multiple = true;
    const DraftUploadResult result =
        RunDraftUpload(Request(server.Url("/wmcheck/ws.asmx"),
                               {dir_.file("big.bin"), dir_.file("empty"), dir_.file("small.txt")}),
                       {[&](const std::string& folder, bool many) {
                            sendingFrom = folder;
                            multiple = many;
                        },
                        {},
                        nullptr},
                       FastOptions());
    ASSERT_EQ(result.outcome, DraftUploadOutcome::Created) << result.message;
    EXPECT_EQ(result.draftUrl, "http://mail.test/compose?d=7");
    EXPECT_EQ(result.filesTaken, 3);
    EXPECT_EQ(sendingFrom, dir_.path());
    EXPECT_FALSE(multiple);

    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string request = server.Requests()[0];
    const std::string head = HeadOf(request);
    EXPECT_EQ(head.rfind("POST /wmcheck/ws.asmx HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nContent-Type: application/dime\r\n"), std::string::npos);
    EXPECT_NE(
        head.find("\r\nSOAPAction: \"http://tempuri.org/RirIzeraz.WebMail.UI/WMCheck/CreateDraft\"\r\n"),
        std::string::npos);
    EXPECT_EQ(head.find("Expect:"), std::string::npos);

    std::string error;
    const auto records = test::ReadDime(BodyOf(request), error);
    ASSERT_EQ(records.size(), 4u) << error;
    EXPECT_EQ(records[0].flags, 0x0C);
    EXPECT_EQ(records[0].id, "SoapHeader");
    EXPECT_EQ(records[0].typeFormat, 2);
    EXPECT_EQ(records[0].type, "http://schemas.xmlsoap.org/soap/envelope/");
    const std::size_t cuAt = records[0].data.find("<CU>") + 4;
    const std::string cuText = records[0].data.substr(cuAt, records[0].data.find("</CU>") - cuAt);
    TCryptURL cu;
    ASSERT_TRUE(cu.DecodeParams(cuText));
    EXPECT_EQ(cu.GetParam("Subj"), "Trip photos");
    EXPECT_EQ(cu.GetParam("Login"), "joe");
    EXPECT_EQ(cu.GetParam("Pwd"), "s3cret");
    EXPECT_EQ(records[1].id, "BODY");
    EXPECT_EQ(records[1].typeFormat, 1);
    EXPECT_EQ(records[1].data, "Gr\xC3\xBC\xC3\x9F"
                               "e\r\nJoe");
    EXPECT_EQ(records[2].id, dir_.file("big.bin"));
    EXPECT_EQ(records[2].type, "application/octet-stream");
    EXPECT_EQ(records[2].data, big);
    EXPECT_EQ(records[3].id, dir_.file("small.txt")); // the empty file has no record
    EXPECT_EQ(records[3].data, small);
    EXPECT_EQ(records[3].flags, 0x0A);
}

TEST_F(PostTest, AnswersThatDoNotConfirmADraftOpenNothing) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Response(200, "<r status=\"error\" url=\"x\"/>"));
    server.Enqueue(
        LoopbackHttpServer::Response(500, "<r status=\"ok\" url=\"" + Encoded("URL", "http://x/") + "\"/>"));
    WriteFile(dir_.file("a"), "a");
    const DraftUploadResult noOk =
        RunDraftUpload(Request(server.Url("/ws"), {dir_.file("a")}), {}, FastOptions());
    EXPECT_EQ(noOk.outcome, DraftUploadOutcome::NoDraft);
    EXPECT_EQ(noOk.draftUrl, "");
    const DraftUploadResult error500 =
        RunDraftUpload(Request(server.Url("/ws"), {dir_.file("a")}), {}, FastOptions());
    EXPECT_EQ(error500.outcome, DraftUploadOutcome::Failed);
    EXPECT_EQ(error500.httpStatus, 500);
    EXPECT_NE(error500.message.find("500"), std::string::npos);
    EXPECT_EQ(error500.draftUrl, "");
}

TEST_F(PostTest, SilentServerEndsWithinTheStallTimeOut) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Reply{"", LoopbackHttpServer::Reply::Mode::Stall});
    DraftUploadOptions o = FastOptions();
    o.stallTimeoutMs = 400;
    const auto start = Clock::now();
    const DraftUploadResult r = RunDraftUpload(Request(server.Url("/ws"), {}), {}, o);
    EXPECT_EQ(r.outcome, DraftUploadOutcome::Failed);
    EXPECT_NE(r.message.find("400 ms"), std::string::npos) << r.message;
    EXPECT_LT(Clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(3)));
}

TEST_F(PostTest, UnreachableServiceFails) {
    const int port = test::FreeLoopbackPort();
    const DraftUploadResult r =
        RunDraftUpload(Request("http://127.0.0.1:" + std::to_string(port) + "/ws", {}), {}, FastOptions());
    EXPECT_EQ(r.outcome, DraftUploadOutcome::Failed);
    EXPECT_FALSE(r.message.empty());
    const DraftUploadResult notHttp = RunDraftUpload(Request("ftp://127.0.0.1/ws", {}), {}, FastOptions());
    EXPECT_EQ(notHttp.outcome, DraftUploadOutcome::Failed);
}

TEST_F(PostTest, CancelWhileTheServerIsSilentStopsWithinASecond) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Reply{"", LoopbackHttpServer::Reply::Mode::Stall});
    std::atomic<bool> cancel{false};
    Clock::time_point cancelledAt{};
    std::thread canceller([&] {
        if (server.WaitForRequests(1, 5000)) {
            cancelledAt = Clock::now();
            cancel = true;
        }
    });
    const DraftUploadResult r =
        RunDraftUpload(Request(server.Url("/ws"), {}), {{}, {}, &cancel}, FastOptions());
    const auto endedAt = Clock::now();
    canceller.join();
    EXPECT_EQ(r.outcome, DraftUploadOutcome::Cancelled);
    EXPECT_EQ(r.draftUrl, "");
    EXPECT_LT(endedAt - cancelledAt, nuvex::test::Scaled(std::chrono::milliseconds(1000)));
}

TEST_F(PostTest, CancelFromTheProgressReportStopsAfterThatChunkAndIgnoresAnOk) {
    LoopbackHttpServer server;
    server.Enqueue(OkReply("http://mail.test/d"));
    WriteFile(dir_.file("big"), Pattern(300000, 1));
    int calls = 0;
    const DraftUploadResult r = RunDraftUpload(Request(server.Url("/ws"), {dir_.file("big")}),
                                               {{},
                                                [&](const UploadProgress&) {
                                                    ++calls;
                                                    return false;
                                                },
                                                nullptr},
                                               FastOptions());
    EXPECT_EQ(r.outcome, DraftUploadOutcome::Cancelled);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(r.draftUrl, "");
}

TEST_F(PostTest, FileDeletedAfterItWasTakenIsStillSentWhole) {
    LoopbackHttpServer server;
    server.Enqueue(OkReply("http://mail.test/d"));
    const std::string data = Pattern(300000, 9);
    WriteFile(dir_.file("photo.jpg"), data);
    const DraftUploadResult r = RunDraftUpload(Request(server.Url("/ws"), {dir_.file("photo.jpg")}),
                                               {{},
                                                [&](const UploadProgress&) {
                                                    ::unlink(dir_.file("photo.jpg").c_str());
                                                    return true;
                                                },
                                                nullptr},
                                               FastOptions());
    ASSERT_EQ(r.outcome, DraftUploadOutcome::Created) << r.message;
    std::string error;
    const auto records = test::ReadDime(BodyOf(server.Requests().at(0)), error);
    ASSERT_EQ(records.size(), 3u) << error;
    EXPECT_EQ(records[2].data, data);
}

TEST_F(PostTest, FileCutShortMidUploadEndsTheJobNamingIt) {
    LoopbackHttpServer server;
    server.Enqueue(OkReply("http://mail.test/d"));
    WriteFile(dir_.file("report.pdf"), Pattern(300000, 2));
    const DraftUploadResult r = RunDraftUpload(
        Request(server.Url("/ws"), {dir_.file("report.pdf")}),
        {{},
         [&](const UploadProgress&) { return ::truncate(dir_.file("report.pdf").c_str(), 10) == 0; },
         nullptr},
        FastOptions());
    EXPECT_EQ(r.outcome, DraftUploadOutcome::Failed);
    EXPECT_NE(r.message.find("report.pdf"), std::string::npos) << r.message;
    EXPECT_EQ(r.draftUrl, "");
}

TEST_F(PostTest, HandOffEventIsSetOnceFilesAreTakenEvenWhenNoneIs) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Response(200, "no"));
    DraftUploadRequest req = Request(server.Url("/ws"), {dir_.file("missing")});
    auto event = OpenOrCreateEvent(kSendToEventPrefix + req.handOffId, true, false);
    ASSERT_TRUE(event);
    event->Reset();
    bool setBeforeSending = false;
    RunDraftUpload(req, {[&](const std::string&, bool) { setBeforeSending = event->TryWait(); }, {}, nullptr},
                   FastOptions());
    EXPECT_TRUE(setBeforeSending);
}

TEST_F(PostTest, HttpsServiceOnItsOwnPortIsVerifiedAgainstTheNamedTrustAnchors) {
    std::string error;
    auto certs = test::TestCertificates::Make(dir_.path(), error);
    if (!certs) {
        GTEST_SKIP() << error;
    }
    LoopbackHttpServer server(*certs);
    server.Enqueue(OkReply("https://mail.test/d"));
    WriteFile(dir_.file("a"), "abc");
    {
        test::ScopedEnv trust("SSL_CERT_FILE", certs->caFile);
        const DraftUploadResult r =
            RunDraftUpload(Request(server.Url("/ws"), {dir_.file("a")}), {}, FastOptions());
        ASSERT_EQ(r.outcome, DraftUploadOutcome::Created) << r.message;
        EXPECT_EQ(r.draftUrl, "https://mail.test/d");
    }
    test::ScopedEnv wrongTrust("SSL_CERT_FILE", certs->otherCaFile);
    const DraftUploadResult refused =
        RunDraftUpload(Request(server.Url("/ws"), {dir_.file("a")}), {}, FastOptions());
    EXPECT_EQ(refused.outcome, DraftUploadOutcome::Failed);
    EXPECT_EQ(server.Requests().size(), 1u);
}

} // namespace
} // namespace nuvex
