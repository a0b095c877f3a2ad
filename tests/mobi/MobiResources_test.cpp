#include "mobi/MobiResources.h"

#include "MobiTestBook.h"
#include "base/Files.h"
#include "base/Folders.h"
#include "mobi/ByteIO.h"

#include <gtest/gtest.h>
#include <zlib.h>

using namespace mobitest;

namespace
{

std::string Png(char tag)
{
    return std::string("\x89PNG\r\n\x1a\n", 8) + std::string(24, tag);
}
std::string Gif(char tag)
{
    return std::string("GIF89a") + std::string(24, tag);
}

// A TempDirectory inside a scratch folder, with a readable image just outside it.
struct TempBook {
    std::string outer = ScratchDirectory();
    std::string temp = outer + "temp/";
    TempBook() { Put("../outside.png", Png('o')); }
    void Put(const std::string& name, const std::string& bytes)
    {
        EXPECT_EQ(MakePath(temp + name), RC_OK);
        EXPECT_EQ(WriteWholeFile(temp + name, bytes), RC_OK);
    }
};

} // namespace

TEST(MobiResources, ReferencesByKindAndNumber)
{
    TempBook book;
    book.Put("Text/a.png", Png('a'));
    book.Put("Images/b.gif", Gif('b'));
    book.Put("Images/my pic.png", Png('c'));
    book.Put("Styles/s.css", "p { color: red }");
    book.Put("Images/d.svg", "<svg/>");
    book.Put("Media/m.mp3", "ID3 sound");
    book.Put("Media/v.mp4", "movie");
    book.Put("Text/empty.png", "");
    book.Put("Text/notes.txt", "plain words");
    struct Case {
        const char* label;
        const char* directory;
        const char* ref;
        bool kf8;
        const char* expected;
    };
    const std::string absolute = book.outer + "outside.png";
    const Case cases[] = {
        {"first image", "Text", "a.png", false, "00001"},
        {"second image, kind by content", "Text", "../Images/b.gif", true,
         "kindle:embed:0002?mime=image/gif"},
        {"same image from another file", "Images", "../Text/a.png#frag", false, "00001"},
        {"same image, KF8 form", "", "Text/./a.png?x=1", true, "kindle:embed:0001?mime=image/png"},
        {"URL-encoded name", "Text", "../Images/my%20pic.png", false, "00003"},
        {"style sheet in MOBI 6", "Text", "../Styles/s.css", false, ""},
        {"first style sheet flow", "Text", "../Styles/s.css", true, "kindle:flow:0001?mime=text/css"},
        {"style sheet seen again", "Styles", "s.css", true, "kindle:flow:0001?mime=text/css"},
        {"SVG flow", "Images", "d.svg", true, "kindle:flow:0002?mime=image/svg+xml"},
        {"audio", "Media", "m.mp3", false, "00004"},
        {"video", "Media", "v.mp4", true, "kindle:embed:0005?mime=video/mp4"},
        {"missing file", "Text", "gone.png", false, ""},
        {"empty file", "Text", "empty.png", false, ""},
        {"unknown kind", "Text", "notes.txt", true, ""},
        {"climbs out", "", "../outside.png", false, ""},
        {"climbs out from a folder", "x", "../../outside.png", false, ""},
        {"climbs out through a folder", "", "x/../../../outside.png", false, ""},
        {"climbs out encoded", "", "%2e%2e/outside.png", false, ""},
        {"climbs out with backslashes", "Text", "..\\..\\outside.png", false, ""},
        {"absolute", "", absolute.c_str(), false, ""},
        {"system file", "", "/etc/passwd", false, ""},
        {"system file relative", "Text", "../../etc/passwd", false, ""},
        {"other scheme", "", "http://example.com/a.png", false, ""},
        {"NUL in name", "Text", "a.png%00.css", false, ""},
        {"fragment only", "Text", "#top", false, ""},
    };
    CMobiResources resources(book.temp, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(resources.Reference(c.directory, c.ref, c.kf8), c.expected);
    }
    ASSERT_EQ(resources.RecordCount(), 5u);
    std::vector<std::string> records = resources.Records();
    EXPECT_EQ(records[0], Png('a'));
    EXPECT_EQ(records[1], Gif('b'));
    EXPECT_EQ(records[3], "AUDI" + Be32(12) + Be32(40) + "ID3 sound");
    EXPECT_EQ(records[4], "VIDE" + Be32(12) + Be32(41) + "movie");
    std::vector<MobiResource*> flows = resources.Flows();
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(flows[0]->m_Bytes, "p { color: red }");
    EXPECT_EQ(flows[1]->m_Path, "Images/d.svg");
    EXPECT_EQ(resources.AddFlow("inline", "b {}", ResourceKind::StyleSheet),
              "kindle:flow:0003?mime=text/css");
    EXPECT_FALSE(resources.HasFonts());
}

TEST(MobiResources, FontsFromTheSmallestEmbeddedSize)
{
    TempBook book;
    std::string small(1039, 'f'), font(1040, '\0');
    for (size_t i = 0; i < font.size(); ++i)
        font[i] = static_cast<char>(i * 7);
    book.Put("small.ttf", small);
    book.Put("font.ttc", font);
    CMobiResources resources(book.temp, nullptr);
    EXPECT_EQ(resources.Reference("", "small.ttf", true), "");
    EXPECT_FALSE(resources.HasFonts());
    EXPECT_EQ(resources.Reference("", "font.ttc", true), "kindle:embed:0001");
    EXPECT_TRUE(resources.HasFonts());
    ASSERT_EQ(resources.RecordCount(), 1u);
    std::string record = resources.Records()[0];
    CByteReader reader(record);
    EXPECT_TRUE(reader.Equals(0, "FONT", 4));
    EXPECT_EQ(reader.U32At(4), 1040u);
    EXPECT_EQ(reader.U32At(8), 1u);
    EXPECT_EQ(reader.U32At(12), 24u);
    EXPECT_EQ(record.size() % 4, 0u);
    std::string inflated(1040, '\0');
    uLongf size = inflated.size();
    // Trailing zero padding is beyond the zlib stream's end and ignored by uncompress.
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(&inflated[0]), &size,
                         reinterpret_cast<const Bytef*>(record.data() + 24), record.size() - 24),
              Z_OK);
    EXPECT_EQ(inflated, font);
}

// Kindle readers take TrueType and OpenType, PostScript outlines ("otf") included.
TEST(MobiResources, FontKindsEmbedded)
{
    const std::pair<const char*, bool> cases[] = {
        {"f.ttf", true},     {"f.ttc", true},   {"f.otf", true},  {"F.OTF", true},
        {"f.obf.otf", true}, {"f.woff", false}, {"f.fnt", false},
    };
    TempBook book;
    CMobiResources resources(book.temp, nullptr);
    for (const auto& [name, embedded] : cases) {
        book.Put(name, std::string("OTTO") + std::string(2000, 'f'));
        EXPECT_EQ(!resources.Reference("", name, true).empty(), embedded) << name;
    }
    EXPECT_EQ(resources.RecordCount(), 5u);
}

TEST(MobiResources, CoverAndThumbnailAreNeighbours)
{
    TempBook book;
    book.Put("Images/cover.jpg", Png('c'));
    book.Put("Images/other.png", Png('o'));
    book.Put("notes.txt", "words");
    {
        SCOPED_TRACE("cover before the text");
        CMobiResources resources(book.temp, nullptr);
        ASSERT_TRUE(resources.AddCover("Images/cover.jpg"));
        EXPECT_EQ(resources.CoverIndex(), 0);
        EXPECT_EQ(resources.ThumbIndex(), 1);
        EXPECT_EQ(resources.Reference("Text", "../Images/cover.jpg", false), "00001");
        EXPECT_EQ(resources.Reference("Text", "../Images/other.png", true),
                  "kindle:embed:0003?mime=image/png");
        std::vector<std::string> records = resources.Records();
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[1], records[0]);
    }
    {
        SCOPED_TRACE("cover referenced earlier");
        CMobiResources resources(book.temp, nullptr);
        EXPECT_EQ(resources.Reference("", "Images/other.png", false), "00001");
        EXPECT_EQ(resources.Reference("", "Images/cover.jpg", false), "00002");
        ASSERT_TRUE(resources.AddCover("Images/cover.jpg"));
        EXPECT_EQ(resources.CoverIndex(), 1);
        EXPECT_EQ(resources.ThumbIndex(), 2);
        ASSERT_TRUE(resources.AddCover("Images/cover.jpg"));
        EXPECT_EQ(resources.RecordCount(), 3u);
    }
    {
        SCOPED_TRACE("cover name taken literally");
        book.Put("Images/a%20b.png", Png('l'));
        CMobiResources resources(book.temp, nullptr);
        ASSERT_TRUE(resources.AddCover("Images/./a%20b.png"));
        EXPECT_EQ(resources.Records()[0], Png('l'));
        EXPECT_FALSE(resources.AddCover("../outside.png"));
    }
    {
        SCOPED_TRACE("cover that is no image");
        CMobiResources resources(book.temp, nullptr);
        EXPECT_FALSE(resources.AddCover("notes.txt"));
        EXPECT_EQ(resources.CoverIndex(), -1);
        EXPECT_EQ(resources.RecordCount(), 0u);
    }
}
