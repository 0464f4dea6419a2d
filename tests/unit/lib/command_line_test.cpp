// Splitting and quoting command lines, finding programs, and the URL policy.
#include "lib/command_line.h"
#include "lib/redirect_page.h"
#include "lib/url_policy.h"
#include "tests/support/temp_dir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvex {
namespace {

using Words = std::vector<std::string>;

TEST(CommandLineSplit, QuotesAndEscapes) {
    struct Row {
        const char* line;
        std::optional<Words> words;
    };
    const Row rows[] = {
        {"xdg-open %1", Words{"xdg-open", "%1"}},
        {"  a \t b  ", Words{"a", "b"}},
        {"'/opt/My App/run' x", Words{"/opt/My App/run", "x"}},
        {"\"/opt/My App/run\" \"%u\"", Words{"/opt/My App/run", "%u"}},
        {R"("a \"q\" \\ \$ \x")", Words{R"(a "q" \ $ \x)"}},
        {R"(a\ b 'it'\''s')", Words{"a b", "it's"}},
        {"pre'fix'\"ed\" ''", Words{"prefixed", ""}},
        {"$(id) ;rm `x`", Words{"$(id)", ";rm", "`x`"}},
        {"'open", std::nullopt},
        {"\"open \\\"", std::nullopt},
        {"", std::nullopt},
        {" \t ", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SplitCommandLine(row.line), row.words) << row.line;
    }
}

TEST(CommandLineSplit, JoinedWordsSplitBackUnchanged) {
    const Words argv = {
        "/usr/bin/x", "plain-word_1.2:3,4@5%6+7=8/9", "", "a b", "it's", "\"q\"", "\\", "$(id)", "tab\there",
        "line\nbreak"};
    const std::string line = JoinCommandLine(argv);
    EXPECT_EQ(SplitCommandLine(line), argv) << line;
    EXPECT_EQ(QuoteArgument("plain"), "plain");
    EXPECT_EQ(QuoteArgument("a b"), "'a b'");
    EXPECT_EQ(QuoteArgument("it's"), "'it'\\''s'");
}

// An empty or relative PATH element would run a program from the working
// directory, which may be anybody's.
TEST(ResolveProgram, OnlyAbsoluteFoldersOfThePathAreSearched) {
    test::TempDir dir;
    const std::string program = dir.file("prog");
    std::ofstream(program) << "#!/bin/sh\n";
    ::chmod(program.c_str(), 0700);
    char saved[4096];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    EXPECT_EQ(ResolveProgram("prog", "/nonexistent:"), "");
    EXPECT_EQ(ResolveProgram("prog", ":/nonexistent"), "");
    EXPECT_EQ(ResolveProgram("prog", "/nonexistent::."), "");
    EXPECT_EQ(ResolveProgram("prog", "/nonexistent:" + dir.path()), program);
    EXPECT_EQ(ResolveProgram("./prog", ""), "./prog");
    EXPECT_EQ(ResolveProgram("", "/bin"), "");
    ASSERT_EQ(::chdir(saved), 0);
}

TEST(UrlPolicy, OnlyWebAndMailAddressesAreOpenable) {
    struct Row {
        const char* url;
        bool openable;
    };
    const Row rows[] = {
        {"http://example.org/", true},
        {"HTTPS://example.org/a?b=c#d", true},
        {"https://user:pw@example.org", true},
        {"mailto:ann@example.org?subject=x", true},
        {"MailTo:ann@example.org", true},
        {"file:///etc/passwd", false},
        {"smb://host/share", false},
        {"ftp://example.org/", false},
        {"javascript:alert(1)", false},
        {"x-scheme-handler:run", false},
        {"/home/bob/page.html", false},
        {"-http://example.org/", false},
        {"http:example.org", false},
        {"http:///etc/passwd", false},
        {"https://", false},
        {"http://example.org/\nSecond", false},
        {"http://exa\tmple.org/", false},
        {"", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsOpenableUrl(row.url), row.openable) << row.url;
    }
    EXPECT_EQ(UrlScheme("HTTPS://x"), "https");
    EXPECT_EQ(UrlScheme("no scheme"), "");
    EXPECT_EQ(UrlScheme("1http://x"), "");
}

// The page forwards to the URL and nothing in the URL can leave the attribute
// or the script string it stands in.
TEST(RedirectPage, UrlCannotBreakOutOfThePage) {
    const std::string html =
        detail::RedirectPageHtml("https://x.example/?a=1&b=\"><script>alert(1)</script>'\\</script>");
    EXPECT_EQ(html.find("<script>alert"), std::string::npos);
    EXPECT_EQ(html.find("\"><"), std::string::npos);
    EXPECT_EQ(html.find("</script>'"), std::string::npos);
    EXPECT_NE(html.find("content=\"0;url=https://x.example/?a=1&amp;b=&quot;&gt;&lt;script&gt;"),
              std::string::npos);
    EXPECT_NE(
        html.find("location.replace(\"https://x.example/?a=1\\u0026b=\\u0022\\u003e\\u003cscript\\u003e"),
        std::string::npos);
}

} // namespace
} // namespace nuvex
