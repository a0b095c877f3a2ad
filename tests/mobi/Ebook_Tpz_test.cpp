#include "mobi/Ebook_Tpz.h"

#include "base/Files.h"

#include "TestSupport.h"

namespace
{

TEST(EbookTpz, OnlyTheTopazMagicIsRecognised)
{
    ScratchDir scratch;
    const std::pair<const char*, ResultCode> cases[] = {
        {"TPZ0 rest", RC_DRM_TOPAZ}, {"TPZ", RC_DRM_TOPAZ},        {"TP", RC_NOT_SUPPORT},
        {"tpz0", RC_NOT_SUPPORT},    {"BOOKMOBI", RC_NOT_SUPPORT},
    };
    for (const auto& [content, rc] : cases) {
        SCOPED_TRACE(content);
        WriteWholeFile(scratch / "b.azw1", content);
        CEbookTpz handler;
        GetMetaContext ctx{scratch.Path(), ""};
        EXPECT_EQ(handler.GetMetaData(scratch / "b.azw1", ctx), rc);
        EXPECT_EQ(handler.GetIntermediateBook(), nullptr);
    }
    CEbookTpz handler;
    GetMetaContext ctx{scratch.Path(), ""};
    EXPECT_EQ(handler.GetMetaData(scratch / "missing.azw1", ctx), RC_NOT_SUPPORT);
    ConvertInputContext in{scratch.Path(), "", FORMAT_EPUB, ""};
    EXPECT_EQ(handler.Convert_Input(scratch / "b.azw1", in), RC_NOT_SUPPORT) << "never converted";
}

} // namespace
