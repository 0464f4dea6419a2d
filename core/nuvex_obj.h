#pragma once
// The automation object of the Mail button: answers the host's questions
// about the button and hands its clicks and menu commands to the controller.
#include "core/plugin_obj.h"
#include "lib/plugin_settings.h"

#include <QStringList>
#include <functional>
#include <string>

class QWidget;

namespace nuvex {

class MailHost;
class TAccountList;
class TButtonPresenter;
class TCommandRouter;
class TNuvex_GenericConnector;

// The settings the object reads: the host's store through the plug-in's
// typed values.
struct MailSettingsView {
    MailHost& host;
    PluginSettings& settings;
};

// What the mail object works with, handed in by the controller that makes it.
struct MailObjectParts {
    FrameCalls frame;
    MailSettingsView view;
    TAccountList& accounts;
    TButtonPresenter& presenter;
    TCommandRouter& router;
    // The controller's answers to the host's calls.
    std::function<void()> refreshNow;
    std::function<void()> postRefresh; // queued: runs after the host's call returned
    std::function<void()> flushPendingReload;
    std::function<void()> resumeTicks;
    std::function<void()> deactivated;
    std::function<void(const QString& context)> setBrowserContext;
    std::function<std::string()> accountsChangedStamp;
    // The account editors, owned by owner.
    std::function<void(QWidget* owner, const QString& context)> startAdd;
    std::function<void(int index, const QString& context, QWidget* owner)> startEdit;
    std::function<void(int index, const QString& context, QWidget* owner)> startRemove;
};

class TNuvexObj : public TPluginObj {
    Q_OBJECT
public:
    explicit TNuvexObj(MailObjectParts parts, QObject* parent = nullptr);

    // GetButtonInfo's indexes and the ids and styles it answers.
    static constexpr int kMailButtonIndex = 0;
    static constexpr int kSeparatorIndex = 1;
    static constexpr int kMailButtonId = 500;
    static constexpr int kSeparatorId = 501;
    static constexpr int kStyleAction = 1; // a click runs the account's open action
    static constexpr int kStyleMenu = 2;   // a click drops the menu down

    // The context of the object that serves the settings dialog.
    static const QString& SettingsContext();
    // The pages the settings dialog shows, as tab title "=" address lines.
    static QString SettingsPagesText();

    int GetContextKind() override;
    ButtonInfo GetButtonInfo(int index) override;
    void GetSettingsPages(QString& pages, QByteArray& bitmap) override;
    QString QueryText(const QString& key, const QString& param) override;
    int QueryNum(const QString& key, int index) override;
    QString GetHelpURL() override;
    void ButtonClick(const QString& button) override;
    void ExecCommand(int value, const QString& command) override;
    void Connected() override;
    void UpdateButton() override;
    void Activate() override;
    void Deactivate() override;

private:
    // The enabled value and, when enabled, "SHOW_BUTTON" (else hidden).
    ButtonShow ReadShow(bool& enabled);
    int ButtonStyle();
    void SendMenu();
    // "GET_ACCOUNTS": the enabled accounts the filter names, one line each.
    QString AccountLines(const QString& filter);
    // One fact of the account at index (all accounts, in list order); false
    // when the index is out of range or the list stayed busy.
    bool WithAccount(int index, const std::function<void(TNuvex_GenericConnector&)>& use);
    // Starts an account editor owned by the window in front.
    void StartEditor(const QString& key, int index);

    MailObjectParts parts_;
    MailHost& mailHost_;
    PluginSettings& settings_;
};

} // namespace nuvex
