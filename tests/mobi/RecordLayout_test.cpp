#include "mobi/RecordLayout.h"

#include "mobi/ByteIO.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"
#include "mobi/RecordWriter.h"

#include <gtest/gtest.h>

using namespace mobitest;

namespace
{

// A field of the layout table and the reader's value for it.
struct ReadBack {
    const Record0Field* field;
    uint32_t (*value)(const MobiHeaderFields&);
    uint32_t absent; // the reader's value for a field it does not take
    bool added;      // by a later header version: taken only from a header long enough for it
};

const ReadBack READ_BACK[] = {
    {&RECORD0_COMPRESSION, [](const MobiHeaderFields& f) -> uint32_t { return f.m_Compression; }, 0, false},
    {&RECORD0_TEXT_LENGTH, [](const MobiHeaderFields& f) { return f.m_TextLength; }, 0, false},
    {&RECORD0_TEXT_RECORD_COUNT, [](const MobiHeaderFields& f) -> uint32_t { return f.m_TextRecordCount; }, 0,
     false},
    {&RECORD0_ENCRYPTION, [](const MobiHeaderFields& f) -> uint32_t { return f.m_Encryption; }, 0, false},
    {&RECORD0_HEADER_LENGTH, [](const MobiHeaderFields& f) { return f.m_HeaderLength; }, 0, false},
    {&RECORD0_TEXT_ENCODING, [](const MobiHeaderFields& f) { return f.m_TextEncoding; }, 0, false},
    {&RECORD0_FILE_VERSION, [](const MobiHeaderFields& f) { return f.m_FileVersion; }, 0, false},
    {&RECORD0_FULL_NAME_OFFSET, [](const MobiHeaderFields& f) { return f.m_FullNameOffset; }, 0, false},
    {&RECORD0_FULL_NAME_LENGTH, [](const MobiHeaderFields& f) { return f.m_FullNameLength; }, 0, false},
    {&RECORD0_LOCALE, [](const MobiHeaderFields& f) { return f.m_Locale; }, 0, false},
    {&RECORD0_MIN_VERSION, [](const MobiHeaderFields& f) { return f.m_MinimumVersion; }, 0, false},
    {&RECORD0_FIRST_RESOURCE, [](const MobiHeaderFields& f) { return f.m_FirstResource; }, 0, false},
    {&RECORD0_HUFF_RECORD, [](const MobiHeaderFields& f) { return f.m_HuffRecord; }, 0, false},
    {&RECORD0_HUFF_RECORD_COUNT, [](const MobiHeaderFields& f) { return f.m_HuffRecordCount; }, 0, false},
    {&RECORD0_EXTH_FLAGS, [](const MobiHeaderFields& f) { return f.m_ExthFlags; }, 0, false},
    {&RECORD0_FDST_RECORD, [](const MobiHeaderFields& f) { return f.m_Fdst; }, NO_RECORD, true},
    {&RECORD0_EXTRA_DATA_FLAGS, [](const MobiHeaderFields& f) -> uint32_t { return f.m_ExtraDataFlags; }, 0,
     true},
    {&RECORD0_NCX_INDEX, [](const MobiHeaderFields& f) { return f.m_Ncx; }, NO_RECORD, true},
    {&RECORD0_FRAGMENT_INDEX, [](const MobiHeaderFields& f) { return f.m_Chunk; }, NO_RECORD, true},
    {&RECORD0_SKELETON_INDEX, [](const MobiHeaderFields& f) { return f.m_Skel; }, NO_RECORD, true},
    {&RECORD0_GUIDE_INDEX, [](const MobiHeaderFields& f) { return f.m_Guide; }, NO_RECORD, true},
};

// One written part as a PalmDB file in memory.
std::string WrittenPart(MobiPartKind kind)
{
    const bool kf8 = kind == MobiPartKind::Kf8Only;
    MobiPartText text;
    text.m_Text = "<html><body><p>Record zero, field by field.</p></body></html>";
    if (kf8) {
        text.m_IndexRecords = {"INDXskel", "INDXfrag", "INDXncx", "INDXguide"};
        text.m_SkeletonIndex = 0;
        text.m_ChunkIndex = 1;
        text.m_NcxIndex = 2;
        text.m_GuideIndex = 3;
        text.m_Fdst = "FDST";
        for (uint32_t v : {12u, 1u, 0u, static_cast<uint32_t>(text.m_Text.size())})
            AppendU32(text.m_Fdst, v);
        text.m_FdstSections = 1;
    } else {
        text.m_IndexRecords = {"INDXncx"};
        text.m_NcxIndex = 0;
    }
    MobiPartRecords part;
    EXPECT_EQ(MakeRecord(kind, std::move(text), {JpegBytes("cover"), JpegBytes("thumb")}, 0,
                         {{"title", {"Layout"}}, {"language", {"fr"}}}, nullptr, part),
              RC_OK);
    std::vector<std::string> records = {part.m_Record0};
    for (size_t i = 0; i < part.m_TextRecords.Count(); ++i)
        records.emplace_back(part.m_TextRecords.Record(i));
    for (const auto* list : {&part.m_IndexRecords, &part.m_ResourceRecords, &part.m_MiscRecords})
        records.insert(records.end(), list->begin(), list->end());
    records.push_back(EndOfFileRecord());
    return BuildPalmDb(records);
}

} // namespace

// The reader takes every field from where the writer put it.
TEST(RecordLayout, WrittenRecord0ReadsBackFieldByField)
{
    for (MobiPartKind kind : {MobiPartKind::Kf8Only, MobiPartKind::Kf7Only}) {
        SCOPED_TRACE(kind == MobiPartKind::Kf8Only ? "KF8" : "MOBI 6");
        const std::string file = WrittenPart(kind);
        CPalmDb db;
        ASSERT_EQ(db.OpenMemory(file), RC_OK);
        CMobiHeader part;
        ASSERT_EQ(part.Init(db, 0, nullptr), RC_OK);
        CByteReader r(part.m_Record0);
        for (const ReadBack& row : READ_BACK) {
            SCOPED_TRACE(row.field->m_Name);
            EXPECT_EQ(row.value(part.Fields()), ReadField(r, *row.field));
        }
        EXPECT_FALSE(r.Failed());
        EXPECT_EQ(part.m_FullName, "Layout");
    }
}

// A header one byte too short for a field lacks it; one just long enough has it.
TEST(RecordLayout, ReaderTakesAFieldOnlyFromAHeaderLongEnoughForIt)
{
    const std::string file = WrittenPart(MobiPartKind::Kf8Only);
    CPalmDb db;
    ASSERT_EQ(db.OpenMemory(file), RC_OK);
    std::string record0;
    ASSERT_EQ(db.ReadRecord(0, record0), RC_OK);
    for (const ReadBack& row : READ_BACK) {
        if (!row.added) continue;
        SCOPED_TRACE(row.field->m_Name);
        CByteReader r(record0);
        const uint32_t written = ReadField(r, *row.field);
        ASSERT_NE(written, row.absent);
        for (uint32_t length : {row.field->m_MinHeaderLength - 1, row.field->m_MinHeaderLength}) {
            std::string shortened = record0;
            WriteField(shortened, RECORD0_HEADER_LENGTH, length);
            // No EXTH block where the shorter header would put it.
            WriteField(shortened, RECORD0_EXTH_FLAGS, 0);
            std::vector<std::string> records = {shortened};
            for (uint32_t i = 1; i < db.RecordCount(); ++i) {
                records.emplace_back();
                ASSERT_EQ(db.ReadRecord(i, records.back()), RC_OK);
            }
            const std::string edited = BuildPalmDb(records);
            CPalmDb editedDb;
            ASSERT_EQ(editedDb.OpenMemory(edited), RC_OK);
            CMobiHeader part;
            ASSERT_EQ(part.Init(editedDb, 0, nullptr), RC_OK);
            EXPECT_EQ(row.value(part.Fields()), length < row.field->m_MinHeaderLength ? row.absent : written)
                << "header length 0x" << std::hex << length;
        }
    }
}
