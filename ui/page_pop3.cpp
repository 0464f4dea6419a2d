#include "ui/page_pop3.h"

#include "accounts/account_store.h"
#include "accounts/generic_connector.h"
#include "accounts/pop3_connector.h"
#include "lib/branding.h"
#include "lib/crypt_url.h"
#include "lib/text.h"
#include "ui/advanced_dialog.h"
#include "ui/tr.h"

namespace nuvex {
namespace {

constexpr const char* kWebmailStart = "http://";
constexpr int kDefaultPort = 110;

} // namespace

void TPop3Basic::BuildPage(bool editMode) {
    AddLabel(Tr("Enter the email address, login name and password given to you by your email provider."), 40,
             16, true);

    QLabel* emailLabel = AddLabel(Tr("Email Address:"), 55, 42);
    EmailBox = new QLineEdit;
    EmailBox->setObjectName(QStringLiteral("EmailBox"));
    PlaceField(EmailBox, emailLabel, 170, 38, 146);
    const std::string sample =
        AccountClass ? AccountClass->ExampleAddress() : std::string("yourname@mail.example");
    AddLabel(QStringLiteral("(") + Tr("e.g.") + QStringLiteral(" ") + QString::fromStdString(sample) +
                 QStringLiteral(")"),
             325, 42);

    QLabel* loginLabel = AddLabel(Tr("Login Name:"), 55, 70);
    LoginBox = new QLineEdit;
    LoginBox->setObjectName(QStringLiteral("LoginBox"));
    PlaceField(LoginBox, loginLabel, 170, 66, 146);
    AddLabel(QStringLiteral("(") + Tr("e.g.") + QStringLiteral(" yourname)"), 325, 70);

    QLabel* passwordLabel = AddLabel(Tr("Your Password:"), 55, 98);
    PasswordBox = new QLineEdit;
    PasswordBox->setObjectName(QStringLiteral("PasswordBox"));
    PasswordBox->setEchoMode(QLineEdit::Password);
    PlaceField(PasswordBox, passwordLabel, 170, 92, 146);

    auto* line1 = new QFrame(PagePanel);
    line1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line1->setGeometry(S(37), S(126), S(486), 2);

    AddLabel(Tr("Enter the name of your incoming POP3 server."), 40, 132, true);
    QLabel* serverLabel = AddLabel(Tr("Incoming POP3 Server:"), 55, 160);
    ServerBox = new QLineEdit;
    ServerBox->setObjectName(QStringLiteral("ServerBox"));
    PlaceField(ServerBox, serverLabel, 185, 156, 131);
    AddLabel(QStringLiteral("(") + Tr("e.g.") + QStringLiteral(" pop.mail.example)"), 325, 160);

    AddTestButton(60, 182);

    auto* line2 = new QFrame(PagePanel);
    line2->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line2->setGeometry(S(37), S(214), S(486), 2);

    AddLabel(Tr("Select an action associated with clicking on account name in the Email Button menu."), 40,
             220, true);
    AddActionList(55, 244, 150, true);
    WebmailBox = new QLineEdit(QString::fromLatin1(kWebmailStart));
    WebmailBox->setObjectName(QStringLiteral("WebmailBox"));
    PlaceField(WebmailBox, nullptr, 220, 244, 150);
    WebmailBox->setAccessibleName(Tr("Webmail address"));
    WebmailBox->hide();
    MailClientList = new QComboBox;
    MailClientList->setObjectName(QStringLiteral("MailClientList"));
    PlaceField(MailClientList, nullptr, 220, 244, 150);
    MailClientList->setAccessibleName(Tr("Mail program"));
    FillMailPrograms(MailClientList);
    AddButtonPicture(244);

    AssociateBox = new QCheckBox(Tr("Associate above selected action with Email Button"), PagePanel);
    AssociateBox->setObjectName(QStringLiteral("AssociateBox"));
    AssociateBox->move(S(55), S(272));
    AssociateBox->adjustSize();
    associateBox_ = AssociateBox;
    connect(AssociateBox, &QCheckBox::clicked, this, [this] { AssociateClicked(); });
    AddProblemLabel(298);

    for (QLineEdit* box : {EmailBox, LoginBox, PasswordBox, ServerBox, WebmailBox}) {
        connect(box, &QLineEdit::textChanged, this, [this] { ValidatePage(); });
    }
    connect(actionList_, &QComboBox::currentIndexChanged, this, [this] {
        UpdateVisibility();
        ValidatePage();
    });

    QWidget::setTabOrder(EmailBox, LoginBox);
    QWidget::setTabOrder(LoginBox, PasswordBox);
    QWidget::setTabOrder(PasswordBox, ServerBox);
    QWidget::setTabOrder(ServerBox, testButton_);
    QWidget::setTabOrder(testButton_, cancelTestButton_);
    QWidget::setTabOrder(cancelTestButton_, testLinkLabel_);
    QWidget::setTabOrder(testLinkLabel_, actionList_);
    QWidget::setTabOrder(actionList_, WebmailBox);
    QWidget::setTabOrder(WebmailBox, MailClientList);
    QWidget::setTabOrder(MailClientList, AssociateBox);
    UpdateVisibility();
    TNuvex_WizardPanel::BuildPage(editMode);
}

void TPop3Basic::UpdateVisibility() {
    const int choice = actionList_->currentIndex();
    MailClientList->setVisible(choice == 0); // "Open Email Client"
    const bool webmail = choice == 1;        // "Open Webmail Interface"
    if (webmail && WebmailBox->text().isEmpty()) {
        WebmailBox->setText(QString::fromLatin1(kWebmailStart));
    }
    WebmailBox->setVisible(webmail);
}

void TPop3Basic::WriteTypeKeys(TAccountFields& fields) {
    fields.email = EmailBox->text().toStdString();
    fields.userName = LoginBox->text().toStdString();
    Associate = AssociateBox->isChecked();
    ActionFromList();
    fields.associate = Associate;
    fields.actionCode = ActionCode;
    TPop3Fields pop3;
    pop3.password = PasswordBox->text().toStdString();
    pop3.hostName = ServerBox->text().toStdString();
    // ValidatePage keeps Next off for a port out of range, so this fallback
    // only serves a test of an unfinished page.
    pop3.port = ParseDecimal(Port, 1, 65535).value_or(kDefaultPort);
    pop3.useSsl = UseSsl;
    pop3.mailerName = MailProgramName();
    pop3.webmailUrl = WebmailBox->text().toStdString();
    AddPop3TypeKeys(fields, pop3);
}

void TPop3Basic::ReadTypeKeys(const TCryptURL& record) {
    HostName = record.GetParam("HOSTNAME");
    Port = record.GetParam("PORT");
    if (Port.empty()) {
        Port = "110";
    }
    UseSsl = record.GetParam("USESSL") == "1";
    MailClientIndex = MailProgramIndex(record.GetParam("AMAILER"));
    WebmailUrl = record.GetParam("AURL");
}

void TPop3Basic::SettingsToControls() {
    LoginBox->setText(QString::fromStdString(UserName));
    PasswordBox->setText(QString::fromStdString(Password));
    AssociateBox->setChecked(Associate);
    ActionToList();
    ServerBox->setText(QString::fromStdString(HostName));
    MailClientList->setCurrentIndex(MailClientIndex);
    mailClientIndex_ = MailClientIndex;
    WebmailBox->setText(QString::fromStdString(WebmailUrl));
    UpdateVisibility();
    EmailBox->setText(QString::fromStdString(Email));
    EmailBox->setFocus();
}

bool TPop3Basic::ValidatePage() {
    QString problem = AddressProblem(EmailBox->text());
    if (problem.isEmpty()) {
        problem = InputProblem(Tr("the login name"), LoginBox->text(), true);
    }
    if (problem.isEmpty()) {
        problem = InputProblem(Tr("the password"), PasswordBox->text(), true);
    }
    if (problem.isEmpty()) {
        problem = InputProblem(Tr("the name of the incoming POP3 server"), ServerBox->text(), false);
    }
    if (problem.isEmpty() && !ParseDecimal(Port, 1, 65535)) {
        problem =
            Tr("The server port \"%1\" is not a number from 1 to 65535; change it under Advanced Settings.")
                .arg(QString::fromStdString(Port).left(20));
    }
    if (problem.isEmpty() && actionList_->currentIndex() == 1) {
        const QString url = WebmailBox->text();
        problem = InputProblem(Tr("the webmail address"), url, false);
        if (problem.isEmpty() && !text::StartsWithNoCase(url.toStdString(), "http://") &&
            !text::StartsWithNoCase(url.toStdString(), "https://")) {
            problem = Tr("The webmail address must begin with http:// or https://.");
        }
    }
    SetProblem(problem);
    return problem.isEmpty();
}

std::string TPop3Basic::SummaryText() {
    const std::string provider = AccountClass ? AccountClass->ProviderName() : std::string();
    return "Account Type :||" + provider + "\r\nEmail Address :||" + EmailBox->text().toStdString() +
           "\r\nLogin Name :||" + LoginBox->text().toStdString() + "\r\nIncoming POP3 Server:||" +
           ServerBox->text().toStdString() + "\r\n";
}

void TPop3Basic::ShowAdvanced() {
    ShowAdvancedDialog(*this);
    ValidatePage(); // the port may have changed
}

QString TPop3Basic::ServerForMessages() const {
    return ServerBox->text() + QLatin1Char(':') +
           QString::number(ParseDecimal(Port, 1, 65535).value_or(kDefaultPort));
}

} // namespace nuvex
