#include "contract/qt_log_sink.h"

#include "lib/log.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QString>
#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace nuvex {
namespace {

// One category object per area, made once for the whole process: Qt applies
// its rules per object, and a second object of one name would keep thresholds
// and rules of its own. A category keeps a pointer to its name, so the names
// live as long as the categories.
struct Categories {
    std::array<std::string, log::kAreas.size()> names;
    std::array<std::unique_ptr<QLoggingCategory>, log::kAreas.size()> categories;
    Categories() {
        for (std::size_t i = 0; i < log::kAreas.size(); ++i) {
            names[i] = "nuvex." + std::string(log::kAreas[i]);
            // Debug lines (timings for the benches) only when a rule asks,
            // e.g. QT_LOGGING_RULES="nuvex.plugin.debug=true".
            categories[i] = std::make_unique<QLoggingCategory>(names[i].c_str(), QtInfoMsg);
        }
    }
};

const Categories& All() {
    static const Categories all;
    return all;
}

const QLoggingCategory& CategoryFor(std::string_view area) {
    const Categories& all = All();
    for (std::size_t i = 0; i < log::kAreas.size(); ++i) {
        if (log::kAreas[i] == area) {
            return *all.categories[i];
        }
    }
    // Areas are checked where they are written; a sink handed a name by other
    // means still logs, under the general category.
    static const QLoggingCategory general("nuvex.general", QtInfoMsg);
    return general;
}

void QtSink(log::Level level, std::string_view area, std::string_view text) {
    const QLoggingCategory& category = CategoryFor(area);
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

const QLoggingCategory& LogCategory(log::Area area) {
    return *All().categories[area.Index()];
}

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
