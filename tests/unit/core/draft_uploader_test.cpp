// A draft upload as the running plug-in does it: the window on the GUI thread,
// the transfer on a worker, the draft opened only when the service confirmed
// it, Cancel within a second, and the upload-in-progress flag.
#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "lib/crypt_url.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/time_scale.h"
#include "tests/ui/ui_test_support.h"
#include "ui/uploader_form.h"
#include "upload/draft_uploader.h"
#include "upload/upload_count.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

namespace nuvex {
namespace {

using test::LoopbackHttpServer;

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new test::QtEnvironment);

std::string OkReply(const std::string& url) {
    TCryptURL r;
    r.SetParam("URL", url);
    return LoopbackHttpServer::Response(200, "<r status=\"ok\" url=\"" + r.EncodeParams() + "\"/>");
}

// Runs the GUI thread's events until done() or the time is up.
template <typename F> bool Pump(F done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        // No event loop runs here, so deleteLater needs a nudge.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class DraftUploaderTest : public ::testing::Test {
protected:
    DraftUploadRequest Request(const std::string& url) {
        DraftUploadRequest r;
        r.accountId = "WV_3";
        r.email = "joe@mail.test";
        r.serviceUrl = url;
        r.method = "CreateDraft";
        r.login = "joe";
        r.password = "pw";
        r.subject = "s";
        r.handOffId = "core-test";
        std::ofstream(dir_.file("a.txt")) << std::string(100000, 'a');
        r.files = {dir_.file("a.txt")};
        return r;
    }
    DraftUploadOptions Options() {
        DraftUploadOptions o;
        o.connectTimeoutMs = 2000;
        o.stallTimeoutMs = 5000;
        o.totalTimeoutMs = 10000;
        return o;
    }
    // A run that counts the drafts it opens and keeps its result.
    QPointer<TDraftUploadRun> StartCountingRun(LoopbackHttpServer& server) {
        QPointer<TDraftUploadRun> run =
            new TDraftUploadRun(Request(server.Url("/ws")), Options(),
                                [this](const std::string&, const std::string&) { ++opened; });
        run->OnFinished = [this](const DraftUploadResult& r) { done = r; };
        run->Start();
        return run;
    }

    test::TempDir dir_;
    int opened = 0;
    std::optional<DraftUploadResult> done;
};

TEST_F(DraftUploaderTest, ConfirmedDraftIsOpenedThroughItsAccountAndTheWindowGoes) {
    LoopbackHttpServer server;
    server.Enqueue(OkReply("http://mail.test/compose?d=1"));
    std::vector<std::pair<std::string, std::string>> opened;
    std::optional<DraftUploadResult> done;
    bool flagSeenWhileRunning = false;
    QPointer<TDraftUploadRun> run = new TDraftUploadRun(
        Request(server.Url("/ws")), Options(),
        [&](const std::string& id, const std::string& url) { opened.emplace_back(id, url); });
    run->OnFinished = [&](const DraftUploadResult& r) { done = r; };
    run->Start();
    EXPECT_TRUE(run->Window().Form->isVisible());
    flagSeenWhileRunning = UploadInProgress() || !run->Running();
    ASSERT_TRUE(Pump([&] { return done.has_value() && !run; }, 5000));
    EXPECT_TRUE(flagSeenWhileRunning);
    EXPECT_EQ(done->outcome, DraftUploadOutcome::Created) << done->message;
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].first, "WV_3");
    EXPECT_EQ(opened[0].second, "http://mail.test/compose?d=1");
    EXPECT_FALSE(UploadInProgress());
}

TEST_F(DraftUploaderTest, CancelDuringTheTransferEndsWithinASecondAndOpensNothing) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Reply{"", LoopbackHttpServer::Reply::Mode::Stall});
    QPointer<TDraftUploadRun> run = StartCountingRun(server);
    ASSERT_TRUE(Pump([&] { return server.Requests().size() == 1; }, 5000));
    EXPECT_TRUE(UploadInProgress());
    QElapsedTimer sinceCancel;
    sinceCancel.start();
    run->Window().CancelButton->click();
    ASSERT_TRUE(Pump([&] { return done.has_value(); }, 3000));
    EXPECT_LT(sinceCancel.elapsed(), nuvex::test::ScaledMs(1000));
    EXPECT_EQ(done->outcome, DraftUploadOutcome::Cancelled);
    EXPECT_EQ(opened, 0);
    EXPECT_TRUE(Pump([&] { return !run; }, 1000)); // the window is gone with its run
    EXPECT_FALSE(UploadInProgress());
}

TEST_F(DraftUploaderTest, SilentServiceAfterTheLastByteIsToldWithTheTimeWaited) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Reply{"", LoopbackHttpServer::Reply::Mode::Stall});
    QPointer<TDraftUploadRun> run = new TDraftUploadRun(Request(server.Url("/ws")), Options(), {});
    run->Start();
    QLabel* status = run->Window().StatusLabel;
    ASSERT_TRUE(Pump([&] { return status->text().contains("Waiting for the service"); }, 5000))
        << status->text().toStdString();
    const QString first = status->text();
    ASSERT_TRUE(Pump([&] { return status->text() != first; }, 5000)) << "the time waited goes on";
    EXPECT_TRUE(first.endsWith(QString::fromStdString(TimeText(0)))) << first.toStdString();
    EXPECT_FALSE(status->text().endsWith(QString::fromStdString(TimeText(0))))
        << status->text().toStdString();
    delete run;
}

TEST_F(DraftUploaderTest, FailureKeepsTheWindowWithTheReasonUntilClosed) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Response(500, "oops"));
    QPointer<TDraftUploadRun> run = StartCountingRun(server);
    ASSERT_TRUE(Pump([&] { return done.has_value(); }, 5000));
    EXPECT_EQ(done->outcome, DraftUploadOutcome::Failed);
    ASSERT_TRUE(run);
    EXPECT_TRUE(run->Window().Form->isVisible());
    EXPECT_TRUE(run->Window().StatusLabel->text().contains("500"));
    EXPECT_EQ(run->Window().CancelButton->text(), "Close");
    run->Window().CancelButton->click();
    EXPECT_TRUE(Pump([&] { return !run; }, 1000));
    EXPECT_EQ(opened, 0);
}

TEST_F(DraftUploaderTest, CancelPressedAsTheTransferEndsOpensNothingAndClosesTheWindow) {
    LoopbackHttpServer server;
    server.Enqueue(OkReply("http://mail.test/compose?d=2"));
    QPointer<TDraftUploadRun> run = StartCountingRun(server);
    // The worker ends while this thread has not yet seen its result.
    for (int i = 0; i < 500 && run->Running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(run->Running());
    run->Window().CancelButton->click();
    ASSERT_TRUE(Pump([&] { return done.has_value() && !run; }, 2000));
    EXPECT_EQ(done->outcome, DraftUploadOutcome::Cancelled);
    EXPECT_EQ(opened, 0);
}

TEST_F(DraftUploaderTest, DestroyingARunningUploadStopsItsTransfer) {
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Reply{"", LoopbackHttpServer::Reply::Mode::Stall});
    auto* run = new TDraftUploadRun(Request(server.Url("/ws")), Options(), {});
    run->Start();
    ASSERT_TRUE(Pump([&] { return server.Requests().size() == 1; }, 5000));
    QElapsedTimer t;
    t.start();
    delete run;
    EXPECT_LT(t.elapsed(), nuvex::test::ScaledMs(1500));
    EXPECT_FALSE(UploadInProgress());
}

TEST_F(DraftUploaderTest, StartPostsFromOtherThreadsAndAStoppedUploaderRefuses) {
    TAccountList accounts;
    LoopbackHttpServer server;
    server.Enqueue(LoopbackHttpServer::Response(200, "<r status=\"no\"/>"));
    TDraftUploader uploader(accounts, Options());
    DraftUploader& handedIn = uploader;
    bool started = false;
    std::thread caller([&] { started = handedIn.Start(Request(server.Url("/ws"))); });
    caller.join();
    EXPECT_TRUE(started);
    // The run is made on this thread once its events are processed.
    ASSERT_TRUE(Pump([&] { return server.Requests().size() == 1; }, 5000));
    uploader.Stop();
    EXPECT_FALSE(UploadInProgress());
    EXPECT_FALSE(handedIn.Start(Request(server.Url("/ws"))));
}

} // namespace
} // namespace nuvex
