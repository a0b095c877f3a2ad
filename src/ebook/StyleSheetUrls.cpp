#include "ebook/StyleSheetUrls.h"

#include "base/AsciiClass.h"
#include "base/Text.h"

std::vector<std::string> StyleSheetUrls(const std::string& css)
{
    std::vector<std::string> urls;
    // A quoted value ends at its quote, a bare url() value at the bracket.
    auto value = [&css](size_t from, char end, size_t& after) {
        size_t close = css.find(end, from);
        if (close == std::string::npos) close = css.size();
        after = close + 1;
        size_t first = from, last = close;
        while (first < last && IsHtmlSpace(css[first]))
            ++first;
        while (last > first && IsHtmlSpace(css[last - 1]))
            --last;
        return css.substr(first, last - first);
    };
    size_t i = 0;
    while (i < css.size()) {
        if (css.compare(i, 2, "/*") == 0) {
            size_t end = css.find("*/", i + 2);
            i = end == std::string::npos ? css.size() : end + 2;
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
        while (p < css.size() && IsHtmlSpace(css[p]))
            ++p;
        // An @import names its sheet by a url(), handled when the scan reaches it, or a string.
        if (isImport && (p >= css.size() || (css[p] != '"' && css[p] != '\''))) {
            i = p;
            continue;
        }
        std::string url;
        if (p < css.size() && (css[p] == '"' || css[p] == '\'')) {
            url = value(p + 1, css[p], i);
            if (isUrl) {
                size_t bracket = css.find(')', i);
                i = bracket == std::string::npos ? css.size() : bracket + 1;
            }
        } else {
            url = value(p, ')', i);
        }
        if (!url.empty()) urls.push_back(url);
    }
    return urls;
}
