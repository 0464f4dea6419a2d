#include "core/check_scheduler.h"

#include "core/plugin_log.h"
#include "lib/log.h"

#include <chrono>

namespace nuvex {

TCheckScheduler::TCheckScheduler(TCheckCycle& cycle, Finished finished, Finished accountDone)
    : cycle_(cycle), finished_(std::move(finished)), accountDone_(std::move(accountDone)) {}

TCheckScheduler::~TCheckScheduler() {
    stop_.Raise();
    if (worker_.joinable()) {
        worker_.join();
    }
}

bool TCheckScheduler::StartPass(const TickSettings& settings, StopPredicate namedStop) {
    if (passOut_ || stop_.Raised()) {
        return false;
    }
    Reap();
    passOut_ = true;
    const unsigned generation = ++generation_;
    {
        std::lock_guard lock(doneMutex_);
        workerDone_ = false;
    }
    // The pass waits on the network: never on the GUI thread. The result
    // comes back through the event loop.
    worker_ = std::thread([this, settings, named = std::move(namedStop), generation] {
        TickResult result;
        AccountAnnounce announce;
        if (accountDone_) {
            announce = [this, generation](const TickResult& news) {
                QMetaObject::invokeMethod(
                    this, [this, news, generation] { DeliverAccount(news, generation); },
                    Qt::QueuedConnection);
            };
        }
        try {
            result = cycle_.Tick(
                settings, [this, &named] { return stop_.Raised() || (named && named()); }, announce);
        } catch (...) {
            log::Caught("plugin", "check pass");
        }
        QMetaObject::invokeMethod(
            this, [this, result, generation] { Deliver(result, generation); }, Qt::QueuedConnection);
        {
            std::lock_guard lock(doneMutex_);
            workerDone_ = true;
        }
        doneCv_.notify_all();
    });
    return true;
}

void TCheckScheduler::Reap() {
    if (worker_.joinable()) {
        worker_.join();
    }
}

void TCheckScheduler::Deliver(const TickResult& result, unsigned generation) {
    if (generation != generation_ || !passOut_) {
        return; // reaped by Stop(): nobody wants it any more
    }
    Reap();
    passOut_ = false;
    if (result.ran) {
        checkNowTarget_ = kNoCheckPending;
    }
    if (finished_) {
        finished_(result);
    }
    if (startAfterPass_ && !passOut_ && !stop_.Raised()) {
        startAfterPass_ = false;
        if (starter_) {
            starter_();
        }
    }
}

void TCheckScheduler::DeliverAccount(const TickResult& result, unsigned generation) {
    // Queued before the pass's own result, so the pass is still out unless
    // Stop() reaped it.
    if (generation != generation_ || !passOut_ || stop_.Raised()) {
        return;
    }
    if (accountDone_) {
        accountDone_(result);
    }
}

void TCheckScheduler::CheckAccountNow(const std::string& id) {
    if (stop_.Raised()) {
        return;
    }
    cycle_.DueNow(id);
    if (passOut_) {
        startAfterPass_ = true; // this pass may have checked it already
    } else if (starter_) {
        starter_();
    }
}

bool TCheckScheduler::CheckNowIfIdle(const std::string& id) {
    // Nothing to add while a check of all, or of this account, is still out.
    if (checkNowTarget_.empty() || (!id.empty() && checkNowTarget_ == id)) {
        return false;
    }
    checkNowTarget_ = id;
    cycle_.CheckNow(id);
    return true;
}

bool TCheckScheduler::Stop(int waitMs) {
    stop_.Raise();
    if (!worker_.joinable()) {
        passOut_ = false;
        return true;
    }
    std::unique_lock lock(doneMutex_);
    if (!doneCv_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return workerDone_; })) {
        qCWarning(lcPlugin) << "the check pass did not end within" << waitMs << "ms of the stop";
        return false;
    }
    lock.unlock();
    worker_.join();
    passOut_ = false;
    return true;
}

} // namespace nuvex
