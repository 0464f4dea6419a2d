// nuvex-account: adds, lists, shows, removes, checks, tests, enables and
// disables accounts in the settings of the toolbar host, for scripted set-ups.
// With the host running everything goes through it; without one the host's
// settings file is used directly, through the host's own store code.
#include "accounts/account_store.h"
#include "accounts/connector_registry.h"
#include "cli/account_cli.h"
#include "contract/qt_log_sink.h"
#include "core/bus_host_config.h"
#include "lib/host_config.h"
#include "lib/settings_store.h"
#include "lib/text.h"

#include <QCoreApplication>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
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

// The host's settings file read and written as the host does it, for when
// no host runs. No plug-in runs without its host, so there is nobody to tell
// of a change.
class StoreHostConfig final : public nuvex::HostConfig {
public:
    explicit StoreHostConfig(std::unique_ptr<nuvex::host::SettingsStore> store) : store_(std::move(store)) {}
    bool Connected() const override { return true; }
    std::optional<bool> ReadCfgBool(std::string_view key, int) override {
        auto v = store_->Get(nuvex::kPluginName, key);
        return v && (v->text == "1" || nuvex::text::EqualsNoCase(v->text, "true"));
    }
    std::optional<std::int32_t> ReadCfgInt(std::string_view key, int) override {
        auto v = store_->Get(nuvex::kPluginName, key);
        return v ? std::atoi(v->text.c_str()) : 0;
    }
    std::optional<std::string> ReadCfgStr(std::string_view key, int) override {
        auto v = store_->Get(nuvex::kPluginName, key);
        return v ? v->text : std::string();
    }
    bool WriteCfgBool(std::string_view key, bool value, int) override {
        return store_->Set(nuvex::kPluginName, key, nuvex::host::ValueType::Bool, value ? "1" : "0");
    }
    bool WriteCfgInt(std::string_view key, std::int32_t value, int) override {
        return store_->Set(nuvex::kPluginName, key, nuvex::host::ValueType::Int, std::to_string(value));
    }
    bool WriteCfgStr(std::string_view key, std::string_view value, int) override {
        return store_->Set(nuvex::kPluginName, key, nuvex::host::ValueType::Text, value);
    }
    bool DeleteCfgValue(std::string_view key, int) override {
        return store_->Delete(nuvex::kPluginName, key);
    }
    bool ConfigChanged() override { return true; }

private:
    std::unique_ptr<nuvex::host::SettingsStore> store_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    nuvex::InstallQtLogSink();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    if (nuvex::IsUsageRequest(args)) {
        return nuvex::PrintAccountCliUsage(args, nuvex::ConnectorRegistry(), std::cout);
    }
    std::unique_ptr<nuvex::HostConfig> host;
    if (nuvex::BusHostConfig::HostOnBus()) {
        host = std::make_unique<nuvex::BusHostConfig>();
    } else {
        // Without a host its settings file is read directly; a file that does
        // not exist yet is not made here.
        const std::string path = nuvex::host::SettingsStore::DefaultPath();
        std::string error;
        std::unique_ptr<nuvex::host::SettingsStore> store;
        if (::access(path.c_str(), R_OK | W_OK) == 0) {
            store = nuvex::host::SettingsStore::Open(path, &error);
        } else {
            error = "no toolbar host is running on the session bus and " + path + " can't be opened";
        }
        if (!store) {
            std::fprintf(stderr, "nuvex-account: %s\n", error.c_str());
            return args.empty() || args[0] != "check" ? nuvex::kCliFailed : nuvex::kCliCheckError;
        }
        host = std::make_unique<StoreHostConfig>(std::move(store));
    }
    // A password typed on a terminal is read here, unseen, and handed on as
    // the input; the tool applies its checks to it as to any other.
    std::istringstream typed;
    std::istream* in = &std::cin;
    if (std::find(args.begin(), args.end(), "--password-stdin") != args.end() && ::isatty(STDIN_FILENO)) {
        EchoOff quiet;
        typed.str(TypedLine());
        in = &typed;
    }
    return nuvex::RunAccountCli(args, *host, nuvex::ConnectorRegistry(), *in, std::cout, std::cerr);
}
