#include "ui/wizard_panel.h"

#include "accounts/account_store.h"
#include "accounts/generic_connector.h"
#include "accounts/open_actions.h"
#include "integration/mail_program_bridge.h"
#include "lib/branding.h"
#include "lib/crypt_url.h"
#include "lib/registry.h"
#include "lib/text.h"
#include "ui/advanced_dialog.h"
#include "ui/connection_test.h"
#include "ui/page_gmail.h"
#include "ui/page_imap.h"
#include "ui/page_pop3.h"
#include "ui/page_web.h"
#include "ui/tr.h"
#include "ui/ui_log.h"
#include "ui/vostrel_win.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QUrl>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace nuvex {
namespace {

constexpr int kRowHeight = 21;
constexpr int kPageWidth = 570; // the wizard's content width
constexpr int kPageMargin = 8;
constexpr int kSmallestPixels = 9;
constexpr const char* kBrowse = "Browse...";
// The test waits this long for a connection and for each reply: a user who
// pressed the button should hear back well before the checks' own limits.
constexpr int kTestTimeoutMs = 30'000;

// "WIZBUTTON": the Mail button as the toolbar shows it, so the user sees
// where the associated action will be.
QImage DrawWizButton() {
    QImage image(132, 37, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient face(0, 0, 0, 37);
    face.setColorAt(0, QColor(252, 252, 250));
    face.setColorAt(1, QColor(214, 220, 232));
    p.setPen(QColor(120, 132, 160));
    p.setBrush(face);
    p.drawRoundedRect(QRectF(0.5, 0.5, 131, 36), 5, 5);
    // The envelope.
    const QRectF env(10, 9, 27, 19);
    p.setPen(QPen(QColor(42, 75, 141), 1.4));
    p.setBrush(QColor(250, 248, 238));
    p.drawRect(env);
    QPainterPath flap;
    flap.moveTo(env.topLeft());
    flap.lineTo(env.center().x(), env.top() + 11);
    flap.lineTo(env.topRight());
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
    // The caption and the drop-down arrow.
    QFont font = UiFontPixels("Tahoma", 13);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(30, 30, 30));
    p.drawText(QRectF(44, 0, 64, 37), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Mail"));
    p.setPen(QColor(150, 160, 180));
    p.drawLine(QPointF(110.5, 7), QPointF(110.5, 30));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 40, 40));
    p.drawPolygon(QPolygonF({QPointF(116, 16), QPointF(126, 16), QPointF(121, 22)}));
    return image;
}

// Delphi's StrToIntDef: an optional sign and digits, else the default.
std::int32_t NumberOr(const std::string& text, std::int32_t fallback) {
    std::int32_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
    }
    auto [end, error] = std::from_chars(first, last, value);
    return (error == std::errc() && end == last && first != last) ? value : fallback;
}

// The values of a settings text without the parts that change with every
// encoding, so that two texts of the same input compare equal.
std::vector<TCryptURL::Entry> SettingsValues(const std::string& text) {
    TCryptURL record;
    if (text.empty() || !record.DecodeParams(text)) {
        return {};
    }
    std::vector<TCryptURL::Entry> values = record.Entries();
    std::erase_if(values, [](const TCryptURL::Entry& e) {
        return e.first == "RANDOMIZER" || e.first == "RANDSEED" || e.first == "_CRC";
    });
    return values;
}

} // namespace

std::int32_t ActionCodeOfIndex(int index, int choices) {
    return std::abs(index + 1 - choices);
}

int ActionIndexOfCode(std::int32_t code, int choices) {
    return std::abs(code - choices + 1);
}

QString HelpAddress(const QString& pattern, int number) {
    QString url = pattern;
    url.replace(QStringLiteral("%help_tag"), QString::number(number), Qt::CaseInsensitive);
    return url;
}

// No QObject parent: the wizard owns the page and frees it, which frees the
// page's controls with it.
QString InputProblem(const QString& what, const QString& value, bool allowBlank) {
    const std::string bytes = value.toStdString();
    if (bytes.empty()) {
        return Tr("Enter %1.").arg(what);
    }
    // The sentences below begin with the field's name.
    const QString subject = what.left(1).toUpper() + what.mid(1);
    if (bytes.size() > kMaxFieldBytes) {
        return Tr("%1 is too long: at most %2 bytes.").arg(subject).arg(kMaxFieldBytes);
    }
    for (unsigned char c : bytes) {
        if (c < 0x20 || c == 0x7F) {
            return Tr("%1 holds a control character (such as a tab or a line break); remove it.")
                .arg(subject);
        }
    }
    if (!allowBlank && value.contains(QLatin1Char(' '))) {
        return Tr("%1 holds a blank; remove it.").arg(subject);
    }
    // The stored form has the same rules as the command-line tool's.
    return FieldTextProblem("field", bytes, allowBlank).empty() ? QString()
                                                                : Tr("%1 can't be stored.").arg(subject);
}

QString AddressProblem(const QString& value) {
    QString problem = InputProblem(Tr("the email address"), value, false);
    if (problem.isEmpty() && !value.contains(QLatin1Char('@'))) {
        problem = Tr("The email address needs an \"@\", as in name@example.com.");
    }
    return problem;
}

TNuvex_WizardPanel::TNuvex_WizardPanel(QWidget* container) {
    PagePanel = new QWidget(container);
    panelGuard_ = PagePanel;
    PagePanel->setObjectName(QStringLiteral("PagePanel"));
    if (container) {
        PagePanel->setGeometry(container->rect());
    }
    ButtonBitmap = DrawWizButton();

    AskYesNo = [this](const QString& text) {
        return QMessageBox::question(PagePanel, WizardCaption, text, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };
    ShowTestResult = [this](bool passed, const QString& text) {
        QWidget* owner = PagePanel->parentWidget() ? PagePanel->parentWidget() : PagePanel;
        if (passed) {
            QMessageBox::information(owner, WizardCaption, text);
        } else {
            QMessageBox::warning(owner, WizardCaption, text);
        }
    };
    BrowseForProgram = [this](const QString& title, const QString& startDir) {
        // Programs here carry no extension: any file may be one.
        return QFileDialog::getOpenFileName(PagePanel, title, startDir, QStringLiteral("Applications (*)"));
    };
    OpenHelp = [](const QString& url) {
        if (!QDesktopServices::openUrl(QUrl(url))) {
            qCWarning(lcUi) << "the help page" << url << "could not be opened";
        }
    };
}

TNuvex_WizardPanel::~TNuvex_WizardPanel() {
    test_.reset(); // stops and joins a running test before the page goes
    delete panelGuard_.data();
}

int TNuvex_WizardPanel::S(int pixels) const {
    return static_cast<int>(std::lround(pixels * scale_));
}

std::string TNuvex_WizardPanel::BuildSettingsText() {
    try {
        TAccountFields fields;
        fields.userName = UserName;
        fields.email = Email;
        fields.checkMinutes = CheckMinutes;
        fields.defaultNotify = DefaultNotify;
        fields.notifyWindow = NotifyWindow;
        fields.notifySound = NotifySound;
        fields.notifyTray = NotifyTray;
        fields.associate = Associate;
        fields.actionCode = ActionCode;
        fields.sendTo = SendTo;
        WriteTypeKeys(fields);
        return nuvex::BuildSettingsText(fields);
    } catch (...) {
        qCWarning(lcUi) << "the settings text of the account page could not be made";
        return {};
    }
}

void TNuvex_WizardPanel::ReadSettingsText(const std::string& text) {
    TCryptURL record;
    if (!text.empty() && !record.DecodeParams(text)) {
        qCWarning(lcUi) << "the stored settings of the account could not be read; the page starts empty";
    }
    UserName = record.GetParam("USERNAME");
    Email = record.GetParam("EMAIL");
    Password = record.GetParam("PASSWORD");
    CheckMinutes = NumberOr(record.GetParam("ACHECK"), 15);
    ActionCode = NumberOr(record.GetParam("ACODE"), 0);
    DefaultNotify = record.GetParam("DEFNOTIFY") != "0";
    NotifyWindow = record.GetParam("NOTIFYWIN") == "1";
    NotifySound = record.GetParam("NOTIFYSOUND") == "1";
    NotifyTray = record.GetParam("NOTIFYTRAY") == "1";
    Associate = record.GetParam("ASSOCIATE") == "1";
    SendTo = record.GetParam("SENDTO") == "1";
    ReadTypeKeys(record);
}

void TNuvex_WizardPanel::ShowAdvanced() {
    ShowAdvancedDialog(*this);
}

void TNuvex_WizardPanel::ConfirmAssociate() {
    if (!Associate) {
        return;
    }
    if (!ButtonActionSet) {
        AssociateConfirmed = true;
        return;
    }
    // Not translated: the question names the button's action as the user knows it.
    // A page whose question seam was cleared keeps the button's action.
    if (AskYesNo &&
        AskYesNo(QStringLiteral("You have already associated action to Mail button. Do you want to use this "
                                "action? If you click 'NO', action will not be changed."))) {
        AssociateConfirmed = true;
    } else {
        Associate = false;
        AssociateConfirmed = false;
    }
}

void TNuvex_WizardPanel::BuildPage(bool editMode) {
    editMode_ = editMode;
    OnAdvanced = [this] { ShowAdvanced(); };
    QSize size = PagePanel->size();
    if (QWidget* container = PagePanel->parentWidget()) {
        size = container->size();
    }
    // A font larger than the design's spreads the controls: the page grows
    // with them (the wizard can read the minimum size) rather than cut them.
    const QRect used = PagePanel->childrenRect();
    size = size.expandedTo(QSize(used.right() + 1 + S(kPageMargin), used.bottom() + 1 + S(4)));
    PagePanel->setMinimumSize(size);
    PagePanel->setGeometry(QRect(QPoint(0, 0), size));
    // A new page does not greet the user with what is still missing; stored
    // values that no longer pass are shown wrong at once.
    problemRevealed_ = editMode;
    for (QLineEdit* box : PagePanel->findChildren<QLineEdit*>()) {
        connect(box, &QLineEdit::textEdited, this, [this] { RevealProblem(); });
    }
    PagePanel->show();
    QApplication::processEvents();
}

void TNuvex_WizardPanel::PlaceField(QWidget* field, QLabel* label, int left, int top, int width) {
    field->setParent(PagePanel);
    const int height = std::max(S(kRowHeight), field->sizeHint().height());
    // A list never cuts its longest choice: the fallback fonts run wider than
    // the ones the widths were chosen for.
    const int fieldWidth =
        qobject_cast<QComboBox*>(field) ? std::max(S(width), field->sizeHint().width()) : S(width);
    field->setGeometry(S(left), S(top) + (S(kRowHeight) - height) / 2, fieldWidth, height);
    if (label) {
        label->setBuddy(field);
        QString name = label->text();
        name.remove(QLatin1Char('&'));
        if (name.endsWith(QLatin1Char(':'))) {
            name.chop(1);
        }
        field->setAccessibleName(name.trimmed());
    }
    field->show();
}

QLabel* TNuvex_WizardPanel::AddLabel(const QString& text, int left, int top, bool bold) {
    if (scale_ == 1.0) {
        const double cell = QFontMetrics(PagePanel->font()).height();
        const double base = QFontMetrics(UiFontPixels("Tahoma", 11)).height();
        scale_ = base > 0 ? std::max(1.0, cell / base) : 1.0;
    }
    auto* label = new QLabel(text, PagePanel);
    if (bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    label->move(S(left), S(top));
    label->adjustSize();
    // The long headlines were measured in a narrower face than the fallback
    // sans: a pixel smaller keeps them inside the wizard's width.
    const int limit = S(kPageWidth - kPageMargin);
    QFont font = label->font();
    for (int size = QFontInfo(font).pixelSize();
         label->geometry().right() >= limit && size > kSmallestPixels;) {
        font.setPixelSize(--size);
        label->setFont(font);
        label->adjustSize();
    }
    label->show();
    return label;
}

QLabel* TNuvex_WizardPanel::AddHelpLink(int number, int left, int top) {
    const QString text = Tr("What's this?");
    auto* link = new QLabel(
        QStringLiteral("<a href=\"%1\" style=\"color:#0000ff\">%2</a>").arg(number).arg(text.toHtmlEscaped()),
        PagePanel);
    link->setTextFormat(Qt::RichText);
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    link->setFocusPolicy(Qt::StrongFocus);
    link->setCursor(Qt::PointingHandCursor);
    link->setAccessibleName(text);
    link->setObjectName(QStringLiteral("help%1").arg(number));
    connect(link, &QLabel::linkActivated, this, [this, number](const QString&) {
        if (HelpLinkPattern.isEmpty() || !OpenHelp) {
            return;
        }
        OpenHelp(HelpAddress(HelpLinkPattern, number));
    });
    link->move(left, top); // already in page pixels: placed beside another control
    link->adjustSize();
    link->show();
    return link;
}

QComboBox* TNuvex_WizardPanel::AddActionList(int left, int top, int width, bool withMailProgram) {
    actionList_ = new QComboBox(PagePanel);
    actionList_->setObjectName(QStringLiteral("ActionList"));
    // Not translated, last one "Do Nothing": the code is the distance from the end.
    if (withMailProgram) {
        actionList_->addItem(QStringLiteral("Open Email Client"));
    }
    actionList_->addItem(QStringLiteral("Open Webmail Interface"));
    actionList_->addItem(QStringLiteral("Do Nothing"));
    actionList_->setCurrentIndex(0);
    PlaceField(actionList_, nullptr, left, top, width);
    actionList_->setAccessibleName(Tr("Action of the account in the Email Button menu"));
    return actionList_;
}

void TNuvex_WizardPanel::AddTestButton(int left, int top) {
    testButton_ = new QPushButton(Tr("Click to Test Login Information"), PagePanel);
    testButton_->setObjectName(QStringLiteral("TestButton"));
    const int width = std::max(S(200), testButton_->sizeHint().width());
    const int height = std::max(S(25), testButton_->sizeHint().height());
    testButton_->setGeometry(S(left), S(top), width, height);
    connect(testButton_, &QPushButton::clicked, this, [this] { TestConnection(); });
    testButton_->show();

    const int hintLeft = std::max(S(left + 205), testButton_->geometry().right() + S(5));
    hintLabel_ =
        AddLabel(QStringLiteral("(") + Tr("requires network connection") + QStringLiteral(")"), 0, top + 5);
    hintLabel_->move(hintLeft, S(top + 5));
    testLinkLabel_ = AddHelpLink(1131, hintLabel_->geometry().right() + 1 + S(10), S(top + 5));

    // While a test runs the hint gives way to a busy bar and a Cancel.
    busyBar_ = new QProgressBar(PagePanel);
    busyBar_->setRange(0, 0);
    busyBar_->setTextVisible(false);
    busyBar_->setAccessibleName(Tr("Testing the login"));
    busyBar_->setGeometry(hintLeft, S(top + 4), S(120), S(18));
    busyBar_->hide();
    cancelTestButton_ = new QPushButton(Tr("Cancel"), PagePanel);
    cancelTestButton_->setObjectName(QStringLiteral("CancelTestButton"));
    const int cancelWidth = std::max(S(75), cancelTestButton_->sizeHint().width());
    cancelTestButton_->setGeometry(busyBar_->geometry().right() + 1 + S(10), S(top), cancelWidth, height);
    connect(cancelTestButton_, &QPushButton::clicked, this, [this] { CancelTest(); });
    cancelTestButton_->hide();
}

void TNuvex_WizardPanel::AddProblemLabel(int top) {
    problemLabel_ = new QLabel(PagePanel);
    problemLabel_->setObjectName(QStringLiteral("ProblemLabel"));
    problemLabel_->setWordWrap(true);
    QPalette palette = problemLabel_->palette();
    palette.setColor(QPalette::WindowText, QColor(176, 0, 32));
    problemLabel_->setPalette(palette);
    problemLabel_->setGeometry(S(55), S(top), S(470), S(36));
    // Screen readers announce the message when it changes.
    problemLabel_->setAccessibleName(Tr("Input problem"));
    problemLabel_->show();
}

void TNuvex_WizardPanel::AddButtonPicture(int top) {
    if (ButtonBitmap.isNull()) {
        return;
    }
    auto* box = new QLabel(PagePanel);
    box->setObjectName(QStringLiteral("ButtonPicture"));
    box->setPixmap(QPixmap::fromImage(ButtonBitmap));
    box->setGeometry(S(400), S(top), ButtonBitmap.width(), ButtonBitmap.height());
    box->show();
}

void TNuvex_WizardPanel::SetProblem(const QString& text) {
    problem_ = text;
    if (problemLabel_) {
        problemLabel_->setText(problemRevealed_ ? text : QString());
    }
    if (NextButton) {
        NextButton->setEnabled(text.isEmpty());
    }
}

QString TNuvex_WizardPanel::ProblemText() const {
    return problem_;
}

void TNuvex_WizardPanel::RevealProblem() {
    problemRevealed_ = true;
    if (problemLabel_) {
        problemLabel_->setText(problem_);
    }
}

bool TNuvex_WizardPanel::TestFailedForCurrentSettings() {
    return testFailed_ && SettingsValues(BuildSettingsText()) == SettingsValues(testedSettings_);
}

void TNuvex_WizardPanel::AssociateClicked() {
    if (!associateBox_) {
        return;
    }
    // Setting the box back must not run this handler again.
    const QSignalBlocker blocker(associateBox_);
    Associate = associateBox_->isChecked();
    ActionFromList();
    ConfirmAssociate();
    associateBox_->setChecked(Associate);
}

void TNuvex_WizardPanel::ActionFromList() {
    if (actionList_) {
        ActionCode = ActionCodeOfIndex(std::max(0, actionList_->currentIndex()), actionList_->count());
    }
}

void TNuvex_WizardPanel::ActionToList() {
    if (!actionList_) {
        return;
    }
    const int index = ActionIndexOfCode(ActionCode, actionList_->count());
    actionList_->setCurrentIndex(index < actionList_->count() ? index : -1);
}

void TNuvex_WizardPanel::FillMailPrograms(QComboBox* list) {
    mailPrograms_ = list;
    list->clear();
    std::vector<std::string> programs;
    try {
        if (Context.registry) {
            programs = ListMailPrograms(*Context.registry);
        } else {
            MailProgramBridge bridge(ProcessRegistry());
            programs = ListMailPrograms(bridge);
        }
    } catch (...) {
        qCWarning(lcUi) << "the installed mail programs could not be listed";
    }
    for (const std::string& entry : programs) {
        // "key||display name"; a program without a display name shows its key.
        const std::size_t bar = entry.find("||");
        std::string shown = bar == std::string::npos ? entry : entry.substr(bar + 2);
        if (shown.empty() && bar != std::string::npos) {
            shown = entry.substr(0, bar);
        }
        list->addItem(QString::fromStdString(shown));
    }
    list->addItem(QString::fromLatin1(kBrowse)); // not translated
    list->setCurrentIndex(0);
    mailClientIndex_ = list->count() > 1 ? 0 : -1;
    if (mailClientIndex_ < 0) {
        list->setCurrentIndex(-1);
    }
    connect(list, &QComboBox::activated, this, &TNuvex_WizardPanel::MailProgramChosen);
}

void TNuvex_WizardPanel::MailProgramChosen(int index) {
    if (!mailPrograms_ || index != mailPrograms_->count() - 1) {
        mailClientIndex_ = index;
        return;
    }
    QString start = lastBrowseDir_;
    if (start.isEmpty()) {
        start = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    }
    const QString chosen =
        BrowseForProgram ? BrowseForProgram(WizardCaption + QStringLiteral(" - Browse"), start) : QString();
    const QSignalBlocker blocker(mailPrograms_);
    if (chosen.isEmpty()) {
        mailPrograms_->setCurrentIndex(mailClientIndex_);
        return;
    }
    lastBrowseDir_ = QFileInfo(chosen).absolutePath();
    int browse = mailPrograms_->count() - 1;
    if (!browsedPath_.isEmpty() && browse > 0 && mailPrograms_->itemText(browse - 1) == browsedPath_) {
        mailPrograms_->removeItem(browse - 1); // one chosen path at a time: the newer wins
        --browse;
    }
    browsedPath_ = chosen;
    mailPrograms_->insertItem(browse, chosen);
    mailPrograms_->setCurrentIndex(browse);
    mailClientIndex_ = browse;
}

int TNuvex_WizardPanel::MailProgramIndex(const std::string& name) const {
    if (!mailPrograms_ || name.empty()) {
        return -1;
    }
    const int index = mailPrograms_->findText(QString::fromStdString(name), Qt::MatchExactly);
    return index == mailPrograms_->count() - 1 ? -1 : index;
}

std::string TNuvex_WizardPanel::MailProgramName() const {
    if (!mailPrograms_) {
        return {};
    }
    const int index = mailPrograms_->currentIndex();
    if (index < 0 || index >= mailPrograms_->count() - 1) {
        return {};
    }
    return mailPrograms_->itemText(index).toStdString();
}

QString TNuvex_WizardPanel::ServerForMessages() const {
    return AccountClass ? QString::fromStdString(AccountClass->ProviderName()) : QString();
}

bool TNuvex_WizardPanel::TestRunning() const {
    return test_ && test_->Running();
}

void TNuvex_WizardPanel::CancelTest() {
    if (test_) {
        test_->Cancel();
    }
}

void TNuvex_WizardPanel::TestConnection() {
    if (TestRunning()) {
        return;
    }
    if (!AccountClass) {
        qCWarning(lcUi) << "the connection test has no account type";
        TestDone(false, Tr("Connection Test Failed"));
        return;
    }
    AccountContext context = Context;
    context.pop3Limits.connectTimeoutMs = std::min(context.pop3Limits.connectTimeoutMs, kTestTimeoutMs);
    context.pop3Limits.readTimeoutMs = std::min(context.pop3Limits.readTimeoutMs, kTestTimeoutMs);
    const int limitMs = std::min(context.pop3Limits.connectTimeoutMs, context.pop3Limits.readTimeoutMs);
    const std::string settings = BuildSettingsText();
    test_ = std::make_unique<TConnectionTest>(*AccountClass, settings, context);
    connect(test_.get(), &TConnectionTest::Finished, this,
            [this, limitMs, settings](const TConnectionTestResult& result) {
                if (result.cancelled) {
                    TestDone(false, QString());
                    return;
                }
                testedSettings_ = settings;
                testFailed_ = !result.passed;
                if (result.passed) {
                    TestDone(true, Tr("Connection Test Passed"));
                    return;
                }
                TestDone(false, Tr("Connection Test Failed") + QStringLiteral("\n\n") +
                                    ConnectionFailureText(result, ServerForMessages(), limitMs));
            });
    if (testButton_) {
        testButton_->setEnabled(false);
        hintLabel_->hide();
        testLinkLabel_->hide();
        busyBar_->show();
        cancelTestButton_->show();
        cancelTestButton_->setFocus();
    }
    test_->Start();
}

void TNuvex_WizardPanel::TestDone(bool passed, const QString& text) {
    if (testButton_) {
        busyBar_->hide();
        cancelTestButton_->hide();
        hintLabel_->show();
        testLinkLabel_->show();
        testButton_->setEnabled(true);
        testButton_->setFocus();
    }
    if (!text.isEmpty() && ShowTestResult) {
        ShowTestResult(passed, text);
    }
    emit ConnectionTestFinished(passed, text);
}

std::unique_ptr<TNuvex_WizardPanel> CreateWizardPanel(const TConnectorClass& cls, QWidget* container) {
    const std::string name = cls.WizardPanelClass();
    std::unique_ptr<TNuvex_WizardPanel> page;
    if (name == "TPop3Basic") {
        page = std::make_unique<TPop3Basic>(container);
    } else if (name == "TImapBasic") {
        page = std::make_unique<TImapBasic>(container);
    } else if (name == "TGMailBasic") {
        page = std::make_unique<TGMailBasic>(container);
    } else if (name == "THotmailBasic") {
        page = std::make_unique<THotmailBasic>(container);
    } else if (name == "TYahooBasic") {
        page = std::make_unique<TYahooBasic>(container);
    } else if (name == "TWebvaultBasic") {
        page = std::make_unique<TWebvaultBasic>(container);
    } else {
        qCWarning(lcUi) << "no account page is known for" << QString::fromStdString(name);
        return nullptr;
    }
    page->AccountClass = &cls;
    return page;
}

} // namespace nuvex
