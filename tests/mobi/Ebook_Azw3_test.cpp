#include "mobi/Ebook_Azw3.h"

#include "base/Files.h"
#include "ebook/HtmlParse.h"
#include "mobi/DroppedAttributes.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace mobitest;

namespace
{

std::string Fdst(uint32_t announced, const std::vector<std::pair<uint32_t, uint32_t>>& flows)
{
    std::string r = "FDST" + Be32(12) + Be32(announced);
    for (const auto& [start, end] : flows)
        r += Be32(start) + Be32(end);
    return r;
}

// A KF8 part opened from memory with one FDST record; the decoded text is set directly.
struct Kf8Book {
    std::string file;
    CPalmDb db;
    CMobiHeader header;
    std::string dir = ScratchDirectory();

    Kf8Book(const std::string& text, const std::string& fdst, int resources = 0)
    {
        Record0 r0;
        r0.version = 8;
        std::string record0 = r0.Build();
        PutU32At(record0, 0xC0, 2);
        file = BuildPalmDb({record0, "text", fdst, EndOfFileRecord()});
        EXPECT_EQ(db.OpenMemory(file), RC_OK);
        EXPECT_EQ(header.Init(db, 0, nullptr), RC_OK);
        header.m_Text = text;
        for (int i = 0; i < resources; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Image%05d.jpg", i);
            header.m_ResourceFiles.push_back(name);
            header.m_ResourceMap[i] = name;
        }
    }
};

struct Base32Case {
    const char* label;
    const char* text;
    size_t width;
    bool ok;
    int64_t value;
};

TEST(EbookAzw3, ReadBase32)
{
    const Base32Case cases[] = {
        {"digits", "0001", 4, true, 1},
        {"letter A is ten", "000A", 4, true, 10},
        {"V is the last digit", "000V", 4, true, 31},
        {"two places", "0010", 4, true, 32},
        {"ten-digit offset", "000000001A", 10, true, 42},
        {"W is no digit", "000W", 4, false, 0},
        {"lower case is no digit", "000a", 4, false, 0},
        {"too short", "001", 4, false, 0},
    };
    for (const Base32Case& c : cases) {
        SCOPED_TRACE(c.label);
        int64_t value = -1;
        EXPECT_EQ(ReadBase32(c.text, 0, c.width, value), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
}

struct EmbedCase {
    const char* label;
    const char* flow;
    const char* expected;
};

TEST(EbookAzw3, ReplaceEmbedsNamesTheUnpackedResource)
{
    const EmbedCase cases[] = {
        {"parenthesis", "a{background:url(kindle:embed:0001?mime=image/jpeg)}",
         "a{background:url(Image00000.jpg)}"},
        {"letter digit", "url(kindle:embed:000A)", "url(Image00009.jpg)"},
        {"double quote", "src:url(\"kindle:embed:0002?mime=font/ttf\") x", "src:url(\"Image00001.jpg\") x"},
        {"single quote", "url('kindle:embed:0002?x')", "url('Image00001.jpg')"},
        {"no file for the number", "url(kindle:embed:0011?mime=image/png)", "url()"},
        {"not base 32 stays", "url(kindle:embed:zz01)", "url(kindle:embed:zz01)"},
        {"no closing bracket", "url(kindle:embed:0001", "url(Image00000.jpg"},
        {"later rules are kept", "url(kindle:embed:0001) b{c:url(x)}", "url(Image00000.jpg) b{c:url(x)}"},
    };
    Kf8Book book("", Fdst(1, {{0, 0}}), 10);
    CEbookAzw3 azw3(book.header, book.header, book.dir, nullptr);
    for (const EmbedCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(azw3.ReplaceEmbeds(c.flow), c.expected);
    }
}

struct FlowCase {
    const char* label;
    uint32_t announced;
    std::vector<std::pair<uint32_t, uint32_t>> flows;
    std::vector<int64_t> written;
};

TEST(EbookAzw3, ReadFlowsSkipsFlowsOutsideTheText)
{
    const std::string text = "0123456789abcdefghij"; // 20 bytes
    const FlowCase cases[] = {
        {"count clamped to the record: 5 announced, 4 held",
         5,
         {{0, 5}, {5, 8}, {8, 12}, {12, 20}},
         {1, 2, 3}},
        {"empty flow skipped", 3, {{0, 5}, {5, 5}, {5, 9}}, {2}},
        {"end past the text skipped", 3, {{0, 5}, {5, 21}, {5, 20}}, {2}},
        {"start after end skipped", 2, {{0, 5}, {9, 6}}, {}},
        {"huge values skipped", 2, {{0, 5}, {0xFFFFFFF0u, 0xFFFFFFFFu}}, {}},
        {"flows repeating the text stop at its size", 4, {{0, 5}, {0, 20}, {0, 20}, {19, 20}}, {1}},
    };
    for (const FlowCase& c : cases) {
        SCOPED_TRACE(c.label);
        Kf8Book book(text, Fdst(c.announced, c.flows));
        CEbookAzw3 azw3(book.header, book.header, book.dir, nullptr);
        azw3.ReadFlows();
        std::vector<int64_t> written;
        for (const auto& flow : azw3.FlowMap())
            written.push_back(flow.first);
        EXPECT_EQ(written, c.written);
    }
    Kf8Book book(text, Fdst(2, {{0, 5}, {5, 9}}));
    CEbookAzw3 azw3(book.header, book.header, book.dir, nullptr);
    azw3.ReadFlows();
    EXPECT_EQ(ReadWholeFile(book.dir + "flow0001.css"), "5678");
}

SkelEntry Skeleton(int32_t number, uint32_t fragments, uint32_t start, uint32_t length)
{
    SkelEntry s;
    s.m_Number = number;
    s.m_FragmentCount = fragments;
    s.m_StartOffset = start;
    s.m_Length = length;
    return s;
}

ChunkEntry Fragment(uint32_t insert, uint32_t file, uint32_t sequence, uint32_t start, uint32_t length)
{
    ChunkEntry f;
    f.m_InsertPosition = insert;
    f.m_FileNumber = file;
    f.m_SequenceNumber = sequence;
    f.m_StartOffset = start;
    f.m_Length = length;
    return f;
}

TEST(EbookAzw3, RebuildPutsFragmentsIntoTheirSkeleton)
{
    // Skeleton 0 "<a><b></b></a>" (14 bytes) takes "X" at 3 and "YY" at 7 of the rebuilt text;
    // skeleton 1 "<c></c>" takes "Z" at 17+3.
    std::string text = "<a><b></b></a>XYY<c></c>Z";
    Kf8Book book(text, Fdst(1, {{0, static_cast<uint32_t>(text.size())}}));
    book.header.m_SkelIndex.m_Entries = {Skeleton(0, 2, 0, 14), Skeleton(1, 1, 17, 7)};
    book.header.m_ChunkIndex.m_Entries = {Fragment(3, 0, 1, 0, 1), Fragment(7, 0, 2, 1, 2),
                                          Fragment(20, 1, 3, 0, 1)};
    CEbookAzw3 azw3(book.header, book.header, book.dir, nullptr);
    azw3.RebuildFiles();
    EXPECT_EQ(azw3.RebuiltText(), "<a>X<b>YY</b></a><c>Z</c>");
    ASSERT_EQ(azw3.Files().size(), 2u);
    EXPECT_EQ(azw3.Files()[1].m_Start, 17u);
    EXPECT_EQ(azw3.Files()[1].m_Name, "text00001.html");
    EXPECT_EQ(azw3.FragmentPosition(3, 1), 21);
}

TEST(EbookAzw3, FragmentsOutsideTheTextOrFileAreSkipped)
{
    std::string text = "<a></a>XY";
    Kf8Book book(text, Fdst(1, {{0, 9}}));
    book.header.m_SkelIndex.m_Entries = {Skeleton(0, 5, 0, 7), Skeleton(1, 0, 0xFFFFFFF0u, 100)};
    book.header.m_ChunkIndex.m_Entries = {
        Fragment(3, 0, 1, 0, 5),           // bytes past the text
        Fragment(3, 0, 2, 0xFFFFFFF0u, 1), // start past the text
        Fragment(99, 0, 3, 0, 1),          // insert past the file
        Fragment(3, 7, 4, 0, 1),           // another file's fragment
        Fragment(3, 0, 5, 1, 1),           // fits: "Y"
    };
    CEbookAzw3 azw3(book.header, book.header, book.dir, nullptr);
    azw3.RebuildFiles();
    EXPECT_EQ(azw3.RebuiltText(), "<a>Y</a>");
    EXPECT_EQ(azw3.Files().size(), 2u); // the broken skeleton gives an empty file
}

TEST(EbookAzw3, RepeatedFragmentsCannotGrowPastTheText)
{
    // Every fragment names the same 1000 bytes; together they may take the text's size once.
    std::string text = "<a></a>" + std::string(1000, 'x');
    Kf8Book book(text, Fdst(1, {{0, static_cast<uint32_t>(text.size())}}));
    book.header.m_SkelIndex.m_Entries = {Skeleton(0, 1000, 0, 7)};
    for (uint32_t i = 0; i < 1000; ++i)
        book.header.m_ChunkIndex.m_Entries.push_back(Fragment(3, 0, i, 0, 1000));
    CEbookAzw3 azw3(book.header, book.header, book.dir, nullptr);
    azw3.RebuildFiles();
    EXPECT_LE(azw3.RebuiltText().size(), text.size());
}

// Aids alone on their element stay (a list item without a class, say); the rest must go, or the
// pass stopped early on the markup real books have.
TEST(EbookAzw3, RealKf8BooksLoseMostAidsBeforeTheParse)
{
    for (const char* name : {"qs-eng-kf8.azw3", "lm-ja-kf8.azw3", "qs-eng-joint.mobi"}) {
        SCOPED_TRACE(name);
        CFile file;
        ASSERT_EQ(file.Open(DataPath(name), false, false), RC_OK);
        CPalmDb db;
        ASSERT_EQ(db.Open(file), RC_OK);
        CMobiHeader first, kf8;
        bool joint = false;
        ASSERT_EQ(OpenMobiParts(db, first, kf8, joint, nullptr), RC_OK);
        CMobiHeader& part = joint ? kf8 : first;
        std::string dir = ScratchDirectory();
        ASSERT_EQ(part.UnpackTextRecord(dir), RC_OK);
        ASSERT_EQ(part.GetIndexRecord(), RC_OK);
        CEbookAzw3 azw3(part, part, dir, nullptr);
        azw3.RebuildFiles();
        size_t before = 0, after = 0;
        auto count = [](const std::string& text) {
            size_t n = 0;
            for (size_t at = text.find(" aid=\""); at != std::string::npos; at = text.find(" aid=\"", at + 1))
                ++n;
            return n;
        };
        for (const TextPiece& piece : azw3.Files()) {
            std::string original = azw3.RebuiltText().substr(piece.m_Start, piece.m_End - piece.m_Start);
            std::string stripped = WithoutAidAttributes(azw3.RebuiltText(), piece.m_Start, piece.m_End);
            before += count(original);
            after += count(stripped);
        }
        EXPECT_GT(before, 50u);
        EXPECT_LT(after * 5, before) << after << " of " << before << " aids left";
    }
}

TEST(EbookAzw3, InputPrinterResolvesKindleReferences)
{
    std::string svgFlow = "<?xml version=\"1.0\"?><svg xmlns=\"http://www.w3.org/2000/svg\"><rect/></svg>";
    std::string html = "<html><head><link rel=\"stylesheet\" "
                       "href=\"kindle:flow:0001?mime=text/css\"/></head><body aid=\"0\">"
                       "<p id=\"target\" aid=\"1\">T</p>"
                       "<a href=\"kindle:pos:fid:0003:off:000000001A\">link</a>"
                       "<img src=\"kindle:embed:000A?mime=image/jpeg\"/>"
                       "<img src=\"kindle:flow:0002?mime=image/svg+xml\"/>"
                       "<img src=\"kindle:flow:0002?mime=image/svg+xml\"/>"
                       "</body></html>";
    std::string text = html + "p{}" + svgFlow;
    uint32_t h = static_cast<uint32_t>(html.size());
    Kf8Book book(text, Fdst(3, {{0, h}, {h, h + 3}, {h + 3, static_cast<uint32_t>(text.size())}}), 10);
    book.header.m_SkelIndex.m_Entries = {Skeleton(0, 0, 0, h)};
    // Fragment 3 sits 16 bytes before the paragraph, so offset 0x1A (42) ends 26 bytes past it.
    size_t paragraph = html.find("<p id");
    book.header.m_ChunkIndex.m_Entries = {Fragment(static_cast<uint32_t>(paragraph - 16), 0, 3, 0, 0)};
    CEbookAzw3 azw3(book.header, book.header, book.dir, nullptr);
    ASSERT_EQ(azw3.MakeFileListToMetaData(), RC_OK);
    ASSERT_EQ(book.header.m_Book.m_HtmlFileList, std::vector<std::string>{"text00000.html"});
    std::string out = ReadWholeFile(book.dir + "text00000.html");
    EXPECT_NE(out.find("href=\"flow0001.css\""), std::string::npos) << out;
    EXPECT_NE(out.find("<a href=\"text00000.html#target\">"), std::string::npos) << out;
    EXPECT_NE(out.find("src=\"Image00009.jpg\""), std::string::npos) << out;
    EXPECT_NE(out.find("<svg xmlns=\"http://www.w3.org/2000/svg\"><rect/></svg>"), std::string::npos) << out;
    // The flow went inline once; the second reference keeps its source.
    EXPECT_NE(out.find("kindle:flow:0002"), std::string::npos) << out;
    EXPECT_EQ(out.find("aid="), std::string::npos) << out;
    const std::vector<std::string>& resources = book.header.m_Book.m_ResourceList;
    EXPECT_NE(std::find(resources.begin(), resources.end(), "flow0001.css"), resources.end());
    EXPECT_EQ(std::find(resources.begin(), resources.end(), "flow0002.css"), resources.end());
}

TEST(EbookAzw3, GuideAndNavPointsResolveThroughFragments)
{
    std::string html = "<html><body><p id=\"a\">A</p><p id=\"b\">B</p></body></html>";
    uint32_t h = static_cast<uint32_t>(html.size());
    Kf8Book book(html, Fdst(1, {{0, h}}));
    book.header.m_SkelIndex.m_Entries = {Skeleton(0, 0, 0, h)};
    size_t b = html.find("<p id=\"b\"");
    book.header.m_ChunkIndex.m_Entries = {Fragment(static_cast<uint32_t>(b - 2), 0, 7, 0, 0)};
    GuideItem item;
    item.m_Type = "text";
    item.m_FragmentNumber = 7;
    item.m_FragmentOffset = 2;
    book.header.m_Book.m_GuideItems.push_back(item);
    book.header.m_NcxIndex.m_Entries.resize(1);
    NavPoint point;
    point.m_FragmentNumber = 7;
    point.m_FragmentOffset = 2;
    point.m_Label = "B";
    book.header.m_Book.m_NavPoints.push_back(point);
    CEbookAzw3 azw3(book.header, book.header, book.dir, nullptr);
    ASSERT_EQ(azw3.MakeFileListToMetaData(), RC_OK);
    ASSERT_EQ(book.header.m_Book.m_GuideItems.size(), 1u);
    EXPECT_EQ(book.header.m_Book.m_GuideItems[0].m_Href, "text00000.html#b");
    ASSERT_EQ(book.header.m_Book.m_NavPoints.size(), 1u);
    EXPECT_EQ(book.header.m_Book.m_NavPoints[0].m_Src, "text00000.html#b");
}

} // namespace
