#pragma once
// The loopback sign-in pages of tools/signin_pages, run as a child process for
// the life of the object (python3 from the system).
#include <string>
#include <sys/types.h>

namespace nuvex::test {

class SigninPagesServer {
public:
    SigninPagesServer();
    ~SigninPagesServer();
    SigninPagesServer(const SigninPagesServer&) = delete;
    SigninPagesServer& operator=(const SigninPagesServer&) = delete;

    // False (with the reason in Error()) when the pages could not be started.
    bool Running() const { return port_ > 0; }
    const std::string& Error() const { return error_; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" + path.
    std::string Url(const std::string& path) const;

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

// The sign-in password the pages accept.
inline constexpr const char* kSigninPassword = "secret";

} // namespace nuvex::test
