#include "mobi/PalmDb.h"

#include "base/Files.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"

#include <gtest/gtest.h>

using namespace mobitest;

namespace
{

std::string OneRecordFile(uint32_t firstOffset)
{
    std::string file = BuildPalmDb({EndOfFileRecord()});
    PutU32At(file, 78, firstOffset);
    file.resize(std::max<size_t>(file.size(), firstOffset + 4), '\0');
    return file;
}

struct HeaderCase {
    const char* label;
    std::string bytes;
    ResultCode rc;
};

TEST(PalmDb, HeaderChecksGiveExactCodes)
{
    std::string wrongType = BuildPalmDb({EndOfFileRecord()});
    wrongType.replace(60, 4, "TEXt");
    std::string noRecords = BuildPalmDb({EndOfFileRecord()});
    PutU16At(noRecords, 76, 0);
    std::string topaz = "TPZ0" + std::string(200, 'x');
    const HeaderCase cases[] = {
        {"empty file", "", RC_MOBI_PALMDB_MAGIC},
        {"85 bytes", std::string(85, '\0'), RC_MOBI_PALMDB_MAGIC},
        {"wrong type", wrongType, RC_MOBI_PALMDB_MAGIC},
        {"topaz", topaz, RC_DRM_TOPAZ},
        {"no records", noRecords, RC_MOBI_PALMDB_MAGIC},
        {"first record at 88", OneRecordFile(88), RC_OK},
        {"first record at 87", OneRecordFile(87), RC_MOBI_PALMDB_MAGIC},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.label);
        CPalmDb db;
        EXPECT_EQ(db.OpenMemory(c.bytes), c.rc);
    }
}

TEST(PalmDb, RecordListLongerThanFirstReadIsFetched)
{
    // 2000 records put the list past the first 12,288 bytes read.
    std::vector<std::string> records(2000, std::string("abcd"));
    records.back() = EndOfFileRecord();
    std::string file = BuildPalmDb(records);
    std::string path = ScratchDirectory() + "many.pdb";
    ASSERT_EQ(WriteWholeFile(path, file), RC_OK);
    CFile handle;
    ASSERT_EQ(handle.Open(path, false, false), RC_OK);
    CPalmDb db;
    ASSERT_EQ(db.Open(handle), RC_OK);
    EXPECT_EQ(db.RecordCount(), 2000u);
    std::string record;
    EXPECT_EQ(db.ReadRecord(1999 - 1, record), RC_OK);
    EXPECT_EQ(record, "abcd");
    EXPECT_EQ(db.CheckEofRecord(), RC_OK);
}

TEST(PalmDb, RecordsOutsideTheFileAreNeverRead)
{
    std::string file = BuildPalmDb({"0123456789", "abcdef", EndOfFileRecord()});
    // Record 2 moved far past the end makes record 1 claim to run there too.
    PutU32At(file, 78 + 8 * 2, 0x7FFFFFF0u);
    CPalmDb db;
    ASSERT_EQ(db.OpenMemory(file), RC_OK);
    std::string record;
    EXPECT_EQ(db.ReadRecord(1, record), RC_FILE_READ_FAILED);
    EXPECT_TRUE(record.empty());
    EXPECT_EQ(db.RecordSize(2), 0u);
    EXPECT_EQ(db.ReadRecord(7, record), RC_FILE_READ_FAILED);
    EXPECT_EQ(db.CheckEofRecord(), RC_MOBI_EOF_RECORD);
}

struct FixtureCase {
    const char* file;
    ResultCode open;  // CPalmDb::Open
    ResultCode parts; // OpenMobiParts, when the container opened
    uint16_t encryption;
};

TEST(PalmDb, BadFixturesGiveExactCodes)
{
    const FixtureCase cases[] = {
        {"bad-eof-record.mobi", RC_OK, RC_MOBI_EOF_RECORD, 0},
        {"bad-truncated-half.mobi", RC_OK, RC_MOBI_EOF_RECORD, 0},
        {"bad-encryption2.mobi", RC_OK, RC_OK, 2},
        {"bad-invalid-indx.mobi", RC_MOBI_PALMDB_MAGIC, RC_OK, 0},
        {"bad-topaz.azw1", RC_DRM_TOPAZ, RC_OK, 0},
        {"qs-eng-mobi6.mobi", RC_OK, RC_OK, 0},
    };
    for (const FixtureCase& c : cases) {
        SCOPED_TRACE(c.file);
        CFile file;
        ASSERT_EQ(file.Open(DataPath(c.file), false, false), RC_OK);
        CPalmDb db;
        ASSERT_EQ(db.Open(file), c.open);
        if (c.open != RC_OK) continue;
        CMobiHeader first, kf8;
        bool joint = true;
        EXPECT_EQ(OpenMobiParts(db, first, kf8, joint, nullptr), c.parts);
        EXPECT_FALSE(joint);
        EXPECT_EQ(first.Fields().m_Encryption, c.encryption);
    }
}

TEST(PalmDb, TruncatedBookFailsCleanlyAtEveryStep)
{
    CFile file;
    ASSERT_EQ(file.Open(DataPath("bad-truncated-half.mobi"), false, false), RC_OK);
    CPalmDb db;
    ASSERT_EQ(db.Open(file), RC_OK);
    CMobiHeader part;
    ASSERT_EQ(part.Init(db, 0, nullptr), RC_OK);
    std::string dir = ScratchDirectory();
    EXPECT_EQ(part.UnpackTextRecord(dir), RC_FILE_READ_FAILED);
    EXPECT_FALSE(part.m_Text.empty()); // what was decoded before the cut stays
    EXPECT_EQ(part.UnpackAllRecord(dir), RC_FILE_READ_FAILED);
    EXPECT_EQ(part.GetIndexRecord(), RC_MOBI_NCX_RECORD);
    EXPECT_EQ(part.GetCoverImage(dir + "cover.jpg"), RC_FILE_READ_FAILED);
}

} // namespace
