#include "ui/uploader_form.h"

#include "lib/branding.h"
#include "ui/tr.h"

#include <QGuiApplication>
#include <QScreen>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace nuvex {

namespace {

constexpr int kPanelHeight = 146;
constexpr int kLabelHeight = 13;
// Value labels end 10 pixels before the panel's right edge.
constexpr int kValueRight = kUploaderClientWidth - 10;

std::string OneDecimal(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%0.1f", value);
    return buf;
}

// Halves to even, whatever rounding mode another library left behind.
double RoundHalfEven(double value) {
    const int old = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(value);
    std::fesetround(old);
    return r;
}

} // namespace

int ValueLeftAfter(const QLabel* label) {
    // 110 as drawn; a fallback font or a long translation can make the label
    // wider than the 100 pixels it was given, and then the value moves right
    // instead of being written over it.
    return std::max(kUploaderValueLeft, label->x() + label->width() + kUploaderValueGap);
}

std::string ByteText(double bytes) {
    if (bytes >= 1048576.0) {
        return OneDecimal(bytes / 1048576.0) + "MB";
    }
    if (bytes >= 1024.0) {
        return OneDecimal(bytes / 1024.0) + "KB";
    }
    return std::to_string(static_cast<long long>(RoundHalfEven(bytes))) + "B";
}

std::string TimeText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) {
        seconds = 0;
    }
    // Rounded first, so 59.6 seconds reads "1 min 0 s", not "60 s".
    const double whole = RoundHalfEven(std::min(seconds, 1e12));
    const auto total = static_cast<long long>(whole);
    if (total >= 60) {
        return std::to_string(total / 60) + " min " + std::to_string(total % 60) + " s";
    }
    return std::to_string(total) + " s";
}

TWebvaultUploaderForm::TWebvaultUploaderForm(const std::string& email) {
    Form = new TVostrelForm(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    caption_ = Tr("Preparing new email");
    Form->setWindowTitle(caption_);
    Form->setFixedSize(kUploaderClientWidth, kUploaderClientHeight);
    Form->setFont(UiFontPixels("Tahoma", 11)); // a 13-pixel cell, as the other dialogs
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        Form->move(area.x() + (area.width() - kUploaderClientWidth) / 2,
                   area.y() + (area.height() - kUploaderClientHeight) / 2);
    }

    Panel = new QFrame(Form);
    Panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel->setGeometry(0, 0, kUploaderClientWidth, kPanelHeight);

    UsingLabel = AddLabel("Preparing new email using ", 10, 16);
    // The address follows the text directly, however wide the translation is.
    const int emailLeft = 10 + UsingLabel->width();
    EmailValue = AddValue(emailLeft, 16);
    EmailValue->setText(QString::fromStdString(email));

    StatusLabel = new QLabel(Tr("Sending files"), Panel);
    StatusLabel->setGeometry(10, 38, 250, kLabelHeight);

    Bar = new QProgressBar(Panel);
    Bar->setGeometry(9, 57, 348, 13);
    Bar->setTextVisible(false);
    Bar->setRange(0, 1);
    Bar->setValue(0);

    TimeLabel = AddLabel("Estimated time left:", 10, 75);
    TimeValue = AddValue(ValueLeftAfter(TimeLabel), 75);
    FromLabel = AddLabel("Sending from:", 10, 97);
    FromValue = AddValue(ValueLeftAfter(FromLabel), 97);
    RateLabel = AddLabel("Transfer rate:", 10, 119);
    RateValue = AddValue(ValueLeftAfter(RateLabel), 119);

    CancelButton = new QPushButton(Tr("Cancel"), Form);
    CancelButton->setGeometry(285, 152, 75, 25);
    SetButtonResult(*this, CancelButton, kResultCancel);
    CancelControl = CancelButton;
    Prepare();
}

QLabel* TWebvaultUploaderForm::AddLabel(const std::string& text, int left, int top) {
    auto* label = new QLabel(Tr(text), Panel);
    label->setFont(Form->font());
    const int width = label->fontMetrics().horizontalAdvance(label->text());
    label->setGeometry(left, top, width, kLabelHeight);
    return label;
}

QLabel* TWebvaultUploaderForm::AddValue(int left, int top) {
    auto* value = new QLabel(Panel);
    value->setGeometry(left, top, std::max(0, kValueRight - left), kLabelHeight);
    return value;
}

void TWebvaultUploaderForm::SetStage(Stage stage) {
    StatusLabel->setText(Tr(stage == Stage::Preparing ? "Preparing files" : "Sending files"));
}

void TWebvaultUploaderForm::SetSendingFrom(const std::string& folder, bool multipleFolders) {
    FromValue->setText(multipleFolders ? Tr("Multiple locations") : QString::fromStdString(folder));
    FromValue->setToolTip(FromValue->text());
}

bool TWebvaultUploaderForm::UpdateProgress(std::uint64_t sent, std::uint64_t total, double secondsLeft,
                                           double rate) {
    if (Result() == kResultCancel) {
        return false;
    }
    if (rate < 0 || secondsLeft < 0) {
        return true;
    }
    total = std::max(total, sent);
    // The bar counts in ints; very large totals are scaled down together.
    std::uint64_t scale = 1;
    while (total / scale > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
        scale *= 1024;
    }
    Bar->setRange(0, static_cast<int>(total / scale));
    Bar->setValue(static_cast<int>(sent / scale));
    RateValue->setText(QString::fromStdString(ByteText(rate) + "/s"));
    const double percent = total ? static_cast<double>(sent) / static_cast<double>(total) * 100.0 : 100.0;
    const std::string pct = OneDecimal(percent);
    TimeValue->setText(
        QString::fromStdString(TimeText(secondsLeft) + " (" + ByteText(static_cast<double>(sent)) + " of " +
                               ByteText(static_cast<double>(total)) + " sent - " + pct + "%)"));
    Form->setWindowTitle(QString::fromStdString(pct + "% - ") + caption_);
    return true;
}

void TWebvaultUploaderForm::ShowWaiting(double seconds) {
    // The service builds the draft before it answers, which can take long
    // after the last byte: without this the window would sit at 100 % in silence.
    Bar->setRange(0, 0);
    StatusLabel->setGeometry(10, 38, kValueRight - 10, kLabelHeight);
    StatusLabel->setText(Tr("All sent. Waiting for the service to answer:") + QLatin1Char(' ') +
                         QString::fromStdString(TimeText(seconds)));
}

void TWebvaultUploaderForm::ShowFailure(const std::string& message) {
    // The bar has nothing more to say; its room goes to the reason, which may
    // name a long path.
    Bar->hide();
    StatusLabel->setGeometry(10, 38, kValueRight - 10, 2 * kLabelHeight + 6);
    StatusLabel->setWordWrap(true);
    StatusLabel->setText(Tr("The draft was not created:") + QLatin1Char(' ') +
                         QString::fromStdString(message));
    StatusLabel->setToolTip(StatusLabel->text());
    CancelButton->setText(Tr("Close"));
    Form->setWindowTitle(caption_);
}

} // namespace nuvex
