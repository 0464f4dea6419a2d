#include "contract/qt_log_sink.h"
#include "lib/log.h"

#include <QString>
#include <QtGlobal>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace nuvex {
namespace {

struct Seen {
    QtMsgType type;
    std::string category;
    std::string text;
};
std::vector<Seen> g_seen;

void Capture(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    g_seen.push_back({type, context.category ? context.category : "", text.toStdString()});
}

// Lines of the Qt-free layers reach Qt's logging as "nuvex.<area>" with their
// level, so QT_LOGGING_RULES can switch an area on or off.
TEST(QtLogSink, LinesGoToTheirAreasCategoryAtTheirLevel) {
    const QtMessageHandler old = qInstallMessageHandler(&Capture);
    InstallQtLogSink();
    log::Warning("pop3", "server closed the connection");
    log::Critical("registry", "store unreadable");
    log::Warning("pop3", "again");
    log::Debug("xml", "hidden"); // debug of nuvex.* is off unless a rule turns it on
    log::SetSink(nullptr);
    qInstallMessageHandler(old);

    ASSERT_GE(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[0].category, "nuvex.pop3");
    EXPECT_EQ(g_seen[0].type, QtWarningMsg);
    EXPECT_EQ(g_seen[0].text, "server closed the connection");
    EXPECT_EQ(g_seen[1].category, "nuvex.registry");
    EXPECT_EQ(g_seen[1].type, QtCriticalMsg);
    EXPECT_EQ(g_seen[2].category, "nuvex.pop3");
}

// Qt-side lines and the Qt-free layers' lines of one area go through one
// category object, so a threshold or rule set on one holds for both.
TEST(QtLogSink, AnAreaIsOneCategoryForBothSides) {
    const QtMessageHandler old = qInstallMessageHandler(&Capture);
    InstallQtLogSink();
    struct Row {
        const QLoggingCategory& named;
        const char* name;
    };
    for (const Row& row : {Row{lcPlugin(), "nuvex.plugin"}, Row{lcUi(), "nuvex.ui"},
                           Row{lcHost(), "nuvex.host"}, Row{lcUpload(), "nuvex.upload"}}) {
        EXPECT_STREQ(row.named.categoryName(), row.name);
        EXPECT_FALSE(row.named.isDebugEnabled()) << row.name; // until a rule asks
    }
    g_seen.clear();
    QLoggingCategory& plugin = const_cast<QLoggingCategory&>(lcPlugin());
    plugin.setEnabled(QtWarningMsg, false);
    log::Warning("plugin", "silenced with the Qt side's category");
    plugin.setEnabled(QtWarningMsg, true);
    log::Warning("plugin", "shown");
    log::SetSink(nullptr);
    qInstallMessageHandler(old);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].text, "shown");
    EXPECT_EQ(g_seen[0].category, "nuvex.plugin");
}

} // namespace
} // namespace nuvex
