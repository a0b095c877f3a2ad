// The metadata of EPUB 3 books through the whole program: what "g" reports, the package of the EPUB
// we write, and the EXTH records of both parts of the Kindle files we write.
#include "base/Files.h"
#include "base/IntermediateBook.h"
#include "base/Zip.h"

#include "TestSupport.h"

#include <algorithm>
#include <map>
#include <utility>

namespace
{

uint32_t Be32At(const std::string& data, size_t at)
{
    const auto* b = reinterpret_cast<const unsigned char*>(data.data() + at);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

struct KindlePart {
    std::string fullName;
    std::multimap<uint32_t, std::string> records; // EXTH type -> value, in file order per type
    std::vector<std::string> Values(uint32_t type) const
    {
        std::vector<std::string> values;
        for (auto [it, end] = records.equal_range(type); it != end; ++it)
            values.push_back(it->second);
        return values;
    }
};

// Record 0 of every part of a Kindle file: its own and, through EXTH 121, the KF8 part's. Every
// field is checked against the bytes there are; a part that does not read gives a failure.
std::vector<KindlePart> ReadKindleParts(const std::string& file)
{
    std::vector<KindlePart> parts;
    if (file.size() < 78) return parts;
    const size_t count = (uint32_t(uint8_t(file[76])) << 8) | uint8_t(file[77]);
    if (file.size() < 78 + 8 * count) return parts;
    std::vector<size_t> offsets;
    for (size_t i = 0; i < count; ++i)
        offsets.push_back(Be32At(file, 78 + 8 * i));
    offsets.push_back(file.size());
    std::vector<size_t> pending = {0};
    while (!pending.empty() && parts.size() < 2) {
        const size_t r = pending.back();
        pending.pop_back();
        if (r >= count || offsets[r] > offsets[r + 1] || offsets[r + 1] > file.size()) break;
        const std::string record = file.substr(offsets[r], offsets[r + 1] - offsets[r]);
        if (record.size() < 0x5C) break;
        KindlePart part;
        const size_t nameAt = Be32At(record, 0x54), nameLength = Be32At(record, 0x58);
        if (nameAt <= record.size() && nameLength <= record.size() - nameAt)
            part.fullName = record.substr(nameAt, nameLength);
        const size_t exth = 16 + size_t(Be32At(record, 0x14));
        if (exth + 12 > record.size() || record.compare(exth, 4, "EXTH") != 0) break;
        size_t at = exth + 12;
        for (uint32_t n = Be32At(record, exth + 8); n > 0 && at + 8 <= record.size(); --n) {
            const uint32_t type = Be32At(record, at), length = Be32At(record, at + 4);
            if (length < 8 || length > record.size() - at) break;
            part.records.emplace(type, record.substr(at + 8, length - 8));
            at += length;
        }
        for (const std::string& boundary : part.Values(121))
            if (boundary.size() == 4 && Be32At(boundary, 0) != 0xFFFFFFFFu)
                pending.push_back(Be32At(boundary, 0));
        parts.push_back(std::move(part));
    }
    return parts;
}

std::string Joined(const std::vector<std::string>& values)
{
    std::string text;
    for (const std::string& v : values)
        text += (text.empty() ? "" : " & ") + v;
    return text;
}

size_t Occurrences(const std::string& text, const std::string& piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

struct MetadataCase {
    const char* book;
    const char* title;
    std::vector<std::pair<std::string, std::string>> authors;      // name, sort form ("" for none)
    std::vector<std::pair<std::string, std::string>> contributors; // role, name: some of them
    const char* series;
    const char* seriesIndex;
    bool rightToLeft;
    const char* titleSort = "";
};

const MetadataCase kMetadataCases[] = {
    {"childrens-literature",
     "Children's Literature",
     {{"Charles Madison Curry", "Curry, Charles Madison"},
      {"Erle Elsworth Clippinger", "Clippinger, Erle Elsworth"}},
     {},
     "",
     "",
     false},
    {"moby-dick",
     "Moby-Dick",
     {{"Herman Melville", "MELVILLE, HERMAN"}},
     {{"mrk", "Dave Cramer"}},
     "",
     "",
     false},
    {"regime-anticancer-arabic",
     "Le Vrai R\xC3\xA9gime anti-cancer",
     {{"Pr David Khayat", ""}, {"Nathalie Hutter-Lardeau", ""}},
     {{"trl", "Marina Khalil Fayad"}, {"mrk", "Vincent Gros"}},
     "",
     "",
     true},
    {"sherlock-holmes-se",
     "The Adventures of Sherlock Holmes",
     {{"Arthur Conan Doyle", "Doyle, Arthur Conan"}},
     {{"tyd", "The League of Moveable Type"}, {"art", "Thomas Eakins"}},
     "Sherlock Holmes",
     "3",
     false,
     "Adventures of Sherlock Holmes, The"},
    {"wasteland-otf-obf", "The Waste Land", {{"T.S. Eliot", ""}}, {}, "", "", false},
};

} // namespace

TEST(TarvoCmdMetadata, Epub3BooksGiveOneTitleTheirAuthorsAndTheirLayoutEverywhere)
{
    for (const MetadataCase& c : kMetadataCases) {
        SCOPED_TRACE(c.book);
        ScratchDir scratch;
        const std::string input = DataPath(std::string("epub3/") + c.book + ".epub");
        std::vector<std::string> authors;
        for (const auto& author : c.authors)
            authors.push_back(author.first);

        ASSERT_EQ(RunTarvoCmd({"g", input, scratch / "g", "meta.json", ""}, scratch.Path()).exitStatus, 0);
        CIntermediateBook reported;
        ASSERT_EQ(reported.FromJson(ReadWholeFile(scratch / "meta.json")), RC_OK);
        EXPECT_EQ(reported.m_MetaData["title"], std::vector<std::string>{c.title});
        EXPECT_EQ(reported.m_MetaData["creator"], std::vector<std::string>{Joined(authors)});
        for (const auto& [role, name] : c.contributors)
            EXPECT_NE(reported.m_MetaData["contributor_" + role].front().find(name), std::string::npos)
                << role;

        ASSERT_EQ(RunTarvoCmd({"c", input, "out.epub", scratch / "e"}, scratch.Path()).exitStatus, 0);
        CZip epub;
        std::string opf;
        ASSERT_EQ(epub.Open(scratch / "out.epub", false, false), RC_OK);
        ASSERT_EQ(epub.ReadDirectory(), RC_OK);
        ASSERT_EQ(epub.GetFileBuffer("OEBPS/content.opf", opf), RC_OK);
        EXPECT_EQ(Occurrences(opf, "<dc:title"), 1u) << opf;
        EXPECT_EQ(Occurrences(opf, std::string("<dc:title>") + c.title + "</dc:title>"), 1u) << opf;
        EXPECT_EQ(Occurrences(opf, "<dc:creator"), c.authors.size()) << opf;
        for (const auto& [name, sortForm] : c.authors) {
            const std::string attributes = sortForm.empty() ? "" : " opf:file-as=\"" + sortForm + "\"";
            EXPECT_EQ(Occurrences(opf, "<dc:creator" + attributes + ">" + name + "</dc:creator>"), 1u) << opf;
        }
        for (const auto& [role, name] : c.contributors) {
            const size_t line = opf.find("<dc:contributor opf:role=\"" + role + "\"");
            ASSERT_NE(line, std::string::npos) << role;
            EXPECT_EQ(opf.compare(opf.find('>', line) + 1, name.size(), name), 0) << opf.substr(line, 120);
        }
        EXPECT_EQ(
            Occurrences(opf, std::string("<meta name=\"calibre:series\" content=\"") + c.series + "\"/>"),
            *c.series ? 1u : 0u);
        EXPECT_EQ(Occurrences(opf, std::string("<meta name=\"calibre:series_index\" content=\"") +
                                       c.seriesIndex + "\"/>"),
                  *c.series ? 1u : 0u);
        EXPECT_EQ(Occurrences(opf, std::string("<meta name=\"calibre:title_sort\" content=\"") + c.titleSort +
                                       "\"/>"),
                  *c.titleSort ? 1u : 0u);
        EXPECT_EQ(Occurrences(opf, "<spine page-progression-direction=\"rtl\" "), c.rightToLeft ? 1u : 0u);

        for (const char* output : {"out.azw3", "out.mobi"}) {
            SCOPED_TRACE(output);
            ASSERT_EQ(
                RunTarvoCmd({"c", input, output, scratch / (std::string("w-") + output)}, scratch.Path())
                    .exitStatus,
                0);
            std::vector<KindlePart> parts = ReadKindleParts(ReadWholeFile(scratch / output));
            ASSERT_EQ(parts.size(), std::string(output) == "out.mobi" ? 2u : 1u);
            for (const KindlePart& part : parts) {
                EXPECT_EQ(part.Values(503), std::vector<std::string>{c.title});
                EXPECT_EQ(part.fullName, c.title);
                EXPECT_EQ(part.Values(100), authors);
                std::vector<std::string> contributors = part.Values(108);
                for (const auto& contributor : c.contributors)
                    EXPECT_EQ(std::count(contributors.begin(), contributors.end(), contributor.second), 1);
                EXPECT_EQ(part.Values(525), c.rightToLeft ? std::vector<std::string>{"horizontal-rl"}
                                                          : std::vector<std::string>{});
                EXPECT_EQ(part.Values(527),
                          c.rightToLeft ? std::vector<std::string>{"rtl"} : std::vector<std::string>{});
                EXPECT_TRUE(part.Values(122).empty());
            }
        }
    }
}

namespace
{

// A pre-paginated EPUB 3 of two pages whose viewport meta element says the given.
bool WriteFixedLayoutBook(const std::string& path, const std::string& viewport)
{
    const std::string page = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>Page</title>"
                             "<meta name=\"viewport\" content=\"" +
                             viewport +
                             "\"/></head><body><p style=\"position:absolute;top:10px\">One page.</p>"
                             "</body></html>";
    const std::string opf =
        "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" "
        "unique-identifier=\"id\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
        "<dc:title>Pages</dc:title><dc:identifier id=\"id\">x</dc:identifier><dc:language>en</dc:language>"
        "<meta property=\"rendition:layout\">pre-paginated</meta></metadata><manifest>"
        "<item id=\"p1\" href=\"p1.xhtml\" media-type=\"application/xhtml+xml\"/>"
        "<item id=\"p2\" href=\"p2.xhtml\" media-type=\"application/xhtml+xml\"/></manifest>"
        "<spine><itemref idref=\"p1\"/><itemref idref=\"p2\"/></spine></package>";
    CZip zip;
    zip.AddFile("mimetype", "application/epub+zip");
    zip.m_Entries.front().m_Method = 0;
    zip.AddFile("META-INF/container.xml",
                "<?xml version=\"1.0\"?><container version=\"1.0\" "
                "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles>"
                "<rootfile full-path=\"OEBPS/content.opf\" media-type=\"application/oebps-package+xml\"/>"
                "</rootfiles></container>");
    zip.AddFile("OEBPS/content.opf", opf);
    zip.AddFile("OEBPS/p1.xhtml", page);
    zip.AddFile("OEBPS/p2.xhtml", page);
    return zip.WriteArchive(path, zip.m_Entries, false, false) == RC_OK;
}

} // namespace

// A fixed-layout book keeps its pages' size in Kindle files when its first page states one, and is
// flowing text otherwise.
TEST(TarvoCmdMetadata, FixedLayoutKeepsThePageSizeOfItsFirstPage)
{
    const struct {
        const char* viewport;
        const char* size; // EXTH 307, "" for a flowing book
    } cases[] = {
        {"width=1200, height=1600", "1200x1600"},
        {"height=800,width=600", "600x800"},
        {"width=device-width, initial-scale=1", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.viewport);
        ScratchDir scratch;
        ASSERT_TRUE(WriteFixedLayoutBook(scratch / "pages.epub", c.viewport));
        for (const char* output : {"out.azw3", "out.mobi"}) {
            SCOPED_TRACE(output);
            ASSERT_EQ(RunTarvoCmd({"c", "pages.epub", output, scratch / (std::string("w-") + output)},
                                  scratch.Path())
                          .exitStatus,
                      0);
            for (const KindlePart& part : ReadKindleParts(ReadWholeFile(scratch / output))) {
                EXPECT_EQ(part.Values(122),
                          *c.size ? std::vector<std::string>{"true"} : std::vector<std::string>{});
                EXPECT_EQ(part.Values(307),
                          *c.size ? std::vector<std::string>{c.size} : std::vector<std::string>{});
            }
        }
    }
}
