// Unpacked packages through the command line: read, converted, `g` and `s` in place, written out.
#include "epub/Ebook_opf.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/Images.h"
#include "base/Text.h"
#include "base/Zip.h"

#include "TestSupport.h"

#include <cstdio>
#include <sys/stat.h>

namespace
{

const char* const SUCCEED = "succeed\nreturn 0\n";

ResultCode Unpack(const std::string& archive, const std::string& folder)
{
    CZip zip;
    zip.m_WorkingDirectory = folder;
    ResultCode rc = MakePath(folder);
    if (rc == RC_OK) rc = zip.Open(archive, false, false);
    if (rc == RC_OK) rc = zip.ReadDirectory();
    return rc == RC_OK ? zip.UnCompress() : rc;
}

std::string EntryOf(const std::string& archive, const std::string& name)
{
    CZip zip;
    std::string data;
    if (zip.Open(archive, false, false) == RC_OK && zip.ReadDirectory() == RC_OK)
        zip.GetFileBuffer(name, data);
    return data;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct UnpackedFontsCase {
    const char* label;
    const char* container; // replaces META-INF/container.xml; empty: kept, nullptr: none at all
    const char* start;     // first bytes of the font in the EPUB made from the package
};

// An unpacked EPUB keeps its encryption.xml above the package; the fonts are made plain only when
// that container really holds this package.
TEST(TarvoCmdOpf, FontsOfAnUnpackedEpubAreMadePlain)
{
    const std::string otherPackage =
        "<?xml version=\"1.0\"?><container xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\" "
        "version=\"1.0\"><rootfiles><rootfile full-path=\"EPUB/other.opf\"/></rootfiles></container>";
    const UnpackedFontsCase cases[] = {
        {"container of this package", "", "OTTO"},
        {"container of another package", otherPackage.c_str(), "\xdf\x2c\xa2\x85"},
        {"no container", nullptr, "\xdf\x2c\xa2\x85"},
    };
    for (const UnpackedFontsCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        const std::string book = scratch / "book/";
        ASSERT_EQ(Unpack(DataPath("epub3/wasteland-otf-obf.epub"), book), RC_OK);
        if (c.container == nullptr) {
            ASSERT_EQ(std::remove((book + "META-INF/container.xml").c_str()), 0);
        } else if (*c.container != '\0') {
            ASSERT_EQ(WriteWholeFile(book + "META-INF/container.xml", c.container), RC_OK);
        }
        CommandRun run =
            RunTarvoCmd({"c", book + "EPUB/wasteland.opf", scratch / "out.epub", scratch / "work"});
        ASSERT_EQ(run.exitStatus, 0) << run.out;
        for (const char* font : {"OldStandard-Regular", "OldStandard-Bold", "OldStandard-Italic"}) {
            EXPECT_EQ(EntryOf(scratch / "out.epub", std::string("OEBPS/") + font + ".obf.otf").substr(0, 4),
                      c.start)
                << font;
        }
        EXPECT_EQ(ReadWholeFile(book + "EPUB/OldStandard-Bold.obf.otf").substr(0, 4), "\xdf\x2c\xa2\x85")
            << "the package itself is left as it was";
    }
}

TEST(TarvoCmdOpf, EpubThroughAPackageKeepsItsChaptersAndContents)
{
    ScratchDir scratch;
    const std::string source = DataPath("epub/qs-eng.epub");
    const std::string opf = EntryOf(source, "content.opf"), ncx = EntryOf(source, "toc.ncx");
    ASSERT_EQ(Unpack(source, scratch / "unpacked/"), RC_OK);
    CommandRun written = RunTarvoCmd({"c", source, "out/dir/book.opf", scratch / "T1"}, scratch.Path());
    ASSERT_TRUE(EndsWith(written.out, SUCCEED)) << written.out;
    EXPECT_TRUE(FileExists(scratch / "out/dir/book_opf_files/toc.ncx"));
    EXPECT_TRUE(FileExists(scratch / "out/dir/book_opf_files/text/introduction.xhtml"))
        << "documents in real folders";

    // Our package keeps the book's files in its own folder, and so does the book made from it.
    const std::pair<const char*, const char*> packages[] = {{"unpacked/content.opf", "OEBPS/"},
                                                            {"out/dir/book.opf", "OEBPS/book_opf_files/"}};
    for (const auto& [package, files] : packages) {
        SCOPED_TRACE(package);
        CommandRun run = RunTarvoCmd({"c", package, "again.epub", scratch / "T2"}, scratch.Path());
        ASSERT_TRUE(EndsWith(run.out, SUCCEED)) << run.out;
        const std::string again = scratch / "again.epub";
        EXPECT_EQ(Count(EntryOf(again, "OEBPS/content.opf"), "<itemref"), Count(opf, "<itemref"));
        EXPECT_EQ(Count(EntryOf(again, "OEBPS/toc.ncx"), "<navPoint"), Count(ncx, "<navPoint"));
        EXPECT_FALSE(EntryOf(again, std::string(files) + "images/cover.jpg").empty());
    }
}

std::string MetaOf(const ScratchDir& scratch, const std::string& package)
{
    RunTarvoCmd({"g", package, scratch / "Tg", scratch / "meta.json", scratch / "cover.jpg"});
    return ReadWholeFile(scratch / "meta.json");
}

TEST(TarvoCmdOpf, SetEditsOnlyTheChangedElementsAndKeepsTheFile)
{
    ScratchDir scratch;
    ASSERT_EQ(Unpack(DataPath("epub/qs-eng.epub"), scratch / "pkg/"), RC_OK);
    const std::string package = scratch / "pkg/content.opf";
    const std::string before = ReadWholeFile(package);
    ASSERT_EQ(::chmod(package.c_str(), 0600), 0);
    EXPECT_NE(MetaOf(scratch, package).find("\"title\":\"Quick Start Guide\""), std::string::npos);
    EXPECT_EQ(ImageTypeOf(ReadWholeFile(scratch / "cover.jpg")), "jpg");

    CommandRun set = RunTarvoCmd({"s", package, scratch / "Ts", "-t", "Tom & Jerry <1>", "-a", "Ann Author"});
    ASSERT_EQ(set.out, SUCCEED);
    const std::string meta = MetaOf(scratch, package);
    EXPECT_NE(meta.find("\"title\":\"Tom & Jerry <1>\""), std::string::npos) << meta;
    EXPECT_NE(meta.find("\"creator\":\"Ann Author\""), std::string::npos) << meta;
    const std::string after = ReadWholeFile(package);
    EXPECT_EQ(after.substr(after.find("<manifest")), before.substr(before.find("<manifest")))
        << "manifest, spine and guide as they were";
    struct stat st {
    };
    ASSERT_EQ(::stat(package.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

struct BadPackage {
    const char* label;
    const char* opf;
    const char* lastLines;
    bool setRefused; // a package that parses may still take new metadata
};

TEST(TarvoCmdOpf, BadPackagesGiveTheirCodeAndChangeNothing)
{
    const BadPackage cases[] = {
        {"not XML", "<html>an ordinary page", "Parse Opf File failed!\nreturn 150994946\n", true},
        {"documents missing",
         "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\"><metadata/>"
         "<manifest><item id=\"a\" href=\"a.xhtml\" media-type=\"application/xhtml+xml\"/></manifest>"
         "<spine><itemref idref=\"a\"/></spine></package>",
         "Html File List is empty!\nreturn 83951618\n", false},
    };
    for (const BadPackage& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(MakePath(scratch / "pkg/"), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "pkg/content.opf", c.opf), RC_OK);
        EXPECT_TRUE(EndsWith(RunTarvoCmd({"c", "pkg/content.opf", "out.epub", "T1"}, scratch.Path()).out,
                             c.lastLines));
        EXPECT_FALSE(FileExists(scratch / "out.epub"));
        if (!c.setRefused) continue;
        CommandRun set = RunTarvoCmd({"s", "pkg/content.opf", "T2", "-t", "x"}, scratch.Path());
        EXPECT_TRUE(EndsWith(set.out, c.lastLines)) << set.out;
        EXPECT_EQ(ReadWholeFile(scratch / "pkg/content.opf"), c.opf);
    }
}

TEST(TarvoCmdOpf, NothingOutsideThePackageFolderIsRead)
{
    ScratchDir scratch;
    ASSERT_EQ(MakePath(scratch / "shelf/pkg/"), RC_OK);
    const std::string secretPage = "<html><body><p>SECRET TEXT</p></body></html>";
    WriteWholeFile(scratch / "shelf/secret.xhtml", secretPage);
    WriteWholeFile(scratch / "shelf/secret.png", std::string("\x89PNG\r\n\x1a\nSECRETPNG", 17));
    ASSERT_EQ(::symlink("../secret.xhtml", (scratch / "shelf/pkg/link.xhtml").c_str()), 0);
    WriteWholeFile(scratch / "shelf/pkg/a.xhtml", "<html><body><p>Chapter A</p></body></html>");
    const std::string item = "<item media-type=\"application/xhtml+xml\" ";
    WriteWholeFile(
        scratch / "shelf/pkg/content.opf",
        "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\">"
        "<metadata/><manifest>" +
            item + "id=\"a\" href=\"a.xhtml\"/>" + item + "id=\"up\" href=\"../secret.xhtml\"/>" + item +
            "id=\"abs\" href=\"" + scratch / "shelf/secret.xhtml" + "\"/>" + item +
            "id=\"link\" href=\"link.xhtml\"/>"
            "<item id=\"png\" href=\"../secret.png\" media-type=\"image/png\"/></manifest><spine>"
            "<itemref idref=\"up\"/><itemref idref=\"abs\"/><itemref idref=\"link\"/><itemref idref=\"a\"/>"
            "</spine></package>");
    CommandRun run = RunTarvoCmd({"c", "shelf/pkg/content.opf", "out/book.epub", "T"}, scratch.Path());
    ASSERT_TRUE(EndsWith(run.out, SUCCEED)) << run.out;
    CommandRun text = RunTarvoCmd({"c", "shelf/pkg/content.opf", "out.txt", "T2"}, scratch.Path());
    ASSERT_TRUE(EndsWith(text.out, SUCCEED)) << text.out;
    EXPECT_NE(ReadWholeFile(scratch / "out.txt").find("Chapter A"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(scratch / "out.txt").find("SECRET"), std::string::npos);
    EXPECT_EQ(std::system(("unzip -p '" + scratch / "out/book.epub" +
                           "' | grep -qa SECRET || grep -rqa SECRET '" + scratch / "T" + "'")
                              .c_str()) == 0,
              false)
        << "no secret copied into the output or the TempDirectory";
}

} // namespace
