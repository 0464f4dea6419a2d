#pragma once
// The mail plug-in's hidden main window: the tick timer, the tray icon and
// the answer to the hand-off side's "is the window there" message.
#include "core/main_form.h"
#include "ui/notify_alerts.h"

#include <QTimer>
#include <functional>

namespace nuvex {

class TNuvexForm : public TMainForm {
    Q_OBJECT
public:
    // What the window drives: the tray menu's commands, the controller's
    // tick at its period, and the stop of the ticks and the pass.
    struct Calls {
        CommandSink execCommand;
        std::function<void()> tick;
        std::function<void()> shutdown;
        int tickPeriodMs = 0;
    };
    explicit TNuvexForm(Calls calls);
    ~TNuvexForm() override;

    void Shutdown() override;

    QTimer& TickTimer() { return timer_; }
    TrayTarget& Tray() { return tray_; }

protected:
    bool OnMessage(int message, qint64 wParam, qint64 lParam) override;

private:
    // SetTrayNewMail's target over this window's tray icon.
    class FormTray final : public TrayTarget {
    public:
        explicit FormTray(TNuvexForm& form) : form_(form) {}
        void SetIcon(const QIcon& icon) override;
        void SetToolTip(const QString& tip) override;

    private:
        TNuvexForm& form_;
    };

    std::function<void()> tick_;
    std::function<void()> shutdown_;
    QTimer timer_;
    FormTray tray_{*this};
    int mailReadyMsg_;
};

} // namespace nuvex
