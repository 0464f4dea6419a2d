#pragma once
// The automation object of the Mail button: answers the host's questions
// about the button and hands its clicks and menu commands to the controller.
#include "core/plugin_obj.h"

namespace nuvex {

class TNuvexPlugin;

class TNuvexObj : public TPluginObj {
    Q_OBJECT
public:
    TNuvexObj(TNuvexPlugin& plugin, QObject* parent = nullptr);

    ButtonInfo GetButtonInfo(int index) override;
    void ButtonClick(const QString& button) override;
    void ExecCommand(int value, const QString& command) override;
    void Connected() override;
    void UpdateButton() override;
    void Activate() override;
    void Deactivate() override;

private:
    TNuvexPlugin& mail_;
};

} // namespace nuvex
