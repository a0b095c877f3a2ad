#include "mobi/Ebook_MobiFrame.h"

#include "base/Files.h"
#include "base/Images.h"
#include "base/Paths.h"
#include "mobi/ByteIO.h"
#include "mobi/MobiRewrite.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include "FileSizeLimit.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace mobitest;

namespace
{

std::string Value(const CIntermediateBook& book, const std::string& key)
{
    std::string text;
    book.GetValue(key, text);
    return text;
}

// A private copy of a fixture, so rewrites never touch the originals.
std::string CopyFixture(const std::string& name, const std::string& dir)
{
    std::string path = dir + name;
    EXPECT_EQ(WriteWholeFile(path, ReadData(name)), RC_OK);
    return path;
}

ResultCode Convert(CEbookMobiFrame& frame, const std::string& path, const std::string& dir,
                   int32_t output = FORMAT_EPUB)
{
    ConvertInputContext ctx{dir, dir, output, ""};
    return frame.Convert_Input(path, ctx);
}

// Every local link and image of the written files names a file that exists, and a link's
// fragment names an id of that file.
void ExpectLinksResolve(const CIntermediateBook& book, const std::string& dir)
{
    static const std::regex HREF("(href|src)=\"([^\"#]*)(#([^\"]*))?\"");
    for (const std::string& name : book.m_HtmlFileList) {
        std::string text = ReadWholeFile(dir + name);
        for (std::sregex_iterator it(text.begin(), text.end(), HREF), end; it != end; ++it) {
            std::string file = (*it)[2];
            if (file.rfind("http", 0) == 0 || file.rfind("mailto:", 0) == 0) continue;
            if (file.empty()) file = name;
            SCOPED_TRACE(name + " -> " + it->str());
            ASSERT_TRUE(FileExists(dir + file));
            if ((*it)[4].matched) {
                std::string target = ReadWholeFile(dir + file);
                EXPECT_NE(target.find("id=\"" + (*it)[4].str() + "\""), std::string::npos);
            }
        }
    }
}

struct ConvertCase {
    const char* file;
    size_t htmlFiles;
    size_t navPoints;
    size_t guideItems;
    size_t images; // img elements across the files
    bool nested;   // the table of contents has children
    const char* firstLabel;
};

// The qs-eng books were made from tests/data/epub/qs-eng.epub, whose NCX holds 22 entries starting
// with "Calibre Quick Start Guide" and nests the tasks under "Common Tasks"; its one image is the
// cover, which the Kindle files keep as cover and thumbnail records only.
const ConvertCase CONVERT_CASES[] = {
    {"qs-eng-mobi6.mobi", 14, 22, 1, 0, true, "Calibre Quick Start Guide"},
    {"qs-eng-kf8.azw3", 14, 22, 1, 0, true, "Calibre Quick Start Guide"},
    {"qs-eng-joint.mobi", 14, 22, 1, 0, true, "Calibre Quick Start Guide"},
    {"cp1252-mobi6.mobi", 2, 2, 1, 1, false, nullptr},
    {"huffdic-joint.mobi", 2, 2, 1, 1, false, nullptr},
    {"uncompressed-joint.mobi", 2, 2, 1, 1, false, nullptr},
    {"ncx-joint.mobi", 3, 4, 0, 0, true, nullptr},
    {"font-kf8.mobi", 1, 0, 0, 0, false, nullptr},
};

TEST(EbookMobiFrame, ConvertInputKeepsChaptersLinksImagesAndContents)
{
    for (const ConvertCase& c : CONVERT_CASES) {
        SCOPED_TRACE(c.file);
        std::string dir = ScratchDirectory();
        CEbookMobiFrame frame;
        ASSERT_EQ(Convert(frame, mobitest::DataPath(c.file), dir), RC_OK);
        const CIntermediateBook& book = *frame.GetIntermediateBook();
        EXPECT_EQ(book.m_HtmlFileList.size(), c.htmlFiles);
        EXPECT_EQ(book.m_NavPoints.size(), c.navPoints);
        EXPECT_EQ(book.m_GuideItems.size(), c.guideItems);
        if (c.firstLabel != nullptr && !book.m_NavPoints.empty()) {
            EXPECT_EQ(book.m_NavPoints[0].m_Label, c.firstLabel);
        }
        bool nested = false;
        for (const NavPoint& p : book.m_NavPoints) {
            EXPECT_FALSE(p.m_Src.empty());
            nested = nested || p.m_Parent >= 0;
        }
        EXPECT_EQ(nested, c.nested);
        size_t images = 0;
        for (const std::string& name : book.m_HtmlFileList) {
            std::string text = ReadWholeFile(dir + name);
            for (size_t at = text.find("<img"); at != std::string::npos; at = text.find("<img", at + 1))
                ++images;
            EXPECT_EQ(text.find("kindle:"), std::string::npos) << name;
            EXPECT_EQ(text.find("filepos"), std::string::npos) << name;
        }
        EXPECT_EQ(images, c.images);
        for (const std::string& name : book.m_ResourceList)
            EXPECT_TRUE(FileExists(dir + name)) << name;
        ExpectLinksResolve(book, dir);
    }
}

TEST(EbookMobiFrame, HuffCdicBookGivesTheSameFilesAsItsUncompressedTwin)
{
    std::string huff = ScratchDirectory(), plain = ScratchDirectory();
    CEbookMobiFrame a, b;
    ASSERT_EQ(Convert(a, mobitest::DataPath("huffdic-joint.mobi"), huff), RC_OK);
    ASSERT_EQ(Convert(b, mobitest::DataPath("uncompressed-joint.mobi"), plain), RC_OK);
    const CIntermediateBook& bookA = *a.GetIntermediateBook();
    ASSERT_EQ(bookA.m_HtmlFileList, b.GetIntermediateBook()->m_HtmlFileList);
    ASSERT_EQ(bookA.m_ResourceList, b.GetIntermediateBook()->m_ResourceList);
    for (const std::string& name : bookA.m_HtmlFileList) {
        SCOPED_TRACE(name);
        std::string x = ReadWholeFile(huff + name);
        EXPECT_FALSE(x.empty());
        EXPECT_TRUE(x == ReadWholeFile(plain + name));
    }
}

TEST(EbookMobiFrame, NestedContentsOfTheKf8Part)
{
    std::string dir = ScratchDirectory();
    CEbookMobiFrame frame;
    ASSERT_EQ(Convert(frame, mobitest::DataPath("qs-eng-joint.mobi"), dir), RC_OK);
    const std::vector<NavPoint>& points = frame.GetIntermediateBook()->m_NavPoints;
    auto find = [&](const std::string& label) {
        for (size_t i = 0; i < points.size(); ++i)
            if (points[i].m_Label == label) return static_cast<int32_t>(i);
        return -1;
    };
    int32_t tasks = find("Common Tasks"), conversion = find("Task 2: Conversion");
    ASSERT_GE(tasks, 0);
    ASSERT_GE(conversion, 0);
    EXPECT_EQ(points[static_cast<size_t>(conversion)].m_Parent, tasks);
    EXPECT_EQ(points[static_cast<size_t>(find("2.7: DRM: the bane of conversion"))].m_Parent, conversion);
    EXPECT_EQ(Value(*frame.GetIntermediateBook(), "coverimage"), "Image00000.jpg");
}

struct CopyCase {
    const char* file;
    int32_t output;
    ResultCode expected;
};

TEST(EbookMobiFrame, BooksAlreadyInTheWantedFormatAreCopied)
{
    const CopyCase cases[] = {
        {"qs-eng-kf8.azw3", FORMAT_AZW3, RC_COPY_INPUT},  {"qs-eng-joint.mobi", FORMAT_MOBI, RC_COPY_INPUT},
        {"qs-eng-mobi6.mobi", FORMAT_PRC, RC_COPY_INPUT}, {"qs-eng-joint.mobi", FORMAT_AZW3, RC_OK},
        {"qs-eng-mobi6.mobi", FORMAT_AZW3, RC_OK},
    };
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " to " + std::to_string(c.output));
        CEbookMobiFrame frame;
        EXPECT_EQ(Convert(frame, mobitest::DataPath(c.file), ScratchDirectory(), c.output), c.expected);
    }
}

struct BadCase {
    const char* file;
    ResultCode expected;
};

TEST(EbookMobiFrame, BadBooksGiveTheirCodes)
{
    const BadCase cases[] = {
        {"bad-encryption2.mobi", RC_DRM_KINDLE},         {"bad-eof-record.mobi", RC_MOBI_EOF_RECORD},
        {"bad-truncated-half.mobi", RC_MOBI_EOF_RECORD}, {"bad-topaz.azw1", RC_DRM_TOPAZ},
        {"bad-invalid-indx.mobi", RC_MOBI_PALMDB_MAGIC}, {"no-such-book.mobi", RC_FILE_OPEN_FAILED},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::string dir = ScratchDirectory();
        CEbookMobiFrame frame;
        EXPECT_EQ(Convert(frame, mobitest::DataPath(c.file), dir), c.expected);
        GetMetaContext ctx{dir, dir + "cover"};
        EXPECT_EQ(frame.GetMetaData(mobitest::DataPath(c.file), ctx), c.expected);
        std::string copy = CopyFixture("qs-eng-mobi6.mobi", dir);
        if (c.expected != RC_FILE_OPEN_FAILED) {
            std::string bad = ReadData(c.file);
            ASSERT_EQ(WriteWholeFile(copy, bad), RC_OK);
            CIntermediateBook meta;
            meta.m_MetaData["title"] = {"x"};
            SetMetaContext set{dir, meta};
            EXPECT_EQ(frame.SetMetaData(copy, set), c.expected);
            std::string after;
            ReadFileBytes(copy, after);
            EXPECT_TRUE(after == bad);
        }
    }
}

TEST(EbookMobiFrame, EncryptedBookStillReportsItsMetadata)
{
    CEbookMobiFrame frame;
    GetMetaContext ctx{ScratchDirectory(), ""};
    EXPECT_EQ(frame.GetMetaData(mobitest::DataPath("bad-encryption2.mobi"), ctx), RC_DRM_KINDLE);
    EXPECT_EQ(Value(*frame.GetIntermediateBook(), "title"), "Quick Start Guide");
}

// The book's OpenType fonts come from a style sheet that another one imports, obfuscated in the
// EPUB: the Kindle file must hold them as plain fonts.
TEST(EbookMobiFrame, ObfuscatedEpubFontsAreEmbeddedPlain)
{
    for (const char* output : {"out.azw3", "out.mobi"}) {
        SCOPED_TRACE(output);
        ScratchDir scratch;
        CommandRun run = RunTarvoCmd(
            {"c", ::DataPath("epub3/wasteland-otf-obf.epub"), scratch / output, scratch / "work"});
        ASSERT_EQ(run.exitStatus, 0) << run.out;
        std::string file;
        ASSERT_TRUE(ReadFileBytes(scratch / output, file));
        CPalmDb db;
        ASSERT_EQ(db.OpenMemory(file), RC_OK);
        std::vector<std::string> fonts;
        for (uint32_t i = 0; i < db.Offsets().size(); ++i) {
            std::string record;
            if (db.ReadRecord(i, record) != RC_OK || record.compare(0, 4, "FONT") != 0) continue;
            CByteReader reader(record);
            ASSERT_GE(record.size(), 24u);
            std::string font(reader.U32At(4), '\0');
            uLongf size = font.size();
            ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(&font[0]), &size,
                                 reinterpret_cast<const Bytef*>(record.data() + 24), record.size() - 24),
                      Z_OK);
            fonts.push_back(font.substr(0, 4));
        }
        EXPECT_EQ(fonts, std::vector<std::string>(3, "OTTO"));
    }
}

// A rewritten record 0 would move the DRM voucher away from the offset its header gives, and the
// owner's reader could no longer open the book.
TEST(EbookMobiFrame, SetOnAnEncryptedBookIsRefusedAndLeavesItAsItWas)
{
    for (const char* book : {"bad-drm-pid-v2.mobi", "bad-encryption2.mobi"}) {
        SCOPED_TRACE(book);
        ScratchDir scratch;
        std::string original = ReadData(book);
        std::string path = scratch / "book.mobi";
        ASSERT_EQ(WriteWholeFile(path, original), RC_OK);
        CommandRun run = RunTarvoCmd({"s", path, scratch / "work", "-t", "New Title", "-cover",
                                      mobitest::DataPath("qs-eng-cover.jpg")});
        EXPECT_NE(run.out.find("Have Kindle DRM!\nreturn 65537\n"), std::string::npos) << run.out;
        EXPECT_EQ(run.exitStatus, 1);
        std::string after;
        ASSERT_TRUE(ReadFileBytes(path, after));
        EXPECT_TRUE(after == original);
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(scratch.Path()))
            if (entry.is_regular_file()) left.push_back(entry.path().filename());
        EXPECT_EQ(left, std::vector<std::string>{"book.mobi"});
    }
}

struct MetaCase {
    const char* file;
    const char* title;
    const char* creator;
    const char* publisher;
    const char* language;
    const char* asin;
    bool cover;
    bool rawKeys; // "MOBI_ID_" entries stay (UTF-8 books only)
};

TEST(EbookMobiFrame, GetMetaDataReadsTheStoredValuesAndCover)
{
    // Values as `mobitool -m` reports them.
    const MetaCase cases[] = {
        {"qs-eng-mobi6.mobi", "Quick Start Guide", "John Schember", "", "en",
         "2a348fdb-8a2f-4d4d-ad67-6bcdf56637a7", true, true},
        {"qs-eng-joint.mobi", "Quick Start Guide", "John Schember", "", "en",
         "8b47f28e-0dd2-497e-8b4b-a99d69f015d7", true, true},
        {"qs-eng-kf8.azw3", "Quick Start Guide", "John Schember", "", "en",
         "58e6bc7d-aeb6-4b71-b2ba-68184d22149e", true, true},
        {"cp1252-mobi6.mobi", "Libmobi test sample", "Bartek Fabiszewski", "Libmobi project", "", "", true,
         false},
        {"huffdic-joint.mobi", "Libmobi", "Bartek Fabiszewski", "Libmobi project", "en-us", "", true, true},
        {"font-kf8.mobi", "font", "Unknown", "", "en", "f670fccc-9935-467c-82b6-b5d39534b509", false, true},
    };
    std::string coverJpeg;
    for (const MetaCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::string dir = ScratchDirectory();
        CEbookMobiFrame frame;
        GetMetaContext ctx{dir, dir + "cover.img"};
        ASSERT_EQ(frame.GetMetaData(mobitest::DataPath(c.file), ctx), RC_OK);
        const CIntermediateBook& book = *frame.GetIntermediateBook();
        EXPECT_EQ(Value(book, "title"), c.title);
        EXPECT_EQ(Value(book, "creator"), c.creator);
        EXPECT_EQ(Value(book, "publisher"), c.publisher);
        EXPECT_EQ(Value(book, "language"), c.language);
        EXPECT_EQ(Value(book, "identifier_ASIN"), c.asin);
        bool raw = false;
        for (const auto& entry : book.m_MetaData)
            raw = raw || entry.first.rfind("MOBI_ID_", 0) == 0;
        EXPECT_EQ(raw, c.rawKeys);
        std::string cover;
        EXPECT_EQ(ReadFileBytes(dir + "cover.img", cover), c.cover);
        if (c.cover) {
            EXPECT_EQ(ImageTypeOf(cover), "jpg");
            EXPECT_EQ(Value(book, "coverimageext"), "jpg");
        }
    }
    // The qs-eng cover is the source EPUB's cover image, byte for byte.
    std::string dir = ScratchDirectory();
    CEbookMobiFrame frame;
    GetMetaContext ctx{dir, dir + "cover.img"};
    ASSERT_EQ(frame.GetMetaData(mobitest::DataPath("qs-eng-kf8.azw3"), ctx), RC_OK);
    std::string cover;
    ReadFileBytes(dir + "cover.img", cover);
    EXPECT_TRUE(cover == ReadData("qs-eng-cover.jpg")) << cover.size() << " bytes";
}

TEST(EbookMobiFrame, CoverComesFromTheKf8PartWhenTheFirstHasNone)
{
    std::string dir = ScratchDirectory();
    Record0 mobi6;
    mobi6.exthRecords = {{503, "Joint"}, {121, Be32(3)}};
    Record0 kf8;
    kf8.version = 8;
    kf8.firstResource = 2;
    kf8.exthRecords = {{503, "Joint"}, {201, Be32(0)}};
    std::string jpeg = JpegBytes("kf8 cover");
    std::string path = dir + "joint.azw";
    ASSERT_EQ(WriteWholeFile(
                  path, BuildPalmDb({mobi6.Build(), "<html><body>6</body></html>", "BOUNDARY", kf8.Build(),
                                     "<html><body>8</body></html>", jpeg, EndOfFileRecord()})),
              RC_OK);
    CEbookMobiFrame frame;
    GetMetaContext ctx{dir, dir + "cover.jpg"};
    ASSERT_EQ(frame.GetMetaData(path, ctx), RC_OK);
    std::string cover;
    ASSERT_TRUE(ReadFileBytes(dir + "cover.jpg", cover));
    EXPECT_EQ(cover, jpeg);
    EXPECT_EQ(Value(*frame.GetIntermediateBook(), "coverimageext"), "jpg");
}

TEST(EbookMobiFrame, Windows1252MetadataComesOutAsUtf8)
{
    std::string dir = ScratchDirectory();
    Record0 r0;
    r0.encoding = 1252;
    r0.exthRecords = {{503, "Caf\xE9"}, {100, "Jos\xE9"}, {300, "raw"}};
    std::string path = dir + "cp.mobi";
    ASSERT_EQ(
        WriteWholeFile(path, BuildPalmDb({r0.Build(), "<html><body>x</body></html>", EndOfFileRecord()})),
        RC_OK);
    CEbookMobiFrame frame;
    GetMetaContext ctx{dir, ""};
    ASSERT_EQ(frame.GetMetaData(path, ctx), RC_OK);
    const CIntermediateBook& book = *frame.GetIntermediateBook();
    EXPECT_EQ(Value(book, "title"), "Caf\xC3\xA9");
    EXPECT_EQ(Value(book, "creator"), "Jos\xC3\xA9");
    for (const auto& entry : book.m_MetaData)
        EXPECT_NE(entry.first.rfind("MOBI_ID_", 0), 0u) << entry.first;
    // Asking again converts nothing twice.
    EXPECT_EQ(Value(*frame.GetIntermediateBook(), "title"), "Caf\xC3\xA9");
}

struct SetCase {
    const char* file;
    bool kf8;
};

TEST(EbookMobiFrame, SetMetaDataRewritesBothPartsAndAddsACover)
{
    const SetCase cases[] = {{"qs-eng-mobi6.mobi", false},
                             {"qs-eng-joint.mobi", true},
                             {"qs-eng-kf8.azw3", true},
                             {"cp1252-mobi6.mobi", false},
                             {"huffdic-joint.mobi", true}};
    std::string newCover = JpegBytes(std::string(3000, 'c'));
    for (const SetCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::string dir = ScratchDirectory();
        std::string path = CopyFixture(c.file, dir);
        ASSERT_EQ(WriteWholeFile(dir + "new.jpg", newCover), RC_OK);
        CEbookMobiFrame before;
        ASSERT_EQ(Convert(before, path, ScratchDirectory()), RC_OK);
        size_t htmlFiles = before.GetIntermediateBook()->m_HtmlFileList.size();

        CIntermediateBook meta;
        meta.m_MetaData["title"] = {"Neuer Titel \xC3\xA9"};
        meta.m_MetaData["creator"] = {"Ann One", "Bob&#x27;s Two"};
        meta.m_MetaData["language"] = {"fr"};
        meta.m_MetaData["description"] = {"About it"};
        meta.m_MetaData["coverimage"] = {dir + "new.jpg"};
        SetMetaContext set{dir, meta};
        CEbookMobiFrame writer;
        ASSERT_EQ(writer.SetMetaData(path, set), RC_OK);
        EXPECT_FALSE(FileExists(path + ".bak"));
        EXPECT_FALSE(FileExists(dir + GetFileName(path) + ".bak"));

        CEbookMobiFrame reader;
        GetMetaContext get{dir, dir + "cover.out"};
        ASSERT_EQ(reader.GetMetaData(path, get), RC_OK);
        const CIntermediateBook& book = *reader.GetIntermediateBook();
        EXPECT_EQ(Value(book, "title"), "Neuer Titel \xC3\xA9");
        // One record per author, each showing the character its reference stood for.
        EXPECT_EQ(book.m_MetaData.at("creator"), (std::vector<std::string>{"Ann One", "Bob's Two"}));
        EXPECT_EQ(Value(book, "language"), "fr");
        EXPECT_EQ(Value(book, "languageid"), "00000012");
        EXPECT_EQ(Value(book, "description"), "About it");
        std::string cover;
        ASSERT_TRUE(ReadFileBytes(dir + "cover.out", cover));
        EXPECT_EQ(cover, newCover);

        // The qs-eng books name their cover for KF8 readers too; it follows the new cover record.
        std::string uri = Value(book, CIntermediateBook::GetKeyByExthId(129));
        if (!uri.empty()) {
            uint32_t offset = book.GetUint32ByExthId(201);
            char expected[32];
            // Numbers below 10 read the same in base 32.
            std::snprintf(expected, sizeof expected, "kindle:embed:%04u", offset + 1);
            EXPECT_EQ(uri, expected);
        }

        CEbookMobiFrame after;
        ASSERT_EQ(Convert(after, path, ScratchDirectory()), RC_OK);
        EXPECT_EQ(after.GetIntermediateBook()->m_HtmlFileList.size(), htmlFiles);

        CFile file;
        ASSERT_EQ(file.Open(path, false, false), RC_OK);
        CPalmDb db;
        ASSERT_EQ(db.Open(file), RC_OK);
        CMobiHeader first, kf8;
        bool joint = false;
        ASSERT_EQ(OpenMobiParts(db, first, kf8, joint, nullptr), RC_OK);
        EXPECT_EQ(first.IsKf8() || joint, c.kf8);
        EXPECT_EQ(first.m_FullName, first.IsCp1252() ? "Neuer Titel \xE9" : "Neuer Titel \xC3\xA9");
        EXPECT_EQ(first.m_Record0.size() % 1024, 0u);
        for (CMobiHeader* part : {&first, &kf8}) {
            if (part == &kf8 && !joint) continue;
            EXPECT_EQ(part->Fields().m_Locale, 0x0Cu);
            EXPECT_EQ(part->m_Book.m_MetaData.at("creator").size(), 2u);
        }
    }
}

TEST(EbookMobiFrame, FailedRewriteLeavesTheBookAsItWas)
{
    std::string dir = ScratchDirectory();
    std::string path = CopyFixture("qs-eng-joint.mobi", dir);
    std::string original = ReadData("qs-eng-joint.mobi");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    // The new cover makes the rewritten book larger than the files may grow.
    ASSERT_EQ(WriteWholeFile(dir + "big.jpg", JpegBytes(std::string(100000, 'c'))), RC_OK);
    CIntermediateBook meta;
    meta.m_MetaData["title"] = {"x"};
    meta.m_MetaData["coverimage"] = {dir + "big.jpg"};
    SetMetaContext set{dir + "missing/", meta};
    CEbookMobiFrame frame;
    {
        FileSizeLimit limit(original.size() + 4096);
        EXPECT_EQ(frame.SetMetaData(path, set), RC_FILE_WRITE_FAILED);
    }
    std::string after;
    ReadFileBytes(path, after);
    EXPECT_TRUE(after == original);
    struct stat st {
    };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir))
        ++files;
    EXPECT_EQ(files, 2u) << "the book and the cover; no temporary file is left";
}

TEST(EbookMobiFrame, CoverOffsetOfANonImageIsDroppedOnRewrite)
{
    std::string dir = ScratchDirectory();
    Record0 r0;
    r0.firstResource = 2;
    r0.exthRecords = {{503, "T"}, {201, Be32(1)}, {202, Be32(0)}};
    std::string path = dir + "b.mobi";
    ASSERT_EQ(WriteWholeFile(path, BuildPalmDb({r0.Build(), "<html><body>x</body></html>", JpegBytes(),
                                                "FLIS" + std::string(32, '\0'), EndOfFileRecord()})),
              RC_OK);
    CIntermediateBook meta;
    meta.m_MetaData["title"] = {"New"};
    SetMetaContext set{dir, meta};
    CEbookMobiFrame frame;
    ASSERT_EQ(frame.SetMetaData(path, set), RC_OK);
    CEbookMobiFrame reader;
    GetMetaContext get{dir, dir + "cover"};
    ASSERT_EQ(reader.GetMetaData(path, get), RC_OK);
    const MetaDataMap& map = reader.GetIntermediateBook()->m_MetaData;
    EXPECT_EQ(map.count(CIntermediateBook::GetKeyByExthId(201)), 0u);
    EXPECT_EQ(map.count(CIntermediateBook::GetKeyByExthId(202)), 0u);
    EXPECT_EQ(Value(*reader.GetIntermediateBook(), "title"), "New");
    EXPECT_FALSE(FileExists(dir + "cover"));
}

struct ShiftCase {
    const char* label;
    uint32_t version;
    uint32_t insertAt;
    std::vector<std::pair<size_t, uint32_t>> before;
    std::vector<std::pair<size_t, uint32_t>> after;
};

TEST(MobiRewrite, ShiftRecordNumbersMovesFieldsAtOrPastTheInsertion)
{
    const ShiftCase cases[] = {
        {"MOBI 6: FCIS, FLIS move, NCX before stays, unset first image set",
         6,
         18,
         {{0xC8, 18}, {0xD0, 19}, {0xF4, 13}, {0x6C, NO_RECORD}, {0x70, 0}},
         {{0xC8, 20}, {0xD0, 21}, {0xF4, 13}, {0x6C, 18}, {0x70, 0}}},
        {"KF8: FDST and indexes past the images move",
         8,
         27,
         {{0xC0, 27}, {0xC8, 28}, {0xF4, 22}, {0x104, 30}, {0x6C, 25}},
         {{0xC0, 29}, {0xC8, 30}, {0xF4, 22}, {0x104, 32}, {0x6C, 25}}},
        {"unset fields stay unset",
         8,
         5,
         {{0xF8, NO_RECORD}, {0xE0, NO_RECORD}},
         {{0xF8, NO_RECORD}, {0xE0, NO_RECORD}}},
    };
    for (const ShiftCase& c : cases) {
        SCOPED_TRACE(c.label);
        Record0 r0;
        r0.version = c.version;
        std::string record = r0.Build();
        for (const auto& [offset, value] : c.before)
            PutU32At(record, offset, value);
        if (c.version == 6) PutU16At(record, 0xC2, 17);
        ShiftRecordNumbers(record, c.insertAt, 2);
        CByteReader r(record);
        for (const auto& [offset, value] : c.after)
            EXPECT_EQ(r.U32At(offset), value) << std::hex << offset;
        if (c.version == 6) {
            EXPECT_EQ(r.U16At(0xC2), 19);
        }
    }
}

TEST(MobiRewrite, RebuiltRecord0KeepsItsHeaderAndEndsAligned)
{
    Record0 r0;
    r0.exthRecords = {{503, "Old"}, {121, Be32(9)}};
    std::string old = r0.Build();
    MetaDataMap map{{"title", {"A longer new title"}},
                    {"creator", {"X"}},
                    {"coverimage", {"/tmp/c.jpg"}},
                    {"languageid", {"00000009"}}};
    std::string rebuilt;
    ASSERT_TRUE(RebuildRecord0(old, map, "A longer new title", "", rebuilt));
    EXPECT_EQ(rebuilt.size() % 1024, 0u);
    EXPECT_EQ(rebuilt.compare(0, 0x54, old, 0, 0x54), 0);
    CByteReader r(rebuilt);
    uint32_t nameOffset = r.U32At(0x54);
    EXPECT_EQ(rebuilt.substr(nameOffset, r.U32At(0x58)), "A longer new title");
    EXPECT_EQ(rebuilt.find("/tmp/c.jpg"), std::string::npos);
    EXPECT_EQ(rebuilt.find("00000009"), std::string::npos);
    std::string tooShort = old.substr(0, 40);
    EXPECT_FALSE(RebuildRecord0(tooShort, map, "x", "", rebuilt));
}

} // namespace
