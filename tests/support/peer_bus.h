#pragma once
// A private peer-to-peer D-Bus link for tests: the serving side runs on its
// own thread with its own event loop, so a client on the test's thread can
// block on a call while the other side answers, or never answers. No bus
// daemon and nothing of the session's bus is involved.
#include <QDBusConnection>
#include <QDBusServer>
#include <QEventLoop>
#include <QStringList>
#include <QThread>
#include <functional>
#include <future>
#include <memory>
#include <string>

namespace nuvex::test {

class PeerBus {
public:
    // serve runs on the serving thread for each new connection; register the
    // objects there (they then live on that thread).
    explicit PeerBus(const std::string& folder, std::function<void(QDBusConnection&)> serve)
        : serve_(std::move(serve)) {
        std::promise<QString> address;
        auto ready = address.get_future();
        thread_ = QThread::create([this, folder, &address] {
            QDBusServer server(QStringLiteral("unix:dir=") + QString::fromStdString(folder));
            server.setAnonymousAuthenticationAllowed(true);
            QStringList accepted;
            QObject::connect(&server, &QDBusServer::newConnection,
                             [this, &accepted](const QDBusConnection& c) {
                                 QDBusConnection conn = c;
                                 accepted << conn.name();
                                 serve_(conn);
                             });
            address.set_value(server.address());
            QEventLoop loop;
            loop.exec();
            // The serving side's connections are kept by Qt until they are let go.
            for (const QString& name : accepted) {
                QDBusConnection::disconnectFromPeer(name);
            }
        });
        thread_->start();
        client_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToPeer(ready.get(), QStringLiteral("nuvex-test-peer")));
    }
    ~PeerBus() {
        QDBusConnection::disconnectFromPeer(QStringLiteral("nuvex-test-peer"));
        client_.reset();
        thread_->quit();
        thread_->wait();
        delete thread_;
    }
    PeerBus(const PeerBus&) = delete;
    PeerBus& operator=(const PeerBus&) = delete;

    QDBusConnection& Client() { return *client_; }

private:
    std::function<void(QDBusConnection&)> serve_;
    QThread* thread_ = nullptr;
    std::unique_ptr<QDBusConnection> client_;
};

} // namespace nuvex::test
