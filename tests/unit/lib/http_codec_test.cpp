#include "lib/codepage.h"
#include "lib/http.h"

#include <gtest/gtest.h>

namespace nuvex {
namespace {

TEST(UrlDecode, PlusPercentAndBrokenEscapes) {
    EXPECT_EQ(UrlDecode("a+b"), "a b");
    EXPECT_EQ(UrlDecode("%41%62%2f%2F"), "Ab//");
    EXPECT_EQ(UrlDecode("x%zzy"), "x%zzy");
    EXPECT_EQ(UrlDecode("x%4zy"), "x%4zy");
    EXPECT_EQ(UrlDecode("%E2%82%AC"), "\xE2\x82\xAC");
}

TEST(UrlDecode, CutOffEscapeEndsTheText) {
    EXPECT_EQ(UrlDecode("abc%4"), "abc");
    EXPECT_EQ(UrlDecode("abc%"), "abc");
    EXPECT_EQ(UrlDecode("%41%4"), "A");
}

TEST(HtmlEncode, MarkupCharactersBecomeEntities) {
    EXPECT_EQ(HtmlEncode("<&>"), "&lt;&amp;&gt;");
    EXPECT_EQ(HtmlEncode("say \"hi\" 'x'"), "say &quot;hi&quot; 'x'");
    EXPECT_EQ(HtmlEncode("plain"), "plain");
}

TEST(HtmlEncode, Utf8LatinLettersBecomeNamedEntities) {
    EXPECT_EQ(HtmlEncode("caf\xC3\xA9"), "caf&eacute;");
    EXPECT_EQ(HtmlEncode("\xC2\xA0\xC3\xBF\xC3\x80"), "&nbsp;&yuml;&Agrave;");
    // Outside U+00A0..U+00FF a UTF-8 letter stays as it is.
    EXPECT_EQ(HtmlEncode("\xE2\x82\xAC \xC2\x85"), "\xE2\x82\xAC \xC2\x85");
}

// The code page decides, not the text: a stray byte in UTF-8 text leaves the
// letters alone, and a 1252 text that happens to be valid UTF-8 is still 1252.
TEST(HtmlEncode, ProcessCodePageDecidesWhichBytesAreLetters) {
    struct Row {
        int codePage;
        std::string in;
        std::string out;
    };
    const Row rows[] = {
        {kCodePageUtf8, "caf\xC3\xA9 \xFF", "caf&eacute; \xFF"},
        {kCodePageUtf8, "\xC3", "\xC3"},
        {kCodePageUtf8, "\xC3<", "\xC3&lt;"},
        {1252, "caf\xE9", "caf&eacute;"},
        {1252, "\xC3\xA9", "&Atilde;&copy;"},
        {1252, "\xA0\xD7\xF7\xFF", "&nbsp;&times;&divide;&yuml;"},
        {1252, "\x80<", "\x80&lt;"},
    };
    for (const Row& row : rows) {
        SetAnsiCodePage(row.codePage);
        EXPECT_EQ(HtmlEncode(row.in), row.out) << row.codePage << " " << row.in;
    }
    SetAnsiCodePage(kCodePageUtf8);
}

TEST(HtmlDecode, KnownEntitiesInAnyCase) {
    EXPECT_EQ(HtmlDecode("&LT;b&gt; &Quot;x&quot; &apos;y&APOS;"), "<b> \"x\" 'y'");
    EXPECT_EQ(HtmlDecode("a&nbsp;b%20c"), "a b c");
    EXPECT_EQ(HtmlDecode("&eacute;"), "&eacute;");
}

TEST(HtmlDecode, NumericReferencesBecomeTheCharacter) {
    const int saved = AnsiCodePage();
    SetAnsiCodePage(kCodePageUtf8);
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        {"Caf&#233;", "Caf\xC3\xA9"},
        {"Caf&#xE9; &#Xe9;", "Caf\xC3\xA9 \xC3\xA9"},
        {"&#65;&#x42;", "AB"},
        {"&#x1F600;", "\xF0\x9F\x98\x80"},
        {"&#8364;5", "\xE2\x82\xAC"
                     "5"},
        // Escaped references stay references; broken ones stay as written.
        {"&amp;#233;", "&#233;"},
        {"&#38;lt;", "&lt;"},
        {"&#233", "&#233"},
        {"&#;&#x;&#12a;", "&#;&#x;&#12a;"},
        {"&#0;&#xD800;&#x110000;", "&#0;&#xD800;&#x110000;"},
        {"&#99999999999999999999;", "&#99999999999999999999;"},
        {"&#", "&#"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(HtmlDecode(row.in), row.out) << row.in;
    }
    // In a single-byte code page the character is that page's byte.
    SetAnsiCodePage(1252);
    EXPECT_EQ(HtmlDecode("Caf&#233;"), "Caf\xE9");
    SetAnsiCodePage(saved);
}

TEST(HtmlDecode, AmpersandLastKeepsEscapedEntities) {
    EXPECT_EQ(HtmlDecode("&amp;lt;"), "&lt;");
    EXPECT_EQ(HtmlDecode("&amp;amp;"), "&amp;");
    EXPECT_EQ(HtmlDecode("Tom &AMP; Jerry"), "Tom & Jerry");
}

TEST(HtmlCodec, EncodeThenDecodeRestoresMarkup) {
    const std::string text = "<a href=\"x?p=1&q=2\">";
    EXPECT_EQ(HtmlDecode(HtmlEncode(text)), text);
}

TEST(SplitLines, CrLfCrAndLfAllEndALine) {
    using V = std::vector<std::string>;
    EXPECT_EQ(detail::SplitLines("a\r\nb\rc\nd"), (V{"a", "b", "c", "d"}));
    EXPECT_EQ(detail::SplitLines("a\n\nb\r\n"), (V{"a", "", "b"}));
    EXPECT_EQ(detail::SplitLines("\r\n"), (V{""}));
    EXPECT_EQ(detail::SplitLines("a\n\r"), (V{"a", ""}));
    EXPECT_TRUE(detail::SplitLines("").empty());
}

TEST(TrimUrl, SpacesAndControlCharactersAtBothEnds) {
    EXPECT_EQ(detail::TrimUrl(" \t\r\nhttp://x/a b\x01\x7f "), "http://x/a b");
    EXPECT_EQ(detail::TrimUrl(" \t\r\n"), "");
}

constexpr const char* kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(RouteTable, DefaultRouteOnARealInterface) {
    const std::string withDefault = std::string(kRouteHeader) +
                                    "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                                    "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
    EXPECT_TRUE(detail::RouteTableHasDefault(withDefault));

    const std::string subnetOnly =
        std::string(kRouteHeader) + "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
    EXPECT_FALSE(detail::RouteTableHasDefault(subnetOnly));
    // The header line itself must not be read as a route.
    EXPECT_FALSE(detail::RouteTableHasDefault(kRouteHeader));
    EXPECT_FALSE(detail::RouteTableHasDefault(std::string(kRouteHeader) +
                                              "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"));
    EXPECT_FALSE(detail::RouteTableHasDefault(""));
}

TEST(RouteTable, Ipv6DefaultRouteButNotTheUnreachablePlaceholder) {
    const std::string zeros(32, '0');
    const std::string real = zeros + " 00 " + zeros +
                             " 00 fe800000000000000000000000000001 00000400 "
                             "00000001 00000000 00000003 wlan0\n";
    const std::string placeholder =
        zeros + " 00 " + zeros + " 00 " + zeros + " ffffffff 00000001 00000000 00200200 lo\n";
    const std::string subnet = "fe800000000000000000000000000000 40 " + zeros + " 00 " + zeros +
                               " 00000100 00000001 00000000 00000001 wlan0\n";
    EXPECT_TRUE(detail::Ipv6RouteTableHasDefault(subnet + real));
    EXPECT_FALSE(detail::Ipv6RouteTableHasDefault(subnet + placeholder));
}

} // namespace
} // namespace nuvex
