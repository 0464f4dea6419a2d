#include "core/plugin_adaptor.h"

#include "core/dbus_contract.h"
#include "core/plugin_obj.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <cstdio>

namespace nuvex {

TPluginAdaptor::TPluginAdaptor(TPluginObj* object) : QDBusAbstractAdaptor(object), object_(object) {}

void TPluginAdaptor::Guard(const std::function<void()>& step) {
    try {
        step();
    } catch (...) {
    }
}

void TPluginAdaptor::GetPluginName(QString& name) {
    Guard([&] { name = object_->GetPluginName(); });
}

void TPluginAdaptor::SetContext(const QString& value) {
    Guard([&] { object_->SetContext(value); });
}

void TPluginAdaptor::GetContextKind(int& kind) {
    kind = 0;
    Guard([&] { kind = object_->GetContextKind(); });
}

void TPluginAdaptor::GetButtonInfo(int index, int& id, int& style, QString& name, QString& caption,
                                   QString& description, QByteArray& icon, QString& menuText, QString& hint,
                                   QByteArray& bitmap, int& visible) {
    ButtonInfo info;
    Guard([&] { info = object_->GetButtonInfo(index); });
    id = info.id;
    style = info.style;
    name = info.name;
    caption = info.caption;
    description = info.description;
    icon = info.icon;
    menuText = info.menuText;
    hint = info.hint;
    bitmap = info.bitmap;
    visible = info.visible;
}

void TPluginAdaptor::GetSettingsPages(QString& pages, QByteArray& bitmap) {
    Guard([&] { object_->GetSettingsPages(pages, bitmap); });
}

void TPluginAdaptor::QueryText(const QString& key, const QString& param, QString& text) {
    Guard([&] { text = object_->QueryText(key, param); });
}

void TPluginAdaptor::QueryNum(const QString& key, int index, int& number) {
    number = 0;
    Guard([&] { number = object_->QueryNum(key, index); });
}

void TPluginAdaptor::GetHelpURL(QString& url) {
    Guard([&] { url = object_->GetHelpURL(); });
}

void TPluginAdaptor::GetAuxText1(QString& text) {
    Guard([&] { text = object_->GetAuxText1(); });
}

void TPluginAdaptor::GetAuxText2(QString& text) {
    Guard([&] { text = object_->GetAuxText2(); });
}

void TPluginAdaptor::ButtonClick(const QString& button) {
    Guard([&] { object_->ButtonClick(button); });
}

void TPluginAdaptor::ExecCommand(int value, const QString& command) {
    Guard([&] { object_->ExecCommand(value, command); });
}

void TPluginAdaptor::GetFlags(qint16& flags) {
    flags = 0;
    Guard([&] { flags = object_->GetFlags(); });
}

void TPluginAdaptor::GetConfigText(QString& text) {
    Guard([&] { text = object_->GetConfigText(); });
}

void TPluginAdaptor::Connect() {
    Guard([&] { object_->Connect(); });
}

void TPluginAdaptor::Activate() {
    Guard([&] { object_->Activate(); });
}

void TPluginAdaptor::Deactivate() {
    Guard([&] { object_->Deactivate(); });
}

void TPluginAdaptor::Refresh() {
    Guard([&] { object_->Refresh(); });
}

TPluginFactory::TPluginFactory(Maker maker, QObject* parent) : QObject(parent), maker_(std::move(maker)) {}

TPluginFactory::~TPluginFactory() {
    Unregister();
}

bool TPluginFactory::Register() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "nuvex: no session bus: %s\n", qPrintable(bus.lastError().message()));
        return false;
    }
    if (!bus.registerObject(bus::kFactoryPath, this, QDBusConnection::ExportAllSlots)) {
        std::fprintf(stderr, "nuvex: cannot export %s on the bus\n", qPrintable(bus::kFactoryPath));
        return false;
    }
    if (!bus.registerService(bus::kPluginService)) {
        std::fprintf(stderr, "nuvex: the bus name %s is taken: %s\n", qPrintable(bus::kPluginService),
                     qPrintable(bus.lastError().message()));
        bus.unregisterObject(bus::kFactoryPath);
        return false;
    }
    watcher_ = new QDBusServiceWatcher(this);
    watcher_->setConnection(bus);
    watcher_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &TPluginFactory::DropObjectsOf);
    registered_ = true;
    return true;
}

void TPluginFactory::Unregister() {
    if (!registered_) {
        return;
    }
    registered_ = false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(bus::kPluginService);
    bus.unregisterObject(bus::kFactoryPath);
    for (auto it = objects_.begin(); it != objects_.end(); ++it) {
        bus.unregisterObject(it.key());
        delete it.value();
    }
    objects_.clear();
    pathsByPeer_.clear();
}

QDBusObjectPath TPluginFactory::CreatePlugin() {
    TPluginObj* object = nullptr;
    try {
        object = maker_(this);
    } catch (...) {
        object = nullptr;
    }
    if (!object) {
        if (calledFromDBus()) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("the plug-in object could not be made"));
        }
        return {};
    }
    new TPluginAdaptor(object);
    QString path = bus::kPluginPathPrefix + QString::number(next_++);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(path, object, QDBusConnection::ExportAdaptors)) {
        delete object;
        if (calledFromDBus()) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("the plug-in object could not be exported"));
        }
        return {};
    }
    objects_.insert(path, object);
    if (calledFromDBus()) {
        QString peer = message().service();
        if (!pathsByPeer_.contains(peer) && watcher_) {
            watcher_->addWatchedService(peer);
        }
        pathsByPeer_[peer].append(path);
    }
    return QDBusObjectPath(path);
}

void TPluginFactory::DropObjectsOf(const QString& peer) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QList<QString> paths = pathsByPeer_.take(peer);
    for (const QString& path : paths) {
        bus.unregisterObject(path);
        if (TPluginObj* object = objects_.take(path)) {
            object->deleteLater();
        }
    }
    if (watcher_) {
        watcher_->removeWatchedService(peer);
    }
}

} // namespace nuvex
