#include "core/EbookRegistry.h"

#include "core/Engine.h"
#include "base/Platform.h"

#include "TestSupport.h"

namespace {

struct RegistryCase {
    const char* path;
    const char* formatWord;  // nullptr: no handler
    int32_t formatId;
};

TEST(EbookRegistry, ExtensionsChooseHandlers)
{
    const RegistryCase cases[] = {
        {"dir.x/book", "kobo", FORMAT_EPUB}, {"a.MOBI", "mobi", FORMAT_MOBI},   {"a.azw", "azw", FORMAT_MOBI},
        {"a.azw3", "azw3", FORMAT_AZW3},     {"a.prc", "prc", FORMAT_PRC},      {"a.azw4", "azw4", FORMAT_AZW4},
        {"a.epub", "epub", FORMAT_EPUB},     {"a.pdf", "pdf", FORMAT_PDF},      {"a.HTM", "htm", FORMAT_HTML},
        {"a.xhtml", "xhtml", FORMAT_HTML},   {"a.shtml", "shtml", FORMAT_HTML}, {"a.txt", "txt", FORMAT_TXT},
        {"a.htmlz", "htmlz", FORMAT_HTMLZ},  {"a.opf", "opf", FORMAT_OPF},      {"a.json", "json", FORMAT_JSON},
        {"a.tpz", "tpz", FORMAT_TPZ},        {"a.topaz", "topaz", FORMAT_TPZ},  {"a.azw1", "azw1", FORMAT_TPZ},
        {"a.doc", nullptr, 0},               {"a.txt.", nullptr, 0},
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

TEST(Engine, SetMetaRunsTheHandlerWithAnyMetadataText)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "b.tpz", "TPZ");
    const std::string notJson = "{oops";
    EXPECT_EQ(setMetaInfoOrg(scratch / "b.tpz", scratch / "job", &notJson, nullptr), RC_NOT_SUPPORT);
    std::string log = ReadWholeFile(scratch / "marlek_log/job.txt");
    for (const char* line : {"InitMeta IN", "InitMeta OUT", "SetMetaData IN", "SetMetaData OUT", "Not Support!",
                             "setMeta END"})
        EXPECT_NE(log.find(std::string("[setMetaInfoOrg] ") + line + "\r\n"), std::string::npos) << line;
}

TEST(Engine, TempDirectoryThatCannotBeMadeFails)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "b.tpz", "TPZ");
    WriteWholeFile(scratch / "file", "x");
    EXPECT_EQ(convertOrg(scratch / "b.tpz", scratch / "o.epub", scratch / "file/job", "", ""), RC_DIR_MAKE_FAILED);
    EXPECT_EQ(convertOrg(scratch / "b.tpz", scratch / "o.epub", "", "", ""), RC_GETEBOOK_FAILED);
}

} // namespace
