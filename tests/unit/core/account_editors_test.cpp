// The account editors against the in-memory host: the ids of new accounts,
// an edit that replaces a ":" line and keeps Send To, a removal that deletes
// one account's values and no other's, cancelling and the stop events that
// store nothing, and the after-install wizards one at a time.
#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "integration/sendto.h"
#include "lib/host_config.h"
#include "lib/named_objects.h"
#include "lib/registry.h"
#include "tests/support/fake_account_page.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/core/plugin_fixture.h"
#include "ui/account_editors.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

using test::FakeAccountPage;

std::string Settings(const std::string& email, const std::string& server, bool sendTo) {
    TAccountFields f;
    f.email = email;
    f.userName = email.substr(0, email.find('@'));
    f.sendTo = sendTo;
    f.typeKeys = {{"PASSWORD", "pw"}, {"HOSTNAME", server}, {"PORT", "110"}};
    return BuildSettingsText(f);
}

using test::WaitFor;

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new test::OffscreenApp);

class EditorTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* name : {"RI4Stop", "RI4StopOpt"}) {
            if (auto ev = OpenOrCreateEvent(name, true, false)) {
                ev->Reset();
            }
        }
        if (auto ev = OpenOrCreateEvent("RI4Shutdown_MAIL", false, false)) {
            ev->Reset();
        }
        accounts.FreeAccounts();
    }

    TEditorEnv Env() {
        TEditorEnv env;
        env.host = cfg.get();
        env.accounts = &accounts;
        env.types = &ConnectorRegistry();
        env.makePage = test::FakePageFactory();
        env.postRefresh = [this] { ++refreshes; };
        env.accountsChanged = [this] { ++stamps; };
        env.resetButton = [this] { ++buttonResets; };
        env.releaseMailto = [this](const std::string& id) { mailtoReleased.push_back(id); };
        env.askDuplicate = [] { return true; };
        env.confirmRemove = [this](const QString& text) {
            confirmText = text;
            return confirmAnswer;
        };
        env.installerRunning = [this] { return installerRunning; };
        env.waitStepMs = 20;
        env.pollMs = 10;
        return env;
    }
    void Watch(TAccountEditorThread* editor) {
        finished = false;
        QObject::connect(editor, &TAccountEditorThread::Finished, [this](int result, bool stored) {
            finished = true;
            lastResult = result;
            lastStored = stored;
        });
    }
    void Store(const std::string& text) {
        ASSERT_TRUE(cfg->WriteCfgStr("$ACCOUNTS", text));
        LoadAccountList(accounts, text, ConnectorRegistry(), Context(), cfg.get());
    }
    AccountContext Context() {
        AccountContext context;
        context.host = cfg.get();
        return context;
    }
    std::string Stored() { return cfg->ReadCfgStr("$ACCOUNTS").value_or("<none>"); }
    FakeAccountPage& Page(TWizard& w) { return static_cast<FakeAccountPage&>(*w.AccountPage); }
    // Next through the pages of a new POP3 account up to page.
    void DriveTo(TWizard& w, int page) {
        while (w.CurrentPage < page) {
            if (w.CurrentPage == kPageType) {
                w.Form->findChild<QRadioButton*>(QStringLiteral("type_Pop3"))->click();
            }
            if (w.CurrentPage == kPageAccount) {
                Page(w).email->setText(QStringLiteral("new@example.org"));
                Page(w).login->setText(QStringLiteral("new"));
                Page(w).server->setText(QStringLiteral("pop.example.org"));
            }
            w.Navigate(kTagNext);
        }
    }

    std::unique_ptr<MemoryHostConfig> cfg = std::make_unique<MemoryHostConfig>();
    TAccountList accounts;
    int refreshes = 0, stamps = 0, buttonResets = 0;
    std::vector<std::string> mailtoReleased;
    QString confirmText;
    bool confirmAnswer = true;
    bool installerRunning = false;
    bool finished = false, lastStored = false;
    int lastResult = -1;
};

TEST_F(EditorTest, NewAccountGetsTheFirstFreeId) {
    struct Row {
        std::string stored;
        std::string id;
    };
    const Row rows[] = {
        {"", "Pop3_0"},
        {"Pop3_0=" + Settings("a@example.org", "pop.a", false) +
             "\r\nPop3:1=" + Settings("b@example.org", "pop.b", false),
         "Pop3_2"},
    };
    for (const Row& row : rows) {
        cfg = std::make_unique<MemoryHostConfig>();
        refreshes = stamps = 0;
        ASSERT_TRUE(cfg->WriteCfgStr("$ACCOUNTS", row.stored));
        ASSERT_TRUE(cfg->WriteCfgBool(keys::kAfterInstallWizard, true));
        QPointer<TNewAccountThread> editor = new TNewAccountThread(nullptr, false, {}, Env());
        Watch(editor);
        ASSERT_TRUE(WaitFor([&] { return editor && editor->Wizard; }));
        EXPECT_EQ(cfg->ReadCfgBool(keys::kAfterInstallWizard), false) << "cleared when the wizard starts";
        DriveTo(*editor->Wizard, kPageConfirm);
        const std::string id = row.id;
        editor->Wizard->Navigate(kTagNext); // Finish
        ASSERT_TRUE(WaitFor([&] { return finished; }));
        EXPECT_EQ(lastResult, kResultAccept);
        EXPECT_TRUE(lastStored);
        const std::vector<StoredLine> lines = ParseStoredList(Stored());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().first, id);
        EXPECT_EQ(cfg->ReadCfgBool(id + "_ENABLED"), true);
        EXPECT_EQ(refreshes, 1);
        EXPECT_EQ(stamps, 1);
        EXPECT_TRUE(WaitFor([&] { return editor.isNull(); })) << "the editor frees itself";
    }
}

TEST_F(EditorTest, CancelOnAnyPageStoresNothing) {
    const std::string before = "Pop3_0=" + Settings("a@example.org", "pop.a", false);
    for (int page = kPageWelcome; page <= kPageConfirm; ++page) {
        cfg = std::make_unique<MemoryHostConfig>();
        ASSERT_TRUE(cfg->WriteCfgStr("$ACCOUNTS", before));
        refreshes = 0;
        QPointer<TNewAccountThread> editor = new TNewAccountThread(nullptr, false, {}, Env());
        Watch(editor);
        ASSERT_TRUE(WaitFor([&] { return editor && editor->Wizard; }));
        DriveTo(*editor->Wizard, page);
        QTest::mouseClick(editor->Wizard->CancelButton, Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return finished; })) << page;
        EXPECT_EQ(lastResult, kResultCancel);
        EXPECT_FALSE(lastStored);
        EXPECT_EQ(Stored(), before) << page;
        EXPECT_FALSE(cfg->Has("Pop3_1_ENABLED"));
        EXPECT_EQ(refreshes, 0);
    }
}

TEST_F(EditorTest, StopEventClosesAnOpenWizardAndStoresNothing) {
    struct Row {
        const char* event;
        bool manualReset;
    };
    for (const Row row : {Row{"RI4StopOpt", true}, Row{"RI4Stop", true}, Row{"RI4Shutdown_MAIL", false}}) {
        ASSERT_TRUE(cfg->WriteCfgStr("$ACCOUNTS", ""));
        QPointer<TNewAccountThread> editor = new TNewAccountThread(nullptr, false, {}, Env());
        Watch(editor);
        ASSERT_TRUE(WaitFor([&] { return editor && editor->Wizard; }));
        DriveTo(*editor->Wizard, kPageConfirm);
        auto event = OpenOrCreateEvent(row.event, row.manualReset, false);
        ASSERT_TRUE(event);
        event->Set();
        ASSERT_TRUE(WaitFor([&] { return finished; })) << row.event;
        EXPECT_EQ(lastResult, kResultCancel) << row.event;
        EXPECT_EQ(Stored(), "") << row.event;
        // The plug-in's main loop still sees the shutdown that the editor tested.
        EXPECT_TRUE(event->TryWait()) << row.event;
        event->Reset();
    }
}

TEST_F(EditorTest, StopOptClosesTheEditWizard) {
    const std::string text = "Pop3_0=" + Settings("a@example.org", "pop.a", false);
    Store(text);
    QPointer<TEditAccountThread> editor = new TEditAccountThread(0, {}, nullptr, Env());
    Watch(editor);
    ASSERT_TRUE(WaitFor([&] { return editor && editor->Wizard; }));
    Page(*editor->Wizard).server->setText(QStringLiteral("changed"));
    OpenOrCreateEvent(names::kStopOptEvent, true, false)->Set();
    ASSERT_TRUE(WaitFor([&] { return finished; }));
    EXPECT_EQ(lastResult, kResultCancel);
    EXPECT_EQ(Stored(), text);
}

TEST_F(EditorTest, EditReplacesTheColonLineAndKeepsSendTo) {
    struct Row {
        int index;
        std::string id;
    };
    for (const Row& row : {Row{1, ""}, Row{-1, "Pop3_1"}}) {
        cfg = std::make_unique<MemoryHostConfig>();
        accounts.FreeAccounts();
        refreshes = 0;
        const std::string first = "Pop3_0=" + Settings("a@example.org", "pop.a", false);
        Store(first + "\r\nPop3:1=" + Settings("b@example.org", "pop.b", true));
        ASSERT_TRUE(cfg->WriteCfgBool("Pop3_1_SENDTO", true));
        QPointer<TEditAccountThread> editor = row.index >= 0
                                                  ? new TEditAccountThread(row.index, {}, nullptr, Env())
                                                  : new TEditAccountThread(row.id, {}, nullptr, Env());
        Watch(editor);
        ASSERT_TRUE(WaitFor([&] { return editor && editor->Wizard; }));
        TWizard& w = *editor->Wizard;
        EXPECT_EQ(w.CurrentPage, kPageAccount);
        EXPECT_TRUE(w.BackButton->isHidden());
        EXPECT_EQ(w.NextButton->text(), QStringLiteral("&OK"));
        EXPECT_TRUE(w.NextButton->isEnabled());
        EXPECT_TRUE(w.StepLabel->text().isEmpty());
        EXPECT_EQ(Page(w).email->text(), QStringLiteral("b@example.org"));
        EXPECT_EQ(Page(w).sendToBox, nullptr) << "an edit page has no Send To box";
        Page(w).server->setText(QStringLiteral("pop.changed"));
        QTest::mouseClick(w.NextButton, Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return finished; }));
        EXPECT_EQ(lastResult, kResultAccept);
        const std::vector<StoredLine> lines = ParseStoredList(Stored());
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].first + "=" + lines[0].second, first);
        EXPECT_EQ(lines[1].first, "Pop3_1");
        TCryptURL record;
        ASSERT_TRUE(record.DecodeParams(lines[1].second));
        EXPECT_EQ(record.GetParam("HOSTNAME"), "pop.changed");
        EXPECT_EQ(record.GetParam("SENDTO"), "1");
        EXPECT_EQ(cfg->ReadCfgBool("Pop3_1_SENDTO"), true);
        EXPECT_EQ(refreshes, 1);
    }
}

TEST_F(EditorTest, EditOfStoredValuesThatNoLongerPassWaitsForAFix) {
    Store("Pop3_0=" + Settings("a@example.org", "", false)); // no server
    QPointer<TEditAccountThread> editor = new TEditAccountThread(0, {}, nullptr, Env());
    ASSERT_TRUE(WaitFor([&] { return editor && editor->Wizard; }));
    TWizard& w = *editor->Wizard;
    EXPECT_FALSE(w.NextButton->isEnabled());
    Page(w).server->setText(QStringLiteral("pop.a"));
    EXPECT_TRUE(w.NextButton->isEnabled());
    w.Navigate(kTagCancel);
    EXPECT_TRUE(WaitFor([&] { return editor.isNull(); }));
}

TEST_F(EditorTest, EditOfAnAccountNotListedShowsNoWizard) {
    Store("Pop3_0=" + Settings("a@example.org", "pop.a", false));
    using Make = std::function<TEditAccountThread*()>;
    const Make makes[] = {
        [&] { return new TEditAccountThread(5, {}, nullptr, Env()); },
        [&] { return new TEditAccountThread(std::string("Pop3_7"), {}, nullptr, Env()); },
        [&] { return new TEditAccountThread(std::string(), {}, nullptr, Env()); },
    };
    for (const Make& make : makes) {
        QPointer<TEditAccountThread> editor = make();
        Watch(editor);
        ASSERT_TRUE(WaitFor([&] { return finished; }));
        EXPECT_EQ(lastResult, kResultCancel);
        EXPECT_TRUE(WaitFor([&] { return editor.isNull(); }));
    }
}

TEST_F(EditorTest, RemoveDeletesThatAccountsValuesAndNoOther) {
    struct Row {
        bool answer;
        std::string mailto;
    };
    for (const Row& row : {Row{true, "Pop3_1"}, Row{true, "Pop3_0"}, Row{false, "Pop3_1"}}) {
        cfg = std::make_unique<MemoryHostConfig>();
        accounts.FreeAccounts();
        buttonResets = refreshes = 0;
        mailtoReleased.clear();
        confirmAnswer = row.answer;
        const std::string first = "Pop3_0=" + Settings("a@example.org", "pop.a", true);
        const std::string all = first + "\r\nPop3_1=" + Settings("b@example.org", "pop.b", true);
        Store(all);
        ASSERT_TRUE(CreateSendToShortcut("a@example.org", "Pop3_0"));
        ASSERT_TRUE(CreateSendToShortcut("b@example.org", "Pop3_1"));
        ASSERT_TRUE(cfg->WriteCfgStr("CURRENT_MAILTO", row.mailto));
        for (const char* id : {"Pop3_0", "Pop3_1"}) {
            ASSERT_TRUE(cfg->WriteCfgBool(std::string(id) + "_SENDTO", true));
            ASSERT_TRUE(cfg->WriteCfgStr("LASTID_" + std::string(id), "3"));
        }
        QPointer<TRemoveAccountThread> editor = new TRemoveAccountThread(1, {}, nullptr, Env());
        Watch(editor);
        ASSERT_TRUE(WaitFor([&] { return finished; }));
        EXPECT_EQ(confirmText, QStringLiteral("Do you really want to remove \"b@example.org\" account?"));
        EXPECT_EQ(refreshes, 1);
        EXPECT_TRUE(cfg->Has("Pop3_0_ENABLED") && cfg->Has("Pop3_0_SENDTO") && cfg->Has("LASTID_Pop3_0"));
        if (!row.answer) {
            EXPECT_EQ(Stored(), all);
            EXPECT_TRUE(cfg->Has("Pop3_1_ENABLED") && cfg->Has("Pop3_1_SENDTO") && cfg->Has("LASTID_Pop3_1"));
            EXPECT_EQ(buttonResets, 0);
            EXPECT_TRUE(SendToShortcutExists("b@example.org"));
            continue;
        }
        EXPECT_EQ(Stored(), first);
        EXPECT_FALSE(cfg->Has("Pop3_1_ENABLED") || cfg->Has("Pop3_1_SENDTO") || cfg->Has("LASTID_Pop3_1"));
        EXPECT_EQ(buttonResets, 1);
        EXPECT_FALSE(SendToShortcutExists("b@example.org"));
        EXPECT_TRUE(SendToShortcutExists("a@example.org")) << "the other account keeps its entry";
        EXPECT_EQ(mailtoReleased,
                  row.mailto == "Pop3_1" ? std::vector<std::string>{"Pop3_1"} : std::vector<std::string>{});
    }
}

TEST_F(EditorTest, AfterInstallWizardWaitsForTheOneOpenAndForTheInstaller) {
    ASSERT_TRUE(cfg->WriteCfgStr("$ACCOUNTS", ""));
    QPointer<TNewAccountThread> first = new TNewAccountThread(nullptr, true, {}, Env());
    ASSERT_TRUE(WaitFor([&] { return first && first->Wizard; }));
    EXPECT_TRUE(first->Wizard->Form->windowFlags() & Qt::WindowStaysOnTopHint);
    QPointer<TNewAccountThread> second = new TNewAccountThread(nullptr, true, {}, Env());
    QTest::qWait(150);
    EXPECT_FALSE(second->Wizard) << "one after-install wizard at a time";
    first->Wizard->Navigate(kTagCancel);
    ASSERT_TRUE(WaitFor([&] { return second && second->Wizard; }));
    second->Wizard->Navigate(kTagCancel);
    ASSERT_TRUE(WaitFor([&] { return second.isNull(); }));

    installerRunning = true;
    QPointer<TNewAccountThread> third = new TNewAccountThread(nullptr, false, {}, Env());
    QTest::qWait(150);
    EXPECT_FALSE(third->Wizard) << "the installer still runs";
    installerRunning = false;
    ASSERT_TRUE(WaitFor([&] { return third && third->Wizard; }));
    third->Wizard->Navigate(kTagCancel);
    EXPECT_TRUE(WaitFor([&] { return third.isNull(); }));
}

TEST_F(EditorTest, OwnerIsDisabledUntilTheLastOfItsEditorsEnds) {
    ASSERT_TRUE(cfg->WriteCfgStr("$ACCOUNTS", ""));
    QWidget owner;
    owner.show();
    QPointer<TNewAccountThread> first = new TNewAccountThread(&owner, false, {}, Env());
    QPointer<TNewAccountThread> second = new TNewAccountThread(&owner, false, {}, Env());
    ASSERT_TRUE(WaitFor([&] { return first && first->Wizard && second && second->Wizard; }));
    EXPECT_FALSE(owner.isEnabled());
    EXPECT_TRUE(first->Wizard->Form->isEnabled()) << "the wizard itself stays usable";
    first->Wizard->Form->close(); // the close box
    ASSERT_TRUE(WaitFor([&] { return first.isNull(); }));
    EXPECT_FALSE(owner.isEnabled()) << "the other editor still runs";
    second->Wizard->Form->close();
    ASSERT_TRUE(WaitFor([&] { return second.isNull(); }));
    EXPECT_TRUE(owner.isEnabled());
}

// An editor started while another's wizard is the window in front: both are
// usable, and each closes on its own.
TEST_F(EditorTest, EditorOverAnotherEditorsWizardKeepsBothUsable) {
    Store("Pop3_0=" + Settings("a@example.org", "pop.a", false));
    QPointer<TNewAccountThread> add = new TNewAccountThread(nullptr, false, {}, Env());
    ASSERT_TRUE(WaitFor([&] { return add && add->Wizard; }));
    QPointer<TEditAccountThread> edit = new TEditAccountThread(0, {}, add->Wizard->Form, Env());
    ASSERT_TRUE(WaitFor([&] { return edit && edit->Wizard; }));
    for (TWizard* w : {add->Wizard.get(), edit->Wizard.get()}) {
        EXPECT_TRUE(w->Form->isEnabled());
        EXPECT_TRUE(w->CancelButton->isEnabled());
    }
    add->Wizard->Navigate(kTagCancel);
    ASSERT_TRUE(WaitFor([&] { return add.isNull(); }));
    ASSERT_TRUE(edit && edit->Wizard) << "closing one leaves the other open";
    EXPECT_TRUE(edit->Wizard->NextButton->isEnabled());
    edit->Wizard->Navigate(kTagCancel);
    EXPECT_TRUE(WaitFor([&] { return edit.isNull(); }));
}

TEST_F(EditorTest, WithoutAHostNothingOpens) {
    TEditorEnv env = Env();
    env.host = nullptr;
    QPointer<TNewAccountThread> editor = new TNewAccountThread(nullptr, false, {}, env);
    Watch(editor);
    ASSERT_TRUE(WaitFor([&] { return finished; }));
    EXPECT_EQ(lastResult, kResultCancel);
}

} // namespace
} // namespace nuvex
