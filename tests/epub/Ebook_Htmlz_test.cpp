#include "epub/Ebook_Htmlz.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/Images.h"
#include "base/Text.h"

#include "EpubEntries.h"
#include "EpubTestBook.h"
#include "TestSupport.h"

namespace
{

struct CompleteCase {
    const char* label;
    const char* opf;
    const char* completed; // nullptr: left as it was
};

const CompleteCase kCompleteCases[] = {
    {"spine without toc",
     "<package><manifest><item id=\"a\"/></manifest><spine><itemref idref=\"a\"/></spine>",
     "<package><manifest><item id=\"a\"/><item id=\"ncx\" href=\"toc.ncx\" "
     "media-type=\"application/x-dtbncx+xml\"/>"
     "</manifest><spine toc=\"ncx\"><itemref idref=\"a\"/></spine>"},
    {"prefixed package", "<opf:package><opf:manifest></opf:manifest><opf:spine/></opf:package>",
     "<opf:package><opf:manifest><opf:item id=\"ncx\" href=\"toc.ncx\" "
     "media-type=\"application/x-dtbncx+xml\"/>"
     "</opf:manifest><opf:spine toc=\"ncx\"/></opf:package>"},
    {"attribute only ending in toc", "<manifest></manifest><spine xtoc=\"1\">",
     "<manifest><item id=\"ncx\" href=\"toc.ncx\" media-type=\"application/x-dtbncx+xml\"/></manifest>"
     "<spine toc=\"ncx\" xtoc=\"1\">"},
    {"spine with toc", "<manifest></manifest><spine toc = \"x\">", nullptr},
    {"no spine", "<manifest></manifest>", nullptr},
    {"no manifest", "<spine>", nullptr},
    {"spine tag left open", "<manifest></manifest><spine", nullptr},
};

TEST(HtmlzHandler, PackageGetsAnNcxOnlyWhereTheSpineHasNone)
{
    for (const CompleteCase& c : kCompleteCases) {
        SCOPED_TRACE(c.label);
        std::string opf = c.opf;
        EXPECT_EQ(CompleteHtmlzPackage(opf), c.completed != nullptr);
        EXPECT_EQ(opf, c.completed != nullptr ? c.completed : c.opf);
    }
}

const char* const SUCCEED = "succeed\nreturn 0\n";

// A one-pixel PNG image.
const unsigned char PIXEL_BYTES[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d,
                                     0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
                                     0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00,
                                     0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x64, 0xf8, 0xcf, 0x50,
                                     0x0f, 0x00, 0x03, 0x86, 0x01, 0x80, 0x5a, 0x34, 0x7d, 0x6b, 0x00, 0x00,
                                     0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
const std::string PIXEL(reinterpret_cast<const char*>(PIXEL_BYTES), sizeof PIXEL_BYTES);

enum class Edit { Add, Append, IntoHead };

struct EntryEdit {
    Edit how;
    std::string name;
    std::string data;
};

// A fixture HTMLZ with entries added, text appended to entries, or style blocks put into a
// page's head; empty when it cannot be written.
std::string EditedHtmlz(const std::string& fixture, const std::vector<EntryEdit>& edits)
{
    std::map<std::string, std::string> entries = ArchiveEntries(DataPath(fixture));
    for (const EntryEdit& e : edits) {
        std::string& entry = entries[e.name];
        if (e.how == Edit::Add) entry = e.data;
        if (e.how == Edit::Append) entry += "\n" + e.data + "\n";
        if (e.how == Edit::IntoHead) entry.insert(std::min(entry.find("</head>"), entry.size()), e.data);
    }
    ScratchDir scratch;
    if (!WriteTestArchive(scratch / "b.htmlz", ArchiveFiles(entries.begin(), entries.end()))) return "";
    return ReadWholeFile(scratch / "b.htmlz");
}

struct CssFileCase {
    const char* label;
    const char* fixture;
    std::vector<EntryEdit> edits;
    std::vector<std::string> kept; // entries the EPUB holds under OEBPS/ and lists
    std::vector<std::string> left; // names no entry of the EPUB ends with
};

// What only a style sheet or a style block names reaches the EPUB; names outside the archive, in
// comments, on the web or missing from it do not, and the EPUB lists only files it holds.
TEST(TarvoCmdHtmlz, FilesTheStyleSheetsNameReachTheEpub)
{
    const EntryEdit paper{Edit::Add, "images/paper.png", PIXEL};
    const CssFileCase cases[] = {
        {"background image of the style sheet, and the cover",
         "epub/qs-eng.htmlz",
         {{Edit::Append, "style.css", ".calibre { background-image: url(\"images/paper.png\") }"}, paper},
         {"images/paper.png", "cover.jpg", "style.css", "index.html"},
         {}},
        {"style block of the page",
         "epub/qs-eng.htmlz",
         {{Edit::IntoHead, "index.html",
           "<style type=\"text/css\">h1 { background: url(images/paper.png) }</style>"},
          paper},
         {"images/paper.png"},
         {}},
        {"a sheet the style sheet imports, and its image",
         "epub/qs-eng.htmlz",
         {{Edit::Append, "style.css", "@import \"more/extra.css\";"},
          {Edit::Add, "more/extra.css", "h2 { background: url('../images/paper.png') }"},
          paper},
         {"more/extra.css", "images/paper.png"},
         {}},
        {"outside, commented, on the web or missing",
         "epub/qs-eng.htmlz",
         {{Edit::Append, "style.css",
           "/* url(images/paper.png) */ .a { background: url(../secret.png) } .b { background: "
           "url(images/none.png) } .c { background: url(http://example.com/x.png) }"},
          paper},
         {"style.css"},
         {"paper.png", "secret.png", "none.png", "x.png"}},
        {"package with a spine: an image its manifest leaves out",
         "epub/qs-eng-spine-no-toc.htmlz",
         {{Edit::Append, "styles/stylesheet.css", "body { background: url(../images/paper.png) }"}, paper},
         {"images/paper.png", "images/cover.jpg", "styles/stylesheet.css"},
         {}},
    };
    for (const CssFileCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        const std::string book = EditedHtmlz(c.fixture, c.edits);
        ASSERT_FALSE(book.empty());
        ASSERT_EQ(WriteWholeFile(scratch / "book.htmlz", book), RC_OK);
        // The file the name climbing out of the archive would reach.
        ASSERT_EQ(MakePath(scratch / "work/"), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "work/secret.png", PIXEL), RC_OK);
        CommandRun run = RunTarvoCmd({"c", scratch / "book.htmlz", scratch / "out.epub", scratch / "work/T"});
        ASSERT_TRUE(EndsWith(run.out, SUCCEED)) << run.out;

        std::map<std::string, std::string> entries = ArchiveEntries(scratch / "out.epub");
        const std::string& opf = entries["OEBPS/content.opf"];
        for (const std::string& name : c.kept) {
            EXPECT_EQ(entries.count("OEBPS/" + name), 1u) << name;
            EXPECT_NE(opf.find("href=\"" + name + "\""), std::string::npos) << name;
        }
        for (const auto& entry : entries)
            for (const std::string& left : c.left)
                EXPECT_FALSE(EndsWith(entry.first, left)) << entry.first;
        for (size_t at = opf.find(" href=\""); at != std::string::npos; at = opf.find(" href=\"", at + 1)) {
            const std::string href = opf.substr(at + 7, opf.find('"', at + 7) - at - 7);
            EXPECT_EQ(entries.count("OEBPS/" + href), 1u) << href;
        }
        if (SlowChecksWanted() && EpubcheckInstalled()) {
            EXPECT_EQ(EpubcheckErrors(scratch / "out.epub"), "");
        }
    }
}

struct HtmlzRun {
    const char* label;
    const char* fixture;
    const char* output;
    const char* lastLines;
};

// Every run starts from a copy, which must come out byte for byte as it went in.
TEST(TarvoCmdHtmlz, ConvertsToEveryOutputAndLeavesTheBookAlone)
{
    const HtmlzRun runs[] = {
        {"calibre HTMLZ to EPUB", "epub/qs-eng.htmlz", "out.epub", SUCCEED},
        {"calibre HTMLZ to TXT", "epub/qs-eng.htmlz", "out.txt", SUCCEED},
        {"calibre HTMLZ to AZW3", "epub/qs-eng.htmlz", "out.azw3", SUCCEED},
        {"package with spine, upper-case name", "epub/qs-eng-spine-no-toc.htmlz", "out.epub", SUCCEED},
        {"no package document", "epub/bad-htmlz-no-opf.htmlz", "out.epub",
         "Get Htmlz Opf File Failed!\nreturn 167772161\n"},
        {"not a ZIP archive", "", "out.epub", "Fix epub File failed!\nreturn 150994947\n"},
    };
    for (const HtmlzRun& r : runs) {
        SCOPED_TRACE(r.label);
        ScratchDir scratch;
        const std::string book = *r.fixture ? ReadWholeFile(DataPath(r.fixture)) : "plain text, no archive";
        ASSERT_EQ(WriteWholeFile(scratch / "book.htmlz", book), RC_OK);
        CommandRun run = RunTarvoCmd({"c", "book.htmlz", r.output, scratch / "work/T"}, scratch.Path());
        EXPECT_TRUE(EndsWith(run.out, r.lastLines)) << run.out;
        EXPECT_EQ(FileExists(scratch / r.output), std::string(r.lastLines) == SUCCEED);
        EXPECT_EQ(ReadWholeFile(scratch / "book.htmlz"), book);
    }
}

TEST(TarvoCmdHtmlz, SpineBookKeepsItsChaptersAndGetsItsNcxItem)
{
    ScratchDir scratch;
    CommandRun run =
        RunTarvoCmd({"c", DataPath("epub/qs-eng-spine-no-toc.htmlz"), scratch / "out.txt", scratch / "T"});
    ASSERT_TRUE(EndsWith(run.out, SUCCEED)) << run.out;
    const std::string text = ReadWholeFile(scratch / "out.txt");
    EXPECT_LT(text.find("Introduction"), text.find("Where to get help"));
    EXPECT_NE(ReadWholeFile(scratch / "T/CONTENT.OPF").find("<spine toc=\"ncx\">"), std::string::npos);
}

TEST(TarvoCmdHtmlz, MetadataAndCoverOfACalibreBook)
{
    ScratchDir scratch;
    CommandRun run = RunTarvoCmd(
        {"g", DataPath("epub/qs-eng.htmlz"), scratch / "T", scratch / "meta.json", scratch / "cover.jpg"});
    ASSERT_EQ(run.out, SUCCEED);
    const std::string meta = ReadWholeFile(scratch / "meta.json");
    EXPECT_NE(meta.find("\"title\":\"Quick Start Guide\""), std::string::npos) << meta;
    EXPECT_NE(meta.find("\"coverimageext\":\"jpg\""), std::string::npos) << meta;
    EXPECT_EQ(ImageTypeOf(ReadWholeFile(scratch / "cover.jpg")), "jpg");
}

} // namespace

// An HTMLZ made by zipping an EPUB's folder keeps its encryption.xml: its fonts are read plain.
TEST(HtmlzHandler, ObfuscatedFontsAreReadPlain)
{
    ScratchDir scratch;
    ASSERT_EQ(WriteWholeFile(scratch / "w.htmlz", ReadWholeFile(DataPath("epub3/wasteland-otf-obf.epub"))),
              RC_OK);
    CEbookHtmlz handler;
    ConvertInputContext ctx{scratch / "work/", "", FORMAT_EPUB, ""};
    ASSERT_EQ(MakePath(ctx.m_TempDirectory), RC_OK);
    ASSERT_EQ(handler.Convert_Input(scratch / "w.htmlz", ctx), RC_OK);
    for (const char* font : {"OldStandard-Regular", "OldStandard-Bold", "OldStandard-Italic"})
        EXPECT_EQ(ReadWholeFile(ctx.m_TempDirectory + "EPUB/" + font + ".obf.otf").substr(0, 4), "OTTO")
            << font;
}
