#include "ui/account_wizard.h"

#include "accounts/account_list.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "lib/branding.h"
#include "lib/crypt_url.h"
#include "lib/log.h"
#include "lib/mcritic.h"
#include "ui/pictures.h"
#include "ui/tr.h"
#include "ui/ui_log.h"
#include "ui/wizard_panel.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFrame>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>
#include <algorithm>

namespace nuvex {

namespace {

constexpr int kContentHeight = kWizardHeight - kDialogHeaderHeight - kDialogFooterHeight;
constexpr int kSidePictureWidth = 165;
constexpr int kSidePictureHeight = 310;
// Room kept right of the widest control of a page.
constexpr int kWizardPageMargin = 8;
constexpr int kSummaryTop = 58;
constexpr int kSummaryStep = 20;
constexpr int kClosingLineMinTop = 135;

// Geometry as designed, but never smaller than the text needs: with a larger
// system font or at 150 % a label grows instead of clipping its text.
QLabel* AddLabel(QWidget* parent, const QString& text, int left, int top, int width = 0, int height = 0,
                 bool bold = false) {
    auto* label = new QLabel(text, parent);
    if (bold) {
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
    }
    const QSize hint = label->sizeHint();
    int w = std::max(width, hint.width());
    int h = std::max(height, hint.height());
    const int room = parent->width() - left - 8;
    if (w > room && room > 0) {
        // Wider than the window: wrapped onto more lines instead of cut.
        label->setWordWrap(true);
        w = room;
        h = std::max(height, label->heightForWidth(room));
    }
    label->setGeometry(left, top, w, h);
    return label;
}

// A "What's this?" link: blue, hand cursor, reachable with Tab and opened
// with Enter as with the mouse.
QLabel* AddHelpLink(QWidget* parent, int left, int top, int tag, const std::function<void(int)>& open) {
    auto* link = new QLabel(parent);
    link->setTextFormat(Qt::RichText);
    link->setText(QStringLiteral("<a href=\"help\" style=\"color:#0000ff\">%1</a>")
                      .arg(Tr("What's this?").toHtmlEscaped()));
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    link->setFocusPolicy(Qt::StrongFocus);
    link->setCursor(Qt::PointingHandCursor);
    link->setProperty("tag", tag);
    link->setAccessibleName(Tr("What's this?"));
    const QSize hint = link->sizeHint();
    link->setGeometry(left, top, std::max(100, hint.width()), std::max(13, hint.height()));
    QObject::connect(link, &QLabel::linkActivated, link, [open, tag] {
        if (open) {
            open(tag);
        }
    });
    return link;
}

QWidget* AddPicture(QWidget* parent, const QImage& image, int left, int top) {
    auto* box = new QLabel(parent);
    box->setPixmap(QPixmap::fromImage(image));
    box->setGeometry(left, top, image.width(), image.height());
    return box;
}

QStringList SummaryLines(const std::string& text) {
    QStringList lines = QString::fromStdString(text).split(QStringLiteral("\n"));
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
    }
    // Every line ends with CR LF: the piece after the last one is no line.
    if (!lines.isEmpty() && lines.back().isEmpty()) {
        lines.pop_back();
    }
    return lines;
}

QImage SidePanelPicture() {
    QImage image(kSidePictureWidth, kSidePictureHeight, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, kSidePictureHeight);
    sky.setColorAt(0, QColor(36, 92, 160));
    sky.setColorAt(1, QColor(150, 196, 232));
    p.fillRect(image.rect(), sky);
    // Envelopes rising from the bottom, the larger ones nearer.
    const struct {
        int x, y, w;
        int alpha;
    } envelopes[] = {{22, 220, 96, 255}, {70, 150, 70, 220}, {28, 96, 52, 180}, {96, 52, 40, 150}};
    for (const auto& e : envelopes) {
        const int h = e.w * 2 / 3;
        QColor paper(255, 255, 250, e.alpha);
        QColor ink(30, 60, 120, e.alpha);
        p.setPen(QPen(ink, 2));
        p.setBrush(paper);
        p.drawRoundedRect(QRectF(e.x, e.y, e.w, h), 3, 3);
        QPainterPath flap;
        flap.moveTo(e.x, e.y);
        flap.lineTo(e.x + e.w / 2.0, e.y + h * 0.6);
        flap.lineTo(e.x + e.w, e.y);
        p.drawPath(flap);
    }
    p.setPen(QColor(255, 255, 255, 230));
    QFont f = p.font();
    f.setPixelSize(40);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(0, 8, kSidePictureWidth, 44), Qt::AlignCenter, QStringLiteral("@"));
    return image;
}

QImage FolderPicture() {
    const QColor key(255, 0, 255);
    QImage image(58, 66, QImage::Format_ARGB32);
    image.fill(key);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false); // no pixel may mix with the key colour
    const QColor edge(150, 110, 20);
    p.setPen(edge);
    p.setBrush(QColor(226, 180, 60));
    p.drawPolygon(QPolygon(
        {QPoint(2, 14), QPoint(20, 14), QPoint(25, 20), QPoint(55, 20), QPoint(55, 63), QPoint(2, 63)}));
    // A sheet with a tick standing in the folder: the settings are done.
    p.setBrush(Qt::white);
    p.setPen(QColor(120, 120, 120));
    p.drawRect(10, 2, 36, 40);
    p.setPen(QPen(QColor(20, 140, 40), 4));
    p.drawLine(17, 22, 25, 31);
    p.drawLine(25, 31, 40, 10);
    p.setPen(edge);
    p.setBrush(QColor(244, 204, 92));
    p.drawPolygon(QPolygon({QPoint(2, 30), QPoint(55, 30), QPoint(55, 63), QPoint(2, 63)}));
    return image;
}

} // namespace

QImage WizardPicture(std::string_view name) {
    if (name == "BMPPANEL") {
        return SidePanelPicture();
    }
    if (name == "WIZFOLDER") {
        return FolderPicture();
    }
    return {};
}

TWizard::TWizard(QWidget* owner, bool afterInstall, TWizardEnv env)
    : AfterInstall(afterInstall), env_(std::move(env)) {
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (afterInstall) {
        flags |= Qt::WindowStaysOnTopHint;
    }
    // Owned, not a child: the editors disable the owner while the wizard
    // runs, and a child window would be disabled with it.
    Form = new TVostrelForm(nullptr, flags);
    if (QWidget* top = owner ? owner->window() : nullptr; top && !afterInstall && top->windowHandle()) {
        Form->winId();
        Form->windowHandle()->setTransientParent(top->windowHandle());
    }
    const TDialogFrame frame =
        BuildDialogFrame(*this, "%BRAND Email Plugin Wizard", "Set Up Your Email Account",
                         QSize(kWizardWidth, kWizardHeight), false);
    Caption = Form->windowTitle();
    // A user who chose a larger desktop font gets it here too; the controls
    // grow with their text.
    const QFont desktop = QApplication::font();
    if (QFontMetrics(desktop).height() > QFontMetrics(Form->font()).height()) {
        Form->setFont(desktop);
    }
    frameFont_ = Form->font();
    HeaderPanel = frame.Header;
    ContentPanel = frame.Content;
    FooterPanel = frame.Footer;
    TitleLabel = frame.Title;
    TitleLabel->setObjectName(QStringLiteral("title"));

    StepLabel = new QLabel(HeaderPanel);
    StepLabel->setObjectName(QStringLiteral("step"));
    StepLabel->setFont(TitleLabel->font());
    StepLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    StepLabel->setGeometry(480, 17, 70, 18);

    FolderBitmap = WithKeyTransparent(WizardPicture("WIZFOLDER"), WizardPicture("WIZFOLDER").pixel(0, 0));
    auto button = [this](const QString& text, int left, int width, const char* name) {
        auto* b = new QPushButton(text, FooterPanel);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(left, kDialogButtonTop, std::max(width, b->sizeHint().width()), kDialogButtonHeight);
        b->setAutoDefault(false);
        return b;
    };
    CancelButton = button(QStringLiteral("&") + Tr("Cancel"), 478, 75, "cancel");
    AdvancedButton = button(QStringLiteral("&") + Tr("Advanced Settings"), 147, 136, "advanced");
    BackButton = button(QStringLiteral("&") + Tr("Back"), 303, 75, "back");
    NextButton = button(QStringLiteral("&") + Tr("Next"), 383, 75, "next");
    LayOutFooter();
    CancelButton->setProperty("tag", kTagCancel);
    BackButton->setProperty("tag", kTagBack);
    NextButton->setProperty("tag", kTagNext);
    AdvancedButton->hide();
    BackButton->hide();
    auto* enter = new TClickLabel(FooterPanel);
    enter->hide();
    enter->OnClick = [this] { DefaultAction(); };
    DefaultControl = enter;
    CancelControl = CancelButton;
    QWidget::setTabOrder(CancelButton, AdvancedButton);
    QWidget::setTabOrder(AdvancedButton, BackButton);
    QWidget::setTabOrder(BackButton, NextButton);
    QObject::connect(CancelButton, &QPushButton::clicked, Form, [this] { Navigate(kTagCancel); });
    QObject::connect(BackButton, &QPushButton::clicked, Form, [this] { Navigate(kTagBack); });
    QObject::connect(NextButton, &QPushButton::clicked, Form, [this] { Navigate(kTagNext); });
    QObject::connect(AdvancedButton, &QPushButton::clicked, Form, [this] {
        try {
            if (AccountPage) {
                AccountPage->ShowAdvanced();
            }
        } catch (...) {
            log::Caught("ui", "the advanced settings of the wizard");
        }
    });

    accountContainer_ = new QWidget(ContentPanel);
    accountContainer_->setObjectName(QStringLiteral("accountContainer"));
    accountContainer_->setGeometry(0, 0, kWizardWidth, kContentHeight);
    accountContainer_->hide();
    PagePanels[kPageAccount] = accountContainer_;

    ShowPage(kPageWelcome);
}

TWizard::~TWizard() {
    // The page's controls live on the form; the page goes before the form.
    AccountPage.reset();
}

void TWizard::Prepare() {
    TVostrelWin::Prepare();
    Form->setFont(frameFont_);
}

void TWizard::SetTitle(const std::string& text) {
    TitleLabel->setText(Tr(text));
}

void TWizard::SetStep(int step) {
    StepLabel->setText(step > 0 ? Tr("Step") + QStringLiteral(" %1/3").arg(step) : QString());
}

void TWizard::AddSignUpLines(QWidget* page, int left, int minTop) {
    QLabel* first =
        AddLabel(page, QStringLiteral("Don't have an email account?"), left, std::max(220, minTop));
    QLabel* second =
        AddLabel(page, QStringLiteral("Sign up now for a FREE feature rich 2GB webmail account."), left,
                 std::max(238, first->geometry().bottom() + 1));
    auto* signUp = new QPushButton(QStringLiteral("Get Free 2GB Webmail Account!"), page);
    signUp->setObjectName(QStringLiteral("signUp"));
    signUp->setAutoDefault(false);
    const QSize hint = signUp->sizeHint();
    signUp->setGeometry(left, std::max(266, second->geometry().bottom() + 8), std::max(230, hint.width()),
                        std::max(25, hint.height()));
    QObject::connect(signUp, &QPushButton::clicked, signUp, [this] {
        if (env_.openSignUp) {
            env_.openSignUp();
        }
    });
}

void TWizard::BuildWelcomePage() {
    SetTitle(AfterInstall ? "Congratulations, you have successfully installed %BRAND Email Plugin."
                          : "Set Up Your Email Account");
    SetStep(0);
    BackButton->hide();
    AdvancedButton->hide();
    NextButton->setEnabled(true);
    NextButton->setText(QStringLiteral("&Next"));
    if (PagePanels[kPageWelcome]) {
        return;
    }
    auto* page = new QWidget(ContentPanel);
    page->setObjectName(QStringLiteral("welcomePage"));
    page->setGeometry(0, 0, kWizardWidth, kContentHeight);
    PagePanels[kPageWelcome] = page;
    QLabel* head =
        AddLabel(page, Tr("Enjoy the convenience of %BRAND Toolbar Email Plugin:"), 185, 16, 0, 13, true);
    static const char* const kBullets[] = {
        "One-click webmail access",
        "Receive new message notification",
        "Create messages from any email hyperlink on a webpage",
        "Includes a shortcut to write new emails",
        "Supports POP3",
        "Scans email accounts for new messages",
        "Monitors an unlimited number of accounts",
        "Easy to use, easy to set up",
    };
    int top = std::max(40, head->geometry().bottom() + 4);
    for (const char* text : kBullets) {
        QLabel* bullet = AddLabel(page, QStringLiteral("\u2022 ") + QLatin1String(text), 200, top, 360, 16);
        top += std::max(18, bullet->height() + 1);
    }
    AddSignUpLines(page, 185, top + 4);
    SideBitmap = WizardPicture("BMPPANEL");
    if (!SideBitmap.isNull()) {
        SidePicture = AddPicture(page, SideBitmap, 0, (kContentHeight - kSidePictureHeight) / 2);
        SidePicture->setObjectName(QStringLiteral("sidePicture"));
    }
}

void TWizard::BuildTypePage() {
    SetTitle("Set Up Your Email Account");
    SetStep(1);
    NextButton->setText(QStringLiteral("&Next"));
    BackButton->show();
    AdvancedButton->hide();
    NextButton->setEnabled(true);
    if (PagePanels[kPageType]) {
        return;
    }
    auto* page = new QWidget(ContentPanel);
    page->setObjectName(QStringLiteral("typePage"));
    page->setGeometry(0, 0, kWizardWidth, kContentHeight);
    PagePanels[kPageType] = page;
    QLabel* head =
        AddLabel(page, Tr("Select the type of account you would like to set up."), 40, 16, 0, 13, true);
    QLabel* link = AddHelpLink(page, head->geometry().right() + 8, 16, 1130, env_.openHelp);
    if (link->geometry().right() > kWizardWidth - 8) {
        link->move(40, head->geometry().bottom() + 2); // no room beside the headline
    }

    std::vector<TOfferedType> offered;
    if (env_.types && env_.accounts) {
        offered = env_.types->OfferedTypes(*env_.accounts);
    }
    QWidget* previous = nullptr;
    int top = std::max(40, link->geometry().bottom() + 6);
    // An exclusive group: a click on the checked button keeps it checked, also
    // when only one type is offered (a lone auto-exclusive radio unchecks).
    auto* group = new QButtonGroup(page);
    group->setExclusive(true);
    for (const TOfferedType& type : offered) {
        auto* radio = new QRadioButton(QString::fromStdString(type.caption), page);
        QFont f = radio->font();
        f.setBold(true);
        radio->setFont(f);
        radio->setObjectName(QString::fromStdString("type_" + type.cls->TypeCode()));
        group->addButton(radio);
        radio->adjustSize();
        radio->move(55, top);
        const QString example = QStringLiteral("(") + Tr("e.g.") + QStringLiteral(" ") +
                                QString::fromStdString(type.example) + ")";
        AddLabel(page, example, radio->geometry().right() + 1, top + 1 + (radio->height() - 16) / 2);
        radio->setAccessibleDescription(example);
        if (previous) {
            QWidget::setTabOrder(previous, radio);
        }
        previous = radio;
        TypeChoices.push_back({radio, type.cls});
        top += std::max(25, radio->height() + 4);
    }
    AddSignUpLines(page, 40, top);
    if (!TypeChoices.empty()) {
        TypeChoices.front().radio->setChecked(true);
    }
}

void TWizard::FillTypeChoicesForEdit() {
    if (!env_.types) {
        return;
    }
    const std::vector<const TConnectorClass*> classes = env_.types->ConnectorClasses();
    for (int order = 0; order <= 99; ++order) {
        for (const TConnectorClass* cls : classes) {
            if (cls->ListOrder() == order) {
                TypeChoices.push_back({nullptr, cls});
            }
        }
    }
    for (const TConnectorClass* cls : env_.types->OptionalConnectorClasses()) {
        TypeChoices.push_back({nullptr, cls});
    }
}

bool TWizard::BuildAccountPage(const std::string& typeCode) {
    SetTitle("Set Up Your Email Account");
    SetStep(2);
    NextButton->setText(QStringLiteral("&Next"));
    BackButton->show();
    AdvancedButton->show();
    if (TypeChoices.empty()) {
        FillTypeChoicesForEdit();
    }
    const TConnectorClass* chosen = nullptr;
    for (const TypeChoice& choice : TypeChoices) {
        if (choice.radio ? choice.radio->isChecked() : choice.cls->TypeCode() == typeCode) {
            chosen = choice.cls;
            break;
        }
    }
    if (!chosen) {
        qCWarning(lcUi) << "the wizard has no account type to show; no account page is made";
        return false;
    }
    const std::string code = chosen->TypeCode();
    if (AccountPage && PageTypeCode != code) {
        // Another type: what was typed for the old one does not fit the new page.
        AccountPage.reset();
        PageTypeCode.clear();
        const auto children = accountContainer_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* child : children) {
            delete child;
        }
    }
    if (!AccountPage && env_.makePage) {
        std::unique_ptr<TAccountPage> page = env_.makePage(*chosen, accountContainer_);
        if (page) {
            page->Setup(*chosen, ButtonActionSet);
            page->BuildPage(FirstPage == LastPage);
            if (QWidget* panel = page->Panel()) {
                panel->show();
            }
            page->ReadSettingsText({});
            page->SettingsToControls();
            page->SetNextButton(NextButton);
            NextButton->setEnabled(false);
            AccountPage = std::move(page);
            PageTypeCode = code;
        }
    }
    if (AccountPage) {
        if (QWidget* panel = AccountPage->Panel()) {
            panel->show();
        }
        AccountPage->ValidatePage();
    }
    accountContainer_->show();
    return AccountPage != nullptr;
}

void TWizard::BuildConfirmPage() {
    // A failed test is not congratulated, and its settings are saved only when
    // the user says so; Back leads to the fields to correct them.
    const bool testFailed = AccountPage && AccountPage->TestFailed();
    SetTitle(testFailed ? "The connection test failed" : "Congratulations!");
    SetStep(3);
    BackButton->show();
    AdvancedButton->hide();
    NextButton->setEnabled(!testFailed);
    NextButton->setText(QStringLiteral("&Finish"));
    // Rebuilt each time: the summary follows what the user typed last.
    delete PagePanels[kPageConfirm];
    auto* page = new QWidget(ContentPanel);
    page->setObjectName(QStringLiteral("confirmPage"));
    page->setGeometry(0, 0, kWizardWidth, kContentHeight);
    PagePanels[kPageConfirm] = page;
    AddLabel(page, Tr("Please verify that the information below is correct."), 40, 26, 0, 13, true);
    if (!FolderBitmap.isNull() && !testFailed) { // its tick would say all is well
        AddPicture(page, FolderBitmap, 50, 50)->setObjectName(QStringLiteral("folderPicture"));
    }
    int bottom = 0;
    if (AccountPage) {
        const QStringList lines = SummaryLines(AccountPage->SummaryText());
        int top = kSummaryTop;
        for (const QString& line : lines) {
            const qsizetype split = line.indexOf(QStringLiteral("||"));
            const QString label = split < 0 ? line : line.left(split);
            const QString value = split < 0 ? QString() : line.mid(split + 2);
            if (!label.isEmpty()) {
                AddLabel(page, label, 130, top, 140, 16)->setObjectName(QStringLiteral("summaryLabel"));
            }
            if (!value.isEmpty()) {
                const int left = label.isEmpty() ? 130 : 280;
                QLabel* v = AddLabel(page, QString(), left, top, kWizardWidth - 20 - left, 16, true);
                v->setObjectName(QStringLiteral("summaryValue"));
                // An over-long value is cut with an ellipsis; the whole text is its tooltip.
                v->setText(v->fontMetrics().elidedText(value, Qt::ElideMiddle, v->width()));
                v->setToolTip(value.size() > 200 ? value.left(200) + QStringLiteral("...") : value);
                v->setAccessibleName(value.left(200));
            }
            top += kSummaryStep;
        }
        bottom = top;
    }
    const int y = std::max(kClosingLineMinTop, bottom);
    auto* line = new QFrame(page);
    line->setObjectName(QStringLiteral("closingLine"));
    line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line->setGeometry(37, y, 486, 2);
    SaveAnywayBox = nullptr;
    if (!testFailed) {
        AddLabel(page, Tr("Click Finish to save these settings and exit the Setup Wizard."), 40, y + 14)
            ->setObjectName(QStringLiteral("closingText"));
        return;
    }
    QLabel* warning = AddLabel(page,
                               Tr("The connection test failed with these settings, so the account may not "
                                  "be checked. Click Back to correct them."),
                               40, y + 14);
    warning->setObjectName(QStringLiteral("closingText"));
    SaveAnywayBox = new QCheckBox(Tr("Save these settings anyway"), page);
    SaveAnywayBox->setObjectName(QStringLiteral("saveAnyway"));
    SaveAnywayBox->adjustSize();
    SaveAnywayBox->move(40, warning->geometry().bottom() + 10);
    QObject::connect(SaveAnywayBox, &QCheckBox::toggled, NextButton, &QPushButton::setEnabled);
}

void TWizard::DefaultAction() {
    if (NextButton->isEnabled() && !NextButton->isHidden()) {
        NextButton->click();
    } else if (CurrentPage == kPageAccount && AccountPage) {
        AccountPage->RevealProblems();
    }
}

void TWizard::ShowPage(int page) {
    CurrentPage = page;
    try {
        switch (page) {
        case kPageWelcome:
            BuildWelcomePage();
            break;
        case kPageType:
            BuildTypePage();
            break;
        case kPageAccount:
            BuildAccountPage();
            break;
        case kPageConfirm:
            BuildConfirmPage();
            break;
        default:
            return;
        }
    } catch (...) {
        // The wizard stays open: the user can go back or cancel.
        log::Caught("ui", "building page " + std::to_string(page) + " of the wizard");
    }
    for (int i = 0; i < static_cast<int>(PagePanels.size()); ++i) {
        if (PagePanels[i]) {
            PagePanels[i]->setVisible(i == page);
        }
    }
    try {
        GrowToPage(PagePanels[page]);
    } catch (...) {
        log::Caught("ui", "fitting the wizard to page " + std::to_string(page));
    }
}

// The footer buttons from the right edge, each as wide as its text needs: at
// the design font this is Cancel at 478, Next at 383, Back at 303 and
// Advanced at 147; a wider text pushes its left neighbours instead of
// overlapping them.
void TWizard::LayOutFooter() {
    int right = Form->width() - 17;
    const std::pair<QPushButton*, int> buttons[] = {
        {CancelButton, 20}, {NextButton, 5}, {BackButton, 20}, {AdvancedButton, 0}};
    for (const auto& [b, gap] : buttons) {
        b->move(right - b->width(), b->y());
        right = b->x() - gap;
    }
}

// A larger font, or text drawn for a fractional screen scale, can need more
// room than the design's 570 x 450: the wizard grows (never shrinks) until the
// page fits, with its footer buttons kept at the right edge. At the design
// size nothing moves.
void TWizard::GrowToPage(QWidget* page) {
    if (!page) {
        return;
    }
    QRect used = page->childrenRect();
    for (QWidget* child : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        used = used.united(QRect(child->pos(), child->size().expandedTo(child->minimumSize())));
    }
    const int footer = kWizardPageMargin + AdvancedButton->width() + 20 + BackButton->width() + 5 +
                       NextButton->width() + 20 + CancelButton->width() + 17;
    const int width = std::max({Form->width(), used.right() + 1 + kWizardPageMargin, footer});
    const int contentHeight = std::max(ContentPanel->height(), used.bottom() + 1 + 4);
    const int height = kDialogHeaderHeight + contentHeight + kDialogFooterHeight;
    const int grewBy = width - Form->width();
    if (grewBy == 0 && height == Form->height()) {
        return;
    }
    const QPoint centre = Form->geometry().center();
    for (QWidget* bar : {HeaderPanel, FooterPanel}) {
        for (QWidget* child : bar->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child == StepLabel) {
                child->move(child->x() + grewBy, child->y());
            } else if (!qobject_cast<QPushButton*>(child) && child->width() >= Form->width() - 2 * 22) {
                child->resize(child->width() + grewBy, child->height()); // lines and the title
            }
        }
    }
    Form->setFixedSize(width, height);
    LayOutFooter();
    HeaderPanel->resize(width, HeaderPanel->height());
    FooterPanel->setGeometry(0, height - kDialogFooterHeight, width, kDialogFooterHeight);
    ContentPanel->resize(width, contentHeight);
    for (QWidget* panel : PagePanels) {
        if (panel) {
            panel->resize(panel->size().expandedTo(QSize(width, contentHeight)));
        }
    }
    Form->move(centre.x() - width / 2, centre.y() - height / 2);
}

bool TWizard::DuplicateAllowed() {
    if (!AccountPage || !AccountPage->AccountClass() || !env_.accounts) {
        return true;
    }
    TCryptURL record;
    record.DecodeParams(AccountPage->BuildSettingsText());
    const std::string email = record.GetParam("EMAIL");
    const std::string code = AccountPage->AccountClass()->TypeCode();
    bool found = false;
    {
        CriticHold hold(env_.accounts->AccountLock, CriticHold::Mode::Shared, kFindAccountWaits);
        if (hold.Held()) {
            for (TNuvex_GenericConnector* account : env_.accounts->Items()) {
                std::lock_guard guard(account->Guard());
                if (account->TypeCode() == code && account->Email == email) {
                    found = true;
                    break;
                }
            }
        } else {
            qCWarning(lcUi) << "the account list was busy; the wizard did not look for a duplicate";
        }
    }
    if (!found) {
        return true;
    }
    if (env_.askDuplicate) {
        return env_.askDuplicate();
    }
    QMessageBox box(QMessageBox::Question, Caption,
                    QStringLiteral("\r\nYou have already added this account.\r\n\r\n"
                                   "Do you really want to add this account again?"),
                    QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void TWizard::Navigate(int tag) {
    if (!Form || Form->Result() != kResultOpen) {
        return;
    }
    PreviousPage = CurrentPage;
    int next = CurrentPage;
    if (tag == kTagNext) {
        if (NewAccountMode && CurrentPage == kPageAccount && !DuplicateAllowed()) {
            return;
        }
        if (CurrentPage < LastPage) {
            next = CurrentPage + 1;
        } else if (CurrentPage == kPageConfirm && SaveAnywayBox && !SaveAnywayBox->isChecked()) {
            return;
        } else {
            Form->SetResult(kResultAccept);
        }
    } else if (tag == kTagBack) {
        if (CurrentPage > FirstPage) {
            next = CurrentPage - 1;
        }
    } else if (tag == kTagCancel) {
        Form->SetResult(kResultCancel);
    }
    if (Form->Result() == kResultOpen && next != PreviousPage) {
        ShowPage(next);
    }
}

bool TWizard::PrepareEdit(const std::string& typeCode) {
    FirstPage = kPageAccount;
    LastPage = kPageAccount;
    CurrentPage = kPageAccount;
    const bool made = BuildAccountPage(typeCode);
    for (int i = 0; i < static_cast<int>(PagePanels.size()); ++i) {
        if (PagePanels[i]) {
            PagePanels[i]->setVisible(i == kPageAccount);
        }
    }
    BackButton->hide();
    NextButton->setEnabled(true);
    NextButton->setText(QStringLiteral("&OK"));
    StepLabel->clear();
    // The same page fits as it does in the add wizard.
    GrowToPage(PagePanels[kPageAccount]);
    return made;
}

} // namespace nuvex

namespace nuvex {
namespace {

// The program's account-type pages behind the wizard's page interface.
class TPanelPage final : public TAccountPage {
public:
    explicit TPanelPage(std::unique_ptr<TNuvex_WizardPanel> panel) : panel_(std::move(panel)) {}
    void Setup(const TConnectorClass& cls, bool buttonActionSet) override {
        panel_->AccountClass = &cls;
        panel_->ButtonActionSet = buttonActionSet;
    }
    void BuildPage(bool editMode) override { panel_->BuildPage(editMode); }
    void ReadSettingsText(const std::string& text) override { panel_->ReadSettingsText(text); }
    void SettingsToControls() override { panel_->SettingsToControls(); }
    void SetNextButton(QPushButton* next) override { panel_->NextButton = next; }
    void ValidatePage() override { panel_->ValidatePage(); }
    std::string BuildSettingsText() override { return panel_->BuildSettingsText(); }
    std::string SummaryText() override { return panel_->SummaryText(); }
    void ShowAdvanced() override {
        if (panel_->OnAdvanced) {
            panel_->OnAdvanced();
        }
    }
    QWidget* Panel() override { return panel_->PagePanel; }
    const TConnectorClass* AccountClass() const override { return panel_->AccountClass; }
    TPageChoices Choices() const override {
        return {panel_->DefaultCompose, panel_->SendTo, panel_->Associate, panel_->AssociateConfirmed};
    }
    void SetDefaultCompose(bool on) override { panel_->DefaultCompose = on; }
    void RevealProblems() override { panel_->RevealProblem(); }
    bool TestFailed() override { return panel_->TestFailedForCurrentSettings(); }

private:
    std::unique_ptr<TNuvex_WizardPanel> panel_;
};

} // namespace

TPageFactory PanelPageFactory(const TPanelPageSetup& setup) {
    return [setup](const TConnectorClass& cls, QWidget* container) -> std::unique_ptr<TAccountPage> {
        std::unique_ptr<TNuvex_WizardPanel> panel = CreateWizardPanel(cls, container);
        if (!panel) {
            qCWarning(lcUi) << "no account page for the type" << QString::fromStdString(cls.TypeCode());
            return nullptr;
        }
        panel->Context = setup.context;
        panel->HelpLinkPattern = setup.helpLinkPattern;
        panel->OpenHelp = setup.openHelp;
        if (container && container->window()) {
            panel->WizardCaption = container->window()->windowTitle();
        }
        return std::make_unique<TPanelPage>(std::move(panel));
    };
}

} // namespace nuvex
