#include "core/main_form.h"

#include "contract/button_bitmap.h"
#include "core/plugin_process.h"
#include "lib/log.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QHash>
#include <QMenu>
#include <QMutex>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace nuvex {
namespace {

class RegisteredMessageEvent : public QEvent {
public:
    RegisteredMessageEvent(int type, qint64 w, qint64 l)
        : QEvent(static_cast<QEvent::Type>(type)), w(w), l(l) {}
    qint64 w;
    qint64 l;
};

QMutex g_messagesMutex;
QHash<QString, int>& Messages() {
    static QHash<QString, int> messages;
    return messages;
}

bool IsRegisteredMessage(int type) {
    QMutexLocker lock(&g_messagesMutex);
    for (int v : std::as_const(Messages())) {
        if (v == type) {
            return true;
        }
    }
    return false;
}

} // namespace

TMainForm::TMainForm(CommandSink execCommand) : QWidget(nullptr), execCommand_(std::move(execCommand)) {
    setObjectName(PluginName() + QStringLiteral("WndClass"));
    setWindowTitle(PluginName() + QStringLiteral("WndClass"));
    QIcon icon(QPixmap::fromImage(DrawMainIcon()));
    setWindowIcon(icon);
    popup_ = new QMenu(this);
    connect(popup_, &QMenu::triggered, this, [this](QAction* action) {
        if (action && action->data().isValid()) {
            MenuCommand(popup_, action->data().toInt());
        }
    });
    tray_ = new QSystemTrayIcon(icon, this);
    tray_->setContextMenu(popup_); // right click; Qt re-adds the icon when the panel restarts
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick && !IgnoreTrayDoubleClick()) {
            ShowPopupAtCursor();
        }
    });
}

TMainForm::~TMainForm() = default;

int TMainForm::RegisterMessage(const QString& name) {
    QMutexLocker lock(&g_messagesMutex);
    auto it = Messages().constFind(name);
    if (it != Messages().constEnd()) {
        return it.value();
    }
    int type = QEvent::registerEventType();
    Messages().insert(name, type);
    return type;
}

void TMainForm::PostMessage(int message, qint64 wParam, qint64 lParam) {
    QCoreApplication::postEvent(this, new RegisteredMessageEvent(message, wParam, lParam));
}

bool TMainForm::event(QEvent* e) {
    if (e->type() >= QEvent::User && IsRegisteredMessage(e->type())) {
        auto* m = static_cast<RegisteredMessageEvent*>(e);
        try {
            OnMessage(e->type(), m->w, m->l);
        } catch (...) {
            log::Caught("plugin", "window message");
        }
        return true;
    }
    return QWidget::event(e);
}

bool TMainForm::OnMessage(int, qint64, qint64) {
    return false;
}

void TMainForm::closeEvent(QCloseEvent* e) {
    // The window lives as long as the process does.
    e->ignore();
}

void TMainForm::MenuCommand(QMenu*, int id) {
    if (const TMenuItem* item = FindMenuItem(items_, id); item && execCommand_) {
        execCommand_(QString::fromStdString(item->command));
    }
}

void TMainForm::ShowPopupAtCursor() {
    activateWindow();
    popup_->popup(QCursor::pos());
}

void TMainForm::SetTrayVisible(bool visible) {
    trayWanted_ = visible;
    if (visible && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_->show();
    } else {
        tray_->hide();
    }
}

bool TMainForm::TrayShown() const {
    return trayWanted_ && QSystemTrayIcon::isSystemTrayAvailable();
}

void TMainForm::SetTrayImage(const QImage& image) {
    tray_->setIcon(QIcon(QPixmap::fromImage(image)));
}

void TMainForm::SetTrayToolTip(const QString& text) {
    tray_->setToolTip(text);
}

int TMainForm::RebuildPopupMenu(const std::vector<std::string>& lines, const MenuOptions& options, int tag) {
    // clear() drops the actions but not the submenus addMenu() made as children.
    const auto submenus = popup_->findChildren<QMenu*>(Qt::FindDirectChildrenOnly);
    for (QMenu* sub : submenus) {
        delete sub;
    }
    popup_->clear();
    items_.clear();
    return BuildMenu(lines, options, popup_, items_, tag);
}

} // namespace nuvex
