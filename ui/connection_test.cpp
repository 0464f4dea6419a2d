#include "ui/connection_test.h"

#include "accounts/check_cycle.h"
#include "accounts/generic_connector.h"
#include "lib/branding.h"
#include "ui/tr.h"
#include "ui/ui_log.h"

#include <QMetaObject>
#include <QPointer>
#include <chrono>

namespace nuvex {

TConnectionTest::TConnectionTest(const TConnectorClass& cls, std::string settingsText, AccountContext context)
    : cls_(cls), settingsText_(std::move(settingsText)), context_(std::move(context)) {
    context_.stop = &stop_;
    qRegisterMetaType<TConnectionTestResult>();
}

TConnectionTest::~TConnectionTest() {
    stop_.Raise();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void TConnectionTest::Start() {
    if (running_ || worker_.joinable()) {
        return;
    }
    running_ = true;
    worker_ = std::thread([this] {
        const auto started = std::chrono::steady_clock::now();
        TConnectionTestResult result;
        int status = TestConnection(cls_, settingsText_, context_, &result.errorClass, &result.errorText);
        result.passed = status == kStatusOk;
        result.cancelled = stop_.Raised();
        result.elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                .count();
        // Queued to the object's thread; a result for an object already gone
        // is dropped by Qt (the destructor joins first, so none can be).
        QMetaObject::invokeMethod(
            this,
            [this, result] {
                if (worker_.joinable()) {
                    worker_.join();
                }
                running_ = false;
                emit Finished(result);
            },
            Qt::QueuedConnection);
    });
}

void TConnectionTest::Cancel() {
    stop_.Raise();
}

QString ConnectionFailureText(const TConnectionTestResult& result, const QString& server, int limitMs) {
    switch (result.errorClass) {
    case kErrorUnreachable: {
        // A test that ran up to the limit waited for a server that never spoke.
        if (limitMs > 0 && result.elapsedMs >= limitMs * 9 / 10) {
            const int seconds = std::max(1, (limitMs + 500) / 1000);
            return Tr("The server %1 did not answer within %2 seconds. Check the server name and the port.")
                .arg(server)
                .arg(seconds);
        }
        // The connector's own words when it knows the cause (refused, no such
        // host, TLS failed).
        if (!result.errorText.empty() && result.errorText != ErrorClassText(kErrorUnreachable)) {
            return QString::fromStdString(result.errorText)
                .replace(QLatin1String("\r\n"), QLatin1String(" "));
        }
        return Tr("The server %1 could not be reached. Check the server name, the port and the SSL setting, "
                  "and that this computer is online.")
            .arg(server);
    }
    case kErrorLogin:
        return Tr("The server %1 refused the login. Check the login name and the password.").arg(server);
    default:
        if (!result.errorText.empty()) {
            return QString::fromStdString(result.errorText)
                .replace(QLatin1String("\r\n"), QLatin1String(" "));
        }
        return Tr("The server %1 gave an answer that could not be understood.").arg(server);
    }
}

} // namespace nuvex
