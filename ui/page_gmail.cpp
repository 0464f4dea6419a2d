#include "ui/page_gmail.h"

#include "accounts/account_store.h"
#include "accounts/generic_connector.h"
#include "lib/branding.h"
#include "lib/crypt_url.h"
#include "ui/tr.h"

#include <charconv>

namespace nuvex {

void TGMailBasic::BuildPage(bool editMode) {
    AddLabel(Tr("Enter the email address, login name and password given to you by your email provider."), 40,
             16, true);
    QLabel* emailLabel = AddLabel(Tr("Email Address:"), 55, 42);
    EmailBox = new QLineEdit;
    EmailBox->setObjectName(QStringLiteral("EmailBox"));
    PlaceField(EmailBox, emailLabel, 170, 38, 146);
    const std::string sample =
        AccountClass ? AccountClass->ExampleAddress() : std::string("yourname@gmail.com");
    AddLabel(QStringLiteral("(") + Tr("e.g.") + QStringLiteral(" ") + QString::fromStdString(sample) +
                 QStringLiteral(")"),
             325, 42);

    QLabel* passwordLabel = AddLabel(Tr("Your Password:"), 55, 70);
    PasswordBox = new QLineEdit;
    PasswordBox->setObjectName(QStringLiteral("PasswordBox"));
    PasswordBox->setEchoMode(QLineEdit::Password);
    PlaceField(PasswordBox, passwordLabel, 170, 66, 146);

    QLabel* interfaceLabel = AddLabel(Tr("GMail Interface:"), 55, 98);
    InterfaceList = new QComboBox;
    InterfaceList->setObjectName(QStringLiteral("InterfaceList"));
    InterfaceList->addItem(Tr("Webmail Access"));
    InterfaceList->addItem(Tr("POP3 Access"));
    PlaceField(InterfaceList, interfaceLabel, 170, 92, 146);
    QLabel* interfaceLink = AddHelpLink(1163, S(325), S(98));
    // Not translated.
    const char* notes[2] = {"Recommended when you are using web based GMail interface.",
                            "Important! You have to activate POP3 access for your GMail account first."};
    for (int i = 0; i < 2; ++i) {
        Notes[i] = new QLabel(QString::fromLatin1(notes[i]), PagePanel);
        Notes[i]->setWordWrap(true);
        Notes[i]->setGeometry(S(174), S(118), S(280), S(28));
        Notes[i]->setVisible(i == 0);
    }

    AddTestButton(60, 154);
    auto* line = new QFrame(PagePanel);
    line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line->setGeometry(S(37), S(190), S(486), 2);

    AddLabel(Tr("Select an action associated with clicking on account name in the Email Button menu."), 40,
             204, true);
    AddActionList(55, 230, 150, true);
    MailClientList = new QComboBox;
    MailClientList->setObjectName(QStringLiteral("MailClientList"));
    PlaceField(MailClientList, nullptr, 220, 230, 150);
    MailClientList->setAccessibleName(Tr("Mail program"));
    FillMailPrograms(MailClientList);
    AddButtonPicture(230);

    AssociateBox = new QCheckBox(Tr("Associate above selected action with Email Button"), PagePanel);
    AssociateBox->setObjectName(QStringLiteral("AssociateBox"));
    AssociateBox->move(S(55), S(270));
    AssociateBox->adjustSize();
    associateBox_ = AssociateBox;
    connect(AssociateBox, &QCheckBox::clicked, this, [this] { AssociateClicked(); });
    AddProblemLabel(298);

    connect(EmailBox, &QLineEdit::textChanged, this, [this] { ValidatePage(); });
    connect(PasswordBox, &QLineEdit::textChanged, this, [this] { ValidatePage(); });
    connect(InterfaceList, &QComboBox::currentIndexChanged, this, [this] { UpdateVisibility(); });
    connect(actionList_, &QComboBox::currentIndexChanged, this, [this] { UpdateVisibility(); });

    QWidget::setTabOrder(EmailBox, PasswordBox);
    QWidget::setTabOrder(PasswordBox, InterfaceList);
    QWidget::setTabOrder(InterfaceList, interfaceLink);
    QWidget::setTabOrder(interfaceLink, testButton_);
    QWidget::setTabOrder(testButton_, cancelTestButton_);
    QWidget::setTabOrder(cancelTestButton_, testLinkLabel_);
    QWidget::setTabOrder(testLinkLabel_, actionList_);
    QWidget::setTabOrder(actionList_, MailClientList);
    QWidget::setTabOrder(MailClientList, AssociateBox);
    UpdateVisibility();
    TNuvex_WizardPanel::BuildPage(editMode);
}

void TGMailBasic::UpdateVisibility() {
    const int choice = InterfaceList->currentIndex();
    Notes[0]->setVisible(choice == 0);
    Notes[1]->setVisible(choice == 1);
    MailClientList->setVisible(actionList_->currentIndex() == 0);
}

void TGMailBasic::WriteTypeKeys(TAccountFields& fields) {
    const std::string address = EmailBox->text().toStdString();
    fields.email = address;
    fields.userName = address;
    Associate = AssociateBox->isChecked();
    ActionFromList();
    fields.associate = Associate;
    fields.actionCode = ActionCode;
    InterfaceType = std::max(0, InterfaceList->currentIndex());
    fields.typeKeys.insert(fields.typeKeys.end(), {
                                                      {"EMAIL", address},
                                                      {"USERNAME", address},
                                                      {"PASSWORD", PasswordBox->text().toStdString()},
                                                      {"ASSOCIATE", Associate ? "1" : "0"},
                                                      {"ACODE", std::to_string(ActionCode)},
                                                      {"AMAILER", MailProgramName()},
                                                      {"CTYPE", std::to_string(InterfaceType)},
                                                  });
}

void TGMailBasic::ReadTypeKeys(const TCryptURL& record) {
    MailClientIndex = MailProgramIndex(record.GetParam("AMAILER"));
    const std::string type = record.GetParam("CTYPE");
    int value = 0;
    auto [end, error] = std::from_chars(type.data(), type.data() + type.size(), value);
    InterfaceType = (error == std::errc() && end == type.data() + type.size() && !type.empty()) ? value : 0;
}

void TGMailBasic::SettingsToControls() {
    PasswordBox->setText(QString::fromStdString(Password));
    AssociateBox->setChecked(Associate);
    ActionToList();
    MailClientList->setCurrentIndex(MailClientIndex);
    mailClientIndex_ = MailClientIndex;
    InterfaceList->setCurrentIndex(InterfaceType >= 0 && InterfaceType < 2 ? InterfaceType : 0);
    UpdateVisibility();
    EmailBox->setText(QString::fromStdString(UserName));
    EmailBox->setFocus();
}

bool TGMailBasic::ValidatePage() {
    QString problem = AddressProblem(EmailBox->text());
    if (problem.isEmpty()) {
        problem = InputProblem(Tr("the password"), PasswordBox->text(), true);
    }
    SetProblem(problem);
    return problem.isEmpty();
}

std::string TGMailBasic::SummaryText() {
    const std::string provider = AccountClass ? AccountClass->ProviderName() : std::string();
    return "Account Type :||" + provider + "\r\nLogin Name :||" + EmailBox->text().toStdString() + "\r\n";
}

} // namespace nuvex
