#include "ebook/HtmlParse.h"

#include "base/Clock.h"
#include "base/Files.h"
#include "base/Text.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <tidy/tidybuffio.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>

namespace
{

// The body's first child printed by the node printer.
std::string PrintFirstInBody(const std::string& html)
{
    CHtmlParse parse;
    EXPECT_EQ(parse.Init(html), RC_OK);
    TidyNode body = tidyGetBody(parse.GetDoc());
    std::string out;
    if (body != nullptr) parse.PrintNode(tidyGetChild(body), out);
    return out;
}

std::string PrintDocument(const std::string& html)
{
    CHtmlParse parse;
    EXPECT_EQ(parse.Init(html), RC_OK);
    std::string out;
    parse.PrintDocument(out);
    return out;
}

int TreeDepth(TidyNode root)
{
    // Iterative, since the trees measured here are deeper than any recursion should go.
    int deepest = 0;
    std::vector<std::pair<TidyNode, int>> stack{{root, 0}};
    while (!stack.empty()) {
        auto [node, depth] = stack.back();
        stack.pop_back();
        deepest = std::max(deepest, depth);
        for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
            stack.emplace_back(child, depth + 1);
    }
    return deepest;
}

bool IsWellFormedXml(const std::string& text)
{
    tinyxml2::XMLDocument doc;
    return doc.Parse(text.c_str(), text.size()) == tinyxml2::XML_SUCCESS;
}

struct PrintCase {
    const char* label;
    const char* html;
    const char* printed;
};

const PrintCase kNodeCases[] = {
    {"paragraph with br", "<p>Hello<br>World</p>", "<p>Hello<br/>\r\nWorld</p>\r\n"},
    {"img attributes in tree order", "<p><img src=\"a.png\" alt=\"A\"></p>",
     "<p><img src=\"a.png\" alt=\"A\" />\r\n</p>\r\n"},
    {"quote in attribute value", "<p title='say \"hi\"'>x</p>", "<p title=\"say &quot;hi&quot;\">x</p>\r\n"},
    {"lt and amp in attribute value stay XML", "<p title=\"a &lt; b &amp; c\">x</p>",
     "<p title=\"a &lt; b &amp; c\">x</p>\r\n"},
    {"div with p child breaks the line", "<div><p>x</p></div>", "<div>\r\n<p>x</p>\r\n</div>\r\n"},
    {"empty element keeps its end tag", "<div><script src=\"a.js\"></script></div>",
     "<div><script src=\"a.js\"></script>\r\n</div>\r\n"},
    {"entities as the library renders them", "<p>a &amp; b &lt; c \xc2\xa0 d</p>",
     "<p>a &amp; b &lt; c &nbsp; d</p>\r\n"},
    {"trailing blank before inline kept", "<p>Hello <b>World</b></p>", "<p>Hello <b>World</b></p>\r\n"},
    // A line end inside running text reads as a space: "FAQ ." and "bold ," were printed so.
    {"no line end around inline elements",
     "<p>See <a href=\"f.html\"><span><b>FAQ</b></span></a>. Then <i>x</i>, y</p>",
     "<p>See <a href=\"f.html\"><span><b>FAQ</b></span></a>. Then <i>x</i>, y</p>\r\n"},
    {"nor around HTML5's text-level elements",
     "<p>On <time datetime=\"1891\">1891</time>, <mark>m</mark>; a<wbr>b</p>",
     "<p>On <time datetime=\"1891\">1891</time>, <mark>m</mark>; a<wbr></wbr>b</p>\r\n"},
    {"preformatted text gains no line", "<pre><span>int a;</span>\nb</pre>",
     "<pre><span>int a;</span>\nb</pre>\r\n"},
    {"control characters dropped", "<p>a&#1;b</p>", "<p>ab</p>\r\n"},
};

} // namespace

TEST(HtmlParse, NodePrinterShapes)
{
    for (const PrintCase& c : kNodeCases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(PrintFirstInBody(c.html), c.printed);
    }
}

TEST(HtmlParse, DocumentPrinterWritesDoctypeAndDropsComments)
{
    std::string out =
        PrintDocument("<html><head><title>T</title></head><body><!-- note --><p>x<!-- inner --></p>"
                      "<![if !supportLists]>1.<![endif]></body></html>");
    EXPECT_EQ(out.rfind("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
                        "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\"><html",
                        0),
              0u)
        << out;
    EXPECT_EQ(out.find("<!--"), std::string::npos);
    EXPECT_EQ(out.find("<!["), std::string::npos);
    EXPECT_NE(out.find("<p>x</p>\r\n"), std::string::npos);
    EXPECT_TRUE(IsWellFormedXml(out)) << out;
}

// Real content documents, printed and repaired as the engine does, must stay well-formed XML.
TEST(HtmlParse, RealDocumentsPrintAsWellFormedXml)
{
    const char* const FILES[] = {"qs-introduction.xhtml", "qs-task-2-conversion.xhtml",
                                 "lm-ja-installation.xhtml"};
    for (const char* name : FILES) {
        SCOPED_TRACE(name);
        std::string text = ReadWholeFile(std::string(TARVO_TEST_DATA) + "/ebook/" + name);
        ASSERT_FALSE(text.empty());
        CHtmlParse parse;
        ASSERT_EQ(parse.Init(text), RC_OK);
        std::string out;
        parse.PrintDocument(out);
        HandleNakedAmpersand(out);
        // The XML declaration of the source stays in front of the doctype.
        EXPECT_EQ(out.rfind("<?xml version='1.0' encoding='utf-8'?>", 0), 0u);
        EXPECT_NE(out.find("?>\n<!DOCTYPE html PUBLIC"), std::string::npos);
        EXPECT_EQ(out.find("<!--"), std::string::npos);
        EXPECT_TRUE(IsWellFormedXml(out)) << out;
        // The line end after an inline end tag becomes a blank in the next round; after that,
        // reprinting is stable.
        std::string second, third;
        CHtmlParse again;
        ASSERT_EQ(again.Init(out), RC_OK);
        again.PrintDocument(second);
        ASSERT_EQ(again.Init(second), RC_OK);
        again.PrintDocument(third);
        EXPECT_EQ(third, second);
    }
}

// Tag soup with the markup that libraries keep from broken pages: every printed document must
// still be well-formed once the ampersands are repaired, with and without clean-and-repair.
TEST(HtmlParse, TagSoupPrintsAsWellFormedXml)
{
    static const char* const TOKENS[] = {
        "<div>",
        "</div>",
        "<b>",
        "</b>",
        "<i x=1 x=2>",
        "<p title='a<b&c'>",
        "<!--",
        "-->",
        "<script>",
        "</script>",
        "<select>",
        "<foo:bar>",
        "<table>",
        "<td>",
        "<p>",
        "</p>",
        "<li>",
        "x",
        "'",
        "\"",
        "&",
        "&amp;",
        "&#0;",
        "&#xD800;",
        "<a href='x.html' name='n' id='n'>",
        "</a>",
        "<title>",
        "<div a=\"",
        "<![CDATA[",
        "]]>",
        "<br>",
        "<?xml version='1.0'?>",
        "<!DOCTYPE html>",
        "<h1>",
        "<pre>",
        "<svg><image xlink:href='a.png'/></svg>",
        "<p xmlns:foo='u' foo:x='1'>",
        "<p 1a='x'>",
        "<p a\"b='x'>",
        "<img src=a.png alt>",
        "<![if !supportLists]>",
        "<![endif]>",
        "<% asp %>",
        "<?php echo 1 ?>",
        "\x01",
        "\xff",
        "<style>a<b</style>",
        "<form><input name=a></form>",
        "<u>",
    };
    std::mt19937 random(99);
    for (int round = 0; round < 400; ++round) {
        std::string html;
        size_t length = random() % 60;
        for (size_t i = 0; i < length; ++i)
            html += TOKENS[random() % (sizeof TOKENS / sizeof TOKENS[0])];
        for (bool clean : {false, true}) {
            CHtmlParse parse;
            ASSERT_EQ(parse.Init(html, false, clean), RC_OK);
            std::string out;
            parse.PrintDocument(out);
            HandleNakedAmpersand(out);
            ASSERT_TRUE(IsWellFormedXml(out)) << "input: " << html << "\noutput: " << out;
        }
    }
}

// Our rendering of short text nodes must be the library's, byte for byte.
TEST(HtmlParse, FastTextRenderingMatchesTheLibrary)
{
    static const char* const PIECES[] = {
        "a",
        "Z",
        " ",
        "  ",
        "&amp;",
        "&lt;",
        "&gt;",
        "\"",
        "'",
        "&nbsp;",
        "&#160;",
        "&eacute;",
        "&mdash;",
        "&#x2028;",
        "&#xFEFF;",
        "&#xAD;",
        "&#x85;",
        "&#x200B;",
        "&#x1F600;",
        "\xef\xbf\xbd",
        "\xe6\xbc\xa2",
        "\xff",
        "\t",
        "\n",
        "&#1;",
        "&#127;",
        ";",
        "&bogus;",
        "&",
        "<",
        ">",
        "=",
        "/",
        "\\",
        "-->",
        "x y z",
    };
    std::mt19937 random(4242);
    int compared = 0, fast = 0;
    for (int round = 0; round < 300; ++round) {
        std::string html = "<html><body>";
        for (int p = 0; p < 8; ++p) {
            html += "<p>";
            size_t length = random() % (p == 7 ? 900 : 30);
            for (size_t i = 0; i < length; ++i)
                html += PIECES[random() % (sizeof PIECES / sizeof PIECES[0])];
            html += "<b>b</b></p>";
        }
        html += "</body></html>";
        CHtmlParse parse;
        ASSERT_EQ(parse.Init(html), RC_OK);
        std::vector<TidyNode> stack{parse.GetRoot()};
        while (!stack.empty()) {
            TidyNode node = stack.back();
            stack.pop_back();
            for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
                stack.push_back(child);
            if (tidyNodeGetType(node) != TidyNode_Text) continue;
            std::string ours = "prefix", library = "prefix";
            bool done = parse.RenderTextFast(node, ours);
            parse.PrintRenderedByLibrary(node, library);
            ++compared;
            if (!done) {
                EXPECT_EQ(ours, "prefix");
                continue;
            }
            ++fast;
            ASSERT_EQ(ours, library) << html;
        }
    }
    // Most text takes the fast way, or the comparison proves little.
    EXPECT_GT(fast, compared / 2);
}

TEST(HtmlParse, NodePrinterKeepsCommentsButDocumentPrinterDoesNot)
{
    EXPECT_NE(PrintFirstInBody("<div><!--c--><p>x</p></div>").find("<!--c-->"), std::string::npos);
}

TEST(HtmlParse, WithoutXmlLangRemovesOnlyTheHtmlAttribute)
{
    CHtmlParse parse;
    ASSERT_EQ(parse.Init("<html xml:lang=\"fr\" lang=\"fr\"><body><p xml:lang=\"de\">x</p></body></html>"),
              RC_OK);
    std::string plain, without;
    parse.PrintDocument(plain);
    parse.PrintDocumentWithoutXmlLang(without);
    EXPECT_NE(plain.find("<html xml:lang=\"fr\" lang=\"fr\" xmlns=\"http://www.w3.org/1999/xhtml\">"),
              std::string::npos)
        << plain;
    EXPECT_NE(without.find("<html lang=\"fr\" xmlns=\"http://www.w3.org/1999/xhtml\">"), std::string::npos)
        << without;
    EXPECT_NE(without.find("xml:lang=\"de\""), std::string::npos);
}

TEST(HtmlParse, StyleSheetLinkedOncePerObjectAndImagesTrimmed)
{
    CHtmlParse parse;
    ASSERT_EQ(parse.Init("<html><head><title>t</title></head><body><img src=\"a.png\" alt=\"A\" width=\"10\" "
                         "class=\"c\"></body></html>"),
              RC_OK);
    std::string first, second;
    parse.PrintDocumentLinkingStyleSheet("../VerticalMode.css", first);
    EXPECT_NE(first.find("<title>t</title>\r\n<link href=\"../VerticalMode.css\" rel=\"stylesheet\" "
                         "type=\"text/css\" />\r\n</head>"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("<img src=\"a.png\" alt=\"A\" />"), std::string::npos) << first;
    ASSERT_EQ(parse.Init("<html><head><title>t</title></head><body><p>x</p></body></html>"), RC_OK);
    parse.PrintDocumentLinkingStyleSheet("VerticalMode.css", second);
    EXPECT_EQ(second.find("<link"), std::string::npos);
}

TEST(HtmlParse, HeadingIdsAddedOnlyWhereMissing)
{
    CHtmlParse parse;
    ASSERT_EQ(parse.Init("<html><body><h1>A</h1><h2 id=\"keep\">B</h2><h3 class=\"c\">C</h3></body></html>"),
              RC_OK);
    std::string out;
    parse.PrintDocumentWithHeadingIds(out);
    uint16_t date = 0, time = 0;
    DosDateTime(date, time);
    // The clock may tick between the print and this line; the date part is what can be pinned.
    std::string prefix = "<h1 id=\"e" + std::to_string(date);
    size_t h1 = out.find(prefix);
    ASSERT_NE(h1, std::string::npos) << out;
    EXPECT_NE(out.find(".1\">A</h1>", h1), std::string::npos) << out;
    EXPECT_NE(out.find("<h2 id=\"keep\">B</h2>"), std::string::npos);
    EXPECT_NE(out.find("<h3 class=\"c\" id=\"e"), std::string::npos);
    EXPECT_NE(out.find(".2\">C</h3>"), std::string::npos) << out;
}

TEST(HtmlParse, VisibleTextSkipsHiddenSpans)
{
    CHtmlParse parse;
    ASSERT_EQ(parse.Init("<html><body><p>shown<span style=\"display:none;\">hidden<b>too</b></span>"
                         "<span style=\"color:red\">red</span><!--c--></p></body></html>"),
              RC_OK);
    std::string out;
    parse.PrintVisibleText(out);
    EXPECT_NE(out.find("shown"), std::string::npos);
    EXPECT_NE(out.find("red"), std::string::npos);
    EXPECT_EQ(out.find("hidden"), std::string::npos);
    EXPECT_EQ(out.find("too"), std::string::npos);
    EXPECT_EQ(out.find("<"), std::string::npos);
}

TEST(HtmlParse, InitFailsOnNegativeStatusAndCanBeReused)
{
    CHtmlParse parse;
    // An unknown input encoding makes the library refuse the text outright.
    ASSERT_EQ(parse.Init("<p>a</p>", false, false), RC_OK);
    EXPECT_EQ(tidyNodeGetType(tidyGetRoot(parse.GetDoc())), TidyNode_Root);
    ASSERT_EQ(parse.Init("<p>b</p>"), RC_OK);
    std::string out;
    parse.PrintDocument(out);
    EXPECT_NE(out.find("<p>b</p>"), std::string::npos);
}

TEST(HtmlParse, Windows1252Input)
{
    CHtmlParse parse;
    ASSERT_EQ(parse.Init("<p>caf\xe9 \x80</p>", true, true), RC_OK);
    std::string out;
    parse.PrintNode(tidyGetChild(tidyGetBody(parse.GetDoc())), out);
    EXPECT_EQ(out, "<p>caf\xc3\xa9 \xe2\x82\xac</p>\r\n");
}

struct SvgCase {
    const char* label;
    const char* html;
    const char* expected; // a piece of the printed body
};

const SvgCase kSvgCases[] = {
    {"svg attributes",
     "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 10 10\" preserveAspectRatio=\"none\">",
     "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 10 10\" preserveAspectRatio=\"none\">"},
    {"element and its end tag",
     "<svg><defs><linearGradient id=\"g\" gradientUnits=\"userSpaceOnUse\"></linearGradient></defs></svg>",
     "<linearGradient id=\"g\" gradientUnits=\"userSpaceOnUse\"></linearGradient>"},
    {"deeper inside svg", "<svg><g><g><clipPath clipPathUnits=\"objectBoundingBox\"/></g></g></svg>",
     "<clipPath clipPathUnits=\"objectBoundingBox\"></clipPath>"},
    {"written in another case", "<SVG VIEWBOX=\"0 0 1 1\"><FOREIGNOBJECT/></SVG>",
     "<svg viewBox=\"0 0 1 1\"><foreignObject></foreignObject>"},
    {"image keeps xlink:href", "<svg><image xlink:href=\"c.jpg\" width=\"1\"/></svg>",
     "<image xlink:href=\"c.jpg\" width=\"1\">"},
    {"outside svg names stay as the library has them", "<div viewBox=\"1\">x</div>",
     "<div viewbox=\"1\">x</div>"},
};

// The library lower-cases every name; SVG's own mixed-case names must come back, or a cover page
// scales wrongly and fails validation.
TEST(HtmlParse, SvgNamesKeepTheirCase)
{
    for (const SvgCase& c : kSvgCases) {
        SCOPED_TRACE(c.label);
        std::string out = PrintDocument(std::string("<html><body><div>") + c.html + "</div></body></html>");
        EXPECT_NE(out.find(c.expected), std::string::npos) << out;
        EXPECT_TRUE(IsWellFormedXml(out));
    }
}

// The walks stop at MAX_DEPTH; the cleaner flattens what lies deeper, so the text is still printed.
TEST(HtmlParse, TextBeyondTheWalkLimitIsKept)
{
    for (int levels : {CHtmlParse::MAX_DEPTH - 40, CHtmlParse::MAX_DEPTH + 10, 5000}) {
        SCOPED_TRACE(levels);
        std::string html = "<html><body>";
        for (int i = 0; i < levels; ++i)
            html += "<div>";
        html += "deep";
        for (int i = 0; i < levels; ++i)
            html += "</div>";
        html += "<p>after</p></body></html>";
        CHtmlParse parse;
        ASSERT_EQ(parse.Init(html), RC_OK);
        EXPECT_LE(TreeDepth(parse.GetRoot()), CHtmlParse::MAX_TREE_DEPTH);
        std::string out;
        parse.PrintDocument(out);
        EXPECT_NE(out.find("deep"), std::string::npos);
        EXPECT_NE(out.find("<p>after</p>"), std::string::npos);
        std::string visible;
        parse.PrintVisibleText(visible);
        EXPECT_NE(visible.find("deep"), std::string::npos);
    }
}

struct NestCase {
    const char* label;
    const char* open;
    const char* close;
};

const NestCase kNestCases[] = {
    {"div", "<div>", ""},
    {"span", "<span>", ""},
    {"table cells", "<table><tr><td>", ""},
    {"definition lists", "<dl><dd>", ""},
    {"closed divs", "<div>", "</div>"},
    {"end tags inside comments", "<div><!-- </div> -->", ""},
    {"end tags inside attribute values", "<div title='</div>'>", ""},
    {"end tags inside script", "<div><script>x='</div>'</script>", ""},
    {"paragraph end in a table cell", "<p><table><tr><td></p>", ""},
    {"inline elements reopened in later blocks", "<p><font></p>", ""},
};

// The library recurses once per level in parsing and in clean-up; 100,000 levels overflow an 8 MB
// stack. The nesting guard must keep what reaches it shallow, whatever the markup tricks.
TEST(HtmlParse, DeepNestingNeverReachesTheLibrary)
{
    for (const NestCase& c : kNestCases) {
        SCOPED_TRACE(c.label);
        std::string html = "<html><body>";
        for (int i = 0; i < 100000; ++i)
            html += c.open;
        html += "x";
        for (int i = 0; i < 100000; ++i)
            html += c.close;
        html += "</body></html>";
        CHtmlParse parse;
        // Some of these outgrow the memory budget instead; either way nothing overflows.
        ResultCode rc = parse.Init(html);
        ASSERT_TRUE(rc == RC_OK || rc == RC_HTML_INIT);
        if (rc != RC_OK) continue;
        EXPECT_LE(TreeDepth(parse.GetRoot()), CHtmlParse::MAX_TREE_DEPTH);
        std::string out;
        parse.PrintVisibleText(out);
        EXPECT_NE(out.find('x'), std::string::npos);
    }
}

TEST(HtmlParse, NestingGuardLeavesOrdinaryDocumentsAlone)
{
    std::string html = "<html><body>";
    // Sloppy but shallow: unclosed inline elements, list items, paragraphs and cells by the thousand.
    for (int i = 0; i < 3000; ++i)
        html += "<p><font face=\"x\">a <b>b</b></font><p>c<br>d";
    html += "<ul>";
    for (int i = 0; i < 3000; ++i)
        html += "<li><i>item<p>more";
    html += "</ul><table>";
    for (int i = 0; i < 3000; ++i)
        html += "<tr><td><span>a<td>b";
    html += "</table>";
    for (int i = 0; i < 3000; ++i)
        html += "<div class=\"c\"><a href=\"x.html\">x</div>";
    html += "</body></html>";
    std::string capped;
    EXPECT_FALSE(CapNesting(html, CHtmlParse::TIDY_NESTING_LIMIT, capped));
}

// Random tag soup full of the places where the library and a naive reading of the markup part
// ways. With a small limit, whatever the library builds must stay within a small multiple of it.
TEST(HtmlParse, NestingGuardBoundsTheLibrarysDepthOnTagSoup)
{
    static const char* const TOKENS[] = {
        "<div>",
        "</div>",
        "<b>",
        "</b>",
        "<i>",
        "</i>",
        "<span title='</b>'>",
        "<!--",
        "-->",
        "<script>",
        "</script>",
        "<select>",
        "</select>",
        "<foo>",
        "</foo>",
        "<table>",
        "</table>",
        "<tr>",
        "<td>",
        "</td>",
        "<p>",
        "</p>",
        "<li>",
        "<ul>",
        "</ul>",
        "x",
        "'",
        "\"",
        "<a>",
        "</a>",
        "<font>",
        "</font>",
        "<title>",
        "</title>",
        "<object>",
        "</object>",
        "<dl>",
        "<dd>",
        "<option>",
        "<textarea>",
        "</textarea>",
        "<div a=\"",
        "<![CDATA[",
        "]]>",
        "<br>",
        "<div/>",
        "<head>",
        "<body>",
        "<html>",
        "<frameset>",
        "<h1>",
        "</h1>",
        "<pre>",
        "<center>",
        "<blockquote>",
        "</blockquote>",
        "<em>",
        "</em>",
        "<q>",
        "<map>",
        "<caption>",
        "<th>",
        "<tbody>",
    };
    const size_t tokenCount = sizeof TOKENS / sizeof TOKENS[0];
    const size_t limit = 30;
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        std::string html;
        for (int i = 0; i < 2000; ++i)
            html += TOKENS[random() % tokenCount];
        std::string capped;
        const std::string& text = CapNesting(html, limit, capped) ? capped : html;
        CHtmlParse parse;
        if (parse.Init(text) != RC_OK) continue; // a tree past the memory budget is refused
        int depth = TreeDepth(parse.GetRoot());
        ASSERT_LE(depth, static_cast<int>(3 * limit + 10)) << "round " << round << ":\n" << text;
    }
}

// Where the guard's estimate falls short of the library's tree, the page is cut again, tighter,
// until the tree fits; a page that never fits is refused rather than printed in part.
TEST(HtmlParse, TreesDeeperThanTheLimitAreCutAgain)
{
    static const char* const TOKENS[] = {
        "<div>", "<b>",  "</b>", "<i>",    "<p>",  "</p>",         "<table>",  "<tr>", "<td>", "<li>",
        "<ul>",  "<dl>", "<dd>", "<font>", "<em>", "<blockquote>", "<center>", "<h1>", "z"};
    const int limit = 12;
    std::mt19937 random(4242);
    int fitted = 0;
    for (int round = 0; round < 100; ++round) {
        std::string html;
        for (int i = 0; i < 400; ++i)
            html += TOKENS[random() % (sizeof TOKENS / sizeof TOKENS[0])];
        CHtmlParse parse;
        parse.SetMaxTreeDepth(limit);
        ResultCode rc = parse.Init(html);
        ASSERT_TRUE(rc == RC_OK || rc == RC_HTML_INIT);
        if (rc != RC_OK) {
            EXPECT_EQ(parse.GetDoc(), nullptr);
            continue;
        }
        ++fitted;
        ASSERT_LE(TreeDepth(parse.GetRoot()), limit) << "round " << round << ":\n" << html;
        std::string visible;
        parse.PrintVisibleText(visible);
        EXPECT_EQ(std::count(visible.begin(), visible.end(), 'z'), std::count(html.begin(), html.end(), 'z'));
    }
    EXPECT_GT(fitted, 90);
}

TEST(HtmlParse, TreesPastTheMemoryBudgetAreRefused)
{
    std::string html = "<html><body>";
    for (int i = 0; i < 20000; ++i)
        html += "<p>Paragraph <b>bold</b> and <i>italic</i>.</p>";
    html += "</body></html>";
    CHtmlParse parse;
    parse.SetMemoryBudget(1u << 20, 1);
    EXPECT_EQ(parse.Init(html), RC_HTML_INIT);
    EXPECT_EQ(parse.GetDoc(), nullptr);
    // The object stays usable, and the same page fits the default budget.
    parse.SetMemoryBudget(CHtmlParse::TIDY_MEMORY_BASE, CHtmlParse::TIDY_MEMORY_PER_BYTE);
    EXPECT_EQ(parse.Init(html), RC_OK);
}

TEST(HtmlParse, NodesLostByTheLibraryAreFreed)
{
    CHtmlParse parse;
    ASSERT_EQ(parse.Init("<?xml version='1.0' encoding='utf-8'\x02<?xml \xe9</title></head><body><h1>C</h1>"),
              RC_OK);
    std::string out;
    parse.PrintDocument(out);
    EXPECT_FALSE(out.empty());
}

TEST(HtmlParse, SloppyUnclosedInlineElementsStillParse)
{
    // The library nests each unclosed font into every later paragraph: without a cap on such
    // elements this page would outgrow the memory budget.
    std::string html = "<html><body>";
    for (int i = 0; i < 3000; ++i)
        html += "<p><font color=\"red\">a</p>";
    html += "</body></html>";
    CHtmlParse parse;
    ASSERT_EQ(parse.Init(html), RC_OK);
    std::string out;
    parse.PrintDocument(out);
    EXPECT_NE(out.find("<font color=\"red\">a</font>"), std::string::npos);
}

TEST(HtmlParse, NestingGuardKeepsTheTextOfDroppedTags)
{
    std::string capped;
    ASSERT_TRUE(CapNesting("<b><i><u>x</u></i></b>y", 2, capped));
    EXPECT_EQ(capped, "<b><i>x</u></i></b>y");
}

// ---- pages parsed in pieces -----------------------------------------------------------------------

namespace
{

struct CutCase {
    const char* label;
    std::string page;
    size_t cuts; // with pieces of a byte: before every block the body may be cut at
};

const CutCase kCutCases[] = {
    // The library drops an empty last piece's wrappers: it joins the piece before.
    {"blocks right in the body",
     "<html><head><title>t</title></head><body><p>a</p><h2>b</h2><div>c</div><ul>", 2},
    {"unclosed paragraphs end at the next block", "<body><p>a<p>b<h3>c</h3><p>d", 3},
    {"a quoted > inside a tag", "<body><p title=\"a>b\">x</p><p>y</p>", 1},
    {"a comment between blocks", "<body><p>a</p><!-- <p> --><p>b</p>", 1},
    {"blocks inside a table cell", "<body><table><tr><td><p>a</p><p>b</p></td></tr></table><p>c</p>", 1},
    {"only text before the first block", "<body>words <p>a</p><p>b</p>", 1},
    {"one wrapper around every block", "<body><div class=\"document\"><p>a</p><p>b</p></div></body>", 1},
    {"wrappers in wrappers",
     "<body><h1>t</h1><div id=\"a\"><div id=\"b\"><p>a</p><p>b</p><p>c</p></div></div>", 2},
    {"a small div is no wrapper", "<body><div><p>a</p></div><p>bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb</p><p>c</p>",
     2},
    {"an inline element around blocks", "<body><font><p>a</p><p>b</p></font></body>", 0},
    {"blocks after the body has ended", "<body><p>a</p></body><p>b</p><p>c</p>", 0},
    {"a style element in the body", "<body><p>a</p><style>p{}</style><p>b</p><p>c</p>", 0},
    {"a second body", "<body><p>a</p><body><p>b</p><p>c</p>", 0},
    {"a part of a page is all body", "<p>a</p><p>b</p><p>c</p>", 2},
    {"a part of a page opening with a head element", "<title>t</title><p>a</p><p>b</p><p>c</p>", 0},
    {"a part of a page naming its body later", "<p>a</p><body><p>b</p><p>c</p>", 0},
    {"body named in a comment of the head", "<head><!-- <body><p> --></head><body><p>a</p><p>b</p>", 1},
    {"a NUL in the page", std::string("<body><p>a</p><p>b\0</p><p>c</p>", 31), 0},
    {"a bold element left open before the next paragraph", "<body><p>a <b>b<p>c<p>d</p></body>", 0},
    {"a bold element closed two paragraphs on", "<body><p>a <b>b<p>c</b><p>d<p>e</p></body>", 2},
    {"a link left open before a paragraph, which ends it", "<body><p>a <a href=\"x\">b<p>c<p>d", 2},
    {"a link closed by the end of its paragraph", "<body><p>a <a href=\"x\">b</p><p>c<p>d", 0},
    {"an element of running text the model has no class for", "<body><p><mark>a</p><p>b<p>c", 0},
    {"a div closed by the end tag of a bold element around it", "<body><b>a<div>b</b><p>c</p><p>d</p>", 0},
    {"an unclosed heading takes a div's end tag", "<body><div>a<h3>b</div><p>c</p><p>d</p>", 0},
    {"text in the head opens the body", "<html><head>a<title>t</title></head><body><p>b</p><p>c</p>", 0},
    {"a doctype inside the body", "<body><p>a</p><p>b</p><p>c</p><!DOCTYPE x><p>d</p>", 0},
    {"list items right in the body share the list the library makes", "<body><p>a</p><li>b</li><li>c</li>",
     0},
    {"a UTF-16 byte order mark", "\xFE\xFF<p>a</p><p>b</p><p>c</p>", 0},
    {"a stray < at the end of a paragraph", "<body><p>a</p><p>b<<p>c</p><p>d</p>", 2},
    {"a cell outside any table", "<body><p>a</p><td>b</td><p>c</p><p>d</p>", 0},
    {"a bold element closing itself after a bare attribute stays open",
     "<body><p><b r/>a</p><p>b</p><p>c</p>", 0},
    // The library drops what it cannot read as a known element, and what it holds with it.
    {"an element of an unknown name", "<body><p>a</p><p>b</p><jj><p>c</p><p>d</p>", 1},
    {"a name ended by a control byte", "<body><p>a</p><p>b</p><p\x1Ey<p>c</p><p>d</p>", 1},
    {"an end tag's name ended by other bytes", "<body><p>a</p><div>x</div\xFF><p>b</p><p>c</p>", 1},
    {"a start tag cut short by another", "<body><p>a</p><p>b</p><p class=x<p>c</p><p>d</p>", 1},
    {"a heading closed by another level's end tag", "<body><p>a</p><h3>b</h2><p>c</p><p>d</p>", 1},
};

// Pages whose pieces must print exactly as the whole page does.
const char* const kPiecePages[] = {"ebook/qs-introduction.xhtml", "ebook/qs-task-2-conversion.xhtml",
                                   "html/qs-eng/index.html"};

// Elements of running text left open before a block: the library reopens them in every later
// block until their end tag, so the page is cut only where none is left open (if anywhere).
struct InlinePage {
    const char* label;
    const char* start;    // once, after the body's start tag
    const char* repeated; // then many times
    bool cut;
};

const InlinePage kInlinePages[] = {
    {"a bold element left open", "<p>one <b>bold", "<p>two", false},
    {"nested elements left open", "<p>one <b><i><span class=\"x\">bold", "<p>two<div>three</div>", false},
    {"a bold element closed some blocks later", "<p>one <b>bold<p>two<h2>three</h2><p>four</b> five",
     "<p>six</p>", true},
    {"an italic element left open when the bold one around it closes", "<p><b>one<i>two</b>three", "<p>four",
     false},
    {"a link left open before a heading", "<p>one <a href=\"x\">link<h2>two</h2>", "<p>three", false},
    {"a link left open before a paragraph", "<p>one <a href=\"x\">link", "<p>two", true},
    {"a link closed by the end of its paragraph", "<p>one <a href=\"x\">link</p>", "<p>two</p>", false},
    {"a font closed by the end of its paragraph", "<p><font color=\"red\">red</p>", "<p>two</p>", false},
    {"a font around blocks, closed", "<font face=\"serif\"><p>one</p><p>two</p></font>", "<p>three</p>",
     true},
    {"an element of running text the model has no class for", "<p><mark>one</p>", "<p>two</p>", false},
};

} // namespace

TEST(HtmlParse, PagesAreCutOnlyBetweenBlocksOfTheBody)
{
    for (const CutCase& c : kCutCases) {
        SCOPED_TRACE(c.label);
        PageCuts cuts = FindPageCuts(c.page, 1);
        ASSERT_EQ(cuts.m_Cuts.size(), c.cuts);
        for (size_t at : cuts.m_Cuts) {
            EXPECT_GT(at, cuts.m_BodyStart);
            EXPECT_EQ(c.page[at], '<');
            EXPECT_NE(c.page[at + 1], '/');
        }
        // A part of a page has no body start tag; its body starts with it.
        if (c.cuts > 0 && cuts.m_BodyStart > 0) {
            EXPECT_EQ(c.page.compare(cuts.m_BodyStart - 6, 6, "<body>"), 0);
        }
    }
    // Pieces are at least the size asked for.
    std::string page = "<body>";
    for (int i = 0; i < 100; ++i)
        page += "<p>ten bytes</p>";
    PageCuts cuts = FindPageCuts(page, 160);
    EXPECT_EQ(cuts.m_Cuts.size(), 9u);
    for (size_t k = 1; k < cuts.m_Cuts.size(); ++k)
        EXPECT_GE(cuts.m_Cuts[k] - cuts.m_Cuts[k - 1], 160u);
}

// A page parsed a piece at a time prints byte for byte as the whole page, with every document
// printer; so do pages whose first paragraph the library drops, whose paragraphs are unclosed, or
// whose blocks sit in wrappers.
TEST(HtmlParse, PiecesPrintAsTheWholePage)
{
    std::vector<std::string> pages;
    for (const char* name : kPiecePages)
        pages.push_back(ReadWholeFile(DataPath(name)));
    pages.push_back(
        "<html><head><title>t</title></head><body><p></p>\n<p class=\"a\">one &amp; <b>two</b></p>"
        "<p>three<p>four<h2>five</h2><pre>six\n  seven</pre><hr><table><tr><td>x</td></tr></table>"
        "<p>eight</p></body></html>");
    pages.push_back("<html><head><title>w</title></head><body><h1>Title</h1>\n<div class=\"document\">\n"
                    "<div class=\"body\"><p>one</p>\n<p>two<p>three</p><h2>four</h2><ul><li>five</li></ul>"
                    "<p>six</p></div></div>\n<p>after</p></body></html>");
    // A part of a longer text, as Kindle books break theirs into pages.
    pages.push_back("words <p>one</p>\n<div><p>two</p><p>three</p></div><p>four<h2>five</h2><p>six</p>"
                    "</body></html>");
    for (const InlinePage& c : kInlinePages) {
        std::string page = std::string("<html><head><title>i</title></head><body>") + c.start;
        for (int k = 0; k < 40; ++k)
            page += c.repeated;
        pages.push_back(page + "</body></html>");
    }
    using Printer = void (*)(CHtmlParse&, std::string&);
    const std::pair<const char*, Printer> printers[] = {
        {"plain", [](CHtmlParse& p, std::string& out) { p.PrintDocument(out); }},
        {"without xml:lang", [](CHtmlParse& p, std::string& out) { p.PrintDocumentWithoutXmlLang(out); }},
        {"linking a style sheet",
         [](CHtmlParse& p, std::string& out) { p.PrintDocumentLinkingStyleSheet("v.css", out); }},
    };
    for (size_t i = 0; i < pages.size(); ++i) {
        const std::string& page = pages[i];
        size_t inlineCase = i + std::size(kInlinePages) - pages.size();
        bool inlinePage = inlineCase < std::size(kInlinePages);
        SCOPED_TRACE(i < std::size(kPiecePages) ? kPiecePages[i]
                     : inlinePage               ? kInlinePages[inlineCase].label
                                                : "made-up page " + std::to_string(i));
        if (!inlinePage || kInlinePages[inlineCase].cut)
            ASSERT_GT(FindPageCuts(page, 16).m_Cuts.size(), 1u) << "the page must really be cut";
        else
            ASSERT_TRUE(FindPageCuts(page, 16).m_Cuts.empty());
        for (const auto& [label, print] : printers) {
            SCOPED_TRACE(label);
            CHtmlParse whole, pieces;
            std::string expected, actual;
            ASSERT_EQ(whole.Init(page), RC_OK);
            print(whole, expected);
            pieces.SetPieceBytes(16);
            ASSERT_EQ(pieces.PrintPage(
                          page, [&](std::string& out) { print(pieces, out); }, actual),
                      RC_OK);
            EXPECT_EQ(actual, expected);
        }
    }
}

// ---- the cleaner in whole conversions --------------------------------------------------------------

namespace
{

// Every entry of an archive, one after another (images too), as unzip prints them.
std::string ArchiveText(const std::string& path)
{
    return RunProgramCapture("/usr/bin/unzip", {"-p", path}, "").out;
}

bool Converted(const std::string& in, const std::string& out, const std::string& temp)
{
    CommandRun run = RunTarvoCmd({"c", in, out, temp});
    EXPECT_NE(run.out.find("return 0"), std::string::npos) << in << " -> " << out << "\n" << run.out;
    return run.exitStatus == 0;
}

struct DeepPage {
    const char* label;
    int levels;
    const char* open;
    const char* close;
};

const DeepPage kDeepPages[] = {
    {"5,000 levels of div and span", 2500, "<div><span>", "</span></div>"},
    {"100,000 levels of div", 100000, "<div>", "</div>"},
};

} // namespace

// Text nested beyond the walks' limit reaches every output format, in bounded time.
TEST(HtmlParseConversion, DeepPagesKeepTheirTextInEveryOutput)
{
    if (!SlowChecksWanted()) GTEST_SKIP() << "a slow check";
    for (const DeepPage& c : kDeepPages) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        std::string page = "<html><head><title>Deep</title></head><body><p>first words</p>";
        for (int i = 0; i < c.levels; ++i)
            page += c.open;
        page += "deepest words";
        for (int i = 0; i < c.levels; ++i)
            page += c.close;
        page += "<p>last words</p></body></html>";
        ASSERT_EQ(WriteWholeFile(scratch / "deep.html", page), RC_OK);

        ASSERT_TRUE(Converted(scratch / "deep.html", scratch / "deep.txt", scratch / "t1"));
        ASSERT_TRUE(Converted(scratch / "deep.html", scratch / "deep.epub", scratch / "t2"));
        ASSERT_TRUE(Converted(scratch / "deep.html", scratch / "deep.azw3", scratch / "t3"));
        ASSERT_TRUE(Converted(scratch / "deep.azw3", scratch / "back.txt", scratch / "t4"));
        const std::string outputs[] = {ReadWholeFile(scratch / "deep.txt"),
                                       ArchiveText(scratch / "deep.epub"),
                                       ReadWholeFile(scratch / "back.txt")};
        for (const std::string& text : outputs)
            for (const char* words : {"first words", "deepest words", "last words"})
                EXPECT_NE(text.find(words), std::string::npos) << words;
    }
}

// The SVG cover page of a real book keeps its scaling through a conversion and still validates.
TEST(HtmlParseConversion, SvgCoverPageKeepsItsCase)
{
    ScratchDir scratch;
    ASSERT_TRUE(Converted(TARVO_TEST_DATA "/epub/qs-eng.epub", scratch / "out.epub", scratch / "t"));
    std::string titlePage =
        RunProgramCapture("/usr/bin/unzip", {"-p", scratch / "out.epub", "*titlepage.xhtml"}, "").out;
    EXPECT_NE(titlePage.find("viewBox=\"0 0 600 800\""), std::string::npos) << titlePage;
    EXPECT_NE(titlePage.find("preserveAspectRatio=\"none\""), std::string::npos) << titlePage;

    const char* jar = "/usr/share/java/epubcheck.jar";
    if (!SlowChecksWanted() || !FileExists(jar)) GTEST_SKIP() << "epubcheck: a slow check, or not installed";
    RunProgramCapture("/usr/bin/java", {"-jar", jar, scratch / "out.epub", "--json", scratch / "report.json"},
                      "");
    std::string report = ReadWholeFile(scratch / "report.json");
    ASSERT_NE(report.find("\"messages\""), std::string::npos);
    std::string messages = report.substr(0, report.find("\"checker\""));
    EXPECT_EQ(messages.find("titlepage"), std::string::npos) << messages;
}

// A page of many megabytes is parsed a piece at a time: HTML, EPUB and text out hold at most about
// three times the page (the program aside), where the library's tree of the whole page alone took
// ten. With too little memory for even that, the result line says so and nothing is written.
TEST(HtmlParseConversion, BigPagesNeedAFewTimesThePage)
{
    if (!SlowChecksWanted() || !ADDRESS_SPACE_IS_MEASURABLE)
        GTEST_SKIP() << "slow check, or sanitizer shadow memory fills the address space";
    ScratchDir scratch;
    const size_t size = 24u << 20;
    std::string page = "<html><head><title>Big</title></head><body>\n";
    for (size_t n = 0; page.size() < size; ++n) {
        if (n % 500 == 0) page += "<h2>Part " + std::to_string(n / 500) + "</h2>\n";
        page +=
            "<p>Caf\xC3\xA9 &amp; <b>bold</b> words of a long page, line " + std::to_string(n) + ".</p>\n";
    }
    page += "<p>The last line.</p></body></html>\n";
    ASSERT_EQ(WriteWholeFile(scratch / "big.html", page), RC_OK);
    const size_t programBytes = 16u << 20;
    for (const std::string format : {"html", "epub", "txt"}) {
        for (size_t pages : {3, 1}) {
            SCOPED_TRACE(format + " in " + std::to_string(pages) + " times the page");
            const std::string output = scratch / ("out" + std::to_string(pages) + "." + format);
            CommandRun run = RunProgramCapture("/usr/bin/prlimit",
                                               {"--as=" + std::to_string(programBytes + pages * size),
                                                TARVO_CMD_PATH, "c", scratch / "big.html", output,
                                                scratch / ("job-" + format + std::to_string(pages) + "/")},
                                               "");
            if (pages == 3) {
                EXPECT_TRUE(EndsWith(run.out, "succeed\nreturn 0\n")) << run.out;
                std::string written = format == "epub" ? ArchiveText(output) : ReadWholeFile(output);
                EXPECT_NE(written.find("The last line."), std::string::npos);
            } else {
                EXPECT_TRUE(EndsWith(run.out, "Allocate Memory failed!\nreturn 33555201\n")) << run.out;
                EXPECT_EQ(run.exitStatus, 1);
                EXPECT_FALSE(FileExists(output));
            }
        }
    }
}
