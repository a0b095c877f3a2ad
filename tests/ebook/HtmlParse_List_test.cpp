#include "ebook/HtmlParse.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/IntermediateBook.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace
{

// A fresh folder under /tmp, ending in "/"; every file the tests make lives below it.
std::string MakeScratch()
{
    char pattern[] = "/tmp/tarvo-html-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    return std::string(made != nullptr ? made : "/tmp") + "/";
}

void Put(const std::string& path, const std::string& bytes)
{
    ASSERT_EQ(MakePath(path), RC_OK) << path;
    ASSERT_EQ(WriteWholeFile(path, bytes), RC_OK) << path;
}

// Every file below folder, relative to it.
void ListFiles(const std::string& folder, const std::string& prefix, std::set<std::string>& out)
{
    DIR* dir = opendir((folder + prefix).c_str());
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        std::string full = folder + prefix + name;
        if (stat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            ListFiles(folder, prefix + name + "/", out);
        else
            out.insert(prefix + name);
    }
    closedir(dir);
}

std::string Page(const std::string& body)
{
    return "<html><head><title>t</title></head><body>" + body + "</body></html>";
}

} // namespace

TEST(HtmlParseList, CollectsResourcesByElement)
{
    CHtmlParse parse;
    ASSERT_EQ(
        parse.Init("<html><head><link rel=\"stylesheet\" href=\"css/a%20b.css\"><style>x{}</style>"
                   "<title>t</title></head><body>"
                   "<img src=\"IMG/A.PNG\"><img src=\"img/a.png\"><img xlink:href=\"x.png\">"
                   "<a href=\"next.xhtml#p3\">n</a><a href=\"http://far/away.html\">f</a>"
                   "<a href=\"https://near/by.html\">h</a><a href=\"#local\">l</a><a href=\"doc.pdf\">p</a>"
                   "<object data=\"movie.swf\"></object><object data=\"http://x/y.swf\"></object>"
                   "<audio src=\"a.mp3\"></audio><video><source src=\"v.webm\"></video>"
                   "<script src=\"s.js\"></script><p>a+b</p></body></html>"),
        RC_OK);
    HtmlResourceRecord record;
    parse.CollectResources(record);
    EXPECT_EQ(record.m_StyleSheets, (std::vector<std::string>{"css/a b.css"}));
    EXPECT_EQ(record.m_Images,
              (std::vector<std::string>{"IMG/A.PNG", "x.png", "movie.swf", "a.mp3", "v.webm", "s.js"}));
    EXPECT_EQ(record.m_HtmlFiles, (std::vector<std::string>{"next.xhtml"}));
}

struct ReferenceCase {
    const char* label;
    const char* reference;
    bool local;
};

const ReferenceCase kReferenceCases[] = {
    {"https", "https://example.org/page.html", false},
    {"upper-case scheme", "HTTPS://example.org/page.html", false},
    {"mailto", "mailto:someone@example.org?subject=a.html", false},
    {"ftp", "ftp://example.org/pub/list.html", false},
    {"data", "data:text/html;base64,PGI+eDwvYj4=.html", false},
    {"javascript", "javascript:open('x.html')", false},
    {"scheme with digits and signs", "view-source+x.1:page.html", false},
    {"network path", "//example.org/page.html", false},
    {"leading blank", " https://example.org/page.html", false},
    {"relative", "sub/page.html", true},
    {"colon after a slash", "sub/a:b.html", true},
    {"drive letter", "c:/book/page.html", true},
    {"escaped colon", "ab%3Acd.html", true},
};

// Only local files belong to a book; whatever has a scheme stays a link in the text.
TEST(HtmlParseList, ReferencesWithASchemeAreNotCollected)
{
    for (const ReferenceCase& c : kReferenceCases) {
        SCOPED_TRACE(c.label);
        std::string ref = c.reference;
        CHtmlParse parse;
        ASSERT_EQ(parse.Init(Page("<a href=\"" + ref + "\">a</a><img src=\"" + ref +
                                  "\" alt=\"\"/>"
                                  "<link rel=\"stylesheet\" href=\"" +
                                  ref + "\"/><object data=\"" + ref + "\"></object><video src=\"" + ref +
                                  "\"></video>")),
                  RC_OK);
        HtmlResourceRecord record;
        parse.CollectResources(record);
        EXPECT_EQ(record.m_HtmlFiles.size(), c.local ? 1u : 0u);
        EXPECT_EQ(record.m_Images.size(), c.local ? 1u : 0u);
        EXPECT_EQ(record.m_StyleSheets.size(), c.local ? 1u : 0u);
    }
}

TEST(HtmlParseList, BuildsTheTreeAndTableOfContents)
{
    std::string scratch = MakeScratch();
    std::string src = scratch + "src/book/";
    std::string temp = scratch + "temp/";
    Put(src + "text/index.html",
        Page("<link href=\"../css/style.css\" rel=\"stylesheet\"><h2>Preface</h2><h1>Part &amp; One</h1>"
             "<img src=\"../images/cover%20one.png\"><a href=\"a.html#x\">A</a>"
             "<a href=\"https://example.com/remote.html\">r</a><a href=\"missing.html\">m</a>"
             "<video src=\"media/clip.mp4\"></video><h2>Chapter <b>1</b></h2><h3 id=\"s11\">Section 1.1</h3>"
             "<img src=\"index.html\">"));
    Put(src + "text/a.html", Page("<h1>A</h1><a href=\"sub/b.html\">B</a><img src=\"./pics/a.png\">"));
    Put(src + "text/sub/b.html",
        Page("<h2>B</h2><a href=\"../a.html\">back</a><img src=\"..\\..\\images\\b.jpg\">"
             "<object data=\"../../images/obj.svg\"></object>"));
    Put(src + "css/style.css", "p{}");
    Put(src + "images/cover one.png", "png");
    Put(src + "images/b.jpg", "jpg");
    Put(src + "images/obj.svg", "<svg/>");
    Put(src + "text/media/clip.mp4", "mp4");
    Put(src + "text/pics/a.png", "apng");
    ASSERT_EQ(MakeDirectory(temp), RC_OK);

    CHtmlParse parse;
    CIntermediateBook book;
    ASSERT_EQ(parse.GetHtmlList(src + "text/index.html", temp, book), RC_OK);

    std::set<std::string> files;
    ListFiles(temp, "", files);
    EXPECT_EQ(files, (std::set<std::string>{"text/index.html", "text/a.html", "text/sub/b.html",
                                            "css/style.css", "images/cover one.png", "images/b.jpg",
                                            "images/obj.svg", "text/media/clip.mp4", "text/pics/a.png"}));
    EXPECT_EQ(ReadWholeFile(temp + "text/pics/a.png"), "apng");
    // The page that names itself as an image is still the printed page.
    EXPECT_NE(ReadWholeFile(temp + "text/index.html").find("<h1 id=\"e"), std::string::npos);

    const std::vector<HtmlResourceRecord>& records = parse.GetRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].m_Folder, "text");
    EXPECT_EQ(records[0].m_FileName, "index.html");
    EXPECT_EQ(records[0].m_StyleSheets, (std::vector<std::string>{"../css/style.css"}));
    EXPECT_EQ(records[0].m_Images,
              (std::vector<std::string>{"../images/cover one.png", "media/clip.mp4", "index.html"}));
    EXPECT_EQ(records[0].m_HtmlFiles, (std::vector<std::string>{"a.html", "missing.html"}));
    EXPECT_EQ(records[1].m_Folder, "text");
    EXPECT_EQ(records[1].m_FileName, "a.html");
    EXPECT_EQ(records[2].m_Folder, "text/sub");
    // The library itself turns the backslashes of a URL into slashes.
    EXPECT_EQ(records[2].m_Images, (std::vector<std::string>{"../../images/b.jpg", "../../images/obj.svg"}));

    struct Expected {
        const char* label;
        const char* src; // up to the "#"
        int32_t parent;  // entry number, -1 at the top
    };
    const Expected expected[] = {
        {"Preface", "text/index.html", -1},
        {"Part & One", "text/index.html", -1},
        {"Chapter 1", "text/index.html", 2},
        {"Section 1.1", "text/index.html", 3},
        {"A", "text/a.html", -1},
        {"B", "text/sub/b.html", 5},
    };
    ASSERT_EQ(book.m_NavPoints.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(expected[i].label);
        const NavPoint& point = book.m_NavPoints[i];
        EXPECT_EQ(point.m_Label, expected[i].label);
        EXPECT_EQ(point.m_PlayOrder, std::to_string(i + 1));
        EXPECT_EQ(point.m_Src.substr(0, point.m_Src.find('#')), expected[i].src);
        EXPECT_NE(point.m_Src.find('#'), std::string::npos);
        EXPECT_EQ(point.m_Parent, expected[i].parent);
    }
    EXPECT_EQ(book.m_NavPoints[3].m_Src, "text/index.html#s11");
    EXPECT_EQ(book.m_NavPoints[1].m_FirstChild, 3);
    EXPECT_EQ(book.m_NavPoints[1].m_LastChild, 3);
    EXPECT_EQ(book.m_NavPoints[3].m_Depth, 2);
}

TEST(HtmlParseList, NothingIsWrittenOutsideTheTempDirectory)
{
    std::string scratch = MakeScratch();
    std::string src = scratch + "h/a/b/";
    std::string temp = scratch + "temp/";
    std::string up(40 * 3, '.');
    for (size_t i = 2; i < up.size(); i += 3)
        up[i] = '/';
    Put(src + "start.html",
        Page("<img src=\"" + up +
             "etc/passwd\"><img src=\"../../secret.png\"><img src=\"x/../../../../y.png\">"
             "<img src=\"/etc/hostname\"><img src=\"..\\..\\..\\z.png\"><a href=\"" +
             up +
             "tmp/evil.html\">e</a>"
             "<a href=\"../../../other.html\">o</a><link href=\"../../..\" rel=\"stylesheet\">"));
    Put(scratch + "h/secret.png", "secret");
    Put(scratch + "other.html", Page("<img src=\"" + up + "again.png\"><p>other</p>"));
    ASSERT_EQ(MakeDirectory(temp), RC_OK);

    std::set<std::string> before;
    ListFiles(scratch, "", before);
    CHtmlParse parse;
    CIntermediateBook book;
    ASSERT_EQ(parse.GetHtmlList(src + "start.html", temp, book), RC_OK);
    std::set<std::string> after;
    ListFiles(scratch, "", after);
    for (const std::string& file : after) {
        if (before.count(file) == 0) {
            EXPECT_EQ(file.rfind("temp/", 0), 0u) << file;
        }
    }
    // The references that stay inside the file system still resolve from the written page.
    EXPECT_EQ(ReadWholeFile(temp + "h/secret.png"), "secret");
    EXPECT_FALSE(ReadWholeFile(temp + "h/a/b/start.html").empty());
    EXPECT_FALSE(ReadWholeFile(temp + "other.html").empty());
}

TEST(HtmlParseList, EmptyOrMissingStartFileGivesNothing)
{
    std::string scratch = MakeScratch();
    Put(scratch + "empty.html", "");
    ASSERT_EQ(MakeDirectory(scratch + "temp/"), RC_OK);
    CHtmlParse parse;
    CIntermediateBook book;
    EXPECT_EQ(parse.GetHtmlList(scratch + "empty.html", scratch + "temp/", book), RC_OK);
    EXPECT_EQ(parse.GetHtmlList(scratch + "none.html", scratch + "temp/", book), RC_OK);
    EXPECT_TRUE(parse.GetRecords().empty());
    std::set<std::string> files;
    ListFiles(scratch + "temp/", "", files);
    EXPECT_TRUE(files.empty());
}

namespace
{

// A two-page site whose links name other schemes, and whose headings hold inline markup.
void MakeSite(const ScratchDir& site)
{
    const std::string remote = "<a href=\"https://example.org/remote.html\">s</a>"
                               "<a href=\"HTTP://example.org/loud.html\">l</a>"
                               "<a href=\"mailto:someone@example.org\">m</a>"
                               "<a href=\"ftp://example.org/pub/list.html\">f</a>"
                               "<a href=\"javascript:void(0)\">j</a>"
                               "<a href=\"//example.org/net.html\">n</a>"
                               "<img src=\"data:image/gif;base64,R0lGODlhAQABAAAAACw=\" alt=\"d\"/>"
                               "<img src=\"https://example.org/far.png\" alt=\"f\"/>"
                               "<link rel=\"stylesheet\" href=\"https://example.org/far.css\"/>";
    Put(site / "index.html", Page("<h1>5.1.1 The <code>lb config</code> command</h1>" + remote +
                                  "<a href=\"ch1.html\">next</a><img src=\"pic.png\" alt=\"p\"/>"));
    Put(site / "ch1.html", Page("<h2>Line<br/>break and <b>bold</b>ness</h2><p>text</p>" + remote));
    Put(site / "pic.png", "png");
}

} // namespace

// Remote links stay links in the pages; only local files become part of the book.
TEST(HtmlParseListConversion, LinksWithASchemeNeverReachThePackage)
{
    ScratchDir scratch;
    MakeSite(scratch);
    CommandRun run = RunTarvoCmd({"c", scratch / "index.html", scratch / "site.epub", scratch / "t"});
    ASSERT_NE(run.out.find("return 0"), std::string::npos) << run.out;
    std::string listing = RunProgramCapture("/usr/bin/unzip", {"-Z1", scratch / "site.epub"}, "").out;
    std::string package = RunProgramCapture("/usr/bin/unzip", {"-p", scratch / "site.epub", "*.opf"}, "").out;
    ASSERT_NE(package.find("ch1.html"), std::string::npos) << package;
    EXPECT_NE(package.find("pic.png"), std::string::npos) << package;
    for (const char* name :
         {"example.org", "someone", "javascript", "data:", "remote", "far.png", "far.css"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(package.find(name), std::string::npos) << package;
        EXPECT_EQ(listing.find(name), std::string::npos) << listing;
    }
    std::string pages =
        RunProgramCapture("/usr/bin/unzip", {"-p", scratch / "site.epub", "*ch1.html"}, "").out;
    EXPECT_NE(pages.find("href=\"https://example.org/remote.html\""), std::string::npos) << pages;
    EXPECT_NE(pages.find("href=\"mailto:someone@example.org\""), std::string::npos) << pages;
}

struct LabelCase {
    const char* label;
    std::string book; // empty: the generated site
    const char* entry;
};

// A label is the visible text of the heading or navLabel: the blanks beside inline markup stay.
TEST(HtmlParseListConversion, TocLabelsKeepTheBlanksAroundInlineMarkup)
{
    const LabelCase cases[] = {
        {"heading of an HTML site", "", "<text>5.1.1 The lb config command</text>"},
        {"heading with a line break", "", "<text>Line break and boldness</text>"},
        {"navLabel with markup in an EPUB", TARVO_TEST_DATA "/epub/lm-ja.epub",
         "<text>5.1.1 lb config \xE3\x82\xB3\xE3\x83\x9E\xE3\x83\xB3\xE3\x83\x89</text>"},
    };
    for (const LabelCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        std::string book = c.book;
        if (book.empty()) {
            MakeSite(scratch);
            book = scratch / "index.html";
        }
        CommandRun run = RunTarvoCmd({"c", book, scratch / "out.epub", scratch / "t"});
        ASSERT_NE(run.out.find("return 0"), std::string::npos) << run.out;
        std::string ncx = RunProgramCapture("/usr/bin/unzip", {"-p", scratch / "out.epub", "*.ncx"}, "").out;
        EXPECT_NE(ncx.find(c.entry), std::string::npos) << ncx;
    }
}
