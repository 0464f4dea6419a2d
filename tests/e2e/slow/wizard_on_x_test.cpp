// The real windows on a real X server (Xvfb): brannock with its toolbar
// window and nuvex on the xcb platform, a private dovecot holding three
// messages. The first start opens the account wizard by itself; the test
// adds a POP3 account through its four pages with the pointer and the
// keyboard (xdotool), sets the port in the Advanced Settings dialog, and the
// running plug-in checks the account until the Mail button says "3 New".
// Screenshots of the whole screen go to build/test-output/x-wizard-*.png.
#include "tests/e2e/xvfb_session.h"
#include "tests/support/dovecot_harness.h"

#include <cstdio>

namespace nuvex::e2e {
namespace {

struct Span {
    int left = 0;
    int right = 0;
    int Centre() const { return (left + right) / 2; }
};

struct WindowBox {
    int x = 0, y = 0, width = 0, height = 0;
};

// The buttons crossing row y (screen coordinates) between x0 and x1: runs of
// pixels clearly darker than the bar's own colour at x0, as the buttons' top
// borders are. Read from the screen, so the test does not depend on how wide
// a font makes each button.
std::vector<Span> ButtonsOnRow(const Screen& s, int x0, int x1, int y) {
    std::vector<Span> spans;
    if (y < 0 || y >= s.height) {
        return spans;
    }
    const auto bar = s.At(std::max(0, x0), y);
    auto differs = [&](int x) {
        const auto p = s.At(x, y);
        return std::abs(p[0] - bar[0]) + std::abs(p[1] - bar[1]) + std::abs(p[2] - bar[2]) > 60;
    };
    int start = -1;
    for (int x = std::max(0, x0); x <= std::min(x1, s.width - 1); ++x) {
        if (differs(x)) {
            if (start < 0) {
                start = x;
            }
        } else if (start >= 0) {
            if (x - start >= 30) {
                spans.push_back({start, x - 1});
            }
            start = -1;
        }
    }
    return spans;
}

// The first run of white (an edit box) of at least 30 pixels on row y.
int WhiteBoxLeft(const Screen& s, int x0, int x1, int y) {
    int start = -1;
    for (int x = x0; x <= std::min(x1, s.width - 1); ++x) {
        const auto p = s.At(x, y);
        if (p[0] == 255 && p[1] == 255 && p[2] == 255) {
            if (start < 0) {
                start = x;
            }
            if (x - start >= 30) {
                return start;
            }
        } else {
            start = -1;
        }
    }
    return -1;
}

class WizardOnXTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        std::string why = XvfbSession::Unavailable();
        if (why.empty()) {
            why = test::DovecotHarness::Unavailable();
        }
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        std::string error;
        ASSERT_TRUE(x_.Start(dir_.path() + "/x", error)) << error;
        setenv("DISPLAY", x_.Display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        setenv("NUVEX_TICK_MS", "250", 1);
        shots_ = std::string(NUVEX_BINARY_DIR) + "/test-output";
        ::mkdir(shots_.c_str(), 0755);
    }
    void TearDown() override {
        E2eTest::TearDown();
        x_.Stop();
        dovecot_.Stop();
        unsetenv("DISPLAY");
        unsetenv("NUVEX_TICK_MS");
    }

    Result Xdo(std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/env", "xdotool"});
        return Run(args, 10000);
    }

    // The id of the one window named exactly name; empty while there is none.
    std::string FindWindow(const std::string& name) {
        Result r = Xdo({"search", "--onlyvisible", "--name", "^" + name + "$"});
        return r.code == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
    }
    std::string WaitWindow(const std::string& name, int timeoutMs = 20000) {
        std::string id;
        WaitUntil([&] { return !(id = FindWindow(name)).empty(); }, timeoutMs, 100);
        return id;
    }
    WindowBox Geometry(const std::string& id) {
        Result r = Xdo({"getwindowgeometry", "--shell", id});
        WindowBox box;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) {
                continue;
            }
            const int v = std::atoi(line.c_str() + eq + 1);
            const std::string key = line.substr(0, eq);
            if (key == "X") {
                box.x = v;
            } else if (key == "Y") {
                box.y = v;
            } else if (key == "WIDTH") {
                box.width = v;
            } else if (key == "HEIGHT") {
                box.height = v;
            }
        }
        return box;
    }
    void Click(int x, int y) {
        ASSERT_EQ(Xdo({"mousemove", std::to_string(x), std::to_string(y), "click", "1"}).code, 0);
        Settle();
    }
    void Type(const std::string& text) {
        ASSERT_EQ(Xdo({"type", "--delay", "20", text}).code, 0);
        Settle();
    }
    void Key(const std::string& keys) {
        ASSERT_EQ(Xdo({"key", "--delay", "40", keys}).code, 0);
        Settle();
    }
    // The windows repaint after input; the screen file follows at once.
    void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

    Screen Grab() {
        Screen s;
        EXPECT_TRUE(x_.Grab(s));
        return s;
    }
    void Shot(const std::string& name) {
        EXPECT_TRUE(x_.Shot(shots_ + "/x-wizard-" + name + ".png")) << name;
    }

    // The footer buttons of a dialog frame window, left to right.
    std::vector<Span> FooterButtons(const WindowBox& w) {
        const Screen s = Grab();
        const int row = w.y + w.height - 48 + 14; // their top border
        return ButtonsOnRow(s, w.x + 2, w.x + w.width - 3, row);
    }
    void ClickFooter(const WindowBox& w, const Span& button) {
        Click(button.Centre(), w.y + w.height - 48 + 26);
    }

    std::string ButtonCaption() {
        const std::string out = Ctl({"button", "MAIL"}).out;
        const std::string start = "caption: ";
        const auto at = out.find(start);
        return at == std::string::npos
                   ? std::string()
                   : out.substr(at + start.size(), out.find('\n', at) - at - start.size());
    }

    XvfbSession x_;
    test::DovecotHarness dovecot_;
    std::string shots_;
};

TEST_F(WizardOnXTest, FirstStartWizardAddsAPop3AccountAndTheButtonSaysThreeNew) {
    dovecot_.AddUser("alice", "alice-pw");
    std::string error;
    ASSERT_TRUE(dovecot_.Start(error)) << error;
    dovecot_.Deliver("alice", 1, 3);
    const auto start = Clock::now();
    StartHost(false);
    ASSERT_TRUE(WaitPluginUp()) << ReadFile(dir_.file("host.err"));
    ASSERT_FALSE(WaitWindow(".* Toolbar").empty());

    // No account yet: the after-install wizard opens by itself.
    const std::string wizard = WaitWindow(".* Email Plugin Wizard");
    ASSERT_FALSE(wizard.empty()) << ReadFile(dir_.file("host.err"));
    std::printf("[ measure ] host start to the first-start wizard on screen: %.2f s\n", Seconds(start));
    Settle();
    Shot("0-welcome");
    WindowBox w = Geometry(wizard);
    ASSERT_GE(w.width, 570);
    ASSERT_GE(w.height, 450);
    std::vector<Span> buttons = FooterButtons(w);
    ASSERT_EQ(buttons.size(), 2u) << "Next and Cancel";
    ClickFooter(w, buttons[0]);

    // Account type: the first choice is checked; POP3 is the one chosen. The
    // rows are 25 pixels apart in list order: the two web-service types and
    // Gmail come before it.
    Shot("1-type");
    constexpr int kPop3Row = 3;
    Click(w.x + 55 + 6, w.y + 52 + 40 + 8 + kPop3Row * 25);
    w = Geometry(wizard);
    buttons = FooterButtons(w);
    ASSERT_EQ(buttons.size(), 3u) << "Back, Next and Cancel";
    ClickFooter(w, buttons[1]);

    // The POP3 page: the address box has the focus; the page's tab order
    // leads through login, password and server.
    w = Geometry(wizard); // a wider font can make the page wider
    Type("alice@example.org");
    Key("Tab");
    Type("alice");
    Key("Tab");
    Type("alice-pw");
    Key("Tab");
    Type("127.0.0.1");
    Shot("2-account");

    // The port lives in the Advanced Settings dialog.
    buttons = FooterButtons(w);
    ASSERT_EQ(buttons.size(), 4u) << "Advanced Settings, Back, Next and Cancel";
    ClickFooter(w, buttons[0]);
    const std::string advanced = WaitWindow(".* Email Plugin - Advanced Settings", 10000);
    ASSERT_FALSE(advanced.empty());
    Settle();
    const WindowBox a = Geometry(advanced);
    const int portRow = a.y + 52 + 36 + 10; // the port box's row, below the dialog's header
    const int portLeft = WhiteBoxLeft(Grab(), a.x + 55, a.x + a.width - 1, portRow);
    ASSERT_GT(portLeft, 0) << "no port box on the dialog";
    Click(portLeft + 20, portRow);
    Key("ctrl+a");
    Type(std::to_string(dovecot_.Pop3Port()));
    Shot("2a-advanced");
    const std::vector<Span> ok = FooterButtons(a);
    ASSERT_EQ(ok.size(), 2u) << "OK and Cancel";
    ClickFooter(a, ok[0]);
    ASSERT_TRUE(WaitUntil([&] { return FindWindow(".* Email Plugin - Advanced Settings").empty(); }, 5000));

    w = Geometry(wizard);
    buttons = FooterButtons(w);
    ASSERT_EQ(buttons.size(), 4u);
    ClickFooter(w, buttons[2]);
    Shot("3-confirm");
    w = Geometry(wizard);
    buttons = FooterButtons(w);
    ASSERT_EQ(buttons.size(), 3u) << "Back, Finish and Cancel";
    ClickFooter(w, buttons[1]);
    ASSERT_TRUE(WaitUntil([&] { return FindWindow(".* Email Plugin Wizard").empty(); }, 5000));

    const Result stored = Ctl({"get", "MAIL", "ACCOUNTS"});
    EXPECT_NE(stored.out.find("Pop3_0="), std::string::npos) << stored.out << stored.err;
    const auto finished = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return ButtonCaption() == "3 New"; }, 40000, 200))
        << ButtonCaption() << "\n"
        << ReadFile(dir_.file("host.err")) << dovecot_.Log();
    std::printf("[ measure ] Finish to \"3 New\" without a forced check: %.2f s\n", Seconds(finished));
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the notification window fades in
    Shot("4-three-new");
}

} // namespace
} // namespace nuvex::e2e
