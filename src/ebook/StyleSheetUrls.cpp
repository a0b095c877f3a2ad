#include "ebook/StyleSheetUrls.h"

#include "base/AsciiClass.h"
#include "base/Text.h"

std::vector<StyleSheetReference> StyleSheetReferences(const std::string& css)
{
    std::vector<StyleSheetReference> references;
    size_t limit = css.size(); // where the comment being read (or the sheet) ends
    bool inComment = false;
    // A quoted value ends at its quote, a bare url() value at the bracket.
    auto value = [&](size_t from, char end, size_t& close) {
        close = css.find(end, from);
        if (close == std::string::npos || close > limit) close = limit;
        size_t first = from, last = close;
        while (first < last && IsHtmlSpace(css[first]))
            ++first;
        while (last > first && IsHtmlSpace(css[last - 1]))
            --last;
        return css.substr(first, last - first);
    };
    size_t i = 0;
    while (i < css.size()) {
        if (inComment && i >= limit) {
            inComment = false;
            i = limit + 2;
            limit = css.size();
            continue;
        }
        if (!inComment && css.compare(i, 2, "/*") == 0) {
            size_t end = css.find("*/", i + 2);
            inComment = true;
            limit = end == std::string::npos ? css.size() : end;
            i += 2;
            continue;
        }
        bool isUrl = FindNoCase(css, "url(", i, i + 4) == i &&
                     (i == 0 || !(IsAsciiAlnum(css[i - 1]) || css[i - 1] == '-' || css[i - 1] == '_'));
        bool isImport = !isUrl && FindNoCase(css, "@import", i, i + 7) == i;
        if (!isUrl && !isImport) {
            ++i;
            continue;
        }
        size_t p = i + (isUrl ? 4 : 7);
        while (p < limit && IsHtmlSpace(css[p]))
            ++p;
        const bool quoted = p < limit && (css[p] == '"' || css[p] == '\'');
        // An @import names its sheet by a url(), handled when the scan reaches it, or a string.
        if (isImport && !quoted) {
            i = p;
            continue;
        }
        StyleSheetReference reference;
        reference.m_Import = isImport;
        reference.m_InComment = inComment;
        reference.m_Offset = isUrl ? i + 4 : p;
        size_t close = 0;
        if (quoted) {
            reference.m_Quote = css[p];
            reference.m_Value = value(p + 1, css[p], close);
            if (isUrl && close < limit) close = css.find(')', close + 1);
            if (close == std::string::npos || close > limit) close = limit;
        } else {
            reference.m_Value = value(p, ')', close);
        }
        reference.m_Closed = close < limit;
        reference.m_Length = close + (isImport && reference.m_Closed ? 1 : 0) - reference.m_Offset;
        i = reference.m_Closed ? close + 1 : limit;
        references.push_back(std::move(reference));
    }
    return references;
}

std::vector<std::string> StyleSheetUrls(const std::string& css)
{
    std::vector<std::string> urls;
    for (StyleSheetReference& reference : StyleSheetReferences(css))
        if (!reference.m_InComment && !reference.m_Value.empty())
            urls.push_back(std::move(reference.m_Value));
    return urls;
}
