#include "lib/xml.h"

#include "lib/codepage.h"
#include "lib/log.h"
#include "lib/text.h"

#include <algorithm>
#include <cstring>

namespace nuvex {
namespace {

// Spaces, tabs, line breaks and the other control characters all count as
// blanks, the same set trimming removes.
bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string UpperTrimmed(std::string_view s) {
    return text::ToUpperAscii(Trim(s));
}

// Both sides trimmed and compared without regard to case.
bool SameName(std::string_view a, std::string_view b) {
    return text::EqualsNoCase(Trim(a), Trim(b));
}

std::size_t SkipBlanks(std::string_view s, std::size_t i) {
    while (i < s.size() && IsBlank(s[i])) {
        ++i;
    }
    return i;
}

// Attributes of a tag body from i on. Returns true when a "/" between the
// attributes marks the tag as without content.
bool ReadAttributes(std::string_view body, std::size_t i, std::vector<MXMLTokenC::Attribute>& out) {
    bool noContent = false;
    for (;;) {
        i = SkipBlanks(body, i);
        if (i >= body.size()) {
            return noContent;
        }
        if (body[i] == '/') {
            noContent = true;
            ++i;
            continue;
        }
        const std::size_t nameStart = i;
        while (i < body.size() && !IsBlank(body[i]) && body[i] != '=' && body[i] != '/') {
            ++i;
        }
        if (i >= body.size() || body[i] != '=') {
            // A name without "=" right after it is no attribute; "a = 'x'" thus
            // records a nameless attribute, as it always has.
            continue;
        }
        const std::string_view name = Trim(body.substr(nameStart, i - nameStart));
        ++i;
        const std::size_t open = body.find_first_of("\"'", i);
        if (open == std::string_view::npos) {
            out.emplace_back(std::string(name), std::string());
            return noContent;
        }
        const std::size_t close = body.find(body[open], open + 1);
        const std::size_t end = close == std::string_view::npos ? body.size() : close;
        out.emplace_back(std::string(name), std::string(Trim(body.substr(open + 1, end - open - 1))));
        if (close == std::string_view::npos) {
            return noContent;
        }
        i = close + 1;
    }
}

// Finds the ">" that ends the tag opened at lt. A ">" inside a quoted
// attribute value does not end it; a value whose quote never closes falls
// back to the first ">", as a forgiving reader must. noMoreQuote remembers,
// per quote character, that none is left from some position on, so a text
// full of unclosed quotes is still scanned in linear time.
struct QuoteMemo {
    std::size_t noDoubleFrom = std::string_view::npos;
    std::size_t noSingleFrom = std::string_view::npos;
};

std::size_t FindQuote(std::string_view data, char quote, std::size_t from, QuoteMemo& memo) {
    std::size_t& none = quote == '"' ? memo.noDoubleFrom : memo.noSingleFrom;
    if (none != std::string_view::npos && from >= none) {
        return std::string_view::npos;
    }
    const void* at = std::memchr(data.data() + from, quote, data.size() - from);
    if (!at) {
        none = std::min(none, from);
        return std::string_view::npos;
    }
    return static_cast<std::size_t>(static_cast<const char*>(at) - data.data());
}

std::size_t FirstGreaterThan(std::string_view data, std::size_t from) {
    const void* at = std::memchr(data.data() + from, '>', data.size() - from);
    return at ? static_cast<std::size_t>(static_cast<const char*>(at) - data.data()) : std::string_view::npos;
}

std::size_t TagEnd(std::string_view data, std::size_t lt, QuoteMemo& memo) {
    if (data.substr(lt + 1, 3) == "!--") {
        // A comment ends at "-->" only; what it says is nobody's markup.
        const std::size_t close = data.find("-->", lt + 4);
        return close == std::string_view::npos ? std::string_view::npos : close + 2;
    }
    std::size_t i = lt + 1;
    while (i < data.size()) {
        const char c = data[i];
        if (c == '>') {
            return i;
        }
        if (c == '<') {
            // An unquoted "<" inside a tag: this tag was never closed.
            return FirstGreaterThan(data, lt + 1);
        }
        if (c != '=') {
            ++i;
            continue;
        }
        const std::size_t q = SkipBlanks(data, i + 1);
        if (q >= data.size() || (data[q] != '"' && data[q] != '\'')) {
            i = q;
            continue;
        }
        const std::size_t close = FindQuote(data, data[q], q + 1, memo);
        if (close == std::string_view::npos) {
            return FirstGreaterThan(data, lt + 1);
        }
        i = close + 1;
    }
    return std::string_view::npos;
}

constexpr std::string_view kCdataOpen = "<![CDATA[";

// CDATA content joins the element's text escaped as character data would be
// written, so that Text stays the undecoded form everywhere: a caller that
// decodes entities gets the section's characters back exactly ("&lt;" in a
// section stays "&lt;", not "<").
void AppendCdata(std::string& text, std::string_view content) {
    for (const char c : content) {
        switch (c) {
        case '&':
            text.append("&amp;");
            break;
        case '<':
            text.append("&lt;");
            break;
        case '>':
            text.append("&gt;");
            break;
        default:
            text.push_back(c);
        }
    }
}

void CopyTree(const MXMLTokenC& from, TXMLTag& to) {
    to.Name = from.Name;
    to.Text = from.Text;
    to.Attributes.reserve(from.Attributes.size());
    for (const auto& [name, value] : from.Attributes) {
        std::string line;
        line.reserve(name.size() + 1 + value.size());
        line.append(name).append(1, '=').append(value);
        to.Attributes.push_back(std::move(line));
    }
    to.Children.reserve(from.Children.size());
    for (const auto& child : from.Children) {
        auto tag = std::make_unique<TXMLTag>();
        tag->Parent = &to;
        // The token tree is at most kMaxXmlDepth deep, which bounds this recursion.
        CopyTree(*child, *tag);
        to.Children.push_back(std::move(tag));
    }
}

} // namespace

MXMLTokenC* MXMLTokenC::FindChild(std::string_view name, int n) const {
    if (n < 0) {
        return nullptr;
    }
    for (const auto& child : Children) {
        if (SameName(child->Name, name) && n-- == 0) {
            return child.get();
        }
    }
    return nullptr;
}

MXMLTokenC* MXMLTokenC::FindPath(const XmlPath& names, int n) const {
    auto* token = const_cast<MXMLTokenC*>(this);
    for (std::size_t i = 0; i < names.size() && token; ++i) {
        token = token->FindChild(names[i], i + 1 == names.size() ? n : 0);
    }
    return token;
}

std::string MXMLTokenC::GetText(const XmlPath& names, int n, std::string_view def) const {
    const MXMLTokenC* token = FindPath(names, n);
    return token ? token->Text : std::string(def);
}

std::string MXMLTokenC::GetAttr(const XmlPath& names, int n, std::string_view def,
                                std::string_view attribute) const {
    if (const MXMLTokenC* token = FindPath(names, n)) {
        for (const auto& [name, value] : token->Attributes) {
            if (SameName(name, attribute)) {
                return value;
            }
        }
    }
    return std::string(def);
}

MXMLTokenC* MXMLTokenC::FirstChild(std::string_view name) {
    IterName = UpperTrimmed(name);
    IterIndex = 0;
    return NextChild();
}

MXMLTokenC* MXMLTokenC::NextChild() {
    if (IterIndex < 0) {
        IterIndex = 0;
    }
    while (static_cast<std::size_t>(IterIndex) < Children.size()) {
        MXMLTokenC* child = Children[static_cast<std::size_t>(IterIndex)].get();
        ++IterIndex;
        if (SameName(child->Name, IterName)) {
            return child;
        }
    }
    return nullptr;
}

void MXMLParserC::Parse() {
    Root = std::make_unique<MXMLTokenC>();
    Position = 1;
    try {
        const std::string_view data(Data);
        std::size_t pos = 0;
        MXMLTokenC* current = Root.get();
        int depth = 0;
        QuoteMemo quotes;
        // Every round moves pos past one ">" or ends, and the work inside a
        // round is linear in the tag, so the whole run is linear in the text.
        for (;;) {
            const void* ltPtr = std::memchr(data.data() + pos, '<', data.size() - pos);
            if (!ltPtr) {
                break; // text after the last tag belongs to nothing
            }
            const auto lt = static_cast<std::size_t>(static_cast<const char*>(ltPtr) - data.data());
            current->Text.append(data.data() + pos, lt - pos);
            pos = lt;
            if (data.substr(lt, kCdataOpen.size()) == kCdataOpen) {
                const std::size_t contentStart = lt + kCdataOpen.size();
                const std::size_t close = data.find("]]>", contentStart);
                if (close == std::string_view::npos) {
                    break; // cut off: like a tag without its ">"
                }
                AppendCdata(current->Text, data.substr(contentStart, close - contentStart));
                pos = close + 3;
                continue;
            }
            const std::size_t gt = TagEnd(data, lt, quotes);
            if (gt == std::string_view::npos) {
                break;
            }
            const std::string_view body = data.substr(lt + 1, gt - lt - 1);

            if (!body.empty() && body[0] == '/') {
                // A closing tag closes the current element whatever its name; at
                // the top level it ends the document.
                pos = gt + 1;
                if (!current->Parent) {
                    break;
                }
                current = current->Parent;
                --depth;
                continue;
            }
            if (depth >= kMaxXmlDepth) {
                // Deeper nesting is not built; what we have stays.
                log::Warning("xml", "nesting deeper than " + std::to_string(kMaxXmlDepth) +
                                        " levels; the rest is not read");
                break;
            }
            pos = gt + 1;

            bool noContent = !body.empty() && (body[0] == '?' || body[0] == '!');
            std::size_t i = SkipBlanks(body, 0);
            const std::size_t nameStart = i;
            while (i < body.size() && !IsBlank(body[i]) && body[i] != '/') {
                ++i;
            }
            auto child = std::make_unique<MXMLTokenC>();
            child->Name.assign(body.substr(nameStart, i - nameStart));
            child->Parent = current;
            if (ReadAttributes(body, i, child->Attributes)) {
                noContent = true;
            }
            MXMLTokenC* added = child.get();
            current->Children.push_back(std::move(child));
            if (!noContent) {
                current = added;
                ++depth;
            }
        }
        Position = pos + 1;
    } catch (...) {
        log::Caught("xml", "MXMLParserC::Parse");
        // Out of memory part-way: the tree built so far stays.
    }
}

std::string XmlText(const MXMLParserC& parser, const XmlPath& names, int n, std::string_view def) {
    try {
        const std::string raw = parser.Root ? parser.Root->GetText(names, n, def) : std::string(def);
        return WideToAnsi(Utf8ToWide(raw));
    } catch (...) {
        log::Caught("xml", "XmlText");
        return std::string(def);
    }
}

std::string XmlAttr(const MXMLParserC& parser, const XmlPath& names, int n, std::string_view def,
                    std::string_view attribute) {
    try {
        const std::string raw =
            parser.Root ? parser.Root->GetAttr(names, n, def, attribute) : std::string(def);
        return WideToAnsi(Utf8ToWide(raw));
    } catch (...) {
        log::Caught("xml", "XmlAttr");
        return std::string(def);
    }
}

std::string XmlDocAttr(std::string_view text, const XmlPath& names, int n, std::string_view def,
                       std::string_view attribute) {
    try {
        MXMLParserC parser{std::string(text)};
        parser.Parse();
        return XmlAttr(parser, names, n, def, attribute);
    } catch (...) {
        log::Caught("xml", "XmlDocAttr");
        return std::string(def);
    }
}

std::unique_ptr<TXMLTag> BuildTagTree(std::string_view text) {
    try {
        MXMLParserC parser{std::string(text)};
        parser.Parse();
        auto root = std::make_unique<TXMLTag>();
        CopyTree(*parser.Root, *root);
        return root;
    } catch (...) {
        log::Caught("xml", "BuildTagTree");
        return nullptr;
    }
}

TXMLTag* FindTag(std::string_view name, TXMLTag* tag) {
    if (!tag) {
        return nullptr;
    }
    // Pre-order with an explicit stack: trees built by hand may be deeper than
    // the tokenizer would ever make them.
    struct Frame {
        TXMLTag* tag;
        std::size_t next;
    };
    if (tag->Name == name) {
        return tag;
    }
    std::vector<Frame> stack{{tag, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next >= top.tag->Children.size()) {
            stack.pop_back();
            continue;
        }
        TXMLTag* child = top.tag->Children[top.next++].get();
        if (!child) {
            continue;
        }
        if (child->Name == name) {
            return child;
        }
        stack.push_back({child, 0});
    }
    return nullptr;
}

} // namespace nuvex
