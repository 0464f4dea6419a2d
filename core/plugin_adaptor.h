#pragma once
// ITB4Plugin on the bus: one adaptor per automation object. Every method
// answers; an exception inside the object is swallowed and the outputs keep
// their defaults, as a failed call would leave them.
#include <QByteArray>
#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QMap>
#include <QObject>
#include <QString>
#include <functional>

class QDBusServiceWatcher;

namespace nuvex {

class TPluginObj;

class TPluginAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.brannock.ITB4Plugin")
public:
    explicit TPluginAdaptor(TPluginObj* object);

public Q_SLOTS:
    void GetPluginName(QString& name);
    void SetContext(const QString& value);
    void GetContextKind(int& kind);
    void GetButtonInfo(int index, int& id, int& style, QString& name, QString& caption, QString& description,
                       QByteArray& icon, QString& menuText, QString& hint, QByteArray& bitmap, int& visible);
    void GetSettingsPages(QString& pages, QByteArray& bitmap);
    void QueryText(const QString& key, const QString& param, QString& text);
    void QueryNum(const QString& key, int index, int& number);
    void GetHelpURL(QString& url);
    void GetAuxText1(QString& text);
    void GetAuxText2(QString& text);
    void ButtonClick(const QString& button);
    void ExecCommand(int value, const QString& command);
    void GetFlags(qint16& flags);
    void GetConfigText(QString& text);
    void Connect();
    void Activate();
    void Deactivate();
    void Refresh();

private:
    void Guard(const std::function<void()>& step);
    TPluginObj* object_;
};

// "/Factory": makes one automation object per call and answers its path. The
// objects of a caller that leaves the bus are dropped; the process itself goes
// on until it is told to stop.
class TPluginFactory : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.brannock.PluginFactory")
public:
    using Maker = std::function<TPluginObj*(QObject* parent)>;
    explicit TPluginFactory(Maker maker, QObject* parent = nullptr);
    ~TPluginFactory() override;

    bool Register();   // object "/Factory" and the service name
    void Unregister(); // revokes the name and every object

public Q_SLOTS:
    QDBusObjectPath CreatePlugin();

private:
    void DropObjectsOf(const QString& peer);

    Maker maker_;
    int next_ = 1;
    QMap<QString, QList<QString>> pathsByPeer_;
    QMap<QString, TPluginObj*> objects_;
    QDBusServiceWatcher* watcher_ = nullptr;
    bool registered_ = false;
};

} // namespace nuvex
