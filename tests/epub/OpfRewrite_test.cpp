#include "epub/OpfRewrite.h"

#include "epub/ParseOpf.h"

#include <gtest/gtest.h>
#include <map>
#include <tinyxml2.h>

#include <set>
#include <vector>

namespace
{

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
    std::string out =
        RewriteOpfMetadata(OPF, {{"title", {"New & <Improved>"}}, {"identifier_ISBN", {"333"}}});
    MetaDataMap map = Reparsed(out);
    EXPECT_EQ(map["title"], std::vector<std::string>{"New & <Improved>"});
    EXPECT_EQ(map["creator"], std::vector<std::string>{"Someone"});
    EXPECT_EQ(map["identifier_ISBN"], (std::vector<std::string>{"111", "333"}))
        << "the unique identifier stays";
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
    AddedCover cover{"Epub_Add_CoverImg_1.png", "Epub_Add_CoverImg_1", "image/png",
                     "Epub_Add_CoveHtml_1.html", "Epub_Add_CoveHtml_1"};
    std::string out = AddCoverToOpf(OPF, cover);
    CParseOpf parser;
    ASSERT_EQ(ParseOpfText(out, parser), RC_OK);
    EXPECT_EQ(parser.m_CoverHref, "Epub_Add_CoverImg_1.png");
    ASSERT_FALSE(parser.m_Spine.empty());
    EXPECT_EQ(parser.m_Spine.front(), "Epub_Add_CoveHtml_1");
    ASSERT_EQ(parser.m_Guide.size(), 1u);
    EXPECT_EQ(parser.m_Guide[0].m_Type, "cover");
}

// Every prefix of an element or attribute name is declared on it or above it.
bool PrefixesDeclared(const tinyxml2::XMLElement* element, std::vector<std::set<std::string>>& scopes)
{
    std::set<std::string> declared;
    for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a; a = a->Next())
        if (std::string(a->Name()).rfind("xmlns:", 0) == 0) declared.insert(std::string(a->Name()).substr(6));
    scopes.push_back(declared);
    auto bound = [&scopes](const std::string& name) {
        size_t colon = name.find(':');
        if (colon == std::string::npos || name.compare(0, colon, "xmlns") == 0 ||
            name.compare(0, colon, "xml") == 0)
            return true;
        for (const auto& scope : scopes)
            if (scope.count(name.substr(0, colon))) return true;
        return false;
    };
    bool ok = bound(element->Name());
    for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a; a = a->Next())
        ok = ok && bound(a->Name());
    for (const tinyxml2::XMLElement* c = element->FirstChildElement(); c; c = c->NextSiblingElement())
        ok = ok && PrefixesDeclared(c, scopes);
    scopes.pop_back();
    return ok;
}

const char* const DC = "\"http://purl.org/dc/elements/1.1/\"";

TEST(OpfRewrite, WrittenElementsStayValidInEveryPackageForm)
{
    struct Case {
        const char* label;
        std::string opf;
        bool epub3;
    };
    const std::string head = "<?xml version=\"1.0\"?>\n<package xmlns=\"http://www.idpf.org/2007/opf\" ";
    const std::string rest = "</metadata><manifest/><spine/></package>";
    const Case cases[] = {
        {"prefixes on the metadata element", OPF, false},
        {"prefixes declared on each element",
         head + "version=\"2.0\" unique-identifier=\"uid\">\n<metadata>\n<dc:title xmlns:dc=" + DC +
             ">Old</dc:title>\n<dc:identifier xmlns:dc=" + DC + " id=\"uid\">x</dc:identifier>\n" + rest,
         false},
        {"version 3 with refined contributor",
         head + "version=\"3.0\" unique-identifier=\"uid\">\n<metadata xmlns:dc=" + DC +
             ">\n<dc:title>Old</dc:title>\n<dc:identifier id=\"uid\">x</dc:identifier>\n"
             "<dc:contributor id=\"c1\">Ed</dc:contributor>\n"
             "<meta refines=\"#c1\" property=\"role\" scheme=\"marc:relators\">edt</meta>\n"
             "<meta property=\"dcterms:modified\">2020-01-01T00:00:00Z</meta>\n" +
             rest,
         true},
    };
    const MetaDataMap newValues = {{"title", {"Tom &#38; Jerry &#0;"}},
                                   {"contributor_edt", {"New editor"}},
                                   {"contributor_TarvoProducerName", {"Producer"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // Twice, as `s` run twice: what the first run wrote is replaced, not repeated.
        std::string out = RewriteOpfMetadata(RewriteOpfMetadata(c.opf, newValues), newValues);
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.Parse(out.data(), out.size()), tinyxml2::XML_SUCCESS) << out;
        std::vector<std::set<std::string>> scopes;
        EXPECT_TRUE(PrefixesDeclared(doc.RootElement(), scopes)) << out;
        MetaDataMap map = Reparsed(out);
        // A reference naming a character is written as that character; one naming none stays text.
        EXPECT_EQ(map["title"], std::vector<std::string>{"Tom & Jerry &#0;"});
        EXPECT_EQ(map["contributor_edt"], std::vector<std::string>{"New editor"}) << out;
        EXPECT_EQ(map["contributor_TarvoProducerName"], std::vector<std::string>{"Producer"});
        EXPECT_EQ(out.find("opf:role") == std::string::npos, c.epub3) << out;
        // Every refinement names an element that is there.
        for (size_t at = out.find("refines=\"#"); at != std::string::npos;
             at = out.find("refines=\"#", at + 1)) {
            std::string id = out.substr(at + 10, out.find('"', at + 10) - at - 10);
            EXPECT_NE(out.find("id=\"" + id + "\""), std::string::npos) << id;
        }
    }
}

// An EPUB 3 package with two refined authors, a subtitle, two identifiers and a joined title.
const std::string EPUB3 =
    "<?xml version=\"1.0\"?>\n<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" "
    "unique-identifier=\"uid\">\n  <metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
    "    <dc:identifier id=\"uid\">urn:uuid:1</dc:identifier>\n"
    "    <dc:identifier>isbn:2</dc:identifier>\n"
    "    <dc:title id=\"t\">Salt &amp; Pepper</dc:title>\n"
    "    <meta refines=\"#t\" property=\"title-type\">main</meta>\n"
    "    <dc:title id=\"s\">A Subtitle</dc:title>\n"
    "    <meta refines=\"#s\" property=\"title-type\">subtitle</meta>\n"
    "    <dc:creator id=\"c1\">Ann Author</dc:creator>\n"
    "    <meta refines=\"#c1\" property=\"file-as\">Author, Ann</meta>\n"
    "    <meta refines=\"#c1\" property=\"role\" scheme=\"marc:relators\">aut</meta>\n"
    "    <dc:creator id=\"c2\">Bob Drawer</dc:creator>\n"
    "    <meta refines=\"#c2\" property=\"role\" scheme=\"marc:relators\">ill</meta>\n"
    "    <dc:creator>Cy Second</dc:creator>\n"
    "    <dc:date>2011-09-01</dc:date>\n"
    "    <dc:description>Developer&amp;#x27;s Reference Team</dc:description>\n"
    "    <meta property=\"dcterms:modified\">2012-01-18T12:47:00Z</meta>\n"
    "  </metadata>\n  <manifest/>\n  <spine/>\n</package>";

// What `g` shows of a package, joined as the metadata text joins it.
std::map<std::string, std::string> Shown(const std::string& opf)
{
    CIntermediateBook book;
    book.AssignMap(Reparsed(opf));
    book.KeepOnlyPublicationDate();
    std::map<std::string, std::string> shown;
    for (const auto& [key, values] : book.m_MetaData)
        book.GetValue(key, shown[key]);
    return shown;
}

// Given back the values `g` shows (split as `s` splits them), a package is not changed at all,
// however many times: not an identifier repeated, not a refinement lost, no producer added.
TEST(OpfRewrite, ValuesGivenBackUnchangedLeaveThePackageAsItWas)
{
    const struct {
        const char* label;
        std::string opf;
    } cases[] = {{"version 2", OPF}, {"version 3", EPUB3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook given;
        for (const auto& [key, value] : Shown(c.opf))
            given.AddValue(key, value);
        given.SplitJoinedValues();
        given.AddValue("contributor_TarvoProducerName", "Producer");
        EXPECT_EQ(RewriteOpfMetadata(c.opf, given.m_MetaData, "contributor_TarvoProducerName"), c.opf);
    }
}

TEST(OpfRewrite, OnlyChangedKeysAreRewritten)
{
    const struct {
        const char* label;
        MetaDataMap given;
        std::map<std::string, std::string> shownAfter; // keys that must read so afterwards
        std::vector<const char*> kept, gone;           // text of the package after the change
    } cases[] = {
        {"a second author: the first keeps their sort form and role, the illustrator stays",
         {{"creator", {"Ann Author", "New Person"}}},
         {{"creator", "Ann Author & New Person"},
          {"contributor_ill", "Bob Drawer"},
          {"title", "Salt & Pepper"}},
         {"<dc:creator id=\"c2\">Bob Drawer</dc:creator>", "<dc:identifier>isbn:2</dc:identifier>",
          "property=\"file-as\">Author, Ann</meta>"},
         {"Cy Second", "refines=\"#c1\""}},
        {"an identifier the package has, the unique one included, is not added again",
         {{"identifier", {"urn:uuid:1", "isbn:3"}}},
         {{"identifier", "urn:uuid:1 & isbn:3"}},
         {"<dc:identifier id=\"uid\">urn:uuid:1</dc:identifier>"},
         {"isbn:2"}},
        {"a new title replaces the subtitle too, so that the new one is read",
         {{"title", {"New"}}},
         {{"title", "New"}, {"creator", "Ann Author & Cy Second"}},
         {"refines=\"#c1\""},
         {"A Subtitle", "refines=\"#t\"", "refines=\"#s\""}},
        {"a reference escaped twice is written as its character",
         {{"description", {"By the Developer&#x27;s Reference Team"}}},
         {{"description", "By the Developer's Reference Team"}},
         {">By the Developer's Reference Team</dc:description>"},
         {"&amp;#x27;", "&#x27;"}},
        {"a new date replaces the date read",
         {{"date_publication", {"2020-02-02"}}},
         {{"date_publication", "2020-02-02"}},
         {"dcterms:modified"},
         {"2011-09-01"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        MetaDataMap given = c.given;
        given["contributor_TarvoProducerName"] = {"Producer"};
        const std::string out = RewriteOpfMetadata(EPUB3, given, "contributor_TarvoProducerName");
        const auto shown = Shown(out);
        for (const auto& [key, value] : c.shownAfter) {
            auto found = shown.find(key);
            ASSERT_NE(found, shown.end()) << key << "\n" << out;
            EXPECT_EQ(found->second, value) << key;
        }
        EXPECT_EQ(shown.at("contributor_TarvoProducerName"), "Producer");
        for (const char* text : c.kept)
            EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
        for (const char* text : c.gone)
            EXPECT_EQ(out.find(text), std::string::npos) << text << "\n" << out;
        // Written again, the same values change nothing more.
        EXPECT_EQ(RewriteOpfMetadata(out, given, "contributor_TarvoProducerName"), out);
    }
}

TEST(OpfRewrite, TextWithoutMetadataIsLeftAlone)
{
    EXPECT_EQ(RewriteOpfMetadata("<package/>", {{"title", {"T"}}}), "<package/>");
}

// Markup in comments and CDATA sections is no element of the package.
TEST(OpfRewrite, CommentedMarkupIsNoElement)
{
    const std::string opf = "<package><!-- <metadata><dc:title>Old</dc:title></metadata> -->\r\n"
                            "<metadata><dc:title>A</dc:title><!-- </metadata> --></metadata></package>";
    const std::string out = RewriteOpfMetadata(opf, {{"title", {"B"}}});
    EXPECT_NE(out.find("<!-- <metadata><dc:title>Old</dc:title></metadata> -->"), std::string::npos) << out;
    EXPECT_EQ(out.find(">A<"), std::string::npos) << out;
    EXPECT_NE(out.find(">B</dc:title>"), std::string::npos) << out;
    EXPECT_NE(out.find("<!-- </metadata> -->"), std::string::npos) << out;
}

} // namespace
