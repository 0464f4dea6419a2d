#pragma once
// Runs draft uploads for the plug-in: each one gets its progress window on the
// GUI thread and its transfer on a worker thread; progress is handed back to
// the GUI thread, and the draft's page is opened through the account that
// handed the files over.
#include "accounts/draft_upload.h"
#include "upload/draft_upload_job.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace nuvex {

class TAccountList;
class TWebvaultUploaderForm;

// While an upload runs, UploadInProgress() of upload/upload_count.h is true:
// the plug-in answers the host that it may not exit yet.

// One upload: its window, its worker and the hand-back of the result. Lives
// on the GUI thread and deletes itself when the window is gone.
class TDraftUploadRun : public QObject {
    Q_OBJECT
public:
    using OpenDraft = std::function<void(const std::string& accountId, const std::string& url)>;
    using Finished = std::function<void(const DraftUploadResult&)>;

    TDraftUploadRun(DraftUploadRequest request, DraftUploadOptions options, OpenDraft openDraft,
                    QObject* parent = nullptr);
    // Stops a running transfer (within a second) and waits for its thread.
    ~TDraftUploadRun() override;

    void Start();
    TWebvaultUploaderForm& Window() { return *form_; }
    bool Running() const { return running_.load(); }
    // Tests: told the result once the window has dealt with it.
    Finished OnFinished;

private:
    void Work();
    void ShowProgress();
    void ShowWaiting();
    void Finish(const DraftUploadResult& result);
    void WindowResultChanged(int result);

    DraftUploadRequest request_;
    DraftUploadOptions options_;
    OpenDraft openDraft_;
    std::unique_ptr<TWebvaultUploaderForm> form_;
    std::thread worker_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> running_{false};
    bool finished_ = false;
    // From the last byte sent to the service's answer: the elapsed time,
    // told once a second.
    QTimer waiting_;
    std::uint64_t waitingSinceMs_ = 0; // 0: not waiting

    // The newest progress report; the worker posts one update at a time so a
    // fast transfer cannot flood the GUI thread's queue.
    std::mutex progressMutex_;
    UploadProgress latest_;
    bool updatePending_ = false;
};

// The running plug-in's uploader, handed to its accounts with their context.
// Ends the uploads still running when stopped or destroyed.
class TDraftUploader : public QObject, public DraftUploader {
    Q_OBJECT
public:
    explicit TDraftUploader(TAccountList& accounts, DraftUploadOptions options = {});
    ~TDraftUploader() override;

    // Starts an upload on the GUI thread (posted there when called from another).
    bool Start(DraftUploadRequest request) override;
    // On the GUI thread: ends the running uploads; later requests are refused.
    void Stop();

private:
    TAccountList& accounts_;
    DraftUploadOptions options_;
    std::atomic<bool> stopped_{false};
};

} // namespace nuvex
