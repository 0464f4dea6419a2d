#pragma once
// What the controller's tests share: an offscreen application made inside
// main, a host that answers every button call, the controller with editors
// that open fake account pages at once, and waits for the wizards they open.
#include "accounts/account_store.h"
#include "core/mail_host.h"
#include "core/nuvex_plugin.h"
#include "core/plugin_process.h"
#include "lib/host_config.h"
#include "tests/support/fake_account_page.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <utility>
#include <vector>

namespace nuvex::test {

// The application lives inside main, not in a static: the test devices that
// QTest makes are freed with it, before the exit handlers run. Settings and
// named objects go to a folder of the run's own; `env` is set before the
// application starts, `ready` runs once it has.
class OffscreenApp : public ::testing::Environment {
public:
    explicit OffscreenApp(std::vector<std::pair<const char*, const char*>> env = {},
                          std::function<void()> ready = {})
        : env_(std::move(env)), ready_(std::move(ready)) {}
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_.path()));
        qputenv("NUVEX_OBJECTS_DIR", QByteArray::fromStdString(dir_.path()));
        for (const auto& [name, value] : env_) {
            qputenv(name, value);
        }
        app_ = std::make_unique<QApplication>(argc_, argv_);
        if (ready_) {
            ready_();
        }
    }
    void TearDown() override { app_.reset(); }

private:
    std::vector<std::pair<const char*, const char*>> env_;
    std::function<void()> ready_;
    TempDir dir_;
    int argc_ = 1;
    char name_[16] = "nuvex_core_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

// A host that takes every call, keeping the captions and pictures it is sent.
template <class Config = MemoryHostConfig> class QuietMailHost final : public MailHost {
public:
    Config cfg;
    QStringList captions, bitmaps;
    HostConfig* Settings() override { return &cfg; }
    HostConfig& LongLivedSettings() override { return cfg; }
    bool Ping() override { return true; }
    bool SetButtonCaption(const QString& c, const QString& = QString()) override {
        captions << c;
        return true;
    }
    bool SetButtonHint(const QString&, const QString& = QString()) override { return true; }
    bool SetButtonMenu(const QString&) override { return true; }
    bool SetButtonBitmap(const QString& hex, const QString& = QString()) override {
        bitmaps << hex;
        return true;
    }
    bool SetButtonVisible(const QString&, bool, const QString&) override { return true; }
    bool NavigateWindow(const QString&, const QString&) override { return true; }
    bool ShowSettings() override { return true; }
};

inline bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QTest::qWait(5);
    }
    return done();
}

// The account wizards open on screen (the editors free themselves when these close).
inline QList<TVostrelForm*> Wizards() {
    QList<TVostrelForm*> forms;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* form = qobject_cast<TVostrelForm*>(w);
        if (form && form->isVisible() && form->Result() == kResultOpen &&
            form->findChild<QWidget*>(QStringLiteral("accountContainer"))) {
            forms << form;
        }
    }
    return forms;
}

inline void CloseWizards() {
    for (TVostrelForm* form : Wizards()) {
        form->SetResult(kResultCancel);
    }
    WaitFor([] { return Wizards().isEmpty(); });
    QTest::qWait(20);
}

// One stored account line with a user name, a password and a server.
inline std::string AccountText(const std::string& email, bool sendTo = false) {
    TAccountFields f;
    f.email = email;
    f.sendTo = sendTo;
    f.userName = "u";
    f.typeKeys = {{"PASSWORD", "pw"}, {"HOSTNAME", "127.0.0.1"}};
    return BuildSettingsText(f);
}

// The controller against a quiet host, all accounts shown, editors on fake pages.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetPluginConnected(true);
        auto owned = std::make_unique<QuietMailHost<>>();
        host = owned.get();
        plugin = std::make_unique<TNuvexPlugin>(std::move(owned));
        plugin->SetEditorSeams([](TEditorEnv& env) {
            env.makePage = FakePageFactory();
            env.installerRunning = [] { return false; };
            env.askDuplicate = [] { return true; };
            env.confirmRemove = [](const QString&) { return true; };
            env.waitStepMs = 10;
            env.pollMs = 10;
        });
        host->cfg.WriteCfgBool("MAIL_ALL", true);
    }
    void TearDown() override {
        CloseWizards();
        plugin.reset();
        SetPluginConnected(false);
    }

    QuietMailHost<>* host = nullptr;
    std::unique_ptr<TNuvexPlugin> plugin;
};

} // namespace nuvex::test
