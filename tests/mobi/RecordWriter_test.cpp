#include "mobi/RecordWriter.h"

#include "mobi/ByteIO.h"
#include "mobi/Decompress.h"
#include "mobi/ExthBlock.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace mobitest;

namespace
{

struct PaddingCase {
    const char* label;
    std::string value;
    size_t padding;
};

TEST(RecordWriter, ExthBlockPadsTwoToFiveBytes)
{
    // 12-byte head + 8-byte record head + value: a 0-byte remainder still gets 4 bytes.
    const PaddingCase cases[] = {
        {"multiple of 4", "abcd", 4},
        {"one over", "abcde", 3},
        {"two over", "abcdef", 2},
        {"three over", "abc", 5},
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
        {"languageid", {"00000009"}}, // no EXTH type: not written
        {"coverimage", {"x.jpg"}},
    };
    Record0 header;
    header.exthBlock = MakeExthBlock(map, {"coverimage"});
    header.firstResource = 2;
    header.locale = 12;
    CPalmDb db;
    std::string file =
        BuildPalmDb({header.Build(), "text", JpegBytes(), JpegBytes(), JpegBytes(), EndOfFileRecord()});
    ASSERT_EQ(db.OpenMemory(file), RC_OK);
    CMobiHeader part;
    ASSERT_EQ(part.Init(db, 0, nullptr), RC_OK);
    MetaDataMap expected = map;
    expected.erase("coverimage");
    expected["languageid"] = {"00000012"};
    EXPECT_EQ(part.m_Book.m_MetaData, expected);
    EXPECT_EQ(part.CoverOffset(), 2);
}

struct OutputTextCase {
    const char* label;
    int32_t type;
    std::string value;
    bool cp1252;
    std::string written;
};

TEST(RecordWriter, TwiceEscapedReferencesReachReadersAsCharacters)
{
    const OutputTextCase cases[] = {
        {"author", 100, "Developer&#x27;s Reference Team", false, "Developer's Reference Team"},
        {"title", 503, "Tom &amp; Jerry &#8212; &#x4E2D;", false, "Tom & Jerry \xE2\x80\x94 \xE4\xB8\xAD"},
        {"contributor", 108, "A &#39;B&#39;", false, "A 'B'"},
        {"a plain ampersand stays", 101, "Smith & Sons &c", false, "Smith & Sons &c"},
        {"no text type", 201, std::string("&#39;\0\0", 7), false, std::string("&#39;\0\0", 7)},
        {"identifier", 104, "978&#48;", false, "978&#48;"},
        {"Windows-1252 part", 100, "Jos\xE9 &#x27;&#8364;", true, "Jos\xE9 '\x80"},
        {"not in Windows-1252", 100, "Jos\xE9 &#x4E2D;", true, "Jos\xE9 &#x4E2D;"},
    };
    for (const OutputTextCase& c : cases)
        EXPECT_EQ(ExthOutputText(c.type, c.value, c.cp1252), c.written) << c.label;

    // The block writes each value through it, the record length following the shorter text.
    const std::string block = MakeExthBlock({{"creator", {"A&#x27;s", "B"}}});
    CByteReader r(block);
    EXPECT_EQ(r.U32At(8), 2u);
    EXPECT_EQ(r.U32At(16), 8u + 3u);
    EXPECT_EQ(block.substr(20, 3), "A's");
    EXPECT_EQ(block.substr(31, 1), "B");
}

TEST(RecordWriter, PalmDbLayout)
{
    std::vector<std::string> records = {"record zero", MakeFlisRecord(), MakeFcisRecord(123456),
                                        MakeEofRecord()};
    const std::string file = BuildPalmDb(records, "Name");
    CByteReader r(file);
    EXPECT_EQ(file.substr(0, 5), std::string("Name\0", 5));
    EXPECT_TRUE(r.Equals(60, "BOOKMOBI", 8));
    EXPECT_EQ(r.U16At(76), 4u);
    EXPECT_EQ(r.U32At(78), 4u * 8 + 80);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(r.U32At(78 + 8 * i + 4), 2 * i);
    CPalmDb db;
    ASSERT_EQ(db.OpenMemory(file), RC_OK);
    EXPECT_EQ(db.CheckEofRecord(), RC_OK);
    std::string back;
    ASSERT_EQ(db.ReadRecord(2, back), RC_OK);
    EXPECT_EQ(back.size(), 44u);
    EXPECT_EQ(CByteReader(back).U32At(20), 123456u);
    ASSERT_EQ(db.ReadRecord(1, back), RC_OK);
    EXPECT_EQ(back.size(), 36u);
    std::string head;
    EXPECT_NE(MakePalmDbHead(MakePalmDbHeader("Name"), {}, nullptr, head), RC_OK);
}

std::string A(size_t count)
{
    return std::string(count, 'a');
}

struct TextCase {
    const char* label;
    std::string text;
    std::vector<std::string> records;
};

TEST(RecordWriter, TextRecordsCarryTheRestOfTheirLastCharacter)
{
    const std::string euro = "\xE2\x82\xAC";
    const TextCase cases[] = {
        {"empty", "", {}},
        {"one byte, padded to 4", "a", {std::string("a\0", 2), std::string(2, '\0')}},
        {"two full pieces", A(8192), {A(4096) + '\0', A(4096) + '\0', std::string(2, '\0')}},
        {"3-byte character from the last byte on",
         A(4095) + euro + "b",
         {A(4095) + euro + '\x02',
          std::string("\x82\xAC"
                      "b\0",
                      4),
          std::string(1, '\0')}},
        {"2-byte character ending the piece",
         A(4094) + "\xC3\xA9" + "b",
         {A(4094) + "\xC3\xA9" + '\0', std::string("b\0", 2), std::string(1, '\0')}},
        {"4-byte character, two bytes in the piece",
         A(4094) + "\xF0\x9F\x98\x80",
         {A(4094) + "\xF0\x9F\x98\x80" + '\x02', std::string("\x98\x80\0", 3), std::string(2, '\0')}},
        {"character cut by the end of the text",
         std::string("ab\xE2\x82"),
         {std::string("ab\xE2\x82\0", 5), std::string(3, '\0')}},
        {"character cut by the end of the next piece",
         A(4095) + "\xE2\x82",
         {A(4095) + "\xE2\x82\x01", std::string("\x82\0", 2)}},
        {"one-byte last piece counts nothing",
         A(4096) + "\xE2",
         {A(4096) + '\0', std::string("\xE2\0", 2), std::string(1, '\0')}},
        {"count the trailing entry cannot hold",
         A(4095) + "\xF8\x80\x80\x80\x80",
         {A(4095) + "\xF8" + '\0', std::string("\x80\x80\x80\x80\0", 5), std::string(2, '\0')}},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.label);
        TextRecords made = MakeTextRecords(c.text);
        std::vector<std::string> records;
        for (size_t i = 0; i < made.Count(); ++i)
            records.emplace_back(made.Record(i));
        EXPECT_EQ(records, c.records);
        // What a reader keeps of each record gives the text back.
        std::string back;
        for (const std::string& r : records) {
            if (r.size() < 4 && r.find_first_not_of('\0') == std::string::npos) continue;
            int64_t kept = CutExtraData(reinterpret_cast<const uint8_t*>(r.data()), r.size(), 1);
            ASSERT_GE(kept, 0);
            back.append(r, 0, static_cast<size_t>(kept));
        }
        EXPECT_EQ(back, c.text);
    }
}

struct HeadCase {
    const char* label;
    std::vector<uint64_t> sizes;
    bool fits;
};

TEST(RecordWriter, PalmDbHeadRefusesWhatItsFieldsCannotHold)
{
    const uint64_t listEnd65535 = 78 + 8 * 65535 + 2;
    const HeadCase cases[] = {
        {"no records", {}, false},
        {"65,535 records", std::vector<uint64_t>(65535, 1), true},
        {"65,536 records", std::vector<uint64_t>(65536, 1), false},
        {"file of 4 GiB less a byte", {0xFFFFFFFFull - 88}, true},
        {"file of 4 GiB", {0xFFFFFFFFull - 87}, false},
        {"a record past 4 GiB after many", std::vector<uint64_t>(65535, 0xFFFFFFFFull / 65535), false},
        {"4 GiB record", {0x100000000ull}, false},
    };
    EXPECT_LT(listEnd65535, 0xFFFFFFFFull);
    for (const HeadCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::string head;
        ResultCode rc = MakePalmDbHead(MakePalmDbHeader("Name"), c.sizes, nullptr, head);
        EXPECT_EQ(rc, c.fits ? RC_OK : RC_FILE_WRITE_FAILED);
        EXPECT_EQ(head.size(), c.fits ? 78 + 8 * c.sizes.size() + 2 : 0u);
    }
}

TEST(RecordWriter, PalmDbHeadKeepsTheGivenHeader)
{
    std::string header = MakePalmDbHeader(std::string(40, 'n'));
    EXPECT_EQ(header.substr(0, 32), std::string(31, 'n') + '\0');
    PutU32At(header, 36, 0x12345678); // creation date
    std::string head;
    ASSERT_EQ(MakePalmDbHead(header, {5, 7, 4}, nullptr, head), RC_OK);
    CByteReader r(head);
    EXPECT_EQ(head.substr(0, 76), header.substr(0, 76));
    EXPECT_EQ(r.U16At(76), 3u);
    const uint32_t first = 3 * 8 + 80;
    const uint32_t expected[][2] = {{first, 0}, {first + 5, 2}, {first + 12, 4}};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(r.U32At(78 + 8 * i), expected[i][0]);
        EXPECT_EQ(r.U32At(82 + 8 * i), expected[i][1]);
    }
    EXPECT_EQ(head.size(), first);
}

// ---- whole files written and read back ---------------------------------------------------------------

// Three text records' worth of mixed UTF-8, so characters straddle record ends.
std::string BookText(const std::string& tag)
{
    std::string text = "<html><body><p>" + tag + "</p>";
    while (text.size() < 10000)
        text += "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 <b>" + tag + "</b> ";
    return text + "</body></html>";
}

// An FDST record of one section over the whole text.
std::string FdstRecord(uint32_t textLength)
{
    std::string r = "FDST";
    for (uint32_t v : {12u, 1u, 0u, textLength})
        AppendU32(r, v);
    return r;
}

MetaDataMap BookMetadata()
{
    return {
        {"title", {"A Title \xC3\xA9"}},
        {"creator", {"Ann One"}},
        {"language", {"de"}},
        {"coverimage", {"cover.jpg"}},
        {"languageid", {"00000007"}},
        // Stale values of a converted Kindle book, in both key spellings.
        {"MOBI_ID_00000121", {Be32(999)}},
        {"MOBI_ID_121", {Be32(998)}},
        {"MOBI_ID_00000201", {Be32(7)}},
        {"MOBI_ID_00000129", {"kindle:embed:0009"}},
    };
}

std::vector<std::string> BookResources()
{
    return {JpegBytes("cover"), JpegBytes("thumb"), JpegBytes("other")};
}

MobiPartText PartText(const std::string& text, bool kf8)
{
    MobiPartText part;
    part.m_Text = text;
    if (kf8) {
        part.m_IndexRecords = {"INDXskel",      "INDXskel-data", "INDXfrag",
                               "INDXfrag-data", "INDXncx",       "INDXguide"};
        part.m_SkeletonIndex = 0;
        part.m_ChunkIndex = 2;
        part.m_NcxIndex = 4;
        part.m_GuideIndex = 5;
        part.m_Fdst = FdstRecord(static_cast<uint32_t>(text.size()));
        part.m_FdstSections = 1;
    } else {
        part.m_IndexRecords = {"INDXncx", "INDXncx-data"};
        part.m_NcxIndex = 0;
    }
    return part;
}

std::string ExthValue(const CMobiHeader& part, int32_t type)
{
    auto it = part.m_Book.m_MetaData.find(CIntermediateBook::GetKeyByExthId(type));
    return it == part.m_Book.m_MetaData.end() || it->second.size() != 1 ? "(none or many)" : it->second[0];
}

// Checks one part read back against what was written.
void ExpectPart(CMobiHeader& part, const std::string& text, bool kf8, bool coverUri)
{
    const MobiHeaderFields& f = part.Fields();
    EXPECT_EQ(part.IsKf8(), kf8);
    EXPECT_EQ(f.m_MinimumVersion, kf8 ? 8u : 6u);
    EXPECT_EQ(f.m_Locale, 7u); // the source header's language travels in the header
    EXPECT_EQ(part.m_Record0.size() % 1024, 0u);
    EXPECT_EQ(part.m_FullName, "A Title \xC3\xA9");
    EXPECT_EQ(f.m_TextLength, text.size());
    EXPECT_EQ(f.m_ExtraDataFlags, 1u);
    ASSERT_EQ(part.UnpackTextRecord(ScratchDirectory()), RC_OK);
    EXPECT_EQ(part.m_Text, text);
    EXPECT_EQ(ExthValue(part, 503), "A Title \xC3\xA9");
    EXPECT_EQ(ExthValue(part, 100), "Ann One");
    EXPECT_EQ(ExthValue(part, 524), "de");
    EXPECT_EQ(part.m_Book.m_MetaData.count("MOBI_ID_121"), 0u);
    EXPECT_EQ(part.CoverOffset(), 0);
    EXPECT_EQ(part.ThumbOffset(), 1);
    EXPECT_EQ(ExthValue(part, 203), Be32(0));
    EXPECT_EQ(part.m_Book.m_MetaData.count(CIntermediateBook::GetKeyByExthId(129)), coverUri ? 1u : 0u);
    if (coverUri) {
        EXPECT_EQ(ExthValue(part, 129), "kindle:embed:0001");
    }

    // Every record number in record 0 names the record written for it.
    auto expectRecord = [&](uint32_t relative, const std::string& head) {
        SCOPED_TRACE(head);
        std::string bytes;
        ASSERT_EQ(part.ReadPartRecord(relative, bytes), RC_OK);
        EXPECT_EQ(bytes.substr(0, head.size()), head);
    };
    std::string record0 = part.m_Record0;
    CByteReader r(record0);
    expectRecord(r.U32At(0xD0), "FLIS");
    expectRecord(r.U32At(0xC8), "FCIS");
    expectRecord(f.m_Ncx, "INDXncx");
    if (kf8) {
        expectRecord(f.m_Fdst, "FDST");
        EXPECT_EQ(r.U32At(0xC4), 1u);
        expectRecord(f.m_Skel, "INDXskel");
        expectRecord(f.m_Chunk, "INDXfrag");
        expectRecord(f.m_Guide, "INDXguide");
    } else {
        EXPECT_EQ(r.U16At(0xC0), 1u);
        EXPECT_EQ(r.U16At(0xC2), r.U32At(0xD0) - 1);
        EXPECT_EQ(f.m_Chunk, NO_RECORD);
        EXPECT_EQ(f.m_Skel, NO_RECORD);
    }
    EXPECT_EQ(r.U32At(0x50), f.m_TextRecordCount + 1u);
}

std::vector<std::string> ListFolder(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct SinglePartCase {
    const char* label;
    MobiPartKind kind;
    bool kf8;
};

TEST(RecordWriter, SinglePartFilesReadBack)
{
    const SinglePartCase cases[] = {{"KF8 only", MobiPartKind::Kf8Only, true},
                                    {"MOBI 6", MobiPartKind::Kf7Only, false}};
    for (const SinglePartCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string text = BookText(c.label);
        std::vector<MobiPartRecords> parts(1);
        ASSERT_EQ(
            MakeRecord(c.kind, PartText(text, c.kf8), BookResources(), 0, BookMetadata(), nullptr, parts[0]),
            RC_OK);
        std::string dir = ScratchDirectory();
        ASSERT_EQ(MakeFile(dir + "book.bin", parts, nullptr), RC_OK);
        EXPECT_EQ(ListFolder(dir), std::vector<std::string>{"book.bin"});

        CFile file;
        ASSERT_EQ(file.Open(dir + "book.bin", false, false), RC_OK);
        CPalmDb db;
        ASSERT_EQ(db.Open(file), RC_OK);
        EXPECT_EQ(db.Name(), "tarvo.example");
        CMobiHeader first, kf8;
        bool joint = true;
        ASSERT_EQ(OpenMobiParts(db, first, kf8, joint, nullptr), RC_OK);
        EXPECT_FALSE(joint);
        ExpectPart(first, text, c.kf8, c.kf8);
        EXPECT_EQ(first.Fields().m_ExthFlags, 0x1050u);
        EXPECT_EQ(first.m_Book.m_MetaData.count(CIntermediateBook::GetKeyByExthId(121)), 0u);
        EXPECT_EQ(first.m_Book.m_MetaData.count("languageid"), 1u); // from the locale field, not EXTH
        EXPECT_EQ(first.m_Book.m_MetaData.count("coverimage"), 0u);
        ASSERT_EQ(first.GetCoverImage(dir + "cover.out"), RC_OK);
        std::string cover;
        ASSERT_TRUE(ReadFileBytes(dir + "cover.out", cover));
        EXPECT_EQ(cover, JpegBytes("cover"));

        // The unique ids run 0, 2, 4, ...
        const std::string bytes = ReadWholeFile(dir + "book.bin");
        CByteReader r(bytes);
        for (uint32_t i = 0; i < db.RecordCount(); ++i)
            EXPECT_EQ(r.U32At(78 + 8 * i + 4), 2 * i);
    }
}

TEST(RecordWriter, JointFileReadsBackBothParts)
{
    const std::string text7 = BookText("mobi 6"), text8 = BookText("kf8");
    std::vector<MobiPartRecords> parts(2);
    ASSERT_EQ(
        MakeRecord(MobiPartKind::JointKf8, PartText(text8, true), {}, 0, BookMetadata(), nullptr, parts[1]),
        RC_OK);
    // As joint output does, the KF8 text waits on disk while the MOBI 6 part is made.
    std::string dir = ScratchDirectory();
    ASSERT_TRUE(SpillTextRecords(parts[1].m_TextRecords, dir + "kf8-text.tmp"));
    EXPECT_TRUE(parts[1].m_TextRecords.m_Block.empty());
    ASSERT_EQ(MakeRecord(MobiPartKind::JointKf7, PartText(text7, false), BookResources(), 0, BookMetadata(),
                         nullptr, parts[0]),
              RC_OK);
    EXPECT_TRUE(parts[1].m_ResourceRecords.empty());
    // The KF8 record 0 follows record 0, the text, index and resource records, FLIS, FCIS and "BOUNDARY".
    const size_t kf8Base = 1 + parts[0].m_TextRecords.Count() + parts[0].m_IndexRecords.size() + 3 + 2 + 1;
    ASSERT_EQ(MakeFile(dir + "joint.mobi", parts, nullptr), RC_OK);

    CFile file;
    ASSERT_EQ(file.Open(dir + "joint.mobi", false, false), RC_OK);
    CPalmDb db;
    ASSERT_EQ(db.Open(file), RC_OK);
    CMobiHeader first, kf8;
    bool joint = false;
    ASSERT_EQ(OpenMobiParts(db, first, kf8, joint, nullptr), RC_OK);
    ASSERT_TRUE(joint);
    EXPECT_EQ(kf8.BaseRecord(), kf8Base);
    EXPECT_EQ(ExthValue(first, 121), Be32(static_cast<uint32_t>(kf8Base)));
    EXPECT_EQ(ExthValue(first, 125), Be32(3));
    EXPECT_EQ(ExthValue(first, 131), Be32(3));
    EXPECT_EQ(first.Fields().m_ExthFlags, 0x1850u);
    EXPECT_EQ(kf8.Fields().m_ExthFlags, 0x1050u);
    EXPECT_EQ(kf8.m_Book.m_MetaData.count(CIntermediateBook::GetKeyByExthId(121)), 0u);
    std::string mark;
    ASSERT_EQ(db.ReadRecord(static_cast<uint32_t>(kf8Base - 1), mark), RC_OK);
    EXPECT_EQ(mark, "BOUNDARY");
    {
        SCOPED_TRACE("MOBI 6 part");
        ExpectPart(first, text7, false, true);
    }
    {
        SCOPED_TRACE("KF8 part");
        ExpectPart(kf8, text8, true, true);
    }
    EXPECT_EQ(db.RecordCount(), kf8Base + 1 + kf8.Fields().m_TextRecordCount + 6 + 4);
}

TEST(RecordWriter, RefusedFileLeavesTheTargetAsItWas)
{
    std::string dir = ScratchDirectory();
    const std::string old = "an older book";
    ASSERT_EQ(WriteWholeFile(dir + "book.azw3", old), RC_OK);

    // A part of more records than a file can number is refused before anything is written.
    MobiPartRecords refused;
    EXPECT_EQ(MakeRecord(MobiPartKind::Kf8Only, PartText("x", true), std::vector<std::string>(65530, "r"), -1,
                         {}, nullptr, refused),
              RC_FILE_WRITE_FAILED);
    EXPECT_EQ(MakeRecord(MobiPartKind::Kf7Only, PartText("x", false), {}, 0, {}, nullptr, refused), RC_OK);
    EXPECT_EQ(refused.m_Record0.substr(0, 4), std::string("\0\x01\0\0", 4));

    std::vector<MobiPartRecords> parts(1);
    ASSERT_EQ(MakeRecord(MobiPartKind::Kf8Only, PartText("x", true), {}, -1, {}, nullptr, parts[0]), RC_OK);
    parts[0].m_ResourceRecords.assign(65536, "r");
    EXPECT_EQ(MakeFile(dir + "book.azw3", parts, nullptr), RC_FILE_WRITE_FAILED);
    EXPECT_EQ(ReadWholeFile(dir + "book.azw3"), old);
    EXPECT_EQ(ListFolder(dir), std::vector<std::string>{"book.azw3"});

    // A folder that does not exist: nothing to create the file in.
    parts[0].m_ResourceRecords.clear();
    EXPECT_EQ(MakeFile(dir + "missing/book.azw3", parts, nullptr), RC_FILE_OPEN_FAILED);
}

} // namespace

struct LocaleCase {
    const char* label;
    MetaDataMap metadata;
    uint32_t locale;
};

TEST(RecordWriter, HeaderLocaleFollowsTheBookLanguage)
{
    const LocaleCase cases[] = {
        {"EPUB in English", {{"language", {"en"}}}, 0x09},
        {"EPUB in Japanese", {{"language", {"ja"}}}, 0x11},
        {"region", {{"language", {"pt-BR"}}}, 0x0416},
        {"Kindle source keeps its region", {{"language", {"en"}}, {"languageid", {"00001033"}}}, 0x0409},
        {"language set on conversion", {{"language", {"fr"}}, {"languageid", {"00001033"}}}, 0x0C},
        {"Kindle source without EXTH 524", {{"languageid", {"00000017"}}}, 0x11},
        {"no language anywhere", {}, 0},
        {"unknown language", {{"language", {"tlh"}}, {"languageid", {"00000009"}}}, 0},
    };
    for (const LocaleCase& c : cases) {
        SCOPED_TRACE(c.label);
        for (MobiPartKind kind : {MobiPartKind::Kf8Only, MobiPartKind::JointKf7}) {
            MobiPartRecords part;
            MetaDataMap metadata = c.metadata;
            metadata["title"] = {"Tom &amp;#x27;n&#x27; Jerry"};
            const bool kf8 = kind == MobiPartKind::Kf8Only;
            ASSERT_EQ(
                MakeRecord(kind, PartText(BookText("x"), kf8), BookResources(), -1, metadata, nullptr, part),
                RC_OK);
            CByteReader r(part.m_Record0);
            EXPECT_EQ(r.U32At(0x5C), c.locale);
            // The full name shows the title as readers should: one level of escaping undone.
            EXPECT_EQ(part.m_Record0.substr(r.U32At(0x54), r.U32At(0x58)), "Tom &#x27;n' Jerry");
        }
    }
}
