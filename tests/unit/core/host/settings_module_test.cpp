// Loading the settings dialog's module: whatever is wrong with the file, the
// host goes on with a reason for the user and one log line naming the file
// and the loader's reason.
#include "host/settings_module.h"
#include "tests/support/qt_core_main.h"
#include "tests/support/temp_dir.h"

#include <QFile>
#include <QStringList>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#ifdef NUVEX_SETTINGS_DIALOG

namespace nuvex::host {
namespace {

QStringList g_lines;

void Capture(QtMsgType, const QMessageLogContext& context, const QString& text) {
    g_lines << QStringLiteral("%1: %2").arg(QString::fromLatin1(context.category), text);
}

class SettingsModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_lines.clear();
        previous_ = qInstallMessageHandler(Capture);
    }
    void TearDown() override { qInstallMessageHandler(previous_); }

    QString Folder() const { return QString::fromStdString(dir_.path()); }
    QString ModulePath() const { return QString::fromStdString(dir_.file(kSettingsModuleFile)); }

    test::TempDir dir_;
    QtMessageHandler previous_ = nullptr;
};

TEST_F(SettingsModuleTest, AModuleThatCannotServeIsToldAndLoggedOnce) {
    // A library that loads but has no entry: the SQLite library the test links.
    Dl_info info{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&sqlite3_libversion), &info), 0);
    const struct {
        const char* what;
        QByteArray content; // empty: no file at all
        const char* reason; // in the log line, from the loader
    } rows[] = {
        {"missing", {}, "No such file"},
        {"not a library", QByteArray("#!/bin/sh\n").append(QByteArray(200, '#')), "ELF"},
        {"no entry", QByteArray("copy"), "brannock_settings_module"},
    };
    for (const auto& row : rows) {
        QFile::remove(ModulePath());
        if (row.content == "copy") {
            ASSERT_TRUE(QFile::copy(QFile::decodeName(info.dli_fname), ModulePath())) << info.dli_fname;
        } else if (!row.content.isEmpty()) {
            QFile f(ModulePath());
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(row.content);
        }
        g_lines.clear();
        QString error;
        EXPECT_EQ(LoadSettingsModule(Folder(), &error), nullptr) << row.what;
        EXPECT_TRUE(error.contains(QStringLiteral("cannot load its settings dialog"))) << row.what;
        ASSERT_EQ(g_lines.size(), 1) << row.what << ": " << g_lines.join(QLatin1Char('|')).toStdString();
        const QString& line = g_lines.front();
        EXPECT_TRUE(line.startsWith(QStringLiteral("nuvex.host: "))) << line.toStdString();
        EXPECT_TRUE(line.contains(ModulePath())) << line.toStdString();
        EXPECT_TRUE(line.contains(QString::fromLatin1(row.reason))) << line.toStdString();
    }
    // A failure is not remembered: the next dialog tries again, and logs again.
    QFile::remove(ModulePath());
    g_lines.clear();
    QString error;
    EXPECT_EQ(LoadSettingsModule(Folder(), &error), nullptr);
    EXPECT_EQ(g_lines.size(), 1);
}

} // namespace
} // namespace nuvex::host

#endif
