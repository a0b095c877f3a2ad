#include "epub/Epub.h"

#include "base/Folders.h"
#include "epub/Ebook_epub.h"

#include "EpubTestBook.h"
#include "TestSupport.h"

namespace
{

std::string RightsXml(size_t keyLength, const char* marker = "<encryptedKey")
{
    return std::string("<rights>") + marker + " keyInfo=\"k\">" + std::string(keyLength, 'K') +
           "</encryptedKey></rights>";
}

struct DrmCase {
    const char* label;
    ArchiveFiles extra;
    std::string document;
    ResultCode rc;
};

TEST(EpubDrm, ProtectionIsClassifiedByTheArchiveEntries)
{
    const std::string noise = Noise(500);
    const DrmCase cases[] = {
        {"adobe key of 172", {{"META-INF/rights.xml", RightsXml(172)}}, noise, RC_DRM_ADOBE},
        {"nook key of 64", {{"META-INF/rights.xml", RightsXml(64)}}, noise, RC_DRM_NOOK},
        {"kobo marker", {{"rights.xml", RightsXml(10, "<kdrm")}}, noise, RC_DRM_KOBO},
        {"rights without markers", {{"META-INF/rights.xml", "<rights/>"}}, noise, RC_DRM_UNKNOWN},
        {"ibooks display options",
         {{"META-INF/encryption.xml", "<e/>"}, {"META-INF/com.apple.ibooks.display-options.xml", "<d/>"}},
         noise,
         RC_DRM_IBOOKS},
        {"ibooks signatures and sinf",
         {{"META-INF/encryption.xml", "<e/>"},
          {"META-INF/signatures.xml", "<s/>"},
          {"META-INF/sinf.xml", "<s/>"}},
         noise,
         RC_DRM_IBOOKS},
        {"encryption alone", {{"META-INF/encryption.xml", "<e/>"}}, noise, RC_DRM_UNKNOWN},
        {"markup is not suspicious", {{"META-INF/encryption.xml", "<e/>"}}, Markup("<p>hello</p>"), RC_OK},
        {"short noise is not suspicious", {{"META-INF/rights.xml", RightsXml(172)}}, Noise(99), RC_OK},
    };
    for (const DrmCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ArchiveFiles files = {{"mimetype", "application/epub+zip"},
                              {"META-INF/container.xml", TestContainer()},
                              {"OEBPS/content.opf", TestOpf({"a.html"})},
                              {"OEBPS/a.html", c.document}};
        files.insert(files.end(), c.extra.begin(), c.extra.end());
        ASSERT_TRUE(WriteTestArchive(scratch / "b.epub", files));
        CEbookEpub handler;
        ConvertInputContext ctx{scratch / "work/", "", FORMAT_EPUB, ""};
        MakePath(ctx.m_TempDirectory);
        EXPECT_EQ(handler.Convert_Input(scratch / "b.epub", ctx), c.rc);
        if (c.rc != RC_OK) {
            EXPECT_FALSE(DirectoryExists(scratch / "work/OEBPS")) << "nothing extracted";
        }
    }
}

TEST(EpubDrm, DamagedImagesAndMissingDocuments)
{
    ScratchDir scratch;
    ArchiveFiles files = {{"META-INF/container.xml", TestContainer()},
                          {"OEBPS/content.opf", TestOpf({"a.html"}, {"i.jpg"})},
                          {"OEBPS/a.html", Markup("x")},
                          {"OEBPS/i.jpg", Noise(300)},
                          {"META-INF/encryption.xml", "<e/>"}};
    ASSERT_TRUE(WriteTestArchive(scratch / "img.epub", files));
    CEbookEpub handler;
    GetMetaContext ctx{scratch.Path(), ""};
    EXPECT_EQ(handler.GetMetaData(scratch / "img.epub", ctx), RC_DRM_UNKNOWN);

    ArchiveFiles empty = {{"META-INF/container.xml", TestContainer()},
                          {"OEBPS/content.opf", TestOpf({"gone.html"})}};
    ASSERT_TRUE(WriteTestArchive(scratch / "empty.epub", empty));
    CEbookEpub second;
    EXPECT_EQ(second.GetMetaData(scratch / "empty.epub", ctx), RC_HTML_LIST_EMPTY);
}

TEST(EpubDrm, SampleLimits)
{
    const std::pair<size_t, size_t> cases[] = {{0, 0}, {8, 8}, {9, 9}, {12, 4}, {150, 50}, {300, 50}};
    for (const auto& [count, limit] : cases)
        EXPECT_EQ(DrmSampleLimit(count), limit) << count;
}

struct ContainerCase {
    const char* label;
    const char* xml;
    const char* path;
};

TEST(EpubContainer, RootfileNamesIgnoreCase)
{
    const ContainerCase cases[] = {
        {"usual", "<container><rootfiles><rootfile full-path=\"a/b.opf\"/></rootfiles></container>",
         "a/b.opf"},
        {"upper case", "<CONTAINER><ROOTFILES><RootFile FULL-PATH=\"x.opf\"/></ROOTFILES></CONTAINER>",
         "x.opf"},
        {"no full-path", "<container><rootfiles><rootfile path=\"x.opf\"/></rootfiles></container>", ""},
        {"not xml", "<container><rootfiles>", ""},
    };
    for (const ContainerCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(FindContainerRootfile(c.xml), c.path);
    }
    ScratchDir scratch;
    ASSERT_TRUE(WriteTestArchive(scratch / "c.epub", {{"META-INF/container.xml", cases[2].xml}}));
    CEbookEpub handler;
    GetMetaContext ctx{scratch.Path(), ""};
    EXPECT_EQ(handler.GetMetaData(scratch / "c.epub", ctx), RC_DRM_UNKNOWN);
}

// The package still names a document (with entries of the table of contents under it) and the
// cover image that the archive lacks; the new book must name neither. epub-output-check.sh has
// epubcheck confirm it.
TEST(EpubCommandLine, FilesMissingFromTheArchiveAreNotListed)
{
    ScratchDir scratch;
    const std::string out = scratch / "out.epub";
    CommandRun run = RunTarvoCmd({"c", DataPath("epub/qs-eng-files-missing.epub"), out, scratch / "work"});
    ASSERT_EQ(run.exitStatus, 0) << run.out;
    auto entry = [&](const char* name) {
        return RunProgramCapture("/usr/bin/unzip", {"-p", out, name}, "").out;
    };
    const std::string opf = entry("OEBPS/content.opf");
    const std::string ncx = entry("OEBPS/toc.ncx");
    ASSERT_NE(opf.find("<spine"), std::string::npos) << opf;
    for (const char* gone : {"task_2_conversion", "cover.jpg", "name=\"cover\""}) {
        EXPECT_EQ(opf.find(gone), std::string::npos) << gone;
        EXPECT_EQ(ncx.find(gone), std::string::npos) << gone;
    }
    EXPECT_NE(ncx.find("playOrder=\"14\""), std::string::npos) << "14 of the 22 entries remain, numbered on";
    EXPECT_EQ(ncx.find("playOrder=\"15\""), std::string::npos) << ncx;
}

} // namespace
