#include "ui/notify_alerts.h"

#include "lib/branding.h"
#include "lib/log.h"
#include "ui/notify_layout.h"
#include "ui/pictures.h"
#include "ui/tr.h"

#include <QSystemTrayIcon>
#include <atomic>
#include <canberra.h>
#include <thread>

namespace nuvex {
namespace {

std::atomic<bool> g_soundBusy{false};
// Made on first use by the sound worker and kept for the life of the process:
// connecting to the sound server again for every mail would cost more than
// the sound. Only one worker runs at a time (g_soundBusy), so no lock.
ca_context* g_soundContext = nullptr;

void PlayOnce() {
    if (!g_soundContext) {
        ca_context* context = nullptr;
        if (ca_context_create(&context) != CA_SUCCESS || !context) {
            return;
        }
        ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Email notifier", CA_PROP_APPLICATION_ID,
                                "nuvex", nullptr);
        g_soundContext = context;
    }
    // Fire and forget: a missing server, device or theme answers an error
    // code, which is of no use to anyone here.
    ca_context_play(g_soundContext, 0, CA_PROP_EVENT_ID, "message-new-email", CA_PROP_EVENT_DESCRIPTION,
                    "New email", nullptr);
}

} // namespace

void SystemTrayTarget::SetIcon(const QIcon& icon) {
    if (icon_) {
        icon_->setIcon(icon);
    }
}

void SystemTrayTarget::SetToolTip(const QString& tip) {
    if (icon_) {
        icon_->setToolTip(tip);
    }
}

void PlayNewMailSound() {
    if (g_soundBusy.exchange(true)) {
        return;
    }
    try {
        // Opening the sound server can block for a moment; the GUI thread
        // must not.
        std::thread([] {
            PlayOnce();
            g_soundBusy.store(false);
        }).detach();
    } catch (...) {
        log::Caught("ui", "new-mail sound");
        g_soundBusy.store(false);
    }
}

bool NewMailSoundPending() {
    return g_soundBusy.load();
}

QString TrayNewMailTip(std::int32_t totalNew) {
    QString tip = Tr("You have %0.0n new emails.");
    tip.replace(QStringLiteral("%0.0n"), FormatCount(totalNew));
    return tip;
}

void SetTrayNewMail(TrayTarget* tray, std::int32_t totalNew, std::int32_t tipGate) {
    if (!tray) {
        return;
    }
    try {
        if (totalNew > 0) {
            tray->SetIcon(IconPicture("NEWICON"));
        }
        if (tipGate > 0) {
            tray->SetToolTip(TrayNewMailTip(totalNew));
        }
    } catch (...) {
        // The tray is decoration; a failure must not stop the tick.
        log::Caught("ui", "tray icon");
    }
}

} // namespace nuvex
