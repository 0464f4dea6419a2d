// nuvex-account: adds, lists, shows and removes accounts in the settings of
// the running toolbar host, for scripted set-ups.
#include "accounts/account_cli.h"
#include "accounts/account_store.h"
#include "accounts/connector_registry.h"
#include "contract/qt_log_sink.h"
#include "core/bus_host_config.h"

#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>
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

// One line from the terminal, read no further than one byte past the bound.
std::string TypedLine() {
    std::string line;
    char c = 0;
    while (line.size() <= nuvex::kMaxFieldBytes && std::cin.get(c) && c != '\n') {
        line.push_back(c);
    }
    return line + "\n";
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    nuvex::InstallQtLogSink();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    if (!nuvex::BusHostConfig::HostOnBus()) {
        std::fputs("nuvex-account: no toolbar host is running on the session bus\n", stderr);
        return nuvex::kCliFailed;
    }
    nuvex::BusHostConfig host;
    // A password typed on a terminal is read here, unseen, and handed on as
    // the input; the tool applies its checks to it as to any other.
    std::istringstream typed;
    std::istream* in = &std::cin;
    if (std::find(args.begin(), args.end(), "--password-stdin") != args.end() && ::isatty(STDIN_FILENO)) {
        EchoOff quiet;
        typed.str(TypedLine());
        in = &typed;
    }
    return nuvex::RunAccountCli(args, host, nuvex::ConnectorRegistry(), *in, std::cout, std::cerr);
}
