#pragma once
// The plug-in's side of the bus contract. TPluginAdaptor is what the bus sees
// of one automation object: the adaptor generated from
// contract/org.brannock.ITB4Plugin.xml calls these methods, and each hands over
// to the object. Every method answers; an exception inside the object is
// logged and the outputs keep their defaults, as a failed call would leave them.
#include <QByteArray>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QMap>
#include <QObject>
#include <QString>

class QDBusServiceWatcher;

namespace nuvex {

class TPluginObj;

class TPluginAdaptor : public QObject {
    Q_OBJECT
public:
    // Lives as a child of the object, so it goes when the object goes.
    explicit TPluginAdaptor(TPluginObj* object);

    QString GetPluginName();
    void SetContext(const QString& value);
    int GetContextKind();
    int GetButtonInfo(int index, int& style, QString& name, QString& caption, QString& description,
                      QByteArray& icon, QString& menuText, QString& hint, QByteArray& bitmap, int& visible);
    QString GetSettingsPages(QByteArray& bitmap);
    QString QueryText(const QString& key, const QString& param);
    int QueryNum(const QString& key, int index);
    QString GetHelpURL();
    QString GetAuxText1();
    QString GetAuxText2();
    void ButtonClick(const QString& button);
    void ExecCommand(int value, const QString& command);
    short GetFlags();
    QString GetConfigText();
    void Connect();
    void Activate();
    void Deactivate();
    void Refresh();

private:
    TPluginObj* object_;
};

// "/Factory": makes one automation object per call and answers its path. The
// objects of a caller that leaves the bus are dropped; the process itself goes
// on until it is told to stop.
class TPluginFactory : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    using Maker = std::function<TPluginObj*(QObject* parent)>;
    explicit TPluginFactory(Maker maker, QObject* parent = nullptr);
    ~TPluginFactory() override;

    bool Register();   // object "/Factory" and the service name
    void Unregister(); // revokes the name and every object

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
