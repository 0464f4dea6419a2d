#include "accounts/draft_upload.h"

#include <mutex>

namespace nuvex {

namespace {
std::mutex& StarterMutex() {
    static std::mutex m;
    return m;
}
DraftUploadStarter& Starter() {
    static DraftUploadStarter s;
    return s;
}
} // namespace

void SetDraftUploadStarter(DraftUploadStarter starter) {
    std::lock_guard lock(StarterMutex());
    Starter() = std::move(starter);
}

bool StartDraftUpload(DraftUploadRequest request) {
    DraftUploadStarter starter;
    {
        std::lock_guard lock(StarterMutex());
        starter = Starter();
    }
    // Called outside the lock: the starter may install or remove itself.
    return starter ? starter(std::move(request)) : false;
}

} // namespace nuvex
