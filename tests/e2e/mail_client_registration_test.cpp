// The running plug-in makes itself the desktop's mailto handler and an
// account's Send To entry from the host's settings; "/unregserver" then
// leaves no file of ours and gives mailto back to the handler from before.
#include "lib/command_line.h"
#include "lib/crypt_url.h"
#include "tests/e2e/e2e_harness.h"

#include <filesystem>

namespace nuvex::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class MailClientRegistrationTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        // Only the test's own folders: no system default, no desktop back end.
        for (const char* sub : {"/sysdata", "/sysconfig"}) {
            ::mkdir((dir_.path() + sub).c_str(), 0700);
        }
        setenv("XDG_DATA_DIRS", (dir_.path() + "/sysdata").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (dir_.path() + "/sysconfig").c_str(), 1);
        unsetenv("XDG_CURRENT_DESKTOP");
        unsetenv("DESKTOP_SESSION");
    }
    void TearDown() override {
        E2eTest::TearDown();
        unsetenv("XDG_DATA_DIRS");
        unsetenv("XDG_CONFIG_DIRS");
    }

    static std::string XdgMime() {
        const char* path = std::getenv("PATH");
        return ResolveProgram("xdg-mime", path ? path : "/usr/bin:/bin");
    }
    std::string Handler() {
        std::string out = Run({XdgMime(), "query", "default", "x-scheme-handler/mailto"}).out;
        return out.substr(0, out.find('\n'));
    }
    // Every file under the test's data and configuration folders that names us.
    std::vector<std::string> FilesOfOurs() {
        std::vector<std::string> found;
        for (const char* sub : {"/data", "/config"}) {
            std::error_code ec;
            for (std::filesystem::recursive_directory_iterator it(dir_.path() + sub, ec), end;
                 !ec && it != end; it.increment(ec)) {
                // The registry store is asked for its keys instead.
                if (!it->is_regular_file() ||
                    it->path().filename().string().find(".db") != std::string::npos) {
                    continue;
                }
                const std::string text = ReadFile(it->path().string());
                if (text.find("nuvex") != std::string::npos || text.find("/sendto:") != std::string::npos) {
                    found.push_back(it->path().string());
                }
            }
        }
        return found;
    }
};

TEST_F(MailClientRegistrationTest, UnregserverLeavesNoFileOfOursAndThePreviousHandlerBack) {
    const std::string apps = dir_.path() + "/data/applications";
    std::filesystem::create_directories(apps);
    std::ofstream(apps + "/oldmail.desktop")
        << "[Desktop Entry]\nType=Application\nName=Old\nExec=true %u\nMimeType=x-scheme-handler/mailto;\n";
    ASSERT_EQ(Run({XdgMime(), "default", "oldmail.desktop", "x-scheme-handler/mailto"}).code, 0);
    ASSERT_EQ(Handler(), "oldmail.desktop");
    ASSERT_EQ(Run({Nuvex(), "/regserver"}).code, 0);

    StartHost();
    ASSERT_TRUE(WaitPluginUp());
    TCryptURL record;
    record.SetParam("USERNAME", "joe");
    record.SetParam("EMAIL", "joe@webvault.example");
    record.SetParam("PASSWORD", "pw");
    ASSERT_EQ(Ctl({"set", "MAIL", "ACCOUNTS", "WEBVAULT:0=" + record.EncodeParams()}).code, 0);
    ASSERT_EQ(Ctl({"set", "MAIL", "WEBVAULT_0_SENDTO", "1"}).code, 0);
    ASSERT_EQ(Ctl({"set", "MAIL", "CURRENT_MAILTO", "WEBVAULT_0"}).code, 0);
    ASSERT_EQ(Ctl({"set", "MAIL", "SETUP_LAST_CHANGE", "1"}).code, 0);
    ASSERT_EQ(Ctl({"refresh", "MAIL"}).code, 0);

    const std::string sendTo =
        dir_.path() + "/data/Thunar/sendto/Mail Recipient (joe@webvault.example).desktop";
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(sendTo) && Handler() == "nuvex.desktop"; },
                          20000, 200))
        << ReadFile(dir_.file("host.err"));
    EXPECT_THAT(ReadFile(sendTo), HasSubstr("Exec=" + Nuvex() + " /sendto:WEBVAULT_0 %F\n"));
    EXPECT_THAT(ReadFile(apps + "/nuvex.desktop"), HasSubstr("Exec=" + Nuvex() + " /mailto:ask %u\n"));

    Result unreg = Run({Nuvex(), "/unregserver"});
    ASSERT_EQ(unreg.code, 0) << unreg.err;
    EXPECT_EQ(FilesOfOurs(), std::vector<std::string>{});
    EXPECT_EQ(Handler(), "oldmail.desktop");
    EXPECT_THAT(ReadFile(dir_.path() + "/config/mimeapps.list"), Not(HasSubstr("nuvex")));
    auto registry = OpenSqliteRegistry(dir_.path() + "/config/brannock/registry.db");
    ASSERT_TRUE(registry);
    EXPECT_FALSE(registry->KeyExists(RegRoot::HKLM, "Software\\Clients\\Mail\\VostrelMail"));
    EXPECT_EQ(ReadRegString(*registry, RegRoot::HKLM, "Software\\Clients\\Mail", "", ""), "oldmail");
}

} // namespace
} // namespace nuvex::e2e
