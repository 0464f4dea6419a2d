#include "ui/page_imap.h"

#include "accounts/account_store.h"
#include "accounts/imap_connector.h"
#include "lib/crypt_url.h"

#include <QLabel>

namespace nuvex {

TImapBasic::TImapBasic(QWidget* container) : TPop3Basic(container) {
    Port = std::to_string(kDefaultImapsPort);
}

void TImapBasic::BuildPage(bool editMode) {
    TPop3Basic::BuildPage(editMode);
    // The shared page names its server POP3; here it is the IMAP server.
    for (QLabel* label : PagePanel->findChildren<QLabel*>()) {
        QString text = label->text();
        if (text.contains(QLatin1String("POP3")) || text.contains(QLatin1String("pop.mail"))) {
            text.replace(QLatin1String("POP3"), QLatin1String("IMAP"));
            text.replace(QLatin1String("pop.mail"), QLatin1String("imap.mail"));
            label->setText(text);
            label->adjustSize();
        }
    }
    ServerBox->setAccessibleName(QStringLiteral("Incoming IMAP Server"));
}

void TImapBasic::WriteTypeKeys(TAccountFields& fields) {
    fields.email = EmailBox->text().toStdString();
    fields.userName = LoginBox->text().toStdString();
    Associate = AssociateBox->isChecked();
    ActionFromList();
    fields.associate = Associate;
    fields.actionCode = ActionCode;
    TImapFields imap;
    imap.password = PasswordBox->text().toStdString();
    imap.hostName = ServerBox->text().toStdString();
    imap.security = Security;
    imap.port = ParseDecimal(Port, 1, 65535)
                    .value_or(Security == ImapSecurity::Tls ? kDefaultImapsPort : kDefaultImapPort);
    imap.folders = Folders;
    imap.mailerName = MailProgramName();
    imap.webmailUrl = WebmailBox->text().toStdString();
    AddImapTypeKeys(fields, imap);
}

void TImapBasic::ReadTypeKeys(const TCryptURL& record) {
    TPop3Basic::ReadTypeKeys(record);
    Security = ParseImapSecurity(record.GetParam("SECURITY")).value_or(ImapSecurity::Tls);
    Port = record.GetParam("PORT");
    if (Port.empty()) {
        Port = std::to_string(Security == ImapSecurity::Tls ? kDefaultImapsPort : kDefaultImapPort);
    }
    Folders.clear();
    const std::string all = record.GetParam("FOLDERS");
    std::size_t at = 0;
    while (at < all.size()) {
        const std::size_t end = std::min(all.find('\n', at), all.size());
        if (end > at) {
            Folders.push_back(all.substr(at, end - at));
        }
        at = end + 1;
    }
    if (Folders.empty()) {
        Folders.emplace_back("INBOX");
    }
}

std::string TImapBasic::SummaryText() {
    const std::string provider = AccountClass ? AccountClass->ProviderName() : std::string();
    return "Account Type :||" + provider + "\r\nEmail Address :||" + EmailBox->text().toStdString() +
           "\r\nLogin Name :||" + LoginBox->text().toStdString() + "\r\nIncoming IMAP Server:||" +
           ServerBox->text().toStdString() + "\r\n";
}

QString TImapBasic::ServerForMessages() const {
    return ServerBox->text() + QLatin1Char(':') +
           QString::number(
               ParseDecimal(Port, 1, 65535)
                   .value_or(Security == ImapSecurity::Tls ? kDefaultImapsPort : kDefaultImapPort));
}

} // namespace nuvex
