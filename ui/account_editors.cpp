#include "ui/account_editors.h"

#include "accounts/account_list.h"
#include "accounts/account_store.h"
#include "accounts/generic_connector.h"
#include "contract/event_names.h"
#include "integration/sendto.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/log.h"
#include "lib/mcritic.h"
#include "lib/named_objects.h"
#include "lib/plugin_settings.h"
#include "lib/registry.h"
#include "ui/ui_log.h"

#include <QDialog>
#include <QHash>
#include <QMessageBox>
#include <cerrno>
#include <csignal>
#include <sys/types.h>

namespace nuvex {

namespace {

void Foreground(QWidget* window) {
    if (window) {
        ForceForegroundWindow(window->window());
    }
}

bool DefaultConfirmRemove(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Remove account?"), text,
                    QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

// What the edit and remove editors need of a listed account, copied under the
// list's lock so that nothing of it is read after the lock is gone.
struct AccountFacts {
    std::string id, typeCode, settings, email;
};

// By position when index >= 0, else by id. Shared and short: a check pass
// holds the list shared for as long as it runs, and the GUI thread must not
// wait for it.
std::optional<AccountFacts> FindAccountFacts(TAccountList& accounts, int index, const std::string& id,
                                             int waits, bool* lockMissed = nullptr) {
    CriticHold hold(accounts.AccountLock, CriticHold::Mode::Shared, waits);
    if (lockMissed) {
        *lockMissed = !hold.Held();
    }
    if (!hold.Held()) {
        return std::nullopt;
    }
    TNuvex_GenericConnector* account = nullptr;
    if (index >= 0) {
        account = index < accounts.Count() ? accounts.At(index) : nullptr;
    } else {
        account = accounts.FindLocked(id);
    }
    if (!account) {
        return std::nullopt;
    }
    std::lock_guard guard(account->Guard());
    return AccountFacts{account->AccountId, account->TypeCode(), account->SettingsText, account->Email};
}

// The writes of the page's default-compose and button-action choices.
std::vector<CfgWrite> ChoiceWrites(const TPageChoices& choices, const std::string& id) {
    std::vector<CfgWrite> writes;
    if (choices.defaultCompose) {
        writes.push_back({std::string(keys::kComposeAccount), id});
    }
    if (choices.associateConfirmed) {
        writes.push_back({std::string(keys::kButtonAction), choices.associate});
        writes.push_back({std::string(keys::kButtonAccount), id});
    }
    return writes;
}

// Another editor's wizard, a dialog or a message box would be disabled
// under its user by the new editor, and closing it would take the new
// wizard along: such a window owns no editor.
QWidget* UsableOwner(QWidget* candidate) {
    QWidget* top = candidate ? candidate->window() : nullptr;
    if (!top || qobject_cast<TVostrelForm*>(top) || qobject_cast<QDialog*>(top)) {
        return nullptr;
    }
    return candidate;
}

// Editors that share an owner keep it disabled until the last of them ends.
QHash<QWidget*, int>& OwnerHolds() {
    static QHash<QWidget*, int> holds;
    return holds;
}

// The named mutex lets its owner take it again, and every editor of this
// process runs on the GUI thread: within the process the after-install
// wizards are serialised by this mark as well.
bool gAfterInstallOpen = false;

} // namespace

bool InstallerRunning() {
    const auto value =
        ProcessRegistry().GetValue(RegRoot::HKCU, names::kHostKey, names::kInstallerRunningValue);
    if (!value) {
        return false;
    }
    const std::uint32_t pid = value->AsDword();
    if (pid == 0 || pid > 0x3fffffff) {
        return false;
    }
    // The installer keeps its process id there while it runs; a stale value
    // names no process.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

TAccountEditorThread::TAccountEditorThread(QWidget* parent, QString context, TEditorEnv env)
    : ParentWindow(UsableOwner(parent)), Context(std::move(context)), env_(std::move(env)) {
    if (!env_.installerRunning) {
        env_.installerRunning = [] { return InstallerRunning(); };
    }
    poll_.setInterval(env_.pollMs);
}

TAccountEditorThread::~TAccountEditorThread() {
    ReleaseOwner();
}

void TAccountEditorThread::HoldOwner() {
    QWidget* owner = ParentWindow;
    if (!owner || heldOwner_) {
        return;
    }
    heldOwner_ = owner;
    if (OwnerHolds()[owner]++ == 0) {
        owner->setEnabled(false);
    }
}

void TAccountEditorThread::ReleaseOwner() {
    if (!heldOwner_) {
        return;
    }
    // Counted by the address taken, which stays the key even when the owner
    // is gone meanwhile.
    auto it = OwnerHolds().find(heldOwner_);
    heldOwner_ = nullptr;
    if (it == OwnerHolds().end() || --*it > 0) {
        return;
    }
    OwnerHolds().erase(it);
    if (QWidget* owner = ParentWindow) {
        owner->setEnabled(true);
        Foreground(owner);
    }
}

TWizardEnv TAccountEditorThread::WizardEnv() const {
    TWizardEnv w;
    w.accounts = env_.accounts;
    w.types = env_.types;
    w.makePage = env_.makePage;
    w.openHelp = env_.openHelp;
    w.openSignUp = env_.openSignUp;
    w.askDuplicate = env_.askDuplicate;
    return w;
}

void TAccountEditorThread::OpenStopEvents(bool withShutdown) {
    stop_ = OpenOrCreateEvent(names::kStopEvent, true, false);
    stopOpt_ = OpenOrCreateEvent(names::kStopOptEvent, true, false);
    if (withShutdown) {
        shutdown_ = OpenOrCreateEvent(names::ShutdownEvent(kPluginName), false, false);
    }
    if (!stop_ || !stopOpt_ || (withShutdown && !shutdown_)) {
        qCWarning(lcUi) << "an account editor could not open a stop event; it closes only on the others";
    }
}

bool TAccountEditorThread::StopSignalled(bool withShutdown) {
    if (stop_ && stop_->TryWait()) {
        return true;
    }
    if (stopOpt_ && stopOpt_->TryWait()) {
        return true;
    }
    if (withShutdown && shutdown_ && shutdown_->TryWait()) {
        // The test took the signal of an auto-reset event: give it back to
        // the main loop, which ends the process on it.
        shutdown_->Set();
        return true;
    }
    return false;
}

void TAccountEditorThread::RunWizard(TWizard& wizard, bool withShutdown) {
    HoldOwner();
    QObject::connect(wizard.Form, &TVostrelForm::ResultChanged, this, [this](int result) {
        if (result != kResultOpen) {
            // Out of the button's click handler first: the wizard is freed here.
            QMetaObject::invokeMethod(
                this, [this] { WizardClosed(); }, Qt::QueuedConnection);
        }
    });
    QObject::connect(&poll_, &QTimer::timeout, this, [this, &wizard, withShutdown] {
        log::RunIsolated("editor", "the stop test", [&] {
            if (wizard.Form && wizard.Form->Result() == kResultOpen && StopSignalled(withShutdown)) {
                wizard.Form->SetResult(kResultCancel);
            }
        });
    });
    poll_.start();
}

void TAccountEditorThread::End() {
    if (ended_) {
        return;
    }
    ended_ = true;
    poll_.stop();
    ReleaseOwner();
    stop_.reset();
    stopOpt_.reset();
    shutdown_.reset();
    emit Finished(result_, stored_);
    deleteLater();
}

// ---- adding ----

TNewAccountThread::TNewAccountThread(QWidget* parent, bool afterInstall, QString context, TEditorEnv env)
    : TAccountEditorThread(parent, std::move(context), std::move(env)), AfterInstall(afterInstall) {
    wait_.setInterval(env_.waitStepMs);
    QObject::connect(&wait_, &QTimer::timeout, this, [this] { WaitStep(); });
    QMetaObject::invokeMethod(
        this,
        [this] {
            OpenStopEvents(true);
            WaitStep();
        },
        Qt::QueuedConnection);
}

TNewAccountThread::~TNewAccountThread() {
    Wizard.reset();
    if (wizardMutex_ && mutexHeld_) {
        wizardMutex_->Unlock();
        gAfterInstallOpen = false;
    }
}

void TNewAccountThread::WaitStep() {
    if (StopSignalled(true)) {
        wait_.stop();
        End();
        return;
    }
    if (env_.installerRunning()) {
        wait_.start();
        return;
    }
    if (AfterInstall && !mutexHeld_) {
        // One after-install wizard at a time, in any process: the mutex is
        // held until this editor ends.
        if (!wizardMutex_) {
            wizardMutex_ = OpenOrCreateMutex(names::kWizardMutex);
        }
        mutexHeld_ = !gAfterInstallOpen && wizardMutex_ && wizardMutex_->Lock(0);
        gAfterInstallOpen = gAfterInstallOpen || mutexHeld_;
        if (!mutexHeld_) {
            if (!wizardMutex_ && !gAfterInstallOpen) {
                qCWarning(lcUi) << "the after-install wizard's mutex could not be opened; it waits no more";
            } else {
                wait_.start();
                return;
            }
        }
    }
    wait_.stop();
    if (!log::RunIsolated("editor", "opening the add-account wizard", [&] { Open(); })) {
        Wizard.reset();
        End();
    }
}

void TNewAccountThread::Open() {
    if (!env_.host) {
        qCWarning(lcUi) << "the add-account wizard needs the host's settings; it does not open";
        End();
        return;
    }
    if (!env_.host->WriteCfgBool(keys::kAfterInstallWizard, false)) {
        qCWarning(lcUi) << "the host did not take" << keys::kAfterInstallWizard.data();
    }
    Wizard = std::make_unique<TWizard>(ParentWindow, AfterInstall, WizardEnv());
    Wizard->NewAccountMode = true;
    Wizard->ButtonActionSet = env_.host->ReadCfgBool(keys::kButtonAction).value_or(false);
    Wizard->Prepare();
    Wizard->Form->show();
    ForceForegroundWindow(Wizard->Form);
    RunWizard(*Wizard, true);
}

void TNewAccountThread::WizardClosed() {
    if (!Wizard || ended_) {
        return;
    }
    poll_.stop();
    result_ = Wizard->Result();
    ReleaseOwner();
    Wizard->Form->hide();
    if (result_ == kResultAccept && env_.host && Wizard->AccountPage) {
        log::RunIsolated("editor", "storing the new account", [&] { Store(); });
    }
    Wizard.reset();
    End();
}

void TNewAccountThread::Store() {
    TAccountPage& page = *Wizard->AccountPage;
    const TConnectorClass* cls = page.AccountClass();
    const std::string settings = page.BuildSettingsText();
    if (!cls || settings.empty()) {
        qCWarning(lcUi) << "the new account's settings could not be made; nothing is stored";
        return;
    }
    const TPageChoices choices = page.Choices();
    TNewAccountChoices store;
    store.sendTo = choices.sendTo;
    store.defaultCompose = choices.defaultCompose;
    store.associateConfirmed = choices.associateConfirmed;
    store.associate = choices.associate;
    const std::optional<std::string> id = StoreNewAccount(*env_.host, *cls, settings, store);
    if (!id) {
        qCWarning(lcUi) << "the host did not store the new account of the type"
                        << QString::fromStdString(cls->TypeCode());
        return;
    }
    StoredId = *id;
    stored_ = true;
    if (store.sendTo && cls->Has(kCapSendFiles)) {
        TCryptURL record;
        const std::string email = record.DecodeParams(settings) ? record.GetParam("EMAIL") : std::string();
        if (!CreateSendToShortcut(email, StoredId)) {
            qCWarning(lcUi) << "the Send To entry of the new account" << QString::fromStdString(StoredId)
                            << "could not be made";
        }
    }
    // The refresh loads the stored list and with it the new account into the
    // running list (later, when a check pass holds the list now).
    if (env_.accountsChanged) {
        env_.accountsChanged();
    }
    if (env_.postRefresh) {
        env_.postRefresh();
    }
}

// ---- editing ----

TEditAccountThread::TEditAccountThread(int accountIndex, QString context, QWidget* parent, TEditorEnv env)
    : TAccountEditorThread(parent, std::move(context), std::move(env)), AccountIndex(accountIndex) {
    QMetaObject::invokeMethod(
        this, [this] { Open(); }, Qt::QueuedConnection);
}

TEditAccountThread::TEditAccountThread(std::string accountId, QString context, QWidget* parent,
                                       TEditorEnv env)
    : TAccountEditorThread(parent, std::move(context), std::move(env)), AccountId(std::move(accountId)) {
    QMetaObject::invokeMethod(
        this, [this] { Open(); }, Qt::QueuedConnection);
}

TEditAccountThread::~TEditAccountThread() {
    Wizard.reset();
}

void TEditAccountThread::Open() {
    if (AccountIndex < 0 && AccountId.empty()) {
        End();
        return;
    }
    OpenStopEvents(false);
    const bool opened = log::RunIsolated("editor", "opening the account editor", [&] {
        if (!env_.host || !env_.accounts) {
            qCWarning(lcUi) << "the account editor needs the host's settings; it does not open";
            return;
        }
        bool lockMissed = false;
        std::optional<AccountFacts> facts =
            FindAccountFacts(*env_.accounts, AccountIndex, AccountId, kFindAccountWaits, &lockMissed);
        if (!facts) {
            qCWarning(lcUi) << (lockMissed ? "the account list stayed busy; the editor did not open for"
                                           : "the account to edit is not in the list:")
                            << (AccountIndex >= 0 ? QString::number(AccountIndex)
                                                  : QString::fromStdString(AccountId));
            return;
        }
        key_ = facts->id;
        Wizard = std::make_unique<TWizard>(ParentWindow, false, WizardEnv());
        Wizard->ButtonActionSet = env_.host->ReadCfgBool(keys::kButtonAction).value_or(false);
        Wizard->PrepareEdit(facts->typeCode);
        if (TAccountPage* page = Wizard->AccountPage.get()) {
            page->ReadSettingsText(facts->settings);
            page->SetDefaultCompose(env_.host->ReadCfgStr(keys::kComposeAccount).value_or("") == key_);
            page->SettingsToControls();
            // OK follows the page's check: stored values that no longer pass
            // (a hand edit, an older version) are fixed before they are stored again.
            page->ValidatePage();
        } else {
            Wizard->NextButton->setEnabled(true);
        }
        Wizard->Prepare();
        Wizard->Form->show();
        ForceForegroundWindow(Wizard->Form);
        RunWizard(*Wizard, false);
    });
    if (!opened || !Wizard) {
        Wizard.reset();
        if (env_.accountsChanged) {
            env_.accountsChanged();
        }
        End();
    }
}

void TEditAccountThread::WizardClosed() {
    if (!Wizard || ended_) {
        return;
    }
    poll_.stop();
    result_ = Wizard->Result();
    ReleaseOwner();
    Wizard->Form->hide();
    if (result_ == kResultAccept && env_.host && Wizard->AccountPage) {
        log::RunIsolated("editor", "storing the edited account", [&] { Store(); });
    }
    Wizard.reset();
    if (env_.accountsChanged) {
        env_.accountsChanged();
    }
    End();
}

void TEditAccountThread::Store() {
    TAccountPage& page = *Wizard->AccountPage;
    const std::string settings = page.BuildSettingsText();
    const TPageChoices choices = page.Choices();
    if (settings.empty() || !UpdateStoredAccount(*env_.host, key_, settings, choices.sendTo)) {
        qCWarning(lcUi) << "the host did not store the changes of" << QString::fromStdString(key_);
        return;
    }
    stored_ = true;
    const std::vector<CfgWrite> writes = ChoiceWrites(choices, key_);
    if (!writes.empty() && !env_.host->WriteCfgBatch(writes)) {
        qCWarning(lcUi) << "the host did not store the compose or button choice of"
                        << QString::fromStdString(key_);
    }
    // The refresh loads the changed settings into the running account.
    if (env_.postRefresh) {
        env_.postRefresh();
    }
}

// ---- removing ----

TRemoveAccountThread::TRemoveAccountThread(int accountIndex, QString context, QWidget* parent, TEditorEnv env)
    : TAccountEditorThread(parent, std::move(context), std::move(env)), AccountIndex(accountIndex) {
    QMetaObject::invokeMethod(
        this, [this] { Run(); }, Qt::QueuedConnection);
}

void TRemoveAccountThread::Run() {
    log::RunIsolated("editor", "removing an account", [&] {
        if (!env_.accounts || AccountIndex < 0) {
            return;
        }
        bool lockMissed = false;
        std::optional<AccountFacts> facts =
            FindAccountFacts(*env_.accounts, AccountIndex, {}, kAddAccountWaits, &lockMissed);
        if (!facts) {
            if (lockMissed) {
                qCWarning(lcUi) << "the account list stayed busy; no account was removed";
            }
            return;
        }
        const QString text = QStringLiteral("Do you really want to remove \"%1\" account?")
                                 .arg(QString::fromStdString(facts->email));
        const bool yes =
            env_.confirmRemove ? env_.confirmRemove(text) : DefaultConfirmRemove(ParentWindow, text);
        if (!yes) {
            return;
        }
        result_ = kResultAccept;
        if (!env_.host) {
            qCWarning(lcUi) << "the account" << QString::fromStdString(facts->id)
                            << "could not be removed: the host's settings cannot be reached";
            return;
        }
        // The list line and the id's three values go in one batch; the
        // refresh then takes the account out of the running list.
        if (!RemoveStoredAccount(*env_.host, facts->id)) {
            qCWarning(lcUi) << "the host did not remove the account" << QString::fromStdString(facts->id);
            return;
        }
        stored_ = true;
        if (!DeleteSendToShortcut(facts->email)) {
            qCWarning(lcUi) << "the Send To entry of the removed account" << QString::fromStdString(facts->id)
                            << "could not be removed";
        }
        if (env_.host->ReadCfgStr(keys::kCurrentMailto).value_or("") == facts->id && env_.releaseMailto) {
            env_.releaseMailto(facts->id);
        }
        if (env_.resetButton) {
            env_.resetButton();
        }
    });
    if (env_.accountsChanged) {
        env_.accountsChanged();
    }
    if (env_.postRefresh) {
        env_.postRefresh();
    }
    End();
}

} // namespace nuvex
