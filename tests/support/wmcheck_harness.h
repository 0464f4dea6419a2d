#pragma once
// The development web service (tools/wmcheck) as a child process of a test:
// its accounts file, drafts folder and request log live in a private folder;
// it listens on a free loopback port, over HTTPS when given a certificate.
#include "tests/support/temp_dir.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace nuvex::test {

struct WmMessage {
    long long mid = 0;
    int fid = 1;
    std::string subject, preview, name, email; // UTF-8
};

struct WmAccount {
    std::string login, password;
    std::string charset = "utf-8"; // utf-8, iso-8859-1, windows-1251, shift_jis
    int unread = -1;               // -1: the number of messages
    std::string misbehave; // slow, truncated, wrong-charset, unknown-charset, 500, redirect-loop, huge
    int delaySeconds = 0;  // for slow
    std::vector<WmMessage> messages;
};

class WmcheckHarness {
public:
    WmcheckHarness() = default;
    ~WmcheckHarness();
    WmcheckHarness(const WmcheckHarness&) = delete;
    WmcheckHarness& operator=(const WmcheckHarness&) = delete;

    // Why the service cannot run here (no python3); empty when it can.
    static std::string Unavailable();

    // Rewrites the accounts file; the service reads it before every request.
    void SetAccounts(const std::vector<WmAccount>& accounts);
    // Starts the service (HTTPS when cert and key are given) and waits for
    // its port; false with the reason in error.
    bool Start(std::string& error, const std::string& cert = "", const std::string& key = "");
    void Stop();

    int Port() const { return port_; }
    // The service address to store in a type's "_SERVICE_URL" value.
    std::string ServiceUrl() const;
    // One JSON line per request, passwords masked.
    std::string RequestLog() const;
    std::string DraftsDir() const { return dir_.file("drafts"); }
    // The draft.json texts of the stored drafts, in the order they came.
    std::vector<std::string> Drafts() const;
    std::string Stderr() const;

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool tls_ = false;
};

// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& text);

} // namespace nuvex::test
