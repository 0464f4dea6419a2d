#pragma once
// The connector side of a draft upload. A web-service account hands the files
// of a Send To or Simple MAPI hand-off to the uploader that the running program
// installed (its progress window and transfer live above this layer); a process
// without one, such as the command-line tool, gets false and reports the
// operation as not available.
#include <functional>
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

using DraftUploadStarter = std::function<bool(DraftUploadRequest)>;

// Installed once at start-up by the program that can show the upload; an
// empty function removes it.
void SetDraftUploadStarter(DraftUploadStarter starter);

// Starts the upload and returns at once; false when no uploader is installed
// or it refused the request.
bool StartDraftUpload(DraftUploadRequest request);

} // namespace nuvex
