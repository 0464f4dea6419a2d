#include "core/desktop_announcer.h"

#include "core/menu_builder.h"
#include "ui/desktop_notifier.h"

#include <QGuiApplication>

namespace nuvex {
namespace {

const MenuAccount* ByEmail(const std::vector<MenuAccount>& accounts, const std::string& email) {
    for (const MenuAccount& a : accounts) {
        if (a.email == email) {
            return &a;
        }
    }
    return nullptr;
}

} // namespace

bool OnWayland() {
    return QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
}

TDesktopAnnouncer::TDesktopAnnouncer(QDBusConnection bus, Actions actions) : actions_(std::move(actions)) {
    notifier_ = std::make_unique<TDesktopNotifier>(std::move(bus), actions_.playSound);
    QObject::connect(notifier_.get(), &TDesktopNotifier::ActionRequested,
                     [this](const QString& account, const QString& action) {
                         const std::string id = account.toStdString();
                         if (action == QStringLiteral("default") && actions_.open) {
                             actions_.open(id);
                         } else if (action == QStringLiteral("check-now") && actions_.checkNow) {
                             actions_.checkNow(id);
                         }
                     });
}

TDesktopAnnouncer::~TDesktopAnnouncer() = default;

bool TDesktopAnnouncer::InUse() const {
    if (!notifier_->Available()) {
        return false;
    }
    return OnWayland() || choice_.value_or(true);
}

void TDesktopAnnouncer::Announce(const TickResult& r, bool sound, const std::vector<MenuAccount>& accounts) {
    // The account's summary entry names it; its newest message comes last.
    const TNotifyMessageItem* summary = nullptr;
    const TNotifyMessageItem* newest = nullptr;
    for (const TNotifyMessageItem& item : r.messages) {
        if (item.ItemKind == kNotifySummary) {
            summary = &item;
        } else if (item.ItemKind == kNotifyMessage) {
            newest = &item;
        }
    }
    if (summary && r.totalNew > 0) {
        const MenuAccount* account = ByEmail(accounts, summary->Sender);
        TDesktopNotifier::News news;
        news.accountId = QString::fromStdString(account ? account->id : summary->Sender);
        news.accountName = QString::fromStdString(summary->Sender);
        news.count = r.totalNew;
        if (newest) {
            news.sender = QString::fromStdString(newest->Sender);
            news.subject = QString::fromStdString(newest->Subject);
        }
        news.sound = sound;
        notifier_->Announce(news);
    }
    for (const TNotifyMessageItem& error : r.errors) {
        const MenuAccount* account = ByEmail(accounts, error.Sender);
        TDesktopNotifier::News news;
        news.error = true;
        // Errors stay beside the account's news until dismissed or replaced by
        // its next error; only the news closes when everything is read.
        news.accountId =
            QStringLiteral("error:") + QString::fromStdString(account ? account->id : error.Sender);
        news.accountName = QString::fromStdString(error.Sender);
        news.errorText = QString::fromStdString(error.Detail);
        notifier_->Announce(news);
    }
}

void TDesktopAnnouncer::CloseRead(const std::vector<MenuAccount>& accounts) {
    for (const MenuAccount& a : accounts) {
        if (a.unread <= 0) {
            notifier_->Close(QString::fromStdString(a.id));
        }
    }
}

} // namespace nuvex
