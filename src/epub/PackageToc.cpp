#include "epub/PackageToc.h"

#include "base/Platform.h"
#include "base/RunLog.h"
#include "epub/NavDocument.h"
#include "epub/ParseOpf.h"

#include <set>
#include <unordered_map>
#include <vector>

namespace
{

// A table of contents can name thousands of missing files: the log names the first ones.
constexpr size_t LOGGED_TARGETS = 20;

bool EndsWithPath(const std::string& path, const std::string& tail)
{
    return path.size() > tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0 &&
           path[path.size() - tail.size() - 1] == '/';
}

} // namespace

void ReadPackageToc(const CParseOpf& parser, const PackageFileReader& read, CIntermediateBook& book,
                    CRunLog* log)
{
    std::string text;
    if (!parser.m_NcxHref.empty()) {
        if (!read(parser.m_NcxHref, text))
            TARVO_LOG(log, LOG_WARNING, "NCX \"%s\" is not in the book", parser.m_NcxHref.c_str());
        else if (getNvPointList(text, GetDirectory(parser.m_NcxHref), book) != RC_OK)
            TARVO_LOG(log, LOG_WARNING, "NCX \"%s\" is not well-formed XML", parser.m_NcxHref.c_str());
    }
    const bool needToc = book.m_NavPoints.empty();
    const bool needGuide = parser.m_Guide.empty();
    if (parser.m_NavHref.empty() || (!needToc && !needGuide)) return;
    if (!read(parser.m_NavHref, text)) {
        TARVO_LOG(log, LOG_WARNING, "navigation document \"%s\" is not in the book",
                  parser.m_NavHref.c_str());
        return;
    }
    std::vector<NavPoint> toc;
    std::vector<GuideItem> landmarks;
    if (ReadNavDocument(text, parser.m_NavHref, book, toc, landmarks) != RC_OK) {
        TARVO_LOG(log, LOG_WARNING, "navigation document \"%s\" is not well-formed XML; not read",
                  parser.m_NavHref.c_str());
        return;
    }
    if (needToc) {
        TARVO_LOG(log, LOG_INFO, "%zu table of contents entries from the navigation document \"%s\"",
                  toc.size(), parser.m_NavHref.c_str());
        book.m_NavPoints = std::move(toc);
    }
    if (needGuide)
        for (const GuideItem& item : landmarks)
            AddGuideItem(item, book);
}

void RepairTocTargets(CIntermediateBook& book, CRunLog* log)
{
    std::unordered_map<std::string, const std::string*> byPath;
    std::unordered_map<std::string, std::vector<std::pair<std::string, const std::string*>>> byName;
    for (const std::vector<std::string>* list : {&book.m_HtmlFileList, &book.m_ResourceList}) {
        for (const std::string& name : *list) {
            std::string path = NormalizeRelativePath(UrlDecode(name));
            if (!byPath.emplace(path, &name).second) continue;
            byName[GetFileName(path)].emplace_back(path, &name);
        }
    }
    std::set<std::string> missing;
    size_t moved = 0;
    for (NavPoint& point : book.m_NavPoints) {
        const size_t hash = point.m_Src.find('#');
        const std::string file = point.m_Src.substr(0, hash);
        const std::string path = NormalizeRelativePath(UrlDecode(file));
        if (!path.empty() && byPath.count(path)) continue;
        const std::string* found = nullptr;
        auto sameName = path.empty() ? byName.end() : byName.find(GetFileName(path));
        if (sameName != byName.end())
            for (const auto& [candidate, listed] : sameName->second)
                if (found == nullptr && (EndsWithPath(candidate, path) || EndsWithPath(path, candidate)))
                    found = listed;
        if (found == nullptr) {
            if (missing.insert(NormalizeRelativePath(file)).second && missing.size() <= LOGGED_TARGETS)
                TARVO_LOG(log, LOG_WARNING,
                          "table of contents entry \"%s\" points at \"%s\", not in the book; left out",
                          point.m_Label.c_str(), point.m_Src.c_str());
            continue;
        }
        std::string src = *found + (hash == std::string::npos ? "" : point.m_Src.substr(hash));
        if (++moved <= LOGGED_TARGETS)
            TARVO_LOG(log, LOG_WARNING, "table of contents entry \"%s\" points at \"%s\", taken as \"%s\"",
                      point.m_Label.c_str(), point.m_Src.c_str(), src.c_str());
        point.m_Src = std::move(src);
    }
    if (moved > LOGGED_TARGETS)
        TARVO_LOG(log, LOG_WARNING, "%zu table of contents entries sent to a file of the same path", moved);
    if (missing.empty()) return;
    const size_t before = book.m_NavPoints.size();
    DropNavPointsTo(missing, book.m_NavPoints);
    TARVO_LOG(log, LOG_WARNING, "%zu table of contents entries point at %zu files not in the book; left out",
              before - book.m_NavPoints.size(), missing.size());
}
