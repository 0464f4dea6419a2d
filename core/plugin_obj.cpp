#include "core/plugin_obj.h"

#include "core/bus_host_config.h"
#include "core/plugin_process.h"
#include "lib/branding.h"
#include "lib/log.h"
#include "lib/plugin_settings.h"

#include <QCoreApplication>

namespace nuvex {

TPluginObj::TPluginObj(FrameCalls frame, QObject* parent) : QObject(parent), frame_(std::move(frame)) {}
TPluginObj::~TPluginObj() = default;

QString TPluginObj::GetPluginName() const {
    return PluginName();
}

void TPluginObj::Connect() {
    Host();
    SetPluginConnected(true);
    Connected();
}

void TPluginObj::Refresh() {
    // Each step stands alone: a failing refresh must not keep the button stale.
    try {
        if (frame_.requestRefresh) {
            frame_.requestRefresh();
        }
    } catch (...) {
        log::Caught("plugin", "settings refresh");
    }
    try {
        UpdateButton();
    } catch (...) {
        log::Caught("plugin", "button update");
    }
}

void TPluginObj::ButtonClick(const QString&) {}

int TPluginObj::GetContextKind() {
    return 1;
}

ButtonInfo TPluginObj::GetButtonInfo(int index) {
    if (index == 0) {
        Refresh();
    }
    ButtonInfo info;
    info.id = 50;
    info.style = 0;
    info.name = PluginName();
    info.description = LongName();
    info.visible = 1;
    info.icon = ButtonBitmap().bytes;
    info.bitmap = ButtonBitmap().bytes;
    return info;
}

QString TPluginObj::GetHelpURL() {
    return QStringLiteral("res://") + QCoreApplication::applicationFilePath() + QStringLiteral("/options");
}

int TPluginObj::QueryNum(const QString&, int) {
    return 0;
}

QString TPluginObj::QueryText(const QString& key, const QString& param) {
    QString out;
    BaseQueryText(key, param, out);
    return out;
}

bool TPluginObj::BaseQueryText(const QString& key, const QString&, QString& out) {
    out.clear();
    if (key == QLatin1String("ALLOW_EXIT")) {
        out = (frame_.trayShown && frame_.trayShown()) ? QString() : QStringLiteral("YES");
        return true;
    }
    if (key == QLatin1String("ICON")) {
        out = ButtonBitmap().hex;
        return true;
    }
    if (key.compare(QLatin1String("LONGNAME"), Qt::CaseInsensitive) == 0) {
        out = LongName();
        return true;
    }
    if (key == QLatin1String("ACTIVATE_PLUGIN") || key == QLatin1String("REMOVE_PLUGIN")) {
        WriteCfgBool(QString::fromStdString(EnabledKey(PluginName().toStdString())),
                     key == QLatin1String("ACTIVATE_PLUGIN"), true);
        return true;
    }
    return false;
}

QString TPluginObj::GetConfigText() {
    std::string_view config = ConfigResourceText();
    if (config.empty()) {
        return {};
    }
    QString text;
    const QStringList lines =
        QString::fromUtf8(config.data(), static_cast<qsizetype>(config.size())).split(QStringLiteral("\r\n"));
    for (const QString& line : lines) {
        text += line + QStringLiteral("\r\n");
    }
    return text + QStringLiteral("\r\n");
}

void TPluginObj::SetContext(const QString& value) {
    context_ = value;
}

qint16 TPluginObj::GetFlags() {
    return 0;
}

void TPluginObj::ExecCommand(int, const QString& command) {
    QString key;
    if (command == QLatin1String("HELP")) {
        key = QStringLiteral("HELP_URL");
    } else if (command == QLatin1String("ABOUT")) {
        key = QStringLiteral("ABOUT_URL");
    } else {
        return;
    }
    QString url = ReadCfgStr(key);
    // An unset link has nowhere to go; the host would only open an empty page.
    if (url.isEmpty()) {
        return;
    }
    if (BusHostConfig* host = Host()) {
        host->ButtonCommand(context_, QStringLiteral("NAVIGATE"), QStringLiteral("NAVIGATE_NEWWIN"), url);
    }
}

void TPluginObj::Connected() {}

void TPluginObj::GetSettingsPages(QString&, QByteArray&) {}

QString TPluginObj::GetAuxText1() {
    return {};
}
QString TPluginObj::GetAuxText2() {
    return {};
}
void TPluginObj::Activate() {}
void TPluginObj::Deactivate() {}
void TPluginObj::UpdateButton() {}

BusHostConfig* TPluginObj::Host() {
    if (!host_) {
        host_ = std::make_unique<BusHostConfig>([] { return PluginConnected(); }, PluginName());
    }
    return host_.get();
}

int TPluginObj::ReadCfgInt(const QString& key, int flag) {
    return Host()->ReadCfgInt(key.toStdString(), flag).value_or(0);
}

QString TPluginObj::ReadCfgStr(const QString& key, int flag) {
    return QString::fromStdString(Host()->ReadCfgStr(key.toStdString(), flag).value_or(std::string()));
}

bool TPluginObj::ReadCfgBool(const QString& key, int flag) {
    return Host()->ReadCfgBool(key.toStdString(), flag).value_or(false);
}

bool TPluginObj::WriteCfgBool(const QString& key, bool value, bool configChanged, int flag) {
    bool ok = Host()->WriteCfgBool(key.toStdString(), value, flag);
    if (ok && configChanged) {
        Host()->ConfigChanged();
    }
    return ok;
}

} // namespace nuvex
