// MOBI 6 text to HTML files: pieces between page breaks, links and images through the anchor map
// and the unpacked resources, the guide from the text's head and the NCX index.
#include "mobi/Ebook_Prc.h"

#include "base/ForkPool.h"
#include "base/IntermediateBook.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "mobi/DroppedAttributes.h"
#include "mobi/MOBIHeader.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace
{

const char* const XHTML_STRICT_DOCTYPE = "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
                                         "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">";
const char PAGEBREAK[] = "mbp:pagebreak";
constexpr size_t PAGEBREAK_LENGTH = sizeof PAGEBREAK - 1;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Elements that show nothing unless they hold text or something else that shows.
bool ShowsNothingOnItsOwn(const std::string& name)
{
    static const char* const NAMES[] = {
        "a",      "abbr",   "address", "article", "aside", "b",    "bdi",     "bdo",   "big",  "blockquote",
        "body",   "br",     "center",  "cite",    "code",  "dd",   "del",     "dfn",   "div",  "dl",
        "dt",     "em",     "font",    "footer",  "h1",    "h2",   "h3",      "h4",    "h5",   "h6",
        "head",   "header", "html",    "i",       "ins",   "kbd",  "li",      "main",  "nav",  "nobr",
        "ol",     "p",      "pre",     "q",       "s",     "samp", "section", "small", "span", "strike",
        "strong", "sub",    "sup",     "tt",      "u",     "ul",   "var",     "wbr"};
    // Kindle's own markup (mbp:nu, mbp:section and the like) only structures or marks the text.
    if (StartsWith(name, "mbp:")) return true;
    return std::find_if(std::begin(NAMES), std::end(NAMES), [&](const char* n) { return name == n; }) !=
           std::end(NAMES);
}

} // namespace

bool ShowsSomething(const std::string& text, size_t from, size_t to)
{
    to = std::min(to, text.size());
    size_t i = from;
    while (i < to) {
        char c = text[i];
        if (IsBlank(c)) {
            ++i;
            continue;
        }
        if (c != '<') return true;
        // Searches stop at the range's end, so that many pages of unclosed markup stay linear.
        const auto end = text.begin() + static_cast<std::ptrdiff_t>(to);
        if (to - i >= 4 && text.compare(i, 4, "<!--") == 0) {
            static const char COMMENT_END[] = "-->";
            auto after = std::search(text.begin() + static_cast<std::ptrdiff_t>(i) + 4, end, COMMENT_END,
                                     COMMENT_END + 3);
            if (after == end) return false;
            i = static_cast<size_t>(after - text.begin()) + 3;
            continue;
        }
        size_t close = static_cast<size_t>(
            std::find(text.begin() + static_cast<std::ptrdiff_t>(i), end, '>') - text.begin());
        // A tag cut off by the page's end is nothing we can judge: the page stays.
        if (close >= to) return true;
        if (text[i + 1] != '/' && text[i + 1] != '!' && text[i + 1] != '?') {
            std::string name;
            for (size_t k = i + 1; k < close && !IsBlank(text[k]) && text[k] != '/'; ++k)
                name += static_cast<char>(std::tolower(static_cast<unsigned char>(text[k])));
            if (!ShowsNothingOnItsOwn(name)) return true;
        }
        i = close + 1;
    }
    return false;
}

namespace
{

// The value of one attribute in a start tag's text, quoted or not; false when absent.
bool TagAttribute(const std::string& tag, const char* name, std::string& value)
{
    size_t length = std::strlen(name);
    for (size_t k = 0; k + length < tag.size(); ++k) {
        if (!IsBlank(tag[k]) || tag.compare(k + 1, length, name) != 0) continue;
        size_t p = k + 1 + length;
        while (p < tag.size() && IsBlank(tag[p]))
            ++p;
        if (p >= tag.size() || tag[p] != '=') continue;
        ++p;
        while (p < tag.size() && IsBlank(tag[p]))
            ++p;
        if (p < tag.size() && (tag[p] == '"' || tag[p] == '\'')) {
            char quote = tag[p++];
            size_t end = tag.find(quote, p);
            if (end == std::string::npos) end = tag.size();
            value = tag.substr(p, end - p);
        } else {
            size_t end = p;
            while (end < tag.size() && !IsBlank(tag[end]) && tag[end] != '/' && tag[end] != '>')
                ++end;
            value = tag.substr(p, end - p);
        }
        return true;
    }
    return false;
}

struct ContentsLink {
    size_t m_Indent = 0;
    int64_t m_Position = 0;
    std::string m_Label; // raw bytes between the link's tags, markup dropped
};

// Elements whose nesting indents a contents page: calibre indents with blockquotes, HTML-made
// books with lists.
bool IsIndentElement(const std::string& name)
{
    return name == "blockquote" || name == "ul" || name == "ol" || name == "dl";
}

// The lower-case element name at text[at], ending before end.
std::string TagName(const std::string& text, size_t at, size_t end)
{
    std::string name;
    for (size_t i = at; i < end && std::isalnum(static_cast<unsigned char>(text[i])); ++i)
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    return name;
}

// Every "a" with a filepos in text[from, to), in reading order, with the nesting of the indenting
// elements around it. One pass, so a page of unclosed links stays linear.
std::vector<ContentsLink> ReadContentsLinks(const std::string& text, size_t from, size_t to)
{
    std::vector<ContentsLink> links;
    size_t indent = 0;
    bool inLink = false;
    size_t i = from;
    while (i < to) {
        size_t open = std::min(text.find('<', i), to);
        if (inLink) links.back().m_Label.append(text, i, open - i);
        size_t close = open < to ? text.find('>', open) : std::string::npos;
        if (close == std::string::npos || close >= to) break;
        bool closing = text[open + 1] == '/';
        std::string name = TagName(text, open + 1 + (closing ? 1 : 0), close);
        if (IsIndentElement(name)) {
            if (closing && indent > 0)
                --indent;
            else if (!closing && text[close - 1] != '/')
                ++indent;
        } else if (name == "a") {
            std::string value;
            int64_t position = 0;
            inLink = !closing && TagAttribute(text.substr(open, close - open), "filepos", value) &&
                     ParseDecimal(value, position);
            if (inLink) links.push_back({indent, position, {}});
        }
        i = close + 1;
    }
    return links;
}

// A value that can stand in a declaration as it is: no ";", quote or bracket to end it early.
bool IsPlainCssValue(const std::string& value)
{
    if (value.empty()) return false;
    for (char c : value)
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr(" #.%+-,", c) == nullptr)
            return false;
    return true;
}

// A bare number is in pixels, as HTML reads it.
std::string CssLength(const std::string& value)
{
    return value.find_first_not_of("0123456789") == std::string::npos ? value + "px" : value;
}

std::string LowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// HTML font sizes 1 to 7, relative ones counted from 3, as browsers show them.
std::string FontSizeCss(const std::string& size)
{
    static const char* const SIZES[] = {"x-small", "small", "medium", "large", "x-large", "xx-large", "3em"};
    bool relative = !size.empty() && (size[0] == '+' || size[0] == '-');
    int64_t n = 0;
    if (!ParseDecimal(relative ? size.substr(1) : size, n)) return std::string();
    if (relative) n = size[0] == '+' ? 3 + n : 3 - n;
    return SIZES[std::clamp<int64_t>(n, 1, 7) - 1];
}

void AddDeclaration(std::string& style, const char* property, const std::string& value)
{
    if (value.empty()) return;
    style += property;
    style += ':';
    style += value;
    style += ';';
}

std::string AlignStyle(TidyTagId id, const std::string& align)
{
    std::string value = LowerCase(align);
    std::string style;
    bool floats = id == TidyTag_IMG || id == TidyTag_TABLE;
    if (floats && (value == "left" || value == "right"))
        AddDeclaration(style, "float", value);
    else if (id == TidyTag_IMG && (value == "top" || value == "middle" || value == "bottom"))
        AddDeclaration(style, "vertical-align", value);
    else if (id == TidyTag_TABLE && value == "center")
        style = "margin-left:auto;margin-right:auto;";
    else if (!floats && (value == "left" || value == "right" || value == "center" || value == "justify"))
        AddDeclaration(style, "text-align", value);
    return style;
}

// The declarations that show what the element's presentational attributes showed; the
// attributes, which XHTML does not have, are removed. An image keeps its width and height.
std::string PresentationStyle(TidyTagId id, AttributeList& attributes)
{
    std::string style;
    if (const std::string* align = FindAttribute(attributes, "align")) style += AlignStyle(id, *align);
    RemoveAttribute(attributes, "align");
    if (id != TidyTag_IMG) {
        // On text blocks MOBI reads height as the space above and width as the first line's indent.
        bool box = id == TidyTag_TABLE || id == TidyTag_TR || id == TidyTag_TD || id == TidyTag_TH ||
                   id == TidyTag_COL || id == TidyTag_COLGROUP || id == TidyTag_HR;
        for (const char* name : {"width", "height"}) {
            const std::string* value = FindAttribute(attributes, name);
            if (value != nullptr && IsPlainCssValue(*value) && !IsZeroLength(*value)) {
                bool width = name[0] == 'w';
                AddDeclaration(style, box ? name : width ? "text-indent" : "margin-top", CssLength(*value));
            }
            RemoveAttribute(attributes, name);
        }
    }
    auto move = [&](const char* name, const char* property) {
        const std::string* value = FindAttribute(attributes, name);
        if (value != nullptr && IsPlainCssValue(*value)) AddDeclaration(style, property, *value);
        RemoveAttribute(attributes, name);
    };
    move("bgcolor", "background-color");
    // XHTML keeps a border attribute on tables only. Browsers draw an image's as a solid line in
    // the text colour and ignore one on other elements.
    if (id != TidyTag_TABLE) {
        const std::string* border = FindAttribute(attributes, "border");
        if (id == TidyTag_IMG && border != nullptr && IsPlainCssValue(*border) && !IsZeroLength(*border))
            AddDeclaration(style, "border", CssLength(*border) + " solid");
        RemoveAttribute(attributes, "border");
    }
    // Browsers give a table's own valign no effect; on its rows and cells XHTML keeps it.
    if (id == TidyTag_TABLE) RemoveAttribute(attributes, "valign");
    if (id == TidyTag_U) style += "text-decoration:underline;";
    if (id == TidyTag_FONT) {
        move("color", "color");
        move("face", "font-family");
        if (const std::string* size = FindAttribute(attributes, "size"))
            AddDeclaration(style, "font-size", FontSizeCss(*size));
        RemoveAttribute(attributes, "size");
    }
    return style;
}

bool IsBlockElement(TidyNode node)
{
    switch (tidyNodeGetId(node)) {
    case TidyTag_ADDRESS:
    case TidyTag_BLOCKQUOTE:
    case TidyTag_CENTER:
    case TidyTag_DEL:
    case TidyTag_DIV:
    case TidyTag_DL:
    case TidyTag_FIELDSET:
    case TidyTag_FORM:
    case TidyTag_H1:
    case TidyTag_H2:
    case TidyTag_H3:
    case TidyTag_H4:
    case TidyTag_H5:
    case TidyTag_H6:
    case TidyTag_HR:
    case TidyTag_INS:
    case TidyTag_NOSCRIPT:
    case TidyTag_OL:
    case TidyTag_P:
    case TidyTag_PRE:
    case TidyTag_SCRIPT:
    case TidyTag_TABLE:
    case TidyTag_UL:
        return true;
    default:
        return false;
    }
}

bool IsBlankText(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), IsBlank);
}

// Runs of blanks become one space; none lead or trail.
std::string CollapseBlanks(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (!IsBlank(c))
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

} // namespace

size_t FindBodyStart(const std::string& text)
{
    size_t open = text.find('<');
    while (open != std::string::npos) {
        size_t p = open + 1;
        while (p < text.size() && IsBlank(text[p]))
            ++p;
        if (text.compare(p, 4, "body") == 0) {
            p += 4;
            while (p < text.size() && text[p] != '<' && text[p] != '>')
                ++p;
            if (p < text.size() && text[p] == '>') return p + 1;
        }
        open = text.find('<', open + 1);
    }
    return std::string::npos;
}

ResultCode CEbookPrc::MakeFileListToMetaData()
{
    m_AnchorMap.clear();
    SplitHtmlFile();
    const std::string& text = m_Header.m_Text;
    // Pages print on every core; each says whether it was written.
    std::vector<std::string> written = ForkedMap(m_Pieces.size(), [&](size_t i) {
        const TextPiece& piece = m_Pieces[i];
        bool ok = WriteHtmlFile(WithoutZeroLengths(text, piece.m_Start, piece.m_End), piece.m_Name,
                                piece.m_End - piece.m_Start);
        return std::string(ok ? "w" : "");
    });
    for (size_t i = 0; i < m_Pieces.size(); ++i)
        if (!written[i].empty()) m_Book.m_HtmlFileList.push_back(m_Pieces[i].m_Name);
    GetGuideList();
    FixNcxListContentSrcName();
    ReadContentsPage();
    m_Book.m_ResourceList = m_Resources.m_ResourceFiles;
    return RC_OK;
}

void CEbookPrc::AddPiece(size_t start, size_t end)
{
    char name[32];
    std::snprintf(name, sizeof name, "text%05zu.html", m_Pieces.size());
    m_Pieces.push_back({start, end, name});
    m_AnchorMap[static_cast<int64_t>(start)] = name;
    GetIdStrByFilePos(m_Header.m_Text, start, end, name);
}

void CEbookPrc::SplitHtmlFile()
{
    const std::string& text = m_Header.m_Text;
    m_Pieces.clear();
    m_BodyStart = FindBodyStart(text);
    if (text.find(PAGEBREAK) == std::string::npos) {
        AddPiece(0, text.size());
        return;
    }
    if (m_BodyStart == std::string::npos) return;
    std::vector<std::pair<size_t, size_t>> ranges;
    size_t pieceStart = m_BodyStart;
    size_t searchFrom = m_BodyStart;
    for (;;) {
        size_t mark = text.find(PAGEBREAK, searchFrom);
        if (mark == std::string::npos) break;
        size_t open = text.rfind('<', mark);
        size_t close = text.find('>', mark);
        // Only a page break inside a tag of this piece cuts it.
        bool inTag = open != std::string::npos && open >= pieceStart && text.find('>', open) >= mark;
        if (!inTag) {
            searchFrom = mark + PAGEBREAK_LENGTH;
            continue;
        }
        if (close == std::string::npos) close = text.size() - 1;
        if (open > pieceStart) ranges.emplace_back(pieceStart, open);
        pieceStart = close + 1;
        searchFrom = pieceStart;
    }
    if (pieceStart < text.size()) ranges.emplace_back(pieceStart, text.size());

    std::vector<bool> shows(ranges.size());
    for (size_t i = 0; i < ranges.size(); ++i)
        shows[i] = ShowsSomething(text, ranges[i].first, ranges[i].second);
    // A book that shows nothing anywhere still needs a page to be a book.
    if (!ranges.empty() && std::none_of(shows.begin(), shows.end(), [](bool b) { return b; }))
        shows[0] = true;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (shows[i]) {
            AddPiece(ranges[i].first, ranges[i].second);
        } else if (!m_Pieces.empty()) {
            // An empty page is a blank screen to a reader and an error to a validator; what links
            // to it (often the anchors a writer leaves after the last page break) leads to the
            // page before it. Before the first page the nearest anchor is already the next page.
            m_AnchorMap[static_cast<int64_t>(ranges[i].first)] = m_Pieces.back().m_Name;
        }
    }
}

void CEbookPrc::GetGuideList()
{
    if (m_BodyStart == std::string::npos) return;
    const std::string& text = m_Header.m_Text;
    size_t guide = text.find("<guide", 0);
    if (guide == std::string::npos || guide >= m_BodyStart) return;
    size_t guideEnd = text.find("</guide>", guide);
    if (guideEnd == std::string::npos || guideEnd > m_BodyStart) guideEnd = m_BodyStart;
    size_t at = guide;
    for (;;) {
        at = text.find("<reference", at);
        if (at == std::string::npos || at >= guideEnd) break;
        size_t close = text.find('>', at);
        if (close == std::string::npos || close > guideEnd) close = guideEnd;
        std::string tag = text.substr(at, close - at);
        at = close;
        std::string type, title, filepos;
        TagAttribute(tag, "type", type);
        TagAttribute(tag, "title", title);
        int64_t position = 0;
        if (!TagAttribute(tag, "filepos", filepos) || !ParseDecimal(filepos, position)) continue;
        std::string target = LookupTarget(position);
        if (target.empty()) continue;
        if (m_ContentsPosition < 0 && DecodeEntities(type) == "toc") m_ContentsPosition = position;
        GuideItem item;
        item.m_Type = DecodeEntities(type);
        item.m_Title = PartTextToUtf8(DecodeEntities(title), m_Header.IsCp1252());
        item.m_Href = target;
        m_Book.m_GuideItems.push_back(std::move(item));
    }
}

void CEbookPrc::FixNcxListContentSrcName()
{
    for (NavPoint& point : m_Book.m_NavPoints) {
        point.m_Src = LookupTarget(point.m_TextOffset);
        if (!point.m_Src.empty()) point.m_Label = PartTextToUtf8(point.m_Label, m_Header.IsCp1252());
    }
    RemoveUnresolvedNavPoints();
}

bool CEbookPrc::IndexHasNesting() const
{
    for (const NcxEntry& e : m_Header.m_NcxIndex.m_Entries)
        if (e.m_Parent >= 0 || e.m_FirstChild >= 0 || e.m_Depth > 0) return true;
    return false;
}

void CEbookPrc::ReadContentsPage()
{
    if (m_ContentsPosition < 0 || m_Pieces.size() < 2 || IndexHasNesting()) return;
    // The page runs to the page break that ends its piece; without one it would be the whole book.
    size_t position = static_cast<size_t>(m_ContentsPosition);
    auto piece = std::find_if(m_Pieces.begin(), m_Pieces.end(),
                              [&](const TextPiece& p) { return p.m_End > position; });
    if (piece == m_Pieces.end()) return;
    std::vector<ContentsLink> links =
        ReadContentsLinks(m_Header.m_Text, std::max(position, piece->m_Start), piece->m_End);

    std::vector<NavPoint> points;
    std::vector<std::pair<size_t, size_t>> ancestors; // indent, index into points
    for (const ContentsLink& link : links) {
        NavPoint point;
        point.m_Src = LookupTarget(link.m_Position);
        point.m_Label = CollapseBlanks(DecodeEntities(PartTextToUtf8(link.m_Label, m_Header.IsCp1252())));
        if (point.m_Src.empty() || point.m_Label.empty()) continue;
        // An entry belongs to the nearest entry before it that is indented less.
        while (!ancestors.empty() && ancestors.back().first >= link.m_Indent)
            ancestors.pop_back();
        int32_t own = static_cast<int32_t>(points.size());
        point.m_OwnIndex = own;
        point.m_Depth = static_cast<int32_t>(ancestors.size());
        point.m_TextOffset = static_cast<int32_t>(std::min<int64_t>(link.m_Position, INT32_MAX));
        if (!ancestors.empty()) {
            NavPoint& parent = points[ancestors.back().second];
            point.m_Parent = parent.m_OwnIndex;
            if (parent.m_FirstChild < 0) parent.m_FirstChild = own;
            parent.m_LastChild = own;
        }
        ancestors.emplace_back(link.m_Indent, points.size());
        points.push_back(std::move(point));
    }
    if (points.empty() || points.size() < m_Book.m_NavPoints.size()) return;
    TARVO_LOG(m_Log, LOG_INFO, "contents page at %lld gives %zu entries, the index %zu",
              static_cast<long long>(m_ContentsPosition), points.size(), m_Book.m_NavPoints.size());
    AssignPlayOrder(points);
    m_Book.m_NavPoints = std::move(points);
}

void CEbookPrc::PrintElement(TidyNode element, std::string& out)
{
    AttributeList attributes = ReadAttributes(*m_Parse, element);
    TidyTagId id = tidyNodeGetId(element);
    std::string style = PresentationStyle(id, attributes);
    if (!style.empty()) {
        const std::string* own = FindAttribute(attributes, "style");
        SetAttribute(attributes, "style", own != nullptr ? style + *own : style);
    }
    switch (id) {
    case TidyTag_FONT:
    case TidyTag_U:
        PrintAsSpan(element, attributes, out);
        return;
    case TidyTag_BODY:
    case TidyTag_BLOCKQUOTE:
        PrintStartTagWith(element, attributes, out);
        m_Parse->NoteContentStart(element, out);
        PrintBlockChildren(element, out);
        m_Parse->NoteContentEnd(element, out);
        CHtmlParse::PrintEndTag(element, out);
        return;
    case TidyTag_OL:
    case TidyTag_UL: {
        int64_t start = 1;
        const std::string* from = id == TidyTag_OL ? FindAttribute(attributes, "start") : nullptr;
        if (from != nullptr) ParseDecimal(*from, start);
        m_ListNumbers.push_back(id == TidyTag_OL ? start : -1);
        PrintElementWith(element, attributes, out);
        m_ListNumbers.pop_back();
        return;
    }
    case TidyTag_LI:
        DropCountedValue(attributes);
        break;
    case TidyTag_HTML:
        out = XHTML_STRICT_DOCTYPE;
        break;
    case TidyTag_A:
        if (const std::string* filepos = FindAttribute(attributes, "filepos")) {
            int64_t position = 0;
            std::string target = ParseDecimal(*filepos, position) ? LookupTarget(position) : std::string();
            if (!target.empty()) SetAttribute(attributes, "href", target);
            RemoveAttribute(attributes, "filepos");
        }
        break;
    case TidyTag_IMG: {
        if (FindAttribute(attributes, "alt") == nullptr) SetAttribute(attributes, "alt", "");
        static const char* const INDEX_ATTRIBUTES[][2] = {
            {"recindex", "src"}, {"hirecindex", "src2"}, {"lorecindex", "src1"}};
        for (const auto& pair : INDEX_ATTRIBUTES) {
            const std::string* index = FindAttribute(attributes, pair[0]);
            if (index == nullptr) continue;
            int64_t number = 0;
            // Counted from 1 over the resource records.
            const std::string* file = ParseDecimal(*index, number) ? ResourceFile(number - 1) : nullptr;
            if (file != nullptr) SetAttribute(attributes, pair[1], *file);
            RemoveAttribute(attributes, pair[0]);
        }
        break;
    }
    default:
        break;
    }
    PrintElementWith(element, attributes, out);
}

void CEbookPrc::DropCountedValue(AttributeList& attributes)
{
    if (m_ListNumbers.empty()) return;
    int64_t& next = m_ListNumbers.back();
    const std::string* value = FindAttribute(attributes, "value");
    int64_t number = next;
    if (value != nullptr && next >= 0 && !ParseDecimal(*value, number)) return;
    // Items of an unordered list show no number, and an ordered one counts the same without it.
    if (next < 0 || number == next) RemoveAttribute(attributes, "value");
    if (next >= 0) next = number + 1;
}

void CEbookPrc::PrintBlockChildren(TidyNode element, std::string& out)
{
    bool inRun = false;
    for (TidyNode child = tidyGetChild(element); child != nullptr; child = tidyGetNext(child)) {
        bool block = CHtmlParse::IsElement(child) && IsBlockElement(child);
        if (block && inRun) {
            out += "</div>\r\n";
            inRun = false;
        }
        if (block || inRun) {
            PrintNodeOf(child, out);
            continue;
        }
        std::string printed;
        PrintNodeOf(child, printed);
        if (!IsBlankText(printed) &&
            (CHtmlParse::IsElement(child) || tidyNodeGetType(child) == TidyNode_Text)) {
            out += "<div>";
            inRun = true;
        }
        out += printed;
    }
    if (inRun) out += "</div>\r\n";
}

void CEbookPrc::PrintAsSpan(TidyNode element, const AttributeList& attributes, std::string& out)
{
    std::string tag;
    PrintStartTagWith(element, attributes, tag);
    out += "<span";
    out.append(tag, 1 + std::strlen(tidyNodeGetName(element)), std::string::npos);
    PrintChildren(element, out);
    out += "</span>";
}
