#include "ui/notify_window.h"

#include "contract/event_names.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/named_objects.h"
#include "lib/plugin_settings.h"
#include "ui/pictures.h"
#include "ui/ui_log.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QWindow>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace nuvex {

namespace {

const QColor kBorder(22, 89, 130);

// WCAG's relative luminance and contrast ratio.
double Luminance(const QColor& c) {
    auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double Contrast(const QColor& a, const QColor& b) {
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Background and text are a pair of one palette, the desktop's: a fixed
// background with the theme's text colour is white on light blue under a
// dark theme. The background is the window colour with a tenth of the
// highlight in it, the window's blue tint in any theme. The preview takes
// the theme's link colour where it stands out from that background, else
// the text colour.
struct NotifyColours {
    QColor background, text, preview;
};

NotifyColours ColoursOf(const QPalette& palette) {
    NotifyColours c;
    const QColor window = palette.color(QPalette::Active, QPalette::Window);
    const QColor tint = palette.color(QPalette::Active, QPalette::Highlight);
    auto mix = [](int a, int b) { return (9 * a + b) / 10; };
    c.background = QColor(mix(window.red(), tint.red()), mix(window.green(), tint.green()),
                          mix(window.blue(), tint.blue()));
    c.text = palette.color(QPalette::Active, QPalette::WindowText);
    const QColor link = palette.color(QPalette::Active, QPalette::Link);
    c.preview = Contrast(link, c.background) >= 4.5 ? link : c.text;
    return c;
}

// Window opacity is a window-system feature: X11 has it, while the offscreen
// and minimal platforms (a headless host) and Wayland answer every call with
// a warning. Elsewhere the window shows at full strength for its whole time.
bool PlatformHasOpacity() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// The newest notification of this process. An older one that sees a newer
// generation ends at its next pass, even if the named pulse was missed.
std::uint64_t g_latestGeneration = 0;

// One row of dots between two entries.
class TDotsLine final : public QWidget {
public:
    explicit TDotsLine(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(kBorder);
        for (int x = 0; x <= 2 * (width() / 2); x += 2) {
            p.drawPoint(x, 0);
        }
    }
};

QRect PrimaryWorkArea() {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        return screen->availableGeometry();
    }
    return QRect(0, 0, 1024, 768);
}

} // namespace

// The notification's form: paints the frame and top strip, ends the window on
// the close glyph and moves it when the top strip is dragged.
// One worker thread for the window's place in the host settings. It is
// never joined: a job stuck on a hung host must not hold the process's end.
class PlaceIo {
public:
    static PlaceIo& Instance() {
        static PlaceIo* io = new PlaceIo;
        return *io;
    }

    void Post(std::function<void()> job) {
        std::lock_guard lock(mutex_);
        if (!started_) {
            started_ = true;
            std::thread([this] { Run(); }).detach();
        }
        jobs_.push_back(std::move(job));
        ++posted_;
        wake_.notify_all();
    }

    bool WaitIdle(int timeoutMs) {
        std::unique_lock lock(mutex_);
        const std::uint64_t target = posted_;
        return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return finished_ >= target; });
    }

    bool Drain(int timeoutMs) {
        if (WaitIdle(timeoutMs)) {
            return true;
        }
        std::lock_guard lock(mutex_);
        const std::size_t dropped = jobs_.size();
        finished_ += dropped;
        jobs_.clear();
        done_.notify_all();
        qCWarning(lcUi) << "the host did not take the notification window's place in time;" << dropped
                        << "queued reads and saves dropped";
        return false;
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !jobs_.empty(); });
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            try {
                job();
            } catch (...) {
                log::Caught("ui", "notification place");
            }
            lock.lock();
            ++finished_;
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::function<void()>> jobs_;
    std::uint64_t posted_ = 0;
    std::uint64_t finished_ = 0;
    bool started_ = false;
};

void WritePlace(HostConfig& host, const NotifySavedPlace& place) {
    // One write for both edges; a failed one only loses the place for next time.
    std::vector<CfgWrite> writes;
    writes.push_back({std::string(keys::kNotifyPosX), place.x.value_or(0)});
    writes.push_back({std::string(keys::kNotifyPosY), place.y.value_or(0)});
    if (!host.WriteCfgBatch(writes)) {
        qCWarning(lcUi) << "the notification window's place was not saved";
    }
}

// How long the window waits for its place before it takes the default one.
constexpr int kPlaceWaitMs = 150;

class TNotifyForm final : public TVostrelForm {
public:
    explicit TNotifyForm(TNotifyWindow& owner)
        : TVostrelForm(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
          owner_(owner) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const int w = owner_.layout_.innerWidth;
        const int h = owner_.layout_.innerHeight;
        p.setPen(QPen(kBorder, 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(0, 0, w - 1, h - 1);
        if (!owner_.gradient_.isNull()) {
            p.drawImage(QRect(1, 1, w - 2, owner_.gradient_.height()), owner_.gradient_);
        }
        if (!owner_.grip_.isNull()) {
            for (int k = 0; k <= 12; ++k) {
                p.drawImage(110 + 3 * k, 1, owner_.grip_);
            }
        }
        if (!owner_.close_.isNull()) {
            p.drawImage(w - 11, 1, owner_.close_);
        }
    }

    // Enter and Leave come from the window system on X11 and Wayland alike;
    // the global pointer position is not known over other programs' windows
    // under Wayland, so it cannot tell when the pointer has left.
    void enterEvent(QEnterEvent* event) override {
        owner_.pointerOver_ = true;
        TVostrelForm::enterEvent(event);
    }
    void leaveEvent(QEvent* event) override {
        owner_.pointerOver_ = false;
        TVostrelForm::leaveEvent(event);
    }

    void mousePressEvent(QMouseEvent* event) override {
        const QPoint at = event->position().toPoint();
        if (event->button() == Qt::LeftButton && owner_.InCloseArea(at)) {
            event->accept(); // the release ends the window
            return;
        }
        if (event->button() != Qt::LeftButton || !owner_.InDragStrip(at)) {
            TVostrelForm::mousePressEvent(event);
            return;
        }
        event->accept();
        // The window manager moves the window where it can (Wayland lets no
        // client place itself); otherwise the form follows the pointer.
        QWindow* handle = windowHandle();
        if (handle && handle->startSystemMove()) {
            return;
        }
        dragging_ = true;
        dragOffset_ = event->globalPosition().toPoint() - pos();
    }

    void mouseMoveEvent(QMouseEvent* event) override {
        if (dragging_) {
            move(event->globalPosition().toPoint() - dragOffset_);
            event->accept();
            return;
        }
        TVostrelForm::mouseMoveEvent(event);
    }

    void mouseReleaseEvent(QMouseEvent* event) override {
        dragging_ = false;
        if (event->button() == Qt::LeftButton && owner_.InCloseArea(event->position().toPoint())) {
            event->accept();
            SetResult(kResultCancel); // at once, without a fade
            return;
        }
        TVostrelForm::mouseReleaseEvent(event);
    }

private:
    TNotifyWindow& owner_;
    bool dragging_ = false;
    QPoint dragOffset_;
};

TNotifyWindow::TNotifyWindow(const TNotifyMessages& items, const NotifyContext& context)
    : items_(items), context_(context) {
    try {
        auto* form = new TNotifyForm(*this);
        Form = form;
        form->setAttribute(Qt::WA_ShowWithoutActivating);
        // Alt+F4 on the notification must never count as closing the program's last window.
        form->setAttribute(Qt::WA_QuitOnClose, false);
        workArea_ = context_.workArea ? context_.workArea() : PrimaryWorkArea();

        normalFont_ = UiFontPixels("Tahoma", 11); // a 13-pixel cell
        boldFont_ = normalFont_;
        boldFont_.setBold(true);
        form->setFont(normalFont_);
        const NotifyColours colours = ColoursOf(QApplication::palette());
        QPalette palette = form->palette();
        palette.setColor(QPalette::Window, colours.background);
        palette.setColor(QPalette::WindowText, colours.text);
        form->setPalette(palette);
        form->setAutoFillBackground(true);

        gradient_ = Picture("NOTIFY_GRADIENT");
        grip_ = Picture("NOTIFY_SCROLL");
        close_ = Picture("NOTIFY_CLOSE");
        envelopes_ = WithKeyTransparent(Picture("NOTIFY_ENVELOPES"));
        message_ = WithKeyTransparent(Picture("NOTIFY_MESSAGE"));
        error_ = WithKeyTransparent(Picture("NOTIFY_ERROR"));

        const FontMeasure measure(normalFont_, boldFont_);
        layout_ = LayoutNotifyEntries(items_, measure, DefaultNotifyTexts(), metrics_);
        const QRect window = DefaultNotifyWindowRect(workArea_, metrics_.windowWidth, layout_.windowHeight);
        form->setFixedSize(layout_.innerWidth, layout_.innerHeight);
        form->move(window.x() + metrics_.dlgFrameX, window.y() + metrics_.smallCaption + metrics_.dlgFrameY);

        QWidget* container = form;
        if (layout_.scrolled) {
            scrollBox_ = new QScrollArea(form);
            scrollBox_->setFrameShape(QFrame::NoFrame);
            scrollBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            scrollBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            scrollBox_->setGeometry(layout_.scrollBox);
            scrollBox_->viewport()->setAutoFillBackground(false);
            scrollPanel_ = new QWidget;
            scrollPanel_->setFixedSize(layout_.panel);
            scrollPanel_->setAutoFillBackground(false);
            scrollBox_->setWidget(scrollPanel_);
            scrollBox_->verticalScrollBar()->setSingleStep(layout_.scrollStep);
            scrollBox_->verticalScrollBar()->setPageStep(layout_.scrollStep);
            container = scrollPanel_;
        }
        BuildEntries(container);

        // Hidden controls that Enter and Escape click (once the window has
        // the focus, after the user clicked it).
        auto* accept = new TClickLabel(form);
        accept->setGeometry(372, 416, 0, 0);
        accept->OnClick = [form] { form->SetResult(kResultAccept); };
        auto* cancel = new TClickLabel(form);
        cancel->setGeometry(452, 416, 0, 0);
        cancel->OnClick = [form] { form->SetResult(kResultCancel); };
        DefaultControl = accept;
        CancelControl = cancel;
    } catch (...) {
        log::Caught("ui", "building the notification window");
        failed_ = true;
        if (Form) {
            Form->SetResult(kResultCancel);
        }
    }
}

TNotifyWindow::~TNotifyWindow() {
    // The form paints from this object's images and layout: it goes first.
    delete Form;
    Form = nullptr;
}

void TNotifyWindow::BuildEntries(QWidget* container) {
    const NotifyColours colours = ColoursOf(QApplication::palette());
    for (const TNotifyLabel& spec : layout_.labels) {
        auto* label = new TClickLabel(container);
        // Senders and subjects come from mail servers: never read them as markup.
        label->setTextFormat(Qt::PlainText);
        label->setText(spec.text);
        label->setFont(spec.style == NotifyTextStyle::Bold ? boldFont_ : normalFont_);
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText,
                   spec.style == NotifyTextStyle::Preview ? colours.preview : colours.text);
        label->setPalette(p);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setWordWrap(spec.wordWrap);
        // One pixel more than the advance, so a bold last glyph is not clipped.
        label->setGeometry(spec.rect.adjusted(0, 0, spec.wordWrap ? 0 : 1, 0));
        label->setHidden(!spec.visible);
        if (spec.action != NotifyAction::None) {
            label->setCursor(Qt::PointingHandCursor);
            label->OnClick = [this, action = spec.action, entry = spec.entry] { ClickEntry(action, entry); };
        }
    }
    for (const TNotifyIcon& spec : layout_.icons) {
        auto* icon = new TClickLabel(container);
        const QImage& image = spec.kind == kNotifyMessage ? message_
                              : spec.kind == kNotifyError ? error_
                                                          : envelopes_;
        if (!image.isNull()) {
            icon->setPixmap(QPixmap::fromImage(image));
        }
        icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        icon->setGeometry(spec.rect);
        icon->setCursor(Qt::PointingHandCursor);
        icon->OnClick = [this, action = spec.action, entry = spec.entry] { ClickEntry(action, entry); };
    }
    for (const QRect& rect : layout_.separators) {
        auto* line = new TDotsLine(container);
        line->setGeometry(rect);
    }
}

QRect TNotifyWindow::WindowRect() const {
    if (!Form) {
        return {};
    }
    return QRect(Form->x() - metrics_.dlgFrameX, Form->y() - metrics_.smallCaption - metrics_.dlgFrameY,
                 metrics_.windowWidth, layout_.windowHeight);
}

void TNotifyWindow::PrepareAndPlace() {
    NotifySavedPlace saved;
    if (context_.host) {
        saved.x = context_.host->ReadCfgInt(keys::kNotifyPosX);
        saved.y = context_.host->ReadCfgInt(keys::kNotifyPosY);
    }
    PrepareAndPlace(saved);
}

void TNotifyWindow::PrepareAndPlace(const NotifySavedPlace& saved) {
    if (!Form) {
        return;
    }
    Prepare();
    QRect window = WindowRect();
    const int workRight = workArea_.x() + workArea_.width();
    const int workBottom = workArea_.y() + workArea_.height();
    if (auto x = UsableSavedEdge(saved.x, workRight - 50)) {
        window.moveLeft(*x);
    }
    if (auto y = UsableSavedEdge(saved.y, workBottom - 50)) {
        window.moveTop(*y);
        // The place was saved for a window of another height: keep this
        // one's bottom on the screen.
        if (window.y() + window.height() > workBottom) {
            window.moveTop(std::max(workArea_.y(), workBottom - window.height()));
        }
    }
    Form->move(window.x() + metrics_.dlgFrameX, window.y() + metrics_.smallCaption + metrics_.dlgFrameY);
}

void TNotifyWindow::Show() {
    if (!Form) {
        return;
    }
    Form->show();
    if (PlatformStacksWindows()) {
        Form->raise();
    }
}

void TNotifyWindow::ApplyOpacity(int percent) {
    opacity_ = std::clamp(percent, 0, 100);
    if (Form && PlatformHasOpacity()) {
        Form->setWindowOpacity(opacity_ / 100.0);
    }
}

bool TNotifyWindow::PointerInside() const {
    if (!Form) {
        return false;
    }
    if (context_.cursorPos) {
        return Form->frameGeometry().contains(context_.cursorPos());
    }
    return pointerOver_;
}

NotifySavedPlace TNotifyWindow::PlaceToSave() const {
    const QRect window = WindowRect();
    return {EdgeToSave(window.x()), EdgeToSave(window.y())};
}

void TNotifyWindow::SavePosition() {
    if (!context_.host || !Form) {
        return;
    }
    WritePlace(*context_.host, PlaceToSave());
}

void TNotifyWindow::ClickEntry(NotifyAction action, int index) {
    if (!Form || Form->Result() == kResultCancel || index < 0 || index > items_.LastIndex()) {
        return;
    }
    // The window ends first and the action runs later from the event loop,
    // with its own copy of the entry: an action that runs a nested loop (the
    // account editor) may outlive this window.
    const TNotifyMessageItem item = items_.Item(index);
    NotifyActions* actions = context_.actions;
    Form->SetResult(kResultCancel);
    if (!actions || action == NotifyAction::None) {
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [actions, action, item] {
            try {
                switch (action) {
                case NotifyAction::OpenAccount:
                    actions->OpenAccountMailbox(item.AccountRef);
                    break;
                case NotifyAction::OpenMessage:
                    actions->OpenAccountMessage(item.AccountRef, item.MessageRef);
                    break;
                case NotifyAction::EditAccount:
                    actions->EditAccount(item.AccountRef);
                    break;
                case NotifyAction::None:
                    break;
                }
            } catch (...) {
                // The controller answers with a status; nothing may escape
                // into the event loop whatever it does.
                log::Caught("ui", "notification click");
            }
        },
        Qt::QueuedConnection);
}

bool TNotifyWindow::InCloseArea(QPoint p) const {
    const int w = layout_.innerWidth;
    const int closeWidth = close_.isNull() ? 7 : close_.width();
    return p.x() >= w - 12 && p.x() <= w - 10 + closeWidth && p.y() < 9;
}

bool TNotifyWindow::InDragStrip(QPoint p) const {
    const int w = layout_.innerWidth;
    const int closeWidth = close_.isNull() ? 7 : close_.width();
    const bool closeArea = p.x() >= w - 12 && p.x() <= w - 11 + closeWidth + 1;
    return p.y() <= 8 && !closeArea;
}

TNotifyWindowThread::TNotifyWindowThread(const NotifyContext& context, std::int32_t totalCount,
                                         const TNotifyMessages& mailItems, const TNotifyMessages& errorItems,
                                         bool manual)
    : context_(context), totalCount_(totalCount), manual_(manual) {
    CopyNotifyMessages(mailItems_, mailItems);
    CopyNotifyMessages(errorItems_, errorItems);
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &TNotifyWindowThread::Pass);
}

TNotifyWindowThread::~TNotifyWindowThread() = default;

bool TNotifyWindowThread::Superseded() const {
    return generation_ != g_latestGeneration;
}

void TNotifyWindowThread::Start() {
    if (stage_ != Stage::Created) {
        return;
    }
    generation_ = ++g_latestGeneration;
    try {
        stopNotify_ = OpenOrCreateEvent(std::string(names::kStopNotifyEvent), true, false);
        stop_ = OpenOrCreateEvent(std::string(names::kStopEvent), true, false);
        // Older windows, in this process or another, watch this event.
        if (stopNotify_) {
            stopNotify_->Set();
        }
    } catch (...) {
        // Without the events the window still shows; only the stop signals are lost.
        log::Caught("ui", "opening the notification's stop events");
    }
    stageStamp_ = TickCount();
    stage_ = Stage::Pulse;
    Schedule();
}

void TNotifyWindowThread::Pass() {
    try {
        const std::uint64_t now = TickCount();
        if (stage_ == Stage::Pulse && now > stageStamp_ + kNotifyPulseMs) {
            // A newer notification pulses the same event now; clearing it
            // would cut its pulse short.
            if (stopNotify_ && !Superseded()) {
                stopNotify_->Reset();
            }
            stage_ = Stage::Gap;
            // An older window has seen the pulse and saved its place by now.
            StartPlaceRead();
        }
        if (stage_ == Stage::Gap && now > stageStamp_ + kNotifyPulseMs + kNotifyPulseGapMs) {
            if (Superseded()) {
                Finish();
            } else {
                OpenWindow(Stage::Mail);
            }
        } else if (stage_ == Stage::Mail || stage_ == Stage::Error) {
            LoopPass();
        }
    } catch (...) {
        // One failed pass is not the end of the window: the next one tries again.
        log::Caught("ui", "notification window step");
    }
    Schedule();
}

void TNotifyWindowThread::OpenWindow(Stage stage) {
    const TNotifyMessages& items = stage == Stage::Mail ? mailItems_ : errorItems_;
    if (items.Empty()) {
        if (stage == Stage::Mail) {
            OpenWindow(Stage::Error);
        } else {
            Finish();
        }
        return;
    }
    stage_ = stage;
    window_ = std::make_unique<TNotifyWindow>(items, context_);
    if (window_->Failed()) {
        window_.reset();
        // A mail window that could not be built takes the error window with it.
        Finish();
        return;
    }
    window_->PrepareAndPlace(stage == Stage::Mail || !lastPlace_ ? TakePlace() : *lastPlace_);
    // The error window follows a mail window the user has just seen, so it
    // starts a little visible instead of from nothing.
    window_->ApplyOpacity(stage == Stage::Mail ? 0 : 10);
    lastStepTick_ = TickCount();
    fadingIn_ = true;
    window_->Show();
    connect(window_->Form, &TVostrelForm::ResultChanged, this, &TNotifyWindowThread::OnResultChanged,
            Qt::QueuedConnection);
}

void TNotifyWindowThread::OnResultChanged() {
    if (!manual_) {
        Pass();
    }
}

void TNotifyWindowThread::LoopPass() {
    TNotifyWindow& w = *window_;
    if (w.Result() == kResultOpen) {
        const std::uint64_t now = TickCount();
        int opacity = w.Opacity();
        if (opacity == 100) {
            fadingIn_ = false;
        }
        if (now > lastStepTick_ + kNotifyFadeIntervalMs && opacity < 100) {
            opacity += fadingIn_ ? kNotifyFadeStep : -kNotifyFadeStep;
            w.ApplyOpacity(opacity);
            lastStepTick_ = now;
            if (opacity <= 0) {
                w.Form->SetResult(kResultCancel);
            }
        }
        if (!fadingIn_ && opacity == 100 && now > lastStepTick_ + kNotifyHoldMs && !w.PointerInside()) {
            w.ApplyOpacity(100 - kNotifyFadeStep); // from here on the fade goes on to 0
            lastStepTick_ = now;
        }
        const bool stopAll = stop_ && stop_->TryWait();
        const bool newer = (stopNotify_ && stopNotify_->TryWait()) || Superseded();
        if (stopAll || newer) {
            stopped_ = true;
            w.Form->SetResult(kResultCancel);
        }
    }
    if (w.Result() != kResultOpen) {
        EndWindow();
    }
}

void TNotifyWindowThread::EndWindow() {
    const Stage ended = stage_;
    lastPlace_ = window_->PlaceToSave();
    if (HostConfig* host = context_.host) {
        PlaceIo::Instance().Post([host, place = *lastPlace_] { WritePlace(*host, place); });
    }
    window_->Form->hide();
    window_.reset();
    if (ended == Stage::Mail && !stopped_) {
        OpenWindow(Stage::Error);
    } else {
        Finish();
    }
}

void TNotifyWindowThread::Finish() {
    stage_ = Stage::Done;
    timer_.stop();
    stopNotify_.reset();
    stop_.reset();
    emit Finished();
    if (!manual_) {
        deleteLater();
    }
}

void TNotifyWindowThread::Schedule() {
    if (manual_ || stage_ == Stage::Done) {
        return;
    }
    const std::uint64_t now = TickCount();
    auto until = [now](std::uint64_t due) -> int {
        return due > now ? static_cast<int>(std::min<std::uint64_t>(due - now, 1000)) : 0;
    };
    // Holding: the stop events and the pointer are looked at ten times a
    // second, often enough to see every 150 ms pulse.
    int wait = 100;
    switch (stage_) {
    case Stage::Pulse:
        wait = until(stageStamp_ + kNotifyPulseMs + 1);
        break;
    case Stage::Gap:
        wait = until(stageStamp_ + kNotifyPulseMs + kNotifyPulseGapMs + 1);
        break;
    case Stage::Mail:
    case Stage::Error:
        if (window_ && (fadingIn_ || window_->Opacity() < 100)) {
            wait = std::clamp(until(lastStepTick_ + kNotifyFadeIntervalMs + 1), 1, 50);
        }
        break;
    default:
        break;
    }
    timer_.start(std::max(wait, 1));
}

void TNotifyWindowThread::StartPlaceRead() {
    HostConfig* host = context_.host;
    if (!host || placeRead_.valid()) {
        return;
    }
    auto promise = std::make_shared<std::promise<NotifySavedPlace>>();
    placeRead_ = promise->get_future().share();
    PlaceIo::Instance().Post([host, promise] {
        NotifySavedPlace place;
        place.x = host->ReadCfgInt(keys::kNotifyPosX);
        place.y = host->ReadCfgInt(keys::kNotifyPosY);
        promise->set_value(place);
    });
}

NotifySavedPlace TNotifyWindowThread::TakePlace() {
    if (!placeRead_.valid()) {
        StartPlaceRead();
    }
    if (!placeRead_.valid()) {
        return {};
    }
    if (placeRead_.wait_for(std::chrono::milliseconds(kPlaceWaitMs)) != std::future_status::ready) {
        qCInfo(lcUi) << "the host did not answer the window's place in time; the default place is used";
        return {};
    }
    try {
        return placeRead_.get();
    } catch (const std::future_error&) {
        // The read was dropped while the store was going away.
        return {};
    }
}

bool WaitForNotifyPlaceIo(int timeoutMs) {
    return PlaceIo::Instance().WaitIdle(timeoutMs);
}

bool DrainNotifyPlaceIo(int timeoutMs) {
    return PlaceIo::Instance().Drain(timeoutMs);
}

TNotifyWindowThread* ShowNotifyWindow(const NotifyContext& context, std::int32_t totalCount,
                                      const TNotifyMessages& mailItems, const TNotifyMessages& errorItems) {
    try {
        auto* notification = new TNotifyWindowThread(context, totalCount, mailItems, errorItems);
        notification->Start();
        return notification;
    } catch (...) {
        log::Caught("ui", "starting the notification window");
        return nullptr;
    }
}

} // namespace nuvex
