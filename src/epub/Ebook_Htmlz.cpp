// The HTMLZ handler: the archive is unpacked like an EPUB, but the package is found as the first
// ".opf" entry rather than through a container, and may list no documents at all.
#include "epub/Ebook_Htmlz.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/Href.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "base/Zip.h"
#include "ebook/MarkupScanner.h"
#include "ebook/StyleSheetUrls.h"
#include "epub/Ebook_epub.h"
#include "epub/Epub.h"
#include "epub/FontObfuscation.h"
#include "epub/OpfRewrite.h"
#include "epub/PackageToc.h"
#include "epub/ParseOpf.h"
#include "html/Ebook_Html.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace
{

// Where the pages of a package without a spine are laid out, inside the TempDirectory.
const char* const PAGES_FOLDER = "pages/";

std::string LocalName(const std::string& name)
{
    return name.substr(name.rfind(':') + 1);
}

// The first start tag whose local name is localName, outside comments; false when there is none.
bool FindStartTag(const std::string& text, const char* localName, MarkupToken& tag, std::string& name)
{
    CMarkupScanner scanner(text, {});
    while (scanner.Next(tag)) {
        if (tag.m_Kind != MarkupKind::StartTag) continue;
        name = scanner.Text(tag.m_Inner);
        if (LocalName(name) == localName) return true;
    }
    return false;
}

bool TagHasAttribute(const std::string& text, const MarkupToken& tag, const char* attribute)
{
    for (const MarkupAttribute& a : tag.m_Attributes)
        if (a.m_HasValue && text.compare(a.m_Name.m_Begin, a.m_Name.Size(), attribute) == 0 &&
            a.m_Name.Size() == std::strlen(attribute))
            return true;
    return false;
}

bool IsStyleSheetName(const std::string& name)
{
    return HasExtension(name, {"css"});
}

// The text of every <style> element of a page, one after another.
std::string StyleBlocks(const std::string& page)
{
    std::string css;
    for (size_t at = FindNoCase(page, "<style"); at != std::string::npos;
         at = FindNoCase(page, "<style", at)) {
        size_t open = page.find('>', at);
        if (open == std::string::npos) break;
        size_t close = FindNoCase(page, "</style", open);
        if (close == std::string::npos) close = page.size();
        css.append(page, open + 1, close - open - 1);
        css += '\n';
        at = close;
    }
    return css;
}

} // namespace

bool CompleteHtmlzPackage(std::string& opf)
{
    std::string spineName, manifestName;
    MarkupToken spineTag, manifestTag;
    if (!FindStartTag(opf, "spine", spineTag, spineName) ||
        !FindStartTag(opf, "manifest", manifestTag, manifestName))
        return false;
    if (spineTag.m_Unterminated || TagHasAttribute(opf, spineTag, "toc")) return false;
    const size_t spine = spineTag.m_Span.m_Begin, manifest = manifestTag.m_Span.m_Begin;
    const size_t manifestClose = opf.find("</" + manifestName, manifest);
    if (manifestClose == std::string::npos || manifestClose > spine) return false;

    const std::string prefix = manifestName.substr(0, manifestName.size() - LocalName(manifestName).size());
    opf.insert(spine + 1 + spineName.size(), " toc=\"ncx\"");
    opf.insert(manifestClose,
               "<" + prefix + "item id=\"ncx\" href=\"toc.ncx\" media-type=\"application/x-dtbncx+xml\"/>");
    return true;
}

CEbookHtmlz::~CEbookHtmlz() = default;

ResultCode CEbookHtmlz::ReadPackage(const std::string& inputFile, const std::string& tempDirectory, CZip& zip,
                                    CParseOpf& parser, std::string& opfText)
{
    m_Book.Reset();
    m_Book.m_Log = m_Log;
    zip.m_WorkingDirectory = tempDirectory;
    zip.m_ZipLog = m_Log;
    ResultCode rc = zip.Open(inputFile, false, false);
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s could not be opened", inputFile.c_str());
        return rc;
    }
    if (zip.ReadDirectory() != RC_OK) {
        // The repair writes a new archive: a copy in the TempDirectory, never the user's file.
        const std::string repaired = tempDirectory + GetFileName(ToOsPath(inputFile)) + ".repaired.htmlz";
        TARVO_LOG(m_Log, LOG_WARNING, "archive is damaged, rebuilding it as \"%s\"", repaired.c_str());
        rc = zip.FixEpub(repaired);
        if (rc != RC_OK) return rc;
    }
    auto package = std::find_if(zip.m_Entries.begin(), zip.m_Entries.end(),
                                [](const ZipEntry& e) { return HasExtension(e.m_Name, {"opf"}); });
    if (package == zip.m_Entries.end()) {
        TARVO_LOG(m_Log, LOG_ERROR, "no entry of the %zu in %s is a package document", zip.m_Entries.size(),
                  inputFile.c_str());
        return RC_HTMLZ_OPF;
    }
    m_OpfPath = package->m_Name;
    rc = zip.GetFileBuffer(m_OpfPath, opfText);
    if (rc != RC_OK) return rc;
    if (StartsWith(opfText, "\xEF\xBB\xBF")) opfText.erase(0, 3);

    m_Book.m_PackagePath = m_OpfPath;
    m_Book.m_ContentDirectory = GetDirectory(m_OpfPath);
    m_Book.m_PackageInSubdirectory = !m_Book.m_ContentDirectory.empty();
    std::string parsed = opfText;
    rc = ParseOpfText(parsed, parser);
    // The parser's answer for text that is no package at all has no message for the user.
    if (rc == RC_EPUB_NOT_A_PACKAGE) rc = RC_EPUB_OPF_PARSE;
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s of %s is not a package document", m_OpfPath.c_str(),
                  inputFile.c_str());
        return rc;
    }
    parser.FillMetaData(m_Book);
    const std::string cover = CoverHref(parser);
    if (!cover.empty()) m_Book.SetValue("coverimage", cover);
    m_Book.m_NcxPath = parser.m_NcxHref;
    std::vector<std::string> images;
    if (parser.BuildFileLists(m_Book, images)) m_Book.RebaseOntoTempDirectory();
    DropNamesOutsideTheBook();
    return RC_OK;
}

std::string CEbookHtmlz::CoverHref(const CParseOpf& parser) const
{
    if (!parser.m_CoverHref.empty()) return parser.m_CoverHref;
    for (const GuideItem& item : parser.m_Guide)
        if (EqualsNoCase(item.m_Type, "cover") &&
            HasExtension(item.m_Href, {"jpg", "jpeg", "png", "gif", "bmp"}))
            return item.m_Href;
    return "";
}

// Every later step reads the listed files from the TempDirectory: a package that names a file
// above the archive's top must not reach out of it.
void CEbookHtmlz::DropNamesOutsideTheBook()
{
    const std::string base = m_Book.m_RelativeToContentDirectory ? m_Book.m_ContentDirectory : "";
    auto outside = [this, &base](const std::string& name) {
        bool escapes = !ListedNameInBook(base, name);
        if (escapes) TARVO_LOG(m_Log, LOG_WARNING, "\"%s\" lies outside the book, left out", name.c_str());
        return escapes;
    };
    for (std::vector<std::string>* list : {&m_Book.m_HtmlFileList, &m_Book.m_ResourceList})
        list->erase(std::remove_if(list->begin(), list->end(), outside), list->end());
    std::string cover;
    if (m_Book.GetValue("coverimage", cover) == RC_OK && outside(cover))
        m_Book.m_MetaData.erase("coverimage");
}

void CEbookHtmlz::KeepStyleSheetFiles(const std::string& bookDirectory, const std::string& sourceDirectory)
{
    std::vector<std::string>& resources = m_Book.m_ResourceList;
    std::set<std::string> listed;
    std::vector<std::string> sheets;
    for (const std::string& name : resources) {
        listed.insert(ToLowerCopy(name));
        if (IsStyleSheetName(name)) sheets.push_back(name);
    }
    auto keep = [&](const std::string& folder, const std::string& css) {
        for (const std::string& url : StyleSheetUrls(css)) {
            const CHref href = CHref::Parse(url);
            if (href.m_External || href.m_Path.empty()) continue;
            // Listed as the pages' files are: the path as written, the fragment and query dropped.
            const std::string name = ResolvedInBook(folder, url.substr(0, url.find_first_of("?#")));
            if (name.empty() || !ListedNameInBook("", name) || !listed.insert(ToLowerCopy(name)).second)
                continue;
            if (sourceDirectory != bookDirectory) {
                if (MakePath(bookDirectory + UrlDecode(name)) != RC_OK ||
                    CopyFile(BookFilePath(sourceDirectory, name), bookDirectory + UrlDecode(name)) != RC_OK)
                    continue;
            } else if (!FileExists(bookDirectory + UrlDecode(name))) {
                continue;
            }
            TARVO_LOG(m_Log, LOG_INFO, "\"%s\" is kept: a style sheet names it", name.c_str());
            resources.push_back(name);
            if (IsStyleSheetName(name)) sheets.push_back(name);
        }
    };
    for (const std::string& page : m_Book.m_HtmlFileList)
        keep(GetDirectory(page), StyleBlocks(ReadWholeFile(BookFilePath(bookDirectory, page))));
    // Each name is listed once, so a sheet that imports itself is read once.
    for (size_t i = 0; i < sheets.size(); ++i) {
        const std::string sheet = sheets[i];
        keep(GetDirectory(sheet), ReadWholeFile(BookFilePath(bookDirectory, sheet)));
    }
}

ResultCode CEbookHtmlz::ReadPagesWithoutSpine(const CZip& zip, const std::string& tempDirectory)
{
    // A copy: the content directory becomes the pages' folder below, and the cover is looked for
    // beside the package.
    const std::string folder = m_Book.m_ContentDirectory;
    auto isPage = [&folder](const ZipEntry& e) {
        return StartsWith(e.m_Name, folder) && HasExtension(e.m_Name, {"html", "htm", "xhtml"});
    };
    auto start = std::find_if(zip.m_Entries.begin(), zip.m_Entries.end(), [&](const ZipEntry& e) {
        return isPage(e) && EqualsNoCase(e.m_Name, folder + "index.html");
    });
    if (start == zip.m_Entries.end())
        start = std::find_if(zip.m_Entries.begin(), zip.m_Entries.end(), isPage);
    if (start == zip.m_Entries.end() || !LiesInBook(start->m_Name)) {
        TARVO_LOG(m_Log, LOG_ERROR, "the package %s lists no documents and the archive holds no page",
                  m_OpfPath.c_str());
        return RC_HTML_LIST_EMPTY;
    }
    CEbookHtml pages;
    pages.m_Log = m_Log;
    ConvertInputContext pagesContext{tempDirectory + PAGES_FOLDER, "", FORMAT_EPUB, ""};
    ResultCode rc = MakePath(pagesContext.m_TempDirectory);
    if (rc == RC_OK) rc = pages.Convert_Input(tempDirectory + start->m_Name, pagesContext);
    if (rc != RC_OK) return rc;
    const CIntermediateBook& read = *pages.GetIntermediateBook();
    m_Book.m_HtmlFileList = read.m_HtmlFileList;
    m_Book.m_ResourceList = read.m_ResourceList;
    m_Book.m_NavPoints = read.m_NavPoints;
    m_Book.m_ContentDirectory = PAGES_FOLDER;
    m_Book.m_PackageInSubdirectory = true;
    m_Book.m_RelativeToContentDirectory = true;
    KeepStyleSheetFiles(tempDirectory + PAGES_FOLDER, tempDirectory + GetDirectory(start->m_Name));

    // The cover lies beside the package, which the pages' folder does not hold.
    std::string cover;
    if (m_Book.GetValue("coverimage", cover) != RC_OK) return RC_OK;
    const std::string image = ReadWholeFile(BookFilePath(tempDirectory + folder, cover));
    if (image.empty()) return RC_OK;
    const std::string target = tempDirectory + PAGES_FOLDER + UrlDecode(cover);
    if (MakePath(target) == RC_OK && WriteWholeFile(target, image) == RC_OK &&
        std::find(m_Book.m_ResourceList.begin(), m_Book.m_ResourceList.end(), cover) ==
            m_Book.m_ResourceList.end())
        m_Book.m_ResourceList.push_back(cover);
    return RC_OK;
}

ResultCode CEbookHtmlz::Convert_Input(const std::string& inputFile, ConvertInputContext& ctx)
{
    PrintProgress("Converting Input To Htmlz");
    CZip zip;
    CParseOpf parser;
    std::string opfText;
    ResultCode rc = ReadPackage(inputFile, ctx.m_TempDirectory, zip, parser, opfText);
    if (rc != RC_OK) return rc;
    PrintProgress("UnCompress File");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtmlz::UnCompress IN...");
    rc = zip.UnCompress();
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtmlz::UnCompress OUT...");
    if (rc != RC_OK) return rc;
    DeobfuscateFonts(zip, parser.Identifiers(), m_Log);

    PrintProgress("Get HtmlFileList And Source");
    if (parser.m_Spine.empty()) return ReadPagesWithoutSpine(zip, ctx.m_TempDirectory);
    getGuideList(parser, m_Book);
    auto read = [&](const std::string& href, std::string& text) {
        std::string path;
        return ResolveHrefInBook(m_Book.m_ContentDirectory, href, path) &&
               zip.GetFileBuffer(path, text) == RC_OK;
    };
    ReadPackageToc(parser, read, m_Book, m_Log);
    const std::string bookDirectory = m_Book.BookDirectory(ctx.m_TempDirectory);
    KeepStyleSheetFiles(bookDirectory, bookDirectory);
    RepairTocTargets(m_Book, m_Log);
    if (CompleteHtmlzPackage(opfText)) {
        rc = WriteWholeFile(ctx.m_TempDirectory + m_OpfPath, opfText);
        if (rc != RC_OK) TARVO_LOG(m_Log, LOG_ERROR, "completed package %s not written", m_OpfPath.c_str());
    }
    if (rc == RC_OK && m_Book.m_HtmlFileList.empty()) {
        TARVO_LOG(m_Log, LOG_ERROR, "the spine of %s names no document", m_OpfPath.c_str());
        rc = RC_HTML_LIST_EMPTY;
    }
    return rc;
}

ResultCode CEbookHtmlz::GetMetaData(const std::string& inputFile, GetMetaContext& ctx)
{
    CZip zip;
    CParseOpf parser;
    std::string opfText;
    ResultCode rc = ReadPackage(inputFile, ctx.m_TempDirectory, zip, parser, opfText);
    if (rc != RC_OK) return rc;
    m_Book.KeepOnlyPublicationDate();

    std::string href, image;
    if (m_Book.GetValue("coverimage", href) != RC_OK) return RC_OK;
    const std::string base = m_Book.m_RelativeToContentDirectory ? m_Book.m_ContentDirectory : "";
    std::string path;
    if (!ResolveHrefInBook(base, href, path) || zip.GetFileBuffer(path, image) != RC_OK || image.empty())
        return RC_OK;
    return DeliverCoverImage(image, ctx.m_CoverImageFile, m_Book, m_Log);
}
