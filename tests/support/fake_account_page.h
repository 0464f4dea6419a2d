#pragma once
// A POP3-shaped account page for the wizard and editor tests: e-mail, login,
// password and server boxes, the settings text of the account store, and a
// count of the pages made, so that a test sees whether a page was kept.
#include "accounts/account_store.h"
#include "accounts/generic_connector.h"
#include "lib/crypt_url.h"
#include "ui/account_wizard.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <memory>
#include <string>

namespace nuvex::test {

class FakeAccountPage final : public TAccountPage {
public:
    explicit FakeAccountPage(QWidget* container, int* made = nullptr) : container_(container) {
        if (made) {
            ++*made;
        }
    }
    void Setup(const TConnectorClass& cls, bool buttonActionSet) override {
        cls_ = &cls;
        buttonActionSet_ = buttonActionSet;
    }
    void BuildPage(bool editMode) override {
        panel_ = new QWidget(container_);
        panel_->setObjectName(QStringLiteral("fakePage"));
        panel_->setGeometry(0, 0, container_->width(), container_->height());
        email = Box("Email Address:", "email", 38);
        login = Box("Login Name:", "login", 66);
        password = Box("Your Password:", "password", 94);
        password->setEchoMode(QLineEdit::Password);
        server = Box("Incoming POP3 Server:", "server", 122);
        if (!editMode) {
            sendToBox = new QCheckBox(QStringLiteral("Add shortcut to Send to"), panel_);
            sendToBox->setObjectName(QStringLiteral("sendTo"));
            sendToBox->setGeometry(55, 160, 300, 20);
        }
        for (QLineEdit* box : {email, login, server}) {
            QObject::connect(box, &QLineEdit::textChanged, panel_, [this] { ValidatePage(); });
        }
    }
    void ReadSettingsText(const std::string& text) override {
        TCryptURL record;
        record.DecodeParams(text);
        fields_.email = record.GetParam("EMAIL");
        fields_.userName = record.GetParam("USERNAME");
        password_ = record.GetParam("PASSWORD");
        host_ = record.GetParam("HOSTNAME");
        sendTo_ = record.GetParam("SENDTO") == "1";
    }
    void SettingsToControls() override {
        email->setText(QString::fromStdString(fields_.email));
        login->setText(QString::fromStdString(fields_.userName));
        password->setText(QString::fromStdString(password_));
        server->setText(QString::fromStdString(host_));
        if (sendToBox) {
            sendToBox->setChecked(sendTo_);
        }
        email->setFocus();
    }
    void SetNextButton(QPushButton* next) override { next_ = next; }
    void ValidatePage() override {
        if (next_) {
            next_->setEnabled(email->text().contains('@') && !login->text().isEmpty() &&
                              !server->text().isEmpty());
        }
    }
    std::string BuildSettingsText() override {
        if (sendToBox) {
            sendTo_ = sendToBox->isChecked();
        }
        TAccountFields f;
        f.email = email->text().toStdString();
        f.userName = login->text().toStdString();
        f.sendTo = sendTo_;
        f.typeKeys = {{"PASSWORD", password->text().toStdString()},
                      {"HOSTNAME", server->text().toStdString()},
                      {"PORT", "110"}};
        return nuvex::BuildSettingsText(f);
    }
    std::string SummaryText() override {
        return "Account Type :||" + std::string(cls_ ? cls_->TypeCaption() : "") + "\r\nEmail Address :||" +
               email->text().toStdString() + "\r\nLogin Name :||" + login->text().toStdString() +
               "\r\nIncoming POP3 Server:||" + server->text().toStdString() + "\r\n";
    }
    void ShowAdvanced() override { ++advancedShown; }
    QWidget* Panel() override { return panel_; }
    const TConnectorClass* AccountClass() const override { return cls_; }
    TPageChoices Choices() const override { return {defaultCompose_, sendTo_, false, false}; }
    void SetDefaultCompose(bool on) override { defaultCompose_ = on; }
    void RevealProblems() override { ++problemsRevealed; }
    bool TestFailed() override { return testFailed; }

    QLineEdit* email = nullptr;
    QLineEdit* login = nullptr;
    QLineEdit* password = nullptr;
    QLineEdit* server = nullptr;
    QCheckBox* sendToBox = nullptr;
    int advancedShown = 0;
    int problemsRevealed = 0;
    bool testFailed = false;

private:
    QLineEdit* Box(const char* caption, const char* name, int top) {
        auto* label = new QLabel(QString::fromLatin1(caption), panel_);
        label->setGeometry(55, top + 4, 110, 16);
        auto* box = new QLineEdit(panel_);
        box->setObjectName(QLatin1String(name));
        box->setGeometry(170, top, 146, 21);
        label->setBuddy(box);
        return box;
    }

    QWidget* container_;
    QWidget* panel_ = nullptr;
    QPushButton* next_ = nullptr;
    const TConnectorClass* cls_ = nullptr;
    bool buttonActionSet_ = false;
    bool defaultCompose_ = false;
    bool sendTo_ = false;
    TAccountFields fields_;
    std::string password_, host_;
};

// A factory of fake pages that counts the pages it made.
inline TPageFactory FakePageFactory(int* made = nullptr) {
    return [made](const TConnectorClass&, QWidget* container) -> std::unique_ptr<TAccountPage> {
        return std::make_unique<FakeAccountPage>(container, made);
    };
}

} // namespace nuvex::test
