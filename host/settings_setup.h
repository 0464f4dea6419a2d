#pragma once
// The "setup" object the settings pages script against: the plug-in's values
// in the host's store, and the questions the pages put to the plug-in's
// settings object (QueryText and QueryNum over the bus). The object belongs
// to the pages of one plug-in: a page first names that plug-in with
// StartSettings; until then, and for any other name, every call answers
// nothing, so a page can never reach another plug-in's values.
// Calls to the plug-in never block the host: they answer a future that the
// reply fulfils, so the plug-in may call back into the host meanwhile.
#include "lib/settings_store.h"

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
    // pagesOf: the plug-in whose pages use this object; the only one StartSettings takes.
    SettingsSetup(ToolbarHost& host, const QString& pagesOf, QObject* parent = nullptr);

    const QString& Plugin() const { return plugin_; }

    // False for a plug-in the host does not know or whose pages these are not.
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
    const QString pagesOf_;
    QString plugin_;
    QTimer refresh_;
};

} // namespace nuvex::host
