#include "ui/advanced_dialog.h"

#include "lib/branding.h"
#include "ui/page_imap.h"
#include "ui/page_pop3.h"
#include "ui/tr.h"
#include "ui/ui_log.h"
#include "ui/wizard_panel.h"

#include <QFrame>
#include <QLabel>
#include <algorithm>

namespace nuvex {
namespace {

constexpr int kDialogWidth = 410;
constexpr int kBasicHeight = 360;
constexpr int kPop3Height = 440;
// The POP3 dialog has its port section above the shared part.
constexpr int kPop3Offset = 90;

QLabel* Label(QWidget* parent, const QString& text, int left, int top, bool bold = false) {
    auto* label = new QLabel(text, parent);
    if (bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    label->move(left, top);
    label->adjustSize();
    return label;
}

void Line(QWidget* parent, int top) {
    auto* line = new QFrame(parent);
    line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line->setGeometry(22, top, 359, 2);
}

template <class Box> Box* Placed(Box* box, int left, int top) {
    box->move(left, top);
    box->adjustSize();
    return box;
}

// The dialog keeps its design size unless a larger font needs more room.
void GrowToFit(TVostrelWin& win, const TDialogFrame& frame) {
    int right = 0;
    int bottom = 0;
    for (QWidget* child : frame.Content->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        right = std::max(right, child->geometry().right() + 1);
        bottom = std::max(bottom, child->geometry().bottom() + 1);
    }
    const QSize size = win.Form->size();
    const int width = std::max(size.width(), right + 22);
    const int height = std::max(size.height(), kDialogHeaderHeight + bottom + 12 + kDialogFooterHeight);
    if (width == size.width() && height == size.height()) {
        return;
    }
    win.Form->setFixedSize(width, height);
    frame.Header->setFixedWidth(width);
    frame.Content->setGeometry(0, kDialogHeaderHeight, width,
                               height - kDialogHeaderHeight - kDialogFooterHeight);
    frame.Footer->setGeometry(0, height - kDialogFooterHeight, width, kDialogFooterHeight);
    frame.CancelButton->move(width - 83, kDialogButtonTop);
    frame.OkButton->move(width - 83 - 83, kDialogButtonTop);
}

} // namespace

TNuvex_Advanced::TNuvex_Advanced() : TNuvex_Advanced(kBasicHeight, 0) {}

TNuvex_Advanced::TNuvex_Advanced(int height, int offset) {
    TDialogFrame frame = BuildDialogFrame(*this, ProductName() + " - Advanced Settings", "Advanced Settings",
                                          QSize(kDialogWidth, height), true);
    Title = frame.Title;
    Header = frame.Header;
    Content = frame.Content;
    Footer = frame.Footer;
    QWidget* c = Content;

    // The POP3 dialog writes its bold headings with capitals; the basic one does not.
    const bool pop3 = offset != 0;
    Label(c, Tr("Set the interval for checking for new emails."), 22, 16 + offset, true);
    QLabel* every = Label(c, Tr("Check Account Every:"), 55, 40 + offset);
    IntervalList = new QComboBox(c);
    IntervalList->setObjectName(QStringLiteral("IntervalList"));
    for (const TCheckInterval& interval : kCheckIntervals) {
        IntervalList->addItem(
            QString::fromLatin1(interval.text.data(), static_cast<int>(interval.text.size())));
    }
    IntervalList->setCurrentIndex(2);
    IntervalList->setGeometry(every->geometry().right() + 1 + 10, 36 + offset, 90,
                              std::max(21, IntervalList->sizeHint().height()));
    every->setBuddy(IntervalList);
    IntervalList->setAccessibleName(Tr("Check Account Every"));
    Line(c, 66 + offset);
    QLabel* heading = Label(c, Tr("Select notification for this account."), 22, 80 + offset, true);
    heading->resize(std::max(heading->width(), 400 - 22 * 2), heading->height());
    DefaultRadio = Placed(
        new QRadioButton(pop3 ? Tr("Default Notification Settings") : Tr("Default notification settings"), c),
        40, 102 + offset);
    DefaultRadio->setObjectName(QStringLiteral("DefaultRadio"));
    CustomRadio = Placed(
        new QRadioButton(pop3 ? Tr("Custom Notification Settings") : Tr("Custom notification settings"), c),
        40, 124 + offset);
    CustomRadio->setObjectName(QStringLiteral("CustomRadio"));
    DefaultRadio->setChecked(true);
    WindowBox = Placed(new QCheckBox(Tr("Notify me upon receipt of new email"), c), 62, 146 + offset);
    WindowBox->setObjectName(QStringLiteral("WindowBox"));
    SoundBox = Placed(new QCheckBox(Tr("Play sound when new email is detected "), c), 62, 166 + offset);
    SoundBox->setObjectName(QStringLiteral("SoundBox"));
    TrayBox = Placed(new QCheckBox(Tr("Change Tray Icon when new email is detected"), c), 62, 186 + offset);
    TrayBox->setObjectName(QStringLiteral("TrayBox"));
    QObject::connect(DefaultRadio, &QRadioButton::clicked, DefaultRadio, [this] { UpdateBoxes(); });
    QObject::connect(CustomRadio, &QRadioButton::clicked, CustomRadio, [this] { UpdateBoxes(); });
    UpdateBoxes();

    QWidget::setTabOrder(IntervalList, DefaultRadio);
    QWidget::setTabOrder(DefaultRadio, CustomRadio);
    QWidget::setTabOrder(CustomRadio, WindowBox);
    QWidget::setTabOrder(WindowBox, SoundBox);
    QWidget::setTabOrder(SoundBox, TrayBox);
    QWidget::setTabOrder(TrayBox, frame.OkButton);
    QWidget::setTabOrder(frame.OkButton, frame.CancelButton);
    frame_ = frame;
    if (!pop3) {
        GrowToFit(*this, frame_);
    }
}

void TNuvex_Advanced::UpdateBoxes() {
    const bool custom = CustomRadio->isChecked();
    WindowBox->setEnabled(custom);
    SoundBox->setEnabled(custom);
    TrayBox->setEnabled(custom);
}

void TNuvex_Advanced::FromPage(const TNuvex_WizardPanel& page) {
    for (std::size_t i = 0; i < kCheckIntervals.size(); ++i) {
        if (kCheckIntervals[i].minutes == page.CheckMinutes) {
            IntervalList->setCurrentIndex(static_cast<int>(i));
        }
    }
    DefaultRadio->setChecked(page.DefaultNotify);
    CustomRadio->setChecked(!page.DefaultNotify);
    WindowBox->setChecked(page.NotifyWindow);
    SoundBox->setChecked(page.NotifySound);
    TrayBox->setChecked(page.NotifyTray);
    UpdateBoxes();
}

void TNuvex_Advanced::ToPage(TNuvex_WizardPanel& page) const {
    const int index =
        std::clamp(IntervalList->currentIndex(), 0, static_cast<int>(kCheckIntervals.size()) - 1);
    page.CheckMinutes = kCheckIntervals[static_cast<std::size_t>(index)].minutes;
    page.DefaultNotify = !CustomRadio->isChecked();
    // Kept even under the default choice, so a later switch to custom finds them.
    page.NotifyWindow = WindowBox->isChecked();
    page.NotifySound = SoundBox->isChecked();
    page.NotifyTray = TrayBox->isChecked();
}

int TNuvex_Advanced::Run(TNuvex_WizardPanel& page, QWidget* owner) {
    try {
        Prepare();
        FromPage(page);
        return RunModal(*this, owner, [&] { ToPage(page); });
    } catch (...) {
        qCWarning(lcUi) << "the advanced settings dialog failed; the page keeps its values";
        if (owner) {
            owner->setEnabled(true);
        }
        return kResultCancel;
    }
}

TNuvex_AdvancedPop3::TNuvex_AdvancedPop3() : TNuvex_Advanced(kPop3Height, kPop3Offset) {
    QWidget* c = Content;
    Label(c, Tr("Set the port of incoming POP3 server you are using."), 22, 16, true);
    QLabel* portLabel = Label(c, Tr("Incoming Server Port:"), 55, 40);
    PortBox = new QLineEdit(c);
    PortBox->setObjectName(QStringLiteral("PortBox"));
    PortBox->setGeometry(portLabel->geometry().right() + 1 + 10, 36, 55,
                         std::max(21, PortBox->sizeHint().height()));
    portLabel->setBuddy(PortBox);
    PortBox->setAccessibleName(Tr("Incoming Server Port"));
    Label(c, Tr("(default: 110)"), PortBox->geometry().right() + 1 + 10, 40);
    SslBox = Placed(new QCheckBox(Tr("Use SSL Server Connection"), c), 55, 62);
    SslBox->setObjectName(QStringLiteral("SslBox"));
    // The dialog has no help address of its own: the link is shown for the
    // same look, and the wizard's page opens help.
    auto* link = new QLabel(QStringLiteral("<a href=\"1134\" style=\"color:#0000ff\">%1</a>")
                                .arg(Tr("What's this?").toHtmlEscaped()),
                            c);
    link->setObjectName(QStringLiteral("help1134"));
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    link->setFocusPolicy(Qt::StrongFocus);
    link->setCursor(Qt::PointingHandCursor);
    link->move(SslBox->geometry().right() + 1 + 10, SslBox->y() + 2);
    link->adjustSize();
    helpLink_ = link;
    Line(c, 90);

    QWidget::setTabOrder(PortBox, SslBox);
    QWidget::setTabOrder(SslBox, link);
    QWidget::setTabOrder(link, IntervalList);
    GrowToFit(*this, frame_);
}

void TNuvex_AdvancedPop3::FromPage(const TPop3Basic& page) {
    TNuvex_Advanced::FromPage(page);
    PortBox->setText(page.Port.empty() ? QStringLiteral("110") : QString::fromStdString(page.Port));
    SslBox->setChecked(page.UseSsl);
}

void TNuvex_AdvancedPop3::ToPage(TPop3Basic& page) const {
    TNuvex_Advanced::ToPage(page);
    page.Port = PortBox->text().toStdString(); // as typed: the page validates it
    page.UseSsl = SslBox->isChecked();
}

int TNuvex_AdvancedPop3::Run(TPop3Basic& page, QWidget* owner) {
    try {
        Prepare();
        FromPage(page);
        if (helpLink_ && !page.HelpLinkPattern.isEmpty() && page.OpenHelp) {
            QObject::connect(helpLink_, &QLabel::linkActivated, helpLink_, [&page](const QString&) {
                page.OpenHelp(HelpAddress(page.HelpLinkPattern, 1134));
            });
        }
        return RunModal(*this, owner, [&] { ToPage(page); });
    } catch (...) {
        qCWarning(lcUi) << "the POP3 advanced settings dialog failed; the page keeps its values";
        if (owner) {
            owner->setEnabled(true);
        }
        return kResultCancel;
    }
}

TNuvex_AdvancedImap::TNuvex_AdvancedImap() : TNuvex_Advanced(kPop3Height + 30, kPop3Offset + 30) {
    QWidget* c = Content;
    Label(c, Tr("Set the port, security and folders of the IMAP server."), 22, 16, true);
    QLabel* portLabel = Label(c, Tr("Incoming Server Port:"), 55, 40);
    PortBox = new QLineEdit(c);
    PortBox->setObjectName(QStringLiteral("PortBox"));
    PortBox->setGeometry(portLabel->geometry().right() + 1 + 10, 36, 55,
                         std::max(21, PortBox->sizeHint().height()));
    portLabel->setBuddy(PortBox);
    PortBox->setAccessibleName(Tr("Incoming Server Port"));
    QLabel* securityLabel = Label(c, Tr("Security:"), 55, 68);
    SecurityList = new QComboBox(c);
    SecurityList->setObjectName(QStringLiteral("SecurityList"));
    SecurityList->addItems({Tr("TLS"), Tr("STARTTLS"), Tr("None (not encrypted)")});
    SecurityList->move(PortBox->x(), 64);
    SecurityList->adjustSize();
    securityLabel->setBuddy(SecurityList);
    // A port left at the other choice's default follows the choice.
    QObject::connect(SecurityList, &QComboBox::currentIndexChanged, PortBox, [this](int index) {
        const QString port = PortBox->text().trimmed();
        if (port == QLatin1String("993") || port == QLatin1String("143") || port.isEmpty()) {
            PortBox->setText(index == 0 ? QStringLiteral("993") : QStringLiteral("143"));
        }
    });
    QLabel* foldersLabel = Label(c, Tr("Folders to watch:"), 55, 96);
    FoldersBox = new QLineEdit(c);
    FoldersBox->setObjectName(QStringLiteral("FoldersBox"));
    FoldersBox->setGeometry(PortBox->x(), 92, 180, std::max(21, FoldersBox->sizeHint().height()));
    FoldersBox->setAccessibleName(Tr("Folders to watch, separated by commas"));
    foldersLabel->setBuddy(FoldersBox);
    Line(c, 120);

    QWidget::setTabOrder(PortBox, SecurityList);
    QWidget::setTabOrder(SecurityList, FoldersBox);
    QWidget::setTabOrder(FoldersBox, IntervalList);
    GrowToFit(*this, frame_);
}

void TNuvex_AdvancedImap::FromPage(const TImapBasic& page) {
    TNuvex_Advanced::FromPage(page);
    SecurityList->setCurrentIndex(static_cast<int>(page.Security));
    PortBox->setText(QString::fromStdString(page.Port));
    QStringList folders;
    for (const std::string& name : page.Folders) {
        folders << QString::fromStdString(name);
    }
    FoldersBox->setText(folders.join(QStringLiteral(", ")));
}

void TNuvex_AdvancedImap::ToPage(TImapBasic& page) const {
    TNuvex_Advanced::ToPage(page);
    page.Port = PortBox->text().toStdString(); // as typed: the page validates it
    page.Security = static_cast<ImapSecurity>(std::clamp(SecurityList->currentIndex(), 0, 2));
    page.Folders.clear();
    for (const QString& name : FoldersBox->text().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const std::string folder = name.trimmed().toStdString();
        if (!folder.empty() &&
            std::find(page.Folders.begin(), page.Folders.end(), folder) == page.Folders.end()) {
            page.Folders.push_back(folder);
        }
    }
    if (page.Folders.empty()) {
        page.Folders.emplace_back("INBOX");
    }
}

int TNuvex_AdvancedImap::Run(TImapBasic& page, QWidget* owner) {
    try {
        Prepare();
        FromPage(page);
        return RunModal(*this, owner, [&] { ToPage(page); });
    } catch (...) {
        qCWarning(lcUi) << "the IMAP advanced settings dialog failed; the page keeps its values";
        if (owner) {
            owner->setEnabled(true);
        }
        return kResultCancel;
    }
}

int ShowAdvancedDialog(TNuvex_WizardPanel& page) {
    QWidget* owner = page.PagePanel ? page.PagePanel->parentWidget() : nullptr;
    if (auto* imap = dynamic_cast<TImapBasic*>(&page)) {
        TNuvex_AdvancedImap dialog;
        return dialog.Run(*imap, owner);
    }
    if (auto* pop3 = dynamic_cast<TPop3Basic*>(&page)) {
        TNuvex_AdvancedPop3 dialog;
        return dialog.Run(*pop3, owner);
    }
    TNuvex_Advanced dialog;
    return dialog.Run(page, owner);
}

} // namespace nuvex
