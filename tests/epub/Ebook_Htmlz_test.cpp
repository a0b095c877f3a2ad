#include "epub/Ebook_Htmlz.h"

#include "base/Platform.h"

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
