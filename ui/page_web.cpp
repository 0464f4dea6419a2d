#include "ui/page_web.h"

#include "accounts/account_store.h"
#include "accounts/generic_connector.h"
#include "lib/branding.h"
#include "lib/crypt_url.h"
#include "ui/tr.h"

namespace nuvex {
namespace {

QString Example(const TConnectorClass* cls) {
    const std::string sample = cls ? cls->ExampleAddress() : std::string("yourname@mail.example");
    return QStringLiteral("(") + Tr("e.g.") + QStringLiteral(" ") + QString::fromStdString(sample) +
           QStringLiteral(")");
}

} // namespace

void TWebvaultBasic::BuildPage(bool editMode) {
    QLabel* headline =
        AddLabel(Tr("Enter email address and password given to you by") + QStringLiteral(" "), 40, 16, true);
    QLabel* provider = AddLabel(
        QString::fromStdString(AccountClass ? AccountClass->ProviderName() : std::string()), 0, 16, true);
    provider->move(headline->geometry().right() + 1, headline->y());

    QLabel* emailLabel = AddLabel(Tr("Your Email Address:"), 55, 42);
    EmailBox = new QLineEdit;
    EmailBox->setObjectName(QStringLiteral("EmailBox"));
    PlaceField(EmailBox, emailLabel, 170, 38, 146);
    AddLabel(Example(AccountClass), 325, 42);
    connect(EmailBox, &QLineEdit::textChanged, this, [this] { ValidatePage(); });

    QLabel* passwordLabel = AddLabel(Tr("Your Password:"), 55, 70);
    PasswordBox = new QLineEdit;
    PasswordBox->setObjectName(QStringLiteral("PasswordBox"));
    PasswordBox->setEchoMode(QLineEdit::Password);
    PlaceField(PasswordBox, passwordLabel, 170, 64, 146);
    connect(PasswordBox, &QLineEdit::textChanged, this, [this] { ValidatePage(); });

    AddTestButton(60, 106);

    auto* line = new QFrame(PagePanel);
    line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line->setGeometry(S(37), S(146), S(486), 2);

    AddLabel(Tr("Select an action associated with clicking on account name in the Email Button menu."), 40,
             160, true);
    AddActionList(55, 186, 166, false);
    AddButtonPicture(186);

    AssociateBox = new QCheckBox(Tr("Associate above selected action with Email Button"), PagePanel);
    AssociateBox->setObjectName(QStringLiteral("AssociateBox"));
    AssociateBox->move(S(55), S(226));
    AssociateBox->adjustSize();
    associateBox_ = AssociateBox;
    connect(AssociateBox, &QCheckBox::clicked, this, [this] { AssociateClicked(); });

    DefaultAccountBox = new QCheckBox(Tr("Use this account as your default account"), PagePanel);
    DefaultAccountBox->setObjectName(QStringLiteral("DefaultAccountBox"));
    DefaultAccountBox->move(S(55), S(248));
    DefaultAccountBox->adjustSize();
    QLabel* defaultLink =
        AddHelpLink(1132, DefaultAccountBox->geometry().right() + 1 + S(10), DefaultAccountBox->y() + S(2));

    QWidget* last = DefaultAccountBox;
    QLabel* sendToLink = nullptr;
    if (!editMode) {
        SendToBox = new QCheckBox(Tr("Add to the Send To menu of Thunar and Dolphin"), PagePanel);
        SendToBox->setObjectName(QStringLiteral("SendToBox"));
        SendToBox->setChecked(true);
        SendToBox->move(S(55), S(270));
        SendToBox->adjustSize();
        sendToLink = AddHelpLink(1133, SendToBox->geometry().right() + 1 + S(10), SendToBox->y() + S(2));
        last = SendToBox;
    }
    AddProblemLabel(editMode ? 276 : 298);

    // Tab order: the fields as numbered, each link right after the control it explains.
    QWidget::setTabOrder(EmailBox, PasswordBox);
    QWidget::setTabOrder(PasswordBox, testButton_);
    QWidget::setTabOrder(testButton_, cancelTestButton_);
    QWidget::setTabOrder(cancelTestButton_, testLinkLabel_);
    QWidget::setTabOrder(testLinkLabel_, actionList_);
    QWidget::setTabOrder(actionList_, AssociateBox);
    QWidget::setTabOrder(AssociateBox, DefaultAccountBox);
    QWidget::setTabOrder(DefaultAccountBox, defaultLink);
    if (SendToBox) {
        QWidget::setTabOrder(defaultLink, SendToBox);
        QWidget::setTabOrder(SendToBox, sendToLink);
    }
    (void)last;
    TNuvex_WizardPanel::BuildPage(editMode);
}

void TWebvaultBasic::WriteTypeKeys(TAccountFields& fields) {
    const std::string address = EmailBox ? EmailBox->text().toStdString() : Email;
    fields.userName = address;
    fields.email = address;
    if (AssociateBox) {
        Associate = AssociateBox->isChecked();
    }
    ActionFromList();
    fields.associate = Associate;
    fields.actionCode = ActionCode;
    if (DefaultAccountBox) {
        DefaultCompose = DefaultAccountBox->isChecked();
    }
    if (SendToBox) {
        SendTo = SendToBox->isChecked();
    }
    fields.sendTo = SendTo;
    AddWebTypeKeys(fields, PasswordBox ? PasswordBox->text().toStdString() : Password);
    // This page says which account composes; the shared writer keeps "0".
    fields.typeKeys.emplace_back("MAILTO", DefaultCompose ? "1" : "0");
}

void TWebvaultBasic::ReadTypeKeys(const TCryptURL& record) {
    SendTo = record.GetParam("SENDTO") != "0";
}

void TWebvaultBasic::SettingsToControls() {
    PasswordBox->setText(QString::fromStdString(Password));
    AssociateBox->setChecked(Associate);
    if (SendToBox) {
        SendToBox->setChecked(SendTo);
    }
    DefaultAccountBox->setChecked(DefaultCompose);
    ActionToList();
    EmailBox->setText(QString::fromStdString(UserName));
    EmailBox->setFocus();
}

bool TWebvaultBasic::ValidatePage() {
    QString problem = AddressProblem(EmailBox->text());
    if (problem.isEmpty()) {
        problem = InputProblem(Tr("the password"), PasswordBox->text(), true);
    }
    SetProblem(problem);
    return problem.isEmpty();
}

std::string TWebvaultBasic::SummaryText() {
    const std::string caption = AccountClass ? AccountClass->TypeCaption() : std::string();
    return "Account Type :||" + caption + "\r\nEmail Address :||" + EmailBox->text().toStdString() + "\r\n";
}

} // namespace nuvex
