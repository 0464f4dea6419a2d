#include "contract/menu_qt.h"

#include <QAction>
#include <QMenu>

namespace nuvex {
namespace {

void Fill(const std::vector<MenuEntry>& entries, QMenu* menu, int tag, int rootIdBase,
          std::vector<TMenuItem>& items) {
    for (const MenuEntry& e : entries) {
        switch (e.kind) {
        case MenuEntry::Kind::Separator:
            menu->addSeparator();
            break;
        case MenuEntry::Kind::Submenu: {
            QMenu* sub = menu->addMenu(QString::fromStdString(e.text));
            Fill(e.children, sub, tag, rootIdBase, items);
            break;
        }
        case MenuEntry::Kind::Item: {
            QAction* action = menu->addAction(QString::fromStdString(e.text));
            action->setData(e.Id());
            action->setEnabled(!e.grayed);
            if (e.checked) {
                action->setCheckable(true);
                action->setChecked(true);
            }
            TMenuItem rec;
            rec.tag = tag;
            rec.rootIdBase = rootIdBase;
            rec.menuIdBase = e.idBase;
            rec.menu = menu;
            rec.index = e.index;
            rec.sourceLine = e.sourceLine;
            rec.command = e.command;
            rec.hashMarked = e.hashMarked;
            items.push_back(std::move(rec));
            break;
        }
        }
    }
}

} // namespace

int BuildMenu(const std::vector<std::string>& lines, const MenuOptions& options, QMenu* target,
              std::vector<TMenuItem>& items, int tag) {
    MenuModel model = ParseMenu(lines, options);
    if (target) {
        Fill(model.entries, target, tag, options.rootIdBase, items);
    }
    return model.submenuCount;
}

const TMenuItem* FindMenuItem(const std::vector<TMenuItem>& items, int id) {
    for (const TMenuItem& item : items) {
        if (item.Id() == id) {
            return &item;
        }
    }
    return nullptr;
}

} // namespace nuvex
