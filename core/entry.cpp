#include "core/entry.h"

#include "contract/qt_log_sink.h"
#include "core/exe_plugin.h"
#include "handoff/handoff_wire.h"
#include "lib/log.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
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

namespace {

// The lines this copy sends for its words; nullopt (logged) when a word holds
// a line break, which would split it into lines of the sender's choosing, or
// when a relative name cannot be made absolute. Send To names are made
// absolute here: the running copy's working folder is not this one.
std::optional<std::vector<std::string>> ForwardLines(HandOffKind kind,
                                                     const std::vector<std::string>& words) {
    for (const std::string& w : words) {
        if (!handoff::IsOneLine(w)) {
            log::Warning("handoff", "a name holds a line break; nothing was handed over");
            return std::nullopt;
        }
    }
    std::vector<std::string> lines = handoff::CommandLineLines(words);
    if (kind == HandOffKind::SendTo) {
        for (std::size_t i = 1; i < lines.size(); ++i) {
            std::optional<std::string> absolute = handoff::AbsolutePath(lines[i]);
            if (!absolute) {
                log::Warning("handoff", "the working folder is unknown, so " + lines[i] +
                                            " names no file; nothing was handed over");
                return std::nullopt;
            }
            lines[i] = std::move(*absolute);
        }
    }
    return lines;
}

} // namespace

int ForwardHandOff(HandOffKind kind, const std::vector<std::string>& words) {
    try {
        const std::optional<std::vector<std::string>> lines = ForwardLines(kind, words);
        if (!lines) {
            return 1;
        }
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
        const std::optional<std::int32_t> result = handoff::Call(path, static_cast<std::uint32_t>(kind),
                                                                 handoff::JoinLines(*lines), kHandOffReplyMs);
        if (!result) {
            log::Warning("handoff", "the hand-off did not reach the running copy at " + path);
            return 1;
        }
        if (*result == handoff::kDropped) {
            // The running copy's log says why (no account, nothing to send).
            log::Warning("handoff", "the running copy took nothing from this hand-off; nothing was sent");
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
