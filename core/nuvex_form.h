#pragma once
// The mail plug-in's hidden main window: the tick timer, the tray icon and
// the answer to the hand-off side's "is the window there" message.
#include "core/main_form.h"
#include "ui/notify_alerts.h"

#include <QTimer>

namespace nuvex {

class TNuvexPlugin;

class TNuvexForm : public TMainForm {
    Q_OBJECT
public:
    explicit TNuvexForm(TNuvexPlugin& plugin);
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

    TNuvexPlugin& mail_;
    QTimer timer_;
    FormTray tray_{*this};
    int mailReadyMsg_;
};

} // namespace nuvex
