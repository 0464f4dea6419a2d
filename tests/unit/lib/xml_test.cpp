#include "lib/codepage.h"
#include "lib/registry.h"
#include "lib/xml.h"
#include "tests/support/time_scale.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>

namespace nuvex {
namespace {

std::string Fixture(const std::string& name) {
    std::ifstream in(std::string(NUVEX_TEST_DATA) + "/xml/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

MXMLParserC Parsed(std::string text) {
    MXMLParserC p{std::move(text)};
    p.Parse();
    return p;
}

int Depth(const MXMLTokenC& root) {
    int depth = 0;
    for (const MXMLTokenC* t = &root; !t->Children.empty(); t = t->Children.back().get()) {
        ++depth;
    }
    return depth;
}

class XmlTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = AnsiCodePage(); }
    void TearDown() override { SetAnsiCodePage(saved_); }
    int saved_ = 0;
};

TEST_F(XmlTest, ReplyWithoutTagsGivesEmptyRootAndDefaults) {
    for (const char* text : {"", "plain text, no markup", "a > b"}) {
        MXMLParserC p = Parsed(text);
        ASSERT_TRUE(p.Root);
        EXPECT_TRUE(p.Root->Children.empty()) << text;
        EXPECT_EQ(p.Root->Text, "") << text; // text after the last tag belongs to nothing
        EXPECT_EQ(p.Root->GetText({"NewMsgsList"}, 0, "dflt"), "dflt");
        EXPECT_EQ(p.Root->GetAttr({"NewMsgsList"}, 0, "dflt", "Status"), "dflt");
        EXPECT_EQ(XmlText(p, {"A", "B"}, 0, "none"), "none");
        EXPECT_EQ(XmlAttr(p, {"A"}, 0, "none", "x"), "none");
        EXPECT_EQ(p.Root->FirstChild("Hdr"), nullptr);
    }
}

TEST_F(XmlTest, ReadsAServiceReplyByPath) {
    SetAnsiCodePage(kCodePageUtf8);
    MXMLParserC p = Parsed(Fixture("newmsgs_utf8.xml"));
    EXPECT_EQ(XmlDocAttr(p.Data, {"?xml"}, 0, "", "encoding"), "utf-8");
    EXPECT_EQ(XmlAttr(p, {"NewMsgsList"}, 0, "", "Status"), "OK");
    EXPECT_EQ(XmlAttr(p, {"NewMsgsList"}, 0, "-1", "Unread"), "7");
    EXPECT_EQ(XmlText(p, {"NewMsgsList", "NextIds"}, 0, ""), "103,102,101,");
    EXPECT_EQ(XmlAttr(p, {"NewMsgsList", "Hdrs", "Hdr"}, 0, "0", "MID"), "104");
    EXPECT_EQ(XmlAttr(p, {"NewMsgsList", "Hdrs", "Hdr"}, 1, "0", "Subject"), "Re: \"quoted\" subject");
    EXPECT_EQ(XmlAttr(p, {"NewMsgsList", "Hdrs", "Hdr", "From", "Addr"}, 0, "", "Name"),
              "Zo\xC3\xAB M\xC3\xBCller");
    // Entities are left for the caller.
    EXPECT_EQ(XmlAttr(p, {"NewMsgsList", "Hdrs", "Hdr"}, 0, "", "Subject"), "Caf&#233; plans");
    EXPECT_EQ(XmlText(p, {"NewMsgsList", "ErrDetail"}, 0, "missing"), "missing");

    MXMLTokenC* hdrs = p.Root->FindPath({"NewMsgsList", "Hdrs"});
    ASSERT_NE(hdrs, nullptr);
    std::vector<std::string> mids;
    for (MXMLTokenC* h = hdrs->FirstChild("hdr"); h; h = hdrs->NextChild()) {
        mids.push_back(h->GetAttr({}, 0, "", "mid"));
        EXPECT_EQ(h->Parent, hdrs);
    }
    EXPECT_EQ(mids, (std::vector<std::string>{"104", "99", "98"}));
    // Starting over resets the iteration.
    ASSERT_NE(hdrs->FirstChild("HDR"), nullptr);
    EXPECT_EQ(hdrs->NextChild()->GetAttr({}, 0, "", "MID"), "99");
}

TEST_F(XmlTest, FindChildCountsFromZeroAmongSameNamedChildrenOnly) {
    MXMLParserC p = Parsed("<r><x v='0'/><y/><X v='1'/><x v='2'/></r>");
    const MXMLTokenC* r = p.Root->FindChild("r");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->FindChild("x", 0)->GetAttr({}, 0, "", "v"), "0");
    EXPECT_EQ(r->FindChild("x", 1)->GetAttr({}, 0, "", "v"), "1");
    EXPECT_EQ(r->FindChild(" x ", 2)->GetAttr({}, 0, "", "v"), "2");
    EXPECT_EQ(r->FindChild("x", 3), nullptr);
    EXPECT_EQ(r->FindChild("x", -1), nullptr);
    // n applies to the last name of a path only.
    EXPECT_EQ(p.Root->GetAttr({"R", "X"}, 2, "", "V"), "2");
    EXPECT_EQ(p.Root->GetAttr({"R", "Z"}, 0, "def", "V"), "def");
    EXPECT_EQ(p.Root->GetAttr({"R", "X"}, 0, "def", "missing"), "def");
}

TEST_F(XmlTest, TokenLookupsIgnoreCaseButFindTagDoesNot) {
    const std::string text = "<Root><Item Name='a'><Sub/></Item><item Name='b'/></Root>";
    MXMLParserC p = Parsed(text);
    EXPECT_EQ(p.Root->GetAttr({"root", "ITEM"}, 1, "", "NAME"), "b");

    auto tree = BuildTagTree(text);
    ASSERT_TRUE(tree);
    EXPECT_EQ(FindTag("item", tree.get())->Attributes, (std::vector<std::string>{"Name=b"}));
    EXPECT_EQ(FindTag("Item", tree.get())->Attributes, (std::vector<std::string>{"Name=a"}));
    EXPECT_EQ(FindTag("ITEM", tree.get()), nullptr);
    EXPECT_EQ(FindTag("", tree.get()), tree.get()); // the root's name is empty
}

TEST_F(XmlTest, FindTagSearchesDepthFirstInDocumentOrder) {
    auto tree = BuildTagTree("<r><a><x id='deep'/></a><x id='shallow'/></r>");
    ASSERT_TRUE(tree);
    TXMLTag* x = FindTag("x", tree.get());
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->Attributes, (std::vector<std::string>{"id=deep"}));
    EXPECT_EQ(x->Parent->Name, "a");
    EXPECT_EQ(FindTag("x", tree->Children[0]->Children[1].get())->Attributes[0], "id=shallow");
    EXPECT_EQ(FindTag("none", tree.get()), nullptr);
    EXPECT_EQ(FindTag("x", nullptr), nullptr);
}

TEST_F(XmlTest, KeepsTheTokenizersOddButKnownResults) {
    // A closing tag closes the current element whatever its name.
    MXMLParserC p = Parsed("<a><b></c>after<d/></a>");
    EXPECT_EQ(p.Root->GetText({"a"}, 0, ""), "after");
    EXPECT_NE(p.Root->FindPath({"a", "d"}), nullptr);

    // Text runs directly inside an element are joined; child text is not included.
    p = Parsed("<a> x <b>inner</b> y </a>");
    EXPECT_EQ(p.Root->GetText({"a"}, 0, ""), " x  y ");

    // Declarations and comments are childless elements named by their first word.
    p = Parsed("<?xml version='1.0'?><!-- note --><a/>");
    ASSERT_EQ(p.Root->Children.size(), 3u);
    EXPECT_EQ(p.Root->Children[0]->Name, "?xml");
    EXPECT_EQ(p.Root->Children[1]->Name, "!--");
    EXPECT_EQ(p.Root->Children[2]->Name, "a");

    // A stray closing tag at the top ends the document.
    p = Parsed("</x><a/>");
    EXPECT_TRUE(p.Root->Children.empty());

    // Values are trimmed; "=" needs the name right before it.
    p = Parsed("<a v = '  spaced  ' w=\"it's\" q=unquoted/>");
    ASSERT_EQ(p.Root->Children.size(), 1u);
    const auto& attrs = p.Root->Children[0]->Attributes;
    ASSERT_EQ(attrs.size(), 3u);
    EXPECT_EQ(attrs[0], (MXMLTokenC::Attribute{"", "spaced"}));
    EXPECT_EQ(attrs[1], (MXMLTokenC::Attribute{"w", "it's"}));
    EXPECT_EQ(attrs[2], (MXMLTokenC::Attribute{"q", ""}));
}

TEST_F(XmlTest, GreaterThanInsideAQuotedValueDoesNotEndTheTag) {
    struct Row {
        const char* xml;
        const char* attr;
        const char* text;
    };
    const Row rows[] = {
        {"<a title=\"x>y\">t</a>", "x>y", "t"},
        {"<a title='x>y' b=\"1\">t</a>", "x>y", "t"},
        {"<a title= \"p > q\" >t</a>", "p > q", "t"},
        // A quote that is no value's opening quote means nothing.
        {"<a title=x>y\">t</a>", "", "y\">t"},
        // A value whose quote never closes falls back to the first ">".
        {"<a title=\"never closed>text</a>", "never closed", "text"},
    };
    for (const Row& row : rows) {
        MXMLParserC p = Parsed(row.xml);
        EXPECT_EQ(p.Root->GetAttr({"a"}, 0, "", "title"), row.attr) << row.xml;
        EXPECT_EQ(p.Root->GetText({"a"}, 0, ""), row.text) << row.xml;
    }
    // A comment ends at "-->", not at a ">" it contains.
    MXMLParserC p = Parsed("<r><!-- a > b --><c>in c</c></r>");
    EXPECT_EQ(p.Root->GetText({"r", "c"}, 0, ""), "in c");
    ASSERT_NE(p.Root->FindChild("r"), nullptr);
    EXPECT_EQ(p.Root->FindChild("r")->Children.size(), 2u);
}

TEST_F(XmlTest, CdataIsTextKeptInItsEscapedForm) {
    struct Row {
        const char* xml;
        const char* text;
    };
    const Row rows[] = {
        {"<t><![CDATA[Caf\xC3\xA9 <b>bold</b>]]></t>", "Caf\xC3\xA9 &lt;b&gt;bold&lt;/b&gt;"},
        {"<t>a <![CDATA[Tom & Jerry]]> b</t>", "a Tom &amp; Jerry b"},
        {"<t><![CDATA[already &lt; escaped]]></t>", "already &amp;lt; escaped"},
        {"<t><![CDATA[]]></t>", ""},
        // "]]" without ">" and a lone "]" stay inside the section.
        {"<t><![CDATA[x]]y]z]]></t>", "x]]y]z"},
        // A cut-off section ends the parse like a tag without its ">".
        {"<t>kept<![CDATA[lost</t>", "kept"},
    };
    for (const Row& row : rows) {
        MXMLParserC p = Parsed(row.xml);
        EXPECT_EQ(p.Root->GetText({"t"}, 0, "none"), row.text) << row.xml;
    }
    // A section does not open or close elements.
    MXMLParserC p = Parsed("<r><t><![CDATA[</t><u>]]></t><v/></r>");
    const MXMLTokenC* r = p.Root->FindChild("r");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->Children.size(), 2u);
    EXPECT_EQ(r->Children[0]->Text, "&lt;/t&gt;&lt;u&gt;");
    EXPECT_TRUE(r->Children[0]->Children.empty());
    EXPECT_EQ(r->Children[1]->Name, "v");
}

TEST_F(XmlTest, SlashBetweenAttributesMakesTheTagChildless) {
    MXMLParserC p = Parsed("<r><a x='1'/><b/><c y='2' / ><d>in d</d></r>");
    const MXMLTokenC* r = p.Root->FindChild("r");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->Children.size(), 4u);
    for (const auto& c : r->Children) {
        EXPECT_EQ(c->Parent, r);
    }
    EXPECT_EQ(r->Children[3]->Text, "in d");
    // A slash inside a quoted value is no marker.
    p = Parsed("<a href='http://x/y'><b/></a>");
    EXPECT_NE(p.Root->FindPath({"a", "b"}), nullptr);
}

TEST_F(XmlTest, TruncatedAndUnterminatedMarkupKeepsWhatWasRead) {
    MXMLParserC p = Parsed("<a>one<b x='1'>two<c");
    EXPECT_EQ(p.Root->GetText({"a"}, 0, ""), "one");
    EXPECT_EQ(p.Root->GetText({"a", "b"}, 0, ""), "two");
    EXPECT_EQ(p.Root->FindPath({"a", "b", "c"}), nullptr);

    p = Parsed("<a v=>x</a><>y</><b/>");
    EXPECT_EQ(p.Root->GetAttr({"a"}, 0, "d", "v"), "");
    ASSERT_EQ(p.Root->Children.size(), 3u);
    EXPECT_EQ(p.Root->Children[1]->Name, "");
}

TEST_F(XmlTest, DeepNestingStopsAtTheBoundWithoutOverflow) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "<e>";
    }
    deep += "bottom";
    for (int i = 0; i < 100000; ++i) {
        deep += "</e>";
    }
    MXMLParserC p = Parsed(deep);
    EXPECT_EQ(Depth(*p.Root), kMaxXmlDepth);
    auto tree = BuildTagTree(deep);
    ASSERT_TRUE(tree);
    EXPECT_EQ(FindTag("missing", tree.get()), nullptr);

    // Just inside the bound everything is kept.
    std::string fits;
    for (int i = 0; i < kMaxXmlDepth; ++i) {
        fits += "<e>";
    }
    fits += "bottom</e>";
    p = Parsed(fits);
    EXPECT_EQ(Depth(*p.Root), kMaxXmlDepth);
    const MXMLTokenC* t = p.Root.get();
    while (!t->Children.empty()) {
        t = t->Children.back().get();
    }
    EXPECT_EQ(t->Text, "bottom");
}

TEST_F(XmlTest, WideFlatAndRandomInputsEndQuickly) {
    std::string flat;
    for (int i = 0; i < 100000; ++i) {
        flat += "<i a='1'/>";
    }
    EXPECT_EQ(Parsed(flat).Root->Children.size(), 100000u);

    // Every tag opens a quote that never closes, or a section or comment
    // that never ends: each must still be read in linear time.
    for (const std::string& unit : {std::string("<i a=\"x>"), std::string("<i a='x>"),
                                    std::string("<![CDATA[<i>"), std::string("<!--<i>")}) {
        std::string hostile;
        while (hostile.size() < (1u << 20)) {
            hostile += unit;
        }
        const auto start = std::chrono::steady_clock::now();
        (void)Parsed(hostile);
        EXPECT_LT(std::chrono::steady_clock::now() - start, nuvex::test::Scaled(std::chrono::seconds(2)))
            << unit;
    }

    std::mt19937 rng(3);
    const std::string pieces[] = {"<", ">", "/",   "'",         "\"",  "=",    "a",    " ", "?",
                                  "!", "[", "]]>", "<![CDATA[", "-->", "\xC3", "\xFC", "\n"};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int len = static_cast<int>(rng() % 200);
        for (int i = 0; i < len; ++i) {
            text +=
                (round % 2) ? pieces[rng() % std::size(pieces)] : std::string(1, static_cast<char>(rng()));
        }
        MXMLParserC p = Parsed(text);
        ASSERT_TRUE(p.Root);
        (void)XmlText(p, {"a"}, 0, "");
        ASSERT_TRUE(BuildTagTree(text));
    }
}

TEST_F(XmlTest, ParseReplacesThePreviousTree) {
    MXMLParserC p = Parsed("<a/>");
    p.Data = "<b/>";
    p.Parse();
    ASSERT_EQ(p.Root->Children.size(), 1u);
    EXPECT_EQ(p.Root->Children[0]->Name, "b");
}

TEST_F(XmlTest, ValuesAreDecodedFromUtf8IntoTheAnsiCodePage) {
    MXMLParserC p = Parsed("<m s='caf\xC3\xA9' r='\xC5\x99' e='\xF0\x9F\x98\x80'>\xC3\xA9t\xC3\xA9</m>");

    SetAnsiCodePage(kCodePageUtf8);
    EXPECT_EQ(XmlAttr(p, {"m"}, 0, "", "s"), "caf\xC3\xA9");
    EXPECT_EQ(XmlAttr(p, {"m"}, 0, "", "e"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(XmlText(p, {"m"}, 0, ""), "\xC3\xA9t\xC3\xA9");

    SetAnsiCodePage(1252);
    EXPECT_EQ(XmlAttr(p, {"m"}, 0, "", "s"), "caf\xE9");
    EXPECT_EQ(XmlText(p, {"m"}, 0, ""), "\xE9t\xE9");
    EXPECT_EQ(XmlAttr(p, {"m"}, 0, "", "r"), "?"); // r with caron has no place in 1252
    EXPECT_EQ(XmlAttr(p, {"m"}, 0, "", "e"), "?"); // one character, one "?"
    // The default goes through the same decoding.
    EXPECT_EQ(XmlText(p, {"none"}, 0,
                      "d\xC3\xA9"
                      "f"),
              "d\xE9"
              "f");
}

TEST_F(XmlTest, DocAttrOfADeclaredLatin1Reply) {
    const std::string reply = Fixture("newmsgs_latin1.xml");
    EXPECT_EQ(XmlDocAttr(reply, {"?xml"}, 0, "", "ENCODING"), "ISO-8859-1");
    EXPECT_EQ(XmlDocAttr(reply, {"xml"}, 0, "none", "encoding"), "none");
    EXPECT_EQ(XmlDocAttr(Fixture("login_failed.xml"), {"?xml"}, 0, "", "encoding"), "utf-8");
    MXMLParserC p = Parsed(Fixture("redir.xml"));
    EXPECT_EQ(XmlAttr(p, {"Redir"}, 0, "", "Url"), "https://mail.example.org/compose?id=5&amp;x=1");
}

TEST_F(XmlTest, DeclaredCharsetReplyReadsBackInUtf8) {
    // The reading chain of a service reply: declared charset, conversion, values.
    SetAnsiCodePage(kCodePageUtf8);
    auto registry = MakeMemoryRegistry();
    SetProcessRegistry(registry.get());
    for (const char* name : {"newmsgs_latin1.xml", "newmsgs_utf8.xml"}) {
        const std::string reply = Fixture(name);
        const int codePage = CharsetToCodePage(XmlDocAttr(reply, {"?xml"}, 0, "", "encoding"));
        MXMLParserC p = Parsed(ToAnsi(reply, codePage));
        EXPECT_EQ(XmlAttr(p, {"NewMsgsList"}, 0, "", "Status"), "OK") << name;
        if (std::string(name) == "newmsgs_latin1.xml") {
            EXPECT_EQ(codePage, 28591);
            EXPECT_EQ(XmlText(p, {"NewMsgsList", "ErrDetail"}, 0, ""), "Caf\xC3\xA9");
        } else {
            EXPECT_EQ(codePage, 65001);
            EXPECT_EQ(XmlAttr(p, {"NewMsgsList", "Hdrs", "Hdr"}, 0, "", "Preview"),
                      "Meet at the caf\xC3\xA9 at 5?");
        }
    }
    SetProcessRegistry(nullptr);
}

TEST(Utf8ToWideTest, FollowsThePublishedConversionWithoutValidation) {
    EXPECT_EQ(Utf8ToWide("a\xC3\xA9"), u"a\u00E9");
    EXPECT_EQ(Utf8ToWide("\xE2\x82\xAC"), u"\u20AC");
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), std::u16string({0xD83D, 0xDE00}));
    // Trailing bytes are not checked, and stray ones are taken as they are.
    EXPECT_EQ(Utf8ToWide("\xC3\x41"), std::u16string(1, 0x81));
    EXPECT_EQ(Utf8ToWide("\x80z"), u"\u0080z");
    // 5- and 6-byte forms and 4-byte values past U+10FFFF give U+FFFD.
    EXPECT_EQ(Utf8ToWide("\xF8\x88\x80\x80\x80!"), u"\uFFFD!");
    EXPECT_EQ(Utf8ToWide("\xFC\x84\x80\x80\x80\x80!"), u"\uFFFD!");
    EXPECT_EQ(Utf8ToWide("\xFF\xBF\xBF\xBF\xBF\xBF"), u"\uFFFD");
    EXPECT_EQ(Utf8ToWide("\xF7\xBF\xBF\xBF"), u"\uFFFD");
    // A sequence cut off by the end ends the decoding.
    EXPECT_EQ(Utf8ToWide("ab\xC3"), u"ab");
    EXPECT_EQ(Utf8ToWide("ab\xFC\x80\x80\x80\x80"), u"ab");
    EXPECT_EQ(Utf8ToWide("ab\xE2\x82"), u"ab");
}

} // namespace
} // namespace nuvex
