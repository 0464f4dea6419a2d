#pragma once
// The hidden main window of the plug-in process: the tray icon with its popup
// menu, and the receiver of the process's registered messages (posted events,
// so that other objects and threads hand work to the GUI thread in order).
#include "contract/menu_qt.h"

#include <QImage>
#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

class QMenu;
class QSystemTrayIcon;

namespace nuvex {

class TMainForm : public QWidget {
    Q_OBJECT
public:
    // Where the tray menu's commands go.
    using CommandSink = std::function<void(const QString& command)>;
    explicit TMainForm(CommandSink execCommand);
    ~TMainForm() override;

    virtual void MenuCommand(QMenu* menu, int id);
    virtual bool IgnoreTrayDoubleClick() const { return false; }
    virtual void Shutdown() {}

    // Registered messages: one number per name for the life of the process.
    static int RegisterMessage(const QString& name);
    // Queued to the GUI thread; safe from any thread while the form lives.
    void PostMessage(int message, qint64 wParam = 0, qint64 lParam = 0);

    void SetTrayVisible(bool visible);
    // Shown on screen: wanted and a system tray exists.
    bool TrayShown() const;
    bool TrayWanted() const { return trayWanted_; }
    void SetTrayImage(const QImage& image);
    void SetTrayToolTip(const QString& text);

    QMenu* PopupMenu() const { return popup_; }
    std::vector<TMenuItem>& MenuItems() { return items_; }
    // Clears the popup menu and its records and builds it from the lines.
    int RebuildPopupMenu(const std::vector<std::string>& lines, const MenuOptions& options, int tag = 0);

protected:
    // A registered message arrived; answer true when it was handled.
    virtual bool OnMessage(int message, qint64 wParam, qint64 lParam);
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void ShowPopupAtCursor();

    CommandSink execCommand_;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* popup_ = nullptr;
    std::vector<TMenuItem> items_;
    bool trayWanted_ = false;
};

} // namespace nuvex
