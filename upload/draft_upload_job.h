#pragma once
// The draft upload without any window: take the handed-over files, build the
// SOAP request with its DIME attachments and post it to the account's web
// service, streaming the file data from disk, then read the draft's address
// out of the answer. Runs on a worker thread; the caller shows the progress.
#include "accounts/draft_upload.h"
#include "upload/dime.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nuvex {

// File data of one upload, counted over the files taken so far.
inline constexpr std::uint64_t kMaxDraftFileBytes = 10485760;
inline constexpr std::size_t kPostChunkBytes = 32768;
inline constexpr char kDraftServiceNamespace[] = "http://tempuri.org/RirIzeraz.WebMail.UI/WMCheck";
inline constexpr char kSoapEnvelopeNamespace[] = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr char kSendToEventPrefix[] = "NuvexSendTo";

struct DraftUploadOptions {
    std::uint64_t maxFileBytes = kMaxDraftFileBytes;
    // Files up to this size are read when they are taken; larger ones stay open
    // and are read while sending (this also bounds the descriptors held).
    std::size_t keepInMemoryBytes = std::size_t{64} * 1024;
    long connectTimeoutMs = 30'000;
    // Longest time without a byte moving either way.
    long stallTimeoutMs = 90'000;
    long totalTimeoutMs = 30L * 60'000;
    std::size_t maxResponseBytes = 1u << 20;
};

struct UploadProgress {
    std::uint64_t sent = 0;
    std::uint64_t total = 0;
    double secondsLeft = 0;
    double rate = 0; // bytes per second
};
// Called after each chunk has been handed to the connection; false stops the transfer.
using UploadProgressCallback = std::function<bool(const UploadProgress&)>;

struct DraftUploadHooks {
    // The files are taken; the transfer starts. folder is the files' folder,
    // or empty with multipleFolders set.
    std::function<void(const std::string& folder, bool multipleFolders)> onSending;
    UploadProgressCallback onProgress;
    // Raised from another thread: the transfer ends within a second.
    const std::atomic<bool>* cancel = nullptr;
};

enum class DraftUploadOutcome {
    Created,   // the service stored the draft and named its page
    NoDraft,   // the service answered, but not with status="ok" and a readable address
    Failed,    // connection, HTTP status, time-out or a file that could not be read
    Cancelled, // stopped by the user; nothing is to be opened
};

struct DraftUploadResult {
    DraftUploadOutcome outcome = DraftUploadOutcome::Failed;
    std::string draftUrl; // the page to open, for Created
    std::string message;  // what went wrong, naming the file or the server's status
    int httpStatus = 0;
    std::uint64_t fileBytes = 0; // file data taken
    int filesTaken = 0;
};

// The files as taken for one upload.
struct TakenFiles {
    std::vector<dime::Record> records; // one per non-empty file, in order
    std::uint64_t totalBytes = 0;      // including empty files
    int count = 0;                     // including empty files
    std::string folder;                // the first taken file's folder
    bool multipleFolders = false;
    std::vector<std::string> skipped; // "path: reason", for the log
};

// Skips files that cannot be opened and files that would push the total over
// options.maxFileBytes (later, smaller files are still tried).
TakenFiles TakeFiles(const std::vector<std::string>& files, const DraftUploadOptions& options);

std::string SoapEnvelope(const std::string& method, const std::string& cu);
// The two request header lines, without line ends.
std::vector<std::string> DraftRequestHeaders(const std::string& method);
// The envelope record, the body record when body is not empty, then the files.
std::vector<dime::Record> DraftMessageRecords(const std::string& envelope, const std::string& body,
                                              std::vector<dime::Record> fileRecords);
// The "URL" value of the keyed record behind url="..." in a response that
// carries status="ok"; nothing otherwise.
std::optional<std::string> DraftUrlFromResponse(const std::string& response);

struct PostResult {
    bool completed = false; // a whole response arrived
    bool cancelled = false;
    int httpStatus = 0;
    std::string response;
    std::string error;
};

// POSTs body to url (http or https, its own port) in chunks of kPostChunkBytes,
// calling progress after each. Trust anchors follow SSL_CERT_FILE/SSL_CERT_DIR.
PostResult PostLarge(const std::string& url, const std::vector<std::string>& headers, dime::Writer& body,
                     const UploadProgressCallback& progress, const std::atomic<bool>* cancel,
                     const DraftUploadOptions& options);

// The whole job. Opens or creates the event "NuvexSendTo" + hand-off id and
// sets it once every file is taken (opened, its size fixed): from then on the
// sender may delete its files, because open files stay readable. The event is
// set on every path out, so a waiting sender never waits for nothing.
DraftUploadResult RunDraftUpload(const DraftUploadRequest& request, const DraftUploadHooks& hooks,
                                 const DraftUploadOptions& options = {});

} // namespace nuvex
