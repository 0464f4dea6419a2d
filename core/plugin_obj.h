#pragma once
// The automation object the toolbar host creates, one per browser window and
// one for the settings dialog. The base answers every ITB4Plugin method with
// the frame's default; the mail object overrides the virtuals it needs. Calls
// arrive on the GUI thread through the event loop.
#include "contract/button_info.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace nuvex {

class BusHostConfig;

// What an object asks of its process: a settings refresh (which may be
// joined with others that follow closely), and whether the tray icon shows,
// which keeps the host from exiting. Unset: no refresh, no tray.
struct FrameCalls {
    std::function<void()> requestRefresh;
    std::function<bool()> trayShown;
};

class TPluginObj : public QObject {
    Q_OBJECT
public:
    explicit TPluginObj(FrameCalls frame = {}, QObject* parent = nullptr);
    ~TPluginObj() override;

    // Handled here for every plug-in, never overridden.
    QString GetPluginName() const;
    void Connect();
    void Refresh();

    virtual void ButtonClick(const QString& button);
    virtual int GetContextKind();
    virtual ButtonInfo GetButtonInfo(int index);
    virtual QString GetHelpURL();
    virtual int QueryNum(const QString& key, int index);
    virtual QString QueryText(const QString& key, const QString& param);
    virtual QString GetConfigText();
    virtual void SetContext(const QString& value);
    virtual qint16 GetFlags();
    virtual void ExecCommand(int value, const QString& command);
    virtual void Connected();
    virtual void GetSettingsPages(QString& pages, QByteArray& bitmap);
    virtual QString GetAuxText1();
    virtual QString GetAuxText2();
    virtual void Activate();
    virtual void Deactivate();
    virtual void UpdateButton();

    const QString& Context() const { return context_; }

    // Host access: each makes the host interface first; a failure gives the default.
    BusHostConfig* Host();
    int ReadCfgInt(const QString& key, int flag = -1);
    QString ReadCfgStr(const QString& key, int flag = -1);
    bool ReadCfgBool(const QString& key, int flag = -1);
    bool WriteCfgBool(const QString& key, bool value, bool configChanged = false, int flag = -1);

protected:
    // The keys every plug-in answers; false when key is not one of them.
    bool BaseQueryText(const QString& key, const QString& param, QString& out);

    QString context_;

private:
    FrameCalls frame_;
    std::unique_ptr<BusHostConfig> host_;
};

} // namespace nuvex
