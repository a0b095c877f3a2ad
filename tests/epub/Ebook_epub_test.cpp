#include "epub/Ebook_epub.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/Images.h"
#include "base/Text.h"

#include "EpubTestBook.h"
#include "FileSizeLimit.h"
#include "TestSupport.h"
#include "base/ZipBomb.h"

#include <tinyxml2.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>

namespace
{

bool WellFormed(const std::string& xml)
{
    tinyxml2::XMLDocument doc;
    return doc.Parse(xml.data(), xml.size()) == tinyxml2::XML_SUCCESS;
}

std::string CopyFixture(const ScratchDir& scratch, const std::string& name, const std::string& as)
{
    std::string target = scratch / as;
    WriteWholeFile(target, ReadWholeFile(DataPath("epub/" + name)));
    return target;
}

ResultCode Convert(const std::string& input, const std::string& output, const std::string& work,
                   const std::string& outParam = "")
{
    MakePath(work);
    CEbookEpub reader, writer;
    ConvertInputContext in{work, "", FORMAT_EPUB, ""};
    ResultCode rc = reader.Convert_Input(input, in);
    if (rc != RC_OK) return rc;
    CIntermediateBook& book = *reader.GetIntermediateBook();
    book.PrepareForOutput();
    ConvertOutputContext out{input, book, work, "", outParam};
    return writer.Convert_Output(output, out);
}

std::string Entry(CZip& zip, const std::string& name)
{
    std::string data;
    zip.GetFileBuffer(name, data);
    return data;
}

TEST(EbookEpub, RoundTripKeepsDocumentsMetadataAndToc)
{
    const char* inputs[] = {"qs-eng.epub", "qs-fra-no-extension"};
    for (const char* input : inputs) {
        SCOPED_TRACE(input);
        ScratchDir scratch;
        std::string source = CopyFixture(scratch, input, input);
        ASSERT_EQ(Convert(source, scratch / "out.epub", scratch / "work/"), RC_OK);
        CZip zip;
        ASSERT_EQ(zip.Open(scratch / "out.epub", false, false), RC_OK);
        ASSERT_EQ(zip.ReadDirectory(), RC_OK);
        ASSERT_FALSE(zip.m_Entries.empty());
        EXPECT_EQ(zip.m_Entries[0].m_Name, "mimetype");
        std::string opf = Entry(zip, "OEBPS/content.opf"), ncx = Entry(zip, "OEBPS/toc.ncx");
        EXPECT_TRUE(WellFormed(opf));
        EXPECT_TRUE(WellFormed(ncx));
        EXPECT_NE(opf.find("<dc:title>"), std::string::npos);
        EXPECT_NE(opf.find("<meta name=\"cover\" content=\"cover-image\"/>"), std::string::npos) << opf;
        EXPECT_NE(opf.find("opf:role=\"bkp\""), std::string::npos);
        EXPECT_NE(ncx.find("navPoint-10"), std::string::npos) << "the table of contents came along";
        // Every manifest item is in the archive.
        tinyxml2::XMLDocument doc;
        doc.Parse(opf.c_str());
        int items = 0;
        for (auto* item = doc.RootElement()->FirstChildElement("manifest")->FirstChildElement("item"); item;
             item = item->NextSiblingElement("item"), ++items)
            EXPECT_FALSE(Entry(zip, std::string("OEBPS/") + item->Attribute("href")).empty())
                << item->Attribute("href");
        EXPECT_GT(items, 15);
        EXPECT_EQ(ReadWholeFile(source), ReadWholeFile(DataPath(std::string("epub/") + input)))
            << "input untouched";
    }
}

TEST(EbookEpub, VerticalModeAddsTheStyleSheet)
{
    ScratchDir scratch;
    std::string source = CopyFixture(scratch, "qs-eng.epub", "in.epub");
    ASSERT_EQ(
        Convert(source, scratch / "out.epub", scratch / "work/", R"({"outparam_bookverticalmode":"1"})"),
        RC_OK);
    CZip zip;
    ASSERT_EQ(zip.Open(scratch / "out.epub", false, false), RC_OK);
    ASSERT_EQ(zip.ReadDirectory(), RC_OK);
    EXPECT_EQ(Entry(zip, "OEBPS/VerticalMode.css"), VerticalModeCss());
    EXPECT_EQ(std::string(VerticalModeCss()).size(), 363u);
}

TEST(EbookEpub, LanguageParameterWins)
{
    ScratchDir scratch;
    std::string source = CopyFixture(scratch, "qs-eng.epub", "in.epub");
    ASSERT_EQ(
        Convert(source, scratch / "out.epub", scratch / "work/", R"({"outparam_epubsetlanguage":"fr"})"),
        RC_OK);
    CZip zip;
    ASSERT_EQ(zip.Open(scratch / "out.epub", false, false), RC_OK);
    ASSERT_EQ(zip.ReadDirectory(), RC_OK);
    EXPECT_NE(Entry(zip, "OEBPS/content.opf").find("<dc:language>fr</dc:language>"), std::string::npos);
}

TEST(EbookEpub, GetMetaDataWritesTheCover)
{
    ScratchDir scratch;
    std::string source = CopyFixture(scratch, "qs-fra-no-extension", "book");
    CEbookEpub handler;
    GetMetaContext ctx{scratch.Path(), scratch / "cover.bin"};
    ASSERT_EQ(handler.GetMetaData(source, ctx), RC_OK);
    const MetaDataMap& map = handler.GetIntermediateBook()->m_MetaData;
    EXPECT_EQ(map.at("coverimageext"), std::vector<std::string>{"jpg"});
    EXPECT_EQ(map.at("language"), std::vector<std::string>{"fr"});
    EXPECT_EQ(map.at("date_publication").size(), 1u);
    EXPECT_EQ(ImageTypeOf(ReadWholeFile(scratch / "cover.bin")), "jpg");
}

TEST(EbookEpub, SetMetaDataRewritesTheBook)
{
    ScratchDir scratch;
    std::string source = CopyFixture(scratch, "qs-eng.epub", "in.epub");
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, 'p');
    WriteWholeFile(scratch / "new.png", png);
    CIntermediateBook metadata;
    metadata.AddValue("title", "Changed");
    metadata.AddValue("coverimage", scratch / "new.png");
    SetMetaContext set{scratch / "work/", metadata};
    MakePath(set.m_TempDirectory);
    CEbookEpub writer;
    ASSERT_EQ(writer.SetMetaData(source, set), RC_OK);

    CEbookEpub reader;
    GetMetaContext get{scratch / "work2/", scratch / "cover.out"};
    MakePath(get.m_TempDirectory);
    ASSERT_EQ(reader.GetMetaData(source, get), RC_OK);
    EXPECT_EQ(reader.GetIntermediateBook()->m_MetaData.at("title"), std::vector<std::string>{"Changed"});
    EXPECT_EQ(ReadWholeFile(scratch / "cover.out"), png);
    EXPECT_FALSE(FileExists(scratch / "work/in.epub.bak"));
}

TEST(EbookEpub, SetMetaDataAddsACoverWhereThereWasNone)
{
    ScratchDir scratch;
    ArchiveFiles files = {{"mimetype", "application/epub+zip"},
                          {"META-INF/container.xml", TestContainer()},
                          {"OEBPS/content.opf", TestOpf({"a.html"})},
                          {"OEBPS/a.html", Markup("<p>text</p>")}};
    ASSERT_TRUE(WriteTestArchive(scratch / "b.epub", files));
    std::string jpeg = std::string("\xFF\xD8\xFF\xE0\0\x10JFIF", 10) + std::string(40, 'j');
    WriteWholeFile(scratch / "c.jpg", jpeg);
    CIntermediateBook metadata;
    metadata.AddValue("coverimage", scratch / "c.jpg");
    SetMetaContext set{scratch.Path(), metadata};
    CEbookEpub writer;
    ASSERT_EQ(writer.SetMetaData(scratch / "b.epub", set), RC_OK);
    CZip zip;
    ASSERT_EQ(zip.Open(scratch / "b.epub", false, false), RC_OK);
    ASSERT_EQ(zip.ReadDirectory(), RC_OK);
    EXPECT_EQ(Entry(zip, "OEBPS/Epub_Add_CoverImg_1.jpg"), jpeg);
    EXPECT_NE(Entry(zip, "OEBPS/Epub_Add_CoveHtml_1.html").find("<img src=\"Epub_Add_CoverImg_1.jpg\""),
              std::string::npos);
    EXPECT_EQ(zip.m_Entries[0].m_Name, "mimetype");
}

TEST(EbookEpub, FailedRewriteLeavesTheBookUntouched)
{
    ScratchDir scratch;
    std::string source = CopyFixture(scratch, "qs-eng.epub", "in.epub");
    const std::string before = ReadWholeFile(source);
    ASSERT_EQ(::chmod(source.c_str(), 0600), 0);
    // A cover no deflate can shrink makes the new book larger than the files may grow.
    std::string noise = std::string("\x89PNG\r\n\x1a\n", 8);
    uint32_t state = 1;
    while (noise.size() < 200000) {
        state = state * 1103515245u + 12345u;
        noise += static_cast<char>(state >> 24);
    }
    ASSERT_EQ(WriteWholeFile(scratch / "noise.png", noise), RC_OK);
    CIntermediateBook metadata;
    metadata.AddValue("title", "Never written");
    metadata.AddValue("coverimage", scratch / "noise.png");
    SetMetaContext set{scratch / "work/", metadata};
    MakePath(set.m_TempDirectory);
    CEbookEpub writer;
    {
        FileSizeLimit limit(before.size() + 4096);
        EXPECT_EQ(writer.SetMetaData(source, set), RC_FILE_WRITE_FAILED);
    }
    EXPECT_EQ(ReadWholeFile(source), before);
    struct stat st {
    };
    ASSERT_EQ(::stat(source.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.Path()))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"in.epub", "noise.png", "work"}))
        << "no temporary file is left";
}

TEST(EbookEpub, DamagedArchiveIsReadWithoutTouchingIt)
{
    ScratchDir scratch;
    std::string source = CopyFixture(scratch, "bad-zip-no-end-record.epub", "bad.epub");
    const std::string before = ReadWholeFile(source);
    ASSERT_EQ(Convert(source, scratch / "out.epub", scratch / "work/"), RC_OK);
    EXPECT_EQ(ReadWholeFile(source), before);
    CZip zip;
    ASSERT_EQ(zip.Open(scratch / "out.epub", false, false), RC_OK);
    EXPECT_EQ(zip.ReadDirectory(), RC_OK);
}

} // namespace

namespace
{

TEST(EbookEpub, BookWithoutTitleOrLanguageStillGivesAValidPackage)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "page.html",
                   "<html><head><title>x</title></head><body><p>text</p></body></html>");
    CIntermediateBook book;
    book.m_HtmlFileList = {"page.html"};
    CEbookEpub writer;
    ConvertOutputContext out{"", book, scratch.Path(), "", ""};
    ASSERT_EQ(writer.Convert_Output(scratch / "My Book.epub", out), RC_OK);
    CZip zip;
    ASSERT_EQ(zip.Open(scratch / "My Book.epub", false, false), RC_OK);
    ASSERT_EQ(zip.ReadDirectory(), RC_OK);
    std::string opf = Entry(zip, "OEBPS/content.opf");
    EXPECT_NE(opf.find("<dc:title>My Book</dc:title>"), std::string::npos) << opf;
    EXPECT_NE(opf.find("<dc:language>und</dc:language>"), std::string::npos);
}

} // namespace

namespace
{

// What another reader sees in the central directory of an archive (no comment after it).
struct CentralEntry {
    std::string name;
    uint16_t flags, method, extraLength;
    uint32_t headerOffset;
};
std::vector<CentralEntry> CentralDirectory(const std::string& archive)
{
    auto get16 = [&](size_t at) { return uint16_t(uint8_t(archive[at]) | uint8_t(archive[at + 1]) << 8); };
    auto get32 = [&](size_t at) { return uint32_t(get16(at)) | uint32_t(get16(at + 2)) << 16; };
    std::vector<CentralEntry> entries;
    const size_t end = archive.size() - 22;
    for (size_t at = get32(end + 16); at + 46 <= end;) {
        CentralEntry e{archive.substr(at + 46, get16(at + 28)), get16(at + 8), get16(at + 10), 0,
                       get32(at + 42)};
        e.extraLength = get16(e.headerOffset + 28);
        at += 46 + e.name.size() + get16(at + 30) + get16(at + 32);
        entries.push_back(e);
    }
    return entries;
}

// Every entry of an archive by name, as CZip reads it.
std::map<std::string, std::string> Contents(const std::string& path)
{
    std::map<std::string, std::string> contents;
    CZip zip;
    if (zip.Open(path, false, false) != RC_OK) return contents;
    zip.ReadDirectory();
    for (const ZipEntry& e : zip.m_Entries)
        contents[e.m_Name] = Entry(zip, e.m_Name);
    return contents;
}

// The documents are printed into the archive straight from the extracted copies, each requested
// print applied in turn; the copies in the TempDirectory stay as the book had them.
TEST(EbookEpub, OutputPrintsEveryDocumentIntoTheArchiveOnly)
{
    struct Row {
        const char* label;
        const char* outParam;
        bool vertical;
        bool language;
    };
    const Row rows[] = {
        {"plain", "", false, false},
        {"language", R"({"outparam_epubsetlanguage":"fr"})", false, true},
        {"vertical", R"({"outparam_bookverticalmode":"1"})", true, false},
        {"both", R"({"outparam_epubsetlanguage":"fr","outparam_bookverticalmode":"1"})", true, true},
    };
    const std::string fixture = DataPath("epub/qs-eng.epub");
    const std::map<std::string, std::string> input = Contents(fixture);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ScratchDir scratch;
        ASSERT_EQ(Convert(fixture, scratch / "out.epub", scratch / "work/", row.outParam), RC_OK);
        const std::map<std::string, std::string> output = Contents(scratch / "out.epub");
        int documents = 0;
        for (const auto& [name, bytes] : input) {
            if (!EndsWith(name, ".xhtml")) continue;
            SCOPED_TRACE(name);
            ++documents;
            EXPECT_EQ(ReadWholeFile(scratch / ("work/" + name)), bytes);
            auto printed = output.find("OEBPS/" + name);
            ASSERT_NE(printed, output.end());
            EXPECT_NE(printed->second.find("-//W3C//DTD XHTML 1.1//EN"), std::string::npos);
            EXPECT_EQ(printed->second.find("href=\"../VerticalMode.css\"") != std::string::npos,
                      row.vertical);
        }
        EXPECT_GT(documents, 10);
        EXPECT_EQ(output.at("OEBPS/content.opf").find("<dc:language>fr</dc:language>") != std::string::npos,
                  row.language);
    }
}

TEST(EbookEpubCommandLine, SetKeepsEveryEntryAndPutsMimetypeFirst)
{
    const char* books[] = {"qs-eng.epub", "qs-fra-no-extension", "policy.epub", "lm-ja.epub"};
    for (const char* book : books) {
        SCOPED_TRACE(book);
        ScratchDir scratch;
        const std::string path = CopyFixture(scratch, book, book);
        CommandRun set = RunTarvoCmd({"s", path, scratch / "work", "-t", "New Title"});
        ASSERT_EQ(set.out, "succeed\nreturn 0\n");
        std::string after;
        ASSERT_TRUE(ReadFileBytes(path, after));
        EXPECT_EQ(after.substr(26, 32), std::string("\x08\0\0\0mimetypeapplication/epub+zip", 32))
            << "first, stored, no extra field";

        const std::vector<CentralEntry> was =
            CentralDirectory(ReadWholeFile(DataPath(std::string("epub/") + book)));
        std::map<std::string, uint16_t> flagsWere;
        for (const CentralEntry& e : was)
            flagsWere[e.name] = e.flags;
        for (const CentralEntry& e : CentralDirectory(after)) {
            SCOPED_TRACE(e.name);
            EXPECT_NE(e.name.back(), '/') << "no folder entries";
            EXPECT_EQ(e.extraLength, 0);
            if (e.name != "mimetype") {
                EXPECT_EQ(e.flags & 0x800, flagsWere[e.name] & 0x800) << "UTF-8 names stay so";
            }
        }
        std::map<std::string, std::string> before = Contents(DataPath(std::string("epub/") + book)),
                                           now = Contents(path);
        ASSERT_EQ(now.size(), before.size() + (before.count("mimetype") ? 0 : 1));
        std::string opf;
        for (const auto& entry : before) {
            if (EndsWith(entry.first, ".opf")) {
                opf = entry.first;
            } else if (entry.first != "mimetype") {
                EXPECT_EQ(now[entry.first], entry.second) << entry.first;
            }
        }
        EXPECT_NE(now[opf].find("New Title"), std::string::npos) << opf;
    }
}

// A book of qs-eng.epub's entries with a 1 GiB entry of zeros (about 1 MB packed) added, either
// where no one reads it or as the package document itself.
std::string BombBook(bool asPackage)
{
    std::vector<zipbomb::PlainEntry> entries;
    for (const auto& entry : Contents(DataPath("epub/qs-eng.epub"))) {
        std::string data = entry.second;
        if (asPackage && entry.first == "META-INF/container.xml")
            ReplaceAll(data, "full-path=\"content.opf\"", "full-path=\"bomb.opf\"");
        entries.push_back({entry.first, data});
    }
    return zipbomb::ArchiveWithBomb(entries, asPackage ? "bomb.opf" : "images/zeros.bin", 1024);
}

struct BombRun {
    const char* label;
    bool asPackage;
    const char* command;
    bool refused;
};
const BombRun kBombRuns[] = {
    {"unread entry, c", false, "c", true},    {"unread entry, g", false, "g", false},
    {"unread entry, s", false, "s", true},    {"package document, c", true, "c", true},
    {"package document, g", true, "g", true}, {"package document, s", true, "s", true},
};

TEST(EbookEpubCommandLine, ZipBombIsRefusedInLittleMemory)
{
    ScratchDir scratch;
    const std::string books[] = {BombBook(false), BombBook(true)};
    ASSERT_NE(books[1].find("bomb.opf\""), std::string::npos) << "the container names the bomb";
    for (const BombRun& r : kBombRuns) {
        SCOPED_TRACE(r.label);
        const std::string& bytes = books[r.asPackage ? 1 : 0];
        const std::string book = scratch / "bomb.epub", work = scratch / r.label;
        ASSERT_EQ(WriteWholeFile(book, bytes), RC_OK);
        std::vector<std::string> args = {"c", book, scratch / "out.epub", work};
        if (std::string(r.command) == "g") args = {"g", book, work, scratch / "meta.json", scratch / "cover"};
        if (std::string(r.command) == "s") args = {"s", book, work, "-t", "Bomb"};
        // Where a sanitizer reserves terabytes of address space, no limit can be put on it.
        if (ADDRESS_SPACE_IS_MEASURABLE)
            args.insert(args.begin(), {"--as=" + std::to_string(300 << 20), "--", TARVO_CMD_PATH});
        CommandRun run =
            ADDRESS_SPACE_IS_MEASURABLE ? RunProgramCapture("/usr/bin/prlimit", args, "") : RunTarvoCmd(args);
        if (r.refused) {
            EXPECT_TRUE(EndsWith(run.out, "UnCompress Description Content failed!\nreturn 50331649\n"))
                << run.out;
            EXPECT_EQ(run.exitStatus, 1);
        } else {
            EXPECT_TRUE(EndsWith(run.out, "succeed\nreturn 0\n")) << run.out;
        }
        std::string now;
        EXPECT_TRUE(ReadFileBytes(book, now) && now == bytes) << "the book is as it was";
        EXPECT_FALSE(FileExists(scratch / "out.epub"));
    }
}

} // namespace
