#include "core/plugin_adaptor.h"

#include "contract/names.h"
#include "core/plugin_log.h"
#include "core/plugin_obj.h"
#include "itb4plugin_adaptor.h"
#include "lib/log.h"
#include "pluginfactory_adaptor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QLoggingCategory>

namespace nuvex {

TPluginAdaptor::TPluginAdaptor(TPluginObj* object) : QObject(object), object_(object) {}

QString TPluginAdaptor::GetPluginName() {
    QString name;
    log::RunIsolated("plugin", "GetPluginName", [&] { name = object_->GetPluginName(); });
    return name;
}

void TPluginAdaptor::SetContext(const QString& value) {
    log::RunIsolated("plugin", "SetContext", [&] { object_->SetContext(value); });
}

int TPluginAdaptor::GetContextKind() {
    int kind = 0;
    log::RunIsolated("plugin", "GetContextKind", [&] { kind = object_->GetContextKind(); });
    return kind;
}

int TPluginAdaptor::GetButtonInfo(int index, int& style, QString& name, QString& caption,
                                  QString& description, QByteArray& icon, QString& menuText, QString& hint,
                                  QByteArray& bitmap, int& visible) {
    ButtonInfo info;
    log::RunIsolated("plugin", "GetButtonInfo", [&] { info = object_->GetButtonInfo(index); });
    style = info.style;
    name = info.name;
    caption = info.caption;
    description = info.description;
    icon = info.icon;
    menuText = info.menuText;
    hint = info.hint;
    bitmap = info.bitmap;
    visible = info.visible;
    return info.id;
}

QString TPluginAdaptor::GetSettingsPages(QByteArray& bitmap) {
    QString pages;
    log::RunIsolated("plugin", "GetSettingsPages", [&] { object_->GetSettingsPages(pages, bitmap); });
    return pages;
}

QString TPluginAdaptor::QueryText(const QString& key, const QString& param) {
    QString text;
    log::RunIsolated("plugin", "QueryText", [&] { text = object_->QueryText(key, param); });
    return text;
}

int TPluginAdaptor::QueryNum(const QString& key, int index) {
    int number = 0;
    log::RunIsolated("plugin", "QueryNum", [&] { number = object_->QueryNum(key, index); });
    return number;
}

QString TPluginAdaptor::GetHelpURL() {
    QString url;
    log::RunIsolated("plugin", "GetHelpURL", [&] { url = object_->GetHelpURL(); });
    return url;
}

QString TPluginAdaptor::GetAuxText1() {
    QString text;
    log::RunIsolated("plugin", "GetAuxText1", [&] { text = object_->GetAuxText1(); });
    return text;
}

QString TPluginAdaptor::GetAuxText2() {
    QString text;
    log::RunIsolated("plugin", "GetAuxText2", [&] { text = object_->GetAuxText2(); });
    return text;
}

void TPluginAdaptor::ButtonClick(const QString& button) {
    log::RunIsolated("plugin", "ButtonClick", [&] { object_->ButtonClick(button); });
}

void TPluginAdaptor::ExecCommand(int value, const QString& command) {
    log::RunIsolated("plugin", "ExecCommand", [&] { object_->ExecCommand(value, command); });
}

short TPluginAdaptor::GetFlags() {
    short flags = 0;
    log::RunIsolated("plugin", "GetFlags", [&] { flags = object_->GetFlags(); });
    return flags;
}

QString TPluginAdaptor::GetConfigText() {
    QString text;
    log::RunIsolated("plugin", "GetConfigText", [&] { text = object_->GetConfigText(); });
    return text;
}

void TPluginAdaptor::Connect() {
    log::RunIsolated("plugin", "Connect", [&] { object_->Connect(); });
}

void TPluginAdaptor::Activate() {
    log::RunIsolated("plugin", "Activate", [&] { object_->Activate(); });
}

void TPluginAdaptor::Deactivate() {
    log::RunIsolated("plugin", "Deactivate", [&] { object_->Deactivate(); });
}

void TPluginAdaptor::Refresh() {
    log::RunIsolated("plugin", "Refresh", [&] { object_->Refresh(); });
}

TPluginFactory::TPluginFactory(Maker maker, QObject* parent) : QObject(parent), maker_(std::move(maker)) {
    new PluginFactoryAdaptor(this);
}

TPluginFactory::~TPluginFactory() {
    Unregister();
}

bool TPluginFactory::Register() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcPlugin) << "no session bus:" << bus.lastError().message();
        return false;
    }
    if (!bus.registerObject(bus::kFactoryPath, this, QDBusConnection::ExportAdaptors)) {
        qCWarning(lcPlugin) << "cannot export" << bus::kFactoryPath << "on the bus";
        return false;
    }
    if (!bus.registerService(bus::kPluginService)) {
        qCWarning(lcPlugin) << "the bus name" << bus::kPluginService
                            << "is taken:" << bus.lastError().message();
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
        qCWarning(lcPlugin).noquote()
            << "CreatePlugin failed:" << QString::fromStdString(log::CurrentExceptionText());
        object = nullptr;
    }
    if (!object) {
        if (calledFromDBus()) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("the plug-in object could not be made"));
        }
        return {};
    }
    auto* bridge = new TPluginAdaptor(object);
    new ITB4PluginAdaptor(bridge);
    QString path = bus::kPluginPathPrefix + QString::number(next_++);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(path, bridge, QDBusConnection::ExportAdaptors)) {
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
