#include "lib/json_value.h"

#include <gtest/gtest.h>

namespace nuvex::json {
namespace {

TEST(JsonValue, ReadsARealShapedReply) {
    auto v = Parse(R"({"id":7,"result":{"result":{"type":"string","value":"complete"}},"sessionId":"AB"})");
    ASSERT_TRUE(v);
    EXPECT_EQ((*v)["id"].AsInt(), 7);
    EXPECT_EQ((*v)["result"]["result"]["value"].AsString(), "complete");
    EXPECT_TRUE((*v)["missing"]["deeper"].IsNull());
    EXPECT_EQ((*v)["id"].AsString("none"), "none"); // a number is no string
}

TEST(JsonValue, StringEscapesAndSurrogatePairs) {
    struct Row {
        const char* text;
        std::string value;
    } rows[] = {
        {R"("a\"b\\c\/d")", "a\"b\\c/d"},
        {R"("\n\r\t\b\f")", "\n\r\t\b\f"},
        {R"("\u00e9")", "\xC3\xA9"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\ud83dx")", "\xEF\xBF\xBDx"}, // a lone high surrogate
        {R"("\ude00")", "\xEF\xBF\xBD"},   // a lone low surrogate
        {R"("\ud83d\u0041")", "\xEF\xBF\xBD"
                              "A"}, // a high surrogate before no low one
    };
    for (const Row& row : rows) {
        auto v = Parse(row.text);
        ASSERT_TRUE(v) << row.text;
        EXPECT_EQ(v->AsString(), row.value) << row.text;
    }
}

TEST(JsonValue, RefusesBrokenText) {
    const char* rows[] = {
        "",         "{",         R"({"a":})",   R"({"a" 1})", R"([1,])", R"("abc)", "\"a\x01\"",
        R"("\x")",  R"("\u12")", "tru",         "nul",        "1e999",   "-",       R"({"a":1} x)",
        R"({1:2})", "[1 2]",     R"("\u00zz")",
    };
    for (const char* text : rows) {
        std::string error;
        EXPECT_FALSE(Parse(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(JsonValue, NestingAndSizeAreBounded) {
    std::string deep(100, '[');
    deep += std::string(100, ']');
    std::string error;
    EXPECT_FALSE(Parse(deep, &error, {.maxDepth = 64}));
    EXPECT_NE(error.find("deeply"), std::string::npos);
    EXPECT_TRUE(Parse(deep, nullptr, {.maxDepth = 128}));
    EXPECT_FALSE(Parse(R"("0123456789")", &error, {.maxBytes = 8}));
}

TEST(JsonValue, WritesValidJsonWhateverTheBytes) {
    Value v(Object{{"expression", "a\"b\\\n\x01"}, {"n", 3}, {"list", Array{true, nullptr, 1.5}}});
    EXPECT_EQ(v.Dump(), R"({"expression":"a\"b\\\n\u0001","n":3,"list":[true,null,1.5]})");
    // A byte that is not UTF-8 (a code-page password) becomes the Latin-1
    // character of the same value; valid UTF-8 passes as it is.
    EXPECT_EQ(Value("\xE9t\xC3\xA9").Dump(), "\"\xC3\xA9t\xC3\xA9\"");
    EXPECT_EQ(Value("\xC0\xAF").Dump(), "\"\xC3\x80\xC2\xAF\""); // an overlong form is not UTF-8
    auto back = Parse(v.Dump());
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["expression"].AsString(), "a\"b\\\n\x01");
    EXPECT_EQ((*back)["list"].Items().size(), 3u);
}

} // namespace
} // namespace nuvex::json
