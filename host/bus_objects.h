#pragma once
// The host's two bus objects: "/Server" (ITB4Server, called by plug-ins) and
// "/Control" (called by "brannock ctl").
#include <QDBusContext>
#include <QObject>
#include <QString>

namespace nuvex::host {

class ToolbarHost;
struct PluginSlot;

class ServerObject : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.brannock.ITB4Server")
public:
    explicit ServerObject(ToolbarHost& host, QObject* parent = nullptr) : QObject(parent), host_(host) {}

public Q_SLOTS:
    void ReadCfgBool(const QString& plugin, const QString& key, int flag, bool& value);
    void ReadCfgInt(const QString& plugin, const QString& key, int flag, int& value);
    void ReadCfgStr(const QString& plugin, const QString& key, int flag, QString& value);
    void WriteCfgBool(const QString& plugin, const QString& key, bool value, int flag);
    void WriteCfgInt(const QString& plugin, const QString& key, int value, int flag);
    void WriteCfgStr(const QString& plugin, const QString& key, const QString& value, int flag);
    void DeleteCfgValue(const QString& plugin, const QString& key, int flag);
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
    void ShowSettings(const QString& plugin, int a1, int a2, int a3, int a4, int a5, int a6, int a7,
                      int& result);

private:
    PluginSlot* ButtonSlot(const QString& plugin);
    ToolbarHost& host_;
};

class ControlObject : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.brannock.Control")
public:
    explicit ControlObject(ToolbarHost& host, QObject* parent = nullptr) : QObject(parent), host_(host) {}

public Q_SLOTS:
    void Get(const QString& plugin, const QString& key, QString& value, QString& type);
    void Set(const QString& plugin, const QString& key, const QString& type, const QString& value);
    void Delete(const QString& plugin, const QString& key);
    void Button(const QString& plugin, QString& report);
    void Click(const QString& plugin, const QString& button);
    void Command(const QString& plugin, const QString& command);
    void QueryText(const QString& plugin, const QString& key, const QString& param, QString& text);
    void QueryNum(const QString& plugin, const QString& key, int index, int& number);
    void Stop();
    void Shutdown(const QString& plugin);
    void Refresh(const QString& plugin);
    void Activate(const QString& plugin);
    void Deactivate(const QString& plugin);
    void SetDisabled(const QString& plugin, bool disabled);

private:
    PluginSlot* UpSlot(const QString& plugin);
    void Forward(const QString& plugin, const QString& method, const QList<QVariant>& args);
    ToolbarHost& host_;
};

} // namespace nuvex::host
