#include "contract/menu_text.h"

#include "lib/text.h"

#include <algorithm>

namespace nuvex {
namespace {

bool IsBlank(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
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

std::string EscapeMenuCaptionPart(std::string_view part) {
    // "=" ends a caption and the format has no escape for it, so it becomes
    // the full-width equals sign U+FF1D, which reads the same:
    // "user=tag@example.org" must not turn into caption "user" with the
    // command "tag@example.org=CHECK_...".
    std::string out;
    for (char c : part) {
        if (c == '=') {
            out += "\xEF\xBC\x9D";
        } else {
            out += c;
        }
    }
    return out;
}

std::string EscapeMenuCaption(std::string_view caption) {
    std::string out;
    for (char c : EscapeMenuCaptionPart(caption)) {
        out += c;
        if (c == '&') {
            out += '&';
        }
    }
    // Besides the markers, a caption that would read as a marker itself ("!"),
    // a submenu ("+") or a comment ("//") is protected too: "!boss@x.org" must
    // keep its "!", and an account called "+team" must not swallow the items
    // after it into a submenu.
    if (!out.empty() &&
        (std::string_view("<$#>{+!").find(out.front()) != std::string_view::npos || StartsWith(out, "//"))) {
        out.insert(out.begin(), '!');
    }
    if (Utf8Length(out) > 50) {
        out = Utf8Prefix(out, 49) + "...";
    }
    return out;
}

namespace {

// A line's leading marker: removed from the caption, applied to the item.
void TakeMarker(std::string& caption, MenuEntry& item) {
    if (caption.empty()) {
        return;
    }
    switch (caption.front()) {
    case '#':
        item.hashMarked = true;
        break;
    case '>':
        item.checked = true;
        break;
    case '{':
        item.grayed = true;
        break;
    case '!': // protects a caption that would begin with a marker
        break;
    default:
        return;
    }
    caption.erase(0, 1);
}

// Reads the lines one by one into the model, one function per kind of line.
class MenuParser {
public:
    MenuParser(const std::vector<std::string>& lines, const MenuOptions& options, MenuModel& model)
        : options_(options), model_(model), wanted_("$" + text::ToUpperAscii(options.section)) {
        sectioned_ = std::any_of(lines.begin(), lines.end(),
                                 [](const std::string& l) { return l.find('$') != std::string::npos; });
        inSection_ = !sectioned_;
        stack_.push_back({&model_.entries, options_.rootIdBase});
    }

    // False once the menu has ended (the header of the next section).
    bool Line(int n, const std::string& raw) {
        if (IsBlank(raw)) {
            return true;
        }
        const std::string line = DoubleSingleAmpersands(raw);
        if (sectioned_ && line.front() == '$') {
            return SectionHeader(line);
        }
        if (!inSection_ || StartsWith(line, "//")) {
            return true;
        }
        if (line == "-") {
            Separator(n);
        } else if (line.front() == '+') {
            OpenSubmenu(line, n);
        } else if (line.front() == '<') {
            CloseSubmenu();
        } else {
            Item(line, n);
        }
        return true;
    }

private:
    struct Open {
        std::vector<MenuEntry>* entries;
        int idBase;
    };

    bool SectionHeader(const std::string& line) {
        if (inSection_) {
            return false;
        }
        inSection_ = options_.section.empty() || text::ToUpperAscii(line) == wanted_;
        return true;
    }

    void Separator(int n) {
        MenuEntry sep;
        sep.kind = MenuEntry::Kind::Separator;
        sep.sourceLine = n;
        Add(std::move(sep));
    }

    // Each submenu gets its own id range: root base + step x its number.
    void OpenSubmenu(const std::string& line, int n) {
        ++model_.submenuCount;
        MenuEntry sub;
        sub.kind = MenuEntry::Kind::Submenu;
        sub.text = line.substr(1);
        sub.sourceLine = n;
        MenuEntry& placed = Add(std::move(sub));
        stack_.push_back({&placed.children, options_.rootIdBase + options_.idStep * model_.submenuCount});
    }

    void CloseSubmenu() {
        if (stack_.size() > 1) {
            stack_.pop_back();
        }
    }

    void Item(const std::string& line, int n) {
        MenuEntry item;
        item.sourceLine = n;
        const auto eq = line.find('=');
        std::string caption = line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        TakeMarker(caption, item);
        const auto colon = value.find(':');
        const bool searchable = colon == std::string::npos || colon == 0;
        item.text = (options_.search && !item.hashMarked && searchable) ? "Search " + caption : caption;
        item.command = CommandOfValue(value);
        item.grayed = item.grayed || item.command.empty();
        item.checked = item.checked || n == options_.checkedLine;
        Add(std::move(item));
    }

    MenuEntry& Add(MenuEntry entry) {
        Open& top = stack_.back();
        entry.index = static_cast<int>(top.entries->size());
        entry.idBase = top.idBase;
        top.entries->push_back(std::move(entry));
        return top.entries->back();
    }

    const MenuOptions& options_;
    MenuModel& model_;
    std::string wanted_;
    bool sectioned_ = false;
    bool inSection_ = false;
    std::vector<Open> stack_;
};

} // namespace

MenuModel ParseMenu(const std::vector<std::string>& lines, const MenuOptions& options) {
    MenuModel model;
    MenuParser parser(lines, options, model);
    for (std::size_t n = 0; n < lines.size() && parser.Line(static_cast<int>(n), lines[n]); ++n) {
    }
    return model;
}

std::vector<const MenuEntry*> MenuCommandItems(const MenuModel& model) {
    std::vector<const MenuEntry*> out;
    Collect(model.entries, out);
    return out;
}

} // namespace nuvex
