#pragma once
// The fading notification window and the object that runs it. Each call of
// ShowNotifyWindow makes one TNotifyWindowThread on the GUI thread; timers
// drive its steps: a pulse on "RI4StopWNotify" that closes an older window,
// then the mail window and after it the error window, each fading in, held
// while the pointer rests on it and for ten seconds after the last fade step,
// fading out, and closed early by a click, the close glyph or "RI4Stop".
#include "accounts/notify.h"
#include "ui/notify_layout.h"
#include "ui/vostrel_win.h"

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

class QScrollArea;

namespace nuvex {

class HostConfig;
class NamedEvent;

// What a click on an entry asks of the controller.
class NotifyActions {
public:
    virtual ~NotifyActions() = default;
    virtual void OpenAccountMailbox(const std::string& accountId) = 0;
    virtual void OpenAccountMessage(const std::string& accountId, const std::string& messageRef) = 0;
    // Start the account editor. The default leaves the account as it is (the
    // click still closes the window).
    virtual void EditAccount(const std::string& accountId) { (void)accountId; }
};

struct NotifyContext {
    HostConfig* host = nullptr;        // "NOTIFY_POSX"/"NOTIFY_POSY"; none: default place, nothing saved
    NotifyActions* actions = nullptr;  // must outlive every notification; none: clicks only close
    std::function<QRect()> workArea;   // empty: the primary screen's available geometry
    std::function<QPoint()> cursorPos; // empty: the window's Enter and Leave events
};

// The window's saved place ("NOTIFY_POSX"/"NOTIFY_POSY"); nullopt: none read.
struct NotifySavedPlace {
    std::optional<std::int32_t> x;
    std::optional<std::int32_t> y;
};

// The host may be slow or hung: the notification reads and saves its place on
// one worker thread, in order (a save comes before a later read), and never
// waits long for it. Waits up to timeoutMs for the saves and reads posted so
// far; true when they are done.
bool WaitForNotifyPlaceIo(int timeoutMs);
// For the owner of the host store before it goes: waits like
// WaitForNotifyPlaceIo, then drops what is still queued so no job reaches the
// store after it is gone. A job already running on a hung host is not stopped.
bool DrainNotifyPlaceIo(int timeoutMs);

inline constexpr int kNotifyFadeStep = 5;
inline constexpr std::uint64_t kNotifyFadeIntervalMs = 50;
inline constexpr std::uint64_t kNotifyHoldMs = 10000;
inline constexpr std::uint64_t kNotifyPulseMs = 150;
inline constexpr std::uint64_t kNotifyPulseGapMs = 50;

class TNotifyWindow final : public TVostrelWin {
public:
    // Builds the hidden window for the entries; items must outlive it.
    TNotifyWindow(const TNotifyMessages& items, const NotifyContext& context);
    ~TNotifyWindow() override;

    bool Failed() const { return failed_; }
    const TNotifyLayout& Layout() const { return layout_; }
    // Caption and frame included, as saved in "NOTIFY_POSX"/"NOTIFY_POSY".
    QRect WindowRect() const;
    QScrollArea* ScrollBox() const { return scrollBox_; }

    // Base preparation, then the saved position when it is usable: read from
    // the host here, or given.
    void PrepareAndPlace();
    void PrepareAndPlace(const NotifySavedPlace& saved);
    // The place as SavePosition writes it.
    NotifySavedPlace PlaceToSave() const;
    void Show();
    void ApplyOpacity(int percent);
    int Opacity() const { return opacity_; }
    bool PointerInside() const;
    void SavePosition();
    // Click on entry index; does nothing once the window ended or for an index
    // out of range. Runs the action, then ends the window.
    void ClickEntry(NotifyAction action, int index);

    // Form coordinates of the close glyph's click area (for the form and tests).
    bool InCloseArea(QPoint p) const;
    bool InDragStrip(QPoint p) const;

private:
    friend class TNotifyForm;
    void BuildEntries(QWidget* container);

    const TNotifyMessages& items_;
    NotifyContext context_;
    TNotifyMetrics metrics_;
    TNotifyLayout layout_;
    QRect workArea_;
    QFont normalFont_;
    QFont boldFont_;
    QImage gradient_, grip_, close_, envelopes_, message_, error_;
    QScrollArea* scrollBox_ = nullptr;
    QWidget* scrollPanel_ = nullptr;
    int opacity_ = 0;
    bool failed_ = false;
    bool pointerOver_ = false; // between an Enter and a Leave event of the form
};

class TNotifyWindowThread final : public QObject {
    Q_OBJECT
public:
    enum class Stage { Created, Pulse, Gap, Mail, Error, Done };

    // Copies both lists. A manual object (tests) has no timer and does not
    // free itself: the caller drives it with Pass().
    TNotifyWindowThread(const NotifyContext& context, std::int32_t totalCount,
                        const TNotifyMessages& mailItems, const TNotifyMessages& errorItems,
                        bool manual = false);
    ~TNotifyWindowThread() override;

    void Start();
    // One pass of the steps; due steps are taken by the time on the clock.
    void Pass();

    Stage CurrentStage() const { return stage_; }
    TNotifyWindow* Window() const { return window_.get(); }
    std::int32_t TotalCount() const { return totalCount_; }

signals:
    void Finished();

private:
    void OnResultChanged();
    void OpenWindow(Stage stage);
    void LoopPass();
    void EndWindow();
    void Finish();
    void Schedule();
    bool Superseded() const;
    void StartPlaceRead();
    NotifySavedPlace TakePlace();

    NotifyContext context_;
    std::int32_t totalCount_;
    TNotifyMessages mailItems_;
    TNotifyMessages errorItems_;
    bool manual_;
    std::unique_ptr<NamedEvent> stopNotify_;
    std::unique_ptr<NamedEvent> stop_;
    std::unique_ptr<TNotifyWindow> window_;
    QTimer timer_;
    Stage stage_ = Stage::Created;
    std::uint64_t generation_ = 0;
    std::uint64_t stageStamp_ = 0;
    std::uint64_t lastStepTick_ = 0;
    bool fadingIn_ = true;
    bool stopped_ = false; // a stop event or a newer notification ended it
    std::shared_future<NotifySavedPlace> placeRead_;
    std::optional<NotifySavedPlace> lastPlace_; // where this notification's mail window was left
};

// Shows the entries and returns at once; the caller may free its lists right
// away. The object frees itself when its windows are gone; the pointer is for
// watching it (Finished) and may be ignored.
TNotifyWindowThread* ShowNotifyWindow(const NotifyContext& context, std::int32_t totalCount,
                                      const TNotifyMessages& mailItems, const TNotifyMessages& errorItems);

} // namespace nuvex
