#include "core/EbookRegistry.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "core/Engine.h"
#include "epub/Epub.h"

#include "FileSizeLimit.h"
#include "TestSupport.h"

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct RegistryCase {
    const char* path;
    const char* formatWord; // nullptr: no handler
    int32_t formatId;
};

TEST(EbookRegistry, ExtensionsChooseHandlers)
{
    const RegistryCase cases[] = {
        {"dir.x/book", "kobo", FORMAT_EPUB},
        {"a.MOBI", "mobi", FORMAT_MOBI},
        {"a.azw", "azw", FORMAT_MOBI},
        {"a.azw3", "azw3", FORMAT_AZW3},
        {"a.prc", "prc", FORMAT_PRC},
        {"a.azw4", "azw4", FORMAT_AZW4},
        {"a.epub", "epub", FORMAT_EPUB},
        {"a.pdf", "pdf", FORMAT_PDF},
        {"a.HTM", "htm", FORMAT_HTML},
        {"a.xhtml", "xhtml", FORMAT_HTML},
        {"a.shtml", "shtml", FORMAT_HTML},
        {"a.txt", "txt", FORMAT_TXT},
        {"a.htmlz", "htmlz", FORMAT_HTMLZ},
        {"a.opf", "opf", FORMAT_OPF},
        {"a.json", "json", FORMAT_JSON},
        {"a.tpz", "tpz", FORMAT_TPZ},
        {"a.topaz", "topaz", FORMAT_TPZ},
        {"a.azw1", "azw1", FORMAT_TPZ},
        {"a.doc", nullptr, 0},
        {"a.txt.", nullptr, 0},
    };
    CEbookRegistry registry;
    for (const RegistryCase& c : cases) {
        SCOPED_TRACE(c.path);
        std::string path = c.path;
        CEbook* handler = registry.GetEbook(path);
        if (c.formatWord == nullptr) {
            EXPECT_EQ(handler, nullptr);
            continue;
        }
        ASSERT_NE(handler, nullptr);
        EXPECT_EQ(handler->m_FormatWord, c.formatWord);
        EXPECT_EQ(handler->m_FormatId, c.formatId);
    }
}

TEST(Engine, GetMetaOfATopazFileGivesEmptyObjectMetadata)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "b.tpz", "TPZ");
    std::string text;
    EXPECT_EQ(getMetaInfoOrg(scratch / "b.tpz", scratch / "job", "", text), RC_DRM_TOPAZ);
    EXPECT_EQ(text, "{}");
    text.clear();
    EXPECT_EQ(getMetaInfoOrg(scratch / "b.tpz", "", "", text), RC_GETEBOOK_FAILED);
    EXPECT_EQ(getMetaInfoOrg(scratch / "none.tpz", scratch / "job", "", text), RC_INPUT_MISSING);
    EXPECT_EQ(text, "");
}

// Text that is not JSON would have the book rewritten with nothing changed and called a success:
// it stops before the handler, which any other text reaches.
TEST(Engine, SetMetaRefusesTextThatIsNotJsonAndRunsTheHandlerOtherwise)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "b.tpz", "TPZ");
    const struct {
        const char* label;
        std::string text;
        ResultCode rc;
        std::vector<const char*> lines;
    } cases[] = {
        {"not JSON", "{oops", RC_META_GET_JSON, {"InitMeta IN", "InitMeta OUT", "MetaData Get JSON failed!"}},
        {"JSON",
         "{\"title\":\"T\"}",
         RC_NOT_SUPPORT,
         {"InitMeta IN", "InitMeta OUT", "SetMetaData IN", "SetMetaData OUT", "Not Support!"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(setMetaInfoOrg(scratch / "b.tpz", scratch / "job", &c.text, nullptr), c.rc);
        std::string log = ReadWholeFile(scratch / "marlek_log/job.txt");
        for (const char* line : c.lines)
            EXPECT_NE(log.find(std::string("[setMetaInfoOrg] ") + line + "\r\n"), std::string::npos) << line;
        EXPECT_NE(log.find("[setMetaInfoOrg] setMeta END\r\n"), std::string::npos);
        EXPECT_EQ(log.find("SetMetaData IN") == std::string::npos, c.rc == RC_META_GET_JSON);
    }
}

TEST(Engine, TempDirectoryThatCannotBeMadeFails)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "b.tpz", "TPZ");
    WriteWholeFile(scratch / "file", "x");
    EXPECT_EQ(convertOrg(scratch / "b.tpz", scratch / "o.epub", scratch / "file/job", "", ""),
              RC_DIR_MAKE_FAILED);
    EXPECT_EQ(convertOrg(scratch / "b.tpz", scratch / "o.epub", "", "", ""), RC_GETEBOOK_FAILED);
}

// Runs `g` as on a full disk: files may not grow past limit bytes.
ResultCode GetMetaLimited(const std::string& input, const std::string& job, const std::string& metadataFile,
                          rlim_t limit)
{
    return RunWithFileSizeLimit(limit, [&] { return GetMetaInfoIntoFile(input, job, metadataFile, ""); });
}

struct GetMetaCase {
    const char* label;
    std::string input;
    const char* metadataFile; // inside the scratch folder, which holds "old.json" and the folder "dir"
    const char* coverFile;    // likewise; empty: none asked for
    ResultCode rc;
    const char* metadata; // the metadata file afterwards; nullptr: "old.json" as it was
};

TEST(Engine, GetMetaWritesItsFilesWholeOrReportsWhy)
{
    ScratchDir pages;
    WriteWholeFile(pages / "page.html",
                   "<html><head><title>\n  Tom &amp; Jerry\n</title>"
                   "<meta name=\"Author\" content=\"Ann  Smith\"></head><body>x</body></html>");
    WriteWholeFile(pages / "bare.html", "<p>no head at all</p>");
    const std::string mobi = DataPath("mobi/qs-eng-mobi6.mobi");
    const GetMetaCase cases[] = {
        {"HTML title and author", pages / "page.html", "old.json", "", RC_OK,
         R"({"creator":"Ann Smith","title":"Tom & Jerry"})"},
        {"no metadata gives an empty object", pages / "bare.html", "meta.json", "", RC_OK, "{}"},
        {"metadata file in a missing folder", pages / "page.html", "missing/meta.json", "",
         RC_FILE_OPEN_FAILED, nullptr},
        {"a folder in the metadata file's place", pages / "page.html", "dir", "", RC_FILE_OPEN_FAILED,
         nullptr},
        {"cover onto a folder", mobi, "old.json", "dir", RC_FILE_OPEN_FAILED, nullptr},
        {"EPUB cover in a missing folder", DataPath("epub/qs-eng.epub"), "old.json", "missing/c.jpg",
         RC_FILE_OPEN_FAILED, nullptr},
    };
    for (const GetMetaCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        WriteWholeFile(scratch / "old.json", "previous");
        MakeDirectory(scratch / "dir");
        std::string cover = *c.coverFile != 0 ? scratch / c.coverFile : "";
        EXPECT_EQ(GetMetaInfoIntoFile(c.input, scratch / "job", scratch / c.metadataFile, cover), c.rc);
        if (c.metadata != nullptr) {
            EXPECT_EQ(ReadWholeFile(scratch / c.metadataFile), c.metadata);
        }
        if (c.metadata == nullptr || std::string(c.metadataFile) != "old.json") {
            EXPECT_EQ(ReadWholeFile(scratch / "old.json"), "previous");
        }
        EXPECT_TRUE(std::filesystem::is_empty(scratch / "dir"));
        if (c.rc != RC_OK) {
            EXPECT_TRUE(FileExists(scratch / "marlek_log/job.txt")) << "filed as failed";
        }
    }
}

TEST(Engine, GetMetaWritesTheCoverAndSurvivesAFullDisk)
{
    ScratchDir scratch;
    ASSERT_EQ(GetMetaInfoIntoFile(DataPath("mobi/qs-eng-mobi6.mobi"), scratch / "job", scratch / "m.json",
                                  scratch / "c.jpg"),
              RC_OK);
    EXPECT_EQ(ReadWholeFile(scratch / "c.jpg"), ReadWholeFile(DataPath("mobi/qs-eng-cover.jpg")));
    EXPECT_NE(ReadWholeFile(scratch / "m.json").find("\"coverimageext\":\"jpg\""), std::string::npos);

    // The title alone outgrows the limit; the run's log stays well within it.
    WriteWholeFile(scratch / "long.html", "<title>" + std::string(30000, 't') + "</title>");
    EXPECT_EQ(GetMetaLimited(scratch / "long.html", scratch / "job", scratch / "m.json", 16384),
              RC_FILE_WRITE_FAILED);
    EXPECT_NE(ReadWholeFile(scratch / "m.json").find("coverimageext"), std::string::npos) << "left as it was";
}

// A library manager writes back what it read, over and over: the book never changes, whether it
// has one author or several (which the metadata text joins), whatever package form it has.
TEST(Engine, MetadataWrittenBackUnchangedLeavesTheBookByteForByte)
{
    const struct {
        const char* label;
        const char* book;
        bool unpack; // as a package folder: converted to OPF first
    } cases[] = {
        {"EPUB 2", "epub/qs-eng.epub", false},
        {"EPUB 3 with refined authors", "epub3/childrens-literature.epub", false},
        {"EPUB 3 with an obfuscated font", "epub3/wasteland-otf-obf.epub", false},
        {"package folder", "epub/qs-eng.epub", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        std::string book = scratch / "book.epub";
        WriteWholeFile(book, ReadWholeFile(DataPath(c.book)));
        if (c.unpack) {
            ASSERT_EQ(convertOrg(book, scratch / "book.opf", scratch / "conv", "", ""), RC_OK);
            book = scratch / "book.opf";
        }
        const MetaDataMap twoAuthors = {{"creator", {"A One", "B Two"}}};
        ASSERT_EQ(setMetaInfoOrg(book, scratch / "job", nullptr, &twoAuthors), RC_OK);
        std::string first;
        ASSERT_EQ(getMetaInfoOrg(book, scratch / "job", "", first), RC_OK);
        EXPECT_NE(first.find("\"creator\":\"A One & B Two\""), std::string::npos) << first;
        const std::string bytes = ReadWholeFile(book);
        for (int round = 1; round <= 3; ++round) {
            SCOPED_TRACE(round);
            ASSERT_EQ(setMetaInfoOrg(book, scratch / "job", &first, nullptr), RC_OK);
            EXPECT_TRUE(ReadWholeFile(book) == bytes) << "the book changed";
            std::string again;
            ASSERT_EQ(getMetaInfoOrg(book, scratch / "job", "", again), RC_OK);
            EXPECT_EQ(again, first);
        }
        // An author added in the text is one more element, not one joined name.
        std::string edited = first;
        edited.replace(edited.find("A One & B Two"), 13, "A One & B Two & C Three");
        ASSERT_EQ(setMetaInfoOrg(book, scratch / "job", &edited, nullptr), RC_OK);
        std::string opf = ReadWholeFile(book), opfPath;
        if (!c.unpack) {
            CEpub epub;
            epub.m_WorkingDirectory = scratch / "read/";
            ASSERT_EQ(epub.GetOpfXml(book, opf, opfPath), RC_OK);
        }
        size_t creators = 0;
        for (size_t at = opf.find("<dc:creator"); at != std::string::npos;
             at = opf.find("<dc:creator", at + 1))
            ++creators;
        EXPECT_EQ(creators, 3u) << opf;
    }
}

} // namespace
