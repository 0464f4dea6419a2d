// libFuzzer entry over the menu description text: SplitMenuLines, ParseMenu,
// MenuCommandItems and EscapeMenuCaption (links nuvex_contract).
//
// Input: byte 0 picks the options (bit 0 search, bit 1 section "TRAY", bit 2
// a checked line given by the high bits); the rest is the menu text. Checked
// besides memory safety:
//   - every entry's source line is a line of the input, and its id is its
//     index plus the id base of its menu;
//   - only submenus have children, and the command items are items;
//   - the whole text used as an account name, escaped and put into an item
//     line "caption=CHECK_X", parses to exactly one item with the command
//     CHECK_X (texts without line ends).
// Seeds: fuzz/corpus/fuzz_menu; inputs that once failed: fuzz/regress/fuzz_menu.
#include "contract/menu_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using nuvex::MenuEntry;

void CheckEntries(const std::vector<MenuEntry>& entries, std::size_t lineCount) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const MenuEntry& e = entries[i];
        if (e.sourceLine < 0 || static_cast<std::size_t>(e.sourceLine) >= lineCount) {
            std::abort();
        }
        if (e.index != static_cast<int>(i) || e.Id() != e.idBase + e.index) {
            std::abort();
        }
        if (e.kind != MenuEntry::Kind::Submenu && !e.children.empty()) {
            std::abort();
        }
        CheckEntries(e.children, lineCount);
    }
}

void CheckCaptionCannotChangeTheMenu(std::string_view text) {
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        return;
    }
    const nuvex::MenuModel one = nuvex::ParseMenu({"$", nuvex::EscapeMenuCaption(text) + "=CHECK_X"}, {});
    const auto commands = nuvex::MenuCommandItems(one);
    if (one.entries.size() != 1 || commands.size() != 1 || commands[0]->command != "CHECK_X") {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::vector<std::string> lines = nuvex::SplitMenuLines(text);
    nuvex::MenuOptions options;
    options.search = (flags & 1) != 0;
    options.section = (flags & 2) != 0 ? "TRAY" : "";
    options.checkedLine = (flags & 4) != 0 ? static_cast<int>(flags >> 3) : -1;
    const nuvex::MenuModel model = nuvex::ParseMenu(lines, options);
    CheckEntries(model.entries, lines.size());
    for (const MenuEntry* item : nuvex::MenuCommandItems(model)) {
        if (item->kind != MenuEntry::Kind::Item) {
            std::abort();
        }
    }
    CheckCaptionCannotChangeTheMenu(text);
    return 0;
}
