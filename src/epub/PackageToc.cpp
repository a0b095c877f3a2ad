#include "epub/PackageToc.h"

#include "base/Href.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "epub/NavDocument.h"
#include "epub/ParseOpf.h"

#include <set>
#include <unordered_map>
#include <vector>

namespace
{

// A table of contents can name thousands of missing files: the log names the first ones.
constexpr size_t LOGGED_TARGETS = 20;
// Paths are matched on at most this many last components, so that matching stays linear.
constexpr size_t MATCHED_COMPONENTS = 8;

// "b/c" and "c" for "a/b/c": the path without one or more of its leading folders, longest first.
std::vector<std::string> ProperTails(const std::string& path)
{
    std::vector<size_t> slashes;
    for (size_t at = path.rfind('/'); at != std::string::npos && slashes.size() < MATCHED_COMPONENTS;
         at = at == 0 ? std::string::npos : path.rfind('/', at - 1))
        slashes.push_back(at);
    std::vector<std::string> tails;
    for (auto it = slashes.rbegin(); it != slashes.rend(); ++it)
        if (*it + 1 < path.size()) tails.push_back(path.substr(*it + 1));
    return tails;
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
    // A listed file under its path and under the tails of its path; the first listed wins.
    std::unordered_map<std::string, const std::string*> byPath, byTail;
    for (const std::vector<std::string>* list : {&book.m_HtmlFileList, &book.m_ResourceList}) {
        for (const std::string& name : *list) {
            const std::string path = ResolvedInBook("", PercentDecode(name));
            byPath.emplace(path, &name);
            for (const std::string& tail : ProperTails(path))
                byTail.emplace(tail, &name);
        }
    }
    std::set<std::string> missing;
    size_t moved = 0;
    for (NavPoint& point : book.m_NavPoints) {
        const size_t hash = point.m_Src.find('#');
        const std::string file = point.m_Src.substr(0, hash);
        const std::string path = ResolvedInBook("", PercentDecode(file));
        if (!path.empty() && byPath.count(path)) continue;
        // A file whose path ends with the target's, else one whose path the target's ends with.
        const std::string* found = nullptr;
        if (auto tail = byTail.find(path); !path.empty() && tail != byTail.end()) found = tail->second;
        for (const std::string& tail : ProperTails(path)) {
            if (found != nullptr) break;
            if (auto listed = byPath.find(tail); listed != byPath.end()) found = listed->second;
        }
        if (found == nullptr) {
            if (missing.insert(ResolvedInBook("", file)).second && missing.size() <= LOGGED_TARGETS)
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
