#include "core/button_presenter.h"

#include "contract/button_bitmap.h"
#include "core/mail_host.h"
#include "core/menu_builder.h"
#include "core/nuvex_form.h"
#include "core/plugin_log.h"
#include "lib/branding.h"
#include "lib/clock.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/plugin_settings.h"
#include "ui/notify_alerts.h"
#include "ui/pictures.h"
#include "ui/tr.h"

#include <algorithm>

namespace nuvex {

namespace {

constexpr double kBlinkDays = 5 * kOneMinute;

} // namespace

std::int32_t PositiveNews(const TickResult& r) {
    // A message entry is made only for a message that is new, so their number
    // is a floor that a negative count elsewhere cannot lower.
    const auto messages = static_cast<std::int32_t>(
        std::count_if(r.messages.begin(), r.messages.end(),
                      [](const TNotifyMessageItem& item) { return item.ItemKind == kNotifyMessage; }));
    return std::max({r.totalNew, messages, 0});
}

QString DefaultTrayTip() {
    return Tr("Right-click on the icon to access Email Plugin menu.");
}

TButtonPresenter::TButtonPresenter(Parts parts) : parts_(std::move(parts)) {
    newMail_.bytes = ButtonBitmapBytes(Picture("NEWMAIL"));
    newMail_.hex = ButtonBitmapHex(Picture("NEWMAIL"));
}

const BitmapPair& TButtonPresenter::CurrentBitmap() const {
    return showingNewMail_ ? newMail_ : ButtonBitmap();
}

QString TButtonPresenter::BuildMenuText(bool store) {
    QString text = QStringLiteral("$\r\n");
    if (!parts_.hostAlive()) {
        return text;
    }
    MenuSnapshot snap;
    snap.enabled = SnapshotEnabledAccounts(parts_.accounts);
    if (HostConfig* cfg = parts_.host.Settings()) {
        snap.composeId = parts_.settings.Text(cfg, keys::kComposeAccount);
        snap.helpUrl = parts_.settings.Text(cfg, keys::kHelpUrl);
        snap.aboutUrl = parts_.settings.Text(cfg, keys::kAboutUrl);
    }
    const std::string built = BuildMenuLines(snap);
    text = QString::fromStdString(built);
    if (TNuvexForm* form = parts_.form(); form && text != lastTrayMenuText_) {
        // The popup is rebuilt only when it would change: every tick asks.
        MenuOptions options;
        options.idStep = 100;
        options.search = false;
        form->RebuildPopupMenu(TrayMenuLines(built), options, 0);
        lastTrayMenuText_ = text;
    }
    if (store) {
        lastMenuText_ = text;
    }
    return text;
}

QString TButtonPresenter::CurrentCaption() {
    std::int32_t unread = 0;
    for (const MenuAccount& a : SnapshotEnabledAccounts(parts_.accounts)) {
        unread += a.unread;
    }
    return QString::fromStdString(MailCaption(unread));
}

void TButtonPresenter::UpdateButtonMenu() {
    if (!parts_.host.Settings()) {
        return;
    }
    const QString text = BuildMenuText(false);
    if (text == lastMenuText_) {
        return;
    }
    // Remembered only once the host has it, so a failed send is tried again.
    if (parts_.host.SetButtonMenu(text)) {
        lastMenuText_ = text;
    } else {
        qCWarning(lcPlugin) << "the host did not take the button menu; it is sent again later";
    }
}

void TButtonPresenter::ApplyTickResult(const TickResult& r) {
    const std::int32_t news = PositiveNews(r);
    if (r.HasNews() || news > 0) {
        if (r.changeTray) {
            log::RunIsolated("plugin", "tray icon", [&] {
                if (TNuvexForm* form = parts_.form()) {
                    SetTrayNewMail(&form->Tray(), news, r.totalUnread);
                }
            });
        }
        const bool quiet = Quiet();
        if (r.showWindow && showNotify_ && !quiet) {
            log::RunIsolated("plugin", "notification window",
                             [&] { showNotify_(r.totalUnread, r.messages, r.errors); });
        }
        if (r.playSound && playSound_ && !quiet) {
            log::RunIsolated("plugin", "sound", [&] { playSound_(); });
        }
    }
    const QString caption = QString::fromStdString(MailCaption(r.totalUnread));
    if (r.totalUnread != 0) {
        SetTrayTip(TrayNewMailTip(r.totalUnread));
        if (news > 0) {
            blinkUntil_ = Now() + kBlinkDays;
            ShowCurrentBitmap(true);
        }
    } else {
        SetTrayTip(DefaultTrayTip());
        blinkUntil_ = 0;
        ShowCurrentBitmap(false);
        SetTrayDefault();
    }
    if (caption != lastCaption_) {
        bool ok = parts_.host.SetButtonCaption(caption);
        ok = parts_.host.SetButtonHint(caption) && ok;
        if (ok) {
            lastCaption_ = caption;
        } else {
            qCWarning(lcPlugin) << "the host did not take the button caption; it is sent again later";
        }
    }
}

bool TButtonPresenter::Quiet() const {
    return quiet_.ContainsDays(Now());
}

void TButtonPresenter::EndBlinkIfDue() {
    if (blinkUntil_ > 0 && Now() > blinkUntil_) {
        EndBlink();
    }
}

void TButtonPresenter::EndBlink() {
    blinkUntil_ = 0;
    ShowCurrentBitmap(false);
    SetTrayDefault();
    SetTrayTip(DefaultTrayTip());
}

void TButtonPresenter::ShowCurrentBitmap(bool newMail) {
    showingNewMail_ = newMail;
    if (!parts_.host.SetButtonBitmap(CurrentBitmap().hex)) {
        qCWarning(lcPlugin) << "the host did not take the button picture";
    }
}

void TButtonPresenter::SetTrayTip(const QString& tip) {
    trayTip_ = tip;
    if (TNuvexForm* form = parts_.form()) {
        form->SetTrayToolTip(tip);
    }
}

void TButtonPresenter::SetTrayDefault() {
    if (TNuvexForm* form = parts_.form()) {
        form->SetTrayImage(Picture("TRAYICON"));
    }
}

void TButtonPresenter::SetTrayVisible(bool visible) {
    if (TNuvexForm* form = parts_.form()) {
        form->SetTrayVisible(visible);
    }
}

} // namespace nuvex
