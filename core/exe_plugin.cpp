#include "core/exe_plugin.h"

#include "contract/event_names.h"
#include "core/bus_host_config.h"
#include "core/main_form.h"
#include "core/plugin_adaptor.h"
#include "core/plugin_obj.h"
#include "core/plugin_process.h"
#include "core/registration.h"
#include "lib/log.h"
#include "lib/named_objects.h"
#include "lib/registry.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace nuvex {
namespace {

constexpr int kDisabledCheckMs = 15000;
constexpr int kDisabledRecheckMs = 1000;
// A heartbeat this close to the 15 s mark does the check: heartbeats come
// every few seconds, and waiting for the next one would overshoot.
constexpr int kHeartbeatSlackMs = 3000;

// SIGTERM and SIGINT end the loop like the end of the session does, so the
// run mutex and the bus name are given back in order.
int g_signalFds[2] = {-1, -1};

void OnSignal(int) {
    char c = 1;
    if (g_signalFds[0] >= 0) {
        [[maybe_unused]] auto n = ::write(g_signalFds[0], &c, 1);
    }
}

} // namespace

RunSwitch ParseRunSwitch(const QString& firstArg) {
    QString s = firstArg.toUpper();
    qsizetype i = 0;
    while (i < s.size() && (s[i] == u'-' || s[i] == u'/')) {
        ++i;
    }
    s = s.mid(i);
    if (s == QLatin1String("REGSERVER")) {
        return RunSwitch::RegServer;
    }
    if (s == QLatin1String("UNREGSERVER")) {
        return RunSwitch::UnregServer;
    }
    if (s == QLatin1String("MANUALUPDATE")) {
        return RunSwitch::ManualUpdate;
    }
    return RunSwitch::Start;
}

TExePlugin::TExePlugin() = default;

TExePlugin::~TExePlugin() {
    StopEventWatcher();
}

int TExePlugin::Run(const QStringList& args) {
    const RunSwitch sw = ParseRunSwitch(args.value(0));
    switch (sw) {
    case RunSwitch::RegServer:
    case RunSwitch::UnregServer: {
        const bool registering = sw == RunSwitch::RegServer;
        QString error;
        bool ok = registering ? RegisterServer(&error) : UnregisterServer(&error);
        if (!ok) {
            std::fprintf(stderr, "nuvex: %s\n", qPrintable(error));
        }
        log::RunIsolated("plugin", "registration hook", [&] { Registered(registering); });
        return ok ? 0 : 1;
    }
    case RunSwitch::ManualUpdate:
        log::RunIsolated("plugin", "manual update", [&] { ManualUpdate(); });
        return 0;
    case RunSwitch::Start:
        break;
    }
    return RunServer();
}

int TExePlugin::RunServer() {
    if (DisabledTwice()) {
        return 0;
    }
    std::unique_ptr<NamedMutex> mutex = OpenOrCreateMutex(names::RunMutex(PluginName().toStdString()));
    bool owned = mutex && mutex->Lock(0);
    if (!mutex) {
        std::fprintf(stderr, "nuvex: the run mutex cannot be made; going on without it\n");
    } else if (!owned && SingleInstance()) {
        return 0; // another copy runs; it alone talks to the host
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) == 0) {
        auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char buf[16];
            [[maybe_unused]] auto n = ::read(g_signalFds[1], buf, sizeof buf);
            SetRunning(false);
        });
        std::signal(SIGTERM, OnSignal);
        std::signal(SIGINT, OnSignal);
    }

    int code = 0;
    factory_ = std::make_unique<TPluginFactory>([this](QObject* parent) { return CreatePluginObj(parent); });
    bool served = false;
    log::RunIsolated("plugin", "bus registration", [&] { served = factory_->Register(); });
    if (!served) {
        code = 1;
    }
    log::RunIsolated("plugin", "events", [] { QCoreApplication::processEvents(); });
    if (served) {
        log::RunIsolated("plugin", "start", [&] { Start(); });
        log::RunIsolated("plugin", "main loop", [&] {
            if (running_) {
                MainLoop();
            }
        });
    }
    // The plug-in's work ends while this process still holds the bus name
    // and the run mutex: a copy started now must not run beside it.
    log::RunIsolated("plugin", "stopping the work", [&] { StopWork(); });
    // Revoke the bus objects before the frame goes away: no call may reach a
    // half-finished process.
    log::RunIsolated("plugin", "bus unregistration", [&] {
        factory_->Unregister();
        factory_.reset();
    });
    log::RunIsolated("plugin", "finish", [&] { Finish(); });
    log::RunIsolated("plugin", "run mutex", [&] {
        if (mutex && owned) {
            mutex->Unlock();
        }
        mutex.reset();
    });
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::this_thread::sleep_for(std::chrono::milliseconds(ExitPauseMs()));
    FreeButtonBitmap();
    return code;
}

void TExePlugin::Start() {
    running_ = false;
    LoadButtonBitmap();
    mainForm_ = CreateMainForm();
    running_ = true;
}

void TExePlugin::MainLoop() {
    if (DisabledTwice()) {
        return;
    }
    const QString& name = PluginName();
    stopEvent_ = OpenOrCreateEvent(std::string(names::kStopEvent), true, false);
    shutdownEvent_ = OpenOrCreateEvent(names::ShutdownEvent(name.toStdString()), false, false);
    refreshEvent_ = OpenOrCreateEvent(names::RefreshEvent(name.toStdString()), false, false);
    if (!stopEvent_ || !shutdownEvent_ || !refreshEvent_) {
        log::Warning("plugin", "some stop events cannot be opened; the process stops only on its own");
    }

    disabledStop_ = false;
    QTimer timer;
    disabledTimer_ = &timer;
    timer.setInterval(kDisabledCheckMs);
    connect(&timer, &QTimer::timeout, this, &TExePlugin::OnDisabledTimer);
    timer.start();
    disabledStamp_.start();
    StartEventWatcher();

    QEventLoop loop;
    loop_ = &loop;
    if (running_) {
        loop.exec();
    }
    loop_ = nullptr;
    timer.stop();
    disabledTimer_ = nullptr;
    StopEventWatcher();

    if (!disabledStop_) {
        log::RunIsolated("plugin", "disconnect", [] { SetPluginConnected(false); });
        log::RunIsolated("plugin", "tray", [&] {
            if (mainForm_) {
                mainForm_->SetTrayVisible(false);
            }
        });
        log::RunIsolated("plugin", "events", [] { QCoreApplication::processEvents(); });
        log::RunIsolated("plugin", "shutdown", [&] {
            if (mainForm_) {
                mainForm_->Shutdown();
            }
        });
    }
    stopEvent_.reset();
    shutdownEvent_.reset();
    refreshEvent_.reset();
}

void TExePlugin::Finish() {
    if (mainForm_) {
        mainForm_->SetTrayVisible(false);
    }
}

void TExePlugin::Registered(bool) {}
void TExePlugin::ExecCommand(const QString&) {}
void TExePlugin::RefreshConfig() {}
void TExePlugin::ManualUpdate() {}

std::unique_ptr<TMainForm> TExePlugin::CreateMainForm() {
    return std::make_unique<TMainForm>([this](const QString& command) { ExecCommand(command); });
}

TPluginObj* TExePlugin::CreatePluginObj(QObject* parent) {
    return new TPluginObj(ObjectCalls(), parent);
}

FrameCalls TExePlugin::ObjectCalls() {
    return {[this] { RequestRefresh(); }, [this] { return mainForm_ && mainForm_->TrayShown(); }};
}

BusHostConfig* TExePlugin::GetHost() {
    if (!host_) {
        if (!BusHostConfig::HostOnBus()) {
            return nullptr;
        }
        host_ = std::make_unique<BusHostConfig>([] { return PluginConnected(); }, PluginName());
        // Tells the host that this plug-in is alive. Nothing waits for the
        // answer: a host that hangs must not hold the caller a second time.
        host_->Announce();
    }
    return host_.get();
}

BusHostConfig& TExePlugin::HostSettings() {
    if (!settings_) {
        settings_ = std::make_unique<BusHostConfig>([] { return PluginConnected(); }, PluginName());
    }
    return *settings_;
}

bool TExePlugin::CheckHost(bool ok) {
    if (!ok) {
        host_.reset();
        GetHost();
    }
    return ok;
}

void TExePlugin::SetRunning(bool running) {
    if (!running) {
        StopRequested();
    }
    running_ = running;
    if (!running && loop_) {
        loop_->quit();
    }
}

bool TExePlugin::IsDisabled() {
    const std::string key = names::PluginKey(PluginName().toStdString());
    return ReadRegString(ProcessRegistry(), RegRoot::HKLM, key, names::kDisabledValue, "") == "1";
}

bool TExePlugin::DisabledTwice() {
    if (!IsDisabled()) {
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kDisabledRecheckMs));
    return IsDisabled();
}

void TExePlugin::StartEventWatcher() {
    // Each waiter blocks without a time-out until its event is set or
    // StopEventWatcher interrupts it.
    auto watch = [this](NamedEvent* event, bool repeat, void (TExePlugin::*handler)()) {
        if (!event) {
            return;
        }
        watchers_.emplace_back([this, event, repeat, handler] {
            while (event->Wait(-1)) {
                QMetaObject::invokeMethod(
                    this, [this, handler] { (this->*handler)(); }, Qt::QueuedConnection);
                if (!repeat) {
                    break;
                }
            }
        });
    };
    watch(stopEvent_.get(), false, &TExePlugin::OnStopSignalled);
    watch(shutdownEvent_.get(), false, &TExePlugin::OnStopSignalled);
    watch(refreshEvent_.get(), true, &TExePlugin::OnRefreshSignalled);
}

void TExePlugin::StopEventWatcher() {
    for (NamedEvent* event : {stopEvent_.get(), shutdownEvent_.get(), refreshEvent_.get()}) {
        if (event) {
            event->Interrupt();
        }
    }
    for (std::thread& t : watchers_) {
        if (t.joinable()) {
            t.join();
        }
    }
    watchers_.clear();
}

void TExePlugin::OnStopSignalled() {
    SetRunning(false);
}

void TExePlugin::OnRefreshSignalled() {
    // A refresh of the settings restarts the 15 seconds before the next
    // disabled check.
    if (disabledTimer_) {
        disabledTimer_->start();
        disabledStamp_.start();
    }
}

void TExePlugin::Heartbeat() {
    if (!disabledTimer_) {
        return;
    }
    if (disabledStamp_.elapsed() >= kDisabledCheckMs - kHeartbeatSlackMs) {
        OnDisabledTimer();
    }
    // Pushed past the next heartbeat each time, the timer stays silent while
    // they come.
    disabledTimer_->start(static_cast<int>(std::max<qint64>(kDisabledCheckMs - disabledStamp_.elapsed(), 0) +
                                           kHeartbeatSlackMs));
}

void TExePlugin::OnDisabledTimer() {
    disabledStamp_.start();
    if (disabledTimer_) {
        disabledTimer_->start(kDisabledCheckMs);
    }
    // Nobody can reach a plug-in whose bus has gone: that ends it like a stop.
    // Looked at here rather than by a polling thread, so idle stays quiet.
    if (!QDBusConnection::sessionBus().isConnected()) {
        OnStopSignalled();
        return;
    }
    if (!IsDisabled()) {
        return;
    }
    QTimer::singleShot(kDisabledRecheckMs, this, [this] {
        if (running_ && IsDisabled()) {
            disabledStop_ = true;
            SetRunning(false);
        }
    });
}

} // namespace nuvex
