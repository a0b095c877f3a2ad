#include "epub/Ebook_epub.h"

#include "base/Platform.h"

#include "EpubTestBook.h"
#include "FileSizeLimit.h"
#include "TestSupport.h"

#include <tinyxml2.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
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
