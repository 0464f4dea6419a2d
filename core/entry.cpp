#include "core/entry.h"

#include "contract/qt_log_sink.h"
#include "core/exe_plugin.h"
#include "lib/handoff_wire.h"
#include "lib/log.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace nuvex {

EntryAction ClassifyEntry(const QString& firstArg) {
    if (firstArg.contains(QLatin1String("sendto:"))) {
        return EntryAction::SendTo;
    }
    if (firstArg.contains(QLatin1String("mailto"))) {
        return EntryAction::MailTo;
    }
    if (firstArg.contains(QLatin1String("readmail"))) {
        return EntryAction::ReadMail;
    }
    return EntryAction::Run;
}

namespace {

// The running copy handles a hand-off at once; this only bounds a copy that hangs.
constexpr int kHandOffReplyMs = 30000;
constexpr int kReadyReplyMs = 5000;

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool StartHostProgram() {
    const std::string host = handoff::FindHostProgram(handoff::OwnFolder());
    if (host.empty()) {
        log::Warning("handoff", "brannock was found neither beside nuvex nor on PATH");
        return false;
    }
    return handoff::StartDetached(host, {});
}

} // namespace

int ForwardHandOff(HandOffKind kind, const QStringList& args) {
    std::vector<std::string> words;
    for (const QString& a : args) {
        words.push_back(a.toLocal8Bit().toStdString());
    }
    return ForwardHandOff(kind, words);
}

int ForwardHandOff(HandOffKind kind, const std::vector<std::string>& words) {
    try {
        const std::string path = handoff::SocketPath();
        const handoff::ForwardTiming timing = handoff::TimingFromEnvironment();
        if (!handoff::ReceiverPresent(path)) {
            StartHostProgram();
            if (!handoff::WaitForReceiver(path, timing.polls, timing.intervalMs)) {
                log::Warning("handoff", "no running copy appeared at " + path + "; nothing was handed over");
                return 1;
            }
            Pause(timing.settleMs);
        }
        const std::optional<std::int32_t> ready = handoff::Ping(path, kReadyReplyMs);
        if (!ready || *ready < 0) {
            log::Warning("handoff", "the running copy is not ready; starting brannock again");
            StartHostProgram();
            Pause(timing.settleMs);
        }
        const std::string payload = handoff::JoinLines(handoff::CommandLineLines(words));
        if (!handoff::Call(path, static_cast<std::uint32_t>(kind), payload, kHandOffReplyMs)) {
            log::Warning("handoff", "the hand-off did not reach the running copy at " + path);
            return 1;
        }
        return 0;
    } catch (...) {
        log::Caught("handoff", "ForwardHandOff");
        return 1;
    }
}

int NuvexEntry(int argc, char** argv, const PluginMaker& makePlugin) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    // The words go on as the bytes they are: a file name that is not valid in
    // the locale's encoding must still name the same file.
    const std::vector<std::string> words =
        argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
    switch (ClassifyEntry(args.value(0))) {
    case EntryAction::SendTo:
        return ForwardHandOff(HandOffKind::SendTo, words);
    case EntryAction::MailTo:
        return ForwardHandOff(HandOffKind::MailTo, words);
    case EntryAction::ReadMail:
        return ForwardHandOff(HandOffKind::ReadMail, words);
    case EntryAction::Run:
        break;
    }
    // Started by the bus or a host without a display: run unseen rather than fail.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    InstallQtLogSink();
    QApplication::setApplicationName(QStringLiteral("nuvex"));
    QApplication::setQuitOnLastWindowClosed(false);
    std::unique_ptr<TExePlugin> plugin;
    try {
        plugin = makePlugin();
    } catch (...) {
        log::Caught("plugin", "making the plug-in");
        plugin.reset();
    }
    if (!plugin) {
        std::fprintf(stderr, "nuvex: the plug-in could not be made\n");
        return 1;
    }
    int code = plugin->Run(args);
    plugin.reset();
    return code;
}

} // namespace nuvex
