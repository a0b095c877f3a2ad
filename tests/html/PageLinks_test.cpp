#include "html/PageLinks.h"

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

struct ResolveCase {
    const char* label;
    const char* folder;
    const char* path;
    bool inside;
    const char* resolved;
};

TEST(PageLinks, ReferencesResolveInsideTheBookOnly)
{
    const ResolveCase cases[] = {
        {"same folder", "text", "a.html", true, "text/a.html"},
        {"up one", "text", "../images/c.jpg", true, "images/c.jpg"},
        {"dots inside", "a/b", "./c/../d.png", true, "a/b/d.png"},
        {"above the top", "text", "../../etc/passwd", false, ""},
        {"top folder", "", "x/../y.css", true, "y.css"},
        {"only the folder", "text", "..", false, ""},
    };
    for (const ResolveCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::string resolved;
        EXPECT_EQ(ResolveInside(c.folder, c.path, resolved), c.inside);
        if (c.inside) {
            EXPECT_EQ(resolved, c.resolved);
        }
    }
    for (const char* link : {"http://e.org/a.html", "mailto:a@b", "/etc/passwd", "", "\\\\server\\x"})
        EXPECT_FALSE(IsLocalPath(link)) << link;
    EXPECT_TRUE(IsLocalPath("dir/a:b.html"));
    EXPECT_EQ(EscapeUrlSegment("My #1 book%.html"), "My%20%231%20book%25.html");
    EXPECT_EQ(EscapeUrlSegment("日本"), "日本");
}

} // namespace
