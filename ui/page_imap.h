#pragma once
// The IMAP page: the POP3 page's fields and actions with the IMAP server's
// words; port, security and the folders to watch are edited in the IMAP
// advanced dialog.
#include "accounts/imap_client.h"
#include "ui/page_pop3.h"

#include <string>
#include <vector>

namespace nuvex {

class TImapBasic : public TPop3Basic {
    Q_OBJECT
public:
    explicit TImapBasic(QWidget* container);

    ImapSecurity Security = ImapSecurity::Tls; // "SECURITY"
    std::vector<std::string> Folders{"INBOX"}; // "FOLDERS"

    std::string SummaryText() override;
    void WriteTypeKeys(TAccountFields& fields) override;
    void ReadTypeKeys(const TCryptURL& record) override;
    void BuildPage(bool editMode) override;

protected:
    QString ServerForMessages() const override;
};

} // namespace nuvex
