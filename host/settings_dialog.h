#pragma once
// The settings dialog: one tab per page the plug-in names, each a web view of
// a page from the host's resources with its own "setup" object on a web
// channel. The views run in a private, memory-only profile that loads nothing
// but the host's resources: no network, no files, no other origin. A help
// link the pages open goes to the desktop's browser instead.
// Built into libbrannock_settings.so only (see host/settings_module.h).
#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

class QTabWidget;
class QWebEngineProfile;
class QWebEngineView;

namespace nuvex::host {

class ToolbarHost;

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(ToolbarHost& host, const QString& plugin, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    const QString& Plugin() const { return plugin_; }
    // Asks the plug-in for its pages and shows them; Loaded follows.
    void LoadPages();
    // The views in tab order (tests drive the pages through them).
    const std::vector<QWebEngineView*>& Views() const { return views_; }
    // Answers the pages' yes/no questions instead of a message box (tests).
    void SetConfirmAnswer(std::function<bool(const QString&)> answer) { confirm_ = std::move(answer); }
    bool Confirm(const QString& question);

Q_SIGNALS:
    // Every page view has finished loading (ok false when one failed or there were none).
    void Loaded(bool ok);

private:
    void ShowPages(const QString& text);

    ToolbarHost& host_;
    QString plugin_;
    QTabWidget* tabs_ = nullptr;
    QWebEngineProfile* profile_ = nullptr;
    std::vector<QWebEngineView*> views_;
    std::function<bool(const QString&)> confirm_;
    int pending_ = 0;
    bool allOk_ = true;
};

} // namespace nuvex::host
