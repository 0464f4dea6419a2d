#include "core/plugin_obj.h"
#include "core/plugin_process.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

// Without a session bus every host call fails; the object must answer its
// defaults and go on.
class PluginObjBase : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
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

TEST_F(PluginObjBase, SimpleAnswers) {
    EXPECT_EQ(obj.GetContextKind(), 1);
    EXPECT_EQ(obj.GetFlags(), 0);
    EXPECT_EQ(obj.QueryNum(QStringLiteral("ACCNUM"), 0), 0);
    EXPECT_TRUE(obj.GetHelpURL().startsWith(QStringLiteral("res://")));
    EXPECT_TRUE(obj.GetHelpURL().endsWith(QStringLiteral("/options")));
    obj.SetContext(QStringLiteral("1234"));
    EXPECT_EQ(obj.Context(), QStringLiteral("1234"));
    // A dead host: the command reads no URL and does nothing, without throwing.
    obj.ExecCommand(0, QStringLiteral("HELP"));
    EXPECT_EQ(obj.ReadCfgInt(QStringLiteral("SHOW_BUTTON")), 0);
    EXPECT_FALSE(obj.WriteCfgBool(QStringLiteral("MAIL_ALL"), true, true));
}

} // namespace
} // namespace nuvex
