#include "contract/qt_log_sink.h"

#include "lib/log.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QString>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace nuvex {
namespace {

// A category keeps a pointer to its name, and Qt's rules are applied per
// category object: each area gets one, made on first use and kept for good.
const QLoggingCategory& CategoryFor(std::string_view area) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<QLoggingCategory>> categories;
    std::string name = "nuvex." + std::string(area);
    std::lock_guard lock(mutex);
    auto it = categories.find(name);
    if (it == categories.end()) {
        it = categories.emplace(std::move(name), nullptr).first;
        // The key of a map node never moves: it is the category's name for good.
        it->second = std::make_unique<QLoggingCategory>(it->first.c_str());
    }
    return *it->second;
}

void QtSink(log::Level level, std::string_view area, std::string_view text) {
    const QLoggingCategory& category = CategoryFor(area.empty() ? std::string_view("general") : area);
    const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    switch (level) {
    case log::Level::Debug:
        qCDebug(category).noquote() << message;
        break;
    case log::Level::Info:
        qCInfo(category).noquote() << message;
        break;
    case log::Level::Warning:
        qCWarning(category).noquote() << message;
        break;
    case log::Level::Critical:
        qCCritical(category).noquote() << message;
        break;
    }
}

QtMessageHandler g_nextHandler = nullptr;

// Without a window system (a headless host and its plug-in) the platform
// answers the first show of every window, and each raise or opacity step,
// with a note that it cannot; nothing failed, so nothing is printed.
void QuietPlatformNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && text.startsWith(QLatin1String("This plugin does not support"))) {
        return;
    }
    if (g_nextHandler) {
        g_nextHandler(type, context, text);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    }
}

} // namespace

void InstallQtLogSink() {
    log::SetSink(&QtSink);
    // Quiet unless something failed: the programs' debug and info lines, and
    // the block the web engine writes when it starts, wait for a rule that
    // asks for them. QT_LOGGING_RULES and the logging configuration files
    // outrank these rules.
    QLoggingCategory::setFilterRules(
        QStringLiteral("nuvex.*.debug=false\nnuvex.*.info=false\nqt.webenginecontext.info=false"));
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        const QString platform = QGuiApplication::platformName();
        if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
            g_nextHandler = qInstallMessageHandler(&QuietPlatformNotes);
        }
    }
}

} // namespace nuvex
