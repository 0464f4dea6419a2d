// nuvex-account: adds, lists, shows and removes accounts in the settings of
// the running toolbar host, for scripted set-ups.
#include "accounts/account_cli.h"
#include "accounts/connector_registry.h"
#include "core/bus_host_config.h"

#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

termios savedTerminal{};
volatile std::sig_atomic_t echoIsOff = 0;

void RestoreEcho() {
    if (echoIsOff) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        echoIsOff = 0;
    }
}

void RestoreEchoAndDie(int sig) {
    RestoreEcho();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// A password typed on a terminal is not shown. The terminal is put back on
// every way out, an interrupt included.
class EchoOff {
public:
    EchoOff() {
        if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
            return;
        }
        termios quiet = savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            std::signal(sig, RestoreEchoAndDie);
        }
        if (::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0) {
            echoIsOff = 1;
            std::fputs("Password: ", stderr);
        }
    }
    ~EchoOff() {
        if (echoIsOff) {
            RestoreEcho();
            std::fputs("\n", stderr);
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    if (!nuvex::BusHostConfig::HostOnBus()) {
        std::fputs("nuvex-account: no toolbar host is running on the session bus\n", stderr);
        return nuvex::kCliFailed;
    }
    nuvex::BusHostConfig host;
    std::optional<EchoOff> quiet;
    if (std::find(args.begin(), args.end(), "--password-stdin") != args.end()) {
        quiet.emplace();
    }
    return nuvex::RunAccountCli(args, host, nuvex::ConnectorRegistry(), std::cin, std::cout, std::cerr);
}
