#pragma once
// The GMail page: address, password, the interface list with its two notes,
// the three-choice action list with the mail-program list, and Associate.
#include "ui/wizard_panel.h"

#include <QCheckBox>
#include <QLineEdit>

namespace nuvex {

class TGMailBasic : public TNuvex_WizardPanel {
    Q_OBJECT
public:
    using TNuvex_WizardPanel::TNuvex_WizardPanel;

    int MailClientIndex = -1;       // from "AMAILER"; -1: none
    std::int32_t InterfaceType = 0; // "CTYPE": 0 webmail access, 1 POP3 access

    std::string SummaryText() override;
    void WriteTypeKeys(TAccountFields& fields) override;
    void ReadTypeKeys(const TCryptURL& record) override;
    void BuildPage(bool editMode) override;
    void SettingsToControls() override;
    bool ValidatePage() override;

    QLineEdit* EmailBox = nullptr;
    QLineEdit* PasswordBox = nullptr;
    QComboBox* InterfaceList = nullptr;
    QLabel* Notes[2] = {nullptr, nullptr};
    QComboBox* MailClientList = nullptr;
    QCheckBox* AssociateBox = nullptr;

private:
    void UpdateVisibility();
};

} // namespace nuvex
