#include "contract/menu_text.h"

#include <algorithm>
#include <cctype>

namespace nuvex {
namespace {

bool IsBlank(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// "12:CMD" and ":CMD" carry a number the menu has no use for; anything else
// (a URL such as "https://...") is the command as it stands.
std::string CommandOfValue(std::string_view value) {
    auto colon = value.find(':');
    if (colon == std::string_view::npos) {
        return std::string(value);
    }
    std::string_view head = value.substr(0, colon);
    if (!head.empty() && head.front() == '-') {
        head.remove_prefix(1);
        if (head.empty()) {
            return std::string(value);
        }
    }
    bool digits = std::all_of(head.begin(), head.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? std::string(value.substr(colon + 1)) : std::string(value);
}

// Counts UTF-8 code points so that a cut never splits a character.
std::size_t Utf8Length(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++n;
        }
    }
    return n;
}

std::string Utf8Prefix(std::string_view s, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (seen == count) {
                return std::string(s.substr(0, i));
            }
            ++seen;
        }
    }
    return std::string(s);
}

void Collect(const std::vector<MenuEntry>& entries, std::vector<const MenuEntry*>& out) {
    for (const MenuEntry& e : entries) {
        if (e.kind == MenuEntry::Kind::Item) {
            out.push_back(&e);
        } else if (e.kind == MenuEntry::Kind::Submenu) {
            Collect(e.children, out);
        }
    }
}

} // namespace

std::vector<std::string> SplitMenuLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.emplace_back(text.substr(start));
    }
    return lines;
}

std::string DoubleSingleAmpersands(std::string_view line) {
    std::string out;
    out.reserve(line.size() + 4);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '&') {
            out += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '&') {
            out += "&&";
            ++i;
        } else {
            out += "&&";
        }
    }
    return out;
}

std::string EscapeMenuCaption(std::string_view caption) {
    std::string out;
    for (char c : caption) {
        out += c;
        if (c == '&') {
            out += '&';
        }
    }
    // Besides the markers, a caption that would read as a submenu ("+") or a
    // comment ("//") is protected too: an account called "+team" must not
    // swallow the items after it into a submenu.
    if (!out.empty() &&
        (std::string_view("<$#>{+").find(out.front()) != std::string_view::npos || StartsWith(out, "//"))) {
        out.insert(out.begin(), '!');
    }
    if (Utf8Length(out) > 50) {
        out = Utf8Prefix(out, 49) + "...";
    }
    return out;
}

MenuModel ParseMenu(const std::vector<std::string>& lines, const MenuOptions& options) {
    MenuModel model;
    bool sectioned = std::any_of(lines.begin(), lines.end(),
                                 [](const std::string& l) { return l.find('$') != std::string::npos; });
    bool inSection = !sectioned;
    std::string wanted = "$" + Upper(options.section);

    struct Open {
        std::vector<MenuEntry>* entries;
        int idBase;
    };
    std::vector<Open> stack{{&model.entries, options.rootIdBase}};

    auto add = [&](MenuEntry entry) -> MenuEntry& {
        Open& top = stack.back();
        entry.index = static_cast<int>(top.entries->size());
        entry.idBase = top.idBase;
        top.entries->push_back(std::move(entry));
        return top.entries->back();
    };

    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& raw = lines[n];
        if (IsBlank(raw)) {
            continue;
        }
        std::string line = DoubleSingleAmpersands(raw);
        if (sectioned && line.front() == '$') {
            if (inSection) {
                break; // the next section header ends the menu
            }
            if (options.section.empty() || Upper(line) == wanted) {
                inSection = true;
            }
            continue;
        }
        if (!inSection || StartsWith(line, "//")) {
            continue;
        }
        if (line == "-") {
            MenuEntry sep;
            sep.kind = MenuEntry::Kind::Separator;
            sep.sourceLine = static_cast<int>(n);
            add(std::move(sep));
            continue;
        }
        if (line.front() == '+') {
            ++model.submenuCount;
            MenuEntry sub;
            sub.kind = MenuEntry::Kind::Submenu;
            sub.text = line.substr(1);
            sub.sourceLine = static_cast<int>(n);
            MenuEntry& placed = add(std::move(sub));
            stack.push_back({&placed.children, options.rootIdBase + options.idStep * model.submenuCount});
            continue;
        }
        if (line.front() == '<') {
            if (stack.size() > 1) {
                stack.pop_back();
            }
            continue;
        }

        MenuEntry item;
        item.sourceLine = static_cast<int>(n);
        auto eq = line.find('=');
        std::string caption = line.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (!caption.empty()) {
            switch (caption.front()) {
            case '#':
                item.hashMarked = true;
                caption.erase(0, 1);
                break;
            case '>':
                item.checked = true;
                caption.erase(0, 1);
                break;
            case '{':
                item.grayed = true;
                caption.erase(0, 1);
                break;
            case '!':
                caption.erase(0, 1);
                break;
            default:
                break;
            }
        }
        auto colon = value.find(':');
        bool searchable = colon == std::string::npos || colon == 0;
        item.text = (options.search && !item.hashMarked && searchable) ? "Search " + caption : caption;
        item.command = CommandOfValue(value);
        if (item.command.empty()) {
            item.grayed = true;
        }
        if (static_cast<int>(n) == options.checkedLine) {
            item.checked = true;
        }
        add(std::move(item));
    }
    return model;
}

std::vector<const MenuEntry*> MenuCommandItems(const MenuModel& model) {
    std::vector<const MenuEntry*> out;
    Collect(model.entries, out);
    return out;
}

} // namespace nuvex
