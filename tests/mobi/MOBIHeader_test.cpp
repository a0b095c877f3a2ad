#include "mobi/MOBIHeader.h"

#include "base/Files.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include <gtest/gtest.h>

using namespace mobitest;

namespace
{

std::string First(const CMobiHeader& part, const std::string& key)
{
    auto found = part.m_Book.m_MetaData.find(key);
    return found == part.m_Book.m_MetaData.end() || found->second.empty() ? std::string() : found->second[0];
}

size_t Count(const CMobiHeader& part, const std::string& key)
{
    auto found = part.m_Book.m_MetaData.find(key);
    return found == part.m_Book.m_MetaData.end() ? 0 : found->second.size();
}

// Expected values as `mobitool -i` and `mobitool -7 -i` print them (first resource made absolute).
struct PartExpect {
    uint32_t base;
    uint16_t textRecords;
    int64_t firstResource;
    uint32_t ncx;
    bool kf8;
};
struct BookCase {
    const char* file;
    const char* title;
    const char* creator;
    const char* language;
    const char* languageId;
    int64_t cover;
    int64_t thumb;
    bool cp1252;
    bool joint;
    PartExpect first;
    PartExpect second;
};

const BookCase kBooks[] = {
    {"qs-eng-mobi6.mobi",
     "Quick Start Guide",
     "John Schember",
     "en",
     "00000009",
     0,
     1,
     false,
     false,
     {0, 11, 16, 13, false},
     {}},
    {"qs-eng-joint.mobi",
     "Quick Start Guide",
     "John Schember",
     "en",
     "00000009",
     0,
     1,
     false,
     true,
     {0, 11, 16, 13, false},
     {21, 13, 47, 23, true}},
    {"qs-eng-kf8.azw3",
     "Quick Start Guide",
     "John Schember",
     "en",
     "00000009",
     0,
     1,
     false,
     false,
     {0, 13, 25, 22, true},
     {}},
    {"cp1252-mobi6.mobi",
     "Libmobi test sample",
     "Bartek Fabiszewski",
     "",
     "00001033",
     1,
     2,
     true,
     false,
     {0, 22, 27, 24, false},
     {}},
    {"huffdic-joint.mobi",
     "Libmobi",
     "Bartek Fabiszewski",
     "en-us",
     "00001033",
     1,
     3,
     false,
     true,
     {0, 28, 35, 29, false},
     {46, 27, 89, 37, true}},
    {"uncompressed-joint.mobi",
     "Libmobi test sample",
     "Bartek Fabiszewski",
     "en-us",
     "00001033",
     1,
     3,
     false,
     true,
     {0, 28, 32, 29, false},
     {42, 27, 82, 37, true}},
    {"font-kf8.mobi",
     "font",
     "Unknown",
     "en",
     "00000009",
     -1,
     -1,
     false,
     false,
     {0, 4, 11, NO_RECORD, true},
     {}},
    {"ncx-joint.mobi",
     "libmobi ncx test",
     "",
     "en",
     "00000009",
     -1,
     -1,
     false,
     true,
     {0, 1, 6, 3, false},
     {12, 1, 22, 7, true}},
};

void ExpectPart(const CMobiHeader& part, const BookCase& book, const PartExpect& e)
{
    EXPECT_EQ(part.BaseRecord(), e.base);
    EXPECT_EQ(part.Fields().m_TextRecordCount, e.textRecords);
    EXPECT_EQ(part.FirstResourceRecord(), e.firstResource);
    EXPECT_EQ(part.Fields().m_Ncx, e.ncx == NO_RECORD ? NO_RECORD : e.ncx);
    EXPECT_EQ(part.IsKf8(), e.kf8);
    EXPECT_EQ(part.IsCp1252(), book.cp1252);
    EXPECT_EQ(First(part, "title"), book.title);
    EXPECT_EQ(First(part, "creator"), book.creator);
    EXPECT_EQ(First(part, "language"), book.language);
    EXPECT_EQ(First(part, "languageid"), book.languageId);
    EXPECT_EQ(part.CoverOffset(), book.cover);
    EXPECT_EQ(part.ThumbOffset(), book.thumb);
}

TEST(MobiHeader, RealBooksMatchTheReferenceReader)
{
    for (const BookCase& book : kBooks) {
        SCOPED_TRACE(book.file);
        CFile file;
        ASSERT_EQ(file.Open(DataPath(book.file), false, false), RC_OK);
        CPalmDb db;
        ASSERT_EQ(db.Open(file), RC_OK);
        CMobiHeader first, kf8;
        bool joint = false;
        ASSERT_EQ(OpenMobiParts(db, first, kf8, joint, nullptr), RC_OK);
        EXPECT_EQ(joint, book.joint);
        ExpectPart(first, book, book.first);
        if (book.joint) {
            EXPECT_EQ(first.LastRecord(), book.second.base - 2);
            ExpectPart(kf8, book, book.second);
            EXPECT_EQ(kf8.LastRecord(), db.RecordCount() - 1);
        }
    }
}

TEST(MobiHeader, CoverIsTheJpegRecordOfTheFirstPart)
{
    CFile file;
    ASSERT_EQ(file.Open(DataPath("cp1252-mobi6.mobi"), false, false), RC_OK);
    CPalmDb db;
    ASSERT_EQ(db.Open(file), RC_OK);
    CMobiHeader part;
    ASSERT_EQ(part.Init(db, 0, nullptr), RC_OK);
    std::string path = ScratchDirectory() + "cover.jpg";
    ASSERT_EQ(part.GetCoverImage(path), RC_OK);
    std::string cover, record;
    ASSERT_TRUE(ReadFileBytes(path, cover));
    ASSERT_EQ(db.ReadRecord(27 + 1, record), RC_OK); // first image 27 + cover offset 1
    EXPECT_EQ(cover, record);
    EXPECT_EQ(First(part, "coverimageext"), "jpg");
}

// ---- record 0 built by hand ----------------------------------------------------------------------

ResultCode OpenBuilt(const Record0& header, std::vector<std::string> rest, CMobiHeader& part,
                     std::string& file, CPalmDb& db)
{
    rest.insert(rest.begin(), header.Build());
    file = BuildPalmDb(rest);
    ResultCode rc = db.OpenMemory(file);
    if (rc != RC_OK) return rc;
    return part.Init(db, 0, nullptr);
}

struct Record0Case {
    const char* label;
    void (*header)(Record0&);                    // field edits before building
    void (*bytes)(const Record0&, std::string&); // byte edits after
    ResultCode rc;
};

const Record0Case kRecord0Cases[] = {
    {"valid", nullptr, nullptr, RC_OK},
    {"compression 3", [](Record0& h) { h.compression = 3; }, nullptr, RC_MOBI_COMPRESSION},
    {"code page 1250", [](Record0& h) { h.encoding = 1250; }, nullptr, RC_MOBI_CODEPAGE},
    {"header length 0", nullptr, [](const Record0&, std::string& r) { PutU32At(r, 0x14, 0); },
     RC_MOBI_HEADER_MAGIC},
    {"header length negative", nullptr,
     [](const Record0&, std::string& r) { PutU32At(r, 0x14, 0x80000000u); }, RC_MOBI_HEADER_MAGIC},
    {"no MOBI magic", nullptr, [](const Record0&, std::string& r) { r.replace(16, 4, "MOBY"); },
     RC_MOBI_HEADER_MAGIC},
    {"no EXTH magic", nullptr,
     [](const Record0& h, std::string& r) { r.replace(16 + h.headerLength, 4, "EXTX"); }, RC_MOBI_EXTH_MAGIC},
    {"EXTH length past record 0", nullptr,
     [](const Record0& h, std::string& r) {
         PutU32At(r, 16 + h.headerLength + 4, static_cast<uint32_t>(r.size()));
     },
     RC_MOBI_EXTH_LENGTH},
    {"empty record 0", nullptr, [](const Record0&, std::string& r) { r.clear(); }, RC_MOBI_HEADER_MAGIC},
};

TEST(MobiHeader, Record0FaultsGiveExactCodes)
{
    for (const Record0Case& c : kRecord0Cases) {
        SCOPED_TRACE(c.label);
        Record0 header;
        header.exthRecords = {{503, "Title"}};
        if (c.header != nullptr) c.header(header);
        std::string record0 = header.Build();
        if (c.bytes != nullptr) c.bytes(header, record0);
        CPalmDb db;
        std::string file = BuildPalmDb({record0, "text", EndOfFileRecord()});
        ASSERT_EQ(db.OpenMemory(file), RC_OK);
        CMobiHeader part;
        EXPECT_EQ(part.Init(db, 0, nullptr), c.rc);
    }
}

TEST(MobiHeader, ExthRulesForTitleCoverAndSingleValues)
{
    struct Case {
        const char* label;
        bool exth;
        std::vector<std::pair<uint32_t, std::string>> records;
        const char* title;
        size_t creators;
        int64_t cover;
        size_t coverKeys;
    };
    const Case cases[] = {
        {"no EXTH flag: no title fallback", false, {}, "", 0, -1, 0},
        {"no title record: full name", true, {{100, "A"}}, "Full Name", 1, -1, 0},
        {"two titles keep the first", true, {{503, "One"}, {503, "Two"}}, "One", 0, -1, 0},
        {"two creators stay two", true, {{100, "A"}, {100, "B"}}, "Full Name", 2, -1, 0},
        {"cover offset of 4 bytes", true, {{201, Be32(3)}}, "Full Name", 0, 3, 1},
        {"cover offset of 2 bytes is dropped", true, {{201, std::string("\0\3", 2)}}, "Full Name", 0, -1, 0},
        {"negative cover offset is dropped", true, {{201, Be32(0xFFFFFFFEu)}}, "Full Name", 0, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Record0 header;
        header.exth = c.exth;
        header.exthRecords = c.records;
        header.firstResource = 2;
        CMobiHeader part;
        CPalmDb db;
        std::string file;
        ASSERT_EQ(OpenBuilt(header, {"text", JpegBytes(), EndOfFileRecord()}, part, file, db), RC_OK);
        EXPECT_EQ(First(part, "title"), c.title);
        EXPECT_EQ(Count(part, "creator"), c.creators);
        EXPECT_EQ(part.CoverOffset(), c.cover);
        EXPECT_EQ(Count(part, "MOBI_ID_00000201"), c.coverKeys);
        EXPECT_EQ(First(part, "languageid"), "00000009");
    }
}

TEST(MobiHeader, PageDirectionAndFixedLayoutReachTheBook)
{
    struct Case {
        const char* label;
        std::vector<std::pair<uint32_t, std::string>> records;
        bool rightToLeft, fixedLayout;
    };
    const Case cases[] = {
        {"none", {{503, "T"}}, false, false},
        {"right to left", {{525, "horizontal-rl"}, {527, "rtl"}}, true, false},
        {"left to right", {{527, "ltr"}}, false, false},
        {"fixed layout", {{122, "true"}, {307, "1200x1600"}}, false, true},
        {"fixed layout off", {{122, "false"}}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Record0 header;
        header.exthRecords = c.records;
        CMobiHeader part;
        CPalmDb db;
        std::string file;
        ASSERT_EQ(OpenBuilt(header, {"text", EndOfFileRecord()}, part, file, db), RC_OK);
        EXPECT_EQ(part.m_Book.m_RightToLeft, c.rightToLeft);
        EXPECT_EQ(part.m_Book.m_FixedLayout, c.fixedLayout);
    }
}

TEST(MobiHeader, Kf8BoundaryNeedsTheBoundaryRecord)
{
    for (const char* mark : {"BOUNDARY", "BOUNDARZ"}) {
        SCOPED_TRACE(mark);
        Record0 kf7;
        kf7.exthRecords = {{121, Be32(3)}};
        Record0 kf8;
        kf8.version = 8;
        kf8.exthRecords = {{503, "KF8 title"}};
        std::string file =
            BuildPalmDb({kf7.Build(), "text", mark, kf8.Build(), "kf8 text", EndOfFileRecord()});
        CPalmDb db;
        ASSERT_EQ(db.OpenMemory(file), RC_OK);
        CMobiHeader first, second;
        bool joint = false;
        ASSERT_EQ(OpenMobiParts(db, first, second, joint, nullptr), RC_OK);
        bool real = mark == std::string("BOUNDARY");
        EXPECT_EQ(joint, real);
        EXPECT_EQ(first.LastRecord(), real ? 1u : 5u);
        if (real) {
            EXPECT_EQ(First(second, "title"), "KF8 title");
            EXPECT_TRUE(second.IsKf8());
        }
    }
}

TEST(MobiHeader, ReopeningKeepsNothingOfTheLastBook)
{
    Record0 withCover;
    withCover.firstResource = 2;
    withCover.exthRecords = {{503, "First"}, {100, "A"}, {201, Be32(0)}};
    Record0 plain;
    plain.firstResource = 2;
    plain.exthRecords = {{503, "Second"}};
    std::string one = BuildPalmDb({withCover.Build(), "text", JpegBytes(), EndOfFileRecord()});
    std::string two = BuildPalmDb({plain.Build(), "text", JpegBytes(), EndOfFileRecord()});
    CPalmDb first, second;
    ASSERT_EQ(first.OpenMemory(one), RC_OK);
    ASSERT_EQ(second.OpenMemory(two), RC_OK);
    CMobiHeader part;
    ASSERT_EQ(part.Init(first, 0, nullptr), RC_OK);
    EXPECT_EQ(part.m_Book.m_CoverImageIndex, 0);
    ASSERT_EQ(part.Init(second, 0, nullptr), RC_OK);
    EXPECT_EQ(First(part, "title"), "Second");
    EXPECT_EQ(Count(part, "creator"), 0u);
    EXPECT_EQ(part.CoverOffset(), -1);
    EXPECT_EQ(part.m_Book.m_CoverImageIndex, -1);
}

// ---- resources -----------------------------------------------------------------------------------

std::string ContainerHead(const std::string& contentType)
{
    std::string r = "CONT" + std::string(44, '\0');
    std::string body = Be32(539) + Be32(static_cast<uint32_t>(8 + contentType.size())) + contentType;
    r += "EXTH" + Be32(static_cast<uint32_t>(12 + body.size())) + Be32(1) + body;
    return r;
}

TEST(MobiHeader, UnpackAllRecordNamesAndTrimsResources)
{
    std::string zeros4(4, '\0');
    std::string media = Be32(12) + Be32(0);
    std::vector<std::string> records = {
        "text",                                            // 1
        JpegBytes("\xFF\xD9") + zeros4,                    // 2 Image00000.jpg, keeps its four zeros
        JpegBytes("\xFF\xD9") + std::string(3, '\0'),      // 3 Image00001.jpg, loses three
        "CRES" + Be32(0) + Be32(0) + JpegBytes(),          // 4 before any container: skipped
        "FONT" + std::string(20, 'f') + "data",            // 5 FONT00003.ttf, whole
        "AUDI" + media + "mp3data" + std::string(2, '\0'), // 6 AUDI00004.mp3
        "VIDE" + Be32(8) + Be32(0) + "mp4",                // 7 wrong head size: skipped
        "BOUNDARY",                                        // 8
        ContainerHead("application/image"),                // 9
        "CRES" + Be32(0) + Be32(0) + JpegBytes(),          // 10 CRES_Image8.jpg
        "kind" + std::string(8, 'k'),                      // 11 embed9.bin
        "CONTBOUNDARY",                                    // 12 closes the container
        "kind" + std::string(8, 'k'),                      // 13 outside: skipped
        "FLIS" + std::string(32, '\0'),                    // 14
        "abc",                                             // 15 under 4 bytes
        EndOfFileRecord(),                                 // 16
    };
    Record0 header;
    header.firstResource = 2;
    CMobiHeader part;
    CPalmDb db;
    std::string file;
    ASSERT_EQ(OpenBuilt(header, records, part, file, db), RC_OK);
    std::string dir = ScratchDirectory();
    ASSERT_EQ(part.UnpackAllRecord(dir), RC_OK);
    const std::vector<std::string> expected = {"Image00000.jpg", "Image00001.jpg",  "FONT00003.ttf",
                                               "AUDI00004.mp3",  "CRES_Image8.jpg", "embed9.bin"};
    EXPECT_EQ(part.m_ResourceFiles, expected);
    EXPECT_EQ(part.m_ResourceMap[4], "AUDI00004.mp3");
    EXPECT_TRUE(part.m_RecordsToUnpack.empty());

    struct Written {
        const char* name;
        std::string bytes;
    };
    const Written written[] = {
        {"Image00000.jpg", records[1]},   {"Image00001.jpg", JpegBytes("\xFF\xD9")},
        {"FONT00003.ttf", records[4]},    {"AUDI00004.mp3", "mp3data"},
        {"CRES_Image8.jpg", JpegBytes()}, {"embed9.bin", records[10]},
    };
    for (const Written& w : written) {
        SCOPED_TRACE(w.name);
        std::string bytes;
        ASSERT_TRUE(ReadFileBytes(dir + w.name, bytes));
        EXPECT_EQ(bytes, w.bytes);
    }
}

TEST(MobiHeader, CoverRecordMustBeAnImage)
{
    struct Case {
        const char* label;
        uint32_t cover;
        ResultCode rc;
        bool written;
    };
    const Case cases[] = {
        {"image", 0, RC_OK, true},
        {"font record", 1, RC_MOBI_COVER_NOT_IMAGE, false},
        {"past the content records", 2, RC_OK, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Record0 header;
        header.firstResource = 2;
        header.exthRecords = {{201, Be32(c.cover)}};
        CMobiHeader part;
        CPalmDb db;
        std::string file;
        ASSERT_EQ(OpenBuilt(header, {"text", JpegBytes(), "FONT" + std::string(24, 'f'), EndOfFileRecord()},
                            part, file, db),
                  RC_OK);
        std::string path = ScratchDirectory() + "cover.jpg";
        EXPECT_EQ(part.GetCoverImage(path), c.rc);
        EXPECT_EQ(FileExists(path), c.written);
    }
}

// ---- text and the print replica PDF ---------------------------------------------------------------

TEST(MobiHeader, PrintReplicaPdfIsUnpacked)
{
    std::string pdf = "%PDF-1.4 tiny";
    struct Case {
        const char* label;
        uint32_t count;
        uint32_t offset;
        uint32_t length;
        ResultCode rc;
    };
    const Case cases[] = {
        {"one document", 1, 20, static_cast<uint32_t>(pdf.size()), RC_AZW4_UNPACKED},
        {"two documents", 2, 20, static_cast<uint32_t>(pdf.size()), RC_MOBI_AZW4_PDFS},
        {"length past the text", 1, 20, 0xFFFFFFF0u, RC_MOBI_AZW4_PDFS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string text = "%MOP" + Be32(c.count) + Be32(0) + Be32(c.offset) + Be32(c.length) + pdf;
        Record0 header;
        CMobiHeader part;
        CPalmDb db;
        std::string file;
        ASSERT_EQ(OpenBuilt(header, {text, EndOfFileRecord()}, part, file, db), RC_OK);
        std::string dir = ScratchDirectory();
        EXPECT_EQ(part.UnpackTextRecord(dir), c.rc);
        std::string written;
        EXPECT_EQ(ReadFileBytes(dir + "content.pdf", written), c.rc == RC_AZW4_UNPACKED);
        if (c.rc == RC_AZW4_UNPACKED) {
            EXPECT_EQ(written, pdf);
        }
    }
}

TEST(MobiHeader, TextEndsAtAShortZeroRecord)
{
    struct Case {
        const char* label;
        std::string third;
        std::string text;
    };
    const Case cases[] = {
        {"three zero bytes end the text", std::string(3, '\0'), "ab"},
        {"three other bytes are text", std::string("\0x\0", 3), std::string("ab\0x\0", 5) + "cd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Record0 header;
        header.textRecords = 4;
        CMobiHeader part;
        CPalmDb db;
        std::string file;
        ASSERT_EQ(OpenBuilt(header, {"a", "b", c.third, "cd", EndOfFileRecord()}, part, file, db), RC_OK);
        ASSERT_EQ(part.UnpackTextRecord(ScratchDirectory()), RC_OK);
        EXPECT_EQ(part.m_Text, c.text);
    }
}

} // namespace
