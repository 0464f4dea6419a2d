#pragma once
// The settings dialog lives in a module of its own, libbrannock_settings.so,
// because it needs Qt WebEngine: linked into brannock, the engine and the Qt
// Quick libraries it pulls in cost every run of the host some 23 MB of
// resident memory, though most sessions never open the dialog. brannock loads
// the module the first time a dialog is to be shown and keeps it loaded.
//
// The module exports one C function, kSettingsModuleEntry, that takes the
// host's interface version and answers its SettingsModule, or nothing when the
// versions differ. The module resolves the host's own symbols (ToolbarHost,
// SettingsSetup) from the program that loads it: that program is linked with
// its symbols exported.
#include <QString>
#include <functional>
#include <vector>

class QDialog;
class QWidget;

namespace nuvex::host {

class ToolbarHost;

// Raised whenever SettingsModule changes in any way.
inline constexpr int kSettingsModuleVersion = 1;
inline constexpr char kSettingsModuleFile[] = "libbrannock_settings.so";
inline constexpr char kSettingsModuleEntry[] = "brannock_settings_module";

class SettingsModule {
public:
    virtual int Version() const = 0;
    // A dialog for the plug-in's settings; it asks the plug-in for its pages on LoadPages
    // and signals Loaded(bool) once every page view has finished loading.
    virtual QDialog* Create(ToolbarHost& host, const QString& plugin, QWidget* parent) = 0;
    virtual void LoadPages(QDialog* dialog) = 0;
    // The page views in tab order (QWebEngineView each).
    virtual std::vector<QWidget*> Views(QDialog* dialog) = 0;
    // Answers the pages' yes/no questions instead of a message box (tests).
    virtual void SetConfirmAnswer(QDialog* dialog, std::function<bool(const QString&)> answer) = 0;

protected:
    ~SettingsModule() = default;
};

using SettingsModuleEntryFn = SettingsModule* (*)(int hostVersion);

// Called before the application object exists, for a host that may show the
// dialog: the web engine needs shared GL contexts, which cannot be turned on
// once the application is up, and as root its sandbox cannot start, which is
// then logged. Neither needs the engine itself.
void PrepareWebEngine();

// The folder brannock looks in: the one of its own executable.
QString SettingsModuleFolder();

// Loads the module from the folder (once per process and folder; a failure is
// tried again on the next call). Answers nothing when the module is missing,
// does not load or has another version; *error then says so for the user, and
// one line in the log names the file and the loader's reason.
SettingsModule* LoadSettingsModule(const QString& folder, QString* error);

} // namespace nuvex::host
