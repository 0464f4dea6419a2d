#include "upload/draft_uploader.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "accounts/open_actions.h"
#include "contract/qt_log_sink.h"
#include "lib/clock.h"
#include "lib/mcritic.h"
#include "ui/uploader_form.h"
#include "upload/upload_count.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThread>
#include <algorithm>

namespace nuvex {

namespace {

// Counted from Start on the GUI thread, so the flag is up before the worker
// runs; the worker lowers it when it ends, whatever way it ends.
struct RunningUploadEnd {
    ~RunningUploadEnd() { EndUpload(); }
};

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

TDraftUploadRun::TDraftUploadRun(DraftUploadRequest request, DraftUploadOptions options, OpenDraft openDraft,
                                 QObject* parent)
    : QObject(parent), request_(std::move(request)), options_(options), openDraft_(std::move(openDraft)),
      form_(std::make_unique<TWebvaultUploaderForm>(request_.email)) {
    connect(form_->Form, &TVostrelForm::ResultChanged, this,
            [this](int result) { WindowResultChanged(result); });
    waiting_.setInterval(1000);
    connect(&waiting_, &QTimer::timeout, this, [this] { ShowWaiting(); });
}

TDraftUploadRun::~TDraftUploadRun() {
    cancel_ = true;
    if (worker_.joinable()) {
        worker_.join();
    }
}

void TDraftUploadRun::Start() {
    form_->SetStage(TWebvaultUploaderForm::Stage::Preparing);
    form_->Form->show();
    ForceForegroundWindow(form_->Form);
    running_ = true;
    BeginUpload();
    try {
        worker_ = std::thread([this] { Work(); });
    } catch (...) {
        EndUpload();
        running_ = false;
        throw;
    }
}

void TDraftUploadRun::Work() {
    // Up for the whole job: leaving while the files are being taken would
    // lose them as surely as leaving during the transfer.
    RunningUploadEnd running;
    DraftUploadHooks hooks;
    hooks.cancel = &cancel_;
    hooks.onSending = [this](const std::string& folder, bool multiple) {
        QMetaObject::invokeMethod(
            this,
            [this, folder, multiple] {
                form_->SetSendingFrom(folder, multiple);
                form_->SetStage(TWebvaultUploaderForm::Stage::Sending);
            },
            Qt::QueuedConnection);
    };
    hooks.onProgress = [this](const UploadProgress& p) {
        bool post = false;
        {
            std::lock_guard lock(progressMutex_);
            latest_ = p;
            post = !updatePending_;
            updatePending_ = true;
        }
        if (post) {
            QMetaObject::invokeMethod(
                this, [this] { ShowProgress(); }, Qt::QueuedConnection);
        }
        return !cancel_.load();
    };
    DraftUploadResult result;
    try {
        result = RunDraftUpload(request_, hooks, options_);
    } catch (...) {
        // RunDraftUpload answers instead of throwing; this guards the thread itself.
        qCWarning(lcUpload) << "draft upload for" << QString::fromStdString(request_.accountId) << "failed";
        result.outcome = DraftUploadOutcome::Failed;
        result.message = "the upload stopped unexpectedly";
    }
    running_ = false;
    QMetaObject::invokeMethod(
        this, [this, result] { Finish(result); }, Qt::QueuedConnection);
}

void TDraftUploadRun::ShowProgress() {
    UploadProgress p;
    {
        std::lock_guard lock(progressMutex_);
        p = latest_;
        updatePending_ = false;
    }
    const bool allSent = p.total > 0 && p.sent >= p.total;
    if (allSent && waitingSinceMs_ != 0) {
        if (form_->Result() == kResultCancel) {
            cancel_ = true;
        }
        return;
    }
    if (!allSent && waitingSinceMs_ != 0) {
        // The transfer started over (a redirect rewinds the body).
        waiting_.stop();
        waitingSinceMs_ = 0;
        form_->SetStage(TWebvaultUploaderForm::Stage::Sending);
    }
    if (!form_->UpdateProgress(p.sent, p.total, p.secondsLeft, p.rate)) {
        cancel_ = true;
        return;
    }
    if (allSent) {
        waitingSinceMs_ = std::max<std::uint64_t>(TickCount(), 1);
        ShowWaiting();
        waiting_.start();
    }
}

void TDraftUploadRun::ShowWaiting() {
    if (waitingSinceMs_ != 0 && !finished_) {
        form_->ShowWaiting(static_cast<double>(TickCount() - waitingSinceMs_) / 1000.0);
    }
}

void TDraftUploadRun::Finish(const DraftUploadResult& result) {
    if (worker_.joinable()) {
        worker_.join();
    }
    finished_ = true;
    waiting_.stop();
    if (form_->Result() == kResultCancel && result.outcome != DraftUploadOutcome::Cancelled) {
        // Cancel was pressed as the transfer ended: the user's word stands,
        // and the window must not wait for a second press that changes nothing.
        qCInfo(lcUpload).noquote() << "draft upload for" << QString::fromStdString(request_.accountId)
                                   << "cancelled as it ended; nothing is opened";
        DraftUploadResult cancelled = result;
        cancelled.outcome = DraftUploadOutcome::Cancelled;
        cancelled.draftUrl.clear();
        form_->Form->hide();
        if (OnFinished) {
            OnFinished(cancelled);
        }
        deleteLater();
        return;
    }
    switch (result.outcome) {
    case DraftUploadOutcome::Created:
        form_->Form->hide();
        try {
            if (openDraft_) {
                openDraft_(request_.accountId, result.draftUrl);
            }
        } catch (...) {
            qCWarning(lcUpload) << "opening the draft of" << QString::fromStdString(request_.accountId)
                                << "failed";
        }
        break;
    case DraftUploadOutcome::Cancelled:
        form_->Form->hide();
        break;
    case DraftUploadOutcome::Failed:
    case DraftUploadOutcome::NoDraft:
        // The files did not become a draft; the window says why until closed
        // (the job has logged the reason).
        form_->ShowFailure(result.message.empty() ? "The draft could not be created." : result.message);
        break;
    }
    if (OnFinished) {
        OnFinished(result);
    }
    if (!form_->Form->isVisible()) {
        deleteLater();
    }
}

void TDraftUploadRun::WindowResultChanged(int result) {
    if (result != kResultCancel) {
        return;
    }
    if (!finished_) {
        cancel_ = true; // the worker ends within a second and Finish closes the window
        return;
    }
    form_->Form->hide();
    deleteLater();
}

TDraftUploader::TDraftUploader(TAccountList& accounts, DraftUploadOptions options)
    : accounts_(accounts), options_(options) {}

TDraftUploader::~TDraftUploader() {
    Stop();
}

void TDraftUploader::Stop() {
    stopped_ = true;
    // The runs are children: each one stops its transfer and waits for it.
    qDeleteAll(findChildren<TDraftUploadRun*>(Qt::FindDirectChildrenOnly));
}

bool TDraftUploader::Start(DraftUploadRequest request) {
    // The account logs the refusal.
    if (stopped_.load()) {
        return false;
    }
    auto begin = [this, request = std::move(request)]() mutable {
        try {
            auto open = [this](const std::string& accountId, const std::string& url) {
                CriticHold hold(accounts_.AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
                TNuvex_GenericConnector* account = hold.Held() ? accounts_.FindLocked(accountId) : nullptr;
                if (!account) {
                    qCWarning(lcUpload) << "the draft is ready, but account"
                                        << QString::fromStdString(accountId) << "is gone";
                    return;
                }
                if (!OpenUrl(*account, url)) {
                    qCWarning(lcUpload)
                        << "the draft page of" << QString::fromStdString(accountId) << "could not be opened";
                }
            };
            if (stopped_.load()) {
                return;
            }
            auto* run = new TDraftUploadRun(std::move(request), options_, open, this);
            run->Start();
        } catch (...) {
            qCWarning(lcUpload) << "a draft upload could not be started";
        }
    };
    if (OnGuiThread()) {
        begin();
        return true;
    }
    return QMetaObject::invokeMethod(this, std::move(begin), Qt::QueuedConnection);
}

} // namespace nuvex
