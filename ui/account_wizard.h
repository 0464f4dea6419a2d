#pragma once
// The account wizard: welcome, account type, account settings and
// confirmation for a new account; only the settings page for an edit. It
// collects what the user typed and stores nothing: the account editors read
// its account page once the form's result is 1.
#include "accounts/account_context.h"
#include "ui/vostrel_win.h"

#include <QCheckBox>
#include <QFont>
#include <QImage>
#include <QRadioButton>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvex {

class TAccountList;
class TConnectorRegistry;
struct TConnectorClass;

// What the user chose on the account page besides the settings text.
struct TPageChoices {
    bool defaultCompose = false; // write "MAILACCCOMP"
    bool sendTo = false;
    bool associate = false;
    bool associateConfirmed = false; // write "EBUTTACTION" and "MAILACCOUNT"
};

// What the wizard asks of an account-type page. The page builds its controls
// on the container it is given and enables the Next button once its input is
// complete.
class TAccountPage {
public:
    virtual ~TAccountPage() = default;
    // Before BuildPage: the page's class and whether the toolbar button
    // already has an action.
    virtual void Setup(const TConnectorClass& cls, bool buttonActionSet) = 0;
    virtual void BuildPage(bool editMode) = 0;
    virtual void ReadSettingsText(const std::string& text) = 0;
    virtual void SettingsToControls() = 0;
    virtual void SetNextButton(QPushButton* next) = 0;
    virtual void ValidatePage() = 0;
    virtual std::string BuildSettingsText() = 0;
    virtual std::string SummaryText() = 0;
    // The Advanced button's action.
    virtual void ShowAdvanced() = 0;
    // The page's own panel (shown and hidden with the page).
    virtual QWidget* Panel() = 0;
    virtual const TConnectorClass* AccountClass() const = 0;
    virtual TPageChoices Choices() const = 0;
    virtual void SetDefaultCompose(bool on) = 0;
    // The user tried to go on: show what is still missing.
    virtual void RevealProblems() {}
    // The last connection test of the settings as they stand failed.
    virtual bool TestFailed() { return false; }
};

// Makes the page of a connector class on container; nullptr when the class
// has no page.
using TPageFactory =
    std::function<std::unique_ptr<TAccountPage>(const TConnectorClass& cls, QWidget* container)>;

// What the wizard reaches outside itself.
struct TWizardEnv {
    TAccountList* accounts = nullptr;          // type limits and the duplicate check
    const TConnectorRegistry* types = nullptr; // the offered and optional types
    TPageFactory makePage;
    std::function<void(int tag)> openHelp; // "WHAT_LINK" with "%help_tag" = tag, in a browser
    std::function<void()> openSignUp;      // "REG_MAIL" in a browser
    // The duplicate question; true only for an explicit Yes. Default: a
    // message box with No as its default button.
    std::function<bool()> askDuplicate;
};

inline constexpr int kPageWelcome = 0;
inline constexpr int kPageType = 1;
inline constexpr int kPageAccount = 2;
inline constexpr int kPageConfirm = 3;

// Footer button tags: what a click does in Navigate.
inline constexpr int kTagNext = 1;
inline constexpr int kTagCancel = 2;
inline constexpr int kTagBack = 5;

inline constexpr int kWizardWidth = 570;
inline constexpr int kWizardHeight = 450;

class TWizard : public TVostrelWin {
public:
    // afterInstall: no owner, topmost, and the welcome title of a fresh install.
    TWizard(QWidget* owner, bool afterInstall, TWizardEnv env);
    ~TWizard() override;

    int CurrentPage = kPageWelcome;
    std::array<QWidget*, 4> PagePanels{};
    int FirstPage = kPageWelcome;
    int LastPage = kPageConfirm;
    int PreviousPage = kPageWelcome;
    QLabel* TitleLabel = nullptr;
    QLabel* StepLabel = nullptr;
    QWidget* HeaderPanel = nullptr;
    QWidget* ContentPanel = nullptr;
    QWidget* FooterPanel = nullptr;
    QWidget* SidePicture = nullptr;
    QImage SideBitmap;
    QImage FolderBitmap;
    QPushButton* BackButton = nullptr;
    QPushButton* AdvancedButton = nullptr;
    QPushButton* NextButton = nullptr;
    QPushButton* CancelButton = nullptr;
    // On the confirmation page after a failed connection test: Finish waits
    // for this box.
    QCheckBox* SaveAnywayBox = nullptr;
    QString Caption;
    std::string PageTypeCode;
    std::unique_ptr<TAccountPage> AccountPage;
    struct TypeChoice {
        QRadioButton* radio = nullptr; // none in edit mode
        const TConnectorClass* cls = nullptr;
    };
    std::vector<TypeChoice> TypeChoices;
    bool NewAccountMode = false;
    bool AfterInstall = false;
    bool ButtonActionSet = false;

    // The window base's Prepare, then the dialog font again: pages made later
    // (the account and confirmation pages) use the frame's font, or the
    // desktop's when that is larger, not the base's 8-point default.
    void Prepare();

    // Builds or shows the page and sets the header and footer for it.
    void ShowPage(int page);
    // Page 2 for the checked type or, without radio buttons, for typeCode.
    // False when no type qualifies (no page is made).
    bool BuildAccountPage(const std::string& typeCode = {});
    // A click on Next (kTagNext), Back (kTagBack) or Cancel (kTagCancel).
    void Navigate(int tag);
    // Reduces the wizard to page 2 of an existing account of typeCode.
    bool PrepareEdit(const std::string& typeCode);

    QWidget* AccountContainer() const { return accountContainer_; }

private:
    void BuildWelcomePage();
    void BuildTypePage();
    void BuildConfirmPage();
    void GrowToPage(QWidget* page);
    void LayOutFooter();
    void AddSignUpLines(QWidget* page, int left, int minTop);
    void SetTitle(const std::string& text);
    void SetStep(int step);
    bool DuplicateAllowed();
    void FillTypeChoicesForEdit();
    // Enter: Next when it can be used, else the account page says what is missing.
    void DefaultAction();

    TWizardEnv env_;
    QWidget* accountContainer_ = nullptr;
    QFont frameFont_;
};

// The pictures of the wizard, drawn here: "BMPPANEL" (the welcome page's side
// picture, 165 x 310) and "WIZFOLDER" (58 x 66, its top-left pixel is the
// transparent colour). A null image for any other name.
QImage WizardPicture(std::string_view name);

// What the account-type pages need from the program.
struct TPanelPageSetup {
    AccountContext context;  // registry (mail programs) and transports of the connection test
    QString helpLinkPattern; // "WHAT_LINK"
    std::function<void(const QString& url)> openHelp;
};

// The factory of the account-type pages of the program (TNuvex_WizardPanel
// and its layouts).
TPageFactory PanelPageFactory(const TPanelPageSetup& setup);

} // namespace nuvex
