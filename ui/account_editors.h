#pragma once
// The account editors: add an account through the four-page wizard, edit one
// through its settings page, remove one after a question. Each runs its steps
// as an object on the GUI thread, driven by timers, so that whoever started
// it returns at once; the owner window is disabled while it runs. The editor
// frees itself when done. What is stored goes through the account store that
// nuvex-account uses too, so either reads back exactly what the other wrote.
#include "contract/event_names.h"
#include "lib/plugin_settings.h"
#include "ui/account_wizard.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

namespace nuvex {

class HostConfig;
class NamedEvent;
class NamedMutex;

struct TEditorEnv {
    HostConfig* host = nullptr; // none: nothing can be stored
    TAccountList* accounts = nullptr;
    const TConnectorRegistry* types = nullptr;
    TPageFactory makePage;
    std::function<void(int tag)> openHelp;
    std::function<void()> openSignUp;
    std::function<void()> postRefresh;     // the controller reloads accounts and menu (queued)
    std::function<void()> accountsChanged; // sets the stamp the settings pages poll
    std::function<void()> resetButton;     // button and tray back to "no mail"
    // Gives mailto back to the mail client it had before; none: not done.
    std::function<void(const std::string& removedId)> releaseMailto;
    // Seams the tests replace; the defaults are message boxes.
    std::function<bool()> askDuplicate;
    std::function<bool(const QString& text)> confirmRemove;
    // Whether the installer still runs; default: "INNOWIN" under HKCU
    // "Software\Brannock\" names a live process.
    std::function<bool()> installerRunning;
    int waitStepMs = 500; // installer and after-install waits
    int pollMs = 100;     // stop events while the wizard is open
};

class TAccountEditorThread : public QObject {
    Q_OBJECT
public:
    ~TAccountEditorThread() override;

    QPointer<QWidget> ParentWindow;
    QString Context; // the host's context text, kept as given

    int Result() const { return result_; }

signals:
    // Once, just before the editor frees itself: the wizard's result (2 when
    // it never opened) and whether something was stored.
    void Finished(int result, bool stored);

protected:
    TAccountEditorThread(QWidget* parent, QString context, TEditorEnv env);
    TWizardEnv WizardEnv() const;
    // Runs the wizard until its result is not 0; the stop events set 2.
    void RunWizard(TWizard& wizard, bool withShutdown);
    void End();
    // The owner is disabled while this editor's wizard runs.
    void HoldOwner();
    void ReleaseOwner();
    virtual void WizardClosed() = 0;
    bool StopSignalled(bool withShutdown);
    void OpenStopEvents(bool withShutdown);

    TEditorEnv env_;
    std::unique_ptr<NamedEvent> stop_, stopOpt_, shutdown_;
    QTimer poll_;
    int result_ = kResultCancel;
    bool stored_ = false;
    bool ended_ = false;
    QWidget* heldOwner_ = nullptr; // only a key: the owner may be gone
};

class TNewAccountThread final : public TAccountEditorThread {
    Q_OBJECT
public:
    TNewAccountThread(QWidget* parent, bool afterInstall, QString context, TEditorEnv env);
    ~TNewAccountThread() override;

    std::unique_ptr<TWizard> Wizard;
    bool AfterInstall = false;
    std::string StoredId; // the new account's id once stored

private:
    void WaitStep();
    void Open();
    void WizardClosed() override;
    void Store();

    std::unique_ptr<NamedMutex> wizardMutex_;
    bool mutexHeld_ = false;
    QTimer wait_;
};

class TEditAccountThread final : public TAccountEditorThread {
    Q_OBJECT
public:
    TEditAccountThread(int accountIndex, QString context, QWidget* parent, TEditorEnv env);
    TEditAccountThread(std::string accountId, QString context, QWidget* parent, TEditorEnv env);
    ~TEditAccountThread() override;

    std::unique_ptr<TWizard> Wizard;
    int AccountIndex = -1;
    std::string AccountId;

private:
    void Open();
    void WizardClosed() override;
    void Store();

    std::string key_; // the edited account's id
};

class TRemoveAccountThread final : public TAccountEditorThread {
    Q_OBJECT
public:
    TRemoveAccountThread(int accountIndex, QString context, QWidget* parent, TEditorEnv env);

    int AccountIndex = -1;

private:
    void Run();
    void WizardClosed() override {}
};

// The installer check of the add editor: "INNOWIN" under HKCU
// "Software\Brannock\" names a process that still runs.
bool InstallerRunning();

} // namespace nuvex
