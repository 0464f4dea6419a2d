#include "core/bus_host_config.h"

#include "contract/names.h"
#include "contract/qt_log_sink.h"
#include "itb4server_proxy.h"
#include "lib/plugin_settings.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <atomic>

namespace nuvex {
namespace {

QString Q(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Monotonic milliseconds until which host calls fail at once; shared by every
// instance, since they all talk to the same host.
std::atomic<qint64> g_quietUntil{0};

qint64 NowMs() {
    return QDeadlineTimer::current().deadline();
}

bool IsNoAnswer(const QDBusError& error) {
    return error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout ||
           error.type() == QDBusError::TimedOut;
}

} // namespace

BusHostConfig::BusHostConfig(std::function<bool()> connected, QString pluginName)
    : BusHostConfig(QDBusConnection::sessionBus(), bus::kHostService, std::move(connected),
                    std::move(pluginName)) {}

BusHostConfig::BusHostConfig(const QDBusConnection& connection, const QString& service,
                             std::function<bool()> connected, QString pluginName)
    : connection_(connection), service_(service), connected_(std::move(connected)),
      plugin_(std::move(pluginName)) {}

BusHostConfig::~BusHostConfig() = default;

bool BusHostConfig::HostOnBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) {
        return false;
    }
    QDBusReply<bool> reply = bus.interface()->isServiceRegistered(bus::kHostService);
    return reply.isValid() && reply.value();
}

bool BusHostConfig::HostSeemsHung() {
    return NowMs() < g_quietUntil.load();
}

void BusHostConfig::ForgetHungHost() {
    g_quietUntil.store(0);
}

bool BusHostConfig::Connected() const {
    return connected_ ? connected_() : HostOnBus();
}

ITB4ServerProxy* BusHostConfig::Ready() const {
    if (HostSeemsHung() || !connection_.isConnected()) {
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (!proxy_) {
        proxy_ = std::make_unique<ITB4ServerProxy>(service_, bus::kServerPath, connection_);
        proxy_->setTimeout(bus::kHostCallTimeoutMs);
    }
    return proxy_.get();
}

template <typename Reply> bool BusHostConfig::Await(Reply& reply) const {
    reply.waitForFinished();
    if (!reply.isError()) {
        return true;
    }
    if (IsNoAnswer(reply.error())) {
        g_quietUntil.store(NowMs() + kHungHostQuietMs);
        qCWarning(lcHost) << "the toolbar host did not answer in" << bus::kHostCallTimeoutMs
                          << "ms; host calls fail at once for" << kHungHostQuietMs << "ms";
    }
    return false;
}

std::optional<bool> BusHostConfig::ReadCfgBool(std::string_view key, int flag) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return std::nullopt;
    }
    QDBusPendingReply<bool> reply = host->ReadCfgBool(plugin_, Q(key), flag);
    return Await(reply) ? std::optional<bool>(reply.value()) : std::nullopt;
}

std::optional<std::int32_t> BusHostConfig::ReadCfgInt(std::string_view key, int flag) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return std::nullopt;
    }
    QDBusPendingReply<int> reply = host->ReadCfgInt(plugin_, Q(key), flag);
    return Await(reply) ? std::optional<std::int32_t>(reply.value()) : std::nullopt;
}

std::optional<std::string> BusHostConfig::ReadCfgStr(std::string_view key, int flag) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return std::nullopt;
    }
    QDBusPendingReply<QString> reply = host->ReadCfgStr(plugin_, Q(key), flag);
    return Await(reply) ? std::optional<std::string>(reply.value().toStdString()) : std::nullopt;
}

bool BusHostConfig::WriteCfgBool(std::string_view key, bool value, int flag) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->WriteCfgBool(plugin_, Q(key), value, flag);
    return Await(reply);
}

bool BusHostConfig::WriteCfgInt(std::string_view key, std::int32_t value, int flag) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->WriteCfgInt(plugin_, Q(key), static_cast<int>(value), flag);
    return Await(reply);
}

bool BusHostConfig::WriteCfgStr(std::string_view key, std::string_view value, int flag) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->WriteCfgStr(plugin_, Q(key), Q(value), flag);
    return Await(reply);
}

bool BusHostConfig::DeleteCfgValue(std::string_view key, int flag) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->DeleteCfgValue(plugin_, Q(key), flag);
    return Await(reply);
}

bool BusHostConfig::WriteCfgBatch(const std::vector<CfgWrite>& writes, int flag) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QStringList keys;
    QStringList kinds;
    QStringList values;
    for (const CfgWrite& w : writes) {
        keys << Q(w.key);
        if (const bool* b = std::get_if<bool>(&w.value)) {
            kinds << QStringLiteral("bool");
            values << (*b ? QStringLiteral("1") : QStringLiteral("0"));
        } else if (const std::int32_t* i = std::get_if<std::int32_t>(&w.value)) {
            kinds << QStringLiteral("int");
            values << QString::number(*i);
        } else if (const std::string* s = std::get_if<std::string>(&w.value)) {
            kinds << QStringLiteral("text");
            values << Q(*s);
        } else {
            kinds << QStringLiteral("delete");
            values << QString();
        }
    }
    QDBusPendingReply<> reply = host->WriteCfgBatch(plugin_, keys, kinds, values, flag);
    return Await(reply);
}

std::optional<std::vector<std::string>> BusHostConfig::ReadCfgStrBatch(const std::vector<std::string>& keys,
                                                                       int flag) {
    if (keys.empty()) {
        return std::vector<std::string>{};
    }
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return std::nullopt;
    }
    QStringList list;
    list.reserve(static_cast<qsizetype>(keys.size()));
    for (const std::string& key : keys) {
        list << Q(key);
    }
    QDBusPendingReply<QStringList> reply = host->ReadCfgBatch(plugin_, list, flag);
    if (!Await(reply)) {
        return std::nullopt;
    }
    const QStringList got = reply.value();
    if (static_cast<std::size_t>(got.size()) != keys.size()) {
        qCWarning(lcHost) << "the host answered" << got.size() << "values for" << keys.size() << "keys";
        return std::nullopt;
    }
    std::vector<std::string> values;
    values.reserve(keys.size());
    for (const QString& v : got) {
        values.push_back(v.toStdString());
    }
    return values;
}

bool BusHostConfig::ConfigChanged() {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->ConfigChanged(plugin_);
    return Await(reply);
}

void BusHostConfig::Announce() {
    if (ITB4ServerProxy* host = Ready()) {
        // The answer is not needed; the call is left to finish on its own.
        host->ReadCfgBool(plugin_, QString::fromStdString(EnabledKey(plugin_.toStdString())), -1);
    }
}

bool BusHostConfig::SetButtonCaption(const QString& context, const QString& button, const QString& text) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->SetButtonCaption(plugin_, context, button, text);
    return Await(reply);
}

bool BusHostConfig::SetButtonVisible(const QString& context, const QString& button, bool visible) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->SetButtonVisible(plugin_, context, button, visible);
    return Await(reply);
}

bool BusHostConfig::SetButtonMenu(const QString& button, const QString& menuText) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->SetButtonMenu(plugin_, QString(), button, menuText);
    return Await(reply);
}

bool BusHostConfig::ButtonCommand(const QString& context, const QString& command, const QString& target,
                                  const QString& value) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->ButtonCommand(plugin_, context, command, target, value);
    return Await(reply);
}

bool BusHostConfig::SetButtonHint(const QString& context, const QString& button, const QString& text) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->SetButtonHint(plugin_, context, button, text);
    return Await(reply);
}

bool BusHostConfig::NavigateWindow(const QString& context, const QString& url) {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return false;
    }
    QDBusPendingReply<> reply = host->NavigateWindow(context, url, 0);
    return Await(reply);
}

std::optional<int> BusHostConfig::ShowSettings() {
    ITB4ServerProxy* host = Ready();
    if (!host) {
        return std::nullopt;
    }
    QDBusPendingReply<int> reply = host->ShowSettings(plugin_, 0, 0, 0, 0, 0, 0, 0);
    return Await(reply) ? std::optional<int>(reply.value()) : std::nullopt;
}

} // namespace nuvex
