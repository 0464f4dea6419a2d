#include "ui/vostrel_win.h"

#include "lib/branding.h"
#include "lib/clock.h"
#include "ui/tr.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextEdit>

namespace nuvex {

void TClickLabel::Click() {
    if (OnClick) {
        // A copy: the handler may end the window that owns this label.
        auto handler = OnClick;
        handler();
    }
}

void TClickLabel::mousePressEvent(QMouseEvent* event) {
    // Taken, so that the release comes back to this label.
    event->setAccepted(event->button() == Qt::LeftButton && OnClick != nullptr);
    if (!event->isAccepted()) {
        QLabel::mousePressEvent(event);
    }
}

void TClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && OnClick && rect().contains(event->position().toPoint())) {
        event->accept();
        Click();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

TVostrelForm::TVostrelForm(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

void TVostrelForm::SetResult(int result) {
    if (result_ == result) {
        return;
    }
    result_ = result;
    emit ResultChanged(result);
}

void TVostrelForm::closeEvent(QCloseEvent* event) {
    // A close after the window already ended (an accepted dialog being put
    // away) must not turn its result into a cancel.
    if (result_ == 0) {
        SetResult(kResultCancel);
    }
    event->accept();
}

void ClickControl(QWidget* control) {
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->click(); // does nothing while the button is disabled
    } else if (auto* label = qobject_cast<TClickLabel*>(control)) {
        label->Click();
    }
}

namespace {

QString AvailableFamily(std::string_view family) {
    QString name = QString::fromUtf8(family.data(), static_cast<qsizetype>(family.size()));
    if (QFontDatabase::hasFamily(name)) {
        return name;
    }
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

bool IsEditLike(const QWidget* w) {
    return qobject_cast<const QLineEdit*>(w) || qobject_cast<const QTextEdit*>(w) ||
           qobject_cast<const QPlainTextEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
           qobject_cast<const QComboBox*>(w) || qobject_cast<const QAbstractItemView*>(w);
}

// The same font with every property marked as set, so that it no longer
// follows its parent's.
QFont Pinned(QFont font) {
    font.setFamily(font.family());
    if (font.pixelSize() > 0) {
        font.setPixelSize(font.pixelSize());
    } else {
        font.setPointSizeF(font.pointSizeF());
    }
    font.setWeight(font.weight());
    font.setItalic(font.italic());
    font.setUnderline(font.underline());
    font.setStrikeOut(font.strikeOut());
    font.setStyleHint(font.styleHint());
    return font;
}

} // namespace

QFont UiFont(std::string_view family, int pointSize) {
    QFont font(AvailableFamily(family));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(pointSize);
    return font;
}

QFont UiFontPixels(std::string_view family, int pixelSize) {
    QFont font(AvailableFamily(family));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    return font;
}

bool ForceForegroundWindow(QWidget* window) {
    if (!window) {
        return false;
    }
    if (window->isMinimized()) {
        window->showNormal();
    }
    if (window->isActiveWindow()) {
        return true;
    }
    window->show();
    if (PlatformStacksWindows()) {
        window->raise();
    }
    window->activateWindow();
    return window->isActiveWindow();
}

bool PlatformStacksWindows() {
    const QString name = QGuiApplication::platformName();
    return name != QLatin1String("offscreen") && name != QLatin1String("minimal");
}

class TVostrelWin::KeyFilter final : public QObject {
public:
    explicit KeyFilter(TVostrelWin& owner) : owner_(owner) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            // A key that a control left unhandled reaches the form's filter
            // too: the focus says where it was typed.
            QWidget* target = QApplication::focusWidget();
            if (!target || !owner_.Form || !owner_.Form->isAncestorOf(target)) {
                target = qobject_cast<QWidget*>(watched);
            }
            if (owner_.HandleKey(key->key(), key->modifiers(), target)) {
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    TVostrelWin& owner_;
};

TVostrelWin::TVostrelWin() = default;

TVostrelWin::~TVostrelWin() {
    delete Form; // frees every control with it
}

void TVostrelWin::Prepare() {
    PreparedAt = Now();
    preparedTick_ = TickCount();
    if (!Form) {
        return;
    }
    const QPalette system = QApplication::palette();

    // Controls that already exist keep the fonts they were given: pin each
    // one's current font before the form's new font would reach it.
    const auto children = Form->findChildren<QWidget*>();
    for (QWidget* w : children) {
        if (!w->testAttribute(Qt::WA_SetFont)) {
            w->setFont(Pinned(w->font()));
        }
    }
    QPalette formPalette = Form->palette();
    formPalette.setColor(QPalette::WindowText, system.color(QPalette::WindowText));
    Form->setPalette(formPalette);
    Form->setFont(UiFont("MS Sans Serif", 8));

    if (!keyFilter_) {
        keyFilter_ = std::make_unique<KeyFilter>(*this);
    }
    Form->installEventFilter(keyFilter_.get());
    for (QWidget* w : children) {
        if (IsEditLike(w)) {
            QPalette p = w->palette();
            p.setColor(QPalette::Base, system.color(QPalette::Base));
            w->setPalette(p);
        }
        w->installEventFilter(keyFilter_.get()); // installing twice keeps one entry
    }
}

bool TVostrelWin::HandleKey(int key, Qt::KeyboardModifiers modifiers, QWidget* target) {
    if (modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        return false;
    }
    QWidget* control = nullptr;
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        // Enter on a focused button presses that button, as the user reads it;
        // a focused link opens itself.
        if (auto* label = qobject_cast<QLabel*>(target);
            label && (label->textInteractionFlags() & Qt::LinksAccessibleByKeyboard)) {
            return false;
        }
        auto* button = qobject_cast<QPushButton*>(target);
        control = button ? static_cast<QWidget*>(button) : DefaultControl.data();
    } else if (key == Qt::Key_Escape) {
        control = CancelControl;
    } else {
        return false;
    }
    if (TickCount() <= preparedTick_ + 1000 || !control) {
        return false;
    }
    ClickControl(control);
    return true;
}

void SetButtonResult(TVostrelWin& win, QAbstractButton* button, int result) {
    button->setProperty("tag", result);
    QObject::connect(button, &QAbstractButton::clicked, button, [&win, result] {
        if (win.Form) {
            win.Form->SetResult(result);
        }
    });
}

TDialogFrame BuildDialogFrame(TVostrelWin& win, std::string_view caption, std::string_view title,
                              QSize clientSize, bool okCancel) {
    if (!win.Form) {
        win.Form = new TVostrelForm(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    }
    TVostrelForm* form = win.Form;
    const QPalette system = QApplication::palette();
    const int w = clientSize.width();
    const int h = clientSize.height();

    form->setWindowTitle(Tr(caption));
    form->setFixedSize(clientSize);
    QPalette formPalette = form->palette();
    formPalette.setColor(QPalette::Window, system.color(QPalette::Button));
    formPalette.setColor(QPalette::WindowText, system.color(QPalette::WindowText));
    form->setPalette(formPalette);
    form->setAutoFillBackground(true);
    form->setFont(UiFontPixels("Tahoma", 11)); // a 13-pixel cell
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect full = screen->geometry(); // the whole screen, not the work area
        form->move(full.x() + (full.width() - w) / 2, full.y() + (full.height() - h) / 2);
    }

    TDialogFrame frame;
    frame.Header = new QWidget(form);
    frame.Header->setGeometry(0, 0, w, kDialogHeaderHeight);
    QPalette headerPalette = frame.Header->palette();
    headerPalette.setColor(QPalette::Window, system.color(QPalette::Base));
    frame.Header->setPalette(headerPalette);
    frame.Header->setAutoFillBackground(true);
    auto* headerLine = new QFrame(frame.Header);
    headerLine->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    headerLine->setGeometry(0, kDialogHeaderHeight - 2, w, 2);

    frame.Title = new QLabel(Tr(title), frame.Header);
    frame.Title->setGeometry(22, 17, w - 2 * 22, 18);
    QFont titleFont = UiFont("Tahoma", 10);
    titleFont.setBold(true);
    frame.Title->setFont(titleFont);
    frame.Title->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    frame.Footer = new QWidget(form);
    frame.Footer->setGeometry(0, h - kDialogFooterHeight, w, kDialogFooterHeight);
    auto* footerLine = new QFrame(frame.Footer);
    footerLine->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    footerLine->setGeometry(0, 0, w, 2);

    frame.Content = new QWidget(form);
    frame.Content->setGeometry(0, kDialogHeaderHeight, w, h - kDialogHeaderHeight - kDialogFooterHeight);

    if (okCancel) {
        const int cancelLeft = w - kDialogButtonWidth - 8;
        const int okLeft = cancelLeft - kDialogButtonWidth - 8;
        frame.OkButton = new QPushButton(Tr("OK"), frame.Footer);
        frame.OkButton->setGeometry(okLeft, kDialogButtonTop, kDialogButtonWidth, kDialogButtonHeight);
        frame.CancelButton = new QPushButton(QStringLiteral("&") + Tr("Cancel"), frame.Footer);
        frame.CancelButton->setGeometry(cancelLeft, kDialogButtonTop, kDialogButtonWidth,
                                        kDialogButtonHeight);
        SetButtonResult(win, frame.OkButton, kResultAccept);
        SetButtonResult(win, frame.CancelButton, kResultCancel);
        win.DefaultControl = frame.OkButton;
        win.CancelControl = frame.CancelButton;
    }
    return frame;
}

int RunModal(TVostrelWin& win, QWidget* owner, const std::function<void()>& copyBack) {
    if (!win.Form) {
        return 2;
    }
    QPointer<QWidget> guardedOwner(owner);
    QPointer<TVostrelForm> form(win.Form);
    if (guardedOwner) {
        guardedOwner->setEnabled(false);
    }
    form->show();
    ForceForegroundWindow(form);
    if (form->Result() == kResultOpen) {
        // Woken by the result instead of polling: nothing runs while the user thinks.
        QEventLoop loop;
        QObject::connect(form, &TVostrelForm::ResultChanged, &loop, &QEventLoop::quit);
        QObject::connect(form, &QObject::destroyed, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (guardedOwner) {
        guardedOwner->setEnabled(true);
    }
    const int result = form ? form->Result() : kResultCancel;
    if (form) {
        form->hide();
    }
    if (result == 1 && copyBack) {
        copyBack();
    }
    return result;
}

} // namespace nuvex
