#include "host/bus_objects.h"

#include "contract/names.h"
#include "control_adaptor.h"
#include "host/settings_setup.h"
#include "host/toolbar_host.h"
#include "itb4server_adaptor.h"
#include "lib/host_config.h"
#include "lib/registry.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QLoggingCategory>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <memory>

namespace nuvex::host {
namespace {

std::string S(const QString& s) {
    return s.toStdString();
}

} // namespace

// Reads a flag as HostBoolText does (the plug-in's batch reads use that),
// and tells text that is no flag at all apart, for the control verbs.
std::optional<bool> ParseBool(const QString& text) {
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("1") || t == QLatin1String("true") || t == QLatin1String("yes") ||
        t == QLatin1String("on")) {
        return true;
    }
    if (t == QLatin1String("0") || t == QLatin1String("false") || t == QLatin1String("no") ||
        t == QLatin1String("off") || t.isEmpty()) {
        return false;
    }
    bool ok = false;
    long long v = t.toLongLong(&ok);
    if (ok) {
        return v != 0;
    }
    return std::nullopt;
}

int TextToInt(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || v > INT32_MAX || v < INT32_MIN) {
        return 0;
    }
    return static_cast<int>(v);
}

// --- ITB4Server -------------------------------------------------------------

ServerObject::ServerObject(ToolbarHost& host, QObject* parent) : QObject(parent), host_(host) {
    new ITB4ServerAdaptor(this);
}

std::optional<StoredValue> ServerObject::Read(const QString& plugin, const QString& key, bool* failed) {
    *failed = false;
    auto v = host_.Store().Get(S(plugin), S(key), failed);
    if (*failed) {
        const QString why = QString::fromStdString(host_.Store().LastError());
        qCWarning(lcHost).noquote() << "cannot read" << key << "of" << plugin
                                    << "from the settings store:" << why;
        sendErrorReply(QDBusError::Failed, QStringLiteral("the settings store cannot be read: ") + why);
    }
    return v;
}

bool ServerObject::ReadCfgBool(const QString& plugin, const QString& key, int) {
    bool failed = false;
    auto v = Read(plugin, key, &failed);
    return v ? ParseBool(QString::fromStdString(v->text)).value_or(false) : false;
}

int ServerObject::ReadCfgInt(const QString& plugin, const QString& key, int) {
    bool failed = false;
    auto v = Read(plugin, key, &failed);
    if (v && v->type == ValueType::Bool) {
        return ParseBool(QString::fromStdString(v->text)).value_or(false) ? 1 : 0;
    }
    return v ? TextToInt(v->text) : 0;
}

QString ServerObject::ReadCfgStr(const QString& plugin, const QString& key, int) {
    bool failed = false;
    auto v = Read(plugin, key, &failed);
    return v ? QString::fromStdString(v->text) : QString();
}

void ServerObject::WriteCfgBool(const QString& plugin, const QString& key, bool value, int) {
    if (!host_.Store().Set(S(plugin), S(key), ValueType::Bool, value ? "1" : "0")) {
        sendErrorReply(QDBusError::Failed, QString::fromStdString(host_.Store().LastError()));
    }
}

void ServerObject::WriteCfgInt(const QString& plugin, const QString& key, int value, int) {
    if (!host_.Store().Set(S(plugin), S(key), ValueType::Int, std::to_string(value))) {
        sendErrorReply(QDBusError::Failed, QString::fromStdString(host_.Store().LastError()));
    }
}

void ServerObject::WriteCfgStr(const QString& plugin, const QString& key, const QString& value, int) {
    if (!host_.Store().Set(S(plugin), S(key), ValueType::Text, S(value))) {
        sendErrorReply(QDBusError::Failed, QString::fromStdString(host_.Store().LastError()));
    }
}

void ServerObject::DeleteCfgValue(const QString& plugin, const QString& key, int) {
    if (!host_.Store().Delete(S(plugin), S(key))) {
        sendErrorReply(QDBusError::Failed, QString::fromStdString(host_.Store().LastError()));
    }
}

QStringList ServerObject::ReadCfgBatch(const QString& plugin, const QStringList& keys, int) {
    // A bound on one call: a reload of a thousand accounts asks for a few
    // thousand values; a runaway caller must not make the host build a huge reply.
    constexpr qsizetype kMaxKeys = 100000;
    if (keys.size() > kMaxKeys) {
        sendErrorReply(QDBusError::LimitsExceeded,
                       QStringLiteral("at most %1 keys in one read").arg(kMaxKeys));
        return {};
    }
    std::vector<std::string> wanted;
    wanted.reserve(static_cast<std::size_t>(keys.size()));
    for (const QString& key : keys) {
        wanted.push_back(S(key));
    }
    std::vector<std::optional<StoredValue>> got;
    if (!host_.Store().GetMany(S(plugin), wanted, got)) {
        const QString why = QString::fromStdString(host_.Store().LastError());
        qCWarning(lcHost).noquote() << "cannot read" << keys.size() << "values of" << plugin
                                    << "from the settings store:" << why;
        sendErrorReply(QDBusError::Failed, QStringLiteral("the settings store cannot be read: ") + why);
        return {};
    }
    QStringList values;
    values.reserve(keys.size());
    for (const auto& v : got) {
        values << (v ? QString::fromStdString(v->text) : QString());
    }
    return values;
}

void ServerObject::WriteCfgBatch(const QString& plugin, const QStringList& keys, const QStringList& kinds,
                                 const QStringList& values, int) {
    if (keys.size() != kinds.size() || keys.size() != values.size()) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("keys, kinds and values differ in number"));
        return;
    }
    std::vector<SettingsStore::Write> writes;
    writes.reserve(static_cast<std::size_t>(keys.size()));
    for (qsizetype i = 0; i < keys.size(); ++i) {
        SettingsStore::Write w;
        w.key = S(keys[i]);
        w.text = S(values[i]);
        const QString& kind = kinds[i];
        if (kind == QLatin1String("bool")) {
            w.type = ValueType::Bool;
            w.text = ParseBool(values[i]).value_or(false) ? "1" : "0";
        } else if (kind == QLatin1String("int")) {
            w.type = ValueType::Int;
            w.text = std::to_string(TextToInt(w.text));
        } else if (kind == QLatin1String("text")) {
            w.type = ValueType::Text;
        } else if (kind == QLatin1String("delete")) {
            w.remove = true;
        } else {
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("unknown kind of write: %1").arg(kind));
            return;
        }
        writes.push_back(std::move(w));
    }
    if (!host_.Store().Apply(S(plugin), writes)) {
        sendErrorReply(QDBusError::Failed, QString::fromStdString(host_.Store().LastError()));
    }
}

void ServerObject::ConfigChanged(const QString& plugin) {
    host_.ConfigChanged(plugin);
}

PluginSlot* ServerObject::ButtonSlot(const QString& plugin) {
    PluginSlot* slot = host_.FindSlot(plugin);
    if (!slot) {
        sendErrorReply(QDBusError::InvalidArgs,
                       QStringLiteral("no toolbar button belongs to the plug-in %1").arg(plugin));
    }
    return slot;
}

void ServerObject::SetButtonCaption(const QString& plugin, const QString&, const QString& button,
                                    const QString& text) {
    if (PluginSlot* slot = ButtonSlot(plugin)) {
        host_.UpdateButton(*slot, host_.ResolveButton(*slot, button),
                           [&](ButtonState& b) { b.caption = text; });
    }
}

void ServerObject::SetButtonVisible(const QString& plugin, const QString&, const QString& button,
                                    bool visible) {
    if (PluginSlot* slot = ButtonSlot(plugin)) {
        host_.UpdateButton(*slot, host_.ResolveButton(*slot, button),
                           [&](ButtonState& b) { b.visible = visible; });
    }
}

void ServerObject::SetButtonMenu(const QString& plugin, const QString&, const QString& button,
                                 const QString& menuText) {
    if (PluginSlot* slot = ButtonSlot(plugin)) {
        host_.UpdateButton(*slot, host_.ResolveButton(*slot, button),
                           [&](ButtonState& b) { b.menuText = menuText; });
    }
}

void ServerObject::ButtonCommand(const QString& plugin, const QString& context, const QString& command,
                                 const QString& target, const QString& value) {
    QString error;
    if (command.compare(QLatin1String("SET_BMP"), Qt::CaseInsensitive) == 0) {
        if (PluginSlot* slot = ButtonSlot(plugin)) {
            if (!host_.SetPictureFromHex(*slot, host_.ResolveButton(*slot, target), value, &error)) {
                sendErrorReply(QDBusError::InvalidArgs, error);
            }
        }
        return;
    }
    if (command.compare(QLatin1String("NAVIGATE"), Qt::CaseInsensitive) == 0) {
        const bool newWindow = target.compare(QLatin1String("NAVIGATE_NEWWIN"), Qt::CaseInsensitive) == 0;
        if (!host_.Navigate(value, newWindow ? QStringLiteral("new") : context, &error)) {
            sendErrorReply(QDBusError::InvalidArgs, error);
        }
        return;
    }
    sendErrorReply(QDBusError::NotSupported, QStringLiteral("unknown button command %1").arg(command));
}

void ServerObject::SetButtonHint(const QString& plugin, const QString&, const QString& button,
                                 const QString& text) {
    if (PluginSlot* slot = ButtonSlot(plugin)) {
        host_.UpdateButton(*slot, host_.ResolveButton(*slot, button), [&](ButtonState& b) { b.hint = text; });
    }
}

void ServerObject::NavigateWindow(const QString& context, const QString& url, int) {
    QString error;
    if (!host_.Navigate(url, context, &error)) {
        sendErrorReply(QDBusError::InvalidArgs, error);
    }
}

int ServerObject::ShowSettings(const QString& plugin, int, int, int, int, int, int, int) {
    host_.ShowSettings(plugin);
    return 0;
}

// --- Control ----------------------------------------------------------------

ControlObject::ControlObject(ToolbarHost& host, QObject* parent) : QObject(parent), host_(host) {
    new ControlAdaptor(this);
}

QString ControlObject::Get(const QString& plugin, const QString& key, QString& type) {
    bool failed = false;
    auto v = host_.Store().Get(S(plugin), S(key), &failed);
    if (failed) {
        sendErrorReply(QDBusError::Failed, QString::fromStdString(host_.Store().LastError()));
        return {};
    }
    if (!v) {
        type = QStringLiteral("unset");
        return {};
    }
    type = v->type == ValueType::Bool  ? QStringLiteral("bool")
           : v->type == ValueType::Int ? QStringLiteral("int")
                                       : QStringLiteral("text");
    return QString::fromStdString(v->text);
}

void ControlObject::Set(const QString& plugin, const QString& key, const QString& type,
                        const QString& value) {
    ValueType t = ValueType::Text;
    std::string text = S(value);
    if (type == QLatin1String("bool")) {
        auto b = ParseBool(value);
        if (!b) {
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("not a bool: %1").arg(value));
            return;
        }
        t = ValueType::Bool;
        text = *b ? "1" : "0";
    } else if (type == QLatin1String("int")) {
        bool ok = false;
        int v = value.trimmed().toInt(&ok);
        if (!ok) {
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("not a 32-bit integer: %1").arg(value));
            return;
        }
        t = ValueType::Int;
        text = std::to_string(v);
    } else if (type != QLatin1String("text")) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("unknown value type %1").arg(type));
        return;
    }
    if (key.isEmpty() || !host_.Store().Set(S(plugin), S(key), t, text)) {
        sendErrorReply(QDBusError::Failed, key.isEmpty() ? QStringLiteral("empty key")
                                                         : QString::fromStdString(host_.Store().LastError()));
    }
}

void ControlObject::Delete(const QString& plugin, const QString& key) {
    if (!host_.Store().Delete(S(plugin), S(key))) {
        sendErrorReply(QDBusError::Failed, QString::fromStdString(host_.Store().LastError()));
    }
}

QString ControlObject::Button(const QString& plugin) {
    PluginSlot* slot = host_.FindSlot(plugin);
    if (!slot) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no plug-in named %1").arg(plugin));
        return {};
    }
    return host_.ButtonReport(*slot);
}

PluginSlot* ControlObject::UpSlot(const QString& plugin) {
    PluginSlot* slot = host_.FindSlot(plugin);
    if (!slot || !slot->up) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("the plug-in %1 is not running").arg(plugin));
        return nullptr;
    }
    return slot;
}

void ControlObject::ReplyWhenDone(const QDBusPendingCall& pending) {
    setDelayedReply(true);
    QDBusMessage call = message();
    QDBusConnection conn = connection();
    host_.WhenDone(pending, [call, conn](const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage) {
            conn.send(call.createReply(reply.arguments()));
        } else {
            conn.send(call.createErrorReply(
                QDBusError::Failed, QStringLiteral("the plug-in did not answer: ") + reply.errorMessage()));
        }
    });
}

void ControlObject::Click(const QString& plugin, const QString& button) {
    if (PluginSlot* slot = UpSlot(plugin)) {
        ReplyWhenDone(host_.Toolbar(*slot).ButtonClick(button));
    }
}

void ControlObject::Command(const QString& plugin, const QString& command) {
    if (PluginSlot* slot = UpSlot(plugin)) {
        ReplyWhenDone(host_.Toolbar(*slot).ExecCommand(0, command));
    }
}

QString ControlObject::QueryText(const QString& plugin, const QString& key, const QString& param) {
    if (PluginSlot* slot = UpSlot(plugin)) {
        ReplyWhenDone(host_.Toolbar(*slot).QueryText(key, param));
    }
    return {};
}

int ControlObject::QueryNum(const QString& plugin, const QString& key, int index) {
    if (PluginSlot* slot = UpSlot(plugin)) {
        ReplyWhenDone(host_.Toolbar(*slot).QueryNum(key, index));
    }
    return 0;
}

void ControlObject::Stop() {
    if (!host_.SignalStop()) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("the stop event cannot be opened"));
        return;
    }
    // The reply goes out first; then the host itself ends.
    QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::exit(0); });
}

void ControlObject::Shutdown(const QString& plugin) {
    if (!host_.SignalShutdown(plugin)) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("the shutdown event cannot be opened"));
    }
}

void ControlObject::Refresh(const QString& plugin) {
    host_.SignalRefresh(plugin);
    host_.RefreshPlugin(plugin);
}

void ControlObject::Activate(const QString& plugin) {
    if (PluginSlot* slot = UpSlot(plugin)) {
        ReplyWhenDone(host_.Toolbar(*slot).Activate());
    }
}

void ControlObject::Deactivate(const QString& plugin) {
    if (PluginSlot* slot = UpSlot(plugin)) {
        ReplyWhenDone(host_.Toolbar(*slot).Deactivate());
    }
}

void ControlObject::SetDisabled(const QString& plugin, bool disabled) {
    const std::string key = names::PluginKey(plugin.toUpper().toStdString());
    bool ok =
        disabled ? WriteRegString(ProcessRegistry(), RegRoot::HKLM, key, names::kDisabledValue, true, "1")
                 : ProcessRegistry().DeleteValue(RegRoot::HKLM, NormalizeKeyPath(key), names::kDisabledValue);
    if (!ok && disabled) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("cannot write the registry store"));
    }
}

} // namespace nuvex::host

namespace nuvex::host {

QString ControlObject::SettingsPages() {
    std::vector<PluginSlot*> up;
    for (const auto& slot : host_.Slots()) {
        if (slot->up) {
            up.push_back(slot.get());
        }
    }
    if (up.empty()) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("no plug-in is running"));
        return {};
    }
    // One answer per plug-in, in slot order, then one reply to ctl.
    struct Gather {
        QStringList parts;
        int missing = 0;
    };
    auto gather = std::make_shared<Gather>();
    gather->parts.resize(static_cast<qsizetype>(up.size()));
    gather->missing = static_cast<int>(up.size());
    setDelayedReply(true);
    QDBusMessage call = message();
    QDBusConnection conn = connection();
    for (std::size_t i = 0; i < up.size(); ++i) {
        const QString name = up[i]->name;
        host_.WhenDone(host_.SettingsObject(*up[i]).GetSettingsPages(), [gather, i, name, call,
                                                                         conn](const QDBusMessage& reply) {
            QDBusPendingReply<QString, QByteArray> pages = reply;
            gather->parts[static_cast<qsizetype>(i)] =
                pages.isError() || !pages.isValid()
                    ? name + QStringLiteral("\t(no answer: ") + reply.errorMessage() + QStringLiteral(")\n")
                    : SettingsPagesReport(name, ParseSettingsPages(pages.argumentAt<0>()));
            if (--gather->missing == 0) {
                conn.send(call.createReply(gather->parts.join(QString())));
            }
        });
    }
    return {};
}

} // namespace nuvex::host
