#pragma once
// The small always-available toolbar window: one button per plug-in with its
// caption, picture, hint and drop-down menu, and a line for notices.
#include "contract/menu_qt.h"

#include <QDialog>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <vector>

class QLabel;
class QToolBar;
class QToolButton;
class QAction;

namespace nuvex::host {

class ToolbarHost;

class ToolbarWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit ToolbarWindow(ToolbarHost& host);

    void RefreshButtons(const QString& plugin);
    void ShowNotice(const QString& text);
    // Shows the plug-in's settings dialog, or raises the one already open.
    void OpenSettings(const QString& plugin);

private:
    struct Entry {
        QToolButton* button = nullptr;
        QAction* buttonAction = nullptr;
        QAction* separator = nullptr;
        std::vector<TMenuItem> items;
    };

    ToolbarHost& host_;
    QToolBar* bar_ = nullptr;
    QLabel* notice_ = nullptr;
    QMap<QString, Entry> entries_;
    // Guarded: a dialog may close itself, or go with the window.
    QMap<QString, QPointer<QDialog>> settings_;
};

} // namespace nuvex::host
