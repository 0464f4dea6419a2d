#pragma once
// The toolbar host's ITB4Server as seen from a plug-in process, through the
// proxy generated from contract/org.brannock.ITB4Server.xml. Every call waits
// a short time for its answer, and a failed call counts as no value
// (std::nullopt / false), so callers keep their defaults and go on.
//
// A host that stops answering (stopped, looping) must not freeze the caller's
// GUI thread call after call: once a call has had no answer in time, every
// call of the next few seconds fails at once without waiting.
// Thread-safe: worker threads may read settings while the GUI thread runs.
#include "contract/names.h"
#include "lib/host_config.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class ITB4ServerProxy;

namespace nuvex {

class BusHostConfig final : public HostConfig {
public:
    // connected: how Connected() answers; empty means "the host is on the bus".
    explicit BusHostConfig(std::function<bool()> connected = {}, QString pluginName = bus::kMailPlugin);
    // The host on another connection; a peer-to-peer connection takes an empty service.
    BusHostConfig(const QDBusConnection& connection, const QString& service, std::function<bool()> connected,
                  QString pluginName);
    ~BusHostConfig() override;

    // True when the host's bus name has an owner right now.
    static bool HostOnBus();
    // While true, host calls fail at once: a recent call got no answer in time.
    static bool HostSeemsHung();
    // Forgets a hung host (a new host took the bus name; tests).
    static void ForgetHungHost();
    // How long calls fail at once after one went unanswered: longer than the
    // plug-in's tick, so one pass waits for a hung host at most once.
    static constexpr int kHungHostQuietMs = 10000;

    bool Connected() const override;
    std::optional<bool> ReadCfgBool(std::string_view key, int flag = -1) override;
    std::optional<std::int32_t> ReadCfgInt(std::string_view key, int flag = -1) override;
    std::optional<std::string> ReadCfgStr(std::string_view key, int flag = -1) override;
    bool WriteCfgBool(std::string_view key, bool value, int flag = -1) override;
    bool WriteCfgInt(std::string_view key, std::int32_t value, int flag = -1) override;
    bool WriteCfgStr(std::string_view key, std::string_view value, int flag = -1) override;
    bool DeleteCfgValue(std::string_view key, int flag = -1) override;
    bool ConfigChanged() override;
    // One host transaction: all of the writes or none.
    bool WriteCfgBatch(const std::vector<CfgWrite>& writes, int flag = -1) override;
    std::optional<std::vector<std::string>> ReadCfgStrBatch(const std::vector<std::string>& keys,
                                                            int flag = -1) override;

    // Tells the host that this plug-in is alive without waiting for its answer.
    void Announce();

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
    // The proxy, or null while calls are to fail at once.
    ITB4ServerProxy* Ready() const;
    // Waits for the reply; a reply that never came marks the host as hung.
    template <typename Reply> bool Await(Reply& reply) const;

    QDBusConnection connection_;
    QString service_;
    std::function<bool()> connected_;
    QString plugin_;
    mutable std::mutex mutex_;
    mutable std::unique_ptr<ITB4ServerProxy> proxy_;
};

} // namespace nuvex
