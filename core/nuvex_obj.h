#pragma once
// The automation object of the Mail button: answers the host's questions
// about the button and hands its clicks and menu commands to the controller.
#include "core/plugin_obj.h"
#include "lib/plugin_settings.h"

#include <QStringList>
#include <functional>

namespace nuvex {

class TNuvexPlugin;
class TNuvex_GenericConnector;

class TNuvexObj : public TPluginObj {
    Q_OBJECT
public:
    TNuvexObj(TNuvexPlugin& plugin, QObject* parent = nullptr);

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

    TNuvexPlugin& mail_;
};

} // namespace nuvex
