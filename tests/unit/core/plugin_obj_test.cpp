#include "core/plugin_obj.h"
#include "core/plugin_process.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

// Without a session bus every host call fails; the object must answer its
// defaults and go on. An unset address would make libdbus fall back to the
// user's own bus, so the address names a socket that cannot exist.
class PluginObjBase : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/nuvex-test-bus", 1);
        LoadButtonBitmap();
    }
    TPluginObj obj;
};

TEST_F(PluginObjBase, ButtonInfoDefaults) {
    ButtonInfo info = obj.GetButtonInfo(0);
    EXPECT_EQ(info.id, 50);
    EXPECT_EQ(info.style, 0);
    EXPECT_EQ(info.name, QStringLiteral("MAIL"));
    EXPECT_EQ(info.visible, 1);
    EXPECT_TRUE(info.caption.isEmpty());
    EXPECT_FALSE(info.bitmap.isEmpty());
    EXPECT_EQ(info.bitmap, ButtonBitmap().bytes);
    EXPECT_EQ(info.icon, ButtonBitmap().bytes);
}

TEST_F(PluginObjBase, QueryTextBaseKeys) {
    EXPECT_EQ(obj.QueryText(QStringLiteral("ICON"), {}), ButtonBitmap().hex);
    EXPECT_EQ(obj.QueryText(QStringLiteral("longName"), {}), LongName());
    EXPECT_FALSE(LongName().isEmpty());
    EXPECT_EQ(obj.QueryText(QStringLiteral("icon"), {}), QString());                   // exact comparison
    EXPECT_EQ(obj.QueryText(QStringLiteral("ALLOW_EXIT"), {}), QStringLiteral("YES")); // no tray shown
    EXPECT_EQ(obj.QueryText(QStringLiteral("ACTIVATE_PLUGIN"), {}), QString());
    EXPECT_EQ(obj.QueryText(QStringLiteral("SOMETHING"), QStringLiteral("x")), QString());
}

TEST_F(PluginObjBase, ConfigTextEndsEveryLineAndOneMore) {
    QString text = obj.GetConfigText();
    EXPECT_TRUE(text.contains(QStringLiteral("SHOW_BUTTON=3\r\n")));
    EXPECT_TRUE(text.endsWith(QStringLiteral("\r\n\r\n")));
    EXPECT_FALSE(text.endsWith(QStringLiteral("\r\n\r\n\r\n")));
}

TEST_F(PluginObjBase, DeadHostGivesDefaultsAndRefusedWrites) {
    obj.SetContext(QStringLiteral("1234"));
    EXPECT_EQ(obj.Context(), QStringLiteral("1234"));
    EXPECT_NO_THROW(obj.ExecCommand(0, QStringLiteral("HELP")));
    EXPECT_EQ(obj.ReadCfgInt(QStringLiteral("SHOW_BUTTON")), 0);
    EXPECT_EQ(obj.ReadCfgStr(QStringLiteral("HELP_URL")), QString());
    EXPECT_FALSE(obj.ReadCfgBool(QStringLiteral("MAIL_ALL")));
    EXPECT_FALSE(obj.WriteCfgBool(QStringLiteral("MAIL_ALL"), true, true));
}

} // namespace
} // namespace nuvex
