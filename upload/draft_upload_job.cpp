#include "upload/draft_upload_job.h"

#include "lib/crypt_url.h"
#include "lib/http_internal.h"
#include "lib/log.h"
#include "lib/named_objects.h"
#include "lib/text.h"

#include <algorithm>
#include <chrono>
#include <curl/curl.h>

namespace nuvex {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kArea[] = "upload";

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// What the curl callbacks of one post share.
struct PostState {
    explicit PostState(const http_internal::Transfer& t, dime::Writer& b) : transfer(t), body(b) {}

    http_internal::Transfer transfer;
    dime::Writer& body;
    const UploadProgressCallback* progress = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    std::size_t inChunk = 0;
    std::uint64_t chunks = 0;
    Clock::time_point start{};
    bool started = false;
    bool cancelled = false;
    std::string callbackError;
};

bool CancelRaised(const PostState& s) {
    return s.cancel && s.cancel->load(std::memory_order_acquire);
}

bool ReportChunk(PostState& s) {
    ++s.chunks;
    if (!s.progress || !*s.progress) {
        return true;
    }
    // The bytes really handed over, not chunks x 32768: counting the last,
    // short chunk as a full one would show more sent than the message holds
    // and make the window raise its total, so the bar and the rate would lie.
    const std::uint64_t total = s.body.TotalSize();
    const std::uint64_t sent = s.body.Position();
    const std::uint64_t remaining = total - sent;
    auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.start).count();
    if (elapsedMs <= 0) {
        elapsedMs = 1;
    }
    double rate = static_cast<double>(sent) * 1000.0 / static_cast<double>(elapsedMs);
    if (rate <= 0) {
        rate = 1;
    }
    const UploadProgress p{sent, total, static_cast<double>(remaining) / rate, rate};
    try {
        return (*s.progress)(p);
    } catch (...) {
        log::Caught(kArea, "progress report");
        return false;
    }
}

// Hands curl at most what is left of the current 32768-byte chunk, so that the
// progress is reported per chunk whatever buffer size curl asks to fill.
std::size_t OnRead(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto& s = *static_cast<PostState*>(user);
    if (!s.started) {
        s.started = true;
        s.start = Clock::now();
    }
    if (CancelRaised(s)) {
        s.cancelled = true;
        return CURL_READFUNC_ABORT;
    }
    const std::size_t want = std::min(size * count, kPostChunkBytes - s.inChunk);
    const std::size_t got = s.body.Read(buffer, want);
    if (s.body.Failed()) {
        return CURL_READFUNC_ABORT;
    }
    s.inChunk += got;
    const bool atEnd = s.body.Position() == s.body.TotalSize();
    if (got > 0 && (s.inChunk == kPostChunkBytes || atEnd)) {
        s.inChunk = 0;
        if (!ReportChunk(s)) {
            s.cancelled = true;
            return CURL_READFUNC_ABORT;
        }
    }
    return got;
}

int OnSeek(void* user, curl_off_t offset, int origin) {
    auto& s = *static_cast<PostState*>(user);
    if (offset != 0 || origin != SEEK_SET) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    s.body.Rewind();
    s.inChunk = 0;
    s.chunks = 0;
    return CURL_SEEKFUNC_OK;
}

// Called by curl at least once a second, also while it waits on a silent
// server: the cancel and the stall bound hold even when no chunk moves.
int OnTransferInfo(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto& s = *static_cast<PostState*>(user);
    if (CancelRaised(s)) {
        s.cancelled = true;
        return 1;
    }
    return http_internal::Stalled(s.transfer, down, up) ? 1 : 0;
}

// Logs the skipped files, never their contents.
void LogSkipped(const TakenFiles& taken) {
    for (const std::string& s : taken.skipped) {
        log::Warning(kArea, "file left out of the draft: " + s);
    }
}

} // namespace

TakenFiles TakeFiles(const std::vector<std::string>& files, const DraftUploadOptions& options) {
    TakenFiles taken;
    for (const std::string& path : files) {
        std::string error;
        std::shared_ptr<dime::OpenedFile> file = dime::OpenedFile::Open(path, error);
        if (!file) {
            taken.skipped.push_back(error);
            continue;
        }
        if (file->Size() > options.maxFileBytes - std::min(options.maxFileBytes, taken.totalBytes)) {
            taken.skipped.push_back("\"" + path + "\" would exceed the upload limit of " +
                                    std::to_string(options.maxFileBytes) + " bytes");
            continue;
        }
        dime::Record record;
        record.id = path;
        record.format = dime::TypeFormat::MediaType;
        record.type = "application/octet-stream";
        if (file->Size() > 0 && file->Size() <= options.keepInMemoryBytes) {
            if (!file->ReadAll(record.inlineData, error)) {
                taken.skipped.push_back(error);
                continue;
            }
        } else {
            record.file = file;
        }
        taken.totalBytes += file->Size();
        ++taken.count;
        const std::string folder = FolderOf(path);
        if (taken.count == 1) {
            taken.folder = folder;
        } else if (folder != taken.folder) {
            taken.multipleFolders = true;
        }
        if (file->Size() > 0) {
            taken.records.push_back(std::move(record));
        }
    }
    if (taken.multipleFolders) {
        taken.folder.clear();
    }
    return taken;
}

std::string SoapEnvelope(const std::string& method, const std::string& cu) {
    std::string e;
    e += "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
    e += "<soap:Envelope xmlns:soap=\"";
    e += kSoapEnvelopeNamespace;
    e += "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">";
    e += "<soap:Header></soap:Header>";
    e += "<soap:Body>";
    e += "    <" + method + " xmlns=\"" + kDraftServiceNamespace + "\">";
    e += "<CU>" + cu + "</CU>";
    e += "    </" + method + ">";
    e += "</soap:Body>";
    e += "</soap:Envelope>";
    return e;
}

std::vector<std::string> DraftRequestHeaders(const std::string& method) {
    return {"Content-Type: application/dime",
            std::string("SOAPAction: \"") + kDraftServiceNamespace + "/" + method + "\""};
}

std::vector<dime::Record> DraftMessageRecords(const std::string& envelope, const std::string& body,
                                              std::vector<dime::Record> fileRecords) {
    std::vector<dime::Record> records;
    records.reserve(fileRecords.size() + 2);
    dime::Record head;
    head.id = "SoapHeader";
    head.format = dime::TypeFormat::AbsoluteUri;
    head.type = kSoapEnvelopeNamespace;
    head.inlineData = envelope;
    records.push_back(std::move(head));
    if (!body.empty()) {
        dime::Record text;
        text.id = "BODY";
        text.format = dime::TypeFormat::MediaType;
        text.type = "application/octet-stream";
        text.inlineData = body; // the program's text is UTF-8 already
        records.push_back(std::move(text));
    }
    for (dime::Record& r : fileRecords) {
        records.push_back(std::move(r));
    }
    return records;
}

std::optional<std::string> DraftUrlFromResponse(const std::string& response) {
    const std::string lower = text::ToLowerAscii(response);
    if (lower.find("status=\"ok\"") == std::string::npos) {
        return std::nullopt;
    }
    const std::string marker = "url=\"";
    const std::size_t at = lower.find(marker);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t start = at + marker.size();
    const std::size_t end = response.find('"', start);
    if (end == std::string::npos) {
        return std::nullopt; // a cut-off answer names no page
    }
    TCryptURL record;
    record.ClearParams();
    if (!record.DecodeParams(std::string_view(response).substr(start, end - start))) {
        return std::nullopt;
    }
    std::string url = record.GetParam("URL");
    if (url.empty()) {
        return std::nullopt;
    }
    return url;
}

PostResult PostLarge(const std::string& url, const std::vector<std::string>& headers, dime::Writer& body,
                     const UploadProgressCallback& progress, const std::atomic<bool>* cancel,
                     const DraftUploadOptions& options) {
    PostResult result;
    if (!text::StartsWithNoCase(url, "http://") && !text::StartsWithNoCase(url, "https://")) {
        result.error = "the service address is not an http or https URL";
        return result;
    }
    http_internal::EnsureCurlGlobalInit();
    http_internal::EasyHandle handle(curl_easy_init());
    if (!handle) {
        result.error = "no HTTP handle could be made";
        return result;
    }
    CURL* h = handle.get();
    HttpLimits limits;
    limits.connectTimeoutMs = options.connectTimeoutMs;
    limits.readTimeoutMs = options.stallTimeoutMs;
    limits.totalTimeoutMs = options.totalTimeoutMs;
    limits.maxBodyBytes = options.maxResponseBytes;
    PostState state(http_internal::Transfer(limits), body);
    state.progress = &progress;
    state.cancel = cancel;

    http_internal::HeaderList list;
    try {
        for (const std::string& line : headers) {
            list.Add(line);
        }
        // The request goes out at once: a server that never answers
        // "100 Continue" would otherwise hold every upload for a second.
        list.Add("Expect:");
    } catch (...) {
        log::Caught(kArea, "request headers");
        result.error = "the request headers could not be made";
        return result;
    }
    http_internal::ApplyCommonOptions(h, state.transfer);
    // The address's own scheme and port are used: a service on https or on
    // another port than 80 (a company's, the development service) is reached
    // as configured, and the password in the envelope never goes out in clear
    // when the service offers TLS.
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.TotalSize()));
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &OnRead);
    curl_easy_setopt(h, CURLOPT_READDATA, &state);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, &OnSeek);
    curl_easy_setopt(h, CURLOPT_SEEKDATA, &state);
    curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kPostChunkBytes));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnTransferInfo);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &state);

    const CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    result.httpStatus = static_cast<int>(status);
    result.cancelled = state.cancelled;
    if (rc == CURLE_OK) {
        result.completed = true;
        result.response = std::move(state.transfer.body);
        return result;
    }
    if (state.cancelled) {
        result.error = "cancelled";
    } else if (body.Failed()) {
        result.error = body.Error();
    } else if (state.transfer.stalled) {
        result.error = "no data moved for " + std::to_string(options.stallTimeoutMs) + " ms";
    } else if (state.transfer.bodyTooLarge) {
        result.error = "the answer is larger than " + std::to_string(options.maxResponseBytes) + " bytes";
    } else {
        result.error = curl_easy_strerror(rc);
    }
    return result;
}

DraftUploadResult RunDraftUpload(const DraftUploadRequest& request, const DraftUploadHooks& hooks,
                                 const DraftUploadOptions& options) {
    DraftUploadResult result;
    std::unique_ptr<NamedEvent> taken =
        OpenOrCreateEvent(kSendToEventPrefix + request.handOffId, true, false);
    if (!taken) {
        log::Warning(kArea, "the hand-off event could not be opened; the sender will wait for its time-out");
    }
    // Set on every way out: once the job ends the files are not needed any more.
    struct SetOnExit {
        NamedEvent* event;
        ~SetOnExit() {
            if (event) {
                event->Set();
            }
        }
    } setOnExit{taken.get()};

    try {
        TCryptURL cu;
        cu.ClearParams();
        cu.SetParam("Subj", request.subject);
        cu.SetParam("Login", request.login);
        cu.SetParam("Pwd", request.password);
        const std::string envelope = SoapEnvelope(request.method, cu.EncodeParams());

        TakenFiles files = TakeFiles(request.files, options);
        LogSkipped(files);
        result.fileBytes = files.totalBytes;
        result.filesTaken = files.count;
        if (taken) {
            taken->Set();
        }

        dime::Writer message(DraftMessageRecords(envelope, request.body, std::move(files.records)));
        if (hooks.onSending) {
            hooks.onSending(files.folder, files.multipleFolders);
        }
        if (hooks.cancel && hooks.cancel->load()) {
            result.outcome = DraftUploadOutcome::Cancelled;
            result.message = "cancelled before sending";
            return result;
        }
        PostResult post = PostLarge(request.serviceUrl, DraftRequestHeaders(request.method), message,
                                    hooks.onProgress, hooks.cancel, options);
        result.httpStatus = post.httpStatus;
        if (post.cancelled) {
            // Whatever the service may have stored, nothing is reported as done.
            result.outcome = DraftUploadOutcome::Cancelled;
            result.message = "cancelled";
            log::Info(kArea, "draft upload for " + request.accountId + " cancelled");
            return result;
        }
        if (!post.completed) {
            result.outcome = DraftUploadOutcome::Failed;
            result.message = post.error;
            log::Warning(kArea, "draft upload for " + request.accountId + " failed: " + post.error);
            return result;
        }
        if (post.httpStatus < 200 || post.httpStatus > 299) {
            result.outcome = DraftUploadOutcome::Failed;
            result.message = "the service answered HTTP " + std::to_string(post.httpStatus);
            log::Warning(kArea, "draft upload for " + request.accountId + ": " + result.message);
            return result;
        }
        if (std::optional<std::string> url = DraftUrlFromResponse(post.response)) {
            result.outcome = DraftUploadOutcome::Created;
            result.draftUrl = std::move(*url);
            return result;
        }
        result.outcome = DraftUploadOutcome::NoDraft;
        result.message = "the service did not confirm the draft";
        log::Warning(kArea, "draft upload for " + request.accountId + ": " + result.message);
        return result;
    } catch (...) {
        log::Caught(kArea, "draft upload");
        result.outcome = DraftUploadOutcome::Failed;
        result.message = "the request could not be built: " + log::CurrentExceptionText();
        return result;
    }
}

} // namespace nuvex
