#include "mobi/Mobi6TextWriter.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "mobi/Ebook_Prc.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiResources.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include "EpubEntries.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace mobitest;

namespace
{

std::string PngBytes()
{
    return std::string("\x89PNG\r\n\x1a\n", 8) + std::string(32, 'p');
}

// A book unpacked into a TempDirectory (content in "OEBPS/") as the MOBI 6 builder finds it.
struct OutputBook {
    std::string temp = ScratchDirectory();
    CMobiHeader header;

    OutputBook()
    {
        CIntermediateBook& b = header.m_Book;
        b.m_ContentDirectory = "OEBPS/";
        b.m_RelativeToContentDirectory = true;
        b.m_PackageInSubdirectory = true;
    }
    void Put(const std::string& name, const std::string& bytes)
    {
        std::string path = temp + "OEBPS/" + name;
        EXPECT_EQ(MakePath(path), RC_OK);
        EXPECT_EQ(WriteWholeFile(path, bytes), RC_OK);
    }
    void AddNavPoint(const char* label, const char* src, int32_t parent)
    {
        NavPoint p;
        p.m_Label = label;
        p.m_Src = src;
        p.m_Parent = parent;
        header.m_Book.m_NavPoints.push_back(p);
    }
    ResultCode Build(MobiPartText& part, CMobiResources& resources)
    {
        CMobi6TextWriter writer(header.m_Book, temp, nullptr);
        return writer.Write(resources, part);
    }
};

std::string Html(const std::string& body)
{
    return "<html><head><title>t</title></head><body>" + body + "</body></html>";
}

const NavPoint* FindNavPoint(const std::vector<NavPoint>& points, const std::string& label)
{
    for (const NavPoint& p : points)
        if (p.m_Label == label) return &p;
    return nullptr;
}

TEST(Mobi6TextWriter, TextReadsBackThroughTheMobi6Reader)
{
    OutputBook book;
    book.Put("Text/one.html",
             Html("<p>Intro</p><h1 id=\"start\">One</h1><p>See <a href=\"two.html#sec\">to two</a>, "
                  "<a href=\"../three.html\">to three</a>, <a href=\"#start\">to top</a>, "
                  "<a href=\"missing.html\">gone</a>, <a href=\"https://example.com/\">web</a> "
                  "<img src=\"../Images/pic.png\" alt=\"pic\"/></p><script>var s = \"hidden\";</script>"));
    book.Put("Text/two.html", Html("<p>Before</p><p id=\"sec\" class=\"c\" onclick=\"f()\">Two</p>"));
    book.Put("three.html", Html("<div><p id=\"end\">Three <a href=\"Text/one.html\">back</a></p></div>"));
    book.Put("Images/pic.png", PngBytes());
    book.Put("../outside.html", Html("<p>outside</p>"));
    book.header.m_Book.m_HtmlFileList = {"Text/one.html", "Text/two.html", "three.html", "Text/one.html",
                                         "../outside.html"};
    book.AddNavPoint("One", "Text/one.html", -1);
    book.AddNavPoint("Two", "Text/two.html#sec", 0);
    book.AddNavPoint("Two deeper", "Text/two.html", 1);
    book.AddNavPoint("Lost leads where the entry before it leads", "nothere.html", 0);
    book.AddNavPoint("Three", "three.html#end", -1);
    GuideItem start;
    start.m_Type = "text";
    start.m_Title = "Start & \"go\"";
    start.m_Href = "Text/one.html#start";
    GuideItem lost = start;
    lost.m_Href = "nothere.html";
    book.header.m_Book.m_GuideItems = {start, lost};

    CMobiResources resources(book.temp, nullptr);
    MobiPartText part;
    ASSERT_EQ(book.Build(part, resources), RC_OK);
    const std::string& text = part.m_Text;
    EXPECT_EQ(part.m_NcxIndex, 0);
    EXPECT_EQ(part.m_ChunkIndex, -1);
    EXPECT_EQ(text.find("0123456789"), std::string::npos);
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find("recindex=\"00001\""), std::string::npos);
    // Unquoted ten digits and two blanks, pointing at the element that holds the id.
    char expected[40];
    std::snprintf(expected, sizeof expected, "filepos=%010zu  >to two", text.find("<p id=\"sec\""));
    EXPECT_NE(text.find(expected), std::string::npos) << text;

    // Back through the reader, over the records the writer made.
    CMobiHeader in;
    in.m_Text = text;
    ASSERT_EQ(in.m_NcxIndex.ReadRecords(part.m_IndexRecords), RC_OK);
    for (size_t i = 0; i < in.m_NcxIndex.m_Entries.size(); ++i) {
        const NcxEntry& e = in.m_NcxIndex.m_Entries[i];
        EXPECT_LE(static_cast<size_t>(e.m_TextOffset) + static_cast<size_t>(e.m_Length), text.size());
        NavPoint p;
        p.m_OwnIndex = static_cast<int32_t>(i);
        p.m_Label = e.m_Label;
        p.m_Parent = e.m_Parent;
        p.m_Depth = e.m_Depth;
        p.m_TextOffset = e.m_TextOffset;
        in.m_Book.m_NavPoints.push_back(p);
    }
    std::string readDir = ScratchDirectory();
    ASSERT_EQ(resources.Records().size(), 1u);
    ASSERT_EQ(WriteWholeFile(readDir + "Image00000.png", resources.Records()[0]), RC_OK);
    in.m_ResourceFiles = {"Image00000.png"};
    in.m_ResourceMap[0] = "Image00000.png";
    CEbookPrc reader(in, in, readDir, nullptr);
    ASSERT_EQ(reader.MakeFileListToMetaData(), RC_OK);

    const CIntermediateBook& b = in.m_Book;
    ASSERT_EQ(b.m_HtmlFileList,
              (std::vector<std::string>{"text00000.html", "text00001.html", "text00002.html"}));
    std::string one = ReadWholeFile(readDir + "text00000.html");
    std::string two = ReadWholeFile(readDir + "text00001.html");
    std::string three = ReadWholeFile(readDir + "text00002.html");
    struct Expect {
        const std::string* file;
        const char* text;
    };
    const Expect contains[] = {
        {&one, "Intro"},
        {&one, "href=\"text00001.html#sec\">to two</a>"},
        {&one, "href=\"text00002.html\">to three</a>"},
        {&one, "href=\"text00000.html#start\">to top</a>"},
        {&one, "<a>gone</a>"},
        {&one, "href=\"https://example.com/\">web</a>"},
        {&one, "src=\"Image00000.png\""},
        {&two, ">Two</p>"},
        {&three, "href=\"text00000.html\">back</a>"},
    };
    for (const Expect& c : contains) {
        SCOPED_TRACE(c.text);
        EXPECT_NE(c.file->find(c.text), std::string::npos) << *c.file;
    }
    EXPECT_EQ(two.find("class"), std::string::npos);
    EXPECT_EQ(two.find("onclick"), std::string::npos);
    EXPECT_EQ(one.find("outside"), std::string::npos);

    ASSERT_EQ(b.m_NavPoints.size(), 5u);
    struct NavExpect {
        const char* label;
        const char* src;
        const char* parent;
        int32_t depth;
    };
    const NavExpect navs[] = {
        {"One", "text00000.html", nullptr, 0},
        {"Two", "text00001.html#sec", "One", 1},
        {"Two deeper", "text00001.html", "Two", 2},
        {"Lost leads where the entry before it leads", "text00001.html", "One", 1},
        {"Three", "text00002.html#end", nullptr, 0},
    };
    for (const NavExpect& n : navs) {
        SCOPED_TRACE(n.label);
        const NavPoint* p = FindNavPoint(b.m_NavPoints, n.label);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->m_Src, n.src);
        EXPECT_EQ(p->m_Depth, n.depth);
        if (n.parent == nullptr) {
            EXPECT_EQ(p->m_Parent, -1);
        } else {
            ASSERT_GE(p->m_Parent, 0);
            EXPECT_EQ(b.m_NavPoints[static_cast<size_t>(p->m_Parent)].m_Label, n.parent);
        }
    }
    ASSERT_EQ(b.m_GuideItems.size(), 1u);
    EXPECT_EQ(b.m_GuideItems[0].m_Type, "text");
    EXPECT_EQ(b.m_GuideItems[0].m_Title, "Start & \"go\"");
    EXPECT_EQ(b.m_GuideItems[0].m_Href, "text00000.html#start");
}

TEST(Mobi6TextWriter, WithoutReadableFilesOrTargets)
{
    struct Case {
        const char* label;
        std::vector<std::string> files;
        ResultCode rc;
        bool hasNcx;
    };
    const Case cases[] = {
        {"no files", {}, RC_HTML_LIST_EMPTY, false},
        {"only missing and escaping names", {"gone.html", "../../etc/passwd"}, RC_HTML_LIST_EMPTY, false},
        {"a NavPoint whose source is no document still makes an entry", {"a.html"}, RC_OK, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        OutputBook book;
        book.Put("a.html", Html("<p>A</p>"));
        book.header.m_Book.m_HtmlFileList = c.files;
        book.AddNavPoint("Lost", "b.html", -1);
        CMobiResources resources(book.temp, nullptr);
        MobiPartText part;
        EXPECT_EQ(book.Build(part, resources), c.rc);
        EXPECT_EQ(part.m_NcxIndex >= 0, c.hasNcx);
        EXPECT_EQ(part.m_IndexRecords.empty(), !c.hasNcx);
        EXPECT_EQ(part.m_Text.empty(), c.rc != RC_OK);
    }
}

} // namespace
