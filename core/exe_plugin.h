#pragma once
// The plug-in process: the command-line switches, the run mutex, the bus
// server, the main loop with its stop, shutdown and refresh events and the
// disabled checks. The mail controller derives from it and overrides the
// virtuals; CreateMainForm and CreatePluginObj play the class references.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

class QEventLoop;
class QTimer;

namespace nuvex {

class BusHostConfig;
class NamedEvent;
class TMainForm;
class TPluginObj;
struct FrameCalls;
class TPluginFactory;

enum class RunSwitch { RegServer, UnregServer, ManualUpdate, Start };
// Upper-cases the first argument and strips every leading "-" and "/".
RunSwitch ParseRunSwitch(const QString& firstArg);

class TExePlugin : public QObject {
    Q_OBJECT
public:
    TExePlugin();
    ~TExePlugin() override;

    // Runs the process for the given arguments (without the program name) and
    // answers the exit code.
    int Run(const QStringList& args);

    virtual void Start();
    virtual void MainLoop();
    virtual void Finish();
    virtual void Registered(bool registering);
    virtual void ExecCommand(const QString& command);
    virtual void RefreshConfig();
    // A refresh the host asked for: may be joined with others that follow closely.
    virtual void RequestRefresh() { RefreshConfig(); }
    virtual void ManualUpdate();

    // The main-window and automation-object classes of this plug-in.
    virtual std::unique_ptr<TMainForm> CreateMainForm();
    virtual TPluginObj* CreatePluginObj(QObject* parent);
    // What the process's bus objects ask of it.
    FrameCalls ObjectCalls();

    // The host interface, made when none is held and the host is on the bus;
    // null when the host cannot be reached.
    BusHostConfig* GetHost();
    // Companion of GetHost: after a failed host call drop the interface and
    // make a fresh one. Answers ok.
    bool CheckHost(bool ok);
    // A host configuration that lives as long as the process, for code that
    // keeps a HostConfig& (the account list, worker threads). Its calls fail,
    // and callers keep their defaults, while the host is away.
    BusHostConfig& HostSettings();

    bool Running() const { return running_; }
    // Clearing the flag ends the main loop (and calls StopRequested first).
    void SetRunning(bool running);

    TMainForm* MainForm() const { return mainForm_.get(); }

    // The plug-in's DISABLED value in the registry.
    static bool IsDisabled();
    // Disabled, and still disabled a second later (blocks for that second).
    static bool DisabledTwice();

    // Called by the plug-in's own periodic timer: the disabled check rides on
    // that wake-up (once 15 s have passed) instead of waking the process by
    // itself; its own timer fires only while no heartbeat comes.
    void Heartbeat();

protected:
    // Every stop of the main loop (stop events, DISABLED, a signal, the
    // host's Deactivate) calls this first; it must return at once.
    virtual void StopRequested() {}
    // After the main loop, before the bus name and the run mutex are given
    // back: the plug-in's own work must have ended by then.
    virtual void StopWork() {}
    // The pause after the run mutex is released, before the process ends.
    virtual int ExitPauseMs() const { return 1000; }

    std::unique_ptr<BusHostConfig> host_;
    std::unique_ptr<BusHostConfig> settings_;
    std::unique_ptr<TMainForm> mainForm_;

private:
    int RunServer();
    void StartEventWatcher();
    void StopEventWatcher();
    void OnStopSignalled();
    void OnRefreshSignalled();
    void OnDisabledTimer();

    std::atomic<bool> running_{false};
    bool disabledStop_ = false;
    std::unique_ptr<TPluginFactory> factory_;
    std::unique_ptr<NamedEvent> stopEvent_;
    std::unique_ptr<NamedEvent> shutdownEvent_;
    std::unique_ptr<NamedEvent> refreshEvent_;
    // One blocked thread per event: idle costs no wake-up at all.
    std::vector<std::thread> watchers_;
    QTimer* disabledTimer_ = nullptr;
    QElapsedTimer disabledStamp_;
    QEventLoop* loop_ = nullptr;
};

} // namespace nuvex
