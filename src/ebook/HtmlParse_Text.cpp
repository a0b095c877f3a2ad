// Text routines shared by the handlers: the naked-ampersand repair, the entity decoder, the cover page.
#include "ebook/HtmlParse.h"

#include "base/Text.h"

#include <vector>

namespace
{

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsHexDigit(char c)
{
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether the text after an "&" at amp is protected, i.e. matches
//   (?:#(09|10|13|3[3-9]|[4-9][0-9]|\d{3,}|x[a-f0-9]+)|[a-z]{1,50}\d?);   (letters in any case)
// A scanner rather than std::regex: libstdc++'s engine recurses and is slow on multi-MB texts.
bool IsProtectedReference(const std::string& text, size_t amp)
{
    size_t i = amp + 1;
    size_t n = text.size();
    if (i < n && text[i] == '#') {
        ++i;
        if (i < n && (text[i] == 'x' || text[i] == 'X')) {
            size_t start = ++i;
            while (i < n && IsHexDigit(text[i]))
                ++i;
            if (i > start && i < n && text[i] == ';') return true;
            return false; // "x" is no digit, so no decimal alternative can match either
        }
        size_t start = i;
        while (i < n && IsDigit(text[i]))
            ++i;
        size_t digits = i - start;
        if (i >= n || text[i] != ';') return false;
        if (digits >= 3) return true;
        if (digits != 2) return false;
        char a = text[start], b = text[start + 1];
        if ((a == '0' && b == '9') || (a == '1' && b == '0') || (a == '1' && b == '3')) return true;
        return (a == '3' && b >= '3') || a >= '4';
    }
    size_t start = i;
    while (i < n && IsLetter(text[i]) && i - start <= 50)
        ++i;
    size_t letters = i - start;
    if (letters == 0 || letters > 50) return false;
    if (i < n && IsDigit(text[i])) ++i;
    return i < n && text[i] == ';';
}

} // namespace

bool HandleNakedAmpersand(std::string& text)
{
    std::vector<size_t> naked;
    for (size_t at = text.find('&'); at != std::string::npos; at = text.find('&', at + 1))
        if (!IsProtectedReference(text, at)) naked.push_back(at);
    if (naked.empty()) return false;
    std::string out;
    out.reserve(text.size() + naked.size() * 4);
    size_t from = 0;
    for (size_t at : naked) {
        out.append(text, from, at + 1 - from);
        out += "#38;";
        from = at + 1;
    }
    out.append(text, from, std::string::npos);
    text.swap(out);
    return true;
}

std::string CollapseWhiteSpace(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    bool pendingBlank = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
            pendingBlank = !out.empty();
            continue;
        }
        if (pendingBlank) out += ' ';
        pendingBlank = false;
        out += c;
    }
    return out;
}

std::string DecodeEntities(const std::string& text)
{
    // In byte order of the keys, so "&amp;lt;" ends as "<".
    static const char* const KEYS[][2] = {{"&#160;", " "}, {"&amp;", "&"}, {"&gt;", ">"},
                                          {"&lt;", "<"},   {"&nbsp;", ""}, {"&quot;", "\""}};
    std::string out = text;
    for (const auto& key : KEYS)
        ReplaceAll(out, key[0], key[1]);
    return out;
}

std::string MakeCoverPage(const std::string& imageHref)
{
    // Strict XHTML: a head with a title, alt text, no presentational elements.
    std::string href;
    AppendAttributeValue(imageHref, href);
    return "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
           "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\"><html "
           "xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>Cover</title></head>"
           "<body><div style=\"text-align:center\"><img src=\"" +
           href + "\" alt=\"Cover\" /></div></body></html>";
}
