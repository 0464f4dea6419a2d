#include "contract/menu_qt.h"
#include "core/exe_plugin.h"
#include "core/main_form.h"
#include "core/registration.h"
#include "lib/registry.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QFile>
#include <QMenu>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace nuvex {
namespace {

struct RecordingPlugin {
    TMainForm::CommandSink Sink() {
        return [this](const QString& command) { commands << command; };
    }
    QStringList commands;
};

class RecordingForm : public TMainForm {
public:
    using TMainForm::TMainForm;
    std::vector<std::pair<int, qint64>> seen;

protected:
    bool OnMessage(int message, qint64 w, qint64) override {
        seen.emplace_back(message, w);
        return true;
    }
};

class MainFormTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "main_form_test";
        static char* argv[] = {name, nullptr};
        static QApplication app(argc, argv);
    }
};

TEST_F(MainFormTest, MenuCommandHandsTheItemsCommandToThePlugin) {
    RecordingPlugin plugin;
    TMainForm form(plugin.Sink());
    MenuOptions options;
    int submenus = form.RebuildPopupMenu(
        SplitMenuLines("$\r\nCheck=CHECK_ALL\r\n+Sub\r\nOne=CHECK_P_1\r\n<\r\n-\r\nHelp=HELP\r\n"), options);
    EXPECT_EQ(submenus, 1);
    ASSERT_EQ(form.MenuItems().size(), 3u);
    const TMenuItem& inSub = form.MenuItems()[1];
    EXPECT_EQ(inSub.menuIdBase, options.rootIdBase + options.idStep);
    form.MenuCommand(form.PopupMenu(), inSub.Id());
    form.MenuCommand(form.PopupMenu(), 999999); // no such item: nothing happens
    EXPECT_EQ(plugin.commands, QStringList{QStringLiteral("CHECK_P_1")});

    // A rebuild replaces the items and the submenus.
    form.RebuildPopupMenu({"Only=ONLY"}, options);
    ASSERT_EQ(form.MenuItems().size(), 1u);
    EXPECT_EQ(form.PopupMenu()->findChildren<QMenu*>(Qt::FindDirectChildrenOnly).size(), 0);
    form.MenuCommand(form.PopupMenu(), form.MenuItems()[0].Id());
    EXPECT_EQ(plugin.commands.last(), QStringLiteral("ONLY"));
}

TEST_F(MainFormTest, RegisteredMessagesArriveInOrderThroughTheEventLoop) {
    RecordingPlugin plugin;
    RecordingForm form(plugin.Sink());
    int refresh = TMainForm::RegisterMessage(QStringLiteral("NUVEX_REFCFG"));
    int nav = TMainForm::RegisterMessage(QStringLiteral("NUVEX_NAVURL"));
    EXPECT_NE(refresh, nav);
    EXPECT_EQ(TMainForm::RegisterMessage(QStringLiteral("NUVEX_REFCFG")), refresh);
    form.PostMessage(refresh, 1);
    form.PostMessage(nav, 2);
    EXPECT_TRUE(form.seen.empty()); // posted, not sent
    QCoreApplication::processEvents();
    ASSERT_EQ(form.seen.size(), 2u);
    EXPECT_EQ(form.seen[0], std::make_pair(refresh, qint64(1)));
    EXPECT_EQ(form.seen[1], std::make_pair(nav, qint64(2)));
}

TEST_F(MainFormTest, TrayIsNotShownWithoutASystemTray) {
    RecordingPlugin plugin;
    TMainForm form(plugin.Sink());
    form.SetTrayVisible(true);
    EXPECT_FALSE(form.TrayShown()); // offscreen has no tray: ALLOW_EXIT answers "YES"
}

TEST_F(MainFormTest, ClosingTheWindowDoesNotEndIt) {
    RecordingPlugin plugin;
    TMainForm form(plugin.Sink());
    form.show();
    ASSERT_TRUE(form.isVisible());
    form.close();
    EXPECT_TRUE(form.isVisible()); // it lives as long as the process
}

TEST_F(MainFormTest, RegistrationWritesAndRemovesActivationAndEntry) {
    test::TempDir dir;
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.path()));
    auto registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    QString error;
    // The bus runs the file's Exec= line as this user: no umask may open it to others.
    const mode_t oldMask = ::umask(0);
    const bool registered = RegisterServer(&error);
    ::umask(oldMask);
    ASSERT_TRUE(registered) << error.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(ActivationFilePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir.path() + "/dbus-1/services").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    QFile file(ActivationFilePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(file.readAll());
    file.close();
    EXPECT_TRUE(text.startsWith(QStringLiteral("[D-BUS Service]\nName=org.brannock.Nuvex\nExec='/")));
    EXPECT_EQ(ReadRegString(*registry, RegRoot::HKCU, kPluginEntryKey, "PluginName", ""), "MAIL");
    EXPECT_EQ(ReadRegString(*registry, RegRoot::HKCU, kPluginEntryKey, "BusName", ""), "org.brannock.Nuvex");
    EXPECT_EQ(
        ReadRegInteger(*registry, RegRoot::HKCR, "MIME\\Database\\Charset\\utf-8", "InternetEncoding", -1),
        65001);

    ASSERT_TRUE(UnregisterServer(&error)) << error.toStdString();
    EXPECT_FALSE(QFile::exists(ActivationFilePath()));
    EXPECT_FALSE(registry->KeyExists(RegRoot::HKCU, NormalizeKeyPath(kPluginEntryKey)));
    // Unregistering twice is not an error.
    EXPECT_TRUE(UnregisterServer(&error));
    SetProcessRegistry(nullptr);
}

} // namespace
} // namespace nuvex
