#include "lib/codepage.h"
#include "lib/registry.h"

#include <gtest/gtest.h>
#include <iconv.h>

namespace nuvex {
namespace {

constexpr const char* kKey = "MIME\\Database\\Charset\\";

class CodePageTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = AnsiCodePage();
        SetProcessRegistry(registry_.get());
    }
    void TearDown() override {
        SetAnsiCodePage(saved_);
        SetProcessRegistry(nullptr);
    }
    void Charset(const std::string& name, std::uint32_t codePage) {
        ASSERT_TRUE(
            registry_->SetValue(RegRoot::HKCR, kKey + name, "InternetEncoding", RegValue::Dword(codePage)));
    }
    void Alias(const std::string& name, const std::string& target) {
        ASSERT_TRUE(
            registry_->SetValue(RegRoot::HKCR, kKey + name, "AliasForCharset", RegValue::Text(target)));
    }
    std::unique_ptr<Registry> registry_ = MakeMemoryRegistry();
    int saved_ = 0;
};

TEST_F(CodePageTest, BuiltInTableNumbersCharsetsAsWindowsDoes) {
    const std::pair<const char*, int> expected[] = {
        {"utf-8", 65001},       {"us-ascii", 20127},    {"iso-8859-1", 28591},  {"iso-8859-2", 28592},
        {"iso-8859-15", 28605}, {"windows-1250", 1250}, {"windows-1252", 1252}, {"windows-1258", 1258},
        {"koi8-r", 20866},      {"shift_jis", 932},     {"euc-jp", 51932},      {"gb2312", 936},
        {"big5", 950},          {"latin1", 28591},      {"utf8", 65001},        {"cp1252", 1252},
        {"x-sjis", 932},        {"ascii", 20127},       {"UTF-8", 65001},       {"Windows-1251", 1251},
        {"ISO_8859-1", 28591},  {"latin9", 28605},      {"gbk", 936},
    };
    for (const auto& [name, codePage] : expected) {
        EXPECT_EQ(BuiltinCharsetToCodePage(name), codePage) << name;
        // An empty registry falls back to the table.
        EXPECT_EQ(CharsetToCodePage(name), codePage) << name;
    }
    EXPECT_EQ(CharsetToCodePage(""), -1);
    EXPECT_EQ(CharsetToCodePage("no-such-charset"), -1);
    EXPECT_EQ(CharsetToCodePage("utf-8 "), -1);
}

TEST_F(CodePageTest, SeededRegistryAnswersLikeTheTableAndKeepsExistingKeys) {
    Charset("utf-8", 1234); // a value already there is not overwritten
    ASSERT_TRUE(SeedCharsetRegistry(*registry_));
    EXPECT_EQ(registry_->GetValue(RegRoot::HKCR, std::string(kKey) + "latin1", "AliasForCharset")->data,
              "iso-8859-1");
    EXPECT_EQ(registry_->GetValue(RegRoot::HKCR, std::string(kKey) + "koi8-r", "InternetEncoding")->AsDword(),
              20866u);
    EXPECT_EQ(CharsetToCodePage("utf-8"), 1234);
    EXPECT_EQ(CharsetToCodePage("latin1"), 28591);
    EXPECT_EQ(CharsetToCodePage("X-SJIS"), 932);
    EXPECT_EQ(CharsetToCodePage("nothing"), -1);
}

TEST_F(CodePageTest, RegistryEntriesWinAndAliasesAreFollowed) {
    Charset("x-house", 1251);
    Alias("house-alias", "x-house");
    Alias("latin1", "house-alias"); // overrides the table's own latin1
    EXPECT_EQ(CharsetToCodePage("x-house"), 1251);
    EXPECT_EQ(CharsetToCodePage("LATIN1"), 1251);
    // An alias to a name only the table knows ends there.
    Alias("my-utf", "utf8");
    EXPECT_EQ(CharsetToCodePage("my-utf"), 65001);
    // A number written as text still counts.
    ASSERT_TRUE(registry_->SetValue(RegRoot::HKCR, std::string(kKey) + "textual", "InternetEncoding",
                                    RegValue::Text("28592")));
    EXPECT_EQ(CharsetToCodePage("textual"), 28592);
    // A key with neither value, or an empty alias, names no code page.
    ASSERT_TRUE(registry_->CreateKey(RegRoot::HKCR, std::string(kKey) + "bare"));
    EXPECT_EQ(CharsetToCodePage("bare"), -1);
    Alias("empty-alias", "");
    EXPECT_EQ(CharsetToCodePage("empty-alias"), -1);
    // A name is one key, never a path into others.
    EXPECT_EQ(CharsetToCodePage("x-house\\..\\utf-8"), -1);
}

TEST_F(CodePageTest, AliasChainsAreBounded) {
    Charset("c0", 1250);
    for (int i = 1; i <= kMaxCharsetAliasHops; ++i) {
        Alias("c" + std::to_string(i), "c" + std::to_string(i - 1));
    }
    EXPECT_EQ(CharsetToCodePage("c" + std::to_string(kMaxCharsetAliasHops)), 1250);
    Alias("c" + std::to_string(kMaxCharsetAliasHops + 1), "c" + std::to_string(kMaxCharsetAliasHops));
    EXPECT_EQ(CharsetToCodePage("c" + std::to_string(kMaxCharsetAliasHops + 1)), -1);

    Alias("loop-a", "loop-b");
    Alias("loop-b", "loop-a");
    EXPECT_EQ(CharsetToCodePage("loop-a"), -1);
}

TEST_F(CodePageTest, EveryKnownCodePageOpensInIconv) {
    for (int cp : {37,    437,   850,   852,   866,   874,   932,   936,   949,   950,   1200,  1201,
                   1250,  1251,  1252,  1253,  1254,  1255,  1256,  1257,  1258,  10000, 12000, 12001,
                   20127, 20866, 20932, 21866, 28591, 28592, 28593, 28594, 28595, 28596, 28597, 28598,
                   28599, 28603, 28605, 38598, 50220, 50225, 51932, 51936, 51949, 54936, 65000, 65001}) {
        const std::string name = CodePageIconvName(cp);
        ASSERT_FALSE(name.empty()) << cp;
        iconv_t cd = iconv_open("UTF-16LE", name.c_str());
        EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << cp << " " << name;
        if (cd != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(cd);
        }
    }
    EXPECT_EQ(CodePageIconvName(1252), "CP1252");
    EXPECT_EQ(CodePageIconvName(28591), "ISO-8859-1");
    EXPECT_EQ(CodePageIconvName(65001), "UTF-8");
    EXPECT_EQ(CodePageIconvName(-1), "");
}

TEST_F(CodePageTest, ToAnsiOnAWesternCodePage) {
    SetAnsiCodePage(1252);
    EXPECT_EQ(ToAnsi("caf\xC3\xA9", 65001), "caf\xE9");
    EXPECT_EQ(ToAnsi("caf\xE9", 28591), "caf\xE9");
    EXPECT_EQ(ToAnsi("\x80 \xE9", 1252), "\x80 \xE9");
    EXPECT_EQ(ToAnsi("\xE2\x82\xAC", 65001), "\x80"); // the euro sign has its 1252 place
    // Bytes 1252 leaves unassigned come back as themselves, as Windows does.
    EXPECT_EQ(ToAnsi("\x81\x8D\x8F\x90\x9D", 1252), "\x81\x8D\x8F\x90\x9D");
    // Characters 1252 lacks become "?", one per character.
    EXPECT_EQ(ToAnsi("\xE6\x97\xA5\xE6\x9C\xAC", 65001), "??");
    EXPECT_EQ(ToAnsi("a\xF0\x9F\x98\x80z", 65001), "a?z");
    EXPECT_EQ(ToAnsi("\xC1\xE8", 1250), "\xC1?"); // Á is shared, č is not
    // UTF-16 is not ASCII-compatible, so it is always converted.
    EXPECT_EQ(ToAnsi(std::string("h\0i\0", 4), 1200), "hi");
}

TEST_F(CodePageTest, ToAnsiIntoUtf8) {
    SetAnsiCodePage(kCodePageUtf8);
    EXPECT_EQ(ToAnsi("caf\xE9", 28591), "caf\xC3\xA9");
    EXPECT_EQ(ToAnsi("\x80", 1252), "\xE2\x82\xAC");
    EXPECT_EQ(ToAnsi("\xC1\xE8", 1250), "\xC3\x81\xC4\x8D");
    EXPECT_EQ(ToAnsi("\xF0\xE9", 20866), "\xD0\x9F\xD0\x98");                   // KOI8-R
    EXPECT_EQ(ToAnsi("\x93\xFA\x96\x7B\\", 932), "\xE6\x97\xA5\xE6\x9C\xAC\\"); // 0x5C stays a backslash
    EXPECT_EQ(ToAnsi("\xC6\xFC\xCB\xDC", 51932), "\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(ToAnsi("caf\xC3\xA9", 65001), "caf\xC3\xA9");
    // Invalid source bytes become U+FFFD.
    EXPECT_EQ(ToAnsi("a\xFF"
                     "b\xC3",
                     65001),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST_F(CodePageTest, ToAnsiRejectsWhatCannotBeConverted) {
    SetAnsiCodePage(1252);
    EXPECT_EQ(ToAnsi("\xE9 raw \xFF", 0), "\xE9 raw \xFF");
    EXPECT_EQ(ToAnsi("text", -1), "");
    EXPECT_EQ(ToAnsi("text", 4242), "");
    EXPECT_EQ(ToAnsi("", 65001), "");
    SetAnsiCodePage(-1);
    EXPECT_EQ(ToAnsi("text", 65001), "");
    EXPECT_EQ(WideToAnsi(u"text"), "");
}

TEST_F(CodePageTest, WideToCodePageReplacesLoneSurrogates) {
    const std::u16string lone = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_EQ(WideToCodePage(lone, 1252).value(), "a?b?");
    EXPECT_EQ(WideToCodePage(lone, kCodePageUtf8).value(), "a\xEF\xBF\xBD"
                                                           "b\xEF\xBF\xBD");
    EXPECT_EQ(WideToCodePage(std::u16string{0xD800}, 1252).value(), "?");
    EXPECT_FALSE(WideToCodePage(u"x", 4242).has_value());
    EXPECT_FALSE(CodePageToWide("x", -1).has_value());
    // Stateful encodings get their shift sequences, the default character too.
    const std::string jis = WideToCodePage(u"\u65E5\u00E9", 50220).value();
    EXPECT_EQ(CodePageToWide(jis, 50220).value(), u"\u65E5?");
}

} // namespace
} // namespace nuvex
