#include "mobi/RecordWriter.h"

#include "mobi/ByteIO.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include <gtest/gtest.h>

using namespace mobitest;

namespace {

struct PaddingCase {
    const char* label;
    std::string value;
    size_t padding;
};

TEST(RecordWriter, ExthBlockPadsTwoToFiveBytes)
{
    // 12-byte head + 8-byte record head + value: a 0-byte remainder still gets 4 bytes.
    const PaddingCase cases[] = {
        {"multiple of 4", "abcd", 4}, {"one over", "abcde", 3}, {"two over", "abcdef", 2}, {"three over", "abc", 5},
    };
    for (const PaddingCase& c : cases) {
        SCOPED_TRACE(c.label);
        MetaDataMap map = {{"title", {c.value}}};
        std::string block = MakeExthBlock(map);
        size_t used = 12 + 8 + c.value.size();
        EXPECT_EQ(block.size(), used + c.padding);
        EXPECT_EQ(block.size() % 4, 0u);
        CByteReader r(block);
        EXPECT_EQ(r.U32At(4), block.size());
        EXPECT_EQ(r.U32At(8), 1u);
        EXPECT_EQ(block.substr(used), std::string(c.padding, '\0'));
    }
}

TEST(RecordWriter, ExthBlockReadsBackIntoTheSameMetadata)
{
    MetaDataMap map = {
        {"title", {"A Title"}},
        {"creator", {"First Author", "Second Author"}},
        {"language", {"fr"}},
        {"MOBI_ID_00000201", {Be32(2)}},
        {"MOBI_ID_00000535", {"raw bytes \x01\x02"}},
        {"languageid", {"00000009"}},  // no EXTH type: not written
        {"coverimage", {"x.jpg"}},
    };
    Record0 header;
    header.exthBlock = MakeExthBlock(map, {"coverimage"});
    header.firstResource = 2;
    header.locale = 12;
    CPalmDb db;
    std::string file = BuildPalmDb({header.Build(), "text", JpegBytes(), JpegBytes(), JpegBytes(), EndOfFileRecord()});
    ASSERT_EQ(db.OpenMemory(file), RC_OK);
    CMobiHeader part;
    ASSERT_EQ(part.Init(db, 0, nullptr), RC_OK);
    MetaDataMap expected = map;
    expected.erase("coverimage");
    expected["languageid"] = {"00000012"};
    EXPECT_EQ(part.m_Book.m_MetaData, expected);
    EXPECT_EQ(part.CoverOffset(), 2);
}

TEST(RecordWriter, PalmDbLayout)
{
    std::vector<std::string> records = {"record zero", MakeFlisRecord(), MakeFcisRecord(123456), MakeEofRecord()};
    std::string file;
    ASSERT_TRUE(MakePalmDbFile("Name", records, file));
    CByteReader r(file);
    EXPECT_EQ(file.substr(0, 5), std::string("Name\0", 5));
    EXPECT_TRUE(r.Equals(60, "BOOKMOBI", 8));
    EXPECT_EQ(r.U16At(76), 4u);
    EXPECT_EQ(r.U32At(78), 4u * 8 + 80);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(r.U32At(78 + 8 * i + 4), 2 * i);
    CPalmDb db;
    ASSERT_EQ(db.OpenMemory(file), RC_OK);
    EXPECT_EQ(db.CheckEofRecord(), RC_OK);
    std::string back;
    ASSERT_EQ(db.ReadRecord(2, back), RC_OK);
    EXPECT_EQ(back.size(), 44u);
    EXPECT_EQ(CByteReader(back).U32At(20), 123456u);
    ASSERT_EQ(db.ReadRecord(1, back), RC_OK);
    EXPECT_EQ(back.size(), 36u);
    EXPECT_FALSE(MakePalmDbFile("Name", {}, file));
}

} // namespace
