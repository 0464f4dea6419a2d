#pragma once
// The controller's view of the toolbar host: the settings store and the calls
// on the "Mail" button. The process talks to the real host over the bus; the
// tests hand in a recording fake.
#include <QString>
#include <optional>

namespace nuvex {

class HostConfig;
class TExePlugin;

class MailHost {
public:
    virtual ~MailHost() = default;
    // The settings store while the host is there; null when it cannot be reached.
    virtual HostConfig* Settings() = 0;
    // A store that lives as long as the process, for the accounts and the
    // check worker; its calls fail while the host is away.
    virtual HostConfig& LongLivedSettings() = 0;
    // Reads the plug-in's enabled value with flag 0 and drops a dead interface.
    virtual bool Ping() = 0;
    // The "Mail" button in every browser window, or in the one of context.
    virtual bool SetButtonCaption(const QString& caption, const QString& context = QString()) = 0;
    virtual bool SetButtonHint(const QString& hint, const QString& context = QString()) = 0;
    virtual bool SetButtonMenu(const QString& menuText) = 0;
    // hex empty: no picture.
    virtual bool SetButtonBitmap(const QString& hex, const QString& context = QString()) = 0;
    // button: "Mail" or its separator "SEP".
    virtual bool SetButtonVisible(const QString& button, bool visible, const QString& context) = 0;
    virtual bool NavigateWindow(const QString& context, const QString& url) = 0;
    virtual bool ShowSettings() = 0;
};

// Over TExePlugin::GetHost; every call's outcome goes to CheckHost.
class BusMailHost final : public MailHost {
public:
    explicit BusMailHost(TExePlugin& plugin) : plugin_(plugin) {}
    HostConfig* Settings() override;
    HostConfig& LongLivedSettings() override;
    bool Ping() override;
    bool SetButtonCaption(const QString& caption, const QString& context = QString()) override;
    bool SetButtonHint(const QString& hint, const QString& context = QString()) override;
    bool SetButtonMenu(const QString& menuText) override;
    bool SetButtonBitmap(const QString& hex, const QString& context = QString()) override;
    bool SetButtonVisible(const QString& button, bool visible, const QString& context) override;
    bool NavigateWindow(const QString& context, const QString& url) override;
    bool ShowSettings() override;

private:
    TExePlugin& plugin_;
};

} // namespace nuvex
