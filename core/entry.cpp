#include "core/entry.h"

#include "contract/qt_log_sink.h"
#include "core/exe_plugin.h"
#include "lib/log.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

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

int ForwardHandOff(HandOffKind kind, const QStringList&) {
    std::fprintf(stderr, "nuvex: hand-offs to the running program are not available yet (kind %d)\n",
                 static_cast<int>(kind));
    return 2;
}

int NuvexEntry(int argc, char** argv, const PluginMaker& makePlugin) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    switch (ClassifyEntry(args.value(0))) {
    case EntryAction::SendTo:
        return ForwardHandOff(HandOffKind::SendTo, args);
    case EntryAction::MailTo:
        return ForwardHandOff(HandOffKind::MailTo, args);
    case EntryAction::ReadMail:
        return ForwardHandOff(HandOffKind::ReadMail, args);
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
