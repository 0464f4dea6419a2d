#pragma once
// The menu description text shared by the toolbar button's drop-down and the
// tray menu: one line per entry, "caption=command" items, "-" separators,
// "+title" ... "<" submenus, "$" sections and "//" comments. The parser is
// Qt-free so that the host, the plug-in and the tests read menus the same way.
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

struct MenuEntry {
    enum class Kind { Item, Separator, Submenu };
    Kind kind = Kind::Item;
    std::string text;    // shown text (ampersands doubled: no accelerators)
    std::string command; // items only
    bool checked = false;
    bool grayed = false;
    bool hashMarked = false;         // the line began with "#"
    int sourceLine = -1;             // index into the input lines
    int index = 0;                   // position within its menu
    int idBase = 0;                  // id base of the menu holding the entry
    std::vector<MenuEntry> children; // submenus only

    int Id() const { return idBase + index; }
};

struct MenuModel {
    std::vector<MenuEntry> entries;
    int submenuCount = 0;
};

struct MenuOptions {
    std::string section; // empty: the first section
    int rootIdBase = 1000;
    int idStep = 100;
    int checkedLine = -1;
    bool search = false;
};

// Splits on CR LF, LF or CR.
std::vector<std::string> SplitMenuLines(std::string_view text);

MenuModel ParseMenu(const std::vector<std::string>& lines, const MenuOptions& options);

// Every command item of the model, depth first, in menu order.
std::vector<const MenuEntry*> MenuCommandItems(const MenuModel& model);

// Makes a free text (an account name) safe to put into a menu line as a caption.
std::string EscapeMenuCaption(std::string_view caption);
// The same for a free text inside a caption that begins with fixed words
// ("Go to " + name): only the "=" that would end the caption is replaced.
std::string EscapeMenuCaptionPart(std::string_view part);

// A single "&" becomes "&&"; an existing "&&" stays as it is.
std::string DoubleSingleAmpersands(std::string_view line);

} // namespace nuvex
