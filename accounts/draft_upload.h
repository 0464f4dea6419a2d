#pragma once
// The connector side of a draft upload. A web-service account hands the files
// of a Send To or Simple MAPI hand-off to the uploader that came with its
// context (its progress window and transfer live above this layer); a process
// without one, such as the command-line tool, reports the operation as not
// available.
#include <string>
#include <vector>

namespace nuvex {

struct DraftUploadRequest {
    std::string accountId;  // the draft page is opened through this account, if it still exists
    std::string email;      // shown in the progress window
    std::string serviceUrl; // the account's web-service address; its scheme and port are used
    std::string method;     // the SOAP method, "CreateDraft"
    std::string login;
    std::string password;
    std::string subject;   // line breaks as CR LF
    std::string body;      // line breaks as CR LF
    std::string handOffId; // the Simple MAPI hand-off id; empty for Send To
    std::vector<std::string> files;
};

// Starts uploads for the accounts of one program.
class DraftUploader {
public:
    virtual ~DraftUploader() = default;
    // Starts the upload and returns at once, from any thread; false when it
    // refused the request.
    virtual bool Start(DraftUploadRequest request) = 0;
};

} // namespace nuvex
