#include "epub/PackageToc.h"

#include "base/Folders.h"
#include "base/Text.h"
#include "epub/Ebook_epub.h"

#include "EpubTestBook.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

// The book as the EPUB reader leaves it for an output.
ResultCode ReadBook(const std::string& path, const ScratchDir& scratch, CEbookEpub& reader)
{
    MakePath(scratch / "work/");
    ConvertInputContext in{scratch / "work/", "", FORMAT_EPUB, ""};
    return reader.Convert_Input(path, in);
}

std::string GuideTypes(const CIntermediateBook& book)
{
    std::string types;
    for (const GuideItem& item : book.m_GuideItems)
        types += (types.empty() ? "" : " ") + item.m_Type;
    return types;
}

struct BookCase {
    const char* book;
    size_t entries;
    int32_t maxDepth;
    const char* firstLabel;
    const char* firstSrc;
    const char* lastLabel;
    const char* lastSrc;
    const char* guideTypes;
};

TEST(PackageToc, RealBooksGiveTheirWholeTableOfContents)
{
    const BookCase cases[] = {
        // Lists an NCX the archive lacks: the navigation document it is.
        {"epub3/moby-dick.epub", 141, 0, "Moby-Dick", "titlepage.xhtml", "Copyright Page", "copyright.xhtml",
         "cover toc text copyright-page"},
        {"epub3/sherlock-holmes-se.epub", 19, 1, "Titlepage", "text/titlepage.xhtml", "Uncopyright",
         "text/uncopyright.xhtml", "text"},
        // NCX and navigation document both: the NCX, and the landmarks for want of a guide.
        {"epub3/childrens-literature.epub", 22, 2, "SECTION IV FAIRY STORIES—MODERN FANTASTIC TALES",
         "s04.xhtml#pgepubid00492", "204 THE KING OF THE GOLDEN RIVER OR THE BLACK BROTHERS",
         "s04.xhtml#pgepubid00602", "toc text"},
        {"epub3/regime-anticancer-arabic.epub", 3, 0, "Couverture", "Content/A_cover.xhtml",
         "Commencer la lecture", "Content/C_content.xhtml", "cover text"},
        {"epub3/wasteland-otf-obf.epub", 6, 0, "I. THE BURIAL OF THE DEAD", "wasteland-content.xhtml#ch1",
         "NOTES ON \"THE WASTE LAND\"", "wasteland-content.xhtml#rearnotes",
         "other.frontmatter text other.backmatter"},
        {"epub/qs-eng.epub", 22, 2, "", "", "", "", ""},
    };
    for (const BookCase& c : cases) {
        SCOPED_TRACE(c.book);
        ScratchDir scratch;
        CEbookEpub reader;
        ASSERT_EQ(ReadBook(DataPath(c.book), scratch, reader), RC_OK);
        const CIntermediateBook& book = *reader.GetIntermediateBook();
        const std::vector<NavPoint>& points = book.m_NavPoints;
        ASSERT_EQ(points.size(), c.entries);
        int32_t depth = 0;
        for (const NavPoint& p : points)
            depth = std::max(depth, p.m_Depth);
        EXPECT_EQ(depth, c.maxDepth);
        if (*c.firstLabel != '\0') {
            EXPECT_EQ(points.front().m_Label, c.firstLabel);
            EXPECT_EQ(points.front().m_Src, c.firstSrc);
            EXPECT_EQ(points.back().m_Label, c.lastLabel);
            EXPECT_EQ(points.back().m_Src, c.lastSrc);
            EXPECT_EQ(GuideTypes(book), c.guideTypes);
        }
        // Every target names a document the book has.
        for (const NavPoint& p : points) {
            const std::string file = p.m_Src.substr(0, p.m_Src.find('#'));
            EXPECT_NE(std::find(book.m_HtmlFileList.begin(), book.m_HtmlFileList.end(), file),
                      book.m_HtmlFileList.end())
                << p.m_Src;
        }
    }
}

std::string Ncx(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string points;
    int n = 0;
    for (const auto& [label, src] : entries) {
        ++n;
        points += "<navPoint id=\"n" + std::to_string(n) + "\" playOrder=\"" + std::to_string(n) +
                  "\"><navLabel><text>" + label + "</text></navLabel><content src=\"" + src + "\"/>";
        // The second entry holds the third.
        if (n != 2) points += "</navPoint>";
        if (n == 3) points += "</navPoint>";
    }
    return "<?xml version=\"1.0\"?><ncx xmlns=\"http://www.daisy.org/z3986/2005/ncx/\" version=\"2005-1\">"
           "<navMap>" +
           points + "</navMap></ncx>";
}

struct FolderCase {
    const char* label;
    std::vector<std::pair<std::string, std::string>> entries; // label, src as the NCX writes it
    std::vector<std::string> srcs;                            // as read
    std::vector<int32_t> parents;
};

// Documentation generators write the first target from the package's folder and the rest from the
// documents' own folder; an output that trusted them would lose all but the first.
TEST(PackageToc, TargetsWrittenFromAnotherFolderFindTheirFile)
{
    const FolderCase cases[] = {
        {"targets from the documents' folder",
         {{"Guide", "guide/index.xhtml"}, {"Intro", "intro.xhtml"}, {"Part", "intro.xhtml#part"}},
         {"guide/index.xhtml", "guide/intro.xhtml", "guide/intro.xhtml#part"},
         {-1, -1, 1}},
        {"a target matching no file goes, its child moves up",
         {{"Guide", "guide/index.xhtml"}, {"Gone", "gone.xhtml"}, {"Part", "intro.xhtml#part"}},
         {"guide/index.xhtml", "guide/intro.xhtml#part"},
         {-1, -1}},
        {"targets from a folder above",
         {{"Guide", "OEBPS/guide/index.xhtml"}, {"Intro", "guide/intro.xhtml"}, {"Part", "#part"}},
         {"guide/index.xhtml", "guide/intro.xhtml"},
         {-1, -1}},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        const std::string path = scratch / "book.epub";
        std::string opf = TestOpf({"guide/index.xhtml", "guide/intro.xhtml"});
        ReplaceAll(opf, "</manifest>",
                   "<item id=\"ncx\" href=\"toc.ncx\" media-type=\"application/x-dtbncx+xml\"/></manifest>");
        ASSERT_TRUE(
            WriteTestArchive(path, {{"mimetype", "application/epub+zip"},
                                    {"META-INF/container.xml", TestContainer()},
                                    {"OEBPS/content.opf", opf},
                                    {"OEBPS/toc.ncx", Ncx(c.entries)},
                                    {"OEBPS/guide/index.xhtml", Markup("<p>index</p>")},
                                    {"OEBPS/guide/intro.xhtml", Markup("<h1 id=\"part\">Part</h1>")}}));
        CEbookEpub reader;
        ASSERT_EQ(ReadBook(path, scratch, reader), RC_OK);
        const std::vector<NavPoint>& points = reader.GetIntermediateBook()->m_NavPoints;
        ASSERT_EQ(points.size(), c.srcs.size());
        for (size_t i = 0; i < points.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(points[i].m_Src, c.srcs[i]);
            EXPECT_EQ(points[i].m_Parent, c.parents[i]);
        }
    }
}

} // namespace
