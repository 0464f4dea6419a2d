#pragma once
// The toolbar host's ITB4Server as seen from a plug-in process: every call is a
// blocking D-Bus call with a short time-out, and a failed call counts as no
// value (std::nullopt / false), so callers keep their defaults and go on.
// Thread-safe: worker threads may read settings while the GUI thread runs.
#include "lib/host_config.h"

#include <QString>
#include <QVariant>
#include <functional>
#include <optional>

class QDBusMessage;

namespace nuvex {

class BusHostConfig final : public HostConfig {
public:
    // connected: how Connected() answers; empty means "the host is on the bus".
    explicit BusHostConfig(std::function<bool()> connected = {}, QString pluginName = QStringLiteral("MAIL"));

    // True when the host's bus name has an owner right now.
    static bool HostOnBus();

    bool Connected() const override;
    std::optional<bool> ReadCfgBool(std::string_view key, int flag = -1) override;
    std::optional<std::int32_t> ReadCfgInt(std::string_view key, int flag = -1) override;
    std::optional<std::string> ReadCfgStr(std::string_view key, int flag = -1) override;
    bool WriteCfgBool(std::string_view key, bool value, int flag = -1) override;
    bool WriteCfgInt(std::string_view key, std::int32_t value, int flag = -1) override;
    bool WriteCfgStr(std::string_view key, std::string_view value, int flag = -1) override;
    bool DeleteCfgValue(std::string_view key, int flag = -1) override;
    bool ConfigChanged() override;

    // The button side of ITB4Server. An empty text stands for the null text
    // of the toolbar (no caption, default picture).
    bool SetButtonCaption(const QString& context, const QString& button, const QString& text);
    bool SetButtonVisible(const QString& context, const QString& button, bool visible);
    bool SetButtonMenu(const QString& button, const QString& menuText);
    bool ButtonCommand(const QString& context, const QString& command, const QString& target,
                       const QString& value);
    bool SetButtonHint(const QString& context, const QString& button, const QString& text);
    bool NavigateWindow(const QString& context, const QString& url);
    std::optional<int> ShowSettings();

    const QString& PluginName() const { return plugin_; }

private:
    // The reply's arguments, or nullopt when the call failed.
    std::optional<QList<QVariant>> Call(const QString& method, const QList<QVariant>& args) const;

    std::function<bool()> connected_;
    QString plugin_;
};

} // namespace nuvex
