#include "upload/upload_count.h"

#include <atomic>

namespace nuvex {

namespace {
std::atomic<int> g_uploads{0};
} // namespace

void BeginUpload() {
    g_uploads.fetch_add(1, std::memory_order_acq_rel);
}

void EndUpload() {
    // Never below zero: an unmatched end must not hide the next upload.
    int n = g_uploads.load(std::memory_order_acquire);
    while (n > 0 && !g_uploads.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
    }
}

bool UploadInProgress() {
    return g_uploads.load(std::memory_order_acquire) > 0;
}

} // namespace nuvex
