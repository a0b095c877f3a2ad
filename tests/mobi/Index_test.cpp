#include "mobi/Index.h"

#include "base/Files.h"
#include "mobi/IndexWriter.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include <gtest/gtest.h>

using namespace mobitest;

namespace
{

// The labels of the source EPUB's NCX, in play order.
const std::vector<std::string> kQuickStartLabels = {
    "Calibre Quick Start Guide",
    "Table of Contents",
    "Introduction",
    "Installing calibre",
    "The Main Library Window, aka the GUI",
    "Common Tasks",
    "Task 1: Organizing",
    "Task 2: Conversion",
    "2.1: Background",
    "2.2: Why are there different e-book formats?",
    "2.3: Conversion basics",
    "2.4: Auto Conversion",
    "2.5: More robust conversion",
    "2.6: Limitations of conversion",
    "2.7: DRM: the bane of conversion",
    "Task 3: The e-book editor",
    "Task 4: Downloading News",
    "Task 5: Interacting with e-book readers",
    "5.1: Putting an e-book on your e-book reader",
    "5.2: E-book reader optional configuration",
    "Task 6: The e-book viewer",
    "Where to get help",
};

struct OpenBook {
    CFile file;
    CPalmDb db;
    CMobiHeader first;
    CMobiHeader kf8;
    bool joint = false;
};

void Open(OpenBook& book, const std::string& name)
{
    ASSERT_EQ(book.file.Open(DataPath(name), false, false), RC_OK);
    ASSERT_EQ(book.db.Open(book.file), RC_OK);
    ASSERT_EQ(OpenMobiParts(book.db, book.first, book.kf8, book.joint, nullptr), RC_OK);
}

// Depth-first order through the first/last child links, as a table of contents is read.
void Walk(const std::vector<NavPoint>& nav, size_t i, int depth, std::vector<std::string>& out)
{
    ASSERT_LT(depth, 8);
    out.push_back(nav[i].m_Label);
    if (nav[i].m_FirstChild < 0) return;
    for (int32_t c = nav[i].m_FirstChild; c <= nav[i].m_LastChild && c < int32_t(nav.size()); ++c) {
        EXPECT_EQ(nav[static_cast<size_t>(c)].m_Parent, int32_t(i));
        EXPECT_EQ(nav[static_cast<size_t>(c)].m_Depth, nav[i].m_Depth + 1);
        Walk(nav, static_cast<size_t>(c), depth + 1, out);
    }
}

TEST(Index, QuickStartNcxKeepsLabelsAndNesting)
{
    struct Case {
        const char* file;
        bool useKf8;
        size_t roots; // the MOBI 6 part of these books holds a flat list
    };
    for (const Case& c : {Case{"qs-eng-mobi6.mobi", false, 22}, Case{"qs-eng-joint.mobi", false, 22},
                          Case{"qs-eng-joint.mobi", true, 7}, Case{"qs-eng-kf8.azw3", false, 7}}) {
        SCOPED_TRACE(std::string(c.file) + (c.useKf8 ? " KF8" : ""));
        OpenBook book;
        Open(book, c.file);
        CMobiHeader& part = c.useKf8 ? book.kf8 : book.first;
        ASSERT_EQ(part.GetIndexRecord(), RC_OK);
        const std::vector<NavPoint>& nav = part.m_Book.m_NavPoints;
        ASSERT_EQ(nav.size(), kQuickStartLabels.size());
        std::vector<std::string> order;
        size_t roots = 0;
        for (size_t i = 0; i < nav.size(); ++i) {
            if (nav[i].m_Parent != -1) continue;
            ++roots;
            Walk(nav, i, 0, order);
        }
        EXPECT_EQ(roots, c.roots);
        EXPECT_EQ(order, kQuickStartLabels);
        for (size_t i = 1; i < nav.size(); ++i)
            EXPECT_EQ(nav[i].m_PlayOrder.size(), 2u);
        if (part.IsKf8()) {
            EXPECT_EQ(nav[13].m_Label, "2.1: Background");
            EXPECT_EQ(nav[13].m_Depth, 2);
            EXPECT_EQ(nav[13].m_FragmentNumber, 7);
            EXPECT_EQ(nav[13].m_TextOffset, 19693);
        }
    }
}

TEST(Index, Kf8SkeletonsFragmentsAndGuideAgree)
{
    for (const char* name : {"qs-eng-kf8.azw3", "huffdic-joint.mobi", "ncx-joint.mobi", "font-kf8.mobi"}) {
        SCOPED_TRACE(name);
        OpenBook book;
        Open(book, name);
        CMobiHeader& part = book.joint ? book.kf8 : book.first;
        ASSERT_EQ(part.GetIndexRecord(), RC_OK);
        ASSERT_FALSE(part.m_SkelIndex.m_Entries.empty());
        uint32_t fragments = 0;
        for (size_t i = 0; i < part.m_SkelIndex.m_Entries.size(); ++i) {
            const SkelEntry& s = part.m_SkelIndex.m_Entries[i];
            EXPECT_EQ(s.m_Number, int32_t(i));
            fragments += s.m_FragmentCount;
        }
        ASSERT_EQ(fragments, part.m_ChunkIndex.m_Entries.size());
        for (size_t i = 0; i < part.m_ChunkIndex.m_Entries.size(); ++i) {
            const ChunkEntry& f = part.m_ChunkIndex.m_Entries[i];
            EXPECT_EQ(f.m_SequenceNumber, i);
            EXPECT_TRUE(f.m_HasSelector);
            EXPECT_NE(f.m_Selector.find("//*[@aid='"), std::string::npos) << f.m_Selector;
        }
    }
    OpenBook book;
    Open(book, "qs-eng-kf8.azw3");
    ASSERT_EQ(book.first.GetIndexRecord(), RC_OK);
    const SkelEntry& skel = book.first.m_SkelIndex.m_Entries[0];
    EXPECT_EQ(skel.m_Key, "SKEL0000000000");
    EXPECT_EQ(skel.m_Length, 430u);
    const ChunkEntry& chunk = book.first.m_ChunkIndex.m_Entries[0];
    EXPECT_EQ(chunk.m_InsertPosition, 414u);
    EXPECT_EQ(chunk.m_Selector, "P-//*[@aid='0']");
    EXPECT_EQ(chunk.m_Length, 622u);
    ASSERT_EQ(book.first.m_Book.m_GuideItems.size(), 1u);
    EXPECT_EQ(book.first.m_Book.m_GuideItems[0].m_Type, "toc");
    EXPECT_EQ(book.first.m_Book.m_GuideItems[0].m_Title, "Table of Contents");
    EXPECT_EQ(book.first.m_Book.m_GuideItems[0].m_FragmentNumber, 14);
}

TEST(Index, BrokenNcxPrimaryRecordStopsTheBook)
{
    OpenBook book;
    Open(book, "qs-eng-kf8.azw3");
    std::string file;
    ASSERT_TRUE(ReadFileBytes(DataPath("qs-eng-kf8.azw3"), file));
    uint32_t ncx = book.first.Fields().m_Ncx;
    std::string edited = file;
    edited.replace(book.db.RecordOffset(ncx), 4, "IDNX");
    CPalmDb db;
    ASSERT_EQ(db.OpenMemory(edited), RC_OK);
    CMobiHeader part;
    ASSERT_EQ(part.Init(db, 0, nullptr), RC_OK);
    EXPECT_EQ(part.GetIndexRecord(), RC_MOBI_NCX_RECORD);
}

// ---- crafted index records -----------------------------------------------------------------------

// An index data record holding the given entries as they stand.
std::string RawDataRecord(const std::vector<std::string>& entries)
{
    std::string r(INDEX_HEAD_SIZE, '\0');
    r.replace(0, 4, "INDX");
    std::vector<uint32_t> offsets;
    for (const std::string& e : entries) {
        offsets.push_back(static_cast<uint32_t>(r.size()));
        r += e;
    }
    PutU32At(r, 20, static_cast<uint32_t>(r.size()));
    PutU32At(r, 24, static_cast<uint32_t>(entries.size()));
    r += "IDXT";
    for (uint32_t o : offsets)
        AppendU16(r, o);
    return r;
}

std::string Primary(const std::vector<TagEntry>& tags, uint32_t dataRecords, uint32_t cncxRecords,
                    uint32_t controlBytes = 1)
{
    CIndexWriter writer(tags);
    std::vector<std::string> records;
    writer.Finish(nullptr, records);
    std::string primary = records[0];
    PutU32At(primary, 24, dataRecords);
    PutU32At(primary, 52, cncxRecords);
    PutU32At(primary, INDEX_HEAD_SIZE + 8, controlBytes);
    return primary;
}

std::string Cncx(const std::string& text)
{
    std::string s;
    AppendVarWidth(s, static_cast<int64_t>(text.size()));
    return s + text;
}

std::string Entry(const std::string& key, const std::string& rest)
{
    return std::string(1, static_cast<char>(key.size())) + key + rest;
}

const std::vector<TagEntry> kNcxFourTags = {
    {1, 1, 1, 0}, {2, 1, 2, 0}, {3, 1, 4, 0}, {4, 1, 8, 0}, {0, 0, 0, 1}};

struct PrimaryCase {
    const char* label;
    std::string primary;
    ResultCode rc;
};

TEST(Index, PrimaryRecordFaultsGiveExactCodes)
{
    std::string good = Primary(SKELETON_TAGS, 0, 0);
    std::string noMagic = good;
    noMagic[0] = 'I';
    noMagic[1] = 'D';
    std::string tagxPastEnd = good;
    PutU32At(tagxPastEnd, 180, static_cast<uint32_t>(good.size() + 1));
    std::string noTagx = good;
    noTagx.replace(INDEX_HEAD_SIZE, 4, "TAGS");
    std::string tagxLengthHuge = good;
    PutU32At(tagxLengthHuge, INDEX_HEAD_SIZE + 4, 0xFFFFFFF0u);
    const PrimaryCase cases[] = {
        {"valid", good, RC_OK},
        {"empty record", "", RC_MOBI_NCX_RECORD},
        {"no INDX", noMagic, RC_MOBI_NCX_RECORD},
        {"TAGX offset past the record", tagxPastEnd, RC_MOBI_NCX_RECORD},
        {"no TAGX", noTagx, RC_MOBI_NCX_RECORD},
        {"TAGX head cut", good.substr(0, INDEX_HEAD_SIZE + 6), RC_MOBI_NCX_RECORD},
        {"control byte count 3", Primary(SKELETON_TAGS, 0, 0, 3), RC_MOBI_CONTROL_BYTES},
        {"control byte count 0", Primary(SKELETON_TAGS, 0, 0, 0), RC_MOBI_CONTROL_BYTES},
        {"TAGX length past the record", tagxLengthHuge, RC_OK},
    };
    for (const PrimaryCase& c : cases) {
        SCOPED_TRACE(c.label);
        CSkelIndex index;
        EXPECT_EQ(index.ReadRecords({c.primary}), c.rc);
    }
}

TEST(Index, EntriesRunToTheNextOffsetOrTheIdxt)
{
    std::string skel = Entry("SKEL0000000007", std::string("\x0A\x82\x82\x80\x85", 5));
    struct Case {
        const char* label;
        std::vector<std::string> entries;
        size_t count;
    };
    const Case cases[] = {
        {"no entries", {}, 0},
        {"one entry", {skel}, 1},
        {"control byte 0x0B skipped, next read", {Entry("SKEL0000000001", "\x0B\x81\x81\x81"), skel}, 1},
        {"key longer than the entry", {std::string("\x40SKEL", 5), skel}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CSkelIndex index;
        ASSERT_EQ(index.ReadRecords({Primary(SKELETON_TAGS, 1, 0), RawDataRecord(c.entries)}), RC_OK);
        ASSERT_EQ(index.m_Entries.size(), c.count);
        if (c.count == 1) {
            const SkelEntry& e = index.m_Entries[0];
            EXPECT_EQ(e.m_Number, 7);
            EXPECT_EQ(e.m_FragmentCount, 2u);
            EXPECT_EQ(e.m_StartOffset, 0u);
            EXPECT_EQ(e.m_Length, 5u);
        }
    }
}

TEST(Index, DamagedDataRecordsShortenTheList)
{
    std::string skel = Entry("SKEL0000000001", std::string("\x0A\x81\x81\x80\x85", 5));
    std::string tooMany = RawDataRecord({skel, skel});
    PutU32At(tooMany, 24, 0x7FFFFFFF);
    std::string backwards = RawDataRecord({skel, skel});
    size_t idxt = CByteReader(backwards).U32At(20);
    PutU16At(backwards, idxt + 4, 0xFFF0);
    std::string noIdxt = RawDataRecord({skel});
    PutU32At(noIdxt, 20, 0xFFFF);
    struct Case {
        const char* label;
        std::string record;
        size_t count;
    };
    const Case cases[] = {
        {"entry count past the IDXT room", tooMany, 2},
        {"entry offset past its end", backwards, 1},
        {"IDXT offset past the record", noIdxt, 0},
        {"not an index record", "JUNK", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CSkelIndex index;
        ASSERT_EQ(index.ReadRecords({Primary(SKELETON_TAGS, 1, 0), c.record}), RC_OK);
        EXPECT_EQ(index.m_Entries.size(), c.count);
    }
}

TEST(Index, NcxEntryTakesOnlyTheTagsItsControlByteNames)
{
    std::string label130(130, 'L');
    std::string cncx0 = Cncx("zero") + Cncx(label130);
    std::string cncx1 = "pad" + std::string(1, '\0') + Cncx("second record");
    // Offset 5 is the 130-byte label; 0x00010004 is position 4 of the second CNCX record.
    std::string first = Entry("0", std::string("\x0F\x8A\x94\x85\x81", 5));
    std::string second = Entry("1", std::string("\x0F\x81\x81", 3) + std::string("\x04\x00\x84\x80", 4));
    std::string onlyOffset = Entry("2", "\x01\x99");
    CNcxIndexMobi index;
    ASSERT_EQ(index.ReadRecords(
                  {Primary(kNcxFourTags, 1, 2), RawDataRecord({first, second, onlyOffset}), cncx0, cncx1}),
              RC_OK);
    ASSERT_EQ(index.m_Entries.size(), 3u);
    const NcxEntry& a = index.m_Entries[0];
    EXPECT_EQ(a.m_TextOffset, 10);
    EXPECT_EQ(a.m_Length, 20);
    EXPECT_EQ(a.m_Label, label130);
    EXPECT_EQ(a.m_Depth, 1);
    EXPECT_EQ(a.m_Parent, -1);
    EXPECT_EQ(a.m_FirstChild, -1);
    EXPECT_EQ(a.m_LastChild, -1);
    EXPECT_EQ(a.m_FragmentNumber, -1);
    EXPECT_EQ(index.m_Entries[1].m_LabelOffset, 0x00010004);
    EXPECT_EQ(index.m_Entries[1].m_Label, "second record");
    EXPECT_EQ(index.m_Entries[2].m_TextOffset, 0x19);
    EXPECT_FALSE(index.m_Entries[2].m_HasLabel);
}

TEST(Index, FragmentKeyIsTheInsertPosition)
{
    CIndexWriter writer(FRAGMENT_TAGS);
    CCncxWriter cncx;
    writer.AddFragmentEntry(12345, cncx.Add("P-//*[@aid='7']"), 3, 0, 100, 200);
    std::vector<std::string> records;
    writer.Finish(&cncx, records);
    EXPECT_NE(records[1].find("0000012345"), std::string::npos);
    CChunkIndex index;
    ASSERT_EQ(index.ReadRecords(records), RC_OK);
    ASSERT_EQ(index.m_Entries.size(), 1u);
    EXPECT_EQ(index.m_Entries[0].m_InsertPosition, 12345u);
    EXPECT_EQ(index.m_Entries[0].m_Selector, "P-//*[@aid='7']");
}

TEST(Index, CncxStringsStayInsideTheirRecord)
{
    const std::vector<std::string> records = {Cncx("abc") + std::string("\x85"
                                                                        "ab",
                                                                        3),
                                              Cncx("x")};
    struct Case {
        const char* label;
        uint32_t offset;
        bool ok;
        const char* text;
    };
    const Case cases[] = {
        {"first string", 0, true, "abc"},
        {"second record", 0x00010000, true, "x"},
        {"length past the record", 4, false, ""},
        {"position past the record", 0x00000100, false, ""},
        {"record past the list", 0x00020000, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string text;
        EXPECT_EQ(ReadCncxString(records, c.offset, text), c.ok);
        if (c.ok) {
            EXPECT_EQ(text, c.text);
        }
    }
}

} // namespace
