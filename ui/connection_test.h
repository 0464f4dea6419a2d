#pragma once
// The account pages' login test, run on a worker thread so the page stays
// responsive; the result comes back on the GUI thread through Finished. A
// Cancel (or destroying the object) raises the test's own stop signal, which
// ends the network waits at once.
#include "accounts/account_context.h"
#include "lib/stop_signal.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <string>
#include <thread>

namespace nuvex {

struct TConnectorClass;

struct TConnectionTestResult {
    bool passed = false;
    bool cancelled = false;
    std::int32_t errorClass = 0; // of the check's error classes
    std::string errorText;       // the connector's own text, may be empty
    std::int64_t elapsedMs = 0;
};

class TConnectionTest : public QObject {
    Q_OBJECT
public:
    // context.stop is replaced by the test's own signal.
    TConnectionTest(const TConnectorClass& cls, std::string settingsText, AccountContext context);
    ~TConnectionTest() override;

    void Start();
    void Cancel();
    bool Running() const { return running_; }

signals:
    void Finished(const nuvex::TConnectionTestResult& result);

private:
    const TConnectorClass& cls_;
    std::string settingsText_;
    AccountContext context_;
    StopSignal stop_;
    std::thread worker_;
    bool running_ = false;
};

// The words for a failed test: what went wrong and what to check. server is
// "host:port" or a provider name; limitMs the network time-out the test ran
// with, so that a silent server is told apart from a refused connection.
QString ConnectionFailureText(const TConnectionTestResult& result, const QString& server, int limitMs);

} // namespace nuvex

Q_DECLARE_METATYPE(nuvex::TConnectionTestResult)
