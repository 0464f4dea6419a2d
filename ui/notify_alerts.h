#pragma once
// The two side effects of new mail besides the window: the sound and the
// tray icon with its tooltip.
#include <QIcon>
#include <QString>
#include <cstdint>

class QSystemTrayIcon;

namespace nuvex {

// What SetTrayNewMail changes; the controller owns the real tray icon.
class TrayTarget {
public:
    virtual ~TrayTarget() = default;
    virtual void SetIcon(const QIcon& icon) = 0;
    virtual void SetToolTip(const QString& tip) = 0;
};

// TrayTarget over a QSystemTrayIcon that outlives the adapter.
class SystemTrayTarget final : public TrayTarget {
public:
    explicit SystemTrayTarget(QSystemTrayIcon* icon) : icon_(icon) {}
    void SetIcon(const QIcon& icon) override;
    void SetToolTip(const QString& tip) override;

private:
    QSystemTrayIcon* icon_;
};

// Plays the freedesktop "message-new-email" sound without waiting for it.
// Without a sound server or theme nothing is heard and nothing is reported.
// A call while the previous one is still being handed over is dropped.
void PlayNewMailSound();

// True while a PlayNewMailSound call is still handing its sound over.
bool NewMailSoundPending();

// With totalNew > 0 the tray shows "NEWICON"; with tipGate > 0 its tooltip
// becomes the translated "You have %0.0n new emails." for totalNew. Never
// throws; a null tray does nothing.
void SetTrayNewMail(TrayTarget* tray, std::int32_t totalNew, std::int32_t tipGate);

// The tooltip text SetTrayNewMail sets.
QString TrayNewMailTip(std::int32_t totalNew);

} // namespace nuvex
