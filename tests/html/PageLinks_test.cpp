#include "html/PageLinks.h"

#include "base/Href.h"
#include "base/HrefCases.h"

#include "TestSupport.h"

namespace
{

struct ScanCase {
    const char* label;
    const char* page;
    const char* expected; // every link value wrapped in [ ]
};

const ScanCase kScanCases[] = {
    {"double, single and no quotes", "<a href=\"a.html\">x</a><img src='i.png'/><a href=b.html>",
     "<a href=\"[a.html]\">x</a><img src='[i.png]'/><a href=[b.html]>"},
    {"upper case and blanks round =", "<A HREF = \"a.html\" class=\"href\">",
     "<A HREF = \"[a.html]\" class=\"href\">"},
    {"svg and media attributes",
     "<image xlink:href=\"c.jpg\"/><video poster=\"p.png\"><object data=\"o.svg\">",
     "<image xlink:href=\"[c.jpg]\"/><video poster=\"[p.png]\"><object data=\"[o.svg]\">"},
    {"text that looks like a link", "<p>href=\"a.html\" 1 < 2</p>", "<p>href=\"a.html\" 1 < 2</p>"},
    {"comment, CDATA, declarations",
     "<!-- <a href=\"x\"> --><![CDATA[<a href=\"y\">]]><?xml href=\"z\"?><!DOCTYPE html>",
     "<!-- <a href=\"x\"> --><![CDATA[<a href=\"y\">]]><?xml href=\"z\"?><!DOCTYPE html>"},
    {"script and style kept", "<script>var s='<a href=\"x\">';</script ><style>a{}</STYLE><a href=\"y\">",
     "<script>var s='<a href=\"x\">';</script ><style>a{}</STYLE><a href=\"[y]\">"},
    {"longer end tag name inside script", "<script>x</scripts><a href=\"q\"></script><a href=\"y\">",
     "<script>x</scripts><a href=\"q\"></script><a href=\"[y]\">"},
    {"self-closing script", "<script src=\"s.js\"/><a href=\"y\">",
     "<script src=\"[s.js]\"/><a href=\"[y]\">"},
    {"attribute without value", "<input checked href=\"a\">", "<input checked href=\"[a]\">"},
    {"quote left open", "<a href=\"a.html>text", "<a href=\"a.html>text"},
    {"tag left open", "<p>x</p><a href=\"a\"", "<p>x</p><a href=\"[a]\""},
    {"end tag and empty value", "</a href=\"x\"><a href=\"\">", "</a href=\"x\"><a href=\"[]\">"},
    // As the parser reads it: a tag's name starts with a letter, and ends at the first other
    // character that is no name character.
    {"no tag without a letter", "<1 href=\"a\"><_ src=b><a$ href=\"c\">",
     "<1 href=\"a\"><_ src=b><a$ href=\"[c]\">"},
};

TEST(PageLinks, RewritesLinkAttributesOnly)
{
    for (const ScanCase& c : kScanCases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(RewritePageLinks(c.page, [](const std::string& v) { return "[" + v + "]"; }), c.expected);
    }
}

TEST(PageLinks, LongPageIsScannedInOnePass)
{
    std::string page;
    for (int i = 0; i < 200000; ++i)
        page += "<p><a href=\"x.html#" + std::to_string(i) + "\">t</a></p><!-- c -->";
    size_t calls = 0;
    std::string out = RewritePageLinks(page, [&calls](const std::string& v) {
        ++calls;
        return v;
    });
    EXPECT_EQ(calls, 200000u);
    EXPECT_EQ(out, page);
}

// The shared table as the HTML output's link rewriting sees an href: split by SplitLink, then
// resolved as written unless it leaves the book.
TEST(PageLinks, LinksFollowTheHrefTable)
{
    for (const HrefResolveCase& c : kHrefResolveCases) {
        if (std::string(c.href).find('%') != std::string::npos) continue; // rewriting keeps escapes
        SCOPED_TRACE(std::string(c.base) + " + " + c.href);
        const LinkParts link = SplitLink(c.href);
        std::string resolved;
        const bool inside =
            !CHref::Parse(link.m_Path).m_External && ResolveInBook(c.base, link.m_Path, resolved);
        EXPECT_EQ(inside, c.resolved != nullptr);
        if (inside) {
            EXPECT_EQ(resolved, c.resolved);
        }
    }
    EXPECT_EQ(SplitLink("a.html?x#y").m_Suffix, "?x#y");
    EXPECT_EQ(EscapeUrlSegment("My #1 book%.html"), "My%20%231%20book%25.html");
    EXPECT_EQ(EscapeUrlSegment("日本"), "日本");
}

} // namespace
