// The OPF handler: a package document on disk read as a book, `g` and `s` on it (the package edited
// in place and replaced atomically), and a book written out as an unpacked package.
#include "epub/Ebook_opf.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/Href.h"
#include "base/Images.h"
#include "base/OutputTree.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "epub/Ebook_epub.h"
#include "epub/Epub.h"
#include "epub/FontObfuscation.h"
#include "epub/OpfRewrite.h"
#include "epub/PackageToc.h"
#include "epub/ParseOpf.h"
#include "html/PageLinks.h"

#include <algorithm>
#include <filesystem>

namespace
{

namespace fs = std::filesystem;

const char* const NCX_NAME = "toc.ncx";

// Where a real path lies: inside root (itself real) or not.
bool IsUnder(const fs::path& root, const fs::path& path)
{
    auto mismatch = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return mismatch.first == root.end();
}

// A document reprinted the way EPUB output prints it; one that does not parse is kept as it was.
std::string PrintedDocument(const std::string& text, CRunLog* log)
{
    CHtmlParse parser(log);
    std::string out;
    if (parser.PrintPage(
            text, [&parser](std::string& piece) { parser.PrintDocument(piece); }, out) != RC_OK)
        return text;
    if (out.empty()) return text;
    MakeEpub2Document(out);
    return out;
}

} // namespace

CEbookOpf::~CEbookOpf() = default;

bool CEbookOpf::ResolveInsidePackage(const std::string& href, std::string& path) const
{
    const CHref parsed = CHref::Parse(href);
    if (parsed.m_External || !ResolveInBook("", parsed.m_Path, path)) return false;
    std::error_code error;
    const fs::path root = fs::canonical(m_PackageFolder.empty() ? "." : ToOsPath(m_PackageFolder), error);
    if (error) return false;
    const fs::path real = fs::weakly_canonical(root / path, error);
    return !error && IsUnder(root, real);
}

bool CEbookOpf::LiesInsidePackage(const std::string& href) const
{
    std::string path;
    return ResolveInsidePackage(href, path);
}

bool CEbookOpf::ReadInsidePackage(const std::string& href, std::string& bytes) const
{
    bytes.clear();
    std::string path;
    return ResolveInsidePackage(href, path) && ReadFileBytes(m_PackageFolder + path, bytes);
}

void CEbookOpf::DropNamesOutsideThePackage()
{
    auto outside = [this](const std::string& name) {
        bool out = !LiesInsidePackage(name);
        if (out)
            TARVO_LOG(m_Log, LOG_WARNING, "\"%s\" lies outside the package folder, left out", name.c_str());
        return out;
    };
    for (std::vector<std::string>* list : {&m_Book.m_HtmlFileList, &m_Book.m_ResourceList})
        list->erase(std::remove_if(list->begin(), list->end(), outside), list->end());
    std::string cover;
    if (m_Book.GetValue("coverimage", cover) == RC_OK && outside(cover))
        m_Book.m_MetaData.erase("coverimage");
}

ResultCode CEbookOpf::ReadPackage(const std::string& inputFile, CParseOpf& parser, std::string& opfText)
{
    m_Book.Reset();
    m_Book.m_Log = m_Log;
    m_PackageFolder = GetDirectory(inputFile);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookOpf::GetFileBuffer IN...");
    if (!ReadFileBytes(inputFile, opfText)) {
        TARVO_LOG(m_Log, LOG_ERROR, "package document %s could not be read", inputFile.c_str());
        return RC_EPUB_OPF_LOAD;
    }
    TARVO_LOG(m_Log, LOG_INFO, "CEbookOpf::GetFileBuffer OUT...");
    if (StartsWith(opfText, "\xEF\xBB\xBF")) opfText.erase(0, 3);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookOpf::ParseOpf IN...");
    ResultCode rc = ParseOpfText(opfText, parser);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookOpf::ParseOpf OUT...");
    // The parser's answer for text that is no package at all has no message for the user.
    if (rc == RC_EPUB_NOT_A_PACKAGE) rc = RC_EPUB_OPF_PARSE;
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s is not a package document: %s", inputFile.c_str(), ResultMessage(rc));
        return rc;
    }
    parser.FillMetaData(m_Book);
    m_Book.m_NcxPath = parser.m_NcxHref;
    std::vector<std::string> images;
    parser.BuildFileLists(m_Book, images);
    DropNamesOutsideThePackage();
    return RC_OK;
}

// The listed files are copied to the same relative places in the TempDirectory, which is then the
// book's directory; a document that cannot be read is left out of the book.
ResultCode CEbookOpf::CopyBookIntoTempDirectory(const std::string& tempDirectory)
{
    auto copy = [this, &tempDirectory](const std::string& name) {
        std::string bytes;
        if (!ReadInsidePackage(name, bytes)) {
            TARVO_LOG(m_Log, LOG_WARNING, "\"%s\" of the package could not be read, left out", name.c_str());
            return false;
        }
        const std::string target = tempDirectory + UrlDecode(name);
        ResultCode rc = MakePath(target);
        if (rc == RC_OK) rc = WriteWholeFile(target, bytes);
        if (rc != RC_OK) TARVO_LOG(m_Log, LOG_ERROR, "%s not written: %s", target.c_str(), ResultMessage(rc));
        return rc == RC_OK;
    };
    for (std::vector<std::string>* list : {&m_Book.m_HtmlFileList, &m_Book.m_ResourceList})
        list->erase(
            std::remove_if(list->begin(), list->end(), [&copy](const std::string& n) { return !copy(n); }),
            list->end());
    if (m_Book.m_HtmlFileList.empty()) {
        TARVO_LOG(m_Log, LOG_ERROR, "no document of the package %s could be read", m_PackageFolder.c_str());
        return RC_HTML_LIST_EMPTY;
    }
    return RC_OK;
}

// An unpacked EPUB keeps its encryption.xml in the container's META-INF, a few folders above the
// package: the container is the folder whose container.xml names this very package document.
void CEbookOpf::DeobfuscateCopiedFonts(const std::string& inputFile, const std::string& tempDirectory,
                                       const CParseOpf& parser)
{
    std::error_code error;
    const fs::path package = fs::canonical(ToOsPath(inputFile), error);
    if (error) return;
    fs::path root = package.parent_path();
    for (int level = 0; level < 4; ++level, root = root.parent_path()) {
        std::string container;
        if (!ReadFileBytes((root / "META-INF/container.xml").string(), container)) continue;
        const std::string rootfile = ResolvedInBook("", PercentDecode(FindContainerRootfile(container)));
        if (rootfile.empty() || fs::weakly_canonical(root / rootfile, error) != package || error) continue;
        std::string xml;
        if (!ReadFileBytes((root / ENCRYPTION_XML).string(), xml)) return;
        // The copies lie in the TempDirectory as they lay beside the package.
        const std::string folder = GetDirectory(rootfile);
        auto fileOf = [&](const std::string& path) {
            return StartsWith(path, folder) ? tempDirectory + path.substr(folder.size()) : std::string();
        };
        DeobfuscateFontFiles(xml, fileOf, parser.Identifiers(), m_Log);
        return;
    }
}

ResultCode CEbookOpf::Convert_Input(const std::string& inputFile, ConvertInputContext& ctx)
{
    PrintProgress("Converting Input To Opf");
    CParseOpf parser;
    std::string opfText;
    PrintProgress("Get MetaData");
    ResultCode rc = ReadPackage(inputFile, parser, opfText);
    if (rc == RC_OK) rc = CopyBookIntoTempDirectory(ctx.m_TempDirectory);
    if (rc != RC_OK) return rc;
    m_Book.m_SourceFolder = m_PackageFolder.empty() ? "./" : m_PackageFolder;
    DeobfuscateCopiedFonts(inputFile, ctx.m_TempDirectory, parser);
    getGuideList(parser, m_Book);
    auto read = [this](const std::string& href, std::string& text) { return ReadInsidePackage(href, text); };
    ReadPackageToc(parser, read, m_Book, m_Log);
    RepairTocTargets(m_Book, m_Log);
    return RC_OK;
}

ResultCode CEbookOpf::GetMetaData(const std::string& inputFile, GetMetaContext& ctx)
{
    CParseOpf parser;
    std::string opfText;
    ResultCode rc = ReadPackage(inputFile, parser, opfText);
    if (rc != RC_OK) return rc;
    TARVO_LOG(m_Log, LOG_INFO, "CEbookOpf::MergeDateTime IN...");
    m_Book.KeepOnlyPublicationDate();
    TARVO_LOG(m_Log, LOG_INFO, "CEbookOpf::MergeDateTime OUT...");

    std::string href, image;
    if (m_Book.GetValue("coverimage", href) != RC_OK || !ReadInsidePackage(href, image) || image.empty())
        return RC_OK;
    return DeliverCoverImage(image, ctx.m_CoverImageFile, m_Book, m_Log);
}

// A new cover replaces the image the package names as its cover; a package without one gets the
// image and a page for it beside the package document.
ResultCode CEbookOpf::SetCover(const std::string& coverPath, const CParseOpf& parser, std::string& opf)
{
    std::string image;
    if (!ReadFileBytes(coverPath, image) || image.empty()) {
        TARVO_LOG(m_Log, LOG_ERROR, "cover image %s could not be read", coverPath.c_str());
        return RC_FILE_READ_FAILED;
    }
    if (!parser.m_CoverHref.empty()) {
        if (!LiesInsidePackage(parser.m_CoverHref)) {
            TARVO_LOG(m_Log, LOG_ERROR, "cover \"%s\" lies outside the package", parser.m_CoverHref.c_str());
            return RC_FILE_OPEN_FAILED;
        }
        return WriteOutputFile(m_PackageFolder + UrlDecode(parser.m_CoverHref), image);
    }
    std::string extension = ImageTypeOf(image);
    if (extension.empty()) extension = "jpg";
    int n = 1;
    while (FileExists(m_PackageFolder + "Epub_Add_CoverImg_" + std::to_string(n) + "." + extension) ||
           FileExists(m_PackageFolder + "Epub_Add_CoveHtml_" + std::to_string(n) + ".html"))
        ++n;
    AddedCover cover;
    cover.m_ImageId = "Epub_Add_CoverImg_" + std::to_string(n);
    cover.m_ImageHref = cover.m_ImageId + "." + extension;
    cover.m_ImageMediaType = MediaTypeOf(cover.m_ImageHref);
    cover.m_PageId = "Epub_Add_CoveHtml_" + std::to_string(n);
    cover.m_PageHref = cover.m_PageId + ".html";
    ResultCode rc = WriteOutputFile(m_PackageFolder + cover.m_ImageHref, image);
    if (rc == RC_OK)
        rc = WriteOutputFile(m_PackageFolder + cover.m_PageHref, AddedCoverPage(cover.m_ImageHref));
    if (rc == RC_OK) opf = AddCoverToOpf(opf, cover);
    return rc;
}

ResultCode CEbookOpf::SetMetaData(const std::string& inputFile, SetMetaContext& ctx)
{
    CFile writable;
    if (writable.Open(inputFile, true, false) != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "\"%s\" cannot be opened for writing", inputFile.c_str());
        return RC_FILE_OPEN_FAILED;
    }
    writable.Close();
    CParseOpf parser;
    std::string opfText;
    ResultCode rc = ReadPackage(inputFile, parser, opfText);
    if (rc != RC_OK) return rc;
    // The package is edited as the file holds it: ParseOpfText may have escaped elements it refused.
    std::string original;
    ReadFileBytes(inputFile, original);

    std::string coverPath;
    MetaDataMap newValues = PackageMetadataToWrite(ctx.m_MetaData.m_MetaData, coverPath);
    std::string opf = RewriteOpfMetadata(original, newValues, PRODUCER_KEY);
    if (opf == original && coverPath.empty()) return RC_OK;
    if (!coverPath.empty()) rc = SetCover(coverPath, parser, opf);
    if (rc == RC_OK) rc = WriteOutputFile(inputFile, opf);
    if (rc != RC_OK)
        TARVO_LOG(m_Log, LOG_ERROR, "package %s not rewritten: %s", inputFile.c_str(), ResultMessage(rc));
    return rc;
}

ResultCode CEbookOpf::WritePackage(COutputTree& tree, const std::string& hrefPrefix,
                                   ConvertOutputContext& ctx, std::string& package,
                                   std::vector<std::string>& written)
{
    CIntermediateBook& book = ctx.m_Book;
    const std::string bookDirectory = book.BookDirectory(ctx.m_TempDirectory);
    auto add = [this, &tree](const std::string& name, const std::string& data) {
        ResultCode result = tree.Add(name, data);
        if (result != RC_OK)
            TARVO_LOG(m_Log, LOG_ERROR, "%s not written: %s", name.c_str(), ResultMessage(result));
        return result;
    };
    // Names come from the book: one that is no plain name inside the output's folder (a "..", a
    // hidden name) is left out of the package too.
    auto unsafe = [this](const std::string& name) {
        if (IsSafeOutputName(UrlDecode(name))) return false;
        TARVO_LOG(m_Log, LOG_WARNING, "\"%s\" is no name to write, left out", name.c_str());
        return true;
    };
    for (std::vector<std::string>* list : {&book.m_HtmlFileList, &book.m_ResourceList})
        list->erase(std::remove_if(list->begin(), list->end(), unsafe), list->end());
    auto read = [&bookDirectory](const std::string& name) {
        return ListedNameInBook("", name) ? ReadWholeFile(BookFilePath(bookDirectory, name)) : std::string();
    };
    TARVO_LOG(m_Log, LOG_INFO, "CEbookOpf::MoveFileToOutputPath IN...");
    for (const std::string& name : book.m_HtmlFileList) {
        std::string data = read(name);
        if (data.empty()) continue;
        ResultCode rc = add(UrlDecode(name), PrintedDocument(data, m_Log));
        if (rc != RC_OK) return rc;
        written.push_back(UrlDecode(name));
    }
    for (const std::string& name : book.m_ResourceList) {
        std::string data = read(name);
        if (data.empty()) continue;
        ResultCode rc = add(UrlDecode(name), data);
        if (rc != RC_OK) return rc;
    }
    TARVO_LOG(m_Log, LOG_INFO, "CEbookOpf::MoveFileToOutputPath OUT...");

    CEpubBase writer;
    writer.m_HrefPrefix = hrefPrefix;
    std::string coverImage;
    if (book.GetValue("coverimage", coverImage) == RC_OK && !coverImage.empty()) {
        writer.m_CoverImagePath = book.m_MetaData["coverimage"].front();
        writer.m_HasCover = std::find(book.m_ResourceList.begin(), book.m_ResourceList.end(),
                                      writer.m_CoverImagePath) != book.m_ResourceList.end();
    }
    package = writer.BuildOpf(book);
    return add(NCX_NAME, writer.BuildNcx(book));
}

// The package document takes the output path's name, so that the package written can be read back
// through that same path; the book's files and the NCX go into the output's own folder beside it.
ResultCode CEbookOpf::Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx)
{
    PrintProgress("Converting Output To Opf");
    const std::string output = ToOsPath(outputFile);
    PrintProgress("Processed 95%");
    PrintProgress("Creating Opf Output");
    COutputTree tree;
    std::string package;
    std::vector<std::string> written;
    ResultCode rc = tree.Begin(output, FilesFolderName(GetFileName(output)), FilesToKeep(ctx), m_Log);
    if (rc == RC_OK)
        rc = WritePackage(tree, EscapeUrlSegment(FilesFolderName(GetFileName(output))) + "/", ctx, package,
                          written);
    if (rc != RC_OK) return rc;
    rc = tree.SetMain(package);
    if (rc == RC_OK) rc = tree.Commit();
    if (rc != RC_OK)
        TARVO_LOG(m_Log, LOG_ERROR, "package %s not written: %s", output.c_str(), ResultMessage(rc));
    return rc;
}
