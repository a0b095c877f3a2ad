// A lexical scan of start tags: pages are moved as their bytes, not reprinted, so only the link
// values change.
#include "html/PageLinks.h"

#include "base/AsciiClass.h"
#include "base/Href.h"
#include "base/Text.h"
#include "ebook/MarkupScanner.h"

#include <cctype>

namespace
{

const char* const LINK_ATTRIBUTES[] = {"href", "src", "xlink:href", "poster", "data"};

bool IsLinkAttribute(const std::string& name)
{
    for (const char* attribute : LINK_ATTRIBUTES)
        if (EqualsNoCase(name, attribute)) return true;
    return false;
}

} // namespace

std::string RewritePageLinks(const std::string& page,
                             const std::function<std::string(const std::string&)>& rewrite)
{
    std::string out;
    out.reserve(page.size());
    CMarkupScanner scanner(page);
    MarkupToken token;
    size_t copied = 0;
    // A tag the text ends in still has its complete values rewritten: they are links as written.
    while (scanner.Next(token)) {
        for (const MarkupAttribute& attribute : token.m_Attributes) {
            if (!attribute.m_HasValue || !IsLinkAttribute(scanner.Text(attribute.m_Name))) continue;
            out.append(page, copied, attribute.m_Value.m_Begin - copied);
            out += rewrite(scanner.Text(attribute.m_Value));
            copied = attribute.m_Value.m_End;
        }
    }
    out.append(page, copied, std::string::npos);
    return out;
}

LinkParts SplitLink(const std::string& value)
{
    size_t cut = value.find_first_of("?#");
    if (cut == std::string::npos) return {value, ""};
    return {value.substr(0, cut), value.substr(cut)};
}

std::string EscapeUrlSegment(const std::string& text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || byte >= 0x80) {
            out += c;
        } else {
            out += '%';
            out += HEX[byte >> 4];
            out += HEX[byte & 15];
        }
    }
    return out;
}
