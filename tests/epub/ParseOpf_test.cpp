#include "epub/ParseOpf.h"

#include "base/Href.h"
#include "base/HrefCases.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

namespace
{

std::string Package(const std::string& metadata, const std::string& manifest = "",
                    const std::string& spine = "", const std::string& guide = "")
{
    return "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\">"
           "<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:opf=\"http://www.idpf.org/2007/opf\">" +
           metadata + "</metadata><manifest>" + manifest + "</manifest><spine toc=\"ncx\">" + spine +
           "</spine>" + (guide.empty() ? "" : "<guide>" + guide + "</guide>") + "</package>";
}

struct KeyCase {
    const char* label;
    const char* element;
    MetaDataMap map;
};

TEST(ParseOpf, MetadataElementsBecomeKeys)
{
    const KeyCase cases[] = {
        {"title", "<dc:title> Dune </dc:title>", {{"title", {"Dune"}}}},
        {"prefix-less", "<title>Dune</title>", {{"title", {"Dune"}}}},
        {"date with event",
         "<dc:date opf:event=\"publication\">2001</dc:date>",
         {{"date_publication", {"2001"}}}},
        {"plain date", "<dc:date>2001</dc:date>", {{"date", {"2001"}}}},
        {"isbn in lower case",
         "<dc:identifier opf:scheme=\"isbn\">978</dc:identifier>",
         {{"identifier_ISBN", {"978"}}}},
        {"other scheme",
         "<dc:identifier opf:scheme=\"UUID\">u</dc:identifier>",
         {{"identifier_UUID", {"u"}}}},
        {"contributor role",
         "<dc:contributor opf:role=\"edt\">E</dc:contributor>",
         {{"contributor_edt", {"E"}}}},
        {"our producer",
         "<dc:contributor opf:role=\"bkp\" opf:file-as=\"Tarvo\">T</dc:contributor>",
         {{"contributor_TarvoProducerName", {"T"}}}},
        {"character references stay text",
         "<dc:title>Caf&#233; &amp; more</dc:title>",
         {{"title", {"Caf&#233; & more"}}}},
        {"meta elements are no values", "<meta name=\"calibre:series\" content=\"S\"/>", {}},
        {"two creators", "<dc:creator>A</dc:creator><dc:creator>B</dc:creator>", {{"creator", {"A", "B"}}}},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.label);
        CParseOpf parser;
        std::string text = Package(c.element);
        ASSERT_EQ(ParseOpfText(text, parser), RC_OK);
        CIntermediateBook book;
        parser.FillMetaData(book);
        EXPECT_EQ(book.m_MetaData, c.map);
    }
}

struct BookFieldsCase {
    const char* label;
    const char* metadata;
    const char* spine; // attributes of the spine element
    MetaDataMap map;
    std::map<std::string, std::string> sortNames;
    const char* series;
    const char* seriesIndex;
    bool rightToLeft;
    bool fixedLayout;
};

// Title types, roles, sort forms and collections as EPUB 3 states them in refinements, and what
// EPUB 2 says of the same in attributes and meta elements.
TEST(ParseOpf, RefinementsChooseTheTitleThePeopleAndTheSeries)
{
    const BookFieldsCase cases[] = {
        {"main title after its subtitle",
         "<dc:title id=\"s\">Sub</dc:title><meta refines=\"#s\" property=\"title-type\">subtitle</meta>"
         "<dc:title id=\"m\">Main</dc:title><meta refines=\"#m\" property=\"title-type\"> main </meta>",
         "",
         {{"title", {"Main"}}},
         {},
         "",
         "",
         false,
         false},
        {"collected works: the first title",
         "<dc:title>Works</dc:title><dc:title>Poem One</dc:title><dc:title>Poem Two</dc:title>",
         "",
         {{"title", {"Works"}}},
         {},
         "",
         "",
         false,
         false},
        {"illustrator refined out of the authors",
         "<dc:creator id=\"a\">Ann</dc:creator><meta refines=\"#a\" property=\"file-as\">Smith, Ann</meta>"
         "<dc:creator id=\"i\">Ivo</dc:creator>"
         "<meta refines=\"#i\" property=\"role\" scheme=\"marc:relators\">ill</meta>"
         "<meta refines=\"#i\" property=\"file-as\">Lang, Ivo</meta>",
         "",
         {{"creator", {"Ann"}}, {"contributor_ill", {"Ivo"}}},
         {{"Ann", "Smith, Ann"}, {"Ivo", "Lang, Ivo"}},
         "",
         "",
         false,
         false},
        {"author and editor at once is an author",
         "<dc:creator id=\"a\">Ann</dc:creator><meta refines=\"#a\" property=\"role\">edt</meta>"
         "<meta refines=\"#a\" property=\"role\">aut</meta>",
         "",
         {{"creator", {"Ann"}}},
         {},
         "",
         "",
         false,
         false},
        {"EPUB 2 roles and sort forms",
         "<dc:creator opf:role=\"author\" opf:file-as=\"Doe, J\">J Doe</dc:creator>"
         "<dc:creator opf:role=\"trl\">T</dc:creator><dc:creator opf:role=\"edt\">E</dc:creator>",
         "",
         {{"creator", {"J Doe"}}, {"contributor_edt", {"E"}}, {"contributor_trl", {"T"}}},
         {{"J Doe", "Doe, J"}},
         "",
         "",
         false,
         false},
        {"a series, not the sets",
         "<meta id=\"c1\" property=\"belongs-to-collection\">Best Of</meta>"
         "<meta refines=\"#c1\" property=\"collection-type\">set</meta>"
         "<meta refines=\"#c1\" property=\"group-position\">9</meta>"
         "<meta id=\"c2\" property=\"belongs-to-collection\">Saga</meta>"
         "<meta refines=\"#c2\" property=\"group-position\">2.5</meta>"
         "<meta refines=\"#c2\" property=\"collection-type\">series</meta>",
         "",
         {},
         {},
         "Saga",
         "2.5",
         false,
         false},
        {"EPUB 2 series",
         "<meta name=\"calibre:series_index\" content=\"4\"/><meta name=\"calibre:series\" content=\"Old\"/>",
         "",
         {},
         {},
         "Old",
         "4",
         false,
         false},
        {"right to left and fixed layout",
         "<meta property=\"rendition:layout\">pre-paginated</meta>",
         " page-progression-direction=\"rtl\"",
         {},
         {},
         "",
         "",
         true,
         true},
        {"left to right, reflowable",
         "<meta property=\"rendition:layout\">reflowable</meta>",
         " page-progression-direction=\"ltr\"",
         {},
         {},
         "",
         "",
         false,
         false},
    };
    for (const BookFieldsCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::string text = Package(c.metadata);
        text.replace(text.find("<spine toc=\"ncx\">"), 17, std::string("<spine toc=\"ncx\"") + c.spine + ">");
        CParseOpf parser;
        ASSERT_EQ(ParseOpfText(text, parser), RC_OK);
        CIntermediateBook book;
        parser.FillMetaData(book);
        EXPECT_EQ(book.m_MetaData, c.map);
        EXPECT_EQ(book.m_SortNames, c.sortNames);
        EXPECT_EQ(book.m_Series, c.series);
        EXPECT_EQ(book.m_SeriesIndex, c.seriesIndex);
        EXPECT_EQ(book.m_RightToLeft, c.rightToLeft);
        EXPECT_EQ(book.m_FixedLayout, c.fixedLayout);
    }
}

TEST(ParseOpf, CoverComesFromTheMetaInEitherAttributeOrder)
{
    const char* metas[] = {"<meta name=\"cover\" content=\"c\"/>", "<meta content=\"c\" name=\"cover\"/>"};
    for (const char* meta : metas) {
        SCOPED_TRACE(meta);
        CParseOpf parser;
        std::string text = Package(meta, "<item id=\"c\" href=\"img/c.jpg\" media-type=\"image/jpeg\"/>");
        ASSERT_EQ(ParseOpfText(text, parser), RC_OK);
        EXPECT_EQ(parser.m_CoverHref, "img/c.jpg");
        CIntermediateBook book;
        parser.FillMetaData(book);
        EXPECT_EQ(book.m_MetaData["coverimage"], std::vector<std::string>{"img/c.jpg"});
    }
}

TEST(ParseOpf, NotAPackageAndBrokenXml)
{
    CParseOpf parser;
    std::string notPackage = std::string(400, ' ') + "<package/>";
    EXPECT_EQ(ParseOpfText(notPackage, parser), RC_EPUB_NOT_A_PACKAGE);
    std::string broken = "<?xml version=\"1.0\"?><package><metadata>";
    EXPECT_EQ(ParseOpfText(broken, parser), RC_EPUB_OPF_TREE_INIT);
}

TEST(ParseOpf, MarkupCopiedIntoAValueIsEscapedUntilAccepted)
{
    std::string text =
        Package("<dc:description>About <title>x</title> and <dc:creator>y</dc:creator></dc:description>"
                "<dc:title>Real</dc:title>");
    CParseOpf parser;
    ASSERT_EQ(ParseOpfText(text, parser), RC_OK);
    CIntermediateBook book;
    parser.FillMetaData(book);
    EXPECT_EQ(book.m_MetaData["title"], std::vector<std::string>{"Real"});
    EXPECT_NE(text.find("&lt;title>"), std::string::npos);
}

TEST(ParseOpf, VeryLongMetadataIsBounded)
{
    std::string many;
    for (int i = 0; i < 500; ++i)
        many += "<dc:subject>s" + std::to_string(i) + "</dc:subject>";
    std::string text = Package(many + "<dc:title>late</dc:title>");
    CParseOpf parser;
    ASSERT_EQ(ParseOpfText(text, parser), RC_OK);
    CIntermediateBook book;
    parser.FillMetaData(book);
    EXPECT_EQ(book.m_MetaData["subject"].size(), 201u);
    EXPECT_EQ(book.m_MetaData.count("title"), 0u);

    CParseOpf full;
    full.m_FullParse = true;
    ASSERT_EQ(ParseOpfText(text, full), RC_OK);
    EXPECT_EQ(full.m_Metadata.size(), 501u);
}

TEST(ParseOpf, SpineTakesDocumentsOnceAndResourcesTheRest)
{
    std::string manifest = "<item id=\"a\" href=\"a.xhtml\" media-type=\"application/xhtml+xml\"/>"
                           "<item id=\"b\" href=\"b.html\" media-type=\"TEXT/HTML\"/>"
                           "<item id=\"o\" href=\"o.htm\" media-type=\"application/octet-stream\"/>"
                           "<item id=\"css\" href=\"s.css\" media-type=\"text/css\"/>"
                           "<item id=\"img\" href=\"i.png\" media-type=\"image/png\"/>"
                           "<item id=\"ncx\" href=\"toc.ncx\" media-type=\"application/x-dtbncx+xml\"/>"
                           // a place in a listed file, as some generators write, is no file of its own
                           "<item id=\"a2\" href=\"a.xhtml#o12\" media-type=\"application/xhtml+xml\"/>"
                           "<item id=\"c2\" href=\"c.xhtml#o3\" media-type=\"application/xhtml+xml\"/>";
    std::string spine =
        "<itemref idref=\"a\"/><itemref idref=\"b\"/><itemref idref=\"a\"/><itemref idref=\"o\"/>"
        "<itemref idref=\"css\"/><itemref idref=\"missing\"/>";
    std::string text = Package("", manifest, spine);
    CParseOpf parser;
    ASSERT_EQ(ParseOpfText(text, parser), RC_OK);
    EXPECT_EQ(parser.m_NcxHref, "toc.ncx");
    CIntermediateBook book;
    std::vector<std::string> images;
    EXPECT_FALSE(parser.BuildFileLists(book, images));
    EXPECT_EQ(book.m_HtmlFileList, (std::vector<std::string>{"a.xhtml", "b.html", "o.htm"}));
    EXPECT_EQ(book.m_ResourceList, (std::vector<std::string>{"s.css", "i.png", "c.xhtml"}));
    EXPECT_EQ(images, std::vector<std::string>{"i.png"});

    std::string climbing = Package("", "<item id=\"i\" href=\"../i.jpg\" media-type=\"image/jpeg\"/>");
    CParseOpf second;
    ASSERT_EQ(ParseOpfText(climbing, second), RC_OK);
    CIntermediateBook other;
    EXPECT_TRUE(second.BuildFileLists(other, images))
        << "a reference above the package folder rebases the book";
}

TEST(ParseOpf, GuideFindsTheCoverPage)
{
    std::string guide = "<reference type=\"cover\" title=\"C\" href=\"x/../text/cover.xhtml#top\"/>"
                        "<reference type=\"toc\" title=\"T\" href=\"toc.html\"/>"
                        "<reference type=\"text\" title=\"A\" href=\"../above.html\"/>";
    std::string text = Package("", "", "", guide);
    CParseOpf parser;
    ASSERT_EQ(ParseOpfText(text, parser), RC_OK);
    CIntermediateBook book;
    getGuideList(parser, book);
    ASSERT_EQ(book.m_GuideItems.size(), 3u);
    EXPECT_EQ(book.m_GuideItems[0].m_Href, "text/cover.xhtml#top");
    EXPECT_EQ(book.m_CoverPageName, "text/cover.xhtml");
    EXPECT_EQ(book.m_GuideItems[2].m_Href, "") << "above the package of a book not rebased: no file";

    book = CIntermediateBook();
    book.m_ContentDirectory = "OEBPS/";
    book.m_RelativeToContentDirectory = false;
    getGuideList(parser, book);
    EXPECT_EQ(book.m_GuideItems[1].m_Href, "OEBPS/toc.html")
        << "a rebased book's hrefs start at the TempDirectory";
}

TEST(ParseOpf, NcxNestsNavPoints)
{
    const std::string ncx =
        "<ncx xmlns=\"http://www.daisy.org/z3986/2005/ncx/\"><navMap>"
        "<navPoint id=\"1\" playOrder=\"1\"><navLabel><text>One &amp; only</text></navLabel><content "
        "src=\"a.html\"/>"
        "  <navPoint id=\"2\" playOrder=\"2\"><navLabel><text>Sub</text></navLabel><content "
        "src=\"a.html#s\"/></navPoint>"
        "  <navPoint id=\"2b\" playOrder=\"2\"><navLabel><text>Sub</text></navLabel><content "
        "src=\"a.html#s\"/></navPoint>"
        "</navPoint>"
        "<navPoint id=\"3\" playOrder=\"3\"><navLabel><text>Two</text></navLabel><content "
        "src=\"t/../b.html\"/></navPoint>"
        "</navMap></ncx>";
    CIntermediateBook book;
    ASSERT_EQ(getNvPointList(ncx, "", book), RC_OK);
    ASSERT_EQ(book.m_NavPoints.size(), 3u) << "an exact duplicate is added once";
    const NavPoint& one = book.m_NavPoints[0];
    EXPECT_EQ(one.m_Label, "One & only");
    EXPECT_EQ(one.m_FirstChild, 1);
    EXPECT_EQ(one.m_LastChild, 1);
    EXPECT_EQ(book.m_NavPoints[1].m_Parent, 0);
    EXPECT_EQ(book.m_NavPoints[1].m_Depth, 1);
    EXPECT_EQ(book.m_NavPoints[1].m_Src, "a.html#s");
    EXPECT_EQ(book.m_NavPoints[2].m_Parent, -1);
    EXPECT_EQ(book.m_NavPoints[2].m_Src, "b.html");
}

TEST(ParseOpf, DeepNcxIsBounded)
{
    std::string ncx = "<ncx><navMap>";
    for (int i = 0; i < 90; ++i)
        ncx += "<navPoint playOrder=\"" + std::to_string(i) + "\"><content src=\"a.html\"/>";
    for (int i = 0; i < 90; ++i)
        ncx += "</navPoint>";
    ncx += "</navMap></ncx>";
    CIntermediateBook book;
    ASSERT_EQ(getNvPointList(ncx, "", book), RC_OK);
    EXPECT_LE(book.m_NavPoints.size(), 64u);
}

TEST(ParseOpf, NcxAboveThePackageRebasesTheBook)
{
    std::string text =
        Package("",
                "<item id=\"ncx\" href=\"../toc.ncx\" media-type=\"application/x-dtbncx+xml\"/>"
                "<item id=\"a\" href=\"a.html\" media-type=\"application/xhtml+xml\"/>",
                "<itemref idref=\"a\"/>");
    CParseOpf parser;
    ASSERT_EQ(ParseOpfText(text, parser), RC_OK);
    CIntermediateBook book;
    book.m_ContentDirectory = "OEBPS/";
    std::vector<std::string> images;
    EXPECT_TRUE(parser.BuildFileLists(book, images)) << "its entries are named from the archive's top";
    EXPECT_EQ(book.m_ResourceList, std::vector<std::string>{}) << "the NCX is no resource";

    book.RebaseOntoTempDirectory();
    const std::string ncx = "<ncx><navMap><navPoint playOrder=\"1\"><navLabel><text>A</text></navLabel>"
                            "<content src=\"OEBPS/a.html#x\"/></navPoint></navMap></ncx>";
    ASSERT_EQ(getNvPointList(ncx, "../", book), RC_OK);
    ASSERT_EQ(book.m_NavPoints.size(), 1u);
    EXPECT_EQ(book.m_NavPoints[0].m_Src, "OEBPS/a.html#x");
}

TEST(ParseOpf, FilesMissingFromTheBookAreLeftOutEverywhere)
{
    const std::string ncx = "<ncx><navMap>"
                            "<navPoint playOrder=\"1\"><content src=\"a.html\"/></navPoint>"
                            "<navPoint playOrder=\"2\"><content src=\"gone.html\"/>"
                            "  <navPoint playOrder=\"3\"><content src=\"gone.html#x\"/></navPoint>"
                            "  <navPoint playOrder=\"4\"><content src=\"b.html\"/>"
                            "    <navPoint playOrder=\"5\"><content src=\"b.html#y\"/></navPoint>"
                            "  </navPoint>"
                            "</navPoint>"
                            "<navPoint playOrder=\"7\"><content src=\"sub/../c.html\"/></navPoint>"
                            "</navMap></ncx>";
    CIntermediateBook book;
    book.m_HtmlFileList = {"gone.html", "a.html", "b.html", "c.html"};
    book.m_ResourceList = {"style.css", "cover.jpg"};
    book.m_GuideItems = {{"cover", "Cover", "gone.html#top", 0, 0}, {"toc", "Contents", "a.html", 0, 0}};
    book.m_CoverPageName = "gone.html";
    ASSERT_EQ(getNvPointList(ncx, "", book), RC_OK);

    DropMissingFiles([](const std::string& name) { return name != "gone.html" && name != "cover.jpg"; }, book,
                     nullptr);
    EXPECT_EQ(book.m_HtmlFileList, (std::vector<std::string>{"a.html", "b.html", "c.html"}));
    EXPECT_EQ(book.m_ResourceList, std::vector<std::string>{"style.css"});
    ASSERT_EQ(book.m_GuideItems.size(), 1u);
    EXPECT_EQ(book.m_GuideItems[0].m_Type, "toc");
    EXPECT_EQ(book.m_CoverPageName, "");

    struct Kept {
        const char* src;
        const char* playOrder;
        int32_t parent;
        int32_t depth;
    };
    const Kept kept[] = {
        {"a.html", "1", -1, 0}, {"b.html", "2", -1, 0}, {"b.html#y", "3", 1, 1}, {"c.html", "4", -1, 0}};
    ASSERT_EQ(book.m_NavPoints.size(), std::size(kept));
    for (size_t i = 0; i < std::size(kept); ++i) {
        SCOPED_TRACE(kept[i].src);
        const NavPoint& point = book.m_NavPoints[i];
        EXPECT_EQ(point.m_Src, kept[i].src);
        EXPECT_EQ(point.m_PlayOrder, kept[i].playOrder) << "play orders close up";
        EXPECT_EQ(point.m_Parent, kept[i].parent) << "a dropped entry's children move up";
        EXPECT_EQ(point.m_Depth, kept[i].depth);
        EXPECT_EQ(point.m_OwnIndex, static_cast<int32_t>(i));
    }
    EXPECT_EQ(book.m_NavPoints[1].m_FirstChild, 2);
    EXPECT_EQ(book.m_NavPoints[1].m_LastChild, 2);
}

// Seconds to read a package of that many documents, and how many were listed.
double SecondsToRead(int items, size_t& listed)
{
    std::string manifest, spine;
    for (int i = 0; i < items; ++i) {
        std::string id = "i" + std::to_string(i);
        manifest += "<item id=\"" + id + "\" href=\"t/p" + std::to_string(i) +
                    ".xhtml\" media-type=\"application/xhtml+xml\"/>";
        spine += "<itemref idref=\"" + id + "\"/>";
    }
    std::string text = Package("<dc:title>Big</dc:title>", manifest, spine);
    auto start = std::chrono::steady_clock::now();
    CParseOpf parser;
    EXPECT_EQ(ParseOpfText(text, parser), RC_OK);
    CIntermediateBook book;
    std::vector<std::string> images;
    parser.BuildFileLists(book, images);
    listed = book.m_HtmlFileList.size();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reading the package must stay near linear: ids were once looked up one by one, and 50,000
// items took many seconds. A fraction of a second in a release build, a few under sanitizers.
TEST(ParseOpf, LargePackageReadsInBoundedTime)
{
    size_t listed = 0;
    double seconds = SecondsToRead(50000, listed);
    EXPECT_EQ(listed, 50000u);
    EXPECT_LT(seconds, 5.0);
}

// The shared table from the package reader's side: names stay as the package wrote them, an
// external href comes back as it is, and one that leads out of the book comes back empty.
TEST(ParseOpf, ResolveBookHrefFollowsTheHrefTable)
{
    CIntermediateBook book;
    for (const HrefResolveCase& c : kHrefResolveCases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.href);
        const std::string resolved = ResolveBookHref(c.href, c.base, book);
        if (CHref::Parse(c.href).m_External) {
            EXPECT_EQ(resolved, c.href);
            continue;
        }
        const std::string file = resolved.substr(0, resolved.find('#'));
        EXPECT_EQ(file.empty(), c.resolved == nullptr);
        if (std::string(c.href).find('%') == std::string::npos) {
            EXPECT_EQ(file, c.resolved ? c.resolved : "");
        }
    }
}

TEST(ParseOpf, ResolveBookHrefKeepsFragmentsAndRebases)
{
    CIntermediateBook book;
    EXPECT_EQ(ResolveBookHref("../text/a%20b.html#x", "toc/", book), "text/a%20b.html#x");
    EXPECT_EQ(ResolveBookHref("#x", "toc/", book), "#x");
    book.m_ContentDirectory = "OEBPS/";
    book.m_RelativeToContentDirectory = false;
    EXPECT_EQ(ResolveBookHref("../images/a.jpg", "", book), "images/a.jpg");
    EXPECT_EQ(ResolveBookHref("../../a.jpg", "", book), "");
}

} // namespace
