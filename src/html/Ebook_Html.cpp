// HTML input goes through the HTML cleaner's link walk; output writes the first page at the output
// path and the book's other files in a folder beside it, the links following them.
#include "html/Ebook_Html.h"

#include "base/Charset.h"
#include "base/Files.h"
#include "base/Href.h"
#include "base/OutputTree.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "html/PageLinks.h"

#include <algorithm>
#include <memory>

namespace
{

const char* const PAGE_EXTENSIONS[] = {"html", "xhtml", "htm", "xml", "shtml"};

bool IsPageName(const std::string& name)
{
    std::string extension;
    if (!GetExtension(name, extension)) return false;
    return std::find(std::begin(PAGE_EXTENSIONS), std::end(PAGE_EXTENSIONS), extension) !=
           std::end(PAGE_EXTENSIONS);
}

std::string JoinFolder(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

} // namespace

std::string RelativeReference(const std::string& fromFolder, const std::string& target)
{
    std::vector<std::string> from = SplitPath(fromFolder), to = SplitPath(target);
    size_t common = 0;
    while (common < from.size() && common + 1 < to.size() && from[common] == to[common])
        ++common;
    std::string reference;
    for (size_t i = common; i < from.size(); ++i)
        reference += "../";
    for (size_t i = common; i < to.size(); ++i)
        reference += (i > common ? "/" : "") + to[i];
    return reference;
}

void CorrectNvPointOrder(CIntermediateBook& book)
{
    std::vector<NavPoint> sorted;
    sorted.reserve(book.m_NavPoints.size());
    for (NavPoint& point : book.m_NavPoints) {
        auto at = std::find_if(sorted.begin(), sorted.end(), [&point](const NavPoint& other) {
            return other.m_Depth > point.m_Depth ||
                   (other.m_Depth == point.m_Depth && other.m_EntryNumber >= point.m_EntryNumber);
        });
        sorted.insert(at, std::move(point));
    }
    for (size_t i = 0; i < sorted.size(); ++i) {
        sorted[i].m_OwnIndex = static_cast<int32_t>(i);
        sorted[i].m_Parent = -1;
    }
    for (size_t i = 0; i < sorted.size(); ++i) {
        NavPoint& point = sorted[i];
        if (point.m_FirstChild == -1) continue;
        int32_t first = -1, last = -1;
        for (size_t j = 0; j < sorted.size() && (first < 0 || last < 0); ++j) {
            if (first < 0 && sorted[j].m_EntryNumber == point.m_FirstChild) first = static_cast<int32_t>(j);
            if (last < 0 && sorted[j].m_EntryNumber == point.m_LastChild) last = static_cast<int32_t>(j);
        }
        if (first < 0 || last < 0 || last < first) {
            point.m_FirstChild = point.m_LastChild = -1;
            continue;
        }
        point.m_FirstChild = first;
        point.m_LastChild = last;
        for (int32_t child = first; child <= last; ++child)
            sorted[static_cast<size_t>(child)].m_Parent = static_cast<int32_t>(i);
    }
    book.m_NavPoints = std::move(sorted);
}

std::string CollapseSpace(const std::string& text)
{
    std::string out;
    for (char c : text) {
        bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
        if (!blank)
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

namespace
{

std::string AttributeOf(TidyNode element, TidyAttrId id)
{
    TidyAttr attr = tidyAttrGetById(element, id);
    const char* value = attr != nullptr ? tidyAttrValue(attr) : nullptr;
    return value != nullptr ? value : "";
}

} // namespace

// A page's metadata is its <title> and an author meta element; the first of each counts.
ResultCode CEbookHtml::GetMetaData(const std::string& inputFile, GetMetaContext&)
{
    m_Book.Reset();
    return ReadPageMetadata(inputFile);
}

ResultCode CEbookHtml::ReadPageMetadata(const std::string& inputFile)
{
    std::string text;
    if (!ReadFileBytes(inputFile, text)) {
        TARVO_LOG(m_Log, LOG_ERROR, "page %s could not be read", inputFile.c_str());
        return RC_FILE_READ_FAILED;
    }
    ResultCode rc = CharsetConv::ToUtf8(text);
    if (rc != RC_OK) return rc;
    // Both live in the head: the body, most of a page, is parsed once, by the conversion.
    const size_t body = FindNoCase(text, "<body", 0, text.size());
    if (body != std::string::npos) text.resize(body);
    CHtmlParse parser(m_Log);
    rc = parser.Init(text, false, false);
    if (rc != RC_OK) return rc;
    TidyNode head = tidyGetHead(parser.GetDoc());
    std::string title, author;
    for (TidyNode child = head != nullptr ? tidyGetChild(head) : nullptr; child != nullptr;
         child = tidyGetNext(child)) {
        TidyTagId tag = tidyNodeGetId(child);
        if (tag == TidyTag_TITLE && title.empty()) {
            parser.PrintVisibleText(child, title);
            title = CollapseSpace(DecodeEntities(title));
        } else if (tag == TidyTag_META && author.empty() &&
                   EqualsNoCase(AttributeOf(child, TidyAttr_NAME), "author")) {
            author = CollapseSpace(AttributeOf(child, TidyAttr_CONTENT));
        }
    }
    if (!title.empty()) m_Book.SetValue("title", title);
    if (!author.empty()) m_Book.SetValue("creator", author);
    return RC_OK;
}

ResultCode CEbookHtml::Convert_Input(const std::string& inputFile, ConvertInputContext& ctx)
{
    PrintProgress("Converting Input To Html");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml:Convert_Input test...");
    m_Book.m_Log = m_Log;
    m_Parser.SetLog(m_Log);
    m_Book.Reset();
    // The book is named as `g` names it; a page without a title still converts.
    ReadPageMetadata(inputFile);
    m_Parser.ClearRecords();
    m_StartFolder = GetDirectory(ToOsPath(inputFile));
    m_Book.m_SpareText = m_StartFolder;
    m_Book.m_SourceFolder = m_StartFolder.empty() ? "./" : m_StartFolder;

    PrintProgress("Parsing All Htmls");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::GetHtmlList IN...");
    ResultCode rc = m_Parser.GetHtmlList(inputFile, ctx.m_TempDirectory, m_Book);
    if (rc != RC_OK) return rc;
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::GetHtmlList OUT...");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::CorrectNvPointOrder IN...");
    CorrectNvPointOrder(m_Book);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::CorrectNvPointOrder OUT...");

    PrintProgress("Get HtmlFileList And Source");
    FillResourceList();
    FillHtmlFileList();
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::Convert_Input test OUT...");
    return m_Book.m_HtmlFileList.empty() ? RC_HTML_LIST_EMPTY : RC_OK;
}

void CEbookHtml::FillResourceList()
{
    for (const HtmlResourceRecord& record : m_Parser.GetRecords()) {
        for (const std::vector<std::string>* list : {&record.m_StyleSheets, &record.m_Images}) {
            for (const std::string& path : *list) {
                std::string name = ResolvedInBook(record.m_Folder, path);
                bool known =
                    std::any_of(m_Book.m_ResourceList.begin(), m_Book.m_ResourceList.end(),
                                [&name](const std::string& other) { return EqualsNoCase(other, name); });
                // Files are opened decoding their names once more, so that reading must stay inside too.
                if (!known && ListedNameInBook("", name)) m_Book.m_ResourceList.push_back(name);
            }
        }
    }
}

void CEbookHtml::FillHtmlFileList()
{
    for (const HtmlResourceRecord& record : m_Parser.GetRecords()) {
        std::string name = JoinFolder(record.m_Folder, record.m_FileName);
        if (!IsPageName(name)) continue;
        m_Book.m_HtmlFileList.push_back(name);
        m_Book.m_PrintedDocuments.insert(name);
    }
}

ResultCode CEbookHtml::Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx)
{
    PrintProgress("Converting Output To Html");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::Convert_Output IN...");
    CIntermediateBook& book = ctx.m_Book;
    if (!book.m_CoverPageName.empty() && std::find(book.m_HtmlFileList.begin(), book.m_HtmlFileList.end(),
                                                   book.m_CoverPageName) == book.m_HtmlFileList.end())
        book.m_HtmlFileList.insert(book.m_HtmlFileList.begin(), book.m_CoverPageName);

    const std::string output = ToOsPath(outputFile);
    const std::string outputFolder = GetDirectory(output);
    const std::string outputName = GetFileName(output);

    PrintProgress("Processed 95%");
    PrintProgress("Creating Html Output");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::MoveFileToOutputPath IN...");
    ResultCode rc =
        MoveFileToOutputPath(book, ctx.m_TempDirectory, outputName, outputFolder, FilesToKeep(ctx));
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::MoveFileToOutputPath OUT...");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml::Convert_Output OUT...");
    return rc;
}

namespace
{

// Where the pages go: the start page at the output name, every other file of the book in one
// folder beside it named after it, as a browser saves a page with its files.
class COutputLayout
{
  public:
    COutputLayout(const std::string& outputName, const std::string& startEntry)
        : m_FilesFolder(FilesFolderName(outputName)), m_StartEntry(DecodedPath(startEntry)),
          m_OutputLink(EscapeUrlSegment(outputName)), m_FilesLink(EscapeUrlSegment(m_FilesFolder))
    {
    }

    const std::string& FilesFolder() const { return m_FilesFolder; }

    // A link of the page at entry, for the page's new place. Only links that stay inside the book
    // change: the start page's own links now start from the output folder, and links to the start
    // page name it by the output name.
    std::string Rewrite(const std::string& value, const std::string& entry, bool isStartPage) const
    {
        const LinkParts link = SplitLink(value);
        std::string target;
        // The path stays escaped as written, since the link is rewritten around it.
        if (CHref::Parse(link.m_Path).m_External || !ResolveInBook(FolderOf(entry), link.m_Path, target))
            return value;
        if (PercentDecode(target) == m_StartEntry)
            return RelativeReference(isStartPage ? "" : m_FilesLink + "/" + FolderOf(entry), m_OutputLink) +
                   link.m_Suffix;
        return isStartPage ? m_FilesLink + "/" + target + link.m_Suffix : value;
    }

  private:
    static std::string FolderOf(const std::string& entry)
    {
        std::string folder = GetDirectory(ToOsPath(entry));
        if (!folder.empty()) folder.pop_back();
        return folder;
    }
    static std::string DecodedPath(const std::string& entry)
    {
        std::string resolved;
        ResolveInBook("", entry, resolved);
        return PercentDecode(resolved);
    }
    std::string m_FilesFolder;
    std::string m_StartEntry; // decoded and normalised
    std::string m_OutputLink;
    std::string m_FilesLink;
};

} // namespace

ResultCode CEbookHtml::MoveFileToOutputPath(CIntermediateBook& book, const std::string& tempDirectory,
                                            const std::string& outputName, std::string outputFolder,
                                            const std::vector<std::string>& keep)
{
    if (!outputFolder.empty() && !IsSeparator(outputFolder.back())) outputFolder += '/';
    const std::string bookDirectory = book.BookDirectory(tempDirectory);
    COutputTree tree;
    ResultCode rc = tree.Begin(outputFolder + outputName, FilesFolderName(outputName), keep, m_Log);
    if (rc != RC_OK) return rc;
    // Names come from the book; one that is no plain name inside the output's folder (a "..", a
    // hidden name) is not written, and an empty or missing file is skipped.
    auto readEntry = [this, &bookDirectory](const std::string& entry) {
        if (IsSafeOutputName(UrlDecode(entry)) && ListedNameInBook("", entry))
            return ReadWholeFile(BookFilePath(bookDirectory, entry));
        TARVO_LOG(m_Log, LOG_WARNING, "\"%s\" is no name to write, left out", entry.c_str());
        return std::string();
    };
    auto written = [this](ResultCode result, const std::string& entry) {
        if (result != RC_OK)
            TARVO_LOG(m_Log, LOG_ERROR, "%s not written: %s", entry.c_str(), ResultMessage(result));
        return result;
    };

    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml MoveHtml IN...");
    std::unique_ptr<COutputLayout> layout;
    for (const std::string& entry : book.m_HtmlFileList) {
        std::string page = readEntry(entry);
        if (page.empty()) continue;
        const bool isStartPage = layout == nullptr;
        if (isStartPage) layout = std::make_unique<COutputLayout>(outputName, entry);
        page = RewritePageLinks(page, [&layout, &entry, isStartPage](const std::string& value) {
            return layout->Rewrite(value, entry, isStartPage);
        });
        rc = written(isStartPage ? tree.SetMain(page) : tree.Add(UrlDecode(entry), page), entry);
        if (rc != RC_OK) return rc;
    }
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml MoveHtml OUT...");
    if (layout == nullptr) {
        TARVO_LOG(m_Log, LOG_ERROR, "none of the %zu pages of the book could be read from %s",
                  book.m_HtmlFileList.size(), bookDirectory.c_str());
        return RC_HTML_LIST_EMPTY;
    }
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml MoveSource IN...");
    for (const std::string& entry : book.m_ResourceList) {
        std::string data = readEntry(entry);
        if (data.empty()) continue;
        // Pages outside the reading order (a navigation page) may link to the start page too.
        if (IsPageName(entry))
            data = RewritePageLinks(data, [&layout, &entry](const std::string& value) {
                return layout->Rewrite(value, entry, false);
            });
        rc = written(tree.Add(UrlDecode(entry), data), entry);
        if (rc != RC_OK) return rc;
    }
    TARVO_LOG(m_Log, LOG_INFO, "CEbookHtml MoveSource OUT...");
    return written(tree.Commit(), outputFolder + outputName);
}
