#pragma once
// A forgiving tag tokenizer for the small XML replies of web services and
// feeds, with path look-ups. It knows elements, attributes in single or double
// quotes (a ">" inside a quoted value does not end the tag), text between tags
// and CDATA sections; declarations and comments become childless elements. No
// namespaces, DTDs or entity decoding: callers decode entities themselves, and
// a CDATA section's text is kept escaped ("&", "<", ">" as entities) so that
// decoding gives its characters back unchanged. Malformed markup never fails,
// it only gives a shallower or odd tree.
//
// Names of tags keep their marker: the "<?xml ...?>" declaration is a child of
// the root named "?xml", a comment "<!-- a -->" one named "!--".
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nuvex {

// Element names, outermost first: {"NewMsgsList", "Hdrs", "Hdr"}.
using XmlPath = std::vector<std::string_view>;

// Elements nested deeper than this are not built: the tokenizer stops at the
// first tag that would open level kMaxXmlDepth + 1 and keeps what it has.
constexpr int kMaxXmlDepth = 256;

class MXMLTokenC {
public:
    using Attribute = std::pair<std::string, std::string>;

    std::string IterName;              // upper-cased name iterated by FirstChild/NextChild
    std::int32_t IterIndex = 0;        // next child index NextChild examines
    std::string Name;                  // as written
    std::string Text;                  // all text runs directly inside, raw bytes
    std::vector<Attribute> Attributes; // in document order, names and values trimmed
    MXMLTokenC* Parent = nullptr;
    std::vector<std::unique_ptr<MXMLTokenC>> Children;

    // The n-th (0-based) child whose trimmed name matches, without regard to case.
    MXMLTokenC* FindChild(std::string_view name, int n = 0) const;
    // One level per name; n applies to the last name only. The token itself for
    // an empty path.
    MXMLTokenC* FindPath(const XmlPath& names, int n = 0) const;
    // Text of the element FindPath finds, else def.
    std::string GetText(const XmlPath& names, int n, std::string_view def) const;
    // The value of the first attribute whose trimmed name matches without regard
    // to case, on the element FindPath finds; else def.
    std::string GetAttr(const XmlPath& names, int n, std::string_view def, std::string_view attribute) const;
    // Children with one name in turn: FirstChild remembers the name and starts
    // over, NextChild answers the next match or nullptr.
    MXMLTokenC* FirstChild(std::string_view name);
    MXMLTokenC* NextChild();
};

class MXMLParserC {
public:
    MXMLParserC() = default;
    explicit MXMLParserC(std::string data) : Data(std::move(data)) {}

    // Discards any previous tree and tokenizes Data into a new root (empty
    // name; the top-level elements are its children). Never throws: on failure
    // the tree built so far stays.
    void Parse();

    std::size_t Position = 1; // 1-based index into Data where tokenizing stopped
    std::string Data;
    std::unique_ptr<MXMLTokenC> Root = std::make_unique<MXMLTokenC>();
};

// GetText/GetAttr on the parser's root, then the value (or the default) is
// decoded from UTF-8 and converted to the ANSI code page.
std::string XmlText(const MXMLParserC& parser, const XmlPath& names, int n, std::string_view def);
std::string XmlAttr(const MXMLParserC& parser, const XmlPath& names, int n, std::string_view def,
                    std::string_view attribute);
// XmlAttr on a whole text parsed for the purpose, e.g. the encoding of a reply:
// XmlDocAttr(reply, {"?xml"}, 0, "", "encoding").
std::string XmlDocAttr(std::string_view text, const XmlPath& names, int n, std::string_view def,
                       std::string_view attribute);

// The second tree form, for depth-first searches by exact name.
class TXMLTag {
public:
    std::string Name;
    std::string Text;
    std::vector<std::string> Attributes; // "name=value" lines
    std::vector<std::unique_ptr<TXMLTag>> Children;
    TXMLTag* Parent = nullptr;
};

// Tokenizes text and copies the tree (root with an empty name); nullptr on failure.
std::unique_ptr<TXMLTag> BuildTagTree(std::string_view text);
// tag itself when its name equals name exactly (case matters), else the first
// match of a pre-order search of its children; nullptr when none.
TXMLTag* FindTag(std::string_view name, TXMLTag* tag);

} // namespace nuvex
