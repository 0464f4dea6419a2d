#pragma once
// The "setup" object the settings pages script against: the plug-in's values
// in the host's store, and the questions the pages put to the plug-in's
// settings object (QueryText and QueryNum over the bus). A page first names
// its plug-in with StartSettings; until then every call answers nothing.
// Calls to the plug-in never block the host: they answer a future that the
// reply fulfils, so the plug-in may call back into the host meanwhile.
#include "host/settings_store.h"

#include <QFuture>
#include <QObject>
#include <QString>
#include <QTimer>
#include <vector>

namespace nuvex::host {

class ToolbarHost;

// One tab of the settings dialog, as the plug-in's pages text gives it.
struct SettingsPage {
    QString title;
    QString address;  // as the plug-in gave it
    QString resource; // the page among the host's resources; empty when there is none
};

// The pages text is lines of title "=" address. Only the last part of the
// address names the page, and only a page the host carries is shown: the
// address never decides what is loaded.
std::vector<SettingsPage> ParseSettingsPages(const QString& text);
// "qrc:/settings/TAB1.html" for "TAB1"; empty for a name the host lacks.
QString PageResource(const QString& name);
// One line per page: plug-in, tab title and the resource shown, tab-separated.
QString SettingsPagesReport(const QString& plugin, const std::vector<SettingsPage>& pages);

class SettingsSetup : public QObject {
    Q_OBJECT
public:
    explicit SettingsSetup(ToolbarHost& host, QObject* parent = nullptr);

    const QString& Plugin() const { return plugin_; }

    // False for a plug-in the host does not know.
    Q_INVOKABLE bool StartSettings(const QString& plugin);
    Q_INVOKABLE bool GetCfgBool(const QString& key, int flag);
    Q_INVOKABLE int GetCfgInt(const QString& key, int flag);
    Q_INVOKABLE QString GetCfgStr(const QString& key, int flag);
    Q_INVOKABLE bool SetCfgBool(const QString& key, bool value, int flag);
    Q_INVOKABLE bool SetCfgInt(const QString& key, int value, int flag);
    Q_INVOKABLE bool SetCfgStr(const QString& key, const QString& value, int flag);
    Q_INVOKABLE bool DelCfgValue(const QString& key, int flag);
    Q_INVOKABLE QFuture<QString> GetText(const QString& key, const QString& param);
    Q_INVOKABLE QFuture<int> GetNum(const QString& key, int index);

    // How long after the last write the plug-in is told to read its values again.
    static constexpr int kRefreshDelayMs = 300;

Q_SIGNALS:
    // A value of the plug-in was written or removed.
    void ValueChanged(const QString& plugin, const QString& key);

private:
    bool Started(const char* call) const;
    bool Write(const QString& key, ValueType type, const std::string& text);
    void Written(const QString& key);

    ToolbarHost& host_;
    QString plugin_;
    QTimer refresh_;
};

} // namespace nuvex::host
