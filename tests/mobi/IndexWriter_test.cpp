#include "mobi/IndexWriter.h"

#include "mobi/ByteIO.h"
#include "mobi/Index.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{

struct VarCase {
    int64_t value;
    std::string bytes;
};

TEST(IndexWriter, VariableWidthNumbers)
{
    const VarCase cases[] = {
        {0, "\x80"},       {1, "\x81"},
        {127, "\xFF"},     {128, std::string("\x01\x80", 2)},
        {300, "\x02\xAC"}, {0xFFFFFFFFll, std::string("\x0F\x7F\x7F\x7F\xFF", 5)},
        {-1, ""},
    };
    for (const VarCase& c : cases) {
        SCOPED_TRACE(c.value);
        std::string out;
        AppendVarWidth(out, c.value);
        EXPECT_EQ(out, c.bytes);
        if (c.value >= 0) {
            CByteReader reader(out);
            EXPECT_EQ(reader.VarWidth(), static_cast<uint32_t>(c.value));
            EXPECT_EQ(reader.Remaining(), 0u);
        }
    }
}

struct LayoutCase {
    const char* label;
    const std::vector<TagEntry>* tags;
    uint32_t tagxLength;
};

TEST(IndexWriter, PrimaryRecordLayout)
{
    const LayoutCase cases[] = {
        {"NCX MOBI 6", &NCX_MOBI6_TAGS, 44}, {"NCX KF8", &NCX_KF8_TAGS, 48}, {"fragment", &FRAGMENT_TAGS, 32},
        {"skeleton", &SKELETON_TAGS, 24},    {"guide", &GUIDE_TAGS, 24},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIndexWriter writer(*c.tags);
        writer.AddEntry("key", {});
        CCncxWriter cncx;
        cncx.Add("label");
        std::vector<std::string> records;
        writer.Finish(&cncx, records);
        ASSERT_EQ(records.size(), 3u);
        CByteReader primary(records[0]);
        EXPECT_TRUE(primary.Equals(0, "INDX", 4));
        EXPECT_EQ(primary.U32At(4), 192u);
        EXPECT_EQ(primary.U32At(16), 2u);
        EXPECT_EQ(primary.U32At(24), 1u);
        EXPECT_EQ(primary.U32At(28), 65001u);
        EXPECT_EQ(primary.U32At(32), 0xFFFFFFFFu);
        EXPECT_EQ(primary.U32At(36), 1u);
        EXPECT_EQ(primary.U32At(52), 1u);
        EXPECT_EQ(primary.U32At(180), 192u);
        EXPECT_TRUE(primary.Equals(192, "TAGX", 4));
        EXPECT_EQ(primary.U32At(196), c.tagxLength);
        EXPECT_EQ(primary.U32At(200), 1u);
        uint32_t idxt = primary.U32At(20);
        EXPECT_TRUE(primary.Equals(idxt, "IDXT", 4));
        EXPECT_EQ(idxt % 4, 0u);
        EXPECT_EQ(records[0].size() % 4, 0u);
        // One entry for the data record: its last key and its entry count.
        uint32_t entry = primary.U16At(idxt + 4);
        EXPECT_EQ(records[0].substr(entry, 6), std::string("\x03key\x00\x01", 6));
        CByteReader data(records[1]);
        EXPECT_EQ(data.U32At(12), 1u);
        EXPECT_EQ(data.U32At(28), 0xFFFFFFFFu);
        EXPECT_EQ(records[1].size() % 4, 0u);
    }
}

TEST(IndexWriter, EachIndexKindReadsBackWhole)
{
    // NCX, MOBI 6 and KF8: a parent with two children.
    for (bool kf8 : {false, true}) {
        SCOPED_TRACE(kf8 ? "KF8 NCX" : "MOBI 6 NCX");
        CIndexWriter writer(kf8 ? NCX_KF8_TAGS : NCX_MOBI6_TAGS);
        CCncxWriter cncx;
        std::vector<NcxEntry> entries(3);
        const char* labels[] = {"Part One", "Chapter 1", "Chapter 2"};
        for (int i = 0; i < 3; ++i) {
            NcxEntry& e = entries[i];
            e.m_Key = std::to_string(i);
            e.m_TextOffset = 1000 * i;
            e.m_Length = 900 + i;
            e.m_Depth = i == 0 ? 0 : 1;
            e.m_Parent = i == 0 ? -1 : 0;
            e.m_FirstChild = i == 0 ? 1 : -1;
            e.m_LastChild = i == 0 ? 2 : -1;
            e.m_FragmentNumber = kf8 ? i + 4 : -1;
            e.m_FragmentOffset = kf8 ? 7 * i : -1;
            writer.AddNcxEntry(e, cncx.Add(labels[i]), kf8);
        }
        std::vector<std::string> records;
        writer.Finish(&cncx, records);
        CNcxIndexMobi reader;
        ASSERT_EQ(reader.ReadRecords(records), RC_OK);
        ASSERT_EQ(reader.m_Entries.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            const NcxEntry& got = reader.m_Entries[i];
            const NcxEntry& want = entries[i];
            EXPECT_EQ(got.m_Key, want.m_Key);
            EXPECT_EQ(got.m_Label, labels[i]);
            EXPECT_EQ(got.m_TextOffset, want.m_TextOffset);
            EXPECT_EQ(got.m_Length, want.m_Length);
            EXPECT_EQ(got.m_Depth, want.m_Depth);
            EXPECT_EQ(got.m_Parent, want.m_Parent);
            EXPECT_EQ(got.m_FirstChild, want.m_FirstChild);
            EXPECT_EQ(got.m_LastChild, want.m_LastChild);
            EXPECT_EQ(got.m_FragmentNumber, want.m_FragmentNumber);
            EXPECT_EQ(got.m_FragmentOffset, want.m_FragmentOffset);
        }
    }
    {
        SCOPED_TRACE("skeleton");
        CIndexWriter writer(SKELETON_TAGS);
        writer.AddSkeletonEntry("SKEL0000000000", 3, 0, 430);
        writer.AddSkeletonEntry("SKEL0000000001", 1, 1052, 432);
        std::vector<std::string> records;
        writer.Finish(nullptr, records);
        CSkelIndex reader;
        ASSERT_EQ(reader.ReadRecords(records), RC_OK);
        ASSERT_EQ(reader.m_Entries.size(), 2u);
        EXPECT_EQ(reader.m_Entries[1].m_Number, 1);
        EXPECT_EQ(reader.m_Entries[1].m_FragmentCount, 1u);
        EXPECT_EQ(reader.m_Entries[1].m_StartOffset, 1052u);
        EXPECT_EQ(reader.m_Entries[1].m_Length, 432u);
    }
    {
        SCOPED_TRACE("fragment and guide");
        CCncxWriter cncx;
        CIndexWriter fragments(FRAGMENT_TAGS);
        fragments.AddFragmentEntry(414, cncx.Add("P-//*[@aid='0']"), 0, 0, 0, 622);
        fragments.AddFragmentEntry(1468, cncx.Add("P-//*[@aid='UGI0']"), 1, 1, 622, 3520);
        std::vector<std::string> records;
        fragments.Finish(&cncx, records);
        CChunkIndex chunks;
        ASSERT_EQ(chunks.ReadRecords(records), RC_OK);
        ASSERT_EQ(chunks.m_Entries.size(), 2u);
        EXPECT_EQ(chunks.m_Entries[1].m_InsertPosition, 1468u);
        EXPECT_EQ(chunks.m_Entries[1].m_Selector, "P-//*[@aid='UGI0']");
        EXPECT_EQ(chunks.m_Entries[1].m_FileNumber, 1u);
        EXPECT_EQ(chunks.m_Entries[1].m_SequenceNumber, 1u);
        EXPECT_EQ(chunks.m_Entries[1].m_StartOffset, 622u);
        EXPECT_EQ(chunks.m_Entries[1].m_Length, 3520u);

        CCncxWriter titles;
        CIndexWriter guide(GUIDE_TAGS);
        guide.AddGuideEntry("toc", titles.Add("Table of Contents"), 14, 0);
        guide.AddGuideEntry("text", titles.Add("Start"), 2, 30);
        records.clear();
        guide.Finish(&titles, records);
        CGuideIndex reader;
        ASSERT_EQ(reader.ReadRecords(records), RC_OK);
        ASSERT_EQ(reader.m_Entries.size(), 2u);
        EXPECT_EQ(reader.m_Entries[1].m_Type, "text");
        EXPECT_EQ(reader.m_Entries[1].m_Title, "Start");
        EXPECT_EQ(reader.m_Entries[1].m_FragmentNumber, 2u);
        EXPECT_EQ(reader.m_Entries[1].m_Offset, 30u);
    }
}

TEST(IndexWriter, ManyEntriesSplitIntoDataRecordsWithinTheLimit)
{
    CIndexWriter writer(NCX_MOBI6_TAGS);
    CCncxWriter cncx;
    const int count = 12000;
    for (int i = 0; i < count; ++i) {
        NcxEntry e;
        char key[16];
        std::snprintf(key, sizeof key, "%d", i);
        e.m_Key = key;
        e.m_TextOffset = 100000 + i;
        e.m_Length = 50;
        e.m_Depth = 0;
        e.m_Parent = i; // forces tags 21 and makes entries longer
        writer.AddNcxEntry(e, cncx.Add("Chapter " + e.m_Key + std::string(20, '.')), false);
    }
    std::vector<std::string> records;
    writer.Finish(&cncx, records);
    CByteReader primary(records[0]);
    uint32_t dataRecords = primary.U32At(24);
    uint32_t cncxRecords = primary.U32At(52);
    ASSERT_GT(dataRecords, 1u);
    ASSERT_GT(cncxRecords, 1u);
    ASSERT_EQ(records.size(), 1 + dataRecords + cncxRecords);
    for (uint32_t i = 1; i <= dataRecords; ++i) {
        CByteReader data(records[i]);
        uint32_t idxt = data.U32At(20);
        uint32_t entries = data.U32At(24);
        EXPECT_LE(idxt - 192 + 2 * entries, INDEX_DATA_LIMIT);
        EXPECT_LE(records[i].size(), 65536u);
    }
    for (uint32_t i = 1 + dataRecords; i < records.size(); ++i)
        EXPECT_LE(records[i].size(), CNCX_RECORD_LIMIT);

    CNcxIndexMobi reader;
    ASSERT_EQ(reader.ReadRecords(records), RC_OK);
    ASSERT_EQ(reader.m_Entries.size(), size_t(count));
    for (int i = 0; i < count; i += 997) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reader.m_Entries[i].m_TextOffset, 100000 + i);
        EXPECT_EQ(reader.m_Entries[i].m_Parent, i);
        EXPECT_EQ(reader.m_Entries[i].m_Label, "Chapter " + std::to_string(i) + std::string(20, '.'));
    }
}

TEST(IndexWriter, CncxReusesStringsAndStartsNewRecords)
{
    CCncxWriter cncx;
    uint32_t first = cncx.Add("same");
    EXPECT_EQ(cncx.Add("other"), 5u);
    EXPECT_EQ(cncx.Add("same"), first);
    std::string big(1000, 'b');
    uint32_t last = 0;
    for (int i = 0; i < 70; ++i)
        last = cncx.Add(big + std::to_string(i));
    ASSERT_EQ(cncx.Records().size(), 2u);
    EXPECT_LE(cncx.Records()[0].size(), CNCX_RECORD_LIMIT);
    EXPECT_EQ(last >> 16, 1u);
    std::string text;
    ASSERT_TRUE(ReadCncxString(cncx.Records(), last, text));
    EXPECT_EQ(text, big + "69");
}

struct LabelFitCase {
    const char* label;
    size_t count;
    std::string text; // every label, made distinct by its number after it
    bool cut;
    std::string firstLabel;
};

TEST(IndexWriter, LabelsAreCutToTheRecordsReadersTake)
{
    const std::string cyrillic = "\xD0\x93\xD0\xBB\xD0\xB0\xD0\xB2\xD0\xB0 "; // "Глава "
    const LabelFitCase cases[] = {
        {"a usual index is left alone", 500, "Chapter ", false, "Chapter 0"},
        {"100,000 labels", 100000, "Chapter ", true, "Chapt"},
        {"cut at a character boundary", 100000, cyrillic, true, "\xD0\x93\xD0\xBB"},
        {"a first character wider than the room stays whole", 200000, "\xE2\x80\x94 dash ", true,
         "\xE2\x80\x94"},
    };
    for (const LabelFitCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<NcxEntry> entries(c.count);
        for (size_t i = 0; i < c.count; ++i)
            entries[i].m_Label = c.text + std::to_string(i);
        EXPECT_EQ(FitLabelsToCncx(entries) > 0, c.cut);
        EXPECT_EQ(entries[0].m_Label, c.firstLabel);
        CCncxWriter cncx;
        for (const NcxEntry& e : entries) {
            ASSERT_FALSE(e.m_Label.empty());
            cncx.Add(e.m_Label);
        }
        EXPECT_LE(cncx.Records().size(), MAX_CNCX_RECORDS + 1);
    }
}

} // namespace
