// The account-type pages and the advanced dialogs on the offscreen platform:
// filling, validating, the stored form against the command-line tool's, the
// action list, the Associate question, the mail-program list, bad input, the
// dialogs' OK/Cancel/close box, keyboard reach, larger fonts and screenshots.
#include "accounts/account_store.h"
#include "accounts/connector_registry.h"
#include "accounts/gmail_connector.h"
#include "accounts/imap_connector.h"
#include "accounts/pop3_connector.h"
#include "accounts/webvault_connector.h"
#include "cli/account_cli.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/registry.h"
#include "tests/ui/ui_test_support.h"
#include "ui/advanced_dialog.h"
#include "ui/page_gmail.h"
#include "ui/page_imap.h"
#include "ui/page_pop3.h"
#include "ui/page_web.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <sstream>

namespace nuvex {
namespace {

using test::QtEnvironment;
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// The wizard's content area: 570 wide, 350 high, with the dialogs' font.
struct Host {
    Host() {
        form.setFont(UiFontPixels("Tahoma", 11));
        container = new QWidget(&form);
        container->setGeometry(0, 0, 570, 350);
        next = new QPushButton(QStringLiteral("Next"), &form);
        form.resize(570, 350);
    }
    QWidget form;
    QWidget* container = nullptr;
    QPushButton* next = nullptr;
};

template <class Page>
std::unique_ptr<Page> Built(Host& host, const TConnectorClass& cls, Registry& registry, bool edit = false,
                            const std::string& settings = {}) {
    auto page = std::make_unique<Page>(host.container);
    page->AccountClass = &cls;
    page->Context.registry = &registry;
    page->WizardCaption = QStringLiteral("Email Plugin Wizard");
    page->BuildPage(edit);
    page->ReadSettingsText(settings);
    page->SettingsToControls();
    page->NextButton = host.next;
    page->ValidatePage();
    return page;
}

// The entries of a settings text without the two that change on every encoding.
std::vector<TCryptURL::Entry> Entries(const std::string& text) {
    TCryptURL record;
    EXPECT_TRUE(record.DecodeParams(text));
    std::vector<TCryptURL::Entry> entries;
    for (const auto& entry : record.Entries()) {
        if (entry.first != "RANDSEED" && entry.first != "RANDOMIZER") {
            entries.push_back(entry);
        }
    }
    return entries;
}

std::string Param(const std::string& text, const char* key) {
    TCryptURL record;
    record.DecodeParams(text);
    return record.GetParam(key);
}

class AccountPagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry = MakeMemoryRegistry();
        // One installed mail program, as the desktop-entry bridge shows it.
        registry->SetValue(RegRoot::HKLM, "SOFTWARE\\Clients\\Mail\\mutt", "", RegValue::Text("Mutt Mail"));
        registry->SetValue(RegRoot::HKLM, "SOFTWARE\\Clients\\Mail\\mutt\\shell\\open\\command", "",
                           RegValue::Text("\"/bin/sh\" -c mutt"));
    }
    std::unique_ptr<Registry> registry;
    Host host;
};

TEST(ActionList, CodesCountFromTheEnd) {
    struct Row {
        int index, choices, code;
    } rows[] = {{0, 2, 1}, {1, 2, 0}, {0, 3, 2}, {1, 3, 1}, {2, 3, 0}};
    for (const Row& r : rows) {
        EXPECT_EQ(ActionCodeOfIndex(r.index, r.choices), r.code) << r.index << "/" << r.choices;
        EXPECT_EQ(ActionIndexOfCode(r.code, r.choices), r.index) << r.code << "/" << r.choices;
    }
}

TEST(HelpLinks, EveryTagIsReplacedInAnyCase) {
    EXPECT_EQ(HelpAddress(QStringLiteral("https://h.example/?t=%help_tag&u=%HELP_TAG"), 1131),
              QStringLiteral("https://h.example/?t=1131&u=1131"));
}

TEST_F(AccountPagesTest, Pop3PageStoresExactlyWhatTheToolStores) {
    MemoryHostConfig cfg;
    TConnectorRegistry types;
    RegisterAllConnectorClasses(types);
    std::istringstream in("s3cret pw\n");
    std::ostringstream out, err;
    ASSERT_EQ(RunAccountCli({"add",
                             "--type",
                             "pop3",
                             "--email",
                             "ann@example.org",
                             "--login",
                             "ann",
                             "--server",
                             "pop.example.org",
                             "--port",
                             "995",
                             "--ssl",
                             "--check-minutes",
                             "30",
                             "--open-action",
                             "webmail",
                             "--webmail-url",
                             "https://mail.example.org/",
                             "--send-to",
                             "--password-stdin"},
                            cfg, types, in, out, err),
              kCliOk)
        << err.str();
    const auto lines = ParseStoredList(*cfg.ReadCfgStr("ACCOUNTS", -1));
    ASSERT_EQ(lines.size(), 1u);

    auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry);
    QTest::keyClicks(page->EmailBox, QStringLiteral("ann@example.org"));
    QTest::keyClicks(page->LoginBox, QStringLiteral("ann"));
    QTest::keyClicks(page->PasswordBox, QStringLiteral("s3cret pw"));
    QTest::keyClicks(page->ServerBox, QStringLiteral("pop.example.org"));
    page->PagePanel->findChild<QComboBox*>(QStringLiteral("ActionList"))->setCurrentIndex(1);
    page->WebmailBox->setText(QStringLiteral("https://mail.example.org/"));
    page->AssociateBox->setChecked(true);
    page->Port = "995";
    page->UseSsl = true;
    page->CheckMinutes = 30;
    page->SendTo = true;
    page->NotifyWindow = page->NotifySound = page->NotifyTray = true;
    ASSERT_TRUE(page->ValidatePage()) << page->ProblemText().toStdString();
    EXPECT_TRUE(host.next->isEnabled());

    EXPECT_EQ(Entries(page->BuildSettingsText()), Entries(lines[0].second));
}

// The IMAP page with its advanced dialog against nuvex-account: the same
// record, and the dialog's port follows the security while it is a default.
TEST_F(AccountPagesTest, ImapPageAndDialogStoreExactlyWhatTheToolStores) {
    MemoryHostConfig cfg;
    TConnectorRegistry types;
    RegisterAllConnectorClasses(types);
    std::istringstream in("s3cret pw\n");
    std::ostringstream out, err;
    ASSERT_EQ(RunAccountCli({"add", "--type", "IMAP", "--email", "ann@example.org", "--login", "ann",
                             "--server", "imap.example.org", "--security", "starttls", "--folder", "INBOX",
                             "--folder", "Lists/dev", "--password-stdin"},
                            cfg, types, in, out, err),
              kCliOk)
        << err.str();
    const auto lines = ParseStoredList(*cfg.ReadCfgStr("ACCOUNTS", -1));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Param(lines[0].second, "PORT"), "143");
    EXPECT_EQ(Param(lines[0].second, "FOLDERS"), "INBOX\nLists/dev");

    auto page = Built<TImapBasic>(host, ImapConnectorClass(), *registry);
    bool namesImap = false;
    for (QLabel* label : page->PagePanel->findChildren<QLabel*>()) {
        EXPECT_FALSE(label->text().contains(QLatin1String("POP3"))) << label->text().toStdString();
        namesImap = namesImap || label->text().contains(QLatin1String("IMAP Server"));
    }
    EXPECT_TRUE(namesImap);
    QTest::keyClicks(page->EmailBox, QStringLiteral("ann@example.org"));
    QTest::keyClicks(page->LoginBox, QStringLiteral("ann"));
    QTest::keyClicks(page->PasswordBox, QStringLiteral("s3cret pw"));
    QTest::keyClicks(page->ServerBox, QStringLiteral("imap.example.org"));
    page->NotifyWindow = page->NotifySound = page->NotifyTray = true;
    {
        TNuvex_AdvancedImap dialog;
        dialog.FromPage(*page);
        EXPECT_EQ(dialog.PortBox->text(), QStringLiteral("993"));
        dialog.SecurityList->setCurrentIndex(1); // STARTTLS
        EXPECT_EQ(dialog.PortBox->text(), QStringLiteral("143"));
        dialog.FoldersBox->setText(QStringLiteral(" INBOX ,Lists/dev,INBOX,"));
        dialog.ToPage(*page);
    }
    ASSERT_TRUE(page->ValidatePage()) << page->ProblemText().toStdString();
    EXPECT_EQ(Entries(page->BuildSettingsText()), Entries(lines[0].second));

    Host other;
    auto second = Built<TImapBasic>(other, ImapConnectorClass(), *registry, true, lines[0].second);
    EXPECT_EQ(second->Security, ImapSecurity::StartTls);
    EXPECT_EQ(second->Folders, (std::vector<std::string>{"INBOX", "Lists/dev"}));
    EXPECT_EQ(second->Port, "143");
}

TEST_F(AccountPagesTest, Pop3SettingsReadBackIntoTheSameControls) {
    auto first = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry);
    first->EmailBox->setText(QStringLiteral("jürgen@exämple.org")); // non-ASCII is kept as typed
    first->LoginBox->setText(QStringLiteral("jürgen"));
    first->PasswordBox->setText(QStringLiteral("pässwörd"));
    first->ServerBox->setText(QStringLiteral("pop.example.org"));
    first->PagePanel->findChild<QComboBox*>(QStringLiteral("ActionList"))->setCurrentIndex(0);
    first->MailClientList->setCurrentIndex(0);
    first->Port = "1995";
    first->CheckMinutes = 45;
    const std::string text = first->BuildSettingsText();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(Param(text, "AMAILER"), "Mutt Mail");
    EXPECT_EQ(Param(text, "ACODE"), "2");

    Host other;
    auto second = Built<TPop3Basic>(other, Pop3ConnectorClass(), *registry, true, text);
    EXPECT_EQ(second->EmailBox->text(), QStringLiteral("jürgen@exämple.org"));
    EXPECT_EQ(second->LoginBox->text(), QStringLiteral("jürgen"));
    EXPECT_EQ(second->PasswordBox->text(), QStringLiteral("pässwörd"));
    EXPECT_EQ(second->ServerBox->text(), QStringLiteral("pop.example.org"));
    EXPECT_EQ(second->MailClientList->currentText(), QStringLiteral("Mutt Mail"));
    EXPECT_EQ(second->Port, "1995");
    EXPECT_EQ(second->CheckMinutes, 45);
    EXPECT_TRUE(second->ValidatePage());
    EXPECT_EQ(Entries(second->BuildSettingsText()), Entries(text));
}

TEST_F(AccountPagesTest, EmptyOrBrokenSettingsFallBackToDefaults) {
    for (const std::string& text : {std::string(), std::string("not a settings text")}) {
        auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry, false, text);
        EXPECT_TRUE(page->DefaultNotify);
        EXPECT_FALSE(page->NotifyWindow || page->NotifySound || page->NotifyTray || page->Associate ||
                     page->SendTo);
        EXPECT_EQ(page->CheckMinutes, 15);
        EXPECT_EQ(page->ActionCode, 0);
        EXPECT_EQ(page->Port, "110");
        EXPECT_FALSE(host.next->isEnabled());
        delete page.release(); // before the next one takes the container
    }
}

// Every field with the inputs people paste or mistype: Next stays off and the
// page says why in words.
TEST_F(AccountPagesTest, BadInputKeepsNextDisabledWithAMessage) {
    const QString longText(10000, QLatin1Char('a'));
    struct Row {
        const char* field;
        QString value;
        const char* words; // part of the message
    } rows[] = {
        {"EmailBox", QString(), "Enter the email address"},
        {"EmailBox", QStringLiteral("ann.example.org"), "@"},
        {"EmailBox", longText + QStringLiteral("@x"), "too long"},
        {"EmailBox", QStringLiteral("ann@exa\tmple.org"), "control character"},
        {"EmailBox", QStringLiteral("ann @example.org"), "blank"},
        {"LoginBox", QString(), "login name"},
        {"LoginBox", longText, "too long"},
        {"LoginBox", QStringLiteral("ann\x01"), "control character"},
        {"PasswordBox", QString(), "password"},
        {"PasswordBox", longText, "too long"},
        {"PasswordBox", QStringLiteral("a\nb"), "control character"},
        {"ServerBox", QString(), "server"},
        {"ServerBox", QStringLiteral("pop example.org"), "blank"},
        {"ServerBox", longText, "too long"},
        {"ServerBox", QStringLiteral("pop.example.org\x7f"), "control character"},
    };
    for (const Row& row : rows) {
        Host h;
        auto page = Built<TPop3Basic>(h, Pop3ConnectorClass(), *registry);
        page->EmailBox->setText(QStringLiteral("ann@example.org"));
        page->LoginBox->setText(QStringLiteral("ann"));
        page->PasswordBox->setText(QStringLiteral("pw"));
        page->ServerBox->setText(QStringLiteral("pop.example.org"));
        ASSERT_TRUE(h.next->isEnabled());
        page->PagePanel->findChild<QLineEdit*>(QString::fromLatin1(row.field))->setText(row.value);
        EXPECT_FALSE(page->ValidatePage()) << row.field;
        EXPECT_FALSE(h.next->isEnabled()) << row.field;
        EXPECT_TRUE(page->ProblemText().contains(QString::fromLatin1(row.words), Qt::CaseInsensitive))
            << row.field << ": " << page->ProblemText().toStdString();
    }
    for (const char* port : {"0", "65536", "abc", "", "-1", "99999999999"}) {
        Host h;
        auto page = Built<TPop3Basic>(h, Pop3ConnectorClass(), *registry);
        page->EmailBox->setText(QStringLiteral("ann@example.org"));
        page->LoginBox->setText(QStringLiteral("ann"));
        page->PasswordBox->setText(QStringLiteral("pw"));
        page->Port = port;
        page->ServerBox->setText(QStringLiteral("pop.example.org"));
        EXPECT_FALSE(h.next->isEnabled()) << port;
        EXPECT_TRUE(page->ProblemText().contains(QStringLiteral("port"))) << port;
    }
}

TEST_F(AccountPagesTest, AnAtSignIsWhatTheWebAndGMailPagesNeed) {
    {
        auto web = Built<TWebvaultBasic>(host, WebvaultConnectorClass(), *registry);
        web->PasswordBox->setText(QStringLiteral("pw"));
        web->EmailBox->setText(QStringLiteral("a"));
        EXPECT_FALSE(host.next->isEnabled());
        web->EmailBox->setText(QStringLiteral("a@"));
        EXPECT_TRUE(host.next->isEnabled());
    }
    Host h;
    auto gmail = Built<TGMailBasic>(h, GMailConnectorClass(), *registry);
    gmail->PasswordBox->setText(QStringLiteral("pw"));
    gmail->EmailBox->setText(QStringLiteral("a"));
    EXPECT_FALSE(h.next->isEnabled());
    gmail->EmailBox->setText(QStringLiteral("a@"));
    EXPECT_TRUE(h.next->isEnabled());
}

TEST_F(AccountPagesTest, EditingAWebAccountKeepsItsSendTo) {
    for (const char* stored : {"1", "0"}) {
        TAccountFields fields;
        fields.userName = fields.email = "ann@webvault.example";
        AddWebTypeKeys(fields, "pw");
        fields.typeKeys.emplace_back("SENDTO", stored);
        Host h;
        auto page =
            Built<TWebvaultBasic>(h, WebvaultConnectorClass(), *registry, true, BuildSettingsText(fields));
        EXPECT_EQ(page->SendToBox, nullptr); // new accounts only
        EXPECT_EQ(Param(page->BuildSettingsText(), "SENDTO"), stored);
    }
}

TEST_F(AccountPagesTest, WebPageWritesTheDefaultAccountAsMailTo) {
    auto page = Built<TWebvaultBasic>(host, WebvaultConnectorClass(), *registry);
    page->EmailBox->setText(QStringLiteral("ann@webvault.example"));
    page->DefaultAccountBox->setChecked(true);
    const std::string text = page->BuildSettingsText();
    EXPECT_EQ(Param(text, "MAILTO"), "1");
    EXPECT_EQ(Param(text, "SENDTO"), "1"); // the box starts ticked for a new account
    EXPECT_TRUE(page->DefaultCompose);
    EXPECT_EQ(page->SummaryText(),
              "Account Type :||webvault.example Email\r\nEmail Address :||ann@webvault.example\r\n");
}

TEST_F(AccountPagesTest, AssociateAsksWhenTheButtonHasAnActionAlready) {
    struct Row {
        bool buttonSet, answer, ticked, confirmed, asked;
    } rows[] = {
        {true, false, false, false, true},
        {true, true, true, true, true},
        {false, false, true, true, false},
    };
    for (const Row& r : rows) {
        Host h;
        auto page = Built<TPop3Basic>(h, Pop3ConnectorClass(), *registry);
        page->ButtonActionSet = r.buttonSet;
        page->PagePanel->findChild<QComboBox*>(QStringLiteral("ActionList"))->setCurrentIndex(0);
        bool asked = false;
        page->AskYesNo = [&](const QString& text) {
            asked = true;
            EXPECT_TRUE(
                text.startsWith(QStringLiteral("You have already associated action to Mail button.")));
            return r.answer;
        };
        QTest::mouseClick(page->AssociateBox, Qt::LeftButton, {},
                          QPoint(6, page->AssociateBox->height() / 2));
        EXPECT_EQ(asked, r.asked);
        EXPECT_EQ(page->AssociateBox->isChecked(), r.ticked);
        EXPECT_EQ(page->Associate, r.ticked);
        EXPECT_EQ(page->AssociateConfirmed, r.confirmed);
        EXPECT_EQ(page->ActionCode, 2); // read from the list on the click
    }
}

TEST_F(AccountPagesTest, Pop3ActionListShowsTheMatchingField) {
    auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry);
    host.form.show();
    auto* list = page->PagePanel->findChild<QComboBox*>(QStringLiteral("ActionList"));
    page->WebmailBox->clear();
    list->setCurrentIndex(1);
    EXPECT_TRUE(page->WebmailBox->isVisible());
    EXPECT_FALSE(page->MailClientList->isVisible());
    EXPECT_EQ(page->WebmailBox->text(), QStringLiteral("http://"));
    list->setCurrentIndex(2);
    EXPECT_FALSE(page->WebmailBox->isVisible());
    EXPECT_FALSE(page->MailClientList->isVisible());
    list->setCurrentIndex(0);
    EXPECT_TRUE(page->MailClientList->isVisible());
}

TEST_F(AccountPagesTest, DoNothingIsCodeZeroOnEveryPage) {
    std::vector<std::unique_ptr<Host>> hosts;
    auto check = [&](TNuvex_WizardPanel& page) {
        auto* list = page.PagePanel->findChild<QComboBox*>(QStringLiteral("ActionList"));
        list->setCurrentIndex(list->count() - 1);
        EXPECT_EQ(Param(page.BuildSettingsText(), "ACODE"), "0");
    };
    hosts.push_back(std::make_unique<Host>());
    check(*Built<TWebvaultBasic>(*hosts.back(), WebvaultConnectorClass(), *registry));
    hosts.push_back(std::make_unique<Host>());
    check(*Built<TPop3Basic>(*hosts.back(), Pop3ConnectorClass(), *registry));
    hosts.push_back(std::make_unique<Host>());
    check(*Built<TGMailBasic>(*hosts.back(), GMailConnectorClass(), *registry));
}

TEST_F(AccountPagesTest, BrowsingTwiceKeepsOnlyTheNewerPath) {
    auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry);
    QStringList answers{QStringLiteral("/opt/one/mailer"), QStringLiteral("/opt/two/mailer")};
    QStringList starts;
    page->BrowseForProgram = [&](const QString& title, const QString& start) {
        EXPECT_EQ(title, QStringLiteral("Email Plugin Wizard - Browse"));
        starts << start;
        return answers.takeFirst();
    };
    auto* list = page->MailClientList;
    for (int i = 0; i < 2; ++i) {
        list->setCurrentIndex(list->count() - 1);
        emit list->activated(list->count() - 1);
    }
    ASSERT_EQ(list->count(), 3); // Mutt Mail, the path, Browse...
    EXPECT_EQ(list->itemText(1), QStringLiteral("/opt/two/mailer"));
    EXPECT_EQ(list->currentIndex(), 1);
    EXPECT_EQ(starts.value(1), QStringLiteral("/opt/one")); // the folder of the last choice
    EXPECT_EQ(Param(page->BuildSettingsText(), "AMAILER"), "/opt/two/mailer");

    // A cancelled dialog goes back to the earlier choice.
    page->BrowseForProgram = [](const QString&, const QString&) { return QString(); };
    list->setCurrentIndex(list->count() - 1);
    emit list->activated(list->count() - 1);
    EXPECT_EQ(list->currentIndex(), 1);
}

TEST_F(AccountPagesTest, AMailProgramNoLongerInstalledSelectsNothing) {
    TAccountFields fields;
    fields.userName = "ann";
    fields.email = "ann@example.org";
    fields.actionCode = kOpenMailProgram;
    TPop3Fields pop3;
    pop3.password = "pw";
    pop3.hostName = "pop.example.org";
    pop3.mailerName = "Gone Mail";
    AddPop3TypeKeys(fields, pop3);
    auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry, true, BuildSettingsText(fields));
    EXPECT_EQ(page->MailClientIndex, -1);
    EXPECT_EQ(page->MailClientList->currentIndex(), -1);
    EXPECT_EQ(Param(page->BuildSettingsText(), "AMAILER"), "");
}

TEST_F(AccountPagesTest, GMailInterfaceListSwitchesTheNotes) {
    auto page = Built<TGMailBasic>(host, GMailConnectorClass(), *registry);
    host.form.show();
    EXPECT_TRUE(page->Notes[0]->isVisible());
    EXPECT_FALSE(page->Notes[1]->isVisible());
    page->InterfaceList->setCurrentIndex(1);
    EXPECT_FALSE(page->Notes[0]->isVisible());
    EXPECT_TRUE(page->Notes[1]->isVisible());
    page->EmailBox->setText(QStringLiteral("ann@gmail.com"));
    EXPECT_EQ(Param(page->BuildSettingsText(), "CTYPE"), "1");
    EXPECT_EQ(page->SummaryText(), "Account Type :||Google Gmail\r\nLogin Name :||ann@gmail.com\r\n");
}

TEST_F(AccountPagesTest, PasswordNeverEchoesAndLabelsNameTheirFields) {
    auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry);
    EXPECT_EQ(page->PasswordBox->echoMode(), QLineEdit::Password);
    for (QLineEdit* box : {page->EmailBox, page->LoginBox, page->PasswordBox, page->ServerBox}) {
        EXPECT_FALSE(box->accessibleName().isEmpty()) << box->objectName().toStdString();
        bool hasBuddy = false;
        for (QLabel* label : page->PagePanel->findChildren<QLabel*>()) {
            hasBuddy = hasBuddy || label->buddy() == box;
        }
        EXPECT_TRUE(hasBuddy) << box->objectName().toStdString();
    }
}

// Tab from the first field reaches every enabled, visible control of the page.
TEST_F(AccountPagesTest, EveryControlIsReachedByTab) {
    auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry);
    host.form.show();
    page->EmailBox->setFocus();
    QSet<QWidget*> reached;
    for (int i = 0; i < 40 && host.form.focusWidget(); ++i) {
        reached.insert(host.form.focusWidget());
        QTest::keyClick(host.form.focusWidget(), Qt::Key_Tab);
    }
    for (QWidget* w : page->PagePanel->findChildren<QWidget*>()) {
        const bool interactive = qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractButton*>(w) ||
                                 (qobject_cast<QComboBox*>(w) != nullptr);
        if (interactive && w->isVisible() && w->isEnabled()) {
            EXPECT_TRUE(reached.contains(w)) << w->objectName().toStdString();
        }
    }
}

// A larger font spreads the page instead of clipping its texts.
TEST_F(AccountPagesTest, LargerFontClipsNoText) {
    for (int pixels : {11, 17}) {
        for (int kind = 0; kind < 3; ++kind) {
            Host h;
            h.form.setFont(UiFontPixels("Tahoma", pixels));
            std::unique_ptr<TNuvex_WizardPanel> page;
            if (kind == 0) {
                page = Built<TWebvaultBasic>(h, WebvaultConnectorClass(), *registry);
            } else if (kind == 1) {
                page = Built<TPop3Basic>(h, Pop3ConnectorClass(), *registry);
            } else {
                page = Built<TGMailBasic>(h, GMailConnectorClass(), *registry);
            }
            h.form.show();
            QWidget* panel = page->PagePanel;
            if (pixels == 11) { // the design font fits the wizard as it is
                EXPECT_LE(panel->minimumWidth(), 570) << kind;
                EXPECT_LE(panel->minimumHeight(), 350) << kind;
            }
            for (QWidget* w : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (!w->isVisible()) {
                    continue;
                }
                auto* label = qobject_cast<QLabel*>(w);
                const bool wraps = label && label->wordWrap();
                if (!wraps) {
                    EXPECT_GE(w->width(), w->sizeHint().width())
                        << pixels << "px " << kind << " " << w->metaObject()->className() << " "
                        << (label ? label->text().toStdString() : w->objectName().toStdString());
                }
                EXPECT_TRUE(panel->rect().contains(w->geometry()))
                    << pixels << "px " << kind << " "
                    << (label ? label->text().toStdString() : w->objectName().toStdString());
            }
        }
    }
}

TEST_F(AccountPagesTest, WhatsThisOpensTheHelpPageOfItsNumber) {
    auto page = Built<TWebvaultBasic>(host, WebvaultConnectorClass(), *registry);
    QStringList opened;
    page->OpenHelp = [&](const QString& url) { opened << url; };
    auto* link = page->PagePanel->findChild<QLabel*>(QStringLiteral("help1133"));
    ASSERT_NE(link, nullptr);
    emit link->linkActivated(QStringLiteral("1133"));
    EXPECT_TRUE(opened.isEmpty()); // no help address: nothing opens
    page->HelpLinkPattern = QStringLiteral("https://help.example/?tag=%HELP_tag");
    emit link->linkActivated(QStringLiteral("1133"));
    EXPECT_EQ(opened, QStringList{QStringLiteral("https://help.example/?tag=1133")});
    page->OpenHelp = nullptr; // a wizard that gives no opener: nothing happens, nothing breaks
    emit link->linkActivated(QStringLiteral("1133"));
    EXPECT_EQ(link->focusPolicy(), Qt::StrongFocus);
}

class AdvancedDialogTest : public AccountPagesTest {
protected:
    // Runs the dialog of page and, once it shows, lets act change it and then
    // ends it with result.
    template <class Dialog, class Page>
    int RunWith(Page& page, const std::function<void(Dialog&)>& act,
                const std::function<void(Dialog&)>& end) {
        Dialog dialog;
        QTimer::singleShot(0, [&] {
            act(dialog);
            end(dialog);
        });
        return dialog.Run(page, host.container);
    }
    static void ClickOk(TVostrelWin& d) { qobject_cast<QPushButton*>(d.DefaultControl.data())->click(); }
    static void ClickCancel(TVostrelWin& d) { qobject_cast<QPushButton*>(d.CancelControl.data())->click(); }
    static void CloseBox(TVostrelWin& d) { d.Form->close(); }
};

TEST_F(AdvancedDialogTest, AnIntervalNotInTheListBecomesFifteenMinutes) {
    auto page = Built<TWebvaultBasic>(host, WebvaultConnectorClass(), *registry);
    page->CheckMinutes = 20;
    int shown = -1;
    EXPECT_EQ(RunWith<TNuvex_Advanced>(
                  *page, [&](TNuvex_Advanced& d) { shown = d.IntervalList->currentIndex(); }, ClickOk),
              kResultAccept);
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(page->CheckMinutes, 15);
    EXPECT_TRUE(host.container->isEnabled());
}

TEST_F(AdvancedDialogTest, OkCopiesBackCancelAndTheCloseBoxChangeNothing) {
    auto change = [](TNuvex_AdvancedPop3& d) {
        d.IntervalList->setCurrentIndex(7);
        d.CustomRadio->click();
        d.WindowBox->setChecked(false);
        d.SoundBox->setChecked(true);
        d.TrayBox->setChecked(false);
        d.PortBox->setText(QStringLiteral("995"));
        d.SslBox->setChecked(true);
    };
    struct Row {
        std::function<void(TVostrelWin&)> end;
        int result;
    } rows[] = {{ClickCancel, kResultCancel}, {CloseBox, kResultCancel}, {ClickOk, kResultAccept}};
    for (const Row& row : rows) {
        Host h;
        auto page = Built<TPop3Basic>(h, Pop3ConnectorClass(), *registry);
        page->NotifyWindow = true;
        page->NotifySound = false;
        page->NotifyTray = true;
        TNuvex_AdvancedPop3 dialog;
        QTimer::singleShot(0, [&] {
            EXPECT_FALSE(h.container->isEnabled()); // the owner waits
            EXPECT_FALSE(dialog.WindowBox->isEnabled());
            change(dialog);
            EXPECT_TRUE(dialog.WindowBox->isEnabled());
            row.end(dialog);
        });
        EXPECT_EQ(dialog.Run(*page, h.container), row.result);
        EXPECT_TRUE(h.container->isEnabled());
        const bool ok = row.result == kResultAccept;
        EXPECT_EQ(page->CheckMinutes, ok ? 240 : 15);
        EXPECT_EQ(page->DefaultNotify, !ok);
        EXPECT_EQ(page->NotifyWindow, !ok);
        EXPECT_EQ(page->NotifySound, ok);
        EXPECT_EQ(page->NotifyTray, !ok);
        EXPECT_EQ(page->Port, ok ? "995" : "110");
        EXPECT_EQ(page->UseSsl, ok);
    }
}

TEST_F(AdvancedDialogTest, AnEmptyPortShowsAndStores110) {
    auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry);
    page->Port.clear();
    QString shown;
    RunWith<TNuvex_AdvancedPop3>(
        *page, [&](TNuvex_AdvancedPop3& d) { shown = d.PortBox->text(); }, ClickOk);
    EXPECT_EQ(shown, QStringLiteral("110"));
    EXPECT_EQ(page->Port, "110");
}

TEST_F(AdvancedDialogTest, DefaultNotificationKeepsTheBoxValuesAndCopiesThem) {
    auto page = Built<TGMailBasic>(host, GMailConnectorClass(), *registry);
    page->DefaultNotify = false;
    RunWith<TNuvex_Advanced>(
        *page,
        [](TNuvex_Advanced& d) {
            d.SoundBox->setChecked(false);
            d.DefaultRadio->click();
            EXPECT_FALSE(d.SoundBox->isEnabled());
        },
        ClickOk);
    EXPECT_TRUE(page->DefaultNotify);
    EXPECT_FALSE(page->NotifySound);
}

TEST_F(AdvancedDialogTest, ABadPortTypedThereKeepsNextOff) {
    auto page = Built<TPop3Basic>(host, Pop3ConnectorClass(), *registry);
    page->EmailBox->setText(QStringLiteral("ann@example.org"));
    page->LoginBox->setText(QStringLiteral("ann"));
    page->PasswordBox->setText(QStringLiteral("pw"));
    page->ServerBox->setText(QStringLiteral("pop.example.org"));
    ASSERT_TRUE(host.next->isEnabled());
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* port = w->findChild<QLineEdit*>(QStringLiteral("PortBox")); port && w->isVisible()) {
                port->setText(QStringLiteral("65536"));
            }
        }
        for (QWidget* w : QApplication::topLevelWidgets()) {
            for (QPushButton* b : w->findChildren<QPushButton*>()) {
                if (w->isVisible() && b->text() == QStringLiteral("OK")) {
                    b->click();
                }
            }
        }
    });
    page->ShowAdvanced();
    EXPECT_EQ(page->Port, "65536");
    EXPECT_FALSE(host.next->isEnabled());
    EXPECT_TRUE(page->ProblemText().contains(QStringLiteral("65536")));
}

// Screenshots of every page and dialog, at the design font and a larger one.
TEST_F(AccountPagesTest, Screenshots) {
    const QString dir = QStringLiteral(NUVEX_BINARY_DIR "/test-output");
    QDir().mkpath(dir);
    for (int pixels : {11, 17}) {
        const QString size = pixels == 11 ? QString() : QStringLiteral("-large");
        auto shoot = [&](Host& h, const QString& name) {
            h.form.resize(std::max(570, h.container->childrenRect().right() + 1),
                          std::max(350, h.container->childrenRect().bottom() + 1));
            h.container->resize(h.form.size());
            h.next->hide();
            h.form.show();
            QApplication::processEvents();
            EXPECT_TRUE(h.form.grab().toImage().save(dir + "/" + name + size + ".png"));
        };
        {
            Host h;
            h.form.setFont(UiFontPixels("Tahoma", pixels));
            auto page = Built<TWebvaultBasic>(h, WebvaultConnectorClass(), *registry);
            page->EmailBox->setText(QStringLiteral("ann@webvault.example"));
            page->PasswordBox->setText(QStringLiteral("secret"));
            shoot(h, QStringLiteral("page-web"));
        }
        {
            Host h;
            h.form.setFont(UiFontPixels("Tahoma", pixels));
            auto page = Built<TPop3Basic>(h, Pop3ConnectorClass(), *registry);
            page->EmailBox->setText(QStringLiteral("ann.example.org"));
            shoot(h, QStringLiteral("page-pop3-problem"));
            page->EmailBox->setText(QStringLiteral("ann@example.org"));
            page->LoginBox->setText(QStringLiteral("ann"));
            page->PasswordBox->setText(QStringLiteral("secret"));
            page->ServerBox->setText(QStringLiteral("pop.example.org"));
            shoot(h, QStringLiteral("page-pop3"));
        }
        {
            Host h;
            h.form.setFont(UiFontPixels("Tahoma", pixels));
            auto page = Built<TGMailBasic>(h, GMailConnectorClass(), *registry);
            page->EmailBox->setText(QStringLiteral("ann@gmail.com"));
            page->PasswordBox->setText(QStringLiteral("secret"));
            shoot(h, QStringLiteral("page-gmail"));
        }
    }
    {
        auto page = Built<TGMailBasic>(host, GMailConnectorClass(), *registry);
        TNuvex_Advanced basic;
        basic.FromPage(*page);
        basic.Form->show();
        QApplication::processEvents();
        EXPECT_TRUE(basic.Form->grab().toImage().save(dir + "/advanced-basic.png"));
    }
    {
        Host h;
        auto page = Built<TPop3Basic>(h, Pop3ConnectorClass(), *registry);
        page->DefaultNotify = false;
        TNuvex_AdvancedPop3 pop3;
        pop3.FromPage(*page);
        pop3.Form->show();
        QApplication::processEvents();
        EXPECT_TRUE(pop3.Form->grab().toImage().save(dir + "/advanced-pop3.png"));
    }
}

} // namespace
} // namespace nuvex
