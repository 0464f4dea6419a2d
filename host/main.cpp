#include "contract/qt_log_sink.h"
#include "host/ctl.h"
#include "host/toolbar_host.h"
#include "host/toolbar_window.h"
#include "lib/settings_store.h"
#ifdef NUVEX_SETTINGS_DIALOG
#include "host/settings_module.h"
#endif

#include <QApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};

void OnSignal(int) {
    char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalFds[0], &c, 1);
}

void Usage() {
    std::fputs("usage: brannock [--headless]\n"
               "       brannock ctl VERB ...   (brannock ctl for the verbs)\n",
               stderr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "ctl") == 0) {
        // A script reads ctl's stderr: one line per error and nothing else,
        // so the toolkit's own diagnostics stay out of it.
        if (qEnvironmentVariableIsEmpty("BRANNOCK_DEBUG")) {
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        }
        QCoreApplication app(argc, argv);
        QStringList args = QCoreApplication::arguments().mid(2);
        return nuvex::host::RunCtl(args);
    }
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "brannock: unknown argument %s\n", argv[i]);
            Usage();
            return 2;
        }
    }
    if (!headless && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("brannock: no display; running headless\n", stderr);
        headless = true;
    }
    if (headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else {
#ifdef NUVEX_SETTINGS_DIALOG
        nuvex::host::PrepareWebEngine();
#endif
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brannock"));
    nuvex::InstallQtLogSink();

    std::string error;
    auto store = nuvex::host::SettingsStore::Open(nuvex::host::SettingsStore::DefaultPath(), &error);
    if (!store) {
        std::fprintf(stderr, "brannock: cannot open the settings store %s: %s\n",
                     nuvex::host::SettingsStore::DefaultPath().c_str(), error.c_str());
        return 1;
    }
    nuvex::host::ToolbarHost host(headless, std::move(store));
    std::unique_ptr<nuvex::host::ToolbarWindow> window;
    if (!headless) {
        window = std::make_unique<nuvex::host::ToolbarWindow>(host);
        window->show();
        host.SetContextId(QString::number(window->winId()));
    }
    QString why;
    if (!host.Start(&why)) {
        std::fprintf(stderr, "brannock: %s\n", qPrintable(why));
        return 1;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) == 0) {
        auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::exit(0); });
        std::signal(SIGTERM, OnSignal);
        std::signal(SIGINT, OnSignal);
    }
    // The host serves one session: when its bus goes away there is no one
    // left to serve, and the settings file should not stay open.
    QDBusConnection::sessionBus().connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                                          QStringLiteral("org.freedesktop.DBus.Local"),
                                          QStringLiteral("Disconnected"), &host, SLOT(BusLost()));
    int code = app.exec();
    // A toolbar that closes takes its plug-ins with it.
    host.Finish(true);
    return code;
}
