#include "base/Zip.h"

#include "TestSupport.h"
#include "base/Clock.h"
#include "base/Folders.h"
#include "base/ZipBomb.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <random>

namespace
{

std::string Le16(uint32_t v)
{
    return {char(v & 0xff), char((v >> 8) & 0xff)};
}
std::string Le32(uint32_t v)
{
    return Le16(v & 0xffff) + Le16(v >> 16);
}
uint32_t Get32(const std::string& s, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
uint16_t Get16(const std::string& s, size_t at)
{
    const auto low = static_cast<unsigned char>(s[at]), high = static_cast<unsigned char>(s[at + 1]);
    return static_cast<uint16_t>(low | high << 8);
}

std::string Deflate(const std::string& data, int flush = Z_FINISH)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Local(const std::string& name, uint16_t method, uint32_t packed, uint32_t size,
                  const std::string& body)
{
    return Le32(0x04034B50) + Le16(20) + Le16(0) + Le16(method) + Le32(0) + Le32(0) + Le32(packed) +
           Le32(size) + Le16(uint32_t(name.size())) + Le16(0) + name + body;
}
std::string Central(const std::string& name, uint16_t method, uint32_t packed, uint32_t size, uint32_t offset)
{
    return Le32(0x02014B50) + Le16(20) + Le16(20) + Le16(0) + Le16(method) + Le32(0) + Le32(0) +
           Le32(packed) + Le32(size) + Le16(uint32_t(name.size())) + Le16(0) + Le16(0) + Le16(0) + Le16(0) +
           Le32(0) + Le32(offset) + name;
}
std::string End(uint32_t count, uint32_t dirSize, uint32_t dirOffset, uint32_t commentLength = 0)
{
    return Le32(0x06054B50) + Le32(0) + Le16(count) + Le16(count) + Le32(dirSize) + Le32(dirOffset) +
           Le16(commentLength);
}

struct RawEntry {
    std::string name;
    std::string data;
    uint16_t method;
    uint32_t centralPacked; // 0xFFFFFFFF: the real length
    uint32_t declared;      // uncompressed size in both headers
};
// An archive built byte by byte, so its headers can say what the test wants.
std::string RawArchive(const std::vector<RawEntry>& entries)
{
    std::string body, dir;
    for (const RawEntry& e : entries) {
        std::string stored = e.method == 0 ? e.data : Deflate(e.data);
        uint32_t packed = e.centralPacked == 0xFFFFFFFF ? uint32_t(stored.size()) : e.centralPacked;
        dir += Central(e.name, e.method, packed, e.declared, uint32_t(body.size()));
        body += Local(e.name, e.method, uint32_t(stored.size()), e.declared, stored);
    }
    return body + dir + End(uint32_t(entries.size()), uint32_t(dir.size()), uint32_t(body.size()));
}

std::string Names(const CZip& zip)
{
    std::string names;
    for (const ZipEntry& e : zip.m_Entries)
        names += (names.empty() ? "" : "|") + e.m_Name;
    return names;
}

// The central records of an archive we wrote (no comment), as seen by another reader.
struct Record {
    std::string name;
    uint16_t versionNeeded, method;
    uint32_t crc, packed, size, headerOffset;
};
std::vector<Record> CentralRecords(const std::string& archive)
{
    std::vector<Record> records;
    const size_t end = archive.size() - 22;
    for (size_t at = Get32(archive, end + 16); at < end;) {
        Record r{archive.substr(at + 46, Get16(archive, at + 28)),
                 Get16(archive, at + 6),
                 Get16(archive, at + 10),
                 Get32(archive, at + 16),
                 Get32(archive, at + 20),
                 Get32(archive, at + 24),
                 Get32(archive, at + 42)};
        at += 46 + r.name.size();
        records.push_back(r);
    }
    return records;
}

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

std::string Text(size_t n)
{
    static const char* words[] = {"the ", "book ", "<p>", "chapter ", "river ", "</p>\n", "light ", "and "};
    std::mt19937 rng(7);
    std::string s;
    while (s.size() < n)
        s += words[rng() % 8];
    s.resize(n);
    return s;
}

bool ProgramExists(const char* path)
{
    return ::access(path, X_OK) == 0;
}

ResultCode OpenAndList(CZip& zip, const std::string& path)
{
    ResultCode rc = zip.Open(path, false, false);
    return rc != RC_OK ? rc : zip.ReadDirectory();
}

// An archive of one deflated entry holding packed as it is, listed and ready to read as "d.bin".
void OpenPacked(CZip& zip, const ScratchDir& dir, const std::string& packed, uint32_t size)
{
    const std::string local = Local("d.bin", 8, uint32_t(packed.size()), size, packed);
    const std::string central = Central("d.bin", 8, uint32_t(packed.size()), size, 0);
    ASSERT_EQ(WriteWholeFile(dir / "d.zip",
                             local + central + End(1, uint32_t(central.size()), uint32_t(local.size()))),
              RC_OK);
    ASSERT_EQ(OpenAndList(zip, dir / "d.zip"), RC_OK);
}

const std::vector<std::pair<std::string, std::string>> kBook = {
    {"mimetype", "application/epub+zip"},
    {"META-INF/container.xml", "<container/>"},
    {"OEBPS/Text/ch1.html", Text(100000)},
    {"OEBPS/Images/a.jpg", RandomBytes(30000, 1)},
    {"OEBPS/one.txt", "x"},
    {"OEBPS/big.html", Text(300000)},
};

std::string WriteBook(const ScratchDir& dir, const std::string& name = "book.epub")
{
    CZip zip;
    for (const auto& file : kBook)
        zip.AddFile(file.first, file.second);
    zip.m_Entries[0].m_Method = 0;
    EXPECT_EQ(zip.WriteArchive(dir / name, zip.m_Entries, false, false), RC_OK);
    return dir / name;
}

} // namespace

TEST(Zip, WrittenArchiveReadsBackByteForByte)
{
    ScratchDir dir;
    const std::string path = WriteBook(dir);
    CZip zip;
    ASSERT_EQ(OpenAndList(zip, path), RC_OK);
    ASSERT_EQ(zip.m_Entries.size(), kBook.size()) << "directory entries are not listed";
    for (const auto& file : kBook) {
        SCOPED_TRACE(file.first);
        std::string data;
        ASSERT_EQ(zip.GetFileBuffer(file.first, data), RC_OK);
        EXPECT_EQ(data, file.second);
        ASSERT_EQ(zip.GetFilePrefix(file.first, 5000, data), RC_OK);
        EXPECT_EQ(data, file.second.substr(0, 5000));
    }
    std::string missing;
    EXPECT_EQ(zip.GetFileBuffer("OEBPS/none.html", missing), RC_ZIP_FILE_CONTENT);
    if (!ProgramExists("/usr/bin/unzip")) GTEST_SKIP() << "unzip is not installed";
    CommandRun run = RunProgramCapture("/usr/bin/unzip", {"-t", "-q", path}, "");
    EXPECT_EQ(run.exitStatus, 0) << run.out;
}

TEST(Zip, WriterInsertsFoldersAndKeepsRecordLayout)
{
    ScratchDir dir;
    std::string archive;
    ASSERT_TRUE(ReadFileBytes(WriteBook(dir), archive));
    std::vector<Record> records = CentralRecords(archive);
    std::vector<std::string> names;
    for (const Record& r : records)
        names.push_back(r.name);
    const std::vector<std::string> expected = {
        "mimetype",      "META-INF/",           "META-INF/container.xml", "OEBPS/",
        "OEBPS/Text/",   "OEBPS/Text/ch1.html", "OEBPS/Images/",          "OEBPS/Images/a.jpg",
        "OEBPS/one.txt", "OEBPS/big.html"};
    EXPECT_EQ(names, expected);
    // mimetype stays stored; the 1-byte entry does not fit twice its size deflated, so it is stored
    // but keeps version 20 because compression was tried.
    EXPECT_EQ(records[0].method, 0);
    EXPECT_EQ(records[0].versionNeeded, 10);
    EXPECT_EQ(archive.substr(30, 8), "mimetype");
    EXPECT_EQ(records[8].method, 0);
    EXPECT_EQ(records[8].versionNeeded, 20);
    EXPECT_EQ(records[9].method, 8);
    EXPECT_EQ(records[1].crc, 0u);
    EXPECT_EQ(records[1].size, 0u);
    for (const Record& r : records) {
        SCOPED_TRACE(r.name);
        const std::string local = archive.substr(r.headerOffset, 30);
        EXPECT_EQ(Get32(local, 0), 0x04034B50u);
        EXPECT_EQ(Get16(local, 4), r.versionNeeded);
        EXPECT_EQ(Get16(local, 6), 0) << "no flags, no data descriptor";
        EXPECT_EQ(Get32(local, 14), r.crc);
        EXPECT_EQ(Get32(local, 18), r.packed);
        EXPECT_EQ(Get16(local, 28), 0) << "no extra field";
    }
    EXPECT_EQ(records[2].crc, crc32(0, reinterpret_cast<const Bytef*>("<container/>"), 12));
    const size_t end = archive.size() - 22;
    EXPECT_EQ(Get16(archive, end + 8), records.size());
    EXPECT_EQ(Get32(archive, end + 12) + Get32(archive, end + 16), end);
}

TEST(Zip, EntryTimesAreTheLocalDosTime)
{
    uint16_t dateBefore = 0, timeBefore = 0, date = 0, time = 0;
    DosDateTime(dateBefore, timeBefore);
    CZip zip;
    zip.AddFile("a.txt", "a");
    DosDateTime(date, time);
    EXPECT_EQ(zip.m_Entries[0].m_Date, date);
    EXPECT_GE(zip.m_Entries[0].m_Time, timeBefore);
    EXPECT_LE(zip.m_Entries[0].m_Time, time);
    EXPECT_EQ(DosTimeOf(10, 20, 31), 10 * 2048 + 20 * 32 + 15);
}

TEST(Zip, AddFileReplacesAnEntryOfAnyCase)
{
    CZip zip;
    zip.AddFile("OEBPS/Content.opf", "old");
    zip.AddFile("oebps/content.OPF", "new");
    ASSERT_EQ(zip.m_Entries.size(), 1u);
    EXPECT_EQ(zip.m_Entries[0].m_Name, "OEBPS/Content.opf");
    EXPECT_EQ(zip.m_Entries[0].m_Data, "new");
    EXPECT_EQ(zip.m_Entries[0].m_Method, 8);
}

struct FlushCase {
    const char* label;
    size_t size;
    size_t flushes;
};
const FlushCase kFlushCases[] = {{"one piece", 16384, 0},
                                 {"one byte over", 16385, 1},
                                 {"two whole pieces", 32768, 1},
                                 {"40000", 40000, 2}};

TEST(Zip, DeflateFlushesEvery16384Bytes)
{
    for (const FlushCase& c : kFlushCases) {
        SCOPED_TRACE(c.label);
        const std::string data = RandomBytes(c.size, 3).substr(0, c.size / 2) + Text(c.size - c.size / 2);
        std::string packed(2 * data.size(), '\0');
        size_t n = packed.size();
        ASSERT_EQ(DeflateRaw(data.data(), data.size(), &packed[0], n), Z_STREAM_END);
        packed.resize(n);
        // Each sync flush ends with an empty stored block: 00 00 FF FF, after which all input so far
        // decodes.
        std::vector<size_t> marks;
        for (size_t at = packed.find(std::string("\0\0\xff\xff", 4)); at != std::string::npos;
             at = packed.find(std::string("\0\0\xff\xff", 4), at + 1))
            marks.push_back(at);
        ASSERT_EQ(marks.size(), c.flushes);
        for (size_t i = 0; i < marks.size(); ++i) {
            z_stream z{};
            inflateInit2(&z, -MAX_WBITS);
            std::string out(c.size, '\0');
            z.next_in = reinterpret_cast<Bytef*>(&packed[0]);
            z.avail_in = static_cast<uInt>(marks[i] + 4);
            z.next_out = reinterpret_cast<Bytef*>(&out[0]);
            z.avail_out = static_cast<uInt>(out.size());
            inflate(&z, Z_SYNC_FLUSH);
            EXPECT_EQ(z.total_out, 16384u * (i + 1));
            inflateEnd(&z);
        }
        ScratchDir dir;
        CZip zip;
        OpenPacked(zip, dir, packed, uint32_t(data.size()));
        std::string back;
        EXPECT_EQ(zip.GetFileBuffer("d.bin", back), RC_OK);
        EXPECT_EQ(back, data);
    }
}

struct CleanCase {
    const char* label;
    const char* stored;
    const char* listed;
};
const CleanCase kCleanCases[] = {
    {"dot slash and question marks", "./a?b?.html", "a_b_.html"},
    {"two parent prefixes", "../../x.html", "x.html"},
    {"mixed prefixes", ".././../y.css", "y.css"},
    {"inner dot kept", "a/./b.html", "a/./b.html"},
};

TEST(Zip, NamesLoseRelativePrefixesAndQuestionMarks)
{
    ScratchDir dir;
    std::vector<RawEntry> entries;
    for (const CleanCase& c : kCleanCases)
        entries.push_back({c.stored, "data", 0, 0xFFFFFFFF, 4});
    entries.push_back({"OEBPS/", "", 0, 0, 0});
    entries.push_back({"./", "", 0, 0, 0});
    ASSERT_EQ(WriteWholeFile(dir / "names.zip", RawArchive(entries)), RC_OK);
    CZip zip;
    ASSERT_EQ(OpenAndList(zip, dir / "names.zip"), RC_OK);
    ASSERT_EQ(zip.m_Entries.size(), std::size(kCleanCases)) << "folder entries are not listed";
    for (size_t i = 0; i < std::size(kCleanCases); ++i) {
        SCOPED_TRACE(kCleanCases[i].label);
        EXPECT_EQ(zip.m_Entries[i].m_Name, kCleanCases[i].listed);
    }
}

struct SizeCase {
    const char* label;
    uint16_t method;
    uint32_t centralPacked;
    uint32_t declared;
    const char* expected;
};
const SizeCase kSizeCases[] = {
    {"stored, declared shorter", 0, 0xFFFFFFFF, 4, "abcd"},
    {"stored, size unknown", 0, 0xFFFFFFFF, 0, "abcdefghij"},
    {"stored, declared longer", 0, 0xFFFFFFFF, 20, "abcdefghij"},
    {"packed size 0 taken from the next header", 0, 0, 10, "abcdefghij"},
    {"packed size past the next header", 0, 5000, 10, "abcdefghij"},
    {"packed size negative", 0, 0x80000000, 10, "abcdefghij"},
    {"deflated, size unknown", 8, 0xFFFFFFFF, 0, "abcdefghij"},
    {"deflated, packed size 0", 8, 0, 10, "abcdefghij"},
};

TEST(Zip, SizesAreTakenFromTheDataThatIsThere)
{
    ScratchDir dir;
    for (const SizeCase& c : kSizeCases) {
        SCOPED_TRACE(c.label);
        const std::string archive = RawArchive(
            {{"a.txt", "abcdefghij", c.method, c.centralPacked, c.declared}, {"b.txt", "0123", 0, 4, 4}});
        ASSERT_EQ(WriteWholeFile(dir / "s.zip", archive), RC_OK);
        CZip zip;
        ASSERT_EQ(OpenAndList(zip, dir / "s.zip"), RC_OK);
        std::string a, b;
        EXPECT_EQ(zip.GetFileBuffer("A.TXT", a), RC_OK);
        EXPECT_EQ(a, c.expected);
        EXPECT_EQ(zip.GetFileBuffer("b.txt", b), RC_OK);
        EXPECT_EQ(b, "0123");
    }
}

TEST(Zip, EntriesAreBoundedByTheNextHeaderInTheFile)
{
    // Listed in reverse order, one header listed twice, and sizes that run over the next header.
    const std::string a = Local("a.txt", 0, 10, 0, "abcdefghij"), b = Local("b.txt", 0, 4, 0, "0123");
    const std::string dir = Central("b.txt", 0, 5000, 0, uint32_t(a.size())) +
                            Central("a.txt", 0, 5000, 0, 0) + Central("again.txt", 0, 5000, 0, 0);
    ScratchDir scratch;
    ASSERT_EQ(WriteWholeFile(scratch / "r.zip",
                             a + b + dir + End(3, uint32_t(dir.size()), uint32_t(a.size() + b.size()))),
              RC_OK);
    CZip zip;
    ASSERT_EQ(OpenAndList(zip, scratch / "r.zip"), RC_OK);
    EXPECT_EQ(Names(zip), "b.txt|a.txt") << "a second record for one header is not listed";
    std::string data;
    EXPECT_EQ(zip.GetFileBuffer("a.txt", data), RC_OK);
    EXPECT_EQ(data, "abcdefghij");
    EXPECT_EQ(zip.GetFileBuffer("b.txt", data), RC_OK);
    EXPECT_EQ(data, "0123");
}

// A trailing comment pushes the end record out of the searched window at 65532 bytes.
TEST(Zip, EndRecordBehindALongCommentIsFoundOrWalkedAround)
{
    ScratchDir dir;
    std::string book;
    ASSERT_TRUE(ReadFileBytes(WriteBook(dir), book));
    for (uint32_t comment : {1u, 65531u, 65532u, 65535u}) {
        SCOPED_TRACE(comment);
        std::string archive = book.substr(0, book.size() - 2) + Le16(comment) + std::string(comment, 'c');
        ASSERT_EQ(WriteWholeFile(dir / "c.zip", archive), RC_OK);
        CZip zip;
        ASSERT_EQ(OpenAndList(zip, dir / "c.zip"), RC_OK);
        ASSERT_EQ(zip.m_Entries.size(), kBook.size());
        EXPECT_EQ(zip.m_Entries.back().m_HeaderOffset != 0, comment <= 65531) << "listed from the directory";
        std::string data;
        EXPECT_EQ(zip.GetFileBuffer("OEBPS/big.html", data), RC_OK);
        EXPECT_EQ(data, kBook.back().second);
    }
}

TEST(Zip, ArchiveWithoutEndRecordIsWalkedAndRepaired)
{
    ScratchDir dir;
    std::string book;
    ASSERT_TRUE(ReadFileBytes(WriteBook(dir), book));
    // The damaged copy lists "mimetype" last, to see FixEpub put it first again.
    CZip reordered;
    ASSERT_EQ(OpenAndList(reordered, dir / "book.epub"), RC_OK);
    std::rotate(reordered.m_Entries.begin(), reordered.m_Entries.begin() + 1, reordered.m_Entries.end());
    ASSERT_EQ(reordered.WriteArchive(dir / "r.epub", reordered.m_Entries, false, false), RC_OK);
    ASSERT_TRUE(ReadFileBytes(dir / "r.epub", book));
    ASSERT_EQ(WriteWholeFile(dir / "cut.epub", book.substr(0, book.size() - 22)), RC_OK);

    CZip zip;
    zip.m_WorkingDirectory = dir.Path();
    EXPECT_EQ(OpenAndList(zip, dir / "cut.epub"), RC_FILE_READ_FAILED);
    EXPECT_EQ(zip.m_Entries.size(), kBook.size());
    ASSERT_EQ(zip.FixEpub(dir / "cut.epub"), RC_OK);
    EXPECT_FALSE(FileExists(dir / "cut.epub.bak"));
    EXPECT_EQ(zip.m_Entries[0].m_Name, "mimetype");
    EXPECT_EQ(zip.m_Entries[0].m_Method, 0);
    ASSERT_TRUE(ReadFileBytes(dir / "cut.epub", book));
    EXPECT_EQ(book.substr(30, 28), "mimetypeapplication/epub+zip");
    for (const auto& file : kBook) {
        std::string data;
        EXPECT_EQ(zip.GetFileBuffer(file.first, data), RC_OK);
        EXPECT_EQ(data, file.second) << file.first;
    }
    if (!ProgramExists("/usr/bin/unzip")) GTEST_SKIP() << "unzip is not installed";
    EXPECT_EQ(RunProgramCapture("/usr/bin/unzip", {"-t", "-q", dir / "cut.epub"}, "").exitStatus, 0);
}

TEST(Zip, FixEpubNeedsThreeEntries)
{
    ScratchDir dir;
    ASSERT_EQ(WriteWholeFile(dir / "two.zip", RawArchive({{"a", "1", 0, 1, 1}, {"b", "2", 0, 1, 1}})), RC_OK);
    CZip zip;
    ASSERT_EQ(OpenAndList(zip, dir / "two.zip"), RC_OK);
    EXPECT_EQ(zip.FixEpub(dir / "two.zip"), RC_EPUB_FIX);
}

TEST(Zip, DamagedEpubFixtureIsRebuilt)
{
    ScratchDir dir;
    ASSERT_EQ(CopyFile(DataPath("base/bad-zip-no-eocd.epub"), dir / "b.epub"), RC_OK);
    CZip zip;
    zip.m_WorkingDirectory = dir.Path();
    EXPECT_EQ(OpenAndList(zip, dir / "b.epub"), RC_FILE_READ_FAILED);
    const size_t listed = zip.m_Entries.size();
    EXPECT_GE(listed, 15u);
    std::string opf;
    ASSERT_EQ(zip.GetFileBuffer("content.opf", opf), RC_OK);
    ASSERT_EQ(zip.FixEpub(dir / "b.epub"), RC_OK);
    EXPECT_EQ(zip.m_Entries.size(), listed);
    std::string again;
    EXPECT_EQ(zip.GetFileBuffer("content.opf", again), RC_OK);
    EXPECT_EQ(again, opf);
    std::string rebuilt;
    ASSERT_TRUE(ReadFileBytes(dir / "b.epub", rebuilt));
    EXPECT_EQ(rebuilt.substr(30, 28), "mimetypeapplication/epub+zip") << "mimetype first and stored";
    if (!ProgramExists("/usr/bin/unzip")) GTEST_SKIP() << "unzip is not installed";
    EXPECT_EQ(RunProgramCapture("/usr/bin/unzip", {"-t", "-q", dir / "b.epub"}, "").exitStatus, 0);
}

struct ScanCase {
    const char* label;
    std::string archive;
    ResultCode rc;
    const char* names;
    const char* firstData;
};

std::vector<ScanCase> ScanCases()
{
    const std::string next = Local("z.txt", 0, 1, 1, "z");
    const std::string data = Deflate("hello hello hello");
    const std::string desc = Le32(0) + Le32(uint32_t(data.size())) + Le32(17);
    const std::string filler(32766, 'f'); // puts the next signature across the first 32768-byte block
    return {
        {"descriptor with signature", Local("a.txt", 8, 0, 0, data) + Le32(0x08074B50) + desc + next,
         RC_FILE_READ_FAILED, "a.txt|z.txt", "hello hello hello"},
        {"descriptor without signature", Local("a.txt", 8, 0, 0, data) + desc + next, RC_FILE_READ_FAILED,
         "a.txt|z.txt", "hello hello hello"},
        {"all sizes unknown", Local("a.txt", 0, 0xFFFFFFFF, 0xFFFFFFFF, "stored") + next, RC_FILE_READ_FAILED,
         "a.txt|z.txt", "stored"},
        {"signature across blocks", Local("a.txt", 0, 0xFFFFFFFF, 0xFFFFFFFF, filler) + next,
         RC_FILE_READ_FAILED, "a.txt|z.txt", nullptr},
        {"descriptor never found", Local("a.txt", 8, 0, 0, data), RC_ZIP_DESCRIPTION_CONTENT, "", nullptr},
        {"size past the end", Local("a.txt", 0, 100, 100, "short"), RC_ZIP_MAGIC, "", nullptr},
        {"negative size", Local("a.txt", 0, 0xFFFFFFF0, 5, "short") + next, RC_ZIP_MAGIC, "", nullptr},
        {"unknown signature", next + "PK\x09\x09xxxx", RC_ZIP_MAGIC, "z.txt", "z"},
        {"cut central record", next + Le32(0x02014B50) + "abc", RC_ZIP_DIR_RECORD, "z.txt", "z"},
    };
}

TEST(Zip, LocalHeaderWalkFindsWhereDataEnds)
{
    ScratchDir dir;
    for (const ScanCase& c : ScanCases()) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(WriteWholeFile(dir / "w.zip", c.archive), RC_OK);
        CZip zip;
        ASSERT_EQ(OpenAndList(zip, dir / "w.zip"), c.rc);
        EXPECT_EQ(Names(zip), c.names);
        std::string data;
        if (c.firstData) {
            EXPECT_EQ(zip.GetFileBuffer(zip.m_Entries[0].m_Name, data), RC_OK);
            EXPECT_EQ(data, c.firstData);
        }
    }
}

struct BadCase {
    const char* label;
    std::string archive;
    ResultCode rc;
};

TEST(Zip, MalformedDirectoriesGiveTheirCodes)
{
    const std::string entry = Local("a", 0, 1, 1, "a");
    const std::string dir = Central("a", 0, 1, 1, 0);
    const uint32_t dirSize = uint32_t(dir.size()), at = uint32_t(entry.size());
    const BadCase cases[] = {
        {"empty file", "", RC_ZIP_MAGIC},
        {"no PK", "XX" + entry.substr(2) + dir + End(1, dirSize, at), RC_ZIP_MAGIC},
        {"shorter than an end record", "PK\x03\x04", RC_ZIP_MAGIC},
        {"directory offset past the end", entry + dir + End(1, dirSize, 0x7FFFFFFF), RC_FILE_SEEK_FAILED},
        {"directory size 0", entry + dir + End(1, 0, at), RC_ZIP_MAGIC},
        {"directory size past the end", entry + dir + End(1, 0xFFFFFF00, at), RC_FILE_READ_FAILED},
        {"bad central signature", entry + "QK" + dir.substr(2) + End(1, dirSize, at), RC_ZIP_DIR_RECORD},
        {"cut central record", entry + dir.substr(0, 40) + End(1, 40, at), RC_ZIP_DIR_RECORD},
        {"local offset past the end", entry + Central("a", 0, 1, 1, 0x7FFFFFFF) + End(1, dirSize, at),
         RC_FILE_SEEK_FAILED},
        {"local offset at no header", entry + Central("a", 0, 1, 1, 1) + End(1, dirSize, at), RC_ZIP_MAGIC},
    };
    ScratchDir scratch;
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(WriteWholeFile(scratch / "bad.zip", c.archive), RC_OK);
        CZip zip;
        EXPECT_EQ(OpenAndList(zip, scratch / "bad.zip"), c.rc);
    }
    CZip closed;
    EXPECT_EQ(closed.ReadDirectory(), RC_FILE_OPEN_FAILED);
}

TEST(Zip, UnCompressWritesFilesAndDropsEmptyOnes)
{
    ScratchDir dir;
    const std::string archive = RawArchive({{"OEBPS/Text/a.html", "<p/>", 8, 0xFFFFFFFF, 4},
                                            {"empty.txt", "", 0, 0, 0},
                                            {"b\\c.css", "p{}", 0, 3, 3}});
    ASSERT_EQ(WriteWholeFile(dir / "u.zip", archive), RC_OK);
    CZip zip;
    zip.m_WorkingDirectory = dir / "work/";
    ASSERT_EQ(MakeDirectory(zip.m_WorkingDirectory), RC_OK);
    ASSERT_EQ(OpenAndList(zip, dir / "u.zip"), RC_OK);
    ASSERT_EQ(zip.UnCompress(), RC_OK);
    EXPECT_EQ(Names(zip), "OEBPS/Text/a.html|b\\c.css");
    EXPECT_EQ(ReadWholeFile(dir / "work/OEBPS/Text/a.html"), "<p/>");
    EXPECT_EQ(ReadWholeFile(dir / "work/b/c.css"), "p{}");
    EXPECT_FALSE(FileExists(dir / "work/empty.txt"));
    EXPECT_TRUE(zip.m_Entries[0].m_Data.empty()) << "extracted data is not held in memory";
    std::string data;
    EXPECT_EQ(zip.GetFileBuffer("OEBPS/Text/a.html", data), RC_OK);
    EXPECT_EQ(data, "<p/>");
}

TEST(Zip, EscapingNamesAreNeverExtracted)
{
    ScratchDir dir;
    const std::string work = dir / "a/b/c/work/";
    ASSERT_EQ(MakePath(work), RC_OK);
    CZip zip;
    zip.m_WorkingDirectory = work;
    ASSERT_EQ(OpenAndList(zip, DataPath("base/bad-zip-path-traversal.epub")), RC_OK);
    const size_t listed = zip.m_Entries.size();
    ASSERT_EQ(zip.UnCompress(), RC_OK);
    EXPECT_EQ(zip.m_Entries.size(), listed) << "skipped entries stay listed";
    CommandRun found = RunProgramCapture("/usr/bin/find", {dir.Path(), "-name", "*tarvo_evil*"}, "");
    EXPECT_EQ(found.out, work + "tarvo_evil_prefix.txt\n") << "only the name cleaned of its \"../\" prefixes";
    EXPECT_TRUE(FileExists(work + "content.opf"));
    EXPECT_TRUE(FileExists(work + "images/cover.jpg"));

    const std::string before = RunProgramCapture("/usr/bin/find", {dir.Path()}, "").out;
    const std::string names[] = {"/abs.txt",
                                 "C:evil.txt",
                                 "a/../../b.txt",
                                 "a\\..\\..\\b.txt",
                                 "a/../../../../../c.txt",
                                 std::string("nul\0/x", 6)};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        CZip one;
        one.m_WorkingDirectory = work;
        one.AddFile(name, "evil");
        EXPECT_EQ(one.UnCompress(), RC_OK);
        EXPECT_EQ(one.m_Entries.size(), 1u);
    }
    EXPECT_EQ(RunProgramCapture("/usr/bin/find", {dir.Path()}, "").out, before);
}

TEST(Zip, DeclaredSizesAreNotAllocated)
{
    CZip zip;
    ASSERT_EQ(OpenAndList(zip, DataPath("base/bad-zip-huge-declared-size.epub")), RC_OK);
    for (const char* name : {"images/huge.bin", "images/huge2.bin"}) {
        std::string data;
        EXPECT_EQ(zip.GetFileBuffer(name, data), RC_OK) << name;
        EXPECT_EQ(data.size(), 1000u) << name;
    }
}

using zipbomb::ZeroBomb;

long PeakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct LimitCase {
    const char* label;
    size_t mebibytes;
    uint32_t declared;
    ResultCode rc;
};
const LimitCase kLimitCases[] = {
    {"exactly the limit", 4, 0, RC_OK},
    {"one MiB over", 5, 0, RC_ZIP_DESCRIPTION_CONTENT},
    {"declared smaller than the output", 3, 2 << 20, RC_ZIP_FILE_CONTENT},
    {"declared exactly", 3, 3 << 20, RC_OK},
    {"far over a lying header", 64, 1000, RC_ZIP_FILE_CONTENT},
};

TEST(Zip, InflateStopsAtTheLimitAndNeverCutsData)
{
    ScratchDir dir;
    for (const LimitCase& c : kLimitCases) {
        SCOPED_TRACE(c.label);
        const std::string bomb = ZeroBomb(c.mebibytes);
        const std::string archive = Local("z.bin", 8, uint32_t(bomb.size()), c.declared, bomb) +
                                    Central("z.bin", 8, uint32_t(bomb.size()), c.declared, 0);
        ASSERT_EQ(WriteWholeFile(dir / "z.zip", archive + End(1, 46 + 5, uint32_t(archive.size()) - 51)),
                  RC_OK);
        CZip zip;
        zip.m_MaxEntrySize = size_t(4) << 20;
        zip.m_MaxRatio = 0;
        ASSERT_EQ(OpenAndList(zip, dir / "z.zip"), RC_OK);
        std::string data;
        EXPECT_EQ(zip.GetFileBuffer("z.bin", data), c.rc);
        // More than 100 times the packed size comes out whole.
        if (c.rc == RC_OK) {
            EXPECT_EQ(data, std::string(c.mebibytes << 20, '\0'));
        }
    }
}

// The same 257 MiB of zeros (about 260 KB packed) through every way an entry is read or copied.
TEST(Zip, ZipBombIsRefusedWhereverItIsRead)
{
    ScratchDir dir;
    const std::string archive =
        zipbomb::ArchiveWithBomb({{"a.txt", "text"}}, "bomb.bin", (ZIP_MAX_ENTRY_SIZE >> 20) + 1);
    ASSERT_EQ(WriteWholeFile(dir / "bomb.zip", archive), RC_OK);
    const struct {
        const char* label;
        std::function<ResultCode(CZip&)> read;
    } reads[] = {
        {"into memory",
         [](CZip& zip) {
             std::string data;
             return zip.GetFileBuffer("bomb.bin", data);
         }},
        {"onto disk", [](CZip& zip) { return zip.UnCompress(); }},
        {"into another archive",
         [&dir](CZip& zip) { return zip.WriteArchive(dir / "out.zip", zip.m_Entries, false, false); }},
        {"over itself", [&dir](CZip& zip) { return zip.RewriteEpub(dir / "bomb.zip"); }},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(r.label);
        CZip zip;
        zip.m_WorkingDirectory = dir / "work/";
        ASSERT_EQ(MakePath(zip.m_WorkingDirectory), RC_OK);
        ASSERT_EQ(OpenAndList(zip, dir / "bomb.zip"), RC_OK);
        const long before = PeakRssKiB();
        EXPECT_EQ(r.read(zip), RC_ZIP_DESCRIPTION_CONTENT);
        EXPECT_LT(PeakRssKiB() - before, 32 * 1024) << "peak memory grew by more than 32 MiB";
        EXPECT_FALSE(FileExists(dir / "work/bomb.bin")) << "no partly written entry is left";
        EXPECT_FALSE(FileExists(dir / "out.zip"));
        std::string now;
        EXPECT_TRUE(ReadFileBytes(dir / "bomb.zip", now) && now == archive) << "the archive is untouched";
    }
}

struct DensityCase {
    const char* label;
    std::string archive;
    ResultCode rc;
};

TEST(Zip, EntriesDenserThanAnyBookAreRefused)
{
    std::vector<RawEntry> smallBombs;
    for (int i = 0; i < 40; ++i)
        smallBombs.push_back({"z" + std::to_string(i), std::string(1 << 20, '\0'), 8, 0xFFFFFFFF, 1 << 20});
    const DensityCase cases[] = {
        {"2 MiB of zeros", zipbomb::ArchiveWithBomb({}, "z.bin", 2), RC_ZIP_DESCRIPTION_CONTENT},
        {"1 MiB of zeros, too small to judge", zipbomb::ArchiveWithBomb({}, "z.bin", 1), RC_OK},
        {"3 MiB of markup", RawArchive({{"z.html", Text(3 << 20), 8, 0xFFFFFFFF, 3 << 20}}), RC_OK},
        {"40 entries of 1 MiB of zeros", RawArchive(smallBombs), RC_ZIP_DESCRIPTION_CONTENT},
    };
    ScratchDir dir;
    for (const DensityCase& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(WriteWholeFile(dir / "d.zip", c.archive), RC_OK);
        CZip zip;
        zip.m_WorkingDirectory = dir / "work/";
        ASSERT_EQ(MakePath(zip.m_WorkingDirectory), RC_OK);
        ASSERT_EQ(OpenAndList(zip, dir / "d.zip"), RC_OK);
        EXPECT_EQ(zip.UnCompress(), c.rc);
        std::system(("rm -rf '" + zip.m_WorkingDirectory + "'").c_str());
    }
}

TEST(Zip, RecordedCrcMustMatchTheData)
{
    ScratchDir dir;
    std::string archive = zipbomb::ArchiveWithBomb({{"a.txt", "hello"}, {"b.txt", "world"}}, "z.bin", 1);
    archive[archive.find("hello") + 4] = 'p'; // the data no longer matches its CRC-32
    ASSERT_EQ(WriteWholeFile(dir / "c.zip", archive), RC_OK);
    const struct {
        const char* label;
        std::function<ResultCode(CZip&)> read;
    } reads[] = {
        {"into memory",
         [](CZip& zip) {
             std::string data;
             return zip.GetFileBuffer("a.txt", data);
         }},
        {"onto disk", [](CZip& zip) { return zip.UnCompress(); }},
        {"into another archive",
         [&dir](CZip& zip) { return zip.WriteArchive(dir / "out.zip", zip.m_Entries, false, false); }},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(r.label);
        CZip zip;
        zip.m_WorkingDirectory = dir / "work/";
        ASSERT_EQ(MakePath(zip.m_WorkingDirectory), RC_OK);
        ASSERT_EQ(OpenAndList(zip, dir / "c.zip"), RC_OK);
        EXPECT_EQ(r.read(zip), RC_ZIP_FILE_CONTENT);
        EXPECT_FALSE(FileExists(dir / "work/a.txt"));
        EXPECT_FALSE(FileExists(dir / "out.zip"));
    }
    CZip zip;
    ASSERT_EQ(OpenAndList(zip, dir / "c.zip"), RC_OK);
    std::string data;
    EXPECT_EQ(zip.GetFileBuffer("b.txt", data), RC_OK);
    EXPECT_EQ(data, "world");
}

// The packed bytes of every entry of an archive we wrote, by name.
std::map<std::string, std::string> PackedEntries(const std::string& archive)
{
    std::map<std::string, std::string> packed;
    for (const Record& r : CentralRecords(archive)) {
        const size_t data = r.headerOffset + 30 + r.name.size() + Get16(archive, r.headerOffset + 28);
        packed[r.name] = archive.substr(data, r.packed);
    }
    return packed;
}

TEST(Zip, RewriteEpubPutsMimetypeFirstAndCopiesEntriesAsPacked)
{
    ScratchDir dir;
    CZip source;
    ASSERT_EQ(OpenAndList(source, WriteBook(dir)), RC_OK);
    // "mimetype" last and deflated, as some writers leave it.
    std::rotate(source.m_Entries.begin(), source.m_Entries.begin() + 1, source.m_Entries.end());
    source.m_Entries.back().m_Method = 8;
    source.AddFile("mimetype", "application/epub+zip");
    ASSERT_EQ(source.WriteArchive(dir / "r.epub", source.m_Entries, false, false), RC_OK);
    std::string before, after;
    ASSERT_TRUE(ReadFileBytes(dir / "r.epub", before));

    CZip zip;
    zip.m_WorkingDirectory = dir.Path();
    ASSERT_EQ(OpenAndList(zip, dir / "r.epub"), RC_OK);
    zip.AddFile("OEBPS/one.txt", "changed");
    ASSERT_EQ(zip.RewriteEpub(dir / "r.epub"), RC_OK);
    ASSERT_TRUE(ReadFileBytes(dir / "r.epub", after));
    EXPECT_EQ(after.substr(30, 28), "mimetypeapplication/epub+zip") << "stored, no extra field";
    std::vector<std::string> names;
    for (const Record& r : CentralRecords(after))
        names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"mimetype", "META-INF/container.xml", "OEBPS/Text/ch1.html",
                                               "OEBPS/Images/a.jpg", "OEBPS/one.txt", "OEBPS/big.html"}))
        << "no folder entries";
    std::map<std::string, std::string> was = PackedEntries(before), now = PackedEntries(after);
    for (const char* name :
         {"META-INF/container.xml", "OEBPS/Text/ch1.html", "OEBPS/Images/a.jpg", "OEBPS/big.html"})
        EXPECT_EQ(now[name], was[name]) << name << " is copied as it was packed";
    CZip back;
    ASSERT_EQ(OpenAndList(back, dir / "r.epub"), RC_OK);
    std::string data;
    ASSERT_EQ(back.GetFileBuffer("OEBPS/one.txt", data), RC_OK);
    EXPECT_EQ(data, "changed");
    if (!ProgramExists("/usr/bin/unzip")) GTEST_SKIP() << "unzip is not installed";
    EXPECT_EQ(RunProgramCapture("/usr/bin/unzip", {"-t", "-q", dir / "r.epub"}, "").exitStatus, 0);
}

// A prefix is inflated no further than asked: damage past it goes unseen, damage or an end of the
// data before it fails the read like any other.
TEST(Zip, DamagedDeflateDataFails)
{
    const std::string text = Text(200000);
    const std::string good = Deflate(text);
    // After a flush the next block starts on a byte: 0x07 opens one of the reserved type.
    const std::string damagedLate = Deflate(text.substr(0, 100000), Z_SYNC_FLUSH) + "\x07";
    struct DamageCase {
        const char* label;
        std::string packed;
        size_t prefix;
        bool prefixReads;
    };
    const DamageCase cases[] = {
        {"cut short", good.substr(0, good.size() / 2), 1000, true},
        {"cut short before the prefix ends", good.substr(0, good.size() / 2), text.size(), false},
        {"damaged after the prefix", damagedLate, 70000, true},
        {"garbage", "\xff\xff\xff\xff", 1000, false},
        {"one byte", "\x01", 1000, false},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        CZip zip;
        OpenPacked(zip, dir, c.packed, uint32_t(text.size()));
        std::string out = "left over";
        EXPECT_EQ(zip.GetFileBuffer("d.bin", out), RC_ZIP_FILE_CONTENT);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(zip.GetFilePrefix("d.bin", c.prefix, out), c.prefixReads ? RC_OK : RC_ZIP_FILE_CONTENT);
        EXPECT_EQ(out, c.prefixReads ? text.substr(0, c.prefix) : "");
    }
}

TEST(Zip, UnreadableEntryStopsOrFailsTheWrite)
{
    ScratchDir dir;
    const std::string archive = RawArchive({{"a.txt", "aaaa", 0, 4, 4}, {"b.txt", "bbbb", 0, 4, 4}});
    std::string damaged = archive;
    const size_t b = archive.find("bbbb");
    damaged[b - 30 - 5 + 8] = 8; // b.txt's local method: raw "bbbb" does not inflate
    damaged.replace(archive.find("b.txt", b) - 46 + 10, 1, "\x08");
    ASSERT_EQ(WriteWholeFile(dir / "d.zip", damaged), RC_OK);
    for (bool stop : {true, false}) {
        SCOPED_TRACE(stop);
        CZip zip;
        ASSERT_EQ(OpenAndList(zip, dir / "d.zip"), RC_OK);
        ASSERT_EQ(zip.m_Entries[1].m_Method, 8);
        EXPECT_EQ(zip.WriteArchive(dir / "out.zip", zip.m_Entries, stop, false),
                  stop ? RC_OK : RC_ZIP_FILE_CONTENT);
        EXPECT_EQ(FileExists(dir / "out.zip"), stop);
        if (!stop) continue;
        CZip back;
        ASSERT_EQ(OpenAndList(back, dir / "out.zip"), RC_OK);
        EXPECT_EQ(Names(back), "a.txt");
    }
}

TEST(Zip, ArchivesOfTheStandardToolAreRead)
{
    if (!ProgramExists("/usr/bin/zip")) GTEST_SKIP() << "zip is not installed";
    ScratchDir dir;
    ASSERT_EQ(MakePath(dir / "src/OEBPS/Text/"), RC_OK);
    for (const auto& file : kBook)
        if (file.first.find('/') == std::string::npos || file.first.rfind("OEBPS/Text/", 0) == 0) {
            ASSERT_EQ(WriteWholeFile(dir / ("src/" + file.first), file.second), RC_OK);
        }
    ASSERT_EQ(WriteWholeFile(dir / "src/OEBPS/empty.txt", ""), RC_OK);
    const std::string src = dir / "src";
    const struct {
        const char* label;
        std::vector<std::string> args;
        bool streamed;
    } runs[] = {{"deflated", {"-q", "-9", "-r", "../t.zip", "."}, false},
                {"stored", {"-q", "-0", "-r", "../t.zip", "."}, false},
                {"streamed with descriptors", {"-q", "-r", "-", "."}, true}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.label);
        DeleteFile(dir / "t.zip");
        CommandRun made = RunProgramCapture("/usr/bin/zip", run.args, src);
        ASSERT_EQ(made.exitStatus, 0);
        std::string archive = made.out;
        if (!run.streamed) {
            ASSERT_TRUE(ReadFileBytes(dir / "t.zip", archive));
        }
        // Read through the directory, then once more with the end record cut off.
        for (size_t cut : {size_t(0), size_t(22)}) {
            ASSERT_EQ(WriteWholeFile(dir / "t.zip", archive.substr(0, archive.size() - cut)), RC_OK);
            CZip zip;
            zip.m_WorkingDirectory = dir / ("out" + std::to_string(cut) + "/");
            ASSERT_EQ(MakeDirectory(zip.m_WorkingDirectory), RC_OK);
            EXPECT_EQ(OpenAndList(zip, dir / "t.zip"), cut ? RC_FILE_READ_FAILED : RC_OK);
            EXPECT_EQ(zip.m_Entries.size(), 3u) << Names(zip);
            ASSERT_EQ(zip.UnCompress(), RC_OK);
            EXPECT_EQ(zip.m_Entries.size(), 2u) << "the empty file is not extracted";
            EXPECT_EQ(ReadWholeFile(zip.m_WorkingDirectory + "OEBPS/Text/ch1.html"), kBook[2].second);
            EXPECT_EQ(ReadWholeFile(zip.m_WorkingDirectory + "mimetype"), kBook[0].second);
            std::system(("rm -rf '" + zip.m_WorkingDirectory + "'").c_str());
        }
    }
}

TEST(Zip, BackupIsMovedOverTheOutput)
{
    ScratchDir dir;
    const std::string path = WriteBook(dir);
    CZip zip;
    zip.m_WorkingDirectory = dir / "work/";
    ASSERT_EQ(MakeDirectory(zip.m_WorkingDirectory), RC_OK);
    ASSERT_EQ(OpenAndList(zip, path), RC_OK);
    zip.AddFile("OEBPS/ONE.TXT", "changed");
    ASSERT_EQ(zip.WriteArchive(path, zip.m_Entries, false, true), RC_OK);
    EXPECT_FALSE(zip.IsOpen()) << "the read handle is closed so the file can be replaced";
    EXPECT_FALSE(FileExists(zip.m_WorkingDirectory + "book.epub.bak"));
    CZip back;
    ASSERT_EQ(OpenAndList(back, path), RC_OK);
    std::string data;
    ASSERT_EQ(back.GetFileBuffer("OEBPS/one.txt", data), RC_OK);
    EXPECT_EQ(data, "changed");
    EXPECT_EQ(back.GetFileBuffer("OEBPS/big.html", data), RC_OK);
    EXPECT_EQ(data, kBook.back().second);
}

namespace
{

struct FileEntryCase {
    const char* label;
    std::string data; // empty: the file is empty; "-": there is no file
    uint16_t method;
    bool kept;
};

const FileEntryCase kFileEntryCases[] = {
    {"text deflated", Text(100000), 8, true},
    {"text stored", Text(40000), 0, true},
    {"random bytes deflated", RandomBytes(70000, 5), 8, true},
    {"one byte", "x", 8, true},
    {"exactly one deflate piece", Text(16384), 8, true},
    {"empty file", "", 8, false},
    {"no file", "-", 8, false},
};

} // namespace

// Entries given as files are read, packed and written piece by piece, then their local header is
// filled in: what another reader finds in either header must describe the bytes written.
TEST(Zip, EntriesFromFilesAreStreamedAndTheirHeadersFilledIn)
{
    for (const FileEntryCase& c : kFileEntryCases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        CZip writer;
        writer.AddFile("first.txt", "before");
        ZipEntry entry;
        entry.m_Name = "OEBPS/file.bin";
        entry.m_Method = c.method;
        entry.m_SourcePath = dir / "source";
        if (c.data != "-") {
            ASSERT_EQ(WriteWholeFile(entry.m_SourcePath, c.data), RC_OK);
        }
        writer.m_Entries.push_back(entry);
        writer.AddFile("last.txt", "after");
        ASSERT_EQ(writer.WriteArchive(dir / "out.zip", writer.m_Entries, false, false), RC_OK);

        std::string archive;
        ASSERT_TRUE(ReadFileBytes(dir / "out.zip", archive));
        bool found = false;
        for (const Record& r : CentralRecords(archive)) {
            // The local header says what the central record says.
            EXPECT_EQ(archive.substr(r.headerOffset + 14, 12), Le32(r.crc) + Le32(r.packed) + Le32(r.size))
                << r.name;
            if (r.name != entry.m_Name) continue;
            found = true;
            EXPECT_EQ(r.method, c.method);
            EXPECT_EQ(r.versionNeeded, c.method == 0 ? 10 : 20);
            EXPECT_EQ(r.size, c.data.size());
            EXPECT_EQ(r.crc, crc32(0, reinterpret_cast<const Bytef*>(c.data.data()), uInt(c.data.size())));
            if (c.method == 0) {
                EXPECT_EQ(r.packed, c.data.size());
            }
        }
        EXPECT_EQ(found, c.kept);

        CZip reader;
        ASSERT_EQ(OpenAndList(reader, dir / "out.zip"), RC_OK);
        EXPECT_EQ(Names(reader), c.kept ? "first.txt|OEBPS/file.bin|last.txt" : "first.txt|last.txt");
        std::string back;
        if (c.kept) {
            ASSERT_EQ(reader.GetFileBuffer(entry.m_Name, back), RC_OK);
            EXPECT_EQ(back, c.data);
        }
        ASSERT_EQ(reader.GetFileBuffer("last.txt", back), RC_OK);
        EXPECT_EQ(back, "after");
    }
}

// A file deflates to the very bytes the same data packs to in memory, so books whose resources
// come from files are written as before, only without holding them.
TEST(Zip, FileEntriesPackLikeEntriesInMemory)
{
    ScratchDir dir;
    const std::string data = Text(200000) + RandomBytes(30000, 9) + Text(50000);
    ASSERT_EQ(WriteWholeFile(dir / "source", data), RC_OK);
    CZip fromMemory, fromFile;
    fromMemory.AddFile("a.css", data);
    fromFile.AddFile("a.css", "");
    fromFile.m_Entries[0].m_SourcePath = dir / "source";
    fromFile.m_Entries[0].m_Date = fromMemory.m_Entries[0].m_Date;
    fromFile.m_Entries[0].m_Time = fromMemory.m_Entries[0].m_Time;
    ASSERT_EQ(fromMemory.WriteArchive(dir / "memory.zip", fromMemory.m_Entries, false, false), RC_OK);
    ASSERT_EQ(fromFile.WriteArchive(dir / "file.zip", fromFile.m_Entries, false, false), RC_OK);
    std::string one, two;
    ASSERT_TRUE(ReadFileBytes(dir / "memory.zip", one));
    ASSERT_TRUE(ReadFileBytes(dir / "file.zip", two));
    EXPECT_EQ(one, two);
}

// A big repetitive file (a style sheet of generated rules) is written deflated without ever being
// held in memory.
TEST(Zip, BigFileEntryIsDeflatedInBoundedMemory)
{
    ScratchDir dir;
    const size_t size = size_t(96) << 20;
    {
        const std::string rule = "p.c1 { margin: 0 1em; text-indent: 1.5em; font-family: serif }\n";
        std::string block;
        while (block.size() < (size_t(1) << 20))
            block += rule;
        block.resize(size_t(1) << 20);
        CFile file;
        ASSERT_EQ(file.Open(dir / "big.css", true, true), RC_OK);
        for (size_t at = 0; at < size; at += block.size())
            ASSERT_EQ(file.Write(block.data(), block.size()), RC_OK);
    }
    CZip writer;
    ZipEntry entry;
    entry.m_Name = "OEBPS/big.css";
    entry.m_Method = 8;
    entry.m_SourcePath = dir / "big.css";
    writer.m_Entries.push_back(entry);
    const long before = PeakRssKiB();
    ASSERT_EQ(writer.WriteArchive(dir / "out.zip", writer.m_Entries, false, true), RC_OK);
    EXPECT_LT(PeakRssKiB() - before, 16 * 1024) << "peak memory grew by more than 16 MiB";

    std::string archive;
    ASSERT_TRUE(ReadFileBytes(dir / "out.zip", archive));
    const std::vector<Record> records = CentralRecords(archive);
    ASSERT_EQ(records.size(), 2u); // the folder, then the file
    EXPECT_EQ(records[1].size, size);
    EXPECT_LT(records[1].packed, size / 100);
    CZip reader;
    ASSERT_EQ(OpenAndList(reader, dir / "out.zip"), RC_OK);
    reader.m_MaxRatio = 0; // generated rules pack far better than any book
    reader.m_WorkingDirectory = dir / "x/";
    ASSERT_EQ(MakeDirectory(reader.m_WorkingDirectory), RC_OK);
    ASSERT_EQ(reader.UnCompress(), RC_OK); // checks the CRC-32 as it inflates
    CFile back;
    uint64_t backSize = 0;
    ASSERT_EQ(back.Open(dir / "x/OEBPS/big.css", false, false), RC_OK);
    ASSERT_EQ(back.Size(backSize), RC_OK);
    EXPECT_EQ(backSize, size);
}
