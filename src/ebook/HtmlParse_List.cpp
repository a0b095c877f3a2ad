// GetHtmlList: an HTML file and the local pages it links to, with their resources and a table of
// contents from the headings, laid out in the TempDirectory so that every reference still resolves.
#include "ebook/HtmlParse.h"

#include "base/Charset.h"
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Href.h"
#include "base/IntermediateBook.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_set>

using PathParts = std::vector<std::string>;

// One processed file, held until every file is known: only then is it clear how many folders the
// references of all files climb above the start folder, and so where the top of the tree lies.
struct CHtmlParse::PendingFile {
    PathParts m_Folder; // absolute source folder
    std::string m_Name;
    std::string m_Text;
    size_t m_Record = 0;
    std::vector<PathParts> m_Resources;
    size_t m_MinDepth = 0; // the shallowest source folder any reference of the file passes through
};

namespace
{

const char* FindAttribute(TidyNode node, const char* name)
{
    for (TidyAttr attr = tidyAttrFirst(node); attr != nullptr; attr = tidyAttrNext(attr)) {
        const char* attrName = tidyAttrName(attr);
        if (attrName != nullptr && strcasecmp(attrName, name) == 0) return tidyAttrValue(attr);
    }
    return nullptr;
}

bool NameIs(TidyNode node, const char* name)
{
    const char* nodeName = tidyNodeGetName(node);
    return nodeName != nullptr && strcasecmp(nodeName, name) == 0;
}

bool HasHtmlExtension(const std::string& path)
{
    size_t dot = path.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = ToLowerCopy(path.substr(dot + 1));
    return ext == "html" || ext == "xhtml" || ext == "htm" || ext == "xml";
}

// The path a reference names in the book, decoded once; empty for a link that leaves the book
// (a scheme such as https:, mailto:, data: or javascript:, or "//host"), which stays a link in
// the text, and for a bare fragment.
std::string BookPathOf(const char* value)
{
    if (value == nullptr) return std::string();
    const CHref href = CHref::Parse(value);
    return href.m_External ? std::string() : href.m_Path;
}

struct CollectContext {
    HtmlResourceRecord& record;
    std::unordered_set<std::string> images; // lower case: images compare without regard to case
    std::unordered_set<std::string> styleSheets;
    std::unordered_set<std::string> htmlFiles;
};

void AddImage(CollectContext& ctx, const char* value)
{
    std::string path = BookPathOf(value);
    if (path.empty()) return;
    if (ctx.images.insert(ToLowerCopy(path)).second) ctx.record.m_Images.push_back(path);
}

void CollectFrom(TidyNode node, int depth, CollectContext& ctx)
{
    for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child)) {
        if (!CHtmlParse::IsElement(child) || depth + 1 > CHtmlParse::MAX_DEPTH) continue;
        if (NameIs(child, "title") || NameIs(child, "style")) continue;
        if (NameIs(child, "img")) {
            const char* src = FindAttribute(child, "src");
            AddImage(ctx, src != nullptr ? src : FindAttribute(child, "xlink:href"));
        } else if (NameIs(child, "a")) {
            std::string path = BookPathOf(FindAttribute(child, "href"));
            if (HasHtmlExtension(path) && ctx.htmlFiles.insert(path).second)
                ctx.record.m_HtmlFiles.push_back(path);
        } else if (NameIs(child, "link")) {
            for (TidyAttr attr = tidyAttrFirst(child); attr != nullptr; attr = tidyAttrNext(attr)) {
                const char* name = tidyAttrName(attr);
                const char* value = tidyAttrValue(attr);
                if (name == nullptr || value == nullptr) continue;
                if (strcasecmp(name, "href") != 0 && strcasecmp(name, "target") != 0) continue;
                std::string path = BookPathOf(value);
                if (path.empty()) continue;
                if (ctx.styleSheets.insert(path).second) ctx.record.m_StyleSheets.push_back(path);
            }
        } else if (NameIs(child, "object")) {
            AddImage(ctx, FindAttribute(child, "data"));
        } else if (NameIs(child, "svg")) {
            for (TidyNode image = tidyGetChild(child); image != nullptr; image = tidyGetNext(image)) {
                if (!NameIs(image, "image")) continue;
                const char* href = FindAttribute(image, "xlink:href");
                AddImage(ctx, href != nullptr ? href : FindAttribute(image, "src"));
            }
        } else if (NameIs(child, "audio") || NameIs(child, "video") || NameIs(child, "source") ||
                   NameIs(child, "embed") || NameIs(child, "script")) {
            AddImage(ctx, FindAttribute(child, "src"));
        }
        CollectFrom(child, depth + 1, ctx);
    }
}

std::string JoinParts(const PathParts& parts, size_t from)
{
    std::string text;
    for (size_t i = from; i < parts.size(); ++i) {
        if (i > from) text += '/';
        text += parts[i];
    }
    return text;
}

// Resolves a reference lexically against folder, the file system's root standing for the book's.
// False when it names no file: absolute, above the root, a NUL. sharedDepth: how many folders of
// folder the result lies in, so the book's top folder can hold every file it reaches.
bool Resolve(const PathParts& folder, const std::string& reference, PathParts& out, size_t& sharedDepth)
{
    std::string resolved;
    if (!ResolveInBook(JoinParts(folder, 0), reference, resolved)) return false;
    out = SplitPath(resolved);
    sharedDepth = 0;
    while (sharedDepth < folder.size() && sharedDepth < out.size() && folder[sharedDepth] == out[sharedDepth])
        ++sharedDepth;
    return true;
}

// The start file as absolute parts; ".." at the root stays at the root, as the file system has it.
bool AbsoluteParts(const std::string& file, PathParts& parts)
{
    std::string path = file;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (!StartsWith(path, "/")) {
        std::string current;
        if (GetCurrentDirectory(current) != RC_OK) return false;
        path = current + "/" + path;
    }
    parts.clear();
    for (const std::string& part : SplitPath(path)) {
        if (part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    return !parts.empty();
}

} // namespace

void CHtmlParse::CollectResources(HtmlResourceRecord& record)
{
    TidyNode root = GetRoot();
    if (root == nullptr) return;
    CollectContext ctx{record, {}, {}, {}};
    for (const std::string& s : record.m_Images)
        ctx.images.insert(ToLowerCopy(s));
    for (const std::string& s : record.m_StyleSheets)
        ctx.styleSheets.insert(s);
    for (const std::string& s : record.m_HtmlFiles)
        ctx.htmlFiles.insert(s);
    CollectFrom(root, 0, ctx);
}

void CHtmlParse::BuildToc(TidyNode node, size_t fileIndex, CIntermediateBook& book)
{
    if (m_Depth >= MAX_DEPTH) return;
    ++m_Depth;
    for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child)) {
        if (!IsElement(child)) continue;
        if (tidyNodeIsHeader(child) && m_Depth < MAX_DEPTH) {
            int level = tidyNodeGetName(child)[1] - '1'; // h1..h6 as 0..5
            NavPoint point;
            point.m_EntryNumber = m_PlayOrder;
            point.m_PlayOrder = std::to_string(m_PlayOrder++);
            ++m_Depth;
            point.m_Label = CollectText(child);
            --m_Depth;
            int32_t parent = -1;
            for (int higher = level - 1; higher >= 0 && parent < 0; --higher)
                parent = m_HeadingSlots[higher];
            for (int slot = level; slot < 6; ++slot)
                m_HeadingSlots[slot] = -1;
            int32_t own = static_cast<int32_t>(book.m_NavPoints.size());
            point.m_OwnIndex = own;
            if (parent >= 0) {
                NavPoint& up = book.m_NavPoints[static_cast<size_t>(parent)];
                point.m_Parent = up.m_EntryNumber;
                point.m_Depth = up.m_Depth + 1;
                if (up.m_FirstChild < 0) up.m_FirstChild = point.m_EntryNumber;
                up.m_LastChild = point.m_EntryNumber;
            }
            m_HeadingSlots[level] = own;
            m_TocFiles.emplace_back(static_cast<size_t>(own), fileIndex);
            m_TocFragments.push_back(GetId(child));
            book.m_NavPoints.push_back(point);
        }
        BuildToc(child, fileIndex, book);
    }
    --m_Depth;
}

ResultCode CHtmlParse::ProcessFile(const PathParts& source, CIntermediateBook& book,
                                   std::vector<PendingFile>& files)
{
    std::string sourcePath = "/" + JoinParts(source, 0);
    std::string text;
    ReadFileBytes(sourcePath, text);
    if (text.empty()) return RC_OK;
    ResultCode rc = CharsetConv::ToUtf8(text);
    if (rc != RC_OK) return rc;
    m_HeadingCounter = 0;

    PendingFile file;
    file.m_Folder.assign(source.begin(), source.end() - 1);
    file.m_Name = source.back();
    file.m_Record = m_Records.size();
    m_Records.emplace_back();
    HtmlResourceRecord& record = m_Records.back();
    record.m_FileName = file.m_Name;
    rc = PrintPage(
        text,
        [&](std::string& out) {
            m_Depth = 0;
            PrintDocumentWithHeadingIds(out);
            CollectResources(record);
            m_Depth = 0;
            BuildToc(GetRoot(), files.size(), book);
        },
        file.m_Text);
    Release();
    if (rc != RC_OK) {
        m_Records.pop_back();
        return rc;
    }

    file.m_MinDepth = file.m_Folder.size();
    std::unordered_set<std::string> seen;
    PathParts resolved;
    size_t minDepth = 0;
    for (const std::vector<std::string>* list : {&record.m_StyleSheets, &record.m_Images}) {
        for (const std::string& reference : *list) {
            if (!Resolve(file.m_Folder, reference, resolved, minDepth)) {
                TARVO_LOG(m_Log, LOG_WARNING, "reference names no file: %s", reference.c_str());
                continue;
            }
            file.m_MinDepth = std::min(file.m_MinDepth, minDepth);
            if (seen.insert(JoinParts(resolved, 0)).second) file.m_Resources.push_back(resolved);
        }
    }
    for (const std::string& reference : record.m_HtmlFiles)
        if (Resolve(file.m_Folder, reference, resolved, minDepth))
            file.m_MinDepth = std::min(file.m_MinDepth, minDepth);
    files.push_back(std::move(file));
    return RC_OK;
}

ResultCode CHtmlParse::WritePage(const std::string& tempDirectory, size_t topDepth, PendingFile& file,
                                 std::unordered_set<std::string>& written)
{
    HtmlResourceRecord& record = m_Records[file.m_Record];
    record.m_Folder = JoinParts(file.m_Folder, topDepth);
    std::string relative = record.m_Folder.empty() ? file.m_Name : record.m_Folder + "/" + file.m_Name;
    std::string target = tempDirectory + relative;
    ResultCode rc = MakePath(target, tempDirectory.size());
    if (rc == RC_OK) rc = WriteWholeFile(target, file.m_Text);
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "cannot write %s", target.c_str());
        return rc;
    }
    written.insert(relative);
    file.m_Text.clear();
    file.m_Text.shrink_to_fit();
    return RC_OK;
}

void CHtmlParse::WriteToTempDirectory(const std::string& tempDirectory, size_t topDepth,
                                      const PendingFile& file, std::unordered_set<std::string>& written)
{
    HtmlResourceRecord& record = m_Records[file.m_Record];
    std::string bytes;
    for (const PathParts& resource : file.m_Resources) {
        if (resource.size() <= topDepth) continue;
        std::string name = JoinParts(resource, topDepth);
        // A resource never replaces a content file written in this run, nor is it copied twice.
        if (!written.insert(name).second) continue;
        if (!ReadFileBytes("/" + JoinParts(resource, 0), bytes)) {
            TARVO_LOG(m_Log, LOG_WARNING, "missing resource %s", name.c_str());
            continue;
        }
        std::string resourceTarget = tempDirectory + name;
        if (MakePath(resourceTarget, tempDirectory.size()) != RC_OK ||
            WriteWholeFile(resourceTarget, bytes) != RC_OK) {
            TARVO_LOG(m_Log, LOG_WARNING, "cannot copy resource to %s", resourceTarget.c_str());
            continue;
        }
        record.m_CopiedResources.push_back(name);
    }
}

ResultCode CHtmlParse::GetHtmlList(const std::string& startFile, const std::string& tempDirectory,
                                   CIntermediateBook& book)
{
    m_Records.clear();
    m_TocFiles.clear();
    m_TocFragments.clear();
    m_PlayOrder = 1;
    std::fill(std::begin(m_HeadingSlots), std::end(m_HeadingSlots), -1);

    PathParts start;
    if (!AbsoluteParts(startFile, start)) return RC_OK;

    // Depth-first in link order, as a recursion over the links would go, without the recursion.
    std::vector<PendingFile> files;
    std::unordered_set<std::string> processed;
    std::vector<PathParts> pending{start};
    while (!pending.empty()) {
        PathParts source = std::move(pending.back());
        pending.pop_back();
        if (!processed.insert(JoinParts(source, 0)).second) continue;
        size_t before = files.size();
        ResultCode rc = ProcessFile(source, book, files);
        if (rc != RC_OK) return rc;
        if (files.size() == before) continue;
        const PendingFile& file = files.back();
        const std::vector<std::string>& links = m_Records[file.m_Record].m_HtmlFiles;
        PathParts resolved;
        size_t minDepth = 0;
        for (auto it = links.rbegin(); it != links.rend(); ++it)
            if (Resolve(file.m_Folder, *it, resolved, minDepth) && !resolved.empty())
                pending.push_back(resolved);
    }

    size_t topDepth = start.size() - 1;
    for (const PendingFile& file : files)
        topDepth = std::min(topDepth, file.m_MinDepth);

    // Pages first, so that no resource takes a page's name or a folder a page needs.
    std::unordered_set<std::string> written;
    for (PendingFile& file : files) {
        ResultCode rc = WritePage(tempDirectory, topDepth, file, written);
        if (rc != RC_OK) return rc;
    }
    for (const PendingFile& file : files) {
        TARVO_LOG(m_Log, LOG_INFO, "CHtmlParse::GetHtmlList WriteToTempDirectory IN...");
        WriteToTempDirectory(tempDirectory, topDepth, file, written);
        TARVO_LOG(m_Log, LOG_INFO, "CHtmlParse::GetHtmlList WriteToTempDirectory OUT...");
    }

    for (size_t i = 0; i < m_TocFiles.size(); ++i) {
        const HtmlResourceRecord& record = m_Records[files[m_TocFiles[i].second].m_Record];
        std::string src =
            record.m_Folder.empty() ? record.m_FileName : record.m_Folder + "/" + record.m_FileName;
        if (!m_TocFragments[i].empty()) src += "#" + m_TocFragments[i];
        book.m_NavPoints[m_TocFiles[i].first].m_Src = src;
    }
    return RC_OK;
}
