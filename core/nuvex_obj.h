#pragma once
// The automation object of the Mail button: answers the host's questions
// about the button and hands its clicks and menu commands to the controller.
#include "core/plugin_obj.h"
#include "lib/plugin_settings.h"

namespace nuvex {

class TNuvexPlugin;

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

    ButtonInfo GetButtonInfo(int index) override;
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

    TNuvexPlugin& mail_;
};

} // namespace nuvex
