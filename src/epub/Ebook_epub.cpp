// The EPUB handler: `c` from and to EPUB, `g` (metadata and cover) and `s` (metadata rewritten
// into the book, through a backup file so the user's book is never left half-written).
#include "epub/Ebook_epub.h"

#include "base/Clock.h"
#include "base/Files.h"
#include "base/ForkPool.h"
#include "base/Href.h"
#include "base/Images.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "epub/Epub.h"
#include "epub/FontObfuscation.h"
#include "epub/OpfRewrite.h"
#include "epub/PackageToc.h"
#include "epub/ParseOpf.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace
{

const char* const PACKAGE_FOLDER = "OEBPS/";

bool ListHasNoCase(const std::vector<std::string>& list, const std::string& name)
{
    for (const std::string& entry : list)
        if (EqualsNoCase(entry, name)) return true;
    return false;
}

// The smallest N from 1 for which every name made by the pattern is still free.
int FreeNumber(const std::vector<std::string>& taken, const std::vector<std::string>& patterns)
{
    for (int n = 1;; ++n) {
        bool free = true;
        for (const std::string& pattern : patterns) {
            std::string name = pattern;
            ReplaceAll(name, "%d", std::to_string(n));
            free = free && !ListHasNoCase(taken, name);
        }
        if (free) return n;
    }
}

// The extracted entries are what the book really has: the package may name more.
void DropFilesNotExtracted(const CEpub& epub, const std::string& base, CIntermediateBook& book, CRunLog* log)
{
    std::unordered_set<std::string> extracted;
    std::string path;
    for (const ZipEntry& entry : epub.m_Entries)
        if (ResolveInBook("", entry.m_Name, path)) extracted.insert(path);
    // Some archives hold names with a real "%", so the name as written counts too.
    auto present = [&](const std::string& name) {
        return (ResolveInBook(base, PercentDecode(name), path) && extracted.count(path) > 0) ||
               (ResolveInBook(base, name, path) && extracted.count(path) > 0);
    };
    DropMissingFiles(present, book, log);
}

// A printed document as it crosses from the process that packed it: the result, then the packed
// entry's method, version, CRC-32 and size, then its bytes.
struct PackedHead {
    ResultCode m_Result;
    uint16_t m_Method;
    uint16_t m_Version;
    uint32_t m_Crc;
    int32_t m_Size;
};

std::string PackedDocument(ResultCode rc, std::string text)
{
    ZipEntry entry;
    entry.m_Method = 8;
    entry.m_Data = std::move(text);
    if (rc == RC_OK) PackEntry(entry);
    PackedHead head{rc, entry.m_Method, entry.m_Version, entry.m_Crc, entry.m_UncompressedSize};
    std::string out(reinterpret_cast<const char*>(&head), sizeof head);
    if (rc == RC_OK) out += entry.m_Data;
    return out;
}

ResultCode UnpackDocument(const std::string& packed, ZipEntry& entry)
{
    PackedHead head{};
    if (packed.size() < sizeof head) return RC_FILE_READ_FAILED;
    std::memcpy(&head, packed.data(), sizeof head);
    if (head.m_Result != RC_OK) return head.m_Result;
    entry.m_Method = head.m_Method;
    entry.m_Version = head.m_Version;
    entry.m_Crc = head.m_Crc;
    entry.m_UncompressedSize = head.m_Size;
    entry.m_Data.assign(packed, sizeof head, std::string::npos);
    entry.m_Packed = true;
    return RC_OK;
}

// The entries of an archive being built, appended directly: looking each name up again (AddFile)
// is quadratic, which books with thousands of pages feel. A name already taken (ignoring case) is
// written once.
class CEntryList
{
  public:
    explicit CEntryList(std::vector<ZipEntry>& entries) : m_Entries(entries) { DosDateTime(m_Date, m_Time); }

    bool Taken(const std::string& name) const { return m_Taken.count(ToLowerCopy(name)) > 0; }
    void Add(const std::string& name, ZipEntry entry)
    {
        if (!m_Taken.insert(ToLowerCopy(name)).second) return;
        entry.m_Name = name;
        entry.m_Date = m_Date;
        entry.m_Time = m_Time;
        m_Entries.push_back(std::move(entry));
    }
    void Add(const std::string& name, std::string data, uint16_t method)
    {
        ZipEntry entry;
        entry.m_Method = method;
        entry.m_Data = std::move(data);
        Add(name, std::move(entry));
    }

  private:
    std::vector<ZipEntry>& m_Entries;
    std::unordered_set<std::string> m_Taken;
    uint16_t m_Date = 0;
    uint16_t m_Time = 0;
};

// A cover page for a book whose cover image has none, listed first among the documents and named
// in the guide unless the guide names a cover already. Gives the page's name.
std::string AddCoverPage(CIntermediateBook& book, const std::string& coverImagePath, std::string& page)
{
    int n = FreeNumber(book.m_HtmlFileList, {"cover%d.html"});
    std::string name = "cover" + std::to_string(n) + ".html";
    // The page lies beside the other documents, so the image is reached relative to it.
    page = MakeCoverPage(coverImagePath);
    MakeEpub2Document(page);
    book.m_HtmlFileList.insert(book.m_HtmlFileList.begin(), name);
    book.m_CoverPageName = name;
    bool hasCoverGuide = false;
    for (const GuideItem& g : book.m_GuideItems)
        hasCoverGuide = hasCoverGuide || EqualsNoCase(g.m_Type, "cover");
    if (!hasCoverGuide) book.m_GuideItems.push_back(GuideItem{"cover", "Cover Html", name, 0, 0});
    return name;
}

void AddResources(const CIntermediateBook& book, const std::string& bookDirectory, CEntryList& entries)
{
    for (const std::string& name : book.m_ResourceList) {
        const std::string entryName = PACKAGE_FOLDER + UrlDecode(name);
        if (MediaTypeOf(name) == "image/svg+xml") {
            std::string data = ReadWholeFile(BookFilePath(bookDirectory, name));
            if (data.empty()) continue;
            MakeEpub2Svg(data);
            entries.Add(entryName, std::move(data), 8);
            continue;
        }
        // Read only as the archive is written: style sheets, fonts and media of hundreds of MB
        // each must not all sit in memory at once.
        ZipEntry entry;
        entry.m_SourcePath = BookFilePath(bookDirectory, name);
        if (!FileExists(entry.m_SourcePath)) continue;
        // Images, sound, video and fonts in these forms are compressed already: deflating them
        // again costs time and gains next to nothing.
        const bool compressed =
            HasExtension(name, {"jpg", "jpeg", "png", "gif", "mp3", "mp4", "ogg", "woff", "woff2"});
        entry.m_Method = compressed ? 0 : 8;
        entries.Add(entryName, std::move(entry));
    }
}

} // namespace

MetaDataMap PackageMetadataToWrite(const MetaDataMap& given, std::string& coverPath)
{
    MetaDataMap values = given;
    if (auto it = values.find("coverimage"); it != values.end() && !it->second.empty())
        coverPath = it->second.front();
    values.erase("coverimage");
    values.erase("coverimageext");
    CEpub().RemoveKindleKeys(values);
    values[PRODUCER_KEY] = {ProducerText()};
    return values;
}

const char* const PRODUCER_KEY = "contributor_TarvoProducerName";

const char* VerticalModeCss()
{
    return "html {\r\n"
           "    writing-mode:vertical-rl;\r\n"
           "    -webkit-writing-mode:vertical-rl;\r\n"
           "    -epub-writing-mode:vertical-rl;\r\n"
           "    -epub-line-break:strict;\r\n"
           "    line-break:strict;\r\n"
           "    -epub-word-break:normal;\r\n"
           "    word-break:normal;\r\n"
           "}\r\n"
           "\r\n"
           "body {\r\n"
           "    margin:0;\r\n"
           "    margin-left:0%;\r\n"
           "    margin-right:0%;\r\n"
           "    margin-top:1.5%;\r\n"
           "    margin-bottom:1em;\r\n"
           "    text-align:left;\r\n"
           "}";
}

std::string AddedCoverPage(const std::string& imageHref)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
           "<html xmlns=\"http://www.w3.org/1999/xhtml\">\r\n"
           "<head>\r\n"
           "\t<title>Cover</title>\r\n"
           "</head>\r\n"
           "<body>\r\n"
           "\t<center>\r\n"
           "\t\t<img src=\"" +
           XmlEscape(imageHref) +
           "\" alt=\"Book-Cover\"/>\r\n"
           "\t</center>\r\n"
           "</body>\r\n"
           "</html>";
}

ResultCode CEbookEpub::ReadPackage(const std::string& inputFile, const std::string& tempDirectory,
                                   CEpub& epub, CParseOpf& parser, std::string& opfText)
{
    epub.m_WorkingDirectory = tempDirectory;
    epub.m_ZipLog = m_Log;
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::GetOpfXml IN...");
    ResultCode rc = epub.GetOpfXml(inputFile, opfText, m_OpfPath);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::GetOpfXml OUT...");
    if (rc != RC_OK) return rc;

    m_Book.m_PackagePath = m_OpfPath;
    size_t slash = m_OpfPath.rfind('/');
    if (slash != std::string::npos) {
        m_Book.m_ContentDirectory = m_OpfPath.substr(0, slash + 1);
        m_Book.m_PackageInSubdirectory = true;
        m_OpfInSubdirectory = true;
    }
    if (StartsWith(opfText, "\xEF\xBB\xBF")) opfText.erase(0, 3);

    if (m_Converting) PrintProgress("Get MetaData");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::ParseOpf IN...");
    rc = ParseOpfText(opfText, parser);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::ParseOpf OUT...");
    if (rc != RC_OK) return rc;
    parser.FillMetaData(m_Book);
    m_Book.m_NcxPath = parser.m_NcxHref;

    m_Images.clear();
    if (parser.BuildFileLists(m_Book, m_Images)) {
        m_Book.RebaseOntoTempDirectory();
        m_RelativeToContent = false;
        for (std::string& image : m_Images)
            image = ResolveBookHref(image, "", m_Book);
        if (!parser.m_CoverHref.empty())
            m_Book.SetValue("coverimage", ResolveBookHref(parser.m_CoverHref, "", m_Book));
    }
    DropNamesOutsideTheBook();
    return RC_OK;
}

// Every later step reads and rewrites the listed files in the TempDirectory: a package that
// names a file above it ("../../x") must not reach out of it.
void CEbookEpub::DropNamesOutsideTheBook()
{
    const std::string base = ArchiveBase();
    auto outside = [this, &base](const std::string& name) {
        bool escapes = !ListedNameInBook(base, name);
        if (escapes) TARVO_LOG(m_Log, LOG_WARNING, "\"%s\" lies outside the book, left out", name.c_str());
        return escapes;
    };
    for (std::vector<std::string>* list : {&m_Book.m_HtmlFileList, &m_Book.m_ResourceList, &m_Images})
        list->erase(std::remove_if(list->begin(), list->end(), outside), list->end());
}

std::string CEbookEpub::ArchiveBase() const
{
    return m_Book.m_RelativeToContentDirectory ? m_Book.m_ContentDirectory : "";
}

ResultCode CEbookEpub::CheckBookDRM(CEpub& epub, const CParseOpf& parser)
{
    if (m_Converting) PrintProgress("Check Book DRM");
    const std::string packageFolder = GetDirectory(m_OpfPath);
    std::string path;
    for (const OpfManifestItem& item : parser.m_Manifest)
        if (ResolveHrefInBook(packageFolder, item.m_Href, path))
            epub.m_MediaTypes[ToLowerCopy(path)] = item.m_MediaType;
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::CheckDRM IN...");
    ResultCode rc = epub.CheckDRM(m_Book, m_Images, m_OpfInSubdirectory, m_RelativeToContent);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::CheckDRM OUT...");
    return rc;
}

ResultCode CEbookEpub::Convert_Input(const std::string& inputFile, ConvertInputContext& ctx)
{
    PrintProgress("Converting Input To Epub");
    m_Converting = true;
    CEpub epub;
    CParseOpf parser;
    std::string opfText;
    m_Book.Reset();
    ResultCode rc = ReadPackage(inputFile, ctx.m_TempDirectory, epub, parser, opfText);
    if (rc == RC_OK) rc = CheckBookDRM(epub, parser);
    if (rc != RC_OK) return rc;

    getGuideList(parser, m_Book);
    PrintProgress("UnCompress File");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::UnCompress IN...");
    rc = epub.UnCompress();
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::UnCompress OUT...");
    if (rc != RC_OK) return rc;
    DeobfuscateFonts(epub, parser.Identifiers(), m_Log);

    ReadTableOfContents(epub, parser);
    DropFilesNotExtracted(epub, ArchiveBase(), m_Book, m_Log);
    RepairTocTargets(m_Book, m_Log);
    return RC_OK;
}

// The NCX and the navigation document may lie anywhere in the archive, above the package too;
// only a name that leaves the archive is refused.
void CEbookEpub::ReadTableOfContents(CEpub& epub, const CParseOpf& parser)
{
    auto read = [&](const std::string& href, std::string& text) {
        std::string path;
        if (!ResolveHrefInBook(m_Book.m_ContentDirectory, href, path)) {
            TARVO_LOG(m_Log, LOG_WARNING, "\"%s\" lies outside the book, not read", href.c_str());
            return false;
        }
        return epub.GetFileBuffer(path, text) == RC_OK;
    };
    ReadPackageToc(parser, read, m_Book, m_Log);
}

ResultCode CEbookEpub::GetCoverImage(CEpub& epub, const std::string& coverImageFile)
{
    std::string href;
    if (m_Book.GetValue("coverimage", href) != RC_OK) return RC_OK;
    std::string image;
    std::string archivePath;
    if (!ResolveHrefInBook(ArchiveBase(), href, archivePath) ||
        epub.GetFileBuffer(archivePath, image) != RC_OK || image.empty())
        return RC_OK;
    return DeliverCoverImage(image, coverImageFile, m_Book, m_Log);
}

ResultCode CEbookEpub::GetMetaData(const std::string& inputFile, GetMetaContext& ctx)
{
    CEpub epub;
    CParseOpf parser;
    std::string opfText;
    m_Book.Reset();
    ResultCode rc = ReadPackage(inputFile, ctx.m_TempDirectory, epub, parser, opfText);
    if (rc != RC_OK) return rc;
    m_Book.KeepOnlyPublicationDate();
    rc = CheckBookDRM(epub, parser);
    if (rc != RC_OK) return rc;
    return GetCoverImage(epub, ctx.m_CoverImageFile);
}

ResultCode CEbookEpub::SetMetaData(const std::string& inputFile, SetMetaContext& ctx)
{
    CEpub epub;
    CParseOpf parser;
    std::string opfText;
    m_Book.Reset();
    // The new book replaces the old by rename, which asks only the folder's permission: a book
    // its user may not write is refused here, whatever the folder allows.
    CFile writable;
    if (writable.Open(inputFile, true, false) != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "\"%s\" cannot be opened for writing", inputFile.c_str());
        return RC_FILE_OPEN_FAILED;
    }
    writable.Close();
    ResultCode rc = ReadPackage(inputFile, ctx.m_TempDirectory, epub, parser, opfText);
    if (rc == RC_OK) rc = CheckBookDRM(epub, parser);
    if (rc != RC_OK) return rc;

    std::string coverPath;
    MetaDataMap newValues = PackageMetadataToWrite(ctx.m_MetaData.m_MetaData, coverPath);

    std::string opf = RewriteOpfMetadata(opfText, newValues, PRODUCER_KEY);
    // Nothing to change: the book stays as it was, byte for byte.
    if (opf == opfText && coverPath.empty()) return RC_OK;
    if (!coverPath.empty()) {
        std::string image = ReadWholeFile(coverPath);
        if (!image.empty()) {
            std::string coverEntry;
            if (ResolveHrefInBook(m_Book.m_ContentDirectory, parser.m_CoverHref, coverEntry)) {
                epub.AddFile(coverEntry, image);
            } else if (!parser.m_CoverHref.empty()) {
                TARVO_LOG(m_Log, LOG_WARNING, "cover \"%s\" lies outside the book, not replaced",
                          parser.m_CoverHref.c_str());
            } else {
                std::string extension = ImageTypeOf(image);
                if (extension.empty() && !GetExtension(coverPath, extension)) extension = "jpg";
                std::vector<std::string> taken = m_Book.m_HtmlFileList;
                taken.insert(taken.end(), m_Book.m_ResourceList.begin(), m_Book.m_ResourceList.end());
                int n = FreeNumber(taken, {"Epub_Add_CoverImg_%d." + extension, "Epub_Add_CoveHtml_%d.html"});
                AddedCover cover;
                cover.m_ImageHref = "Epub_Add_CoverImg_" + std::to_string(n) + "." + extension;
                cover.m_ImageId = "Epub_Add_CoverImg_" + std::to_string(n);
                cover.m_ImageMediaType = MediaTypeOf(cover.m_ImageHref);
                cover.m_PageHref = "Epub_Add_CoveHtml_" + std::to_string(n) + ".html";
                cover.m_PageId = "Epub_Add_CoveHtml_" + std::to_string(n);
                epub.AddFile(m_Book.m_ContentDirectory + cover.m_ImageHref, image);
                epub.AddFile(m_Book.m_ContentDirectory + cover.m_PageHref, AddedCoverPage(cover.m_ImageHref));
                opf = AddCoverToOpf(opf, cover);
            }
        }
    }
    epub.AddFile(m_OpfPath, opf);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::WriteArchive IN...");
    rc = epub.RewriteEpub(inputFile);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookEpub::WriteArchive OUT...");
    return rc;
}

ResultCode CEbookEpub::Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx)
{
    PrintProgress("Converting Output To Epub");
    CIntermediateBook& book = ctx.m_Book;
    book.SetValue(PRODUCER_KEY, ProducerText());
    // A package must have a title; a book that never had one (an HTML page) is named after the file.
    std::string title;
    if (book.GetValue("title", title) != RC_OK || title.empty()) {
        std::string name = GetFileName(ToOsPath(outputFile));
        book.SetValue("title", name.substr(0, name.rfind('.')));
    }
    const std::string bookDirectory = book.BookDirectory(ctx.m_TempDirectory);
    if (book.m_FixedLayout)
        TARVO_LOG(m_Log, LOG_WARNING,
                  "fixed-layout book: EPUB 2 has no fixed pages, converted as flowing text");

    // Each pass is one more parse and print of every document, in this order, done in memory as
    // the archive is built.
    std::vector<DocumentPass> passes;
    PrintProgress("Fix Language");
    std::string language;
    if (GetParamValue(ctx.m_OutParam, "outparam_epubsetlanguage", language)) {
        book.SetValue("language", language);
        passes.push_back({FixEpubLanguage, RC_EPUB_FIX_LANGUAGE, false});
    }
    PrintProgress("Set Vertical Mode");
    std::string vertical;
    if (GetParamValue(ctx.m_OutParam, "outparam_bookverticalmode", vertical)) {
        if (!ListHasNoCase(book.m_ResourceList, "VerticalMode.css"))
            book.m_ResourceList.push_back("VerticalMode.css");
        if (WriteWholeFile(bookDirectory + "VerticalMode.css", VerticalModeCss()) != RC_OK)
            return RC_EPUB_VERTICAL_MODE;
        passes.push_back({SetVerticalMode, RC_EPUB_VERTICAL_MODE, false});
    } else {
        passes.push_back({SetOutXhtmlForIbooks, RC_OK, true});
    }
    return Compress(outputFile, book, ctx.m_TempDirectory, passes);
}

ResultCode CEbookEpub::Compress(const std::string& outputFile, CIntermediateBook& book,
                                const std::string& tempDirectory, const std::vector<DocumentPass>& passes)
{
    CEpubBase writer;
    writer.m_WorkingDirectory = tempDirectory;
    writer.m_ZipLog = m_Log;
    const std::string bookDirectory = book.BookDirectory(tempDirectory);

    CEntryList entries(writer.m_Entries);
    entries.Add("mimetype", "application/epub+zip", 0);
    entries.Add("META-INF/container.xml",
                CEpubBase::BuildContainer(std::string(PACKAGE_FOLDER) + "content.opf"), 8);

    std::string coverImage;
    if (book.GetValue("coverimage", coverImage) == RC_OK && !coverImage.empty()) {
        writer.m_CoverImagePath = book.m_MetaData["coverimage"].front();
        writer.m_HasCover = ListHasNoCase(book.m_ResourceList, writer.m_CoverImagePath);
    }
    // The cover page made here goes straight into the archive, printed as it is.
    std::string addedCoverName, addedCoverPage;
    if (book.m_CoverPageName.empty() && writer.m_HasCover)
        addedCoverName = AddCoverPage(book, writer.m_CoverImagePath, addedCoverPage);
    PrintProgress("Creating Opf File");
    entries.Add(std::string(PACKAGE_FOLDER) + "content.opf", writer.BuildOpf(book), 8);
    PrintProgress("Creating Ncx File");
    entries.Add(std::string(PACKAGE_FOLDER) + "toc.ncx", writer.BuildNcx(book), 8);

    // Documents are read, printed and packed on every core; the archive takes them in order.
    const std::vector<std::string>& documents = book.m_HtmlFileList;
    std::vector<std::string> packed = ForkedMap(documents.size(), [&](size_t i) {
        const std::string& name = documents[i];
        if (name == addedCoverName) return std::string();
        std::string data = ReadWholeFile(BookFilePath(bookDirectory, name));
        ResultCode rc = ReprintDocument(name, passes, book.m_PrintedDocuments.count(name) > 0, data);
        return PackedDocument(rc, std::move(data));
    });
    for (size_t i = 0; i < documents.size(); ++i) {
        const std::string entryName = PACKAGE_FOLDER + UrlDecode(documents[i]);
        if (entries.Taken(entryName)) continue;
        if (documents[i] == addedCoverName) {
            entries.Add(entryName, std::move(addedCoverPage), 8);
            continue;
        }
        ZipEntry entry;
        ResultCode rc = UnpackDocument(packed[i], entry);
        if (rc != RC_OK) return rc;
        std::string().swap(packed[i]);
        if (entry.m_UncompressedSize > 0) entries.Add(entryName, std::move(entry));
    }
    AddResources(book, bookDirectory, entries);
    PrintProgress("Processed 95%");
    PrintProgress("Creating Epub Output");
    return writer.WriteArchive(outputFile, std::move(writer.m_Entries), false, true);
}

// A document that does not parse fails the pass that requires it; otherwise it is left as it was.
// A document our cleaner printed in this run is not parsed again for a pass that would only
// print it once more: the bytes would be the same.
ResultCode CEbookEpub::ReprintDocument(const std::string& name, const std::vector<DocumentPass>& passes,
                                       bool printedAlready, std::string& text)
{
    if (text.empty() || !ListedNameInBook("", name)) return RC_OK;
    for (const DocumentPass& pass : passes) {
        if (printedAlready && pass.m_OnlyReprints) {
            MakeEpub2Document(text);
            continue;
        }
        printedAlready = false;
        CHtmlParse parser(m_Log);
        std::string out;
        if (parser.PrintPage(
                text, [&](std::string& piece) { pass.m_Print(parser, name, piece); }, out) != RC_OK) {
            if (pass.m_Failure != RC_OK) return pass.m_Failure;
            return RC_OK;
        }
        MakeEpub2Document(out);
        if (!out.empty()) text = std::move(out);
    }
    return RC_OK;
}

void CEbookEpub::SetOutXhtmlForIbooks(CHtmlParse& parser, const std::string&, std::string& out)
{
    parser.PrintDocument(out);
}

void CEbookEpub::FixEpubLanguage(CHtmlParse& parser, const std::string&, std::string& out)
{
    parser.PrintDocumentWithoutXmlLang(out);
}

void CEbookEpub::SetVerticalMode(CHtmlParse& parser, const std::string& name, std::string& out)
{
    parser.PrintDocumentLinkingStyleSheet(StyleSheetHrefFrom(name), out);
}

std::string StyleSheetHrefFrom(const std::string& documentName)
{
    size_t depth = SplitPath(GetDirectory(documentName)).size();
    std::string href = depth == 0 ? "./" : "";
    for (size_t i = 0; i < depth; ++i)
        href += "../";
    return href + "VerticalMode.css";
}
