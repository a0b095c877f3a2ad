#include "epub/Epub.h"

#include "epub/MarcRelators.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

namespace
{

bool WellFormed(const std::string& xml)
{
    tinyxml2::XMLDocument doc;
    return doc.Parse(xml.data(), xml.size()) == tinyxml2::XML_SUCCESS;
}

bool Has(const std::string& text, const std::string& piece)
{
    return text.find(piece) != std::string::npos;
}

TEST(EpubWriter, ManifestIdsSpineAndMediaTypes)
{
    CIntermediateBook book;
    book.m_HtmlFileList = {"a.html", "b.xhtml"};
    book.m_ResourceList = {"s.css", "i.PNG", "f.webp", "s.wav"};
    CEpubBase writer;
    std::string opf = writer.BuildOpf(book);
    EXPECT_TRUE(
        Has(opf, "        <item href=\"a.html\" id=\"id_1\" media-type=\"application/xhtml+xml\"/>\r\n"
                 "        <item href=\"b.xhtml\" id=\"id_2\" media-type=\"application/xhtml+xml\"/>\r\n"
                 "        <item href=\"s.css\" id=\"id_3\" media-type=\"text/css\"/>\r\n"
                 "        <item href=\"i.PNG\" id=\"id_4\" media-type=\"image/png\"/>\r\n"
                 "        <item href=\"f.webp\" id=\"id_5\" media-type=\"text/plain\"/>\r\n"
                 "        <item href=\"s.wav\" id=\"id_6\" media-type=\"audio/mpeg\"/>\r\n"
                 "        <item href=\"toc.ncx\" id=\"ncx\" media-type=\"application/x-dtbncx+xml\"/>\r\n"))
        << opf;
    EXPECT_TRUE(Has(opf, "   <spine toc = \"ncx\">\r\n        <itemref idref=\"id_1\"/>\r\n"
                         "        <itemref idref=\"id_2\"/>\r\n   </spine>\r\n</package>"));
    EXPECT_FALSE(Has(opf, "<guide>"));
    EXPECT_TRUE(Has(opf, "<dc:language>und</dc:language>")) << "a package always names a language";
    EXPECT_TRUE(WellFormed(opf));
}

TEST(EpubWriter, CoverIdOnlyForTheExactHref)
{
    CIntermediateBook book;
    book.m_ResourceList = {"images/Cover.jpg", "images/cover.jpg"};
    CEpubBase writer;
    writer.m_HasCover = true;
    writer.m_CoverImagePath = "images/cover.jpg";
    std::string opf = writer.BuildOpf(book);
    EXPECT_TRUE(Has(opf, "href=\"images/Cover.jpg\" id=\"id_1\""));
    EXPECT_TRUE(Has(opf, "href=\"images/cover.jpg\" id=\"cover-image\""));
    EXPECT_TRUE(Has(opf, "<meta name=\"cover\" content=\"cover-image\"/>"));
}

TEST(EpubWriter, EmptyBookRightToLeftAndGuide)
{
    CIntermediateBook book;
    book.m_GuideItems.push_back(GuideItem{"cover", "Cover & more", "c.html", 0, 0});
    CEpubBase writer;
    writer.m_RightToLeft = true;
    std::string opf = writer.BuildOpf(book);
    EXPECT_TRUE(Has(opf, "   <manifest>\r\n        <item href=\"toc.ncx\""));
    EXPECT_TRUE(Has(opf, "   <spine page-progression-direction=\"rtl\" toc = \"ncx\">\r\n   </spine>\r\n"));
    EXPECT_TRUE(Has(
        opf, "   <guide>\r\n        <reference type=\"cover\" title=\"Cover &amp; more\" href=\"c.html\" />"
             "\r\n   </guide>\r\n</package>"));
}

TEST(EpubWriter, MetadataLinesInKeyOrderWithQualifiers)
{
    MetaDataMap map = {
        {"title", {"A & B <C>"}},     {"creator", {"X", "Y"}},       {"date_publication", {"2001"}},
        {"identifier_ISBN", {"978"}}, {"contributor_editor", {"E"}}, {"contributor_TarvoProducerName", {"P"}},
        {"coverimage", {"c.jpg"}},    {"MOBI_ID_00000201", {"x"}},   {"calibre:series", {"S"}}};
    std::string lines = MetadataLines(map);
    EXPECT_EQ(lines, "        <meta name=\"calibre:series\" content=\"S\"/>\r\n"
                     "        <dc:contributor opf:role=\"bkp\" opf:file-as=\"Tarvo\">P</dc:contributor>\r\n"
                     "        <dc:contributor opf:role=\"edt\">E</dc:contributor>\r\n"
                     "        <dc:creator>X</dc:creator>\r\n"
                     "        <dc:creator>Y</dc:creator>\r\n"
                     "        <dc:date opf:event=\"publication\">2001</dc:date>\r\n"
                     "        <dc:identifier opf:scheme=\"ISBN\">978</dc:identifier>\r\n"
                     "        <dc:title>A &amp; B &lt;C&gt;</dc:title>\r\n");
    EXPECT_EQ(XmlEscape("Caf&#233; &#x4e2d; & &#; &#12"), "Caf&#233; &#x4e2d; &amp; &amp;#; &amp;#12");
    EXPECT_EQ(XmlEscape("Tom &#38; Jerry &#0; &#x1F; &#xFFFE; &#99999999999; &#x110000; &#9;\x01\t"),
              "Tom &#38; Jerry &amp;#0; &amp;#x1F; &amp;#xFFFE; &amp;#99999999999; &amp;#x110000; &#9;\t")
        << "references XML does not allow become text";
}

// Sort forms go with the name they belong to (a renamed author loses one); our producer line keeps
// its own; the series and the reading direction come from the book's own fields.
TEST(EpubWriter, SortFormsSeriesAndDirectionFromTheBook)
{
    CIntermediateBook book;
    book.m_MetaData = {{"creator", {"Ann Smith", "Bo"}},
                       {"contributor_ill", {"Ivo Lang"}},
                       {"contributor_TarvoProducerName", {"P"}},
                       {"title", {"T"}}};
    book.m_SortNames = {{"Ann Smith", "Smith, Ann"}, {"Ivo Lang", "Lang, Ivo"}, {"P", "X"}, {"Gone", "G"}};
    book.m_TitleSort = "T, The";
    book.m_Series = "Saga & Co";
    book.m_SeriesIndex = "2";
    book.m_RightToLeft = true;
    CEpubBase writer;
    std::string opf = writer.BuildOpf(book);
    EXPECT_TRUE(
        Has(opf,
            "        <dc:contributor opf:role=\"bkp\" opf:file-as=\"Tarvo\">P</dc:contributor>\r\n"
            "        <dc:contributor opf:role=\"ill\" opf:file-as=\"Lang, Ivo\">Ivo Lang</dc:contributor>\r\n"
            "        <dc:creator opf:file-as=\"Smith, Ann\">Ann Smith</dc:creator>\r\n"
            "        <dc:creator>Bo</dc:creator>\r\n"))
        << opf;
    EXPECT_TRUE(Has(opf, "        <meta name=\"calibre:title_sort\" content=\"T, The\"/>\r\n"
                         "        <meta name=\"calibre:series\" content=\"Saga &amp; Co\"/>\r\n"
                         "        <meta name=\"calibre:series_index\" content=\"2\"/>\r\n"));
    EXPECT_TRUE(Has(opf, "   <spine page-progression-direction=\"rtl\" toc = \"ncx\">"));
    EXPECT_FALSE(Has(opf, "Gone"));
    EXPECT_TRUE(WellFormed(opf));

    book.m_Series.clear();
    book.m_TitleSort.clear();
    book.m_RightToLeft = false;
    opf = CEpubBase().BuildOpf(book);
    EXPECT_FALSE(Has(opf, "calibre:"));
    EXPECT_TRUE(Has(opf, "   <spine toc = \"ncx\">"));
}

TEST(EpubWriter, NcxWithoutNavPointsListsTheDocuments)
{
    CIntermediateBook book;
    book.m_HtmlFileList = {"text/one.html", "two.xhtml"};
    CEpubBase writer;
    std::string ncx = writer.BuildNcx(book);
    EXPECT_TRUE(Has(ncx, "   <navMap>\r\n      <navPoint id=\"navPoint-1\" playOrder=\"1\">\r\n"
                         "         <navLabel>\r\n           <text>one</text>\r\n         </navLabel>\r\n"
                         "         <content src=\"text/one.html\"/>\r\n      </navPoint>\r\n"
                         "      <navPoint id=\"navPoint-2\" playOrder=\"2\">"))
        << ncx;
    EXPECT_TRUE(Has(ncx, "<content src=\"two.xhtml\"/>\r\n      </navPoint>   </navMap>\r\n</ncx>"));
    EXPECT_TRUE(WellFormed(ncx));
}

TEST(EpubWriter, NcxNestsChildrenOnce)
{
    CIntermediateBook book;
    auto point = [](const char* label, int own, int parent, int first, int last) {
        NavPoint p;
        p.m_Label = label;
        p.m_PlayOrder = std::to_string(own + 1);
        p.m_Src = "a.html";
        p.m_OwnIndex = own;
        p.m_Parent = parent;
        p.m_FirstChild = first;
        p.m_LastChild = last;
        return p;
    };
    book.m_NavPoints = {point("Top", 0, -1, 1, 3), point("Child", 1, 0, 2, 2),
                        point("Grandchild", 2, 1, -1, -1), point("Second child", 3, 0, -1, -1),
                        point("Next top", 4, -1, -1, -1)};
    CEpubBase writer;
    std::string ncx = writer.BuildNcx(book);
    ASSERT_TRUE(WellFormed(ncx));
    tinyxml2::XMLDocument doc;
    doc.Parse(ncx.c_str());
    const tinyxml2::XMLElement* top =
        doc.RootElement()->FirstChildElement("navMap")->FirstChildElement("navPoint");
    ASSERT_NE(top, nullptr);
    const tinyxml2::XMLElement* child = top->FirstChildElement("navPoint");
    ASSERT_NE(child, nullptr);
    EXPECT_STREQ(child->FirstChildElement("navLabel")->FirstChildElement("text")->GetText(), "Child");
    EXPECT_NE(child->FirstChildElement("navPoint"), nullptr) << "grandchild nested";
    EXPECT_STREQ(child->NextSiblingElement("navPoint")
                     ->FirstChildElement("navLabel")
                     ->FirstChildElement("text")
                     ->GetText(),
                 "Second child");
    EXPECT_STREQ(top->NextSiblingElement("navPoint")
                     ->FirstChildElement("navLabel")
                     ->FirstChildElement("text")
                     ->GetText(),
                 "Next top");
    EXPECT_EQ(top->NextSiblingElement("navPoint")->NextSiblingElement("navPoint"), nullptr);
    EXPECT_TRUE(Has(ncx, "id=\"navPoint-5\"")) << "every entry once";
    EXPECT_FALSE(Has(ncx, "id=\"navPoint-6\""));
}

TEST(EpubWriter, ContainerText)
{
    EXPECT_EQ(
        CEpubBase::BuildContainer("OEBPS/content.opf"),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\r\n"
        "  <rootfiles>\r\n"
        "     <rootfile full-path=\"OEBPS/content.opf\" media-type=\"application/oebps-package+xml\"/>\r\n"
        "  </rootfiles>\r\n"
        "</container>");
}

TEST(EpubWriter, DocumentsGetTheEpub2DoctypeAndCharsetForm)
{
    const std::string doctype = "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" "
                                "\"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">";
    const std::string contentType =
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />";
    struct Case {
        const char* label;
        std::string in, out;
    };
    const Case cases[] = {
        {"strict doctype replaced",
         "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
         "\"x.dtd\">\r\n<html><head></head></html>",
         doctype + "\r\n<html><head></head></html>"},
        {"html5 doctype, lower case", "<!doctype html><html><head/></html>",
         doctype + "<html><head/></html>"},
        {"internal subset", "<!DOCTYPE html [ <!ENTITY a \"b>\"> ]><html/>", doctype + "<html/>"},
        {"no doctype: put before html", "<?xml version=\"1.0\"?><html></html>",
         "<?xml version=\"1.0\"?>" + doctype + "\r\n<html></html>"},
        {"charset meta", "<html><head><meta charset=\"UTF-8\" />\r\n<title>t</title></head></html>",
         doctype + "\r\n<html><head>" + contentType + "\r\n<title>t</title></head></html>"},
        {"charset beside http-equiv is dropped",
         "<html><head>" + contentType + "<meta charset=\"utf-8\"/><meta charset=\"utf-8\"/></head></html>",
         doctype + "\r\n<html><head>" + contentType + "</head></html>"},
        {"charset only in the body stays", "<html><head></head><body><meta charset=\"x\"/></body></html>",
         doctype + "\r\n<html><head></head><body><meta charset=\"x\"/></body></html>"},
        {"value naming charset is no attribute",
         "<html><head><meta name=\"a\" content=\" charset=x\"/></head></html>",
         doctype + "\r\n<html><head><meta name=\"a\" content=\" charset=x\"/></head></html>"},
        {"not a document", "plain", "plain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string document = c.in;
        MakeEpub2Document(document);
        EXPECT_EQ(document, c.out);
    }
}

TEST(EpubWriter, Html5MarkupBecomesXhtml11)
{
    const std::string doctype = "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" "
                                "\"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">\r\n";
    struct Case {
        const char* label;
        std::string body, out;
    };
    const Case cases[] = {
        {"section keeps its id", "<section id=\"s1\">x</section>",
         "<div id=\"s1\" class=\"section\">x</div>"},
        {"class kept after the old name", "<nav class=\"toc main\"><p/></nav>",
         "<div class=\"nav toc main\"><p/></div>"},
        {"single quotes and upper case", "<ASIDE class='n'>a</ASIDE>", "<div class='aside n'>a</div>"},
        {"inline", "<p><mark title=\"t\">m</mark></p>", "<p><span title=\"t\" class=\"mark\">m</span></p>"},
        {"html5-only attributes dropped",
         "<div role=\"main\" id=\"d\" aria-label=\"x > y\" data-n=\"1\" epub:type=\"chapter\" title=\"t\">",
         "<div id=\"d\" title=\"t\" class=\"chapter\">"},
        {"empty element", "<figure role=\"group\"/><br />", "<div class=\"figure\"/><br />"},
        {"similar names stay", "<sections><headers x=\"1\"/><navy/></sections>",
         "<sections><headers x=\"1\"/><navy/></sections>"},
        {"attribute values and text untouched",
         "<a href=\"section.html\" title=\"<nav role=x>\">role=\"a\" <nav</a>",
         "<a href=\"section.html\" title=\"<nav role=x>\">role=\"a\" <nav</a>"},
        {"comments, CDATA and style sheets untouched, scripts dropped",
         "<!-- <section> --><script>if (a <section) x();</script><style><![CDATA[ <nav> ]]></style>",
         "<!-- <section> --><style><![CDATA[ <nav> ]]></style>"},
        {"tag left open", "<p>a</p><section id=\"x", "<p>a</p><section id=\"x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string document = "<html><body><div>" + c.body + "</div></body></html>";
        MakeEpub2Document(document);
        EXPECT_EQ(document, doctype + "<html><body><div>" + c.out + "</div></body></html>");
    }
}

// EPUB 3 markup as our printer writes it, and what an EPUB 2 reader validates against.
TEST(EpubWriter, Epub3MarkupBecomesXhtml11)
{
    struct Case {
        const char* label;
        std::string in, out; // a whole document after its doctype
    };
    const std::string head = "<head>\r\n<title>t</title>\r\n</head>\r\n";
    auto page = [&head](const std::string& body) { return "<html>\r\n" + head + body + "</html>"; };
    const Case cases[] = {
        {"nothing to do: the same bytes",
         page("<body class=\"x\">\r\n<p id=\"a\" lang=\"en\">one <b>two</b><br "
              "/>\r\nthree</p>\r\n<blockquote>\r\n"
              "<p>q</p>\r\n</blockquote>\r\n</body>\r\n"),
         page("<body class=\"x\">\r\n<p id=\"a\" lang=\"en\">one <b>two</b><br "
              "/>\r\nthree</p>\r\n<blockquote>\r\n"
              "<p>q</p>\r\n</blockquote>\r\n</body>\r\n")},
        {"html and title keep what XHTML 1.1 gives them",
         "<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\" "
         "epub:prefix=\"z3998: http://x/\" prefix=\"a: b\" class=\"c\" xml:lang=\"ar\" dir=\"rtl\">\r\n"
         "<head id=\"h\">\r\n<title title=\"Le titre\" lang=\"fr\">t</title>\r\n"
         "<meta property=\"og:title\" name=\"n\" content=\"c\" />\r\n"
         "<link href=\"a.css\" rel=\"stylesheet\" crossorigin=\"anonymous\" />\r\n</head>\r\n</html>",
         "<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\" "
         "xml:lang=\"ar\" dir=\"rtl\">\r\n<head>\r\n<title lang=\"fr\">t</title>\r\n"
         "<meta name=\"n\" content=\"c\" />\r\n<link href=\"a.css\" rel=\"stylesheet\" "
         "/>\r\n</head>\r\n</html>"},
        {"epub:type becomes classes, after the old name and the element's own",
         page("<body epub:type=\"bodymatter z3998:fiction\">\r\n<section class=\"c\" epub:type=\"chapter\" "
              "id=\"s\">\r\n<p>x</p>\r\n</section>\r\n</body>\r\n"),
         page("<body class=\"bodymatter z3998:fiction\">\r\n<div class=\"section c chapter\" id=\"s\">\r\n"
              "<p>x</p>\r\n</div>\r\n</body>\r\n")},
        {"hidden becomes a style, joined to one there is",
         page("<body>\r\n<ol hidden=\"hidden\">\r\n<li>a</li>\r\n</ol>\r\n<div style=\"color:red\" "
              "hidden=\"\">"
              "b</div>\r\n<div hidden=\"\" style=\"margin:0;\">c</div>\r\n<nav epub:type=\"landmarks\" "
              "hidden=\"hidden\">\r\n<p>d</p>\r\n</nav>\r\n</body>\r\n"),
         page("<body>\r\n<ol style=\"display:none\">\r\n<li>a</li>\r\n</ol>\r\n<div style=\"color:red;"
              "display:none\">b</div>\r\n<div style=\"margin:0;display:none\">c</div>\r\n<div class=\"nav "
              "landmarks\" style=\"display:none\">\r\n<p>d</p>\r\n</div>\r\n</body>\r\n")},
        {"text-level elements become spans and lose their own attributes",
         page("<body>\r\n<p>On <time datetime=\"1891-06-15\" id=\"t\">15 June</time>, <data value=\"7\">"
              "seven</data><wbr></wbr></p>\r\n</body>\r\n"),
         page("<body>\r\n<p>On <span id=\"t\" class=\"time\">15 June</span>, <span class=\"data\">"
              "seven</span><span class=\"wbr\"></span></p>\r\n</body>\r\n")},
        {"figures, asides, headers and details become divs",
         page(
             "<body>\r\n<figure id=\"f\">\r\n<img src=\"a.png\" alt=\"\" srcset=\"a2.png 2x\" "
             "loading=\"lazy\" "
             "/>\r\n<figcaption>c</figcaption>\r\n</figure>\r\n<aside epub:type=\"footnote\">\r\n<p>n</p>\r\n"
             "</aside>\r\n<details open=\"\">\r\n<summary>s</summary>\r\n</details>\r\n</body>\r\n"),
         page(
             "<body>\r\n<div id=\"f\" class=\"figure\">\r\n<img src=\"a.png\" alt=\"\" />\r\n"
             "<div class=\"figcaption\">c</div>\r\n</div>\r\n<div class=\"aside footnote\">\r\n<p>n</p>\r\n"
             "</div>\r\n<div class=\"details\">\r\n<div class=\"summary\">s</div>\r\n</div>\r\n</body>\r\n")},
        {"speech, ARIA, data and microdata attributes dropped",
         page("<body>\r\n<p ssml:ph=\"x\" aria-hidden=\"true\" role=\"doc-epigraph\" data-x=\"1\" "
              "itemprop=\"p\" "
              "id=\"p\">x</p>\r\n</body>\r\n"),
         page("<body>\r\n<p id=\"p\">x</p>\r\n</body>\r\n")},
        {"scripts dropped, in the head and in the body",
         "<html>\r\n<head>\r\n<title>t</title>\r\n<script src=\"a.js\" type=\"text/javascript\"></script>\r\n"
         "</head>\r\n<body>\r\n<p>a</p>\r\n<script type=\"text/javascript\">if (a < b &amp;&amp; c) "
         "d('</p>');</script>\r\n<p>b<script src=\"x.js\" /></p>\r\n</body>\r\n</html>",
         page("<body>\r\n<p>a</p>\r\n<p>b</p>\r\n</body>\r\n")},
        {"an image straight in the body goes in a div",
         page("<body><img src=\"cover.png\" alt=\"Cover\" />\r\n</body>\r\n"),
         page("<body><div><img src=\"cover.png\" alt=\"Cover\" />\r\n</div>\r\n</body>\r\n")},
        {"a run of text and inline elements goes in one div, closed before the next block",
         page("<body>\r\nSome <i>text</i>\r\n<p>p</p>\r\n<blockquote>quoted "
              "<cite>c</cite>\r\n</blockquote>\r\n"
              "<blockquote>\r\n<p>q</p>\r\n<a id=\"x\"></a></blockquote>\r\n</body>\r\n"),
         page("<body>\r\n<div>Some <i>text</i>\r\n</div>\r\n<p>p</p>\r\n<blockquote><div>quoted "
              "<cite>c</cite>\r\n"
              "</div>\r\n</blockquote>\r\n<blockquote>\r\n<p>q</p>\r\n<div><a id=\"x\"></a></div>\r\n"
              "</blockquote>\r\n</body>\r\n")},
        {"SVG keeps its own names and loses ARIA",
         page("<body>\r\n<div>\r\n<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 1 1\" "
              "aria-label=\"x\" role=\"img\">\r\n<title id=\"t\" class=\"c\">x</title>\r\n<g epub:type=\"z\" "
              "hidden=\"\" data-x=\"\"><text>a</text></g>\r\n</svg>\r\n</div>\r\n</body>\r\n"),
         page("<body>\r\n<div>\r\n<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 1 1\">\r\n"
              "<title id=\"t\" class=\"c\">x</title>\r\n<g><text>a</text></g>\r\n</svg>\r\n</div>\r\n"
              "</body>\r\n")},
        {"s and u become spans that keep their look",
         page("<body>\r\n<p><s>old</s> <u style=\"color:red;\" hidden=\"\">new</u></p>\r\n</body>\r\n"),
         page("<body>\r\n<p><span class=\"s\" style=\"text-decoration:line-through\">old</span> <span "
              "style=\"text-decoration:underline;color:red;display:none\" "
              "class=\"u\">new</span></p>\r\n</body>\r\n")},
        {"focus only on links and controls; no reversed lists",
         page("<body>\r\n<p tabindex=\"0\" accesskey=\"p\">x</p>\r\n<p><a href=\"#x\" tabindex=\"1\" "
              "accesskey=\"a\">a</a></p>\r\n<ol reversed=\"\" start=\"3\">\r\n<li>c</li>\r\n</ol>\r\n"
              "</body>\r\n"),
         page("<body>\r\n<p>x</p>\r\n<p><a href=\"#x\" tabindex=\"1\" accesskey=\"a\">a</a></p>\r\n"
              "<ol start=\"3\">\r\n<li>c</li>\r\n</ol>\r\n</body>\r\n")},
        {"list numbering and image texts XHTML 1.1 requires",
         page("<body>\r\n<ol type=\"i\">\r\n<li>a</li>\r\n</ol>\r\n<ol type=\"A\" style=\"margin:0\">\r\n"
              "<li>b</li>\r\n</ol>\r\n<p><img src=\"a.png\" /></p>\r\n</body>\r\n"),
         page("<body>\r\n<ol style=\"list-style-type:lower-roman\">\r\n<li>a</li>\r\n</ol>\r\n<ol "
              "style=\"list-style-type:upper-alpha;margin:0\">\r\n<li>b</li>\r\n</ol>\r\n<p><img "
              "src=\"a.png\" "
              "alt=\"\" /></p>\r\n</body>\r\n")},
        {"a style sheet gets its type",
         "<html>\r\n<head>\r\n<title>t</title>\r\n<style>p { margin: 0 }</style>\r\n<style "
         "type=\"text/css\" media=\"all\">a { }</style>\r\n</head>\r\n</html>",
         "<html>\r\n<head>\r\n<title>t</title>\r\n<style type=\"text/css\">p { margin: 0 }</style>\r\n<style "
         "type=\"text/css\" media=\"all\">a { }</style>\r\n</head>\r\n</html>"},
        {"names in other cases and single quotes",
         page("<body>\r\n<SECTION Hidden='' Class='a \"b\"' EPUB:TYPE='c'>x</SECTION>\r\n</body>\r\n"),
         page("<body>\r\n<div Class='section a \"b\" c' style=\"display:none\">x</div>\r\n</body>\r\n")},
    };
    const std::string doctype = "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" "
                                "\"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string document = doctype + c.in;
        MakeEpub2Document(document);
        EXPECT_EQ(document, doctype + c.out);
        EXPECT_TRUE(WellFormed(document));
    }
}

TEST(EpubWriter, SvgImagesLoseOnlyWhatSvg11Lacks)
{
    const std::pair<std::string, std::string> cases[] = {
        {"<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
         "version=\"1.1\">\n\t<title>t</title>\n"
         "\t<style type=\"text/css\">\n\t\tpath{ fill: #fff; } a<b\n\t</style>\n"
         "\t<g aria-label=\"THE TITLE\" class=\"c\">\n\t\t<path d=\"M0 0\"/>\n\t</g>\n</svg>\n",
         "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
         "version=\"1.1\">\n\t<title>t</title>\n"
         "\t<style type=\"text/css\">\n\t\tpath{ fill: #fff; } a<b\n\t</style>\n"
         "\t<g class=\"c\">\n\t\t<path d=\"M0 0\"/>\n\t</g>\n</svg>\n"},
        {"<svg><section hidden=\"\"/><script>if (a<b) f();</script><main role=\"x\"/></svg>",
         "<svg><section/><script>if (a<b) f();</script><main/></svg>"},
    };
    for (const auto& [in, out] : cases) {
        std::string image = in;
        MakeEpub2Svg(image);
        EXPECT_EQ(image, out);
    }
}

TEST(EpubWriter, RelatorTerms)
{
    const std::pair<const char*, const char*> cases[] = {
        {"author", "aut"},
        {"Editor", "edt"},
        {"book producer", "bkp"},
        {"owner", "own"},
        {"translator", "trl"},
        {"illustrator", "ill"},
        {"author of afterword,colophon,etc.", "aft"},
        {"aut", "aut"},
        {"nonsense", "nonsense"},
        {"abridger", "abr"},
        {"writer of supplementary textual content", "wst"},
    };
    for (const auto& [term, code] : cases)
        EXPECT_EQ(RelatorCode(term), code) << term;
}

} // namespace
