#include "core/mail_host.h"

#include "core/bus_host_config.h"
#include "core/exe_plugin.h"
#include "core/plugin_process.h"
#include "lib/plugin_settings.h"

namespace nuvex {

namespace {
const QString kButton = QStringLiteral("Mail");
}

HostConfig* BusMailHost::Settings() {
    return plugin_.GetHost();
}

HostConfig& BusMailHost::LongLivedSettings() {
    return plugin_.HostSettings();
}

bool BusMailHost::Ping() {
    if (!PluginConnected()) {
        return false;
    }
    BusHostConfig* host = plugin_.GetHost();
    if (!host) {
        return false;
    }
    bool ok = host->ReadCfgBool(EnabledKey(PluginName().toStdString()), 0).has_value();
    return plugin_.CheckHost(ok);
}

bool BusMailHost::SetButtonCaption(const QString& caption, const QString& context) {
    BusHostConfig* host = plugin_.GetHost();
    return host && plugin_.CheckHost(host->SetButtonCaption(context, kButton, caption));
}

bool BusMailHost::SetButtonHint(const QString& hint, const QString& context) {
    BusHostConfig* host = plugin_.GetHost();
    return host && plugin_.CheckHost(host->SetButtonHint(context, kButton, hint));
}

bool BusMailHost::SetButtonVisible(const QString& button, bool visible, const QString& context) {
    BusHostConfig* host = plugin_.GetHost();
    return host && plugin_.CheckHost(host->SetButtonVisible(context, button, visible));
}

bool BusMailHost::SetButtonMenu(const QString& menuText) {
    BusHostConfig* host = plugin_.GetHost();
    return host && plugin_.CheckHost(host->SetButtonMenu(kButton, menuText));
}

bool BusMailHost::SetButtonBitmap(const QString& hex, const QString& context) {
    BusHostConfig* host = plugin_.GetHost();
    return host && plugin_.CheckHost(host->ButtonCommand(context, QStringLiteral("SET_BMP"), kButton, hex));
}

bool BusMailHost::NavigateWindow(const QString& context, const QString& url) {
    BusHostConfig* host = plugin_.GetHost();
    return host && plugin_.CheckHost(host->NavigateWindow(context, url));
}

bool BusMailHost::ShowSettings() {
    BusHostConfig* host = plugin_.GetHost();
    return host && plugin_.CheckHost(host->ShowSettings().has_value());
}

} // namespace nuvex
