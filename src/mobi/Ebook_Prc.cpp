// MOBI 6 text to HTML files: pieces between page breaks, links and images through the anchor map
// and the unpacked resources, the guide from the text's head and the NCX index.
#include "mobi/Ebook_Prc.h"

#include "base/IntermediateBook.h"
#include "base/Platform.h"
#include "base/RunLog.h"
#include "ebook/HtmlParse.h"
#include "mobi/MOBIHeader.h"

#include <cctype>
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

bool MatchesNoCase(const std::string& text, size_t at, const char* word)
{
    size_t length = std::strlen(word);
    if (at > text.size() || text.size() - at < length) return false;
    for (size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != word[i]) return false;
    return true;
}

// Text after the last page break is a page of its own only when it holds more than the closing
// body and html tags.
bool HoldsContent(const std::string& text, size_t from)
{
    size_t i = from;
    while (i < text.size()) {
        if (IsBlank(text[i])) {
            ++i;
        } else if (MatchesNoCase(text, i, "</body>")) {
            i += 7;
        } else if (MatchesNoCase(text, i, "</html>")) {
            i += 7;
        } else {
            return true;
        }
    }
    return false;
}

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
    for (const TextPiece& piece : m_Pieces)
        WriteHtmlFile(text.substr(piece.m_Start, piece.m_End - piece.m_Start), piece.m_Name);
    GetGuideList();
    FixNcxListContentSrcName();
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
        if (open > pieceStart) AddPiece(pieceStart, open);
        pieceStart = close + 1;
        searchFrom = pieceStart;
    }
    if (HoldsContent(text, pieceStart)) AddPiece(pieceStart, text.size());
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

void CEbookPrc::PrintElement(TidyNode element, std::string& out)
{
    AttributeList attributes = ReadAttributes(element);
    switch (tidyNodeGetId(element)) {
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
