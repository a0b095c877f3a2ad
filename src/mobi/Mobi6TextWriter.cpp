// MOBI 6 output: the book's HTML files joined into one text whose links are byte positions
// ("filepos") into that same text, with the guide in its head and the NCX index beside it.
#include "mobi/Mobi6TextWriter.h"

#include "base/Files.h"
#include "base/Href.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "mobi/IndexWriter.h"
#include "mobi/MobiResources.h"

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

// The NavPoints in the order readers need: they take a parent's children as the run of entries
// from its first to its last child, so the entries go level by level, each parent's children side
// by side.
struct NcxTree {
    std::vector<int64_t> m_Parent; // NavPoint number, or -1
    std::vector<std::vector<size_t>> m_Children;
    std::vector<size_t> m_Order;  // NavPoint numbers in entry order
    std::vector<int32_t> m_Entry; // NavPoint number -> entry number
    std::vector<int32_t> m_Depth;

    explicit NcxTree(const std::vector<NavPoint>& points)
        : m_Parent(points.size(), -1), m_Children(points.size()), m_Entry(points.size(), -1),
          m_Depth(points.size(), 0)
    {
        const size_t count = points.size();
        for (size_t i = 0; i < count; ++i) {
            const int64_t parent = points[i].m_Parent;
            if (parent >= 0 && static_cast<size_t>(parent) < count && static_cast<size_t>(parent) != i) {
                m_Parent[i] = parent;
                m_Children[static_cast<size_t>(parent)].push_back(i);
            }
        }
        for (size_t i = 0; i < count; ++i)
            if (m_Parent[i] < 0 && m_Entry[i] < 0) VisitFrom(i);
        // Members of a parent cycle become roots.
        for (size_t i = 0; i < count; ++i) {
            if (m_Entry[i] < 0) {
                m_Parent[i] = -1;
                VisitFrom(i);
            }
        }
    }

    void VisitFrom(size_t root)
    {
        size_t next = m_Order.size();
        m_Entry[root] = static_cast<int32_t>(m_Order.size());
        m_Order.push_back(root);
        for (; next < m_Order.size(); ++next) {
            size_t parent = m_Order[next];
            for (size_t child : m_Children[parent]) {
                if (m_Entry[child] >= 0) continue;
                m_Entry[child] = static_cast<int32_t>(m_Order.size());
                m_Depth[child] = m_Depth[parent] + 1;
                m_Order.push_back(child);
            }
        }
    }
};

} // namespace

std::string CMobi6TextWriter::NormalTarget(const std::string& directory, const std::string& href)
{
    std::string path;
    if (!ResolveHrefInBook(directory, href, path)) return std::string();
    size_t hash = href.find('#');
    if (hash == std::string::npos || hash + 1 == href.size()) return path;
    return path + href.substr(hash);
}

bool CMobi6TextWriter::FindTarget(const std::string& target, size_t& position) const
{
    if (target.empty()) return false;
    auto found = m_Run.m_TargetMap.find(target);
    if (found == m_Run.m_TargetMap.end()) {
        size_t hash = target.find('#');
        if (hash == std::string::npos) return false;
        found = m_Run.m_TargetMap.find(target.substr(0, hash + 1) + UrlDecode(target.substr(hash + 1)));
        // An id that is not there still lets the reader land in the right file.
        if (found == m_Run.m_TargetMap.end()) found = m_Run.m_TargetMap.find(target.substr(0, hash));
        if (found == m_Run.m_TargetMap.end()) return false;
    }
    position = found->second;
    return true;
}

void CMobi6TextWriter::RecordTarget(const std::string& id, size_t position)
{
    if (!id.empty()) m_Run.m_TargetMap.emplace(m_Run.m_CurrentFile + "#" + id, position);
}

void CMobi6TextWriter::AppendGuideHead(std::string& text)
{
    text += "<head><guide>";
    for (const GuideItem& item : m_Book.m_GuideItems) {
        text += "<reference title=\"";
        AppendAttributeValue(item.m_Title, text);
        text += "\" type=\"";
        AppendAttributeValue(item.m_Type, text);
        text += "\" ";
        m_Run.m_LinkMap[text.size()] = NormalTarget("", item.m_Href);
        text += FILEPOS_PLACEHOLDER;
        text += " />";
    }
    text += "</guide></head>";
}

CMobi6TextWriter::CMobi6TextWriter(const CIntermediateBook& book, const std::string& tempDirectory,
                                   CRunLog* log)
    : CKindleTextWriter(book, tempDirectory, log, false)
{
}

ResultCode CMobi6TextWriter::Write(CMobiResources& resources, MobiPartText& part)
{
    m_Run = RunState();
    m_Run.m_Resources = &resources;
    std::string text = "<html>";
    AppendGuideHead(text);
    text += "<body>";
    size_t printed = 0;
    ResultCode rc = PrintFiles(text, printed);
    m_Run.m_Resources = nullptr;
    if (rc != RC_OK) return rc;
    text += "</body></html>";
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
    if (!m_Run.m_NcxEntries.empty()) MakeNcxIndex(part);
    part.m_Text = std::move(text);
    return RC_OK;
}

ResultCode CMobi6TextWriter::PrintFiles(std::string& text, size_t& printed)
{
    const std::string bookDirectory = m_Book.BookDirectory(m_TempDirectory);
    const std::string contentFolder = StartsWith(bookDirectory, m_TempDirectory)
                                          ? bookDirectory.substr(m_TempDirectory.size())
                                          : std::string();
    std::unordered_set<std::string> seen;
    for (const std::string& listed : m_Book.m_HtmlFileList) {
        std::string name;
        if (!ResolveHrefInBook("", listed, name)) {
            TARVO_LOG(m_Log, LOG_WARNING, "HTML file \"%s\" lies outside the book; left out", listed.c_str());
            continue;
        }
        if (!seen.insert(name).second) continue;
        std::string bytes;
        if (!ReadFileBytes(bookDirectory + name, bytes)) {
            TARVO_LOG(m_Log, LOG_ERROR, "CMobi6TextWriter ReadFile error 1!");
            TARVO_LOG(m_Log, LOG_ERROR, "%s", (bookDirectory + name).c_str());
            TARVO_LOG(m_Log, LOG_ERROR, "CMobi6TextWriter ReadFile error 2!");
            continue;
        }
        m_Run.m_CurrentFile = name;
        m_Run.m_CurrentFolder = contentFolder + GetDirectory(name);
        m_Run.m_TargetMap.emplace(name, text.size());
        if (PrintFile(bytes, text) != RC_OK) {
            TARVO_LOG(m_Log, LOG_ERROR, "%s does not parse; no MOBI 6 text", name.c_str());
            return RC_HTML_INIT;
        }
        text += "<mbp:pagebreak/>";
        ++printed;
    }
    return RC_OK;
}

ResultCode CMobi6TextWriter::PrintFile(const std::string& bytes, std::string& text)
{
    CHtmlParse parse(m_Log);
    // Only the body's content is printed, so a big page's pieces give it in turn.
    return parse.ParseInPieces(bytes, [&](size_t piece, size_t) {
        BeginPage(parse);
        TidyNode body = tidyGetBody(parse.GetDoc());
        if (body != nullptr) {
            // The body's own id names the start of the file.
            AttributeList attributes = ReadAttributes(parse, body);
            const std::string* id = FindAttribute(attributes, "id");
            if (id != nullptr && piece == 0) RecordTarget(*id, text.size());
            PrintChildren(body, text);
        } else {
            PrintChildren(parse.GetRoot(), text);
        }
        EndPage();
    });
}

void CMobi6TextWriter::PrintElement(TidyNode element, std::string& out)
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
        PrintChildren(element, out);
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
            target = StartsWith(*href, "#") ? m_Run.m_CurrentFile + *href
                                            : NormalTarget(GetDirectory(m_Run.m_CurrentFile), *href);
            RemoveAttribute(attributes, "href");
            SetAttribute(attributes, "filepos", "0123456789");
            link = true;
        }
    } else if (tag == TidyTag_IMG || tag == TidyTag_AUDIO || tag == TidyTag_VIDEO) {
        const std::string* src = FindAttribute(attributes, "src");
        std::string reference =
            src != nullptr ? m_Run.m_Resources->Reference(m_Run.m_CurrentFolder, *src, false) : "";
        if (!reference.empty()) {
            RemoveAttribute(attributes, "src");
            SetAttribute(attributes, tag == TidyTag_IMG ? "recindex" : "mediarecindex", reference);
        }
    }

    PrintStartTagWith(element, attributes, out);
    if (link) {
        size_t placeholder = out.find(FILEPOS_PLACEHOLDER, position);
        if (placeholder != std::string::npos) m_Run.m_LinkMap[placeholder] = target;
    }
    PrintChildren(element, out);
    if (!CHtmlParse::IsSelfClosing(name)) CHtmlParse::PrintEndTag(element, out);
}

std::vector<size_t> CMobi6TextWriter::NavPointOffsets(const std::string& text) const
{
    const std::vector<NavPoint>& points = m_Book.m_NavPoints;
    // Every entry is kept, as the EPUB output keeps it: one whose file is no document of the book
    // leads where the entry before it leads (the first document's start for the first).
    std::vector<size_t> offsets(points.size(), 0);
    size_t previous = text.size();
    for (const auto& target : m_Run.m_TargetMap)
        previous = std::min(previous, target.second);
    size_t elsewhere = 0;
    for (size_t i = 0; i < points.size(); ++i) {
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
    return offsets;
}

void CMobi6TextWriter::GetNcxList(const std::string& text)
{
    const std::vector<NavPoint>& points = m_Book.m_NavPoints;
    const std::vector<size_t> offsets = NavPointOffsets(text);
    NcxTree tree(points);
    std::set<size_t> starts;
    for (size_t i : tree.m_Order)
        starts.insert(offsets[i]);
    m_Run.m_NcxEntries.reserve(tree.m_Order.size());
    for (size_t n = 0; n < tree.m_Order.size(); ++n) {
        size_t i = tree.m_Order[n];
        NcxEntry entry;
        entry.m_Key = std::to_string(n + 1);
        entry.m_TextOffset = static_cast<int32_t>(offsets[i]);
        auto after = starts.upper_bound(offsets[i]);
        size_t end = after != starts.end() ? *after : text.size();
        entry.m_Length = static_cast<int32_t>(end > offsets[i] ? end - offsets[i] : 0);
        entry.m_Depth = tree.m_Depth[i];
        entry.m_Parent = tree.m_Parent[i] >= 0 ? tree.m_Entry[static_cast<size_t>(tree.m_Parent[i])] : -1;
        // Children reached from another root of a cycle are not this entry's.
        for (size_t child : tree.m_Children[i]) {
            if (tree.m_Parent[child] != static_cast<int64_t>(i)) continue;
            if (entry.m_FirstChild < 0 || tree.m_Entry[child] < entry.m_FirstChild)
                entry.m_FirstChild = tree.m_Entry[child];
            if (tree.m_Entry[child] > entry.m_LastChild) entry.m_LastChild = tree.m_Entry[child];
        }
        // An empty CNCX string ends the readers' label walk, so every entry gets some text.
        entry.m_Label = points[i].m_Label.empty() ? GetFileName(NormalTarget("", points[i].m_Src))
                                                  : ShortLabel(points[i].m_Label);
        entry.m_HasLabel = true;
        m_Run.m_NcxEntries.push_back(std::move(entry));
    }
    if (size_t cut = FitLabelsToCncx(m_Run.m_NcxEntries))
        TARVO_LOG(m_Log, LOG_WARNING, "%zu of %zu NavPoint labels shortened so that readers take the index",
                  cut, m_Run.m_NcxEntries.size());
}

void CMobi6TextWriter::HandleALink(std::string& text) const
{
    for (const auto& [at, target] : m_Run.m_LinkMap) {
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

void CMobi6TextWriter::MakeNcxIndex(MobiPartText& part) const
{
    CIndexWriter writer(NCX_MOBI6_TAGS);
    CCncxWriter cncx;
    for (const NcxEntry& entry : m_Run.m_NcxEntries)
        writer.AddNcxEntry(entry, cncx.Add(entry.m_Label), false);
    part.m_NcxIndex = static_cast<int32_t>(part.m_IndexRecords.size());
    writer.Finish(&cncx, part.m_IndexRecords);
}
