#pragma once
// The advanced settings dialogs of the account pages: check interval and
// notification choices, for POP3 the server port and SSL, and for IMAP the
// port, the security and the folders to watch. They change
// only the page's fields, and only on OK.
#include "ui/vostrel_win.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <array>
#include <string_view>

namespace nuvex {

class TNuvex_WizardPanel;
class TPop3Basic;
class TImapBasic;

// The check intervals in list order: text (not translated) and minutes.
struct TCheckInterval {
    std::string_view text;
    int minutes;
};
inline constexpr std::array<TCheckInterval, 8> kCheckIntervals{{{"5 minutes", 5},
                                                                {"10 minutes", 10},
                                                                {"15 minutes", 15},
                                                                {"30 minutes", 30},
                                                                {"45 minutes", 45},
                                                                {"1 hour", 60},
                                                                {"2 hours", 120},
                                                                {"4 hours", 240}}};

class TNuvex_Advanced : public TVostrelWin {
public:
    TNuvex_Advanced();

    QLabel* Title = nullptr;
    QWidget* Header = nullptr;
    QWidget* Content = nullptr;
    QWidget* Footer = nullptr;
    QComboBox* IntervalList = nullptr;
    QRadioButton* DefaultRadio = nullptr;
    QRadioButton* CustomRadio = nullptr;
    QCheckBox* SoundBox = nullptr;
    QCheckBox* TrayBox = nullptr;
    QCheckBox* WindowBox = nullptr;

    // Fills the controls from page, runs the dialog with owner disabled, and
    // copies back on OK. Answers the result.
    int Run(TNuvex_WizardPanel& page, QWidget* owner);
    // The two steps of Run on their own, for tests and for the POP3 dialog.
    void FromPage(const TNuvex_WizardPanel& page);
    void ToPage(TNuvex_WizardPanel& page) const;

protected:
    // height of the dialog; offset moves the interval and notification part down.
    TNuvex_Advanced(int height, int offset);
    void UpdateBoxes();
    TDialogFrame frame_;
};

class TNuvex_AdvancedPop3 : public TNuvex_Advanced {
public:
    TNuvex_AdvancedPop3();

    QLineEdit* PortBox = nullptr;
    QCheckBox* SslBox = nullptr;

    int Run(TPop3Basic& page, QWidget* owner);
    void FromPage(const TPop3Basic& page);
    void ToPage(TPop3Basic& page) const;

private:
    QLabel* helpLink_ = nullptr;
};

class TNuvex_AdvancedImap : public TNuvex_Advanced {
public:
    TNuvex_AdvancedImap();

    QLineEdit* PortBox = nullptr;
    QComboBox* SecurityList = nullptr; // TLS, STARTTLS, none
    QLineEdit* FoldersBox = nullptr;   // names separated by commas

    int Run(TImapBasic& page, QWidget* owner);
    void FromPage(const TImapBasic& page);
    void ToPage(TImapBasic& page) const;
};

// Runs the dialog that fits the page on the page's container.
int ShowAdvancedDialog(TNuvex_WizardPanel& page);

} // namespace nuvex
