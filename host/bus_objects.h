#pragma once
// The host's two bus objects: "/Server" (ITB4Server, called by plug-ins) and
// "/Control" (called by "brannock ctl"). Each exports the adaptor generated
// from its interface in contract/; the methods here have the adaptor's shape
// (the first out-argument returned, the others by reference).
#include "lib/settings_store.h"

#include <QDBusContext>
#include <QDBusPendingCall>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace nuvex::host {

class ToolbarHost;
struct PluginSlot;

// How stored texts read as values: "1", "true", "yes", "on" (any case) or a
// non-zero integer are true; "0", "false", "no", "off" and empty are false;
// anything else is no bool at all.
std::optional<bool> ParseBool(const QString& text);
// A 32-bit integer, or 0 for a text that is none.
int TextToInt(const std::string& text);

// Serves contract/org.brannock.ITB4Server.xml through its generated adaptor.
// A call the host cannot carry out (a store that fails, a bad request) gets an
// error reply: the caller then keeps what it had, which an empty answer would
// not let it do.
class ServerObject : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    explicit ServerObject(ToolbarHost& host, QObject* parent = nullptr);

    bool ReadCfgBool(const QString& plugin, const QString& key, int flag);
    int ReadCfgInt(const QString& plugin, const QString& key, int flag);
    QString ReadCfgStr(const QString& plugin, const QString& key, int flag);
    void WriteCfgBool(const QString& plugin, const QString& key, bool value, int flag);
    void WriteCfgInt(const QString& plugin, const QString& key, int value, int flag);
    void WriteCfgStr(const QString& plugin, const QString& key, const QString& value, int flag);
    void DeleteCfgValue(const QString& plugin, const QString& key, int flag);
    QStringList ReadCfgBatch(const QString& plugin, const QStringList& keys, int flag);
    void WriteCfgBatch(const QString& plugin, const QStringList& keys, const QStringList& kinds,
                       const QStringList& values, int flag);
    void ConfigChanged(const QString& plugin);
    void SetButtonCaption(const QString& plugin, const QString& context, const QString& button,
                          const QString& text);
    void SetButtonVisible(const QString& plugin, const QString& context, const QString& button, bool visible);
    void SetButtonMenu(const QString& plugin, const QString& unused, const QString& button,
                       const QString& menuText);
    void ButtonCommand(const QString& plugin, const QString& context, const QString& command,
                       const QString& target, const QString& value);
    void SetButtonHint(const QString& plugin, const QString& context, const QString& button,
                       const QString& text);
    void NavigateWindow(const QString& context, const QString& url, int flags);
    int ShowSettings(const QString& plugin, int a1, int a2, int a3, int a4, int a5, int a6, int a7);

private:
    // The stored value; nullopt for "no value" and for a failed read, which
    // has already been answered with an error reply.
    std::optional<StoredValue> Read(const QString& plugin, const QString& key, bool* failed);
    PluginSlot* ButtonSlot(const QString& plugin);
    ToolbarHost& host_;
};

// Serves contract/org.brannock.Control.xml ("brannock ctl").
class ControlObject : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    explicit ControlObject(ToolbarHost& host, QObject* parent = nullptr);

    QString Get(const QString& plugin, const QString& key, QString& type);
    void Set(const QString& plugin, const QString& key, const QString& type, const QString& value);
    void Delete(const QString& plugin, const QString& key);
    QString Button(const QString& plugin);
    void Click(const QString& plugin, const QString& button);
    void Command(const QString& plugin, const QString& command);
    QString QueryText(const QString& plugin, const QString& key, const QString& param);
    int QueryNum(const QString& plugin, const QString& key, int index);
    void Stop();
    void Shutdown(const QString& plugin);
    void Refresh(const QString& plugin);
    void Activate(const QString& plugin);
    void Deactivate(const QString& plugin);
    void SetDisabled(const QString& plugin, bool disabled);
    // The pages the settings dialog would show for every running plug-in.
    QString SettingsPages();

private:
    PluginSlot* UpSlot(const QString& plugin);
    // Answers the pending ctl call with the plug-in's reply once it comes.
    void ReplyWhenDone(const QDBusPendingCall& pending);
    ToolbarHost& host_;
};

} // namespace nuvex::host
