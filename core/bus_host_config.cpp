#include "core/bus_host_config.h"

#include "core/dbus_contract.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace nuvex {
namespace {

QString Q(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

BusHostConfig::BusHostConfig(std::function<bool()> connected, QString pluginName)
    : connected_(std::move(connected)), plugin_(std::move(pluginName)) {}

bool BusHostConfig::HostOnBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) {
        return false;
    }
    QDBusReply<bool> reply = bus.interface()->isServiceRegistered(bus::kHostService);
    return reply.isValid() && reply.value();
}

bool BusHostConfig::Connected() const {
    return connected_ ? connected_() : HostOnBus();
}

std::optional<QList<QVariant>> BusHostConfig::Call(const QString& method, const QList<QVariant>& args) const {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return std::nullopt;
    }
    QDBusMessage msg =
        QDBusMessage::createMethodCall(bus::kHostService, bus::kServerPath, bus::kServerInterface, method);
    msg.setArguments(args);
    QDBusMessage reply = bus.call(msg, QDBus::Block, bus::kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return std::nullopt;
    }
    return reply.arguments();
}

std::optional<bool> BusHostConfig::ReadCfgBool(std::string_view key, int flag) {
    auto r = Call(QStringLiteral("ReadCfgBool"), {plugin_, Q(key), flag});
    if (!r || r->size() != 1 || r->at(0).typeId() != QMetaType::Bool) {
        return std::nullopt;
    }
    return r->at(0).toBool();
}

std::optional<std::int32_t> BusHostConfig::ReadCfgInt(std::string_view key, int flag) {
    auto r = Call(QStringLiteral("ReadCfgInt"), {plugin_, Q(key), flag});
    if (!r || r->size() != 1 || r->at(0).typeId() != QMetaType::Int) {
        return std::nullopt;
    }
    return r->at(0).toInt();
}

std::optional<std::string> BusHostConfig::ReadCfgStr(std::string_view key, int flag) {
    auto r = Call(QStringLiteral("ReadCfgStr"), {plugin_, Q(key), flag});
    if (!r || r->size() != 1 || r->at(0).typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return r->at(0).toString().toStdString();
}

bool BusHostConfig::WriteCfgBool(std::string_view key, bool value, int flag) {
    return Call(QStringLiteral("WriteCfgBool"), {plugin_, Q(key), value, flag}).has_value();
}

bool BusHostConfig::WriteCfgInt(std::string_view key, std::int32_t value, int flag) {
    return Call(QStringLiteral("WriteCfgInt"), {plugin_, Q(key), static_cast<int>(value), flag}).has_value();
}

bool BusHostConfig::WriteCfgStr(std::string_view key, std::string_view value, int flag) {
    return Call(QStringLiteral("WriteCfgStr"), {plugin_, Q(key), Q(value), flag}).has_value();
}

bool BusHostConfig::DeleteCfgValue(std::string_view key, int flag) {
    return Call(QStringLiteral("DeleteCfgValue"), {plugin_, Q(key), flag}).has_value();
}

bool BusHostConfig::ConfigChanged() {
    return Call(QStringLiteral("ConfigChanged"), {plugin_}).has_value();
}

bool BusHostConfig::SetButtonCaption(const QString& context, const QString& button, const QString& text) {
    return Call(QStringLiteral("SetButtonCaption"), {plugin_, context, button, text}).has_value();
}

bool BusHostConfig::SetButtonVisible(const QString& context, const QString& button, bool visible) {
    return Call(QStringLiteral("SetButtonVisible"), {plugin_, context, button, visible}).has_value();
}

bool BusHostConfig::SetButtonMenu(const QString& button, const QString& menuText) {
    return Call(QStringLiteral("SetButtonMenu"), {plugin_, QString(), button, menuText}).has_value();
}

bool BusHostConfig::ButtonCommand(const QString& context, const QString& command, const QString& target,
                                  const QString& value) {
    return Call(QStringLiteral("ButtonCommand"), {plugin_, context, command, target, value}).has_value();
}

bool BusHostConfig::SetButtonHint(const QString& context, const QString& button, const QString& text) {
    return Call(QStringLiteral("SetButtonHint"), {plugin_, context, button, text}).has_value();
}

bool BusHostConfig::NavigateWindow(const QString& context, const QString& url) {
    return Call(QStringLiteral("NavigateWindow"), {context, url, 0}).has_value();
}

std::optional<int> BusHostConfig::ShowSettings() {
    auto r = Call(QStringLiteral("ShowSettings"), {plugin_, 0, 0, 0, 0, 0, 0, 0});
    if (!r || r->size() != 1) {
        return std::nullopt;
    }
    return r->at(0).toInt();
}

} // namespace nuvex
