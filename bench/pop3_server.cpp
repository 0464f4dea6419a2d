// The tests' private dovecot as a program, for benchmark scripts: starts it
// with USERS users ("user1".."userN", password "secret") holding MESSAGES
// messages each, prints "port P" and "dir D" (its folder, dovecot.log in it)
// on standard output and serves until its standard input closes.
//   pop3_server USERS MESSAGES
#include "tests/support/dovecot_harness.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s USERS MESSAGES\n", argv[0]);
        return 2;
    }
    const int users = std::atoi(argv[1]);
    const int messages = std::atoi(argv[2]);
    if (users < 1 || users > 10000 || messages < 0 || messages > 100000) {
        std::fprintf(stderr, "pop3_server: USERS 1..10000, MESSAGES 0..100000\n");
        return 2;
    }
    if (const std::string why = nuvex::test::DovecotHarness::Unavailable(); !why.empty()) {
        std::fprintf(stderr, "pop3_server: %s\n", why.c_str());
        return 1;
    }
    nuvex::test::DovecotHarness dovecot;
    for (int i = 1; i <= users; ++i) {
        dovecot.AddUser("user" + std::to_string(i), "secret");
    }
    std::string error;
    if (!dovecot.Start(error)) {
        std::fprintf(stderr, "pop3_server: %s\n", error.c_str());
        return 1;
    }
    for (int i = 1; i <= users && messages > 0; ++i) {
        dovecot.Deliver("user" + std::to_string(i), 1, messages);
    }
    std::printf("port %d\ndir %s\n", dovecot.Pop3Port(), dovecot.Dir().c_str());
    std::fflush(stdout);
    char buf[256];
    while (::read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    dovecot.Stop();
    return 0;
}
