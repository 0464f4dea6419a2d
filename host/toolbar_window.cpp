#include "host/toolbar_window.h"

#include "contract/button_bitmap.h"
#include "host/toolbar_host.h"
#include "lib/branding.h"
#ifdef NUVEX_SETTINGS_DIALOG
#include "host/settings_module.h"
#endif

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

namespace nuvex::host {

ToolbarWindow::ToolbarWindow(ToolbarHost& host) : host_(host) {
    setWindowTitle(QString::fromStdString(Translate("%BRAND Toolbar")));
    setWindowIcon(QIcon(QPixmap::fromImage(DrawMainIcon())));
    bar_ = addToolBar(QStringLiteral("Plug-ins"));
    bar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    bar_->setMovable(false);
    notice_ = new QLabel(this);
    statusBar()->addWidget(notice_, 1);
    QMenu* plugins = menuBar()->addMenu(QStringLiteral("&Plug-ins"));
    for (const auto& slot : host_.Slots()) {
        const QString name = slot->name;
        QMenu* sub = plugins->addMenu(name);
        sub->addAction(QStringLiteral("Activate"), this, [this, name] { host_.Activate(name); });
        sub->addAction(QStringLiteral("Deactivate"), this, [this, name] { host_.Deactivate(name); });
        sub->addAction(QStringLiteral("Refresh"), this, [this, name] { host_.RefreshPlugin(name); });
        sub->addAction(QStringLiteral("Settings..."), this, [this, name] { host_.ShowSettings(name); });
    }
    plugins->addSeparator();
    plugins->addAction(QStringLiteral("&Quit"), this, &QWidget::close);
    connect(&host_, &ToolbarHost::ButtonsChanged, this, &ToolbarWindow::RefreshButtons);
    connect(&host_, &ToolbarHost::Notice, this, &ToolbarWindow::ShowNotice);
#ifdef NUVEX_SETTINGS_DIALOG
    // The dialog's module is loaded only when a dialog is first asked for.
    host_.SetSettingsOpener(
        [this](const QString& plugin) { OpenSettings(plugin); },
        [](QString* why) { return LoadSettingsModule(SettingsModuleFolder(), why) != nullptr; });
#endif
    resize(420, 90);
}

void ToolbarWindow::RefreshButtons(const QString& plugin) {
    PluginSlot* slot = host_.FindSlot(plugin);
    if (!slot) {
        return;
    }
    Entry& e = entries_[slot->name];
    if (!e.button) {
        const QString name = slot->name;
        e.button = new QToolButton(bar_);
        e.button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        e.button->setPopupMode(QToolButton::MenuButtonPopup);
        e.button->setMenu(new QMenu(e.button));
        connect(e.button, &QToolButton::clicked, this, [this, name] { host_.ClickButton(name); });
        connect(e.button->menu(), &QMenu::triggered, this, [this, name](QAction* action) {
            Entry& entry = entries_[name];
            if (const TMenuItem* item = FindMenuItem(entry.items, action->data().toInt())) {
                host_.RunMenuCommand(name, QString::fromStdString(item->command));
            }
        });
        e.buttonAction = bar_->addWidget(e.button);
        e.separator = bar_->addSeparator();
    }
    const ButtonState& b = slot->buttons[0];
    e.button->setText(b.caption);
    e.button->setToolTip(b.hint);
    QImage picture = ImageFromBmpBytes(b.picture);
    e.button->setIcon(picture.isNull() ? QIcon() : QIcon(QPixmap::fromImage(picture)));
    QMenu* menu = e.button->menu();
    const auto submenus = menu->findChildren<QMenu*>(Qt::FindDirectChildrenOnly);
    for (QMenu* sub : submenus) {
        delete sub;
    }
    menu->clear();
    e.items.clear();
    MenuOptions options;
    BuildMenu(SplitMenuLines(b.menuText.toStdString()), options, menu, e.items);
    e.buttonAction->setVisible(b.visible);
    e.separator->setVisible(slot->buttons[1].visible);
}

void ToolbarWindow::ShowNotice(const QString& text) {
    notice_->setText(text);
}

void ToolbarWindow::OpenSettings([[maybe_unused]] const QString& plugin) {
#ifdef NUVEX_SETTINGS_DIALOG
    if (QDialog* open = settings_.value(plugin)) {
        open->raise();
        open->activateWindow();
        return;
    }
    QString why;
    SettingsModule* module = LoadSettingsModule(SettingsModuleFolder(), &why);
    if (!module) {
        ShowNotice(why);
        return;
    }
    QDialog* dialog = module->Create(host_, plugin, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    settings_.insert(plugin, dialog);
    dialog->show();
    module->LoadPages(dialog);
#endif
}

} // namespace nuvex::host
