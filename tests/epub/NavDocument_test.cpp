#include "epub/NavDocument.h"

#include "epub/ParseOpf.h"

#include <gtest/gtest.h>

namespace
{

std::string NavPage(const std::string& navs)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><html xmlns=\"http://www.w3.org/1999/xhtml\" "
           "xmlns:epub=\"http://www.idpf.org/2007/ops\"><head><title>Contents</title></head><body>" +
           navs + "</body></html>";
}

std::string TocNav(const std::string& list)
{
    return "<nav epub:type=\"toc\" id=\"toc\"><h1>Contents</h1>" + list + "</nav>";
}

std::string Nested(int depth)
{
    std::string list;
    for (int i = 0; i < depth; ++i)
        list += "<ol><li><a href=\"c.xhtml#l" + std::to_string(i) + "\">L" + std::to_string(i) + "</a>";
    for (int i = 0; i < depth; ++i)
        list += "</li></ol>";
    return list;
}

struct NavCase {
    const char* label;
    std::string page;
    const char* navHref; // relative to the package folder
    std::vector<std::string> labels;
    std::vector<std::string> srcs;
    std::vector<int32_t> parents;
    std::vector<int32_t> depths;
};

TEST(NavDocument, ListsBecomeNestedEntries)
{
    const NavCase cases[] = {
        {"nested lists keep their parents and depths",
         NavPage(TocNav("<ol><li><a href=\"a.xhtml\">A</a><ol><li><a href=\"a.xhtml#x\">A.1</a><ol><li>"
                        "<a href=\"a.xhtml#y\">A.1.1</a></li></ol></li><li><a href=\"a.xhtml#z\">A.2</a></li>"
                        "</ol></li><li><a href=\"b.xhtml\">B</a></li></ol>")),
         "nav.xhtml",
         {"A", "A.1", "A.1.1", "A.2", "B"},
         {"a.xhtml", "a.xhtml#x", "a.xhtml#y", "a.xhtml#z", "b.xhtml"},
         {-1, 0, 1, 0, -1},
         {0, 1, 2, 1, 0}},
        {"targets resolve against the nav's folder",
         NavPage(
             TocNav("<ol><li><a href=\"../text/one.xhtml#p\">One</a></li><li><a href=\"two.xhtml\">Two</a>"
                    "</li><li><a href=\"#toc\">Here</a></li></ol>")),
         "nav/toc.xhtml",
         {"One", "Two", "Here"},
         {"text/one.xhtml#p", "nav/two.xhtml", "nav/toc.xhtml#toc"},
         {-1, -1, -1},
         {0, 0, 0}},
        {"labels are text only, white space collapsed, images by their alt",
         NavPage(TocNav("<ol><li><a href=\"a.xhtml\">\n  <span>Chapter</span>\t<em>One</em>\n</a></li>"
                        "<li><a href=\"b.xhtml\"><img src=\"i.png\" alt=\"Map\"/></a></li>"
                        "<li><a href=\"c.xhtml\" title=\"By title\"></a></li></ol>")),
         "nav.xhtml",
         {"Chapter One", "Map", "By title"},
         {"a.xhtml", "b.xhtml", "c.xhtml"},
         {-1, -1, -1},
         {0, 0, 0}},
        {"a heading leads where its first entry leads; one with nothing under it goes",
         NavPage(TocNav("<ol><li><span>Part I</span><ol><li><a href=\"p1.xhtml\">1</a></li></ol></li>"
                        "<li><span>Empty</span></li><li><a href=\"http://example.com/\">Web</a></li>"
                        "<li><a href=\"p2.xhtml\">2</a></li></ol>")),
         "nav.xhtml",
         {"Part I", "1", "2"},
         {"p1.xhtml", "p1.xhtml", "p2.xhtml"},
         {-1, 0, -1},
         {0, 1, 0}},
        {"only the toc nav gives entries, the first of them",
         NavPage("<nav epub:type=\"page-list\"><ol><li><a href=\"a.xhtml#p1\">1</a></li></ol></nav>" +
                 TocNav("<ol><li><a href=\"a.xhtml\">A</a></li></ol>") +
                 "<nav epub:type=\"toc\"><ol><li><a href=\"b.xhtml\">B</a></li></ol></nav>"),
         "nav.xhtml",
         {"A"},
         {"a.xhtml"},
         {-1},
         {0}},
        {"a nav inside sections is found",
         NavPage("<section><div>" +
                 TocNav("<ol><li><a href=\"a.xhtml\">A</a>"
                        "</li></ol>") +
                 "</div></section>"),
         "nav.xhtml",
         {"A"},
         {"a.xhtml"},
         {-1},
         {0}},
        {"no toc nav, no entries", NavPage("<p>nothing</p>"), "nav.xhtml", {}, {}, {}, {}},
    };
    for (const NavCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook book;
        std::vector<NavPoint> toc;
        std::vector<GuideItem> landmarks;
        ASSERT_EQ(ReadNavDocument(c.page, c.navHref, book, toc, landmarks), RC_OK);
        ASSERT_EQ(toc.size(), c.labels.size());
        for (size_t i = 0; i < toc.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(toc[i].m_Label, c.labels[i]);
            EXPECT_EQ(toc[i].m_Src, c.srcs[i]);
            EXPECT_EQ(toc[i].m_Parent, c.parents[i]);
            EXPECT_EQ(toc[i].m_Depth, c.depths[i]);
            EXPECT_EQ(toc[i].m_OwnIndex, static_cast<int32_t>(i));
            if (c.parents[i] >= 0) {
                const NavPoint& parent = toc[static_cast<size_t>(c.parents[i])];
                EXPECT_LE(parent.m_FirstChild, static_cast<int32_t>(i));
                EXPECT_GE(parent.m_LastChild, static_cast<int32_t>(i));
            }
        }
    }
}

struct BoundCase {
    const char* label;
    std::string page;
    ResultCode rc;
    size_t entries;
};

TEST(NavDocument, DeepAndBrokenPagesAreBounded)
{
    const BoundCase cases[] = {
        {"forty levels", NavPage(TocNav(Nested(40))), RC_OK, 40},
        {"deeper than the XML parser goes", NavPage(TocNav(Nested(200))), RC_EPUB_OPF_TREE_INIT, 0},
        {"not well-formed", NavPage(TocNav("<ol><li><a href=\"a.xhtml\">A</li></ol>")), RC_EPUB_OPF_TREE_INIT,
         0},
        {"blanks between tags are kept where they are no label",
         NavPage(TocNav("<ol>\n  <li>\n <a href=\"a.xhtml\" title=\"x> <y\">A</a> </li> </ol>")), RC_OK, 1},
    };
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook book;
        std::vector<NavPoint> toc;
        std::vector<GuideItem> landmarks;
        EXPECT_EQ(ReadNavDocument(c.page, "nav.xhtml", book, toc, landmarks), c.rc);
        ASSERT_EQ(toc.size(), c.entries);
        if (!toc.empty()) {
            EXPECT_EQ(toc.back().m_Depth, static_cast<int32_t>(c.entries) - 1);
            EXPECT_EQ(toc.front().m_Label, c.entries == 1 ? "A" : "L0");
        }
    }
}

struct LandmarkCase {
    const char* label;
    const char* epubType;
    const char* guideType;
};

TEST(NavDocument, LandmarksGetGuideTypes)
{
    const LandmarkCase cases[] = {
        {"start of text", "bodymatter", "text"},
        {"table of contents", "toc", "toc"},
        {"cover", "cover", "cover"},
        {"the first name with a type wins", "frontmatter cover", "cover"},
        {"title page", "titlepage", "title-page"},
        {"spelling of the guide", "acknowledgments", "acknowledgements"},
        {"notes", "rearnotes", "notes"},
        {"no guide type", "frontmatter", "other.frontmatter"},
        {"prefixed name", "z3998:fiction", "other.fiction"},
        {"blank", "  ", ""},
    };
    for (const LandmarkCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(GuideTypeOfLandmark(c.epubType), c.guideType);
    }

    const std::string page = NavPage(
        TocNav("<ol><li><a href=\"a.xhtml\">A</a></li></ol>") +
        "<nav epub:type=\"landmarks\"><ol><li><a epub:type=\"cover\" href=\"cover.xhtml\">Cover</a></li>"
        "<li><a epub:type=\"toc\" href=\"#toc\">Contents</a></li><li><a href=\"a.xhtml\">No type</a></li>"
        "<li><a epub:type=\"bodymatter\" href=\"a.xhtml#start\">Begin</a></li></ol></nav>");
    CIntermediateBook book;
    std::vector<NavPoint> toc;
    std::vector<GuideItem> landmarks;
    ASSERT_EQ(ReadNavDocument(page, "nav/nav.xhtml", book, toc, landmarks), RC_OK);
    ASSERT_EQ(landmarks.size(), 3u);
    const char* types[] = {"cover", "toc", "text"};
    const char* hrefs[] = {"nav/cover.xhtml", "nav/nav.xhtml#toc", "nav/a.xhtml#start"};
    const char* titles[] = {"Cover", "Contents", "Begin"};
    for (size_t i = 0; i < landmarks.size(); ++i) {
        SCOPED_TRACE(types[i]);
        EXPECT_EQ(landmarks[i].m_Type, types[i]);
        EXPECT_EQ(landmarks[i].m_Href, hrefs[i]);
        EXPECT_EQ(landmarks[i].m_Title, titles[i]);
    }
}

} // namespace
