#include "ui/desktop_notifier.h"

#include "ui/ui_log.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QVariantMap>

namespace nuvex {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// A server that does not answer in this time is treated as absent for the call.
constexpr int kCallTimeoutMs = 5000;

QDBusMessage Call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

} // namespace

TDesktopNotifier::TDesktopNotifier(QDBusConnection bus, std::function<void()> playSound, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), playSound_(std::move(playSound)) {
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(OnActionInvoked(uint, QString)));
    bus_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(OnNotificationClosed(uint, uint)));
    auto* watcher = new QDBusServiceWatcher(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString&) {
                // A new server: its capabilities and our ids are of the old one.
                capabilitiesKnown_ = false;
                ids_.clear();
                accounts_.clear();
                Refresh();
            });
    Refresh();
}

void TDesktopNotifier::Refresh() {
    if (!bus_.isConnected()) {
        SetAvailable(false);
        return;
    }
    auto* owner = new QDBusPendingCallWatcher(
        bus_.interface()->asyncCall(QStringLiteral("NameHasOwner"), kService), this);
    connect(owner, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<bool> reply = *w;
        if (!reply.isError() && reply.value()) {
            SetAvailable(true);
            return;
        }
        // No server now, but the bus may start one on the first call.
        auto* names = new QDBusPendingCallWatcher(
            bus_.interface()->asyncCall(QStringLiteral("ListActivatableNames")), this);
        connect(names, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* n) {
            n->deleteLater();
            QDBusPendingReply<QStringList> list = *n;
            SetAvailable(!list.isError() && list.value().contains(kService));
        });
    });
}

void TDesktopNotifier::SetAvailable(bool available) {
    if (available != available_) {
        available_ = available;
        emit AvailabilityChanged(available);
    }
}

QString TDesktopNotifier::Summary(const News& news) {
    if (news.error) {
        return news.accountName;
    }
    const QString count =
        news.count == 1 ? QStringLiteral("1 new message") : QStringLiteral("%1 new messages").arg(news.count);
    return news.accountName.isEmpty() ? count : QStringLiteral("%1 — %2").arg(count, news.accountName);
}

QString TDesktopNotifier::Body(const News& news, bool markup) {
    if (news.error) {
        return markup ? news.errorText.toHtmlEscaped() : news.errorText;
    }
    if (news.sender.isEmpty() && news.subject.isEmpty()) {
        return QString();
    }
    // Senders and subjects come from the mail: with markup they are escaped,
    // so that a subject cannot add links or tags of its own.
    if (markup) {
        return QStringLiteral("<b>%1</b>\n%2").arg(news.sender.toHtmlEscaped(), news.subject.toHtmlEscaped());
    }
    return news.sender.isEmpty() ? news.subject : news.sender + u'\n' + news.subject;
}

void TDesktopNotifier::Announce(const News& news) {
    // Do not disturb is asked at every announcement: the desktop's switch may
    // have changed since the last one, and a server without it answers an error.
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kInterface << QStringLiteral("Inhibited");
    auto* inhibited = new QDBusPendingCallWatcher(bus_.asyncCall(get, kCallTimeoutMs), this);
    connect(inhibited, &QDBusPendingCallWatcher::finished, this, [this, news](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QDBusVariant> reply = *w;
        if (!reply.isError() && reply.value().variant().toBool()) {
            qCDebug(lcUi) << "the desktop does not disturb: news of" << news.accountId << "not shown";
            return;
        }
        if (capabilitiesKnown_) {
            Notify(news);
            return;
        }
        auto* caps = new QDBusPendingCallWatcher(
            bus_.asyncCall(Call(QStringLiteral("GetCapabilities")), kCallTimeoutMs), this);
        connect(caps, &QDBusPendingCallWatcher::finished, this, [this, news](QDBusPendingCallWatcher* c) {
            c->deleteLater();
            QDBusPendingReply<QStringList> list = *c;
            if (list.isError()) {
                qCWarning(lcUi).noquote()
                    << QStringLiteral("the notification server did not tell its capabilities: %1")
                           .arg(list.error().message());
            } else {
                capabilities_ = list.value();
                capabilitiesKnown_ = true;
            }
            Notify(news);
        });
    });
}

void TDesktopNotifier::Notify(const News& news) {
    const bool markup = capabilities_.contains(QStringLiteral("body-markup"));
    const bool serverSound = capabilities_.contains(QStringLiteral("sound"));
    QStringList actions;
    if (capabilities_.contains(QStringLiteral("actions"))) {
        actions << QStringLiteral("default") << QStringLiteral("Open") << QStringLiteral("check-now")
                << QStringLiteral("Check now");
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("category"),
                 news.error ? QStringLiteral("email") : QStringLiteral("email.arrived"));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("org.brannock.Nuvex"));
    const bool sound = news.sound && !news.error;
    if (sound && serverSound) {
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-email"));
    }
    QDBusMessage notify = Call(QStringLiteral("Notify"));
    notify << QStringLiteral("Nuvex") << ids_.value(news.accountId, 0u)
           << (news.error ? QStringLiteral("dialog-warning") : QStringLiteral("mail-unread")) << Summary(news)
           << Body(news, markup) << actions << hints << -1;
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(notify, kCallTimeoutMs), this);
    const QString account = news.accountId;
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, account](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) {
            qCWarning(lcUi).noquote() << QStringLiteral("the desktop did not show the notification of %1: %2")
                                             .arg(account, reply.error().message());
            return;
        }
        const uint old = ids_.value(account, 0u);
        if (old != 0 && old != reply.value()) {
            accounts_.remove(old);
        }
        ids_.insert(account, reply.value());
        accounts_.insert(reply.value(), account);
    });
    // The server plays the sound it is named; only one that cannot gets ours.
    if (sound && !serverSound && playSound_) {
        playSound_();
    }
}

void TDesktopNotifier::Close(const QString& accountId) {
    const uint id = ids_.take(accountId);
    if (id == 0) {
        return;
    }
    accounts_.remove(id);
    QDBusMessage close = Call(QStringLiteral("CloseNotification"));
    close << id;
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(close, kCallTimeoutMs), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [accountId](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (w->isError()) {
            qCWarning(lcUi).noquote()
                << QStringLiteral("the desktop did not close the notification of %1: %2")
                       .arg(accountId, w->error().message());
        }
    });
}

void TDesktopNotifier::OnActionInvoked(uint id, const QString& action) {
    const QString account = accounts_.value(id);
    if (account.isEmpty()) {
        return; // another program's notification
    }
    if (action == QStringLiteral("default") || action == QStringLiteral("check-now")) {
        emit ActionRequested(account, action);
    }
}

void TDesktopNotifier::OnNotificationClosed(uint id, uint /*reason*/) {
    const QString account = accounts_.take(id);
    if (!account.isEmpty() && ids_.value(account) == id) {
        ids_.remove(account);
    }
}

} // namespace nuvex
