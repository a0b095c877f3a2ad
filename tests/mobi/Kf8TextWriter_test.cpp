#include "mobi/Kf8TextWriter.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "ebook/HtmlParse.h"
#include "mobi/Ebook_Azw3.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiResources.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace mobitest;

// ---- output: a small book written as KF8 and read back ----

namespace
{

std::string CollapseBlanks(const std::string& text)
{
    std::string out;
    for (char c : text) {
        bool blank = c == ' ' || c == '\r' || c == '\n' || c == '\t';
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out += blank ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    // Every printer ends an end tag with a line end, so an inline element gains a blank after it.
    for (const char* punctuation : {" ,", " ."})
        for (size_t at; (at = out.find(punctuation)) != std::string::npos;)
            out.erase(at, 1);
    return out;
}

std::string BodyText(const std::string& html)
{
    CHtmlParse parse;
    if (parse.Init(html) != RC_OK) return "does not parse";
    TidyNode body = tidyGetBody(parse.GetDoc());
    std::string text;
    if (body != nullptr) parse.PrintVisibleText(body, text);
    return CollapseBlanks(text);
}

// Empty when equal; otherwise a little of both texts from where they part.
std::string FirstDifference(const std::string& a, const std::string& b)
{
    if (a == b) return std::string();
    size_t at =
        std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first - a.begin();
    size_t from = at > 30 ? at - 30 : 0;
    return "at " + std::to_string(at) + ": \"" + a.substr(from, 60) + "\" / \"" + b.substr(from, 60) + "\"";
}

std::string Words(size_t count, const char* word)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += std::string(word) + std::to_string(i) + " ";
    return text;
}

NavPoint Nav(const char* label, const char* src, int32_t depth, int32_t parent, int32_t first = -1,
             int32_t last = -1)
{
    NavPoint p;
    p.m_Label = label;
    p.m_Src = src;
    p.m_Depth = depth;
    p.m_Parent = parent;
    p.m_FirstChild = first;
    p.m_LastChild = last;
    return p;
}

// The book written, then opened from a PalmDB file of its records and rebuilt by the reader.
struct Kf8RoundTrip {
    std::string dir = ScratchDirectory();
    std::string readDir = ScratchDirectory();
    CMobiHeader out;
    MobiPartText part;
    ResultCode written = RC_OK;
    std::vector<std::string> records; // resource records in reference order
    std::string file;
    CPalmDb db;
    CMobiHeader in;
    ResultCode read = RC_OK;

    void Write(bool vertical = false)
    {
        CMobiResources resources(dir, nullptr);
        CKf8TextWriter writer(out.m_Book, dir, nullptr);
        written = writer.Write(resources, vertical, part);
        records = resources.Records();
    }

    void Read()
    {
        const uint32_t first = 2;
        Record0 r0;
        r0.version = 8;
        auto at = [&](int32_t index) { return index < 0 ? NO_RECORD : first + static_cast<uint32_t>(index); };
        r0.chunk = at(part.m_ChunkIndex);
        r0.skel = at(part.m_SkeletonIndex);
        r0.guide = at(part.m_GuideIndex);
        r0.ncx = at(part.m_NcxIndex);
        std::string record0 = r0.Build();
        std::vector<std::string> list = {record0, "text"};
        list.insert(list.end(), part.m_IndexRecords.begin(), part.m_IndexRecords.end());
        if (!part.m_Fdst.empty()) {
            PutU32At(list[0], 0xC0, static_cast<uint32_t>(list.size()));
            list.push_back(part.m_Fdst);
        }
        list.push_back(EndOfFileRecord());
        file = BuildPalmDb(list);
        ASSERT_EQ(db.OpenMemory(file), RC_OK);
        ASSERT_EQ(in.Init(db, 0, nullptr), RC_OK);
        ASSERT_EQ(in.GetIndexRecord(), RC_OK);
        in.m_Text = part.m_Text;
        for (size_t i = 0; i < records.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Image%05zu.jpg", i);
            in.m_ResourceFiles.push_back(name);
            in.m_ResourceMap[static_cast<int64_t>(i)] = name;
        }
        CEbookAzw3 reader(in, in, readDir, nullptr);
        read = reader.MakeFileListToMetaData();
    }

    std::string Output(const std::string& name) const { return ReadWholeFile(readDir + name); }

    size_t RecordOf(const std::string& bytes) const
    {
        return static_cast<size_t>(std::find(records.begin(), records.end(), bytes) - records.begin());
    }
};

TEST(Kf8TextWriter, BookSurvivesARoundTrip)
{
    Kf8RoundTrip t;
    const std::string book = t.dir + "OEBPS/";
    const std::string picture = JpegBytes("picture"), background = JpegBytes("background");
    const std::string longText = Words(3000, "word"); // about 25,000 bytes: split over fragments
    ASSERT_EQ(MakePath(book + "Text/"), RC_OK);
    ASSERT_EQ(MakePath(book + "Styles/"), RC_OK);
    ASSERT_EQ(MakePath(book + "Images/"), RC_OK);
    ASSERT_EQ(WriteWholeFile(book + "Images/pic.jpg", picture), RC_OK);
    ASSERT_EQ(WriteWholeFile(book + "Images/bg.jpg", background), RC_OK);
    ASSERT_EQ(WriteWholeFile(book + "Styles/book.css", "body { background: url(\"../Images/bg.jpg\") }"),
              RC_OK);
    const std::string one =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE html>\n<html><head><title>One</title>"
        "<link rel=\"stylesheet\" type=\"text/css\" href=\"../Styles/book.css\"/>"
        "<style>p > em { color: red }</style><script>var x = 1;</script></head><body>"
        "<!-- a comment --><h1 id=\"c1\" onclick=\"go()\">Chapter One</h1>"
        "<p>First <a href=\"ch2.html#sec\">to two</a>, <a href=\"#c1\">to self</a>, "
        "<a href=\"ch2.html#nowhere\">to nothing</a>, <a href=\"../../outside.html\">outside</a>, "
        "<a href=\"#\">hash</a> and <a href=\"http://example.com/\">web</a>.</p>"
        "<p><img src=\"../Images/pic.jpg\" alt=\"pic\"/></p>"
        "<svg width=\"10\" height=\"10\" viewBox=\"0 0 10 10\" preserveAspectRatio=\"none\">"
        "<rect width=\"10\" height=\"10\"/></svg>"
        "<div id=\"long\"><p>" +
        longText + "</p><p>" + longText +
        "</p></div><p id=\"late\">Late <em>words</em></p><p id=\"late\">Same id again</p></body></html>";
    const std::string two =
        "<html><head><title>Two</title></head><body><h2 id=\"sec\">Section</h2>"
        "<div id=\"big\"><p>" +
        longText + "</p><p>" + longText +
        "</p></div><p><a href=\"ch1.html#late\">back</a> <a href=\"ch2.html#big\">big</a> "
        "<a href=\"../Text/ch1.html#long\">long</a></p></body></html>";
    ASSERT_EQ(WriteWholeFile(book + "Text/ch1.html", one), RC_OK);
    ASSERT_EQ(WriteWholeFile(book + "Text/ch2.html", two), RC_OK);

    CIntermediateBook& b = t.out.m_Book;
    b.m_ContentDirectory = "OEBPS/";
    b.m_PackageInSubdirectory = true;
    b.m_HtmlFileList = {"Text/ch1.html", "Text/ch2.html", "Text/ch1.html", "../escape.html"};
    b.m_NavPoints = {Nav("One", "Text/ch1.html#c1", 0, -1, 1, 1), Nav("Late", "Text/ch1.html#late", 1, 0),
                     Nav("Two", "Text/ch2.html#sec", 0, -1, 3, 4), Nav("Missing", "Text/none.html", 1, 2),
                     Nav("Big", "Text/ch2.html#big", 1, 2)};
    GuideItem start;
    start.m_Type = "text";
    start.m_Title = "Start";
    start.m_Href = "Text/ch2.html#sec";
    // The cover travels as the cover record; a guide entry for it would name a page.
    GuideItem cover{"cover", "Cover", "Text/ch1.html", 0, 0};
    b.m_GuideItems = {cover, start};

    t.Write();
    ASSERT_EQ(t.written, RC_OK);
    ASSERT_EQ(t.records.size(), 2u);
    EXPECT_EQ(t.part.m_FdstSections, 4u) << "inline style, style sheet and picture";
    t.Read();
    ASSERT_EQ(t.read, RC_OK);

    ASSERT_EQ(t.in.m_Book.m_HtmlFileList, (std::vector<std::string>{"text00000.html", "text00001.html"}));
    std::string first = t.Output("text00000.html"), second = t.Output("text00001.html");
    EXPECT_EQ(FirstDifference(BodyText(first), BodyText(one)), "");
    EXPECT_EQ(FirstDifference(BodyText(second), BodyText(two)), "");

    // A link to an id its file lacks leads to that file's start, where the reader finds "sec".
    const char* links[] = {"href=\"text00001.html#sec\"",  "href=\"text00000.html#c1\"",
                           "href=\"../../outside.html\"",  "href=\"#\"",
                           "href=\"http://example.com/\"", "href=\"text00001.html#sec\">to nothing"};
    for (const char* link : links)
        EXPECT_NE(first.find(link), std::string::npos) << link;
    for (const char* link :
         {"href=\"text00000.html#late\"", "href=\"text00001.html#big\"", "href=\"text00000.html#long\""})
        EXPECT_NE(second.find(link), std::string::npos) << link;
    EXPECT_EQ(first.find("onclick"), std::string::npos);
    EXPECT_EQ(first.find("var x"), std::string::npos);
    EXPECT_NE(first.find("<rect"), std::string::npos) << "the picture comes back inline";
    // Readers take the Kindle text literally: SVG's names keep their case.
    EXPECT_NE(first.find("viewBox=\"0 0 10 10\" preserveAspectRatio=\"none\""), std::string::npos) << first;

    char picName[32], bgName[32];
    std::snprintf(picName, sizeof picName, "Image%05zu.jpg", t.RecordOf(picture));
    std::snprintf(bgName, sizeof bgName, "Image%05zu.jpg", t.RecordOf(background));
    EXPECT_NE(first.find(std::string("src=\"") + picName + "\""), std::string::npos) << first;
    bool styleSheet = false, inlineStyle = false;
    for (const auto& flow : t.in.m_Book.m_ResourceList) {
        std::string css = ReadWholeFile(t.readDir + flow);
        styleSheet = styleSheet || css == std::string("body { background: url(\"") + bgName + "\") }";
        inlineStyle = inlineStyle || css.find("p > em { color: red }") != std::string::npos;
        if (flow.compare(0, 4, "flow") == 0) {
            EXPECT_NE(first.find("href=\"" + flow + "\""), std::string::npos) << flow;
        }
    }
    EXPECT_TRUE(styleSheet);
    EXPECT_TRUE(inlineStyle);

    const std::vector<NavPoint>& points = t.in.m_Book.m_NavPoints;
    // Every entry stays: one whose file is no document leads where the entry before it leads.
    ASSERT_EQ(points.size(), 5u);
    const char* srcs[] = {"text00000.html#c1", "text00000.html#late", "text00001.html#sec",
                          "text00001.html#sec", "text00001.html#big"};
    const char* labels[] = {"One", "Late", "Two", "Missing", "Big"};
    const int32_t parents[] = {-1, 0, -1, 2, 2};
    for (size_t i = 0; i < points.size(); ++i) {
        SCOPED_TRACE(labels[i]);
        EXPECT_EQ(points[i].m_Label, labels[i]);
        EXPECT_EQ(points[i].m_Src, srcs[i]);
        EXPECT_EQ(points[i].m_Parent, parents[i]);
    }
    ASSERT_EQ(t.in.m_Book.m_GuideItems.size(), 1u);
    EXPECT_EQ(t.in.m_Book.m_GuideItems[0].m_Type, "text");
    EXPECT_EQ(t.in.m_Book.m_GuideItems[0].m_Title, "Start");
    EXPECT_EQ(t.in.m_Book.m_GuideItems[0].m_Href, "text00001.html#sec");
}

} // namespace

namespace
{

struct OutputCase {
    const char* label;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> list;
    bool vertical;
    ResultCode rc;
    uint32_t fdstSections;
    size_t filesBack;
    std::vector<std::string> texts; // visible in the files read back, in this order
};

std::string Nested(int depth)
{
    std::string html = "<html><body>";
    for (int i = 0; i < depth; ++i)
        html += "<div>";
    html += "deep text";
    for (int i = 0; i < depth; ++i)
        html += "</div>";
    return html + "<p>after</p></body></html>";
}

TEST(Kf8TextWriter, EdgesOfTheBook)
{
    const std::string plain =
        "<html><head><title>t</title></head><body><p>plain <label>text</label></p></body></html>";
    std::string large = "<html><body>";
    for (int i = 0; i < 20000; ++i)
        large +=
            "<p id=\"p" + std::to_string(i) + "\">paragraph " + std::to_string(i) + " with some words</p>";
    large += "</body></html>";
    const OutputCase cases[] = {
        {"a book without flows has no FDST",
         {{"a.html", plain}},
         {"a.html"},
         false,
         RC_OK,
         0,
         1,
         {"plain text"}},
        {"vertical writing links one style sheet per file",
         {{"a.html", plain}, {"b.html", "<html><body><p>second</p></body></html>"}},
         {"a.html", "b.html"},
         true,
         RC_OK,
         3,
         2,
         {"plain text", "second"}},
        {"thousands of nested elements",
         {{"a.html", Nested(4000)}},
         {"a.html"},
         false,
         RC_OK,
         0,
         1,
         {"after"}},
        {"a large file goes in pieces, a file each",
         {{"a.html", large}},
         {"a.html"},
         false,
         RC_OK,
         0,
         4,
         {"paragraph 0 with some words", "paragraph 19999 with some words"}},
        {"missing, empty and escaping files are left out",
         {{"a.html", plain}, {"empty.html", ""}},
         {"missing.html", "../a.html", "/a.html", "empty.html", "./a.html"},
         false,
         RC_OK,
         0,
         1,
         {"plain text"}},
        {"no file left", {}, {"missing.html"}, false, RC_HTML_LIST_EMPTY, 0, 0, {}},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.label);
        Kf8RoundTrip t;
        for (const auto& [name, text] : c.files)
            ASSERT_EQ(WriteWholeFile(t.dir + name, text), RC_OK);
        t.out.m_Book.m_HtmlFileList = c.list;
        t.Write(c.vertical);
        ASSERT_EQ(t.written, c.rc);
        if (c.rc != RC_OK) continue;
        EXPECT_EQ(t.part.m_FdstSections, c.fdstSections);
        EXPECT_EQ(t.part.m_Fdst.empty(), c.fdstSections == 0);
        t.Read();
        ASSERT_EQ(t.read, RC_OK);
        ASSERT_EQ(t.in.m_Book.m_HtmlFileList.size(), c.filesBack);
        std::string all;
        for (const std::string& name : t.in.m_Book.m_HtmlFileList) {
            std::string html = t.Output(name);
            all += BodyText(html) + " ";
            if (c.vertical) {
                size_t head = html.find("</head>");
                size_t link = html.find("<link type=\"text/css\" href=\"flow");
                EXPECT_TRUE(link != std::string::npos && link < head) << name;
            }
        }
        size_t from = 0;
        for (const std::string& text : c.texts) {
            size_t at = all.find(text, from);
            EXPECT_NE(at, std::string::npos) << text;
            from = at == std::string::npos ? from : at + text.size();
        }
        if (c.vertical) {
            size_t sheets = 0;
            for (const std::string& flow : t.in.m_Book.m_ResourceList)
                sheets +=
                    ReadWholeFile(t.readDir + flow).find("writing-mode:vertical-rl") != std::string::npos;
            EXPECT_EQ(sheets, c.filesBack);
        }
    }
}

struct NcxCase {
    const char* label;
    std::vector<NavPoint> points;
    std::vector<std::string> srcs; // as read back
    std::vector<int32_t> parents;
    std::vector<int32_t> depths;
};

// The EPUB output keeps every entry; the Kindle index must too, wherever the target is.
TEST(Kf8TextWriter, EveryTableOfContentsEntryIsKept)
{
    const NcxCase cases[] = {
        {"nested entries whose ids are missing lead to their file",
         {Nav("One", "a.html#gone", 0, -1, 1, 1), Nav("One.1", "a.html#p2", 1, 0, 2, 2),
          Nav("One.1.1", "b.html#also-gone", 2, 1), Nav("Two", "b.html", 0, -1)},
         {"text00000.html#p1", "text00000.html#p2", "text00001.html#q1", "text00001.html#q1"},
         {-1, 0, 1, -1},
         {0, 1, 2, 0}},
        {"an entry whose file is no document leads where the one before it does",
         {Nav("One", "a.html#p2", 0, -1), Nav("Lost", "lost.html", 0, -1), Nav("Two", "b.html", 0, -1)},
         {"text00000.html#p2", "text00000.html#p2", "text00001.html#q1"},
         {-1, -1, -1},
         {0, 0, 0}},
        {"a first entry with no document leads to the start of the text",
         {Nav("Lost", "../outside.html#x", 0, -1), Nav("Two", "b.html#q2", 0, -1)},
         {"text00000.html#p1", "text00001.html#q2"},
         {-1, -1},
         {0, 0}},
    };
    for (const NcxCase& c : cases) {
        SCOPED_TRACE(c.label);
        Kf8RoundTrip t;
        ASSERT_EQ(WriteWholeFile(t.dir + "a.html", "<html><body><p id=\"p1\">" + Words(50, "a") +
                                                       "</p><p id=\"p2\">" + Words(50, "b") +
                                                       "</p></body></html>"),
                  RC_OK);
        ASSERT_EQ(WriteWholeFile(t.dir + "b.html", "<html><body><p id=\"q1\">" + Words(50, "c") +
                                                       "</p><p id=\"q2\">" + Words(50, "d") +
                                                       "</p></body></html>"),
                  RC_OK);
        t.out.m_Book.m_HtmlFileList = {"a.html", "b.html"};
        t.out.m_Book.m_NavPoints = c.points;
        for (size_t i = 0; i < c.points.size(); ++i)
            t.out.m_Book.m_NavPoints[i].m_OwnIndex = static_cast<int32_t>(i);
        t.Write();
        ASSERT_EQ(t.written, RC_OK);
        t.Read();
        ASSERT_EQ(t.read, RC_OK);
        const std::vector<NavPoint>& points = t.in.m_Book.m_NavPoints;
        ASSERT_EQ(points.size(), c.points.size());
        for (size_t i = 0; i < points.size(); ++i) {
            SCOPED_TRACE(c.points[i].m_Label);
            EXPECT_EQ(points[i].m_Label, c.points[i].m_Label);
            EXPECT_EQ(points[i].m_Src, c.srcs[i]);
            EXPECT_EQ(points[i].m_Parent, c.parents[i]);
            EXPECT_EQ(points[i].m_Depth, c.depths[i]);
        }
    }
}

TEST(Kf8TextWriter, NodeDiagnosticsNameUnusualElements)
{
    Kf8RoundTrip t;
    ASSERT_EQ(WriteWholeFile(t.dir + "a.html", "<html><body><p>x <label>l</label> <ruby>r<rt>t</rt></ruby> "
                                               "<kbd>k</kbd> <bdo dir=\"rtl\">b</bdo></p></body></html>"),
              RC_OK);
    t.out.m_Book.m_HtmlFileList = {"a.html"};
    t.Write();
    ASSERT_EQ(t.written, RC_OK);
    EXPECT_EQ(ReadWholeFile(t.dir + "node.txt"), "label\r\nbdo\r\n");
}

} // namespace
