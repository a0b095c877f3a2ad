#include "mobi/Ebook_Prc.h"

#include "base/Files.h"
#include "base/Text.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include "EpubEntries.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

using namespace mobitest;

namespace
{

// A MOBI 6 part held in memory: the text and the resource files a real unpack would have made.
struct PrcBook {
    CMobiHeader header;
    std::string dir = ScratchDirectory();

    explicit PrcBook(const std::string& text, int resources = 0)
    {
        header.m_Text = text;
        for (int i = 0; i < resources; ++i) {
            std::string name = "Image0000" + std::to_string(i) + ".jpg";
            header.m_ResourceFiles.push_back(name);
            header.m_ResourceMap[i] = name;
        }
    }
    std::string File(const std::string& name) const { return ReadWholeFile(dir + name); }
};

struct SplitCase {
    const char* label;
    const char* text;
    std::vector<std::string> pieces; // the bytes of each piece
    const char* lookedUp = nullptr;  // the text that begins a position looked up
    const char* target = nullptr;    // where that position leads
};

// A page that shows nothing takes no file name; what points into it leads to the page before it,
// or, with none before, to the page after.
TEST(EbookPrc, SplitHtmlFileCutsAtPageBreakTags)
{
    const SplitCase cases[] = {
        {"no page break: one piece with the head",
         "<html><head></head><body><p>a</p></body></html>",
         {"<html><head></head><body><p>a</p></body></html>"}},
        {"break right after body makes no empty piece",
         "<html><body><mbp:pagebreak/><p>a</p><mbp:pagebreak/></body></html>",
         {"<p>a</p>"}},
        {"three sections each followed by a break",
         "<html><body><p>1</p><mbp:pagebreak/><p>2</p><mbp:pagebreak "
         "/><p>3</p><mbp:pagebreak/></body></html>",
         {"<p>1</p>", "<p>2</p>", "<p>3</p>"}},
        {"a trailing section is kept",
         "<html><body><p>1</p><mbp:pagebreak/><p>2</p></body></html>",
         {"<p>1</p>", "<p>2</p></body></html>"}},
        {"page break words in text do not cut",
         "<html><body><p>mbp:pagebreak</p><mbp:pagebreak/></body></html>",
         {"<p>mbp:pagebreak</p>"}},
        {"without a body no piece", "<html><p>1</p><mbp:pagebreak/><p>2</p>", {}},
        {"body with attributes and blanks",
         "<html>< body class=\"x\"><p>1</p><mbp:pagebreak/></html>",
         {"<p>1</p>"}},
        {"trailing anchors after the last break",
         "<html><body><p id=\"a\">1</p><mbp:pagebreak/><p>2</p><mbp:pagebreak/><a ></a> <a "
         "id=\"end\"></a></body></html>",
         {"<p id=\"a\">1</p>", "<p>2</p>"},
         "<a id=\"end\">",
         "text00001.html"},
        {"an empty page between two breaks",
         "<html><body><p>1</p><mbp:pagebreak/><div> </div><mbp:pagebreak/><p id=\"x\">3</p><mbp:pagebreak/>"
         "</body></html>",
         {"<p>1</p>", "<p id=\"x\">3</p>"},
         "<div> </div>",
         "text00000.html"},
        {"an empty first page leads to the next",
         "<html><body><br/><mbp:pagebreak/><p id=\"x\">2</p><mbp:pagebreak/></body></html>",
         {"<p id=\"x\">2</p>"},
         "<br/>",
         "text00000.html#x"},
        {"a book that shows nothing keeps its first page",
         "<html><body><p></p><mbp:pagebreak/><br/><mbp:pagebreak/></body></html>",
         {"<p></p>"},
         "<br/>",
         "text00000.html"},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.label);
        PrcBook book(c.text);
        CEbookPrc prc(book.header, book.header, book.dir, nullptr);
        prc.SplitHtmlFile();
        ASSERT_EQ(prc.Pieces().size(), c.pieces.size());
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            const TextPiece& p = prc.Pieces()[i];
            EXPECT_EQ(book.header.m_Text.substr(p.m_Start, p.m_End - p.m_Start), c.pieces[i]);
            char name[32];
            std::snprintf(name, sizeof name, "text%05zu.html", i);
            EXPECT_EQ(p.m_Name, name);
            EXPECT_EQ(prc.AnchorMap().at(static_cast<int64_t>(p.m_Start)).substr(0, 14), name);
        }
        if (c.lookedUp == nullptr) continue;
        size_t position = book.header.m_Text.find(c.lookedUp);
        ASSERT_NE(position, std::string::npos);
        EXPECT_EQ(prc.LookupTarget(static_cast<int64_t>(position) + 1), c.target);
    }
}

struct ShowsCase {
    const char* label;
    const char* text;
    bool shows;
};

TEST(EbookPrc, ShowsSomethingTellsEmptyPagesFromPagesWithContent)
{
    const ShowsCase cases[] = {
        {"nothing at all", "", false},
        {"blanks and line ends", " \r\n\t ", false},
        {"anchors a writer leaves after the last break", "<a ></a> <a ></a> <a ></a></body></html>", false},
        {"empty blocks and a line break", "<div><p class=\"x\"></p><br/></div>", false},
        {"a comment", "<!-- <img src=x> --><p></p>", false},
        {"Kindle markup", "<mbp:nu></mbp:nu><MBP:SECTION/>", false},
        {"a word", "<p>a</p>", true},
        {"a character reference", "<p>&nbsp;</p>", true},
        {"text outside any tag", "</body>x", true},
        {"an image", "<p><img recindex=\"00001\"/></p>", true},
        {"upper-case rule", "<HR>", true},
        {"a table without text", "<table><tr><td></td></tr></table>", true},
        {"a tag cut off by the end", "<p></p><img recindex=0001", true},
        {"a comment left open hides the rest", "<!-- <p>a</p>", false},
    };
    for (const ShowsCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string text = std::string("<body>") + c.text;
        EXPECT_EQ(ShowsSomething(text, 6, text.size()), c.shows);
    }
    // Only the range counts.
    EXPECT_FALSE(ShowsSomething("<p>a</p><br/>", 8, 13));
    EXPECT_TRUE(ShowsSomething("<p>a</p><br/>", 0, 100));
}

struct LookupCase {
    const char* label;
    std::vector<int64_t> anchors;
    int64_t position;
    const char* target;
};

TEST(EbookPrc, LookupTargetTakesTheNearestAnchor)
{
    const LookupCase cases[] = {
        {"equal distance goes to the later anchor", {900, 1100}, 1000, "a1100"},
        {"nearer anchor below wins", {900, 1150}, 1000, "a900"},
        {"exact key", {900, 1000, 1100}, 1000, "a1000"},
        {"past the last anchor", {900, 1100}, 5000, "a1100"},
        {"before the first anchor", {900, 1100}, 10, "a900"},
        {"empty map", {}, 10, ""},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::string text;
        for (int64_t a : c.anchors) {
            text.resize(static_cast<size_t>(a), ' ');
            text += "<p id=\"a" + std::to_string(a) + "\">";
        }
        PrcBook book(text);
        CEbookPrc prc(book.header, book.header, book.dir, nullptr);
        prc.GetIdStrByFilePos(text, 0, text.size(), "f");
        std::string expected = *c.target ? std::string("f#") + c.target : std::string();
        EXPECT_EQ(prc.LookupTarget(c.position), expected);
    }
}

struct IdCase {
    const char* label;
    const char* text;
    std::map<int64_t, std::string> anchors;
};

TEST(EbookPrc, GetIdStrByFilePosFindsIdsAndAnchorNames)
{
    const IdCase cases[] = {
        {"quoted id", "<p id=\"x\">", {{0, "f.html#x"}}},
        {"unquoted id", "ab<div id=y>", {{2, "f.html#y"}}},
        {"a name", "<a name=\"n\">", {{0, "f.html#n"}}},
        {"a value that begins with #", "<p id=\"#h\">", {{0, "f.html#h"}}},
        {"data-id is no id", "<p data-id=\"z\">", {}},
        {"name on another element is no anchor", "<p name=\"z\">", {}},
        {"the last id of a tag", "<p id=\"a\" x id=\"b\">", {{0, "f.html#b"}}},
        {"two tags", "<p id=\"a\"><span id=\"b\">", {{0, "f.html#a"}, {10, "f.html#b"}}},
        {"a tag cut by a second <", "<p id=<b id=\"c\">", {{0, "f.html#"}, {6, "f.html#c"}}},
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE(c.label);
        PrcBook book(c.text);
        CEbookPrc prc(book.header, book.header, book.dir, nullptr);
        prc.GetIdStrByFilePos(book.header.m_Text, 0, book.header.m_Text.size(), "f.html");
        EXPECT_EQ(prc.AnchorMap(), c.anchors);
    }
}

TEST(EbookPrc, IdScanOfALongTagStaysLinear)
{
    // A multi-MB tag without a closing bracket: the scan must neither recurse nor rescan.
    std::string text = "<p" + std::string(4 << 20, ' ') + "id=\"deep\">";
    PrcBook book(text);
    CEbookPrc prc(book.header, book.header, book.dir, nullptr);
    prc.GetIdStrByFilePos(book.header.m_Text, 0, book.header.m_Text.size(), "f");
    EXPECT_EQ(prc.LookupTarget(0), "f#deep");
}

TEST(EbookPrc, EmptyPageTestOfManyOpenCommentsStaysLinear)
{
    // Each page's comment runs to the end of the book: judging one page must not read the rest.
    std::string text = "<html><body><p>x</p><mbp:pagebreak/>";
    for (int i = 0; i < 100000; ++i)
        text += "<!-- <mbp:pagebreak/>";
    PrcBook book(text);
    CEbookPrc prc(book.header, book.header, book.dir, nullptr);
    prc.SplitHtmlFile();
    EXPECT_EQ(prc.Pieces().size(), 1u);
}

const char* const THREE_SECTIONS =
    "<html><head><guide><reference type=\"toc\" title=\"Contents &amp; more\" filepos=0000000100 />"
    "<reference type=\"text\" title=\"Start\" filepos=\"0000000102\"/></guide></head><body>"
    "<p>One <a filepos=0000000200>to two</a></p><mbp:pagebreak/>"
    "<p id=\"two\">Two <img recindex=\"00003\" alt=\"x\"/><img recindex=\"00009\"/></p><mbp:pagebreak/>"
    "<p>Three <a filepos=\"abc\">bad</a></p><mbp:pagebreak/></body></html>";

TEST(EbookPrc, MakeFileListWritesPiecesWithLinksImagesAndGuide)
{
    PrcBook book(THREE_SECTIONS, 4);
    // The link points at the second piece's paragraph.
    size_t two = book.header.m_Text.find("<p id=\"two\"");
    char filepos[16];
    std::snprintf(filepos, sizeof filepos, "%010zu", two);
    ReplaceAll(book.header.m_Text, "0000000200", filepos);
    CEbookPrc prc(book.header, book.header, book.dir, nullptr);
    ASSERT_EQ(prc.MakeFileListToMetaData(), RC_OK);
    const CIntermediateBook& b = book.header.m_Book;
    ASSERT_EQ(b.m_HtmlFileList,
              (std::vector<std::string>{"text00000.html", "text00001.html", "text00002.html"}));
    EXPECT_EQ(b.m_ResourceList.size(), 4u);

    std::string first = book.File("text00000.html");
    EXPECT_EQ(first.rfind("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
                          "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\"><html",
                          0),
              0u);
    EXPECT_NE(first.find("<a href=\"text00001.html#two\">"), std::string::npos) << first;
    EXPECT_EQ(first.find("filepos"), std::string::npos);

    std::string second = book.File("text00001.html");
    EXPECT_NE(second.find("src=\"Image00002.jpg\""), std::string::npos) << second;
    EXPECT_EQ(second.find("recindex"), std::string::npos);
    // Record 9 was never unpacked: the image keeps no source.
    EXPECT_NE(second.find("<img alt=\"\" />"), std::string::npos) << second;

    std::string third = book.File("text00002.html");
    EXPECT_NE(third.find("<a>bad</a>"), std::string::npos) << third;

    ASSERT_EQ(b.m_GuideItems.size(), 2u);
    EXPECT_EQ(b.m_GuideItems[0].m_Type, "toc");
    EXPECT_EQ(b.m_GuideItems[0].m_Title, "Contents & more");
    EXPECT_EQ(b.m_GuideItems[1].m_Title, "Start");
    for (const GuideItem& g : b.m_GuideItems)
        EXPECT_EQ(g.m_Href.rfind("text0000", 0), 0u) << g.m_Href;
}

TEST(EbookPrc, NavPointsTakeTheirTargetsAndDroppedOnesHandOverChildren)
{
    PrcBook book(
        "<html><body><p id=\"a\">A</p><mbp:pagebreak/><p id=\"b\">B</p><mbp:pagebreak/></body></html>");
    // Index entries: 0 root, 1 child of 0 with no label, 2 child of 1, 3 root.
    book.header.m_NcxIndex.m_Entries.resize(4);
    book.header.m_NcxIndex.m_Entries[1].m_Parent = 0;
    book.header.m_NcxIndex.m_Entries[2].m_Parent = 1;
    std::vector<NavPoint>& points = book.header.m_Book.m_NavPoints;
    auto add = [&](int32_t own, int32_t parent, int32_t offset, const char* label) {
        NavPoint p;
        p.m_OwnIndex = own;
        p.m_Parent = parent;
        p.m_TextOffset = offset;
        p.m_Label = label;
        points.push_back(p);
    };
    add(0, -1, 12, "root");
    add(2, 1, 50, "grandchild");
    add(3, -1, 70, "second root");
    CEbookPrc prc(book.header, book.header, book.dir, nullptr);
    ASSERT_EQ(prc.MakeFileListToMetaData(), RC_OK);
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[0].m_Src, "text00000.html#a");
    EXPECT_EQ(points[1].m_Parent, 0);
    EXPECT_EQ(points[0].m_FirstChild, 1);
    EXPECT_EQ(points[0].m_LastChild, 1);
    EXPECT_EQ(points[2].m_Parent, -1);
    for (size_t i = 0; i < points.size(); ++i)
        EXPECT_EQ(points[i].m_OwnIndex, static_cast<int32_t>(i));
}

TEST(EbookPrc, NavPointsWithoutAnyAnchorAreRemoved)
{
    PrcBook book("");
    NavPoint p;
    p.m_Label = "lost";
    book.header.m_Book.m_NavPoints.push_back(p);
    CEbookPrc prc(book.header, book.header, book.dir, nullptr);
    prc.FixNcxListContentSrcName();
    EXPECT_TRUE(book.header.m_Book.m_NavPoints.empty());
}

// The contents page is the second piece; "{1}" and "{2}" stand for the positions of the chapters.
const char* const CONTENTS_BOOK =
    "<html><head><guide><reference type=\"toc\" title=\"Contents\" filepos=0000000000 /></guide></head>"
    "<body><p id=\"one\">One</p><p id=\"two\">Two</p><mbp:pagebreak/>%s<mbp:pagebreak/></body></html>";

struct ContentsCase {
    const char* label;
    const char* page;
    int indexEntries;                                      // flat index entries pointing at chapter one
    bool indexNested;                                      // the index carries a parent link
    std::vector<std::pair<std::string, int32_t>> expected; // label, parent; empty: the index stays
};

TEST(EbookPrc, ContentsPageGivesNestingAndEntriesTheIndexLacks)
{
    const ContentsCase cases[] = {
        {"blockquote indents, two entries at one position",
         "<p><a filepos={1}>Part &amp; one</a></p><blockquote><blockquote><a filepos={1}>Chapter\n 1</a>"
         "</blockquote></blockquote><blockquote><blockquote><blockquote><a filepos={2}>1.1</a></blockquote>"
         "</blockquote></blockquote><p><a filepos={2}>Back out</a></p>",
         1,
         false,
         {{"Part & one", -1}, {"Chapter 1", 0}, {"1.1", 1}, {"Back out", -1}}},
        {"nested lists; empty and external links left out",
         "<ul><li><a filepos={1}>A</a><ul><li><a filepos={2}>A.1</a></li></ul></li>"
         "<li><a filepos={2}><b>B</b></a> <a></a><a href=\"http://x\">web</a></li></ul>",
         0,
         false,
         {{"A", -1}, {"A.1", 0}, {"B", -1}}},
        {"an unclosed link ends at the next one",
         "<a filepos={1}>A<a filepos={2}>B",
         0,
         false,
         {{"A", -1}, {"B", -1}}},
        {"a nested index stays", "<a filepos={1}>A</a><a filepos={2}>B</a>", 2, true, {}},
        {"a page with fewer entries than the index", "<a filepos={1}>A</a>", 2, false, {}},
    };
    for (const ContentsCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::string page = c.page;
        char text[4096];
        std::snprintf(text, sizeof text, CONTENTS_BOOK, page.c_str());
        PrcBook book(text);
        std::string& t = book.header.m_Text;
        char one[16], two[16], contents[16];
        std::snprintf(one, sizeof one, "%010zu", t.find("<p id=\"one\""));
        std::snprintf(two, sizeof two, "%010zu", t.find("<p id=\"two\""));
        std::snprintf(contents, sizeof contents, "%010zu", t.find("<mbp:pagebreak/>") + 16);
        ReplaceAll(t, "filepos=0000000000", std::string("filepos=") + contents);
        ReplaceAll(t, "{1}", one);
        ReplaceAll(t, "{2}", two);
        std::vector<NcxEntry>& entries = book.header.m_NcxIndex.m_Entries;
        for (int i = 0; i < c.indexEntries; ++i) {
            NcxEntry e;
            e.m_Parent = c.indexNested && i > 0 ? 0 : -1;
            entries.push_back(e);
            NavPoint p;
            p.m_OwnIndex = i;
            p.m_Parent = e.m_Parent;
            p.m_Label = "index " + std::to_string(i);
            book.header.m_Book.m_NavPoints.push_back(p);
        }
        CEbookPrc prc(book.header, book.header, book.dir, nullptr);
        ASSERT_EQ(prc.MakeFileListToMetaData(), RC_OK);
        const std::vector<NavPoint>& points = book.header.m_Book.m_NavPoints;
        if (c.expected.empty()) {
            ASSERT_EQ(points.size(), static_cast<size_t>(c.indexEntries));
            EXPECT_EQ(points[0].m_Label, "index 0");
            continue;
        }
        ASSERT_EQ(points.size(), c.expected.size());
        for (size_t i = 0; i < points.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(points[i].m_Label, c.expected[i].first);
            EXPECT_EQ(points[i].m_Parent, c.expected[i].second);
            EXPECT_EQ(points[i].m_Src.rfind("text00000.html#", 0), 0u) << points[i].m_Src;
            if (c.expected[i].second >= 0) {
                EXPECT_EQ(points[static_cast<size_t>(c.expected[i].second)].m_LastChild, int32_t(i));
            }
        }
    }
}

struct LooksCase {
    const char* label;
    const char* body;
    std::vector<const char*> present;
    std::vector<const char*> absent;
};

TEST(EbookPrc, PresentationalMarkupBecomesStyle)
{
    const LooksCase cases[] = {
        {"font",
         "<p><font size=\"7\" color=\"#0000FF\" face=\"serif\">t</font><font size=\"+1\">u</font></p>",
         {"<span style=\"color:#0000FF;font-family:serif;font-size:3em;\">t</span>",
          "<span style=\"font-size:large;\">u</span>"},
         {"<font"}},
        {"text block: indent, space above, alignment; its own style last",
         "<p height=\"2em\" width=\"-14pt\" align=\"CENTER\" style=\"color:red\">t</p><p width=\"0pt\">z</p>",
         {"<p style=\"text-align:center;text-indent:-14pt;margin-top:2em;color:red\">", "<p>z</p>"},
         {"height=", "width=", "align="}},
        {"image keeps its size and gets an alt",
         "<p><img src=\"a.jpg\" width=\"10\" align=\"left\"/></p>",
         {"width=\"10\"", "float:left;", "alt=\"\""},
         {"align="}},
        {"table cells",
         "<table align=\"center\" valign=\"top\"><tr><td width=\"50\" bgcolor=\"#eee\">c</td></tr></table>",
         {"margin-left:auto;margin-right:auto;", "<td style=\"width:50px;background-color:#eee;\">"},
         {"valign", "bgcolor"}},
        {"a value that would end the declaration", "<p height=\"1em;x:y\">t</p>", {"<p>t</p>"}, {"x:y"}},
        {"list numbers the list counts itself",
         "<ol><li value=\"1\">a</li><li value=\"5\">b</li><li value=\"6\">c</li></ol><ul><li "
         "value=\"3\">d</li></ul>",
         {"<li value=\"5\">"},
         {"value=\"1\"", "value=\"6\"", "value=\"3\""}},
        {"inline runs of blockquote and body in a div",
         "<blockquote>one <b>two</b><p>three</p></blockquote>four",
         {"<blockquote><div>one <b>two</b>", "</div>\r\n<p>three</p>", "<div>four</div>"},
         {}},
        {"underline", "<p><u>t</u></p>", {"<span style=\"text-decoration:underline;\">t</span>"}, {"<u>"}},
        {"border: a table keeps it, an image draws it, a div loses it",
         "<table border=\"1\"><tr><td>c</td></tr></table><div border=\"1\"><img src=\"a.jpg\" border=\"2\"/>"
         "<img src=\"b.jpg\" border=\"0\"/></div>",
         {"<table border=\"1\">", "<div>", "style=\"border:2px solid;\""},
         {"border=\"2\"", "border=\"0\""}},
    };
    for (const LooksCase& c : cases) {
        SCOPED_TRACE(c.label);
        PrcBook book(std::string("<html><body>") + c.body + "</body></html>");
        CEbookPrc prc(book.header, book.header, book.dir, nullptr);
        ASSERT_EQ(prc.MakeFileListToMetaData(), RC_OK);
        std::string page = book.File("text00000.html");
        for (const char* text : c.present)
            EXPECT_NE(page.find(text), std::string::npos) << text << "\n" << page;
        for (const char* text : c.absent)
            EXPECT_EQ(page.find(text), std::string::npos) << text << "\n" << page;
    }
}

} // namespace

namespace
{

struct Outline {
    std::vector<std::string> labels;
    std::vector<int> depths;
};

// The navMap of the EPUB's NCX: labels, blanks collapsed, with their depth from 1.
Outline ReadNcxOutline(const std::string& epub)
{
    Outline outline;
    CommandRun unzip = RunProgramCapture("/usr/bin/unzip", {"-p", epub, "*.ncx"}, "");
    const std::string& ncx = unzip.out;
    int depth = 0;
    for (size_t at = ncx.find("<navMap"); at != std::string::npos && at < ncx.size(); ++at) {
        at = ncx.find('<', at);
        if (at == std::string::npos) break;
        if (ncx.compare(at, 9, "<navPoint") == 0) {
            ++depth;
        } else if (ncx.compare(at, 11, "</navPoint>") == 0) {
            --depth;
        } else if (ncx.compare(at, 6, "<text>") == 0) {
            size_t end = ncx.find("</text>", at);
            std::string label;
            for (char c : ncx.substr(at + 6, end - at - 6))
                if (!std::isspace(static_cast<unsigned char>(c)) || (!label.empty() && label.back() != ' '))
                    label += std::isspace(static_cast<unsigned char>(c)) ? ' ' : c;
            while (!label.empty() && label.back() == ' ')
                label.pop_back();
            outline.labels.push_back(label);
            outline.depths.push_back(depth);
        }
    }
    return outline;
}

struct NcxCase {
    const char* book;   // under tests/data
    const char* source; // the EPUB the book was made from
    size_t entries;
    int depth;
    size_t labelsTheBookLost; // words the MOBI 6 writer dropped from inline markup in labels
};

// Calibre's MOBI 6 books keep a flat index of the entries at distinct positions and the whole
// nested table only in their contents page.
TEST(EbookPrc, Mobi6ContentsMatchTheEpubTheBookWasMadeFrom)
{
    if (!FileExists("/usr/bin/unzip")) GTEST_SKIP() << "unzip missing";
    const NcxCase cases[] = {
        {"mobi/qs-eng-mobi6.mobi", "epub/qs-eng.epub", 22, 3, 0},
        {"mobi/shared-position-mobi6.mobi", "mobi/shared-position.epub", 23, 3, 0},
        {"mobi/lm-ja-mobi6.mobi", "epub/lm-ja.epub", 190, 5, 4},
    };
    for (const NcxCase& c : cases) {
        SCOPED_TRACE(c.book);
        ScratchDir scratch;
        CommandRun run = RunTarvoCmd({"c", ::DataPath(c.book), scratch / "out.epub", scratch / "work"});
        ASSERT_NE(run.out.find("return 0\n"), std::string::npos) << run.out;
        Outline ours = ReadNcxOutline(scratch / "out.epub");
        Outline source = ReadNcxOutline(::DataPath(c.source));
        ASSERT_EQ(source.labels.size(), c.entries);
        ASSERT_EQ(ours.labels.size(), c.entries);
        EXPECT_EQ(ours.depths, source.depths);
        EXPECT_EQ(*std::max_element(ours.depths.begin(), ours.depths.end()), c.depth);
        size_t differing = 0;
        for (size_t i = 0; i < c.entries; ++i)
            differing += ours.labels[i] != source.labels[i];
        EXPECT_EQ(differing, c.labelsTheBookLost);
    }
}

// The MOBI 6 part of a joint book alone: with its "BOUNDARY" record renamed no reader finds the
// KF8 part. Empty when the book has no such record.
std::string Mobi6PartOf(const std::string& joint)
{
    CPalmDb db;
    if (db.OpenMemory(joint) != RC_OK) return "";
    std::string book = joint;
    for (uint32_t i = 0; i + 1 < db.RecordCount(); ++i) {
        std::string record;
        if (db.RecordSize(i) == 8 && db.ReadRecord(i, record) == RC_OK && record == "BOUNDARY")
            return book.replace(db.RecordOffset(i), 8, "NOTABOUN");
    }
    return "";
}

// Every value of the attribute (name=") in the text.
std::vector<std::string> AttributeValues(const std::string& text, const std::string& name)
{
    std::vector<std::string> values;
    const std::string opening = " " + name + "=\"";
    for (size_t at = text.find(opening); at != std::string::npos; at = text.find(opening, at + 1)) {
        size_t start = at + opening.size();
        values.push_back(text.substr(start, text.find('"', start) - start));
    }
    return values;
}

struct Mobi6EpubCase {
    const char* book; // under tests/data
    bool jointPart;   // read the MOBI 6 part of a joint book
    bool validates;   // false: the book holds what EPUB 2 has no markup for
};

// MOBI 6 books whose writers leave anchors or padding after the last page break: the EPUB has no
// page with an empty body, its package lists only files it holds, and its links lead to pages it
// holds. With the slow checks, epubcheck finds no error where the book allows.
TEST(EbookPrc, Mobi6BooksGiveEpubsWithoutEmptyPages)
{
    const Mobi6EpubCase cases[] = {
        {"mobi/lm-ja-mobi6.mobi", false, true},
        {"mobi/qs-eng-mobi6.mobi", false, true},
        {"mobi/shared-position-mobi6.mobi", false, true},
        {"mobi/cp1252-mobi6.mobi", false, true},
        {"mobi/qs-eng-joint.mobi", true, true},
        {"mobi/huffdic-joint.mobi", true, true},
        {"mobi/uncompressed-joint.mobi", true, true},
        {"mobi/ncx-joint.mobi", true, true},
        {"mobi/multimedia.mobi", true, false}, // audio and video
    };
    for (const Mobi6EpubCase& c : cases) {
        SCOPED_TRACE(c.book);
        ScratchDir scratch;
        std::string book = ReadWholeFile(::DataPath(c.book));
        if (c.jointPart) book = Mobi6PartOf(book);
        ASSERT_FALSE(book.empty());
        ASSERT_EQ(WriteWholeFile(scratch / "book.mobi", book), RC_OK);
        CommandRun run = RunTarvoCmd({"c", scratch / "book.mobi", scratch / "out.epub", scratch / "work"});
        ASSERT_NE(run.out.find("return 0\n"), std::string::npos) << run.out;

        std::map<std::string, std::string> entries = ArchiveEntries(scratch / "out.epub");
        size_t pages = 0;
        for (const auto& [name, text] : entries) {
            if (!EndsWith(name, ".html")) continue;
            ++pages;
            size_t body = text.find('>', text.find("<body"));
            size_t end = text.find("</body>");
            ASSERT_LT(body, end) << name;
            EXPECT_TRUE(ShowsSomething(text, body + 1, end)) << name << " shows nothing";
            for (const std::string& href : AttributeValues(text, "href")) {
                if (href.empty() || href[0] == '#' || href.find(':') != std::string::npos) continue;
                EXPECT_EQ(entries.count("OEBPS/" + href.substr(0, href.find('#'))), 1u)
                    << name << ": " << href;
            }
        }
        EXPECT_GT(pages, 1u);
        for (const std::string& href : AttributeValues(entries["OEBPS/content.opf"], "href"))
            EXPECT_EQ(entries.count("OEBPS/" + href), 1u) << href;

        if (!SlowChecksWanted() || !c.validates || !EpubcheckInstalled()) continue;
        EXPECT_EQ(EpubcheckErrors(scratch / "out.epub"), "");
    }
}

} // namespace
