#include "base/ResultCode.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct MessageCase {
    ResultCode rc;
    const char* message;
};

TEST(ResultCode, MessagesOfTheCodesCallersMeetFirst)
{
    const MessageCase cases[] = {
        {RC_OK, "ErrorCode is not existed!"},
        {RC_COPY_INPUT, "ErrorCode is not existed!"},
        {RC_MOBI_AZW4_PDFS, "BAD Book :: azw4 have more than one pdf error!"},
        {RC_MOBI_EXTH_LENGTH, "BAD Book :: ExthHeader Length error"},
        {RC_INPUT_MISSING, "Input file is not existed!"},
        {RC_DRM_TOPAZ, "Have Kindle TPZ DRM!"},
        {0x7000108, "ErrorCode is not existed!"},
    };
    for (const MessageCase& c : cases)
        EXPECT_STREQ(ResultMessage(c.rc), c.message) << std::hex << c.rc;
}

TEST(ResultCode, ControlBytesMessageNamesOurAddress)
{
    EXPECT_EQ(std::string(ResultMessage(RC_MOBI_CONTROL_BYTES)),
              std::string("ControlBytesCount != 1 or 2, please send the book to ") + MAKER_WEB_ADDRESS +
                  ", thanks!");
}

TEST(ResultCode, NoticesAreNotErrors)
{
    EXPECT_FALSE(IsError(RC_DRM_UNKNOWN));
    EXPECT_FALSE(IsError(RC_AZW4_UNPACKED));
    EXPECT_TRUE(IsError(RC_NOT_SUPPORT));
    EXPECT_TRUE(IsError(RC_MOBI_EOF_RECORD));
}

} // namespace
