// MOBI 6 output: the book's HTML files joined into one text whose links are byte positions
// ("filepos") into that same text, with the guide in its head and the NCX index beside it.
#include "mobi/Ebook_Prc.h"

#include "base/Href.h"
#include "base/Platform.h"
#include "base/RunLog.h"
#include "ebook/HtmlParse.h"
#include "mobi/IndexWriter.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_set>

namespace
{

// Ten digits, so the final positions overwrite it without moving anything after it.
const char FILEPOS_PLACEHOLDER[] = "filepos=\"0123456789\"";
constexpr size_t FILEPOS_PLACEHOLDER_LENGTH = sizeof FILEPOS_PLACEHOLDER - 1;
constexpr size_t FILEPOS_NAME_LENGTH = 8; // "filepos="
// A table of contents can name thousands of missing files: the log names the first ones.
constexpr size_t LOGGED_TARGETS = 20;
// A CNCX string has to fit one CNCX record; no reader shows labels this long anyway.
constexpr size_t MAX_LABEL_BYTES = 1024;

// Cut at a character boundary of the UTF-8 text.
std::string ShortLabel(const std::string& label)
{
    if (label.size() <= MAX_LABEL_BYTES) return label;
    size_t end = MAX_LABEL_BYTES;
    while (end > 0 && (static_cast<unsigned char>(label[end]) & 0xC0u) == 0x80u)
        --end;
    return label.substr(0, end);
}

// "http:", "mailto:" and the like lead out of the book and stay as they are.
bool HasScheme(const std::string& href)
{
    size_t colon = href.find(':');
    return colon != std::string::npos && colon > 0 && href.find_first_of("/#?") > colon;
}

} // namespace

std::string CEbookPrc::NormalTarget(const std::string& directory, const std::string& href)
{
    std::string path;
    if (!ResolveHrefInBook(directory, href, path)) return std::string();
    size_t hash = href.find('#');
    if (hash == std::string::npos || hash + 1 == href.size()) return path;
    return path + href.substr(hash);
}

bool CEbookPrc::FindTarget(const std::string& target, size_t& position) const
{
    if (target.empty()) return false;
    auto found = m_TargetMap.find(target);
    if (found == m_TargetMap.end()) {
        size_t hash = target.find('#');
        if (hash == std::string::npos) return false;
        found = m_TargetMap.find(target.substr(0, hash + 1) + UrlDecode(target.substr(hash + 1)));
        // An id that is not there still lets the reader land in the right file.
        if (found == m_TargetMap.end()) found = m_TargetMap.find(target.substr(0, hash));
        if (found == m_TargetMap.end()) return false;
    }
    position = found->second;
    return true;
}

void CEbookPrc::RecordTarget(const std::string& id, size_t position)
{
    if (!id.empty()) m_TargetMap.emplace(m_CurrentFile + "#" + id, position);
}

void CEbookPrc::AppendGuideHead(std::string& text)
{
    text += "<head><guide>";
    for (const GuideItem& item : m_Book.m_GuideItems) {
        text += "<reference title=\"";
        AppendAttributeValue(item.m_Title, text);
        text += "\" type=\"";
        AppendAttributeValue(item.m_Type, text);
        text += "\" ";
        m_LinkMap[text.size()] = NormalTarget("", item.m_Href);
        text += FILEPOS_PLACEHOLDER;
        text += " />";
    }
    text += "</guide></head>";
}

ResultCode CEbookPrc::ParseText(CMobiResources& resources, MobiPartText& part)
{
    m_LinkMap.clear();
    m_TargetMap.clear();
    m_NcxEntries.clear();
    m_OutputResources = &resources;
    const std::string bookDirectory = m_Book.BookDirectory(m_TempDirectory);
    const std::string contentFolder = StartsWith(bookDirectory, m_TempDirectory)
                                          ? bookDirectory.substr(m_TempDirectory.size())
                                          : std::string();

    std::string text = "<html>";
    AppendGuideHead(text);
    text += "<body>";
    std::unordered_set<std::string> seen;
    size_t printed = 0;
    for (const std::string& listed : m_Book.m_HtmlFileList) {
        std::string name;
        if (!ResolveHrefInBook("", listed, name)) {
            TARVO_LOG(m_Log, LOG_WARNING, "HTML file \"%s\" lies outside the book; left out", listed.c_str());
            continue;
        }
        if (!seen.insert(name).second) continue;
        std::string bytes;
        if (!ReadFileBytes(bookDirectory + name, bytes)) {
            TARVO_LOG(m_Log, LOG_ERROR, "CEbookPrc ReadFile error 1!");
            TARVO_LOG(m_Log, LOG_ERROR, "%s", (bookDirectory + name).c_str());
            TARVO_LOG(m_Log, LOG_ERROR, "CEbookPrc ReadFile error 2!");
            continue;
        }
        CHtmlParse parse(m_Log);
        m_CurrentFile = name;
        m_CurrentFolder = contentFolder + GetDirectory(name);
        m_TargetMap.emplace(name, text.size());
        // Only the body's content is printed, so a big page's pieces give it in turn.
        ResultCode rc = parse.ParseInPieces(bytes, [&](size_t piece, size_t) {
            m_Parse = &parse;
            m_Depth = 0;
            TidyNode body = tidyGetBody(parse.GetDoc());
            if (body != nullptr) {
                // The body's own id names the start of the file.
                AttributeList attributes = ReadAttributes(parse, body);
                const std::string* id = FindAttribute(attributes, "id");
                if (id != nullptr && piece == 0) RecordTarget(*id, text.size());
                PrintOutputChildren(body, text);
            } else {
                PrintOutputChildren(parse.GetRoot(), text);
            }
            m_Parse = nullptr;
        });
        if (rc != RC_OK) {
            TARVO_LOG(m_Log, LOG_ERROR, "%s does not parse; no MOBI 6 text", name.c_str());
            m_OutputResources = nullptr;
            return RC_HTML_INIT;
        }
        text += "<mbp:pagebreak/>";
        ++printed;
    }
    text += "</body></html>";
    m_OutputResources = nullptr;
    if (printed == 0) {
        TARVO_LOG(m_Log, LOG_ERROR, "none of the %zu HTML files could be read", m_Book.m_HtmlFileList.size());
        return RC_HTML_LIST_EMPTY;
    }
    if (text.size() > static_cast<size_t>(INT32_MAX)) {
        TARVO_LOG(m_Log, LOG_ERROR, "MOBI 6 text of %zu bytes is too long for its positions", text.size());
        return RC_NOT_SUPPORT;
    }
    GetNcxList(text);
    HandleALink(text);
    if (!m_NcxEntries.empty()) MakeNcxIndex(part);
    part.m_Text = std::move(text);
    return RC_OK;
}

void CEbookPrc::PrintOutputElement(TidyNode element, std::string& out)
{
    TidyTagId tag = tidyNodeGetId(element);
    if (tag == TidyTag_SCRIPT) return;
    const char* name = tidyNodeGetName(element);
    AttributeList attributes = ReadAttributes(*m_Parse, element);
    const size_t position = out.size();
    const std::string* id = FindAttribute(attributes, "id");
    if (id != nullptr) RecordTarget(*id, position);
    const std::string* anchorName = tag == TidyTag_A ? FindAttribute(attributes, "name") : nullptr;
    if (anchorName != nullptr) RecordTarget(*anchorName, position);
    if (IsUnwrappedOnOutput(name)) {
        PrintOutputChildren(element, out);
        return;
    }
    for (const char* dropped : {"class", "onclick", "onerror", "onchange", "filepos"})
        RemoveAttribute(attributes, dropped);

    std::string target;
    bool link = false;
    if (tag == TidyTag_A) {
        if (anchorName != nullptr) RemoveAttribute(attributes, "id");
        const std::string* href = FindAttribute(attributes, "href");
        if (href != nullptr && *href != "#" && !HasScheme(*href)) {
            target = StartsWith(*href, "#") ? m_CurrentFile + *href
                                            : NormalTarget(GetDirectory(m_CurrentFile), *href);
            RemoveAttribute(attributes, "href");
            SetAttribute(attributes, "filepos", "0123456789");
            link = true;
        }
    } else if (tag == TidyTag_IMG || tag == TidyTag_AUDIO || tag == TidyTag_VIDEO) {
        const std::string* src = FindAttribute(attributes, "src");
        std::string reference =
            src != nullptr ? m_OutputResources->Reference(m_CurrentFolder, *src, false) : "";
        if (!reference.empty()) {
            RemoveAttribute(attributes, "src");
            SetAttribute(attributes, tag == TidyTag_IMG ? "recindex" : "mediarecindex", reference);
        }
    }

    PrintStartTagWith(element, attributes, out);
    if (link) {
        size_t placeholder = out.find(FILEPOS_PLACEHOLDER, position);
        if (placeholder != std::string::npos) m_LinkMap[placeholder] = target;
    }
    PrintOutputChildren(element, out);
    if (!CHtmlParse::IsSelfClosing(name)) CHtmlParse::PrintEndTag(element, out);
}

void CEbookPrc::GetNcxList(const std::string& text)
{
    const std::vector<NavPoint>& points = m_Book.m_NavPoints;
    const size_t count = points.size();
    // Every entry is kept, as the EPUB output keeps it: one whose file is no document of the book
    // leads where the entry before it leads (the first document's start for the first).
    std::vector<bool> kept(count, true);
    std::vector<size_t> offsets(count, 0);
    size_t previous = text.size();
    for (const auto& target : m_TargetMap)
        previous = std::min(previous, target.second);
    size_t elsewhere = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!FindTarget(NormalTarget("", points[i].m_Src), offsets[i])) {
            offsets[i] = previous;
            if (++elsewhere <= LOGGED_TARGETS)
                TARVO_LOG(
                    m_Log, LOG_WARNING,
                    "NavPoint \"%s\" points at \"%s\", which is no document of the book; it leads where "
                    "the entry before it does",
                    points[i].m_Label.c_str(), points[i].m_Src.c_str());
        }
        previous = offsets[i];
    }
    if (elsewhere > LOGGED_TARGETS)
        TARVO_LOG(m_Log, LOG_WARNING, "%zu NavPoints lead where the entry before them leads", elsewhere);

    // A dropped parent hands its children to the nearest kept ancestor; the walk is bounded so a
    // parent cycle ends.
    std::vector<int64_t> parentOf(count, -1);
    for (size_t i = 0; i < count; ++i) {
        if (!kept[i]) continue;
        int64_t parent = points[i].m_Parent;
        for (size_t steps = 0; parent >= 0 && steps <= count; ++steps) {
            if (static_cast<size_t>(parent) >= count) {
                parent = -1;
                break;
            }
            if (kept[static_cast<size_t>(parent)]) break;
            parent = points[static_cast<size_t>(parent)].m_Parent;
        }
        if (parent >= 0 && (static_cast<size_t>(parent) >= count || !kept[static_cast<size_t>(parent)]))
            parent = -1;
        parentOf[i] = parent == static_cast<int64_t>(i) ? -1 : parent;
    }
    std::vector<std::vector<size_t>> children(count);
    for (size_t i = 0; i < count; ++i)
        if (kept[i] && parentOf[i] >= 0) children[static_cast<size_t>(parentOf[i])].push_back(i);

    // Readers take a parent's children as the run of entries from its first to its last child, so
    // the entries go level by level, each parent's children side by side.
    std::vector<size_t> order;
    std::vector<int32_t> entryOf(count, -1);
    std::vector<int32_t> depthOf(count, 0);
    auto visitFrom = [&](size_t root) {
        size_t next = order.size();
        entryOf[root] = static_cast<int32_t>(order.size());
        order.push_back(root);
        for (; next < order.size(); ++next) {
            size_t parent = order[next];
            for (size_t child : children[parent]) {
                if (entryOf[child] >= 0) continue;
                entryOf[child] = static_cast<int32_t>(order.size());
                depthOf[child] = depthOf[parent] + 1;
                order.push_back(child);
            }
        }
    };
    for (size_t i = 0; i < count; ++i)
        if (kept[i] && parentOf[i] < 0 && entryOf[i] < 0) visitFrom(i);
    // Members of a parent cycle become roots.
    for (size_t i = 0; i < count; ++i) {
        if (kept[i] && entryOf[i] < 0) {
            parentOf[i] = -1;
            visitFrom(i);
        }
    }

    std::set<size_t> starts;
    for (size_t i : order)
        starts.insert(offsets[i]);
    m_NcxEntries.reserve(order.size());
    for (size_t n = 0; n < order.size(); ++n) {
        size_t i = order[n];
        NcxEntry entry;
        entry.m_Key = std::to_string(n + 1);
        entry.m_TextOffset = static_cast<int32_t>(offsets[i]);
        auto after = starts.upper_bound(offsets[i]);
        size_t end = after != starts.end() ? *after : text.size();
        entry.m_Length = static_cast<int32_t>(end > offsets[i] ? end - offsets[i] : 0);
        entry.m_Depth = depthOf[i];
        entry.m_Parent = parentOf[i] >= 0 ? entryOf[static_cast<size_t>(parentOf[i])] : -1;
        if (!children[i].empty()) {
            // Children reached from another root of a cycle are not this entry's.
            int32_t first = -1, last = -1;
            for (size_t child : children[i]) {
                if (parentOf[child] != static_cast<int64_t>(i)) continue;
                if (first < 0 || entryOf[child] < first) first = entryOf[child];
                if (entryOf[child] > last) last = entryOf[child];
            }
            entry.m_FirstChild = first;
            entry.m_LastChild = last;
        }
        // An empty CNCX string ends the readers' label walk, so every entry gets some text.
        entry.m_Label = points[i].m_Label.empty() ? GetFileName(NormalTarget("", points[i].m_Src))
                                                  : ShortLabel(points[i].m_Label);
        entry.m_HasLabel = true;
        m_NcxEntries.push_back(std::move(entry));
    }
    if (size_t cut = FitLabelsToCncx(m_NcxEntries))
        TARVO_LOG(m_Log, LOG_WARNING, "%zu of %zu NavPoint labels shortened so that readers take the index",
                  cut, m_NcxEntries.size());
}

void CEbookPrc::HandleALink(std::string& text) const
{
    for (const auto& [at, target] : m_LinkMap) {
        if (at > text.size() || text.size() - at < FILEPOS_PLACEHOLDER_LENGTH) continue;
        size_t position = 0;
        if (FindTarget(target, position)) {
            char digits[16];
            std::snprintf(digits, sizeof digits, "%010zu  ", position);
            text.replace(at + FILEPOS_NAME_LENGTH, FILEPOS_PLACEHOLDER_LENGTH - FILEPOS_NAME_LENGTH, digits);
        } else {
            // A position past the text would send the reader nowhere; without the attribute the
            // link is plain text.
            text.replace(at, FILEPOS_PLACEHOLDER_LENGTH, FILEPOS_PLACEHOLDER_LENGTH, ' ');
        }
    }
}

void CEbookPrc::MakeNcxIndex(MobiPartText& part) const
{
    CIndexWriter writer(NCX_MOBI6_TAGS);
    CCncxWriter cncx;
    for (const NcxEntry& entry : m_NcxEntries)
        writer.AddNcxEntry(entry, cncx.Add(entry.m_Label), false);
    part.m_NcxIndex = static_cast<int32_t>(part.m_IndexRecords.size());
    writer.Finish(&cncx, part.m_IndexRecords);
}
