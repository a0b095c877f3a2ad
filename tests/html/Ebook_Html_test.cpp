#include "html/Ebook_Html.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/Href.h"

#include "TestSupport.h"

namespace
{

struct PathCase {
    const char* folder;
    const char* path;
    const char* name;
};

TEST(HtmlHandler, RecordPathsResolveAgainstTheFileFolder)
{
    const PathCase cases[] = {
        {"text/sub", "../images/p.png", "text/images/p.png"},
        {"", "./././a.css", "a.css"},
        {"a", "../../x.png", ""},
        {"a/b", "c/d.png", "a/b/c/d.png"},
        {"a/b", "./c/../../d.png", "a/d.png"},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(ResolvedInBook(c.folder, c.path), c.name) << c.folder << " " << c.path;
}

TEST(HtmlHandler, RelativeReferences)
{
    EXPECT_EQ(RelativeReference("", "a.html"), "a.html");
    EXPECT_EQ(RelativeReference("text", "text/a.html"), "a.html");
    EXPECT_EQ(RelativeReference("text/sub", "a.html"), "../../a.html");
    EXPECT_EQ(RelativeReference("x", "y/a.html"), "../y/a.html");
}

NavPoint Entry(int number, int depth, int firstChild = -1, int lastChild = -1)
{
    NavPoint p;
    p.m_EntryNumber = number;
    p.m_Depth = depth;
    p.m_FirstChild = firstChild;
    p.m_LastChild = lastChild;
    p.m_Label = std::to_string(number);
    return p;
}

TEST(HtmlHandler, CorrectNvPointOrderSortsByDepthAndLinksChildren)
{
    CIntermediateBook book;
    // h1(1){h2(2){h3(3)}, h2(4)}, h1(5){h2(6)}, and an h2 before any h1 (7).
    book.m_NavPoints = {Entry(7, 0), Entry(1, 0, 2, 4), Entry(2, 1, 3, 3), Entry(3, 2),
                        Entry(4, 1), Entry(5, 0, 6, 6), Entry(6, 1)};
    CorrectNvPointOrder(book);
    std::vector<std::string> order;
    for (const NavPoint& p : book.m_NavPoints)
        order.push_back(p.m_Label);
    EXPECT_EQ(order, (std::vector<std::string>{"1", "5", "7", "2", "4", "6", "3"}));
    const std::vector<NavPoint>& n = book.m_NavPoints;
    EXPECT_EQ(n[0].m_FirstChild, 3);
    EXPECT_EQ(n[0].m_LastChild, 4);
    EXPECT_EQ(n[3].m_Parent, 0);
    EXPECT_EQ(n[4].m_Parent, 0);
    EXPECT_EQ(n[5].m_Parent, 1);
    EXPECT_EQ(n[6].m_Parent, 3);
    EXPECT_EQ(n[2].m_Parent, -1);
    for (size_t i = 0; i < n.size(); ++i)
        EXPECT_EQ(n[i].m_OwnIndex, static_cast<int32_t>(i));
}

TEST(HtmlHandler, BrokenChildLinksAreDropped)
{
    CIntermediateBook book;
    book.m_NavPoints = {Entry(1, 0, 9, 9), Entry(2, 0, 2, 1)};
    CorrectNvPointOrder(book);
    EXPECT_EQ(book.m_NavPoints[0].m_FirstChild, -1);
    EXPECT_EQ(book.m_NavPoints[1].m_FirstChild, -1);
}

TEST(HtmlHandler, OutputTakesTheOutputNameAndLinksFollow)
{
    ScratchDir scratch;
    MakePath(scratch / "work/text/");
    MakePath(scratch / "work/images/");
    WriteWholeFile(scratch / "work/text/a.html",
                   "<a href=\"b.html\">b</a><a href=\"#n\">n</a><img src=\"../images/p.png\"/>"
                   "<a href=\"https://e.org/a.html\">w</a>");
    WriteWholeFile(scratch / "work/text/b.html", "<a href=\"a.html#top\">a</a> <a href='a.html'>again</a>");
    WriteWholeFile(scratch / "work/images/p.png", "png");
    WriteWholeFile(scratch / "work/nav.xhtml",
                   "<a href=\"text/a.html\">start</a><a href=\"text/b.html\">b</a>");
    MakePath(scratch / "work/.ssh/");
    WriteWholeFile(scratch / "work/.ssh/authorized_keys", "key");
    WriteWholeFile(scratch / "work/.profile.html", "profile");
    CIntermediateBook book;
    book.m_HtmlFileList = {"missing.html", "text/a.html", "text/b.html", "../escape.html", ".profile.html"};
    book.m_ResourceList = {"images/p.png", "missing.png", "../../evil.png", "nav.xhtml",
                           ".ssh/authorized_keys"};
    CEbookHtml handler;
    ASSERT_EQ(handler.MoveFileToOutputPath(book, scratch / "work/", "my book.html", scratch / "out"), RC_OK);
    EXPECT_EQ(ReadWholeFile(scratch / "out/my book.html"),
              "<a href=\"my%20book_files/text/b.html\">b</a><a href=\"#n\">n</a>"
              "<img src=\"my%20book_files/images/p.png\"/><a href=\"https://e.org/a.html\">w</a>");
    EXPECT_EQ(ReadWholeFile(scratch / "out/my book_files/text/b.html"),
              "<a href=\"../../my%20book.html#top\">a</a> <a href='../../my%20book.html'>again</a>");
    EXPECT_EQ(ReadWholeFile(scratch / "out/my book_files/nav.xhtml"),
              "<a href=\"../my%20book.html\">start</a><a href=\"text/b.html\">b</a>");
    EXPECT_EQ(ReadWholeFile(scratch / "out/my book_files/images/p.png"), "png");
    EXPECT_FALSE(FileExists(scratch / "out/my book_files/text/a.html"));
    EXPECT_FALSE(FileExists(scratch / "evil.png"));
    EXPECT_FALSE(FileExists(scratch / "escape.html"));
    EXPECT_FALSE(DirectoryExists(scratch / "out/my book_files/.ssh")) << "hidden names are not written";
    EXPECT_FALSE(FileExists(scratch / "out/my book_files/.profile.html"));
}

TEST(HtmlHandler, OutputWithoutAReadablePageFails)
{
    ScratchDir scratch;
    CIntermediateBook book;
    book.m_HtmlFileList = {"missing.html"};
    CEbookHtml handler;
    EXPECT_EQ(handler.MoveFileToOutputPath(book, scratch / "work/", "book.html", scratch / "out"),
              RC_HTML_LIST_EMPTY);
}

TEST(HtmlHandler, SiteToBookFollowsLinksAndKeepsFilesInside)
{
    ScratchDir scratch;
    MakePath(scratch / "site/sub/");
    MakePath(scratch / "site/img/");
    WriteWholeFile(scratch / "site/index.shtml",
                   "<html><head><title>i</title><link rel=\"stylesheet\" href=\"s.css\"/></head><body>"
                   "<h1>Start</h1><p><a href=\"sub/a.html\">a</a> <img src=\"img/p.png\"/>"
                   "<a href=\"https://example.com/x.html\">web</a> <img src=\"../../../../etc/passwd\"/></p>"
                   "</body></html>");
    WriteWholeFile(scratch / "site/sub/a.html",
                   "<html><body><h2>Part A</h2><p><a href=\"../index.shtml\">back</a>"
                   "<img src=\"../img/p.png\"/><a href=\"missing.html\">m</a></p></body></html>");
    WriteWholeFile(scratch / "site/s.css", "p{}");
    WriteWholeFile(scratch / "site/img/p.png", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(30, 'p'));
    CEbookHtml handler;
    ConvertInputContext ctx{scratch / "work/", "", FORMAT_EPUB, ""};
    MakePath(ctx.m_TempDirectory);
    ASSERT_EQ(handler.Convert_Input(scratch / "site/index.shtml", ctx), RC_OK);
    const CIntermediateBook& book = *handler.GetIntermediateBook();
    ASSERT_EQ(book.m_HtmlFileList.size(), 2u);
    EXPECT_EQ(book.m_HtmlFileList[0], "index.shtml") << "the start page is part of the book";
    EXPECT_EQ(book.m_HtmlFileList[1], "sub/a.html");
    EXPECT_NE(std::find(book.m_ResourceList.begin(), book.m_ResourceList.end(), "img/p.png"),
              book.m_ResourceList.end());
    EXPECT_NE(std::find(book.m_ResourceList.begin(), book.m_ResourceList.end(), "s.css"),
              book.m_ResourceList.end());
    for (const std::string& name : book.m_HtmlFileList)
        EXPECT_TRUE(FileExists(ctx.m_TempDirectory + name)) << name;
    EXPECT_FALSE(FileExists(scratch / "etc/passwd"));
    ASSERT_GE(book.m_NavPoints.size(), 2u);
    EXPECT_EQ(book.m_NavPoints[0].m_Label, "Start");
}

} // namespace
