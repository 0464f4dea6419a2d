#pragma once
// Fills a QMenu from a menu description (see menu_text.h). Each command item
// gets one record; an action's data() holds the item's command id.
#include "contract/menu_text.h"

#include <string>
#include <vector>

class QMenu;

namespace nuvex {

struct TMenuItem {
    int tag = 0; // nesting tag chosen by the caller
    int rootIdBase = 0;
    int menuIdBase = 0; // id base of the menu holding the item
    QMenu* menu = nullptr;
    int index = 0; // position within that menu
    int sourceLine = -1;
    std::string command;
    bool hashMarked = false;

    int Id() const { return menuIdBase + index; }
};

// Appends the entries to target and their records to items; answers the
// number of submenus made.
int BuildMenu(const std::vector<std::string>& lines, const MenuOptions& options, QMenu* target,
              std::vector<TMenuItem>& items, int tag = 0);

const TMenuItem* FindMenuItem(const std::vector<TMenuItem>& items, int id);

} // namespace nuvex
