#include "base/Href.h"

#include "base/HrefCases.h"

#include <gtest/gtest.h>

namespace
{

struct ParseCase {
    const char* label;
    const char* text;
    std::string path;
    const char* query;
    const char* fragment;
    bool external;
};
const ParseCase kParseCases[] = {
    {"plain", "text/ch1.html", "text/ch1.html", "", "", false},
    {"fragment", "ch1.html#sec%201", "ch1.html", "", "sec%201", false},
    {"bare fragment", "#top", "", "", "top", false},
    {"query then fragment", "a.html?x=1&y#f", "a.html", "x=1&y", "f", false},
    {"\"?\" inside the fragment", "a.html#f?x", "a.html", "", "f?x", false},
    {"decoded once", "my%20file%252e.html", "my file%2e.html", "", "", false},
    {"plus stays a plus", "a+b.html", "a+b.html", "", "", false},
    {"escaped dots", "%2e%2e/x", "../x", "", "", false},
    {"escaped backslash", "a%5c..%5cx", "a\\..\\x", "", "", false},
    {"broken escape kept", "100%.html", "100%.html", "", "", false},
    {"blanks around dropped", "  a.html#b \n", "a.html", "", "b", false},
    {"http", "http://host/a.html#b", "http://host/a.html", "", "b", true},
    {"mailto", "mailto:a@b.c", "mailto:a@b.c", "", "", true},
    {"data", "data:image/png;base64,AAAA", "data:image/png;base64,AAAA", "", "", true},
    {"kindle", "kindle:embed:0001?mime=image/jpg", "kindle:embed:0001", "mime=image/jpg", "", true},
    {"scheme with digits and signs", "x-a.b+c1:z", "x-a.b+c1:z", "", "", true},
    {"network path", "//host/a", "//host/a", "", "", true},
    {"network path, backslashes", "\\\\host\\a", "\\\\host\\a", "", "", true},
    {"drive is no scheme", "C:x.html", "C:x.html", "", "", false},
    {"colon after a folder", "a/b:c.html", "a/b:c.html", "", "", false},
    {"colon in a fragment", "a.html#x:y", "a.html", "", "x:y", false},
    {"absolute", "/etc/passwd", "/etc/passwd", "", "", false},
    {"escaped NUL", "a%00.html", std::string("a\0.html", 7), "", "", false},
};

TEST(Href, ParseSplitsDecodesAndSpotsExternals)
{
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(c.label);
        const CHref href = CHref::Parse(c.text);
        EXPECT_EQ(href.m_Path, c.path);
        EXPECT_EQ(href.m_Query, c.query);
        EXPECT_EQ(href.m_Fragment, c.fragment);
        EXPECT_EQ(href.m_External, c.external);
    }
}

TEST(Href, ResolveTable)
{
    for (const HrefResolveCase& c : kHrefResolveCases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.href);
        std::string resolved = "unchanged";
        EXPECT_EQ(ResolveHrefInBook(c.base, c.href, resolved), c.resolved != nullptr);
        EXPECT_EQ(resolved, c.resolved ? c.resolved : "unchanged");
    }
}

TEST(Href, ResolveRefusesNulAndTakesPathsLiterally)
{
    std::string resolved;
    EXPECT_FALSE(ResolveInBook("", std::string("a\0/../b", 7), resolved));
    EXPECT_FALSE(ResolveInBook(std::string("OEBPS\0", 6), "a.html", resolved));
    // Decoding is Parse's work: a path handed over already decoded is not decoded again.
    ASSERT_TRUE(ResolveInBook("", "%2e%2e/x", resolved));
    EXPECT_EQ(resolved, "%2e%2e/x");
}

// Listed names are opened as written and decoded once, so either form may not leave the book.
TEST(Href, ListedNamesStayInsideAsWrittenAndDecoded)
{
    const struct {
        const char* base;
        const char* name;
        bool inside;
    } cases[] = {
        {"OEBPS/", "../x.html", true},     {"", "100%.html", true},
        {"", "a%20b.html", true},          {"", "%2e%2e/x", false},
        {"a/", "a%2Fb/../../../x", false}, {"", "../x", false},
        {"", "a%2F..%2F..%2Fx", false},    {"", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.name);
        EXPECT_EQ(ListedNameInBook(c.base, c.name), c.inside);
        EXPECT_EQ(ResolvedInBook(c.base, c.name).empty(), !LiesInBook(std::string(c.base) + c.name));
    }
}

struct OutputNameCase {
    std::string name;
    bool safe;
};

TEST(Href, IsSafeOutputNameTable)
{
    const OutputNameCase cases[] = {
        {"a.html", true},
        {"text/images/a b.jpg", true},
        {"a..b/c.d", true},
        {"", false},
        {"/etc/x", false},
        {"a//b", false},
        {"a/", false},
        {".", false},
        {"..", false},
        {"a/../b", false},
        {"./a", false},
        {".hidden", false},
        {"a/.git/config", false},
        {"a\\b", false},
        {"..\\x", false},
        {std::string("a\0b", 3), false},
    };
    for (const OutputNameCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsSafeOutputName(c.name), c.safe);
    }
}

} // namespace
