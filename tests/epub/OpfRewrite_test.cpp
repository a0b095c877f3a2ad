#include "epub/OpfRewrite.h"

#include "epub/ParseOpf.h"

#include <gtest/gtest.h>

namespace {

const std::string OPF =
    "<?xml version=\"1.0\"?>\n<package xmlns=\"http://www.idpf.org/2007/opf\" unique-identifier=\"uid\">\n"
    "  <metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:opf=\"http://www.idpf.org/2007/opf\">\n"
    "    <dc:title>Old</dc:title>\n"
    "    <dc:creator opf:role=\"aut\">Someone</dc:creator>\n"
    "    <dc:identifier id=\"uid\" opf:scheme=\"ISBN\">111</dc:identifier>\n"
    "    <dc:identifier opf:scheme=\"ISBN\">222</dc:identifier>\n"
    "    <dc:date>1999</dc:date>\n"
    "    <!-- a <dc:title>comment</dc:title> -->\n"
    "    <meta name=\"calibre:series\" content=\"S\"/>\n"
    "  </metadata>\n"
    "  <manifest>\n    <item id=\"a\" href=\"a.html\" media-type=\"application/xhtml+xml\"/>\n  </manifest>\n"
    "  <spine toc=\"ncx\">\n    <itemref idref=\"a\"/>\n  </spine>\n"
    "</package>";

MetaDataMap Reparsed(std::string opf)
{
    CParseOpf parser;
    EXPECT_EQ(ParseOpfText(opf, parser), RC_OK);
    CIntermediateBook book;
    parser.FillMetaData(book);
    return book.m_MetaData;
}

TEST(OpfRewrite, ReplacesOnlyTheKeysBeingSet)
{
    std::string out = RewriteOpfMetadata(OPF, {{"title", {"New & <Improved>"}}, {"identifier_ISBN", {"333"}}});
    MetaDataMap map = Reparsed(out);
    EXPECT_EQ(map["title"], std::vector<std::string>{"New & <Improved>"});
    EXPECT_EQ(map["creator"], std::vector<std::string>{"Someone"});
    EXPECT_EQ(map["identifier_ISBN"], (std::vector<std::string>{"111", "333"})) << "the unique identifier stays";
    EXPECT_EQ(map["date"], std::vector<std::string>{"1999"});
    EXPECT_NE(out.find("<meta name=\"calibre:series\" content=\"S\"/>"), std::string::npos);
    EXPECT_NE(out.find("<!-- a <dc:title>comment</dc:title> -->"), std::string::npos);
    EXPECT_NE(out.find("<spine toc=\"ncx\">\n    <itemref idref=\"a\"/>\n  </spine>"), std::string::npos);
}

TEST(OpfRewrite, NewPublicationDateReplacesEveryDate)
{
    MetaDataMap map = Reparsed(RewriteOpfMetadata(OPF, {{"date_publication", {"2020-01-01"}}}));
    EXPECT_EQ(map.count("date"), 0u);
    EXPECT_EQ(map["date_publication"], std::vector<std::string>{"2020-01-01"});
}

TEST(OpfRewrite, CoverIsAddedEverywhereItIsNamed)
{
    AddedCover cover{"Epub_Add_CoverImg_1.png", "Epub_Add_CoverImg_1", "image/png", "Epub_Add_CoveHtml_1.html",
                     "Epub_Add_CoveHtml_1"};
    std::string out = AddCoverToOpf(OPF, cover);
    CParseOpf parser;
    ASSERT_EQ(ParseOpfText(out, parser), RC_OK);
    EXPECT_EQ(parser.m_CoverHref, "Epub_Add_CoverImg_1.png");
    ASSERT_FALSE(parser.m_Spine.empty());
    EXPECT_EQ(parser.m_Spine.front(), "Epub_Add_CoveHtml_1");
    ASSERT_EQ(parser.m_Guide.size(), 1u);
    EXPECT_EQ(parser.m_Guide[0].m_Type, "cover");
}

TEST(OpfRewrite, TextWithoutMetadataIsLeftAlone)
{
    EXPECT_EQ(RewriteOpfMetadata("<package/>", {{"title", {"T"}}}), "<package/>");
    EXPECT_EQ(TagNameAt("<dc:title x=\"1\">", 0), "dc:title");
    EXPECT_EQ(TagNameAt("<!-- c -->", 0), "");
}

} // namespace
