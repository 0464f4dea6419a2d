#pragma once
// Attachment uploads under way in this process. The uploader begins one when
// a transfer starts and ends it when the transfer is over, from any thread;
// while any runs the host is told not to exit ("ALLOW_EXIT" answers "NO").
// A count, not a flag: two uploads may overlap, and the first to end must not
// clear the other's mark.

namespace nuvex {

void BeginUpload();
void EndUpload();
bool UploadInProgress();

// Marks an upload for the life of the scope.
class UploadInProgressScope {
public:
    UploadInProgressScope() { BeginUpload(); }
    ~UploadInProgressScope() { EndUpload(); }
    UploadInProgressScope(const UploadInProgressScope&) = delete;
    UploadInProgressScope& operator=(const UploadInProgressScope&) = delete;
};

} // namespace nuvex
