#pragma once
// The button presenter of the mail controller: what the user sees of the
// accounts. The caption, hint, picture and menu of the "Mail" button, the
// tray icon with its menu and tooltip, the five-minute blink after new mail,
// the notification window and the sound. GUI thread only.
#include "accounts/check_cycle.h"
#include "core/plugin_process.h"
#include "lib/quiet_hours.h"

#include <QString>
#include <cstdint>
#include <functional>

namespace nuvex {

class MailHost;
class PluginSettings;
class TAccountList;
class TNuvexForm;

class TButtonPresenter {
public:
    using NotifyShower = std::function<void(std::int32_t, const TNotifyMessages&, const TNotifyMessages&)>;

    struct Parts {
        MailHost& host;
        TAccountList& accounts;
        PluginSettings& settings;
        std::function<TNuvexForm*()> form; // may answer null (no window yet)
        std::function<bool()> hostAlive;   // connected and answering
    };
    explicit TButtonPresenter(Parts parts);

    // The menu description of the button and (rebuilt alongside) of the tray;
    // with store the text counts as sent.
    QString BuildMenuText(bool store);
    // Sends the menu to the button when its text changed since the last
    // accepted send.
    void UpdateButtonMenu();
    // Marks text as the menu the host now has.
    void MenuAccepted(const QString& text) { lastMenuText_ = text; }

    // The GUI-thread half of a pass: tray, window, sound, caption and blink.
    void ApplyTickResult(const TickResult& result);
    // Ends the blink once its time is over.
    void EndBlinkIfDue();

    // The caption from the accounts' unread counts as they stand now.
    QString CurrentCaption();
    const QString& ButtonCaption() const { return lastCaption_; }
    const QString& LastMenuText() const { return lastMenuText_; }
    const QString& TrayToolTip() const { return trayTip_; }
    double BlinkUntil() const { return blinkUntil_; }
    const BitmapPair& CurrentBitmap() const;
    const BitmapPair& NewMailBitmap() const { return newMail_; }

    // Shows or hides the tray icon.
    void SetTrayVisible(bool visible);

    void SetNotifyShower(NotifyShower show) { showNotify_ = std::move(show); }
    void SetSoundPlayer(std::function<void()> play) { playSound_ = std::move(play); }
    // While these hold, news is counted (caption, tray) but not shown or sounded.
    void SetQuietHours(QuietHours hours) { quiet_ = std::move(hours); }
    bool Quiet() const;

private:
    void EndBlink();
    void ShowCurrentBitmap(bool newMail);
    void SetTrayDefault();
    void SetTrayTip(const QString& tip);

    Parts parts_;
    BitmapPair newMail_;
    bool showingNewMail_ = false;
    QString lastMenuText_;
    QString lastTrayMenuText_;
    QString lastCaption_;
    QString trayTip_;
    double blinkUntil_ = 0;
    NotifyShower showNotify_;
    std::function<void()> playSound_;
    QuietHours quiet_;
};

// The new mail of a pass as the blink and the tray count it: only positive
// news. One account whose mail was deleted elsewhere (a negative count) must
// not cancel another account's new messages.
std::int32_t PositiveNews(const TickResult& result);

// The tray's tooltip while nothing new is to be told.
QString DefaultTrayTip();

} // namespace nuvex
