// Anchor map, id scan and the attribute-rewriting printer shared by the MOBI 6 and KF8 readers.
#include "mobi/Ebook_MobiBase.h"

#include "base/Charset.h"
#include "base/Files.h"
#include "base/IntermediateBook.h"
#include "base/RunLog.h"
#include "ebook/HtmlParse.h"
#include "mobi/MOBIHeader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDroppedNode(TidyNodeType type)
{
    return type == TidyNode_Comment || type == TidyNode_Section || type == TidyNode_Asp ||
           type == TidyNode_Jste || type == TidyNode_Php;
}

// Position just after the last "<blank><word>=" in text[from, to), or npos.
size_t LastAttributeValue(const std::string& text, size_t from, size_t to, const char* word)
{
    size_t length = std::strlen(word);
    size_t found = std::string::npos;
    for (size_t k = from; k + length + 1 < to; ++k) {
        if (IsBlank(text[k]) && text.compare(k + 1, length, word) == 0 && text[k + 1 + length] == '=')
            found = k + length + 2;
    }
    return found;
}

} // namespace

AttributeList ReadAttributes(CHtmlParse& parse, TidyNode element)
{
    AttributeList list;
    for (TidyAttr attr = tidyAttrFirst(element); attr != nullptr; attr = tidyAttrNext(attr)) {
        const char* name = parse.AttributeName(element, attr);
        const char* value = tidyAttrValue(attr);
        if (name == nullptr) continue;
        list.push_back({name, value != nullptr ? value : ""});
    }
    return list;
}

const std::string* FindAttribute(const AttributeList& attributes, const char* name)
{
    for (const HtmlAttribute& a : attributes)
        if (a.m_Name == name) return &a.m_Value;
    return nullptr;
}

void SetAttribute(AttributeList& attributes, const char* name, const std::string& value)
{
    for (HtmlAttribute& a : attributes) {
        if (a.m_Name == name) {
            a.m_Value = value;
            return;
        }
    }
    attributes.push_back({name, value});
}

void RemoveAttribute(AttributeList& attributes, const char* name)
{
    attributes.erase(std::remove_if(attributes.begin(), attributes.end(),
                                    [&](const HtmlAttribute& a) { return a.m_Name == name; }),
                     attributes.end());
}

void PrintStartTagWith(TidyNode element, const AttributeList& attributes, std::string& out)
{
    const char* name = CHtmlParse::ElementName(element);
    out += '<';
    out += name;
    for (const HtmlAttribute& a : attributes) {
        out += ' ';
        out += a.m_Name;
        out += "=\"";
        AppendAttributeValue(a.m_Value, out);
        out += '"';
    }
    bool selfClosing = CHtmlParse::IsSelfClosing(name);
    if (selfClosing) out += attributes.empty() ? "/" : " /";
    out += '>';
    if (CHtmlParse::LineEndAfterStartTag(element, name)) out += "\r\n";
}

bool IsDroppedOnOutput(TidyNodeType type)
{
    return IsDroppedNode(type) || type == TidyNode_XmlDecl || type == TidyNode_ProcIns;
}

bool IsUnwrappedOnOutput(const char* name)
{
    static const char* const NAMES[] = {
        "label",    "comment", "nobr",     "noscript",  "form",    "input",   "object", "abbr",   "dir",
        "acronym",  "listing", "xmp",      "plaintext", "applet",  "bdi",     "bdo",    "dialog", "fieldset",
        "legend",   "frame",   "frameset", "canvas",    "command", "embed",   "keygen", "track",  "iframe",
        "menuitem", "param",   "noframes", "datalist",  "rtc",     "basefont"};
    if (name == nullptr) return false;
    for (const char* n : NAMES)
        if (std::strcmp(n, name) == 0) return true;
    return false;
}

bool IsElementToPrint(CHtmlParse& parse, TidyNode node, int depth, bool output, bool keepDoctype,
                      std::string& out)
{
    if (depth >= CHtmlParse::MAX_DEPTH) return false;
    TidyNodeType type = tidyNodeGetType(node);
    if (output ? IsDroppedOnOutput(type) : IsDroppedNode(type)) return false;
    if (type == TidyNode_DocType) {
        if (keepDoctype) CHtmlParse::PrintDoctype(node, out);
        return false;
    }
    if (!CHtmlParse::IsElement(node)) {
        parse.PrintRendered(node, out);
        return false;
    }
    return true;
}

bool ParseDecimal(const std::string& text, int64_t& value)
{
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    size_t digits = 0;
    value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 18; ++i, ++digits)
        value = value * 10 + (text[i] - '0');
    return digits > 0;
}

std::string PartTextToUtf8(const std::string& text, bool isWindows1252)
{
    if (!isWindows1252) return text;
    std::string converted;
    if (CharsetConv::Convert("windows-1252", "utf-8", text, converted) != RC_OK) return text;
    return converted;
}

CEbookMobiBase::CEbookMobiBase(CMobiHeader& header, const CMobiHeader& resources,
                               const std::string& tempDirectory, CRunLog* log)
    : m_Header(header), m_Book(header.m_Book), m_Resources(resources), m_TempDirectory(tempDirectory),
      m_Log(log)
{
}

std::string CEbookMobiBase::LookupTarget(int64_t position) const
{
    if (m_AnchorMap.empty()) return std::string();
    auto above = m_AnchorMap.lower_bound(position);
    if (above != m_AnchorMap.end() && above->first == position) return above->second;
    if (above == m_AnchorMap.end()) return std::prev(above)->second;
    if (above == m_AnchorMap.begin()) return above->second;
    auto below = std::prev(above);
    return above->first - position <= position - below->first ? above->second : below->second;
}

// The scan finds what the pattern <(([^<>]*\sid)|(a[^<>]*\sname))=["]?([^<>"]*)["]? finds, in one
// pass and without the backtracking regex engine's recursion over long tags.
void ScanIds(const std::string& text, size_t start, size_t end, const std::string& fileName,
             std::map<int64_t, std::string>& anchors)
{
    end = std::min(end, text.size());
    size_t i = start;
    while (i < end) {
        size_t open = text.find('<', i);
        if (open == std::string::npos || open >= end) break;
        size_t close = open + 1;
        while (close < end && text[close] != '<' && text[close] != '>')
            ++close;
        size_t value = LastAttributeValue(text, open + 1, close, "id");
        if (value == std::string::npos && open + 1 < close && text[open + 1] == 'a')
            value = LastAttributeValue(text, open + 2, close, "name");
        if (value == std::string::npos) {
            i = close;
            continue;
        }
        if (value < close && text[value] == '"') ++value;
        size_t valueEnd = value;
        while (valueEnd < close && text[valueEnd] != '"')
            ++valueEnd;
        std::string id = text.substr(value, valueEnd - value);
        anchors[static_cast<int64_t>(open)] =
            id.empty() || id[0] != '#' ? fileName + "#" + id : fileName + id;
        i = valueEnd;
    }
}

void CEbookMobiBase::GetIdStrByFilePos(const std::string& text, size_t start, size_t end,
                                       const std::string& fileName)
{
    ScanIds(text, start, end, fileName, m_AnchorMap);
}

const std::string* CEbookMobiBase::ResourceFile(int64_t number) const
{
    auto it = m_Resources.m_ResourceMap.find(number);
    return it != m_Resources.m_ResourceMap.end() ? &it->second : nullptr;
}

bool CEbookMobiBase::WriteHtmlFile(const std::string& bytes, const std::string& name, size_t sourceSize)
{
    CHtmlParse parse(m_Log);
    size_t dropped = sourceSize > bytes.size() ? sourceSize - bytes.size() : 0;
    parse.SetMemoryBudget(CHtmlParse::TIDY_MEMORY_BASE + CHtmlParse::TIDY_MEMORY_PER_BYTE * dropped,
                          CHtmlParse::TIDY_MEMORY_PER_BYTE);
    std::string out;
    m_Parse = &parse;
    m_Depth = 0;
    ResultCode rc = parse.PrintPage(
        bytes, [&](std::string& printed) { PrintChildren(parse.GetRoot(), printed); }, out,
        m_Header.IsCp1252());
    m_Parse = nullptr;
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_WARNING, "%s does not parse; left out", name.c_str());
        return false;
    }
    if (WriteWholeFile(m_TempDirectory + name, out) != RC_OK) {
        TARVO_LOG(m_Log, LOG_WARNING, "could not write %s", name.c_str());
        return false;
    }
    return true;
}

void CEbookMobiBase::PrintChildren(TidyNode node, std::string& out)
{
    if (node == nullptr) return;
    for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
        PrintNodeOf(child, out);
}

void CEbookMobiBase::PrintNodeOf(TidyNode node, std::string& out)
{
    // The MOBI 6 printer writes its own document type with the html element.
    if (!IsElementToPrint(*m_Parse, node, m_Depth, false, m_Header.IsKf8(), out)) return;
    ++m_Depth;
    PrintElement(node, out);
    --m_Depth;
}

void CEbookMobiBase::PrintElementWith(TidyNode element, const AttributeList& attributes, std::string& out)
{
    PrintStartTagWith(element, attributes, out);
    m_Parse->NoteContentStart(element, out);
    PrintChildren(element, out);
    m_Parse->NoteContentEnd(element, out);
    if (!CHtmlParse::IsSelfClosing(tidyNodeGetName(element))) CHtmlParse::PrintEndTag(element, out);
}

void CEbookMobiBase::RemoveUnresolvedNavPoints()
{
    std::vector<NavPoint>& points = m_Book.m_NavPoints;
    const std::vector<NcxEntry>& entries = m_Header.m_NcxIndex.m_Entries;
    // Parent and child links of the index name entries by their place in the index.
    std::vector<int32_t> newIndex(entries.size(), -1);
    std::vector<NavPoint> kept;
    kept.reserve(points.size());
    for (NavPoint& p : points) {
        if (p.m_Src.empty()) continue;
        if (p.m_OwnIndex >= 0 && static_cast<size_t>(p.m_OwnIndex) < entries.size())
            newIndex[static_cast<size_t>(p.m_OwnIndex)] = static_cast<int32_t>(kept.size());
        kept.push_back(std::move(p));
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        NavPoint& p = kept[i];
        int32_t parent = p.m_Parent;
        // A dropped parent hands its children to its own parent; the steps are bounded so a
        // cycle in the index ends.
        for (size_t steps = 0; parent >= 0 && steps <= entries.size(); ++steps) {
            if (static_cast<size_t>(parent) >= entries.size()) {
                parent = -1;
                break;
            }
            if (newIndex[static_cast<size_t>(parent)] >= 0) break;
            parent = entries[static_cast<size_t>(parent)].m_Parent;
        }
        parent = parent >= 0 && static_cast<size_t>(parent) < entries.size()
                     ? newIndex[static_cast<size_t>(parent)]
                     : -1;
        p.m_Parent = parent == static_cast<int32_t>(i) ? -1 : parent;
    }
    for (NavPoint& p : kept) {
        p.m_FirstChild = -1;
        p.m_LastChild = -1;
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        kept[i].m_OwnIndex = static_cast<int32_t>(i);
        int32_t parent = kept[i].m_Parent;
        if (parent < 0) continue;
        NavPoint& p = kept[static_cast<size_t>(parent)];
        if (p.m_FirstChild < 0) p.m_FirstChild = static_cast<int32_t>(i);
        p.m_LastChild = static_cast<int32_t>(i);
    }
    points = std::move(kept);
    AssignPlayOrder(points);
}
