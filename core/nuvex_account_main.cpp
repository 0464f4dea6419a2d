// nuvex-account: adds, lists, shows and removes accounts in the settings of
// the running toolbar host, for scripted set-ups.
#include "accounts/account_cli.h"
#include "accounts/connector_registry.h"
#include "core/bus_host_config.h"

#include <QCoreApplication>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

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
    return nuvex::RunAccountCli(args, host, nuvex::ConnectorRegistry(), std::cin, std::cout, std::cerr);
}
