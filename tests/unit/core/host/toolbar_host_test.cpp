#include "host/toolbar_host.h"
#include "tests/support/qt_core_main.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace nuvex::host {
namespace {

// The host hands an address to the desktop's opener only for web pages and
// mail: a local file, a share or an unknown handler could run something.
TEST(ToolbarHostNavigate, OnlyWebAndMailAddressesReachTheOpener) {
    test::TempDir dir;
    const std::string opened = dir.file("opened.txt");
    const std::string browser = dir.file("browser.sh");
    std::ofstream(browser) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened << "'\n";
    ::chmod(browser.c_str(), 0700);
    test::ScopedEnv env("NUVEX_BROWSER", browser);
    std::string error;
    ToolbarHost host(true, SettingsStore::Open(dir.file("settings.db"), &error));

    const struct {
        const char* url;
        bool opens;
    } rows[] = {
        {"https://mail.example.org/inbox", true},
        {"http://mail.example.org/", true},
        {"mailto:a@example.org", true},
        {"file:///etc/passwd", false},
        {"ftp://files.example.org/x", false},
        {"smb://server/share", false},
        {"x-custom-handler:run", false},
        {"-version", false},
        {"", false},
    };
    for (const auto& row : rows) {
        QString why;
        EXPECT_EQ(host.Navigate(QString::fromUtf8(row.url), QStringLiteral("1"), &why), row.opens) << row.url;
        EXPECT_EQ(why.isEmpty(), row.opens) << row.url;
    }
}

} // namespace
} // namespace nuvex::host
