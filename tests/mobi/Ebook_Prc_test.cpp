#include "mobi/Ebook_Prc.h"

#include "base/Platform.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"

#include <gtest/gtest.h>

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
};

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
            EXPECT_EQ(prc.AnchorMap().at(static_cast<int64_t>(p.m_Start)), name);
        }
    }
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
    EXPECT_NE(second.find("<img/>"), std::string::npos) << second;

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

} // namespace

namespace
{

struct PlayOrderCase {
    const char* label;
    std::vector<std::pair<int32_t, const char*>> points; // parent, target
    std::vector<std::string> orders;
};

TEST(EbookMobiBase, AssignPlayOrderFollowsReadingOrderAndSharesTargets)
{
    const PlayOrderCase cases[] = {
        {"index lists roots before children", {{-1, "a"}, {-1, "c"}, {0, "b"}}, {"1", "3", "2"}},
        {"same target, same number", {{-1, "a"}, {0, "b"}, {-1, "a"}}, {"1", "2", "1"}},
        {"a parent cycle still numbers everything", {{1, "a"}, {0, "b"}}, {"1", "2"}},
    };
    for (const PlayOrderCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<NavPoint> points;
        for (const auto& [parent, target] : c.points) {
            NavPoint p;
            p.m_Parent = parent;
            p.m_Src = target;
            points.push_back(p);
        }
        AssignPlayOrder(points);
        for (size_t i = 0; i < points.size(); ++i)
            EXPECT_EQ(points[i].m_PlayOrder, c.orders[i]) << i;
    }
}

} // namespace
