#pragma once
// New mail and errors through the desktop's notification service
// (org.freedesktop.Notifications): one notification per account, replaced by
// that account's later news and closed when it has nothing unread. Every call
// is asynchronous, so a notification server that hangs never holds the GUI
// thread. GUI thread only.
#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

namespace nuvex {

class TDesktopNotifier : public QObject {
    Q_OBJECT
public:
    struct News {
        QString accountId;
        QString accountName; // shown in the summary
        int count = 0;       // new messages
        QString sender;      // of the newest message; may be empty
        QString subject;
        bool error = false; // an error of the account instead of news
        QString errorText;
        bool sound = false; // the user wants the new-mail sound
    };

    // playSound plays the new-mail sound ourselves; it is used only when the
    // server cannot play the sound it is named (no "sound" capability).
    TDesktopNotifier(QDBusConnection bus, std::function<void()> playSound, QObject* parent = nullptr);

    // Whether a notification server owns its name on the bus (or the bus can
    // start one), as last learned; asks again in the background.
    bool Available() const { return available_; }
    void Refresh();

    // Shows the news of one account, replacing its earlier notification.
    // Nothing is shown or sounded while the server says it is inhibited
    // (do not disturb).
    void Announce(const News& news);
    // Closes the account's notification, if it has one.
    void Close(const QString& accountId);

    // The text the summary and body get for news (for tests and the log).
    static QString Summary(const News& news);
    static QString Body(const News& news, bool markup);

signals:
    // "default" (open the account), "check-now".
    void ActionRequested(const QString& accountId, const QString& action);
    void AvailabilityChanged(bool available);

private slots:
    void OnActionInvoked(uint id, const QString& action);
    void OnNotificationClosed(uint id, uint reason);

private:
    void Notify(const News& news);
    void SetAvailable(bool available);

    QDBusConnection bus_;
    std::function<void()> playSound_;
    bool available_ = false;
    QStringList capabilities_;
    bool capabilitiesKnown_ = false;
    QHash<QString, uint> ids_;      // account -> its notification's id
    QHash<uint, QString> accounts_; // the reverse
};

} // namespace nuvex
