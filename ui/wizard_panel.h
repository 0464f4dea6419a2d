#pragma once
// The account-settings page of the wizard: a base that holds what every
// account type shares (the stored settings, the action list, the Associate
// question, the connection test) and one layout per kind of account. The
// wizard gives the page a container widget, calls BuildPage,
// ReadSettingsText, SettingsToControls and ValidatePage, and later
// BuildSettingsText and SummaryText.
#include "accounts/account_context.h"

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace nuvex {

struct TConnectorClass;
class TCryptURL;
struct TAccountFields;
class TConnectionTest;

// The action list's choices, last one "Do Nothing"; the code of an index and
// the index of a code. Codes out of range give an index out of range.
std::int32_t ActionCodeOfIndex(int index, int choices);
int ActionIndexOfCode(std::int32_t code, int choices);

// A "What's this?" label: blue, hand cursor, reachable by Tab, opens the help
// address with every "%help_tag" (any case) replaced by number.
QString HelpAddress(const QString& pattern, int number);

// What is wrong with a field's text, as a sentence for the page ("The login
// name holds a blank."), or empty when it may be stored. The same rules as the
// command-line tool: not empty, at most 1024 bytes, no control character,
// blanks only where allowBlank.
QString InputProblem(const QString& what, const QString& value, bool allowBlank);
// The address rule on top: it needs an "@".
QString AddressProblem(const QString& value);

class TNuvex_WizardPanel : public QObject {
    Q_OBJECT
public:
    // Sets the defaults, creates PagePanel on container and draws "WIZBUTTON".
    explicit TNuvex_WizardPanel(QWidget* container);
    ~TNuvex_WizardPanel() override;

    QWidget* PagePanel = nullptr; // fills the container; freed with it
    std::string UserName;         // "USERNAME"
    std::string Email;            // "EMAIL"
    std::string Password;         // "PASSWORD"; never logged
    std::int32_t CheckMinutes = 15;
    std::int32_t ActionCode = 0; // 0 nothing, 1 webmail, 2 mail program
    bool DefaultCompose = false; // the wizard writes "MAILACCCOMP"
    bool SendTo = false;
    bool AssociateConfirmed = false; // the wizard writes "EBUTTACTION", "MAILACCOUNT"
    bool Associate = false;
    bool DefaultNotify = true;
    bool NotifyWindow = true;
    bool NotifySound = true;
    bool NotifyTray = true;
    const TConnectorClass* AccountClass = nullptr; // set by the wizard
    bool ButtonActionSet = false;                  // set by the wizard
    std::function<void()> OnAdvanced;              // the page's ShowAdvanced
    QImage ButtonBitmap;                           // "WIZBUTTON", 132 x 37
    QPointer<QPushButton> NextButton;              // the wizard's Next

    // What the page needs from the program, set by the wizard before
    // BuildPage: the registry (mail programs), host and transports for the
    // connection test.
    AccountContext Context;
    QString WizardCaption;   // caption of the page's message boxes
    QString HelpLinkPattern; // "WHAT_LINK"

    // Seams the tests replace; the defaults show Qt dialogs.
    // Yes/No question; true for Yes.
    std::function<bool(const QString& text)> AskYesNo;
    // The connection test's result box: information when passed, else warning.
    std::function<void(bool passed, const QString& text)> ShowTestResult;
    // The "Browse..." file dialog: the chosen file, or empty.
    std::function<QString(const QString& title, const QString& startDir)> BrowseForProgram;
    // Opens a help address.
    std::function<void(const QString& url)> OpenHelp;

    // The settings text of the fields and controls; empty on failure.
    std::string BuildSettingsText();
    // Fields from a settings text; an empty text gives DefaultNotify true and
    // every other flag false.
    void ReadSettingsText(const std::string& text);

    // Lines "label||value" ended by CR LF for the confirmation page.
    virtual std::string SummaryText() = 0;
    // Adds the type's keys to the record being built (controls read first).
    virtual void WriteTypeKeys(TAccountFields& fields) = 0;
    virtual void ReadTypeKeys(const TCryptURL& record) = 0;
    // Starts the login test off the GUI thread; the page shows it is busy
    // and offers Cancel until the result box comes.
    virtual void TestConnection();
    virtual void ShowAdvanced();
    virtual void ConfirmAssociate();
    virtual void BuildPage(bool editMode);
    virtual void SettingsToControls() = 0;
    // Enables NextButton when the input is complete and shows what is missing
    // on the page otherwise; answers whether it is complete.
    virtual bool ValidatePage() = 0;

    // What is wrong with the input, empty when it is complete. The page shows
    // it once the user has typed into it or tried to go on (RevealProblem);
    // an edit shows it at once.
    QString ProblemText() const;
    void RevealProblem();
    // The last finished connection test failed, and the settings are still
    // the ones it tried.
    bool TestFailedForCurrentSettings();
    bool TestRunning() const;
    void CancelTest();

signals:
    // After the result box of a connection test (or its cancel).
    void ConnectionTestFinished(bool passed, const QString& text);

protected:
    // Shared building blocks; positions are the page's own pixels.
    QLabel* AddLabel(const QString& text, int left, int top, bool bold = false);
    QLabel* AddHelpLink(int number, int left, int top);
    QComboBox* AddActionList(int left, int top, int width, bool withMailProgram);
    void AddTestButton(int left, int top);
    void AddProblemLabel(int top);
    void AddButtonPicture(int top);
    void SetProblem(const QString& text);
    // The click handler of the Associate box.
    void AssociateClicked();
    // Action list <-> ActionCode.
    void ActionFromList();
    void ActionToList();
    // The mail-program list: programs of the registry bridge, then "Browse...".
    void FillMailPrograms(QComboBox* list);
    void MailProgramChosen(int index);
    int MailProgramIndex(const std::string& name) const;
    std::string MailProgramName() const;
    // The host and port the connection test names in its messages.
    virtual QString ServerForMessages() const;

    QComboBox* actionList_ = nullptr;
    QComboBox* mailPrograms_ = nullptr;
    QCheckBox* associateBox_ = nullptr;
    QPushButton* testButton_ = nullptr;
    QPushButton* cancelTestButton_ = nullptr;
    QProgressBar* busyBar_ = nullptr;
    QLabel* hintLabel_ = nullptr;
    QLabel* testLinkLabel_ = nullptr;
    QLabel* problemLabel_ = nullptr;
    int mailClientIndex_ = -1;
    QString browsedPath_;
    QString lastBrowseDir_;
    bool editMode_ = false;
    // Positions are the design's pixels at the dialogs' 13-pixel font cell;
    // a larger font spreads them by the same factor so no text is clipped.
    double scale_ = 1.0;
    int S(int pixels) const;
    // Places a field, tied to its label for keyboard and screen readers.
    void PlaceField(QWidget* field, QLabel* label, int left, int top, int width);

private:
    void TestDone(bool passed, const QString& text);
    QString problem_;
    bool problemRevealed_ = false;
    std::string testedSettings_; // of the last finished test
    bool testFailed_ = false;
    std::unique_ptr<TConnectionTest> test_;
    QPointer<QWidget> panelGuard_;
};

// The page of a connector class by its WizardPanelClass name, or null.
std::unique_ptr<TNuvex_WizardPanel> CreateWizardPanel(const TConnectorClass& cls, QWidget* container);

} // namespace nuvex
