#pragma once
// The POP3 page: address, login, password and server, the three-choice
// action list with the mail-program list or the webmail address beside it,
// and Associate. Port and SSL are edited in the POP3 advanced dialog.
#include "ui/wizard_panel.h"

#include <QCheckBox>
#include <QLineEdit>

namespace nuvex {

class TPop3Basic : public TNuvex_WizardPanel {
    Q_OBJECT
public:
    using TNuvex_WizardPanel::TNuvex_WizardPanel;

    std::string HostName;     // "HOSTNAME"
    std::string WebmailUrl;   // "AURL"
    int MailClientIndex = -1; // from "AMAILER"; -1: none
    std::string Port = "110"; // "PORT", as typed in the advanced dialog
    bool UseSsl = false;      // "USESSL"

    std::string SummaryText() override;
    void WriteTypeKeys(TAccountFields& fields) override;
    void ReadTypeKeys(const TCryptURL& record) override;
    void ShowAdvanced() override;
    void BuildPage(bool editMode) override;
    void SettingsToControls() override;
    bool ValidatePage() override;

    QLineEdit* EmailBox = nullptr;
    QLineEdit* LoginBox = nullptr;
    QLineEdit* PasswordBox = nullptr;
    QLineEdit* ServerBox = nullptr;
    QLineEdit* WebmailBox = nullptr;
    QComboBox* MailClientList = nullptr;
    QCheckBox* AssociateBox = nullptr;

protected:
    QString ServerForMessages() const override;

private:
    void UpdateVisibility();
};

} // namespace nuvex
