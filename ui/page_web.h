#pragma once
// The web account page: address and password, the two-choice action list,
// Associate, default account and (new accounts only) the Send To shortcut.
// The web-service, Hotmail and Yahoo accounts all use it.
#include "ui/wizard_panel.h"

#include <QCheckBox>
#include <QLineEdit>

namespace nuvex {

class TWebvaultBasic : public TNuvex_WizardPanel {
    Q_OBJECT
public:
    using TNuvex_WizardPanel::TNuvex_WizardPanel;

    std::string SummaryText() override;
    void WriteTypeKeys(TAccountFields& fields) override;
    void ReadTypeKeys(const TCryptURL& record) override;
    void BuildPage(bool editMode) override;
    void SettingsToControls() override;
    bool ValidatePage() override;

    QLineEdit* EmailBox = nullptr;
    QLineEdit* PasswordBox = nullptr;
    QCheckBox* AssociateBox = nullptr;
    QCheckBox* DefaultAccountBox = nullptr;
    QCheckBox* SendToBox = nullptr; // new accounts only
};

class THotmailBasic : public TWebvaultBasic {
    Q_OBJECT
public:
    using TWebvaultBasic::TWebvaultBasic;
};

class TYahooBasic : public TWebvaultBasic {
    Q_OBJECT
public:
    using TWebvaultBasic::TWebvaultBasic;
};

} // namespace nuvex
