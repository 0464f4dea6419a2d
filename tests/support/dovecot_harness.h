#pragma once
// A private dovecot for tests and benchmarks: its own configuration, state,
// mail and certificates in a temporary folder, POP3 and POP3 over implicit
// TLS on free loopback ports (IMAP too, on request), started and stopped by
// the owner of this object.
// The system's dovecot service is never touched.
#include "tests/support/temp_dir.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace nuvex::test {

class DovecotHarness {
public:
    DovecotHarness();
    ~DovecotHarness();
    DovecotHarness(const DovecotHarness&) = delete;
    DovecotHarness& operator=(const DovecotHarness&) = delete;

    // Why this machine can't run the harness (no dovecot, no openssl CLI, not
    // root); empty when it can.
    static std::string Unavailable();

    // Puts the implicit-TLS listener on this loopback port instead of a free
    // one (for the POP3 default port 110); before Start.
    void UseTlsPort(int port) { fixedTlsPort_ = port; }
    // Keeps dovecot's login and POP3 processes for the next connections
    // instead of starting new ones for each (its setting for servers with many
    // logins); before Start.
    void KeepProcesses(bool keep) { keepProcesses_ = keep; }
    // Adds IMAP: a plain listener that also offers STARTTLS, and one with
    // implicit TLS; before Start.
    void EnableImap() { imap_ = true; }
    // Users must be added before Start.
    void AddUser(const std::string& user, const std::string& password);
    // Makes the test CA and server certificate, writes the configuration and
    // starts dovecot; false with a reason in error when it did not come up.
    bool Start(std::string& error);
    void Stop();

    int Pop3Port() const { return pop3Port_; }
    int Pop3sPort() const { return pop3sPort_; }
    int ImapPort() const { return imapPort_; }
    int ImapsPort() const { return imapsPort_; }
    // The CA that signed the server certificate (for SSL_CERT_FILE), and one that did not.
    std::string CaFile() const { return dir_.file("ca.crt"); }
    std::string OtherCaFile() const { return dir_.file("other-ca.crt"); }
    // The server certificate names "localhost" only.
    static constexpr const char* kCertHost = "localhost";

    // Puts count messages into the user's maildrop, numbered from first; each
    // has From "Sender N <senderN@example.org>" and Subject "Message N".
    void Deliver(const std::string& user, int first, int count);
    // Messages of the user's maildrop without the seen flag.
    int UnseenCount(const std::string& user) const;
    // Deletes the n oldest messages.
    void RemoveOldest(const std::string& user, int n);
    std::string Log() const;
    const std::string& Dir() const { return dir_.path(); }

private:
    std::string Maildir(const std::string& user) const { return dir_.path() + "/mail/" + user; }
    bool MakeCertificates(std::string& error);
    void WriteConfig();
    void FixOwnership();
    // Gives path to the user the mail processes run as.
    void Own(const std::string& path) const;

    TempDir dir_;
    std::vector<std::pair<std::string, std::string>> users_;
    int pop3Port_ = 0;
    int pop3sPort_ = 0;
    int fixedTlsPort_ = 0;
    bool keepProcesses_ = false;
    bool imap_ = false;
    int imapPort_ = 0;
    int imapsPort_ = 0;
    pid_t pid_ = -1;
    uid_t mailUid_ = 0;
    gid_t mailGid_ = 0;
    long serial_ = 0;
};

// Runs a shell command line; its exit status (-1 when it could not run).
int RunCommand(const std::string& commandLine);

} // namespace nuvex::test
