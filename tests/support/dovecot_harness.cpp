#include "tests/support/dovecot_harness.h"

#include "tests/support/temp_dir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nuvex::test {

namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";
// The mail user: dovecot refuses mail access as root.
constexpr const char* kMailUser = "dovecot";

} // namespace

int RunCommand(const std::string& commandLine) {
    int status = std::system(commandLine.c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::string DovecotHarness::Unavailable() {
    if (::access(kDovecot, X_OK) != 0) {
        return "dovecot is not installed";
    }
    if (RunCommand("openssl version >/dev/null 2>&1") != 0) {
        return "the openssl command is not installed";
    }
    if (::geteuid() != 0) {
        return "dovecot needs root to start its private instance here";
    }
    if (!getpwnam(kMailUser) || !getpwnam("dovenull")) {
        return "the dovecot system users are missing";
    }
    return {};
}

DovecotHarness::DovecotHarness() {
    if (passwd* pw = getpwnam(kMailUser)) {
        mailUid_ = pw->pw_uid;
        mailGid_ = pw->pw_gid;
    }
    // The login and mail processes run as other users and must reach their files.
    ::chmod(dir_.path().c_str(), 0755);
}

DovecotHarness::~DovecotHarness() {
    Stop();
}

void DovecotHarness::AddUser(const std::string& user, const std::string& password) {
    users_.emplace_back(user, password);
    for (const char* sub : {"/new", "/cur", "/tmp"}) {
        std::filesystem::create_directories(Maildir(user) + sub);
        Own(Maildir(user) + sub);
    }
    Own(dir_.path() + "/mail");
    Own(Maildir(user));
}

void DovecotHarness::Own(const std::string& path) const {
    if (::chown(path.c_str(), mailUid_, mailGid_) != 0) {
        std::fprintf(stderr, "dovecot harness: cannot give %s to the mail user: %s\n", path.c_str(),
                     std::strerror(errno));
    }
}

bool DovecotHarness::MakeCertificates(std::string& error) {
    const std::string d = ShellQuote(dir_.path());
    std::ostringstream script;
    script << "cd " << d << " && "
           << "printf 'subjectAltName=DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > server.ext && "
           << "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
           << "-subj '/CN=Nuvex Test CA' -keyout ca.key -out ca.crt && "
           << "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
           << "-subj '/CN=Other Test CA' -keyout other-ca.key -out other-ca.crt && "
           << "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
           << "-subj '/CN=localhost' -keyout server.key -out server.csr && "
           << "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
           << "-extfile server.ext -out server.crt";
    if (RunCommand("(" + script.str() + ") >" + d + "/openssl.log 2>&1") != 0) {
        error = "openssl could not make the test certificates";
        return false;
    }
    ::chmod(dir_.file("server.key").c_str(), 0600);
    return true;
}

void DovecotHarness::WriteConfig() {
    const std::string d = dir_.path();
    {
        std::ofstream pw(d + "/passwd");
        for (const auto& [user, password] : users_) {
            pw << user << ":{PLAIN}" << password << "::::::\n";
        }
    }
    std::filesystem::create_directories(d + "/run");
    std::filesystem::create_directories(d + "/state");
    std::ofstream conf(d + "/dovecot.conf");
    conf << "instance_name = nuvex-test-" << ::getpid() << "-" << pop3Port_ << "\n"
         << "base_dir = " << d << "/run\n"
         << "state_dir = " << d << "/state\n"
         << "log_path = " << d
         << "/dovecot.log\n"
         // With the date, so that a run across midnight still reads in order.
         << "log_timestamp = \"%Y-%m-%d %H:%M:%S \"\n"
         << "protocols = pop3" << (imap_ ? " imap" : "") << "\n"
         << "listen = 127.0.0.1\n"
         << "default_login_user = dovenull\n"
         << "default_internal_user = dovecot\n"
         << "first_valid_uid = " << mailUid_ << "\n"
         << "disable_plaintext_auth = no\n"
         << "auth_mechanisms = plain\n"
         << "ssl = yes\n"
         << "ssl_cert = <" << d << "/server.crt\n"
         << "ssl_key = <" << d << "/server.key\n"
         << "ssl_min_protocol = TLSv1.2\n"
         << "mail_location = maildir:" << d << "/mail/%u\n"
         << "pop3_uidl_format = %08Xu%08Xv\n"
         << "passdb {\n  driver = passwd-file\n  args = " << d << "/passwd\n}\n"
         << "userdb {\n  driver = static\n  args = uid=" << mailUid_ << " gid=" << mailGid_ << " home=" << d
         << "/mail/%u\n}\n"
         << "service pop3-login {\n"
         << (keepProcesses_ ? "  service_count = 0\n  process_min_avail = 2\n" : "")
         << "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << pop3Port_ << "\n  }\n"
         << "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " << pop3sPort_
         << "\n    ssl = yes\n  }\n"
         << "}\n"
         << (keepProcesses_ ? "service pop3 {\n  service_count = 0\n  process_min_avail = 4\n}\n" : "")
         // Push keeps a connection per folder and account, many from one address.
         << "protocol imap {\n  mail_max_userip_connections = 200\n}\n"
         << "service imap-login {\n  inet_listener imap {\n    address = 127.0.0.1\n    port = " << imapPort_
         << "\n  }\n  inet_listener imaps {\n    address = 127.0.0.1\n    port = " << imapsPort_
         << "\n    ssl = yes\n  }\n}\n";
}

// Once, at the start: whatever a test put into the mail tree by itself.
void DovecotHarness::FixOwnership() {
    std::error_code ec;
    std::string mail = dir_.path() + "/mail";
    Own(mail);
    for (auto it = std::filesystem::recursive_directory_iterator(mail, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        Own(it->path().string());
    }
}

bool DovecotHarness::Start(std::string& error) {
    error = Unavailable();
    if (!error.empty()) {
        return false;
    }
    if (!MakeCertificates(error)) {
        return false;
    }
    pop3Port_ = FreeLoopbackPort();
    pop3sPort_ = fixedTlsPort_ ? fixedTlsPort_ : FreeLoopbackPort();
    while (pop3sPort_ == pop3Port_) {
        pop3Port_ = FreeLoopbackPort();
    }
    if (imap_) {
        do {
            imapPort_ = FreeLoopbackPort();
            imapsPort_ = FreeLoopbackPort();
        } while (imapPort_ == imapsPort_ || imapPort_ == pop3Port_ || imapPort_ == pop3sPort_ ||
                 imapsPort_ == pop3Port_ || imapsPort_ == pop3sPort_);
    }
    WriteConfig();
    FixOwnership();
    std::string conf = dir_.file("dovecot.conf");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setsid();
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        std::string out = dir_.file("dovecot.out");
        int log = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execl(kDovecot, kDovecot, "-F", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0) {
        error = "fork failed";
        return false;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (LoopbackAccepts(pop3Port_) && LoopbackAccepts(pop3sPort_) &&
            (!imap_ || (LoopbackAccepts(imapPort_) && LoopbackAccepts(imapsPort_)))) {
            return true;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error = "dovecot ended at start: " + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error = "dovecot did not listen within 20 s: " + Log();
    Stop();
    return false;
}

void DovecotHarness::Stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(-pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

void DovecotHarness::Deliver(const std::string& user, int first, int count) {
    std::string dir = Maildir(user);
    for (int n = first; n < first + count; ++n) {
        // Names sort in delivery order, so dovecot numbers the messages that way.
        char name[96];
        std::snprintf(name, sizeof name, "%010ld.M%06dP%d.nuvex:2,", 1700000000L + serial_, n,
                      static_cast<int>(::getpid()));
        ++serial_;
        const std::string path = dir + "/cur/" + name;
        std::ofstream f(path, std::ios::binary);
        f << "Return-Path: <sender" << n << "@example.org>\r\n"
          << "From: Sender " << n << " <sender" << n << "@example.org>\r\n"
          << "To: " << user << "@example.org\r\n"
          << "Subject: Message " << n << "\r\n"
          << "Message-ID: <" << n << "." << serial_ << "@example.org>\r\n"
          << "\r\n"
          << "Body of message " << n << ".\r\n";
        // Only what this delivery wrote: walking the whole tree on every
        // message made a thousand users' first delivery take minutes.
        Own(path);
    }
}

int DovecotHarness::UnseenCount(const std::string& user) const {
    int unseen = 0;
    for (const char* sub : {"/new", "/cur"}) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(Maildir(user) + sub, ec)) {
            const std::string name = e.path().filename().string();
            const std::size_t info = name.find(":2,");
            unseen += info == std::string::npos || name.find('S', info) == std::string::npos ? 1 : 0;
        }
    }
    return unseen;
}

void DovecotHarness::RemoveOldest(const std::string& user, int n) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(Maildir(user) + "/cur")) {
        files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (int i = 0; i < n && i < static_cast<int>(files.size()); ++i) {
        std::filesystem::remove(files[static_cast<std::size_t>(i)]);
    }
}

std::string DovecotHarness::Log() const {
    std::ifstream a(dir_.file("dovecot.log"));
    std::ifstream b(dir_.file("dovecot.out"));
    std::stringstream s;
    s << a.rdbuf() << b.rdbuf();
    return s.str();
}

} // namespace nuvex::test
