#pragma once
// brannock's toolbar host: serves ITB4Server and the control interface on the
// session bus, keeps the plug-in values, starts the plug-in process and drives
// its automation objects the way a toolbar does. It never blocks on a plug-in:
// every call to one is asynchronous, so a plug-in may call back into the host
// while it answers.
#include "contract/qt_log_sink.h"
#include "itb4plugin_proxy.h"
#include "lib/named_objects.h"
#include "lib/settings_store.h"

#include <QByteArray>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

class QDBusServiceWatcher;

namespace nuvex::host {

struct ButtonState {
    QString name; // as the plug-in gave it in GetButtonInfo
    QString caption;
    QString hint;
    QString menuText;
    bool visible = false;
    QByteArray picture;        // BMP file bytes shown now
    QByteArray defaultPicture; // what "SET_BMP" with no picture returns to
};

struct PluginSlot {
    QString name; // upper case
    QString service;
    QString program;
    QString toolbarPath;
    QString settingsPath;
    bool up = false;
    bool starting = false;
    // Refreshes asked for while one is on its way merge into one more.
    bool refreshInFlight = false;
    bool refreshAgain = false;
    ButtonState buttons[2]; // the button and its separator
    std::unique_ptr<NamedEvent> shutdownEvent;
    std::unique_ptr<NamedEvent> refreshEvent;
    std::unique_ptr<ITB4PluginProxy> toolbarProxy;
    std::unique_ptr<ITB4PluginProxy> settingsProxy;
};

class ToolbarHost : public QObject {
    Q_OBJECT
public:
    ToolbarHost(bool headless, std::unique_ptr<SettingsStore> store, QObject* parent = nullptr);
    ~ToolbarHost() override;

    // The plug-ins the host serves, from the registry; Start runs it, and a
    // second run changes nothing. Tests call it to have slots without a bus.
    void LoadSlots();

    // Takes the bus name, exports the objects, opens the named events and starts the plug-ins.
    bool Start(QString* error);
    // Ends the host; with stopPlugins the plug-ins are told to stop too.
    void Finish(bool stopPlugins);

    void SetContextId(const QString& id) { contextId_ = id; }
    const std::vector<std::unique_ptr<PluginSlot>>& Slots() const { return slots_; }
    PluginSlot* FindSlot(const QString& plugin);
    SettingsStore& Store() { return *store_; }

    // What the toolbar does on user input.
    void ClickButton(const QString& plugin);
    void RunMenuCommand(const QString& plugin, const QString& command);
    void Activate(const QString& plugin);
    void Deactivate(const QString& plugin);
    void RefreshPlugin(const QString& plugin);

    // The plug-in's toolbar object. Calls through it never block: each
    // answers a pending call; before the plug-in is attached they fail at once.
    ITB4PluginProxy& Toolbar(PluginSlot& slot);
    // The plug-in's object for the settings dialog (context "SETTINGS").
    ITB4PluginProxy& SettingsObject(PluginSlot& slot) { return ObjectProxy(slot, true); }
    using ReplyFn = std::function<void(const QDBusMessage& reply)>;
    // Runs done with the reply (or the error) once the call has finished.
    void WhenDone(const QDBusPendingCall& pending, ReplyFn done);

    // ITB4Server's button side; false with a reason for a bad request.
    int ResolveButton(const PluginSlot& slot, const QString& button) const;
    void UpdateButton(PluginSlot& slot, int index, const std::function<void(ButtonState&)>& change);
    bool SetPictureFromHex(PluginSlot& slot, int index, const QString& hex, QString* error);
    bool Navigate(const QString& url, const QString& where, QString* error);
    void ShowSettings(const QString& plugin);
    // Who opens the settings dialog; none when headless or built without it.
    // ready, when given, is asked first and may refuse with a reason for the user.
    void SetSettingsOpener(std::function<void(const QString& plugin)> open,
                           std::function<bool(QString* why)> ready = {}) {
        openSettings_ = std::move(open);
        settingsReady_ = std::move(ready);
    }
    void ConfigChanged(const QString& plugin);

    // Named events of the toolbar family.
    bool SignalStop();
    bool SignalShutdown(const QString& plugin);
    bool SignalRefresh(const QString& plugin);

    // Text for "ctl button": one "name: value" line each.
    QString ButtonReport(const PluginSlot& slot) const;

public Q_SLOTS:
    // The session bus went away: the host ends.
    void BusLost();

Q_SIGNALS:
    void ButtonsChanged(const QString& plugin);
    void Notice(const QString& text);

private:
    void EnsureRunning(PluginSlot& slot);
    bool EnvironmentMatters() const;
    bool StartByActivation(PluginSlot& slot);
    bool StartPlainly(PluginSlot& slot, QString* error);
    ITB4PluginProxy& ObjectProxy(PluginSlot& slot, bool settings);
    void WhenSlotDone(const QString& name, const QDBusPendingCall& pending,
                      std::function<void(PluginSlot&, const QDBusMessage&)> done);
    void Attach(PluginSlot& slot);
    void OnToolbarObject(PluginSlot& slot, const QString& path);
    void OnSettingsObject(PluginSlot& slot, const QString& path);
    void SeedDefaults(PluginSlot& slot, const QDBusMessage& reply);
    void ConnectObjects(PluginSlot& slot);
    void AskButtonInfo(PluginSlot& slot);
    void ApplyButtonInfo(PluginSlot& slot, int index, const QDBusMessage& reply);
    void PluginGone(const QString& service);
    void Print(const QString& line);

    bool headless_;
    std::unique_ptr<SettingsStore> store_;
    std::vector<std::unique_ptr<PluginSlot>> slots_;
    QString contextId_;
    QDBusServiceWatcher* watcher_ = nullptr;
    QObject* server_ = nullptr;
    QObject* control_ = nullptr;
    std::unique_ptr<NamedEvent> stop_;
    std::unique_ptr<NamedEvent> stopOpt_;
    std::function<void(const QString&)> openSettings_;
    std::function<bool(QString*)> settingsReady_;
};

// Quotes a text for one output line: backslash, quote and line ends escaped.
QString QuoteForLine(const QString& text);

} // namespace nuvex::host
