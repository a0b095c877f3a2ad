// A small scanner over the package text: elements are found by their tags, never re-serialised.
#include "epub/OpfRewrite.h"

#include "base/Platform.h"
#include "epub/Epub.h"
#include "epub/ParseOpf.h"

#include <cctype>
#include <set>

namespace {

struct Span {
    size_t begin = std::string::npos, end = std::string::npos;  // end: one past the element
    bool Found() const { return begin != std::string::npos; }
};

bool IsNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '_' || c == '-' || c == '.';
}

std::string LocalOf(const std::string& name)
{
    size_t colon = name.rfind(':');
    return ToLowerCopy(colon == std::string::npos ? name : name.substr(colon + 1));
}

std::string EndTagNameAt(const std::string& text, size_t pos)
{
    size_t i = pos + 2;
    while (i < text.size() && IsNameChar(text[i])) ++i;
    return text.substr(pos + 2, i - pos - 2);
}

// End of the tag that starts at pos (one past its ">"), skipping quoted attribute values.
size_t TagEnd(const std::string& text, size_t pos)
{
    char quote = 0;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i + 1;
        }
    }
    return std::string::npos;
}

// The element starting at pos: through its matching end tag, or the tag itself when self-closing.
Span ElementAt(const std::string& text, size_t pos)
{
    Span span;
    const std::string name = TagNameAt(text, pos);
    size_t open = TagEnd(text, pos);
    if (name.empty() || open == std::string::npos) return span;
    span.begin = pos;
    if (text[open - 2] == '/') {
        span.end = open;
        return span;
    }
    int depth = 1;
    for (size_t i = text.find('<', open); i != std::string::npos; i = text.find('<', i + 1)) {
        if (text.compare(i, 2, "</") == 0 && EndTagNameAt(text, i) == name) {
            if (--depth == 0) {
                span.end = TagEnd(text, i);
                return span;
            }
        } else if (TagNameAt(text, i) == name) {
            size_t end = TagEnd(text, i);
            if (end != std::string::npos && text[end - 2] != '/') ++depth;
        }
    }
    span.begin = std::string::npos;
    return span;
}

Span FindElement(const std::string& text, const char* localName, size_t from = 0)
{
    for (size_t i = text.find('<', from); i != std::string::npos; i = text.find('<', i + 1))
        if (LocalOf(TagNameAt(text, i)) == localName) return ElementAt(text, i);
    return Span();
}

// Where the element's content starts (after its start tag) and where its end tag starts.
bool ContentRange(const std::string& text, const Span& element, size_t& contentBegin, size_t& contentEnd)
{
    size_t open = TagEnd(text, element.begin);
    if (open == std::string::npos || text[open - 2] == '/') return false;
    contentBegin = open;
    contentEnd = text.rfind("</", element.end - 1);
    return contentEnd != std::string::npos && contentEnd >= contentBegin;
}

std::string UniqueIdentifierId(const std::string& opf)
{
    Span package = FindElement(opf, "package");
    if (!package.Found()) return "";
    std::string tag = opf.substr(package.begin, TagEnd(opf, package.begin) - package.begin);
    size_t at = tag.find("unique-identifier");
    if (at == std::string::npos) return "";
    size_t quote = tag.find_first_of("\"'", at);
    if (quote == std::string::npos) return "";
    size_t close = tag.find(tag[quote], quote + 1);
    return close == std::string::npos ? "" : tag.substr(quote + 1, close - quote - 1);
}

bool Replaced(const std::string& key, const MetaDataMap& newValues)
{
    if (newValues.count(key)) return true;
    // A new publication date replaces every date, so that it is the one read back.
    return StartsWith(key, "date") && newValues.count("date_publication");
}

} // namespace

std::string TagNameAt(const std::string& text, size_t pos)
{
    if (pos >= text.size() || text[pos] != '<') return "";
    size_t i = pos + 1;
    while (i < text.size() && IsNameChar(text[i])) ++i;
    return text.substr(pos + 1, i - pos - 1);
}

std::string RewriteOpfMetadata(const std::string& opf, const MetaDataMap& newValues)
{
    Span metadata = FindElement(opf, "metadata");
    size_t begin = 0, end = 0;
    if (!metadata.Found() || !ContentRange(opf, metadata, begin, end)) return opf;
    const std::string uniqueId = UniqueIdentifierId(opf);

    std::string kept;
    size_t copied = begin;
    for (size_t i = opf.find('<', begin); i != std::string::npos && i < end;) {
        if (opf.compare(i, 4, "<!--") == 0) {
            size_t close = opf.find("-->", i);
            i = close == std::string::npos ? std::string::npos : opf.find('<', close);
            continue;
        }
        Span element = ElementAt(opf, i);
        if (!element.Found() || element.end > end) {
            i = opf.find('<', i + 1);
            continue;
        }
        OpfMetaItem item;
        bool drop = ReadMetaElementText(opf.substr(element.begin, element.end - element.begin), item) &&
                    item.m_Name != "meta" && Replaced(MetaKeyOf(item), newValues) &&
                    (uniqueId.empty() || item.m_Id != uniqueId);
        if (drop) {
            // Take the element's own line with it: back to the line start when only blanks precede it.
            size_t lineStart = element.begin;
            while (lineStart > copied && (opf[lineStart - 1] == ' ' || opf[lineStart - 1] == '\t')) --lineStart;
            size_t after = element.end;
            if (after < end && opf[after] == '\r') ++after;
            if (after < end && opf[after] == '\n') ++after;
            kept += opf.substr(copied, lineStart - copied);
            copied = after;
        }
        i = opf.find('<', element.end);
    }
    kept += opf.substr(copied, end - copied);
    // New lines go before the indentation of the end tag.
    size_t indent = kept.size();
    while (indent > 0 && (kept[indent - 1] == ' ' || kept[indent - 1] == '\t')) --indent;
    if (indent > 0 && kept[indent - 1] != '\n') {
        kept.insert(indent, "\r\n");
        indent += 2;
    }
    kept.insert(indent, MetadataLines(newValues));
    return opf.substr(0, begin) + kept + opf.substr(end);
}

std::string AddCoverToOpf(const std::string& opf, const AddedCover& cover)
{
    std::string text = opf;
    auto insertBeforeEnd = [&text](const char* localName, const std::string& line) {
        Span element = FindElement(text, localName);
        size_t begin = 0, end = 0;
        if (!element.Found() || !ContentRange(text, element, begin, end)) return false;
        text.insert(end, line);
        return true;
    };
    insertBeforeEnd("metadata", "  <meta name=\"cover\" content=\"" + XmlEscape(cover.m_ImageId) + "\"/>\r\n");
    insertBeforeEnd("manifest", "  <item href=\"" + XmlEscape(cover.m_ImageHref) + "\" id=\"" +
                                    XmlEscape(cover.m_ImageId) + "\" media-type=\"" + cover.m_ImageMediaType +
                                    "\"/>\r\n  <item href=\"" + XmlEscape(cover.m_PageHref) + "\" id=\"" +
                                    XmlEscape(cover.m_PageId) + "\" media-type=\"application/xhtml+xml\"/>\r\n");
    Span spine = FindElement(text, "spine");
    size_t begin = 0, end = 0;
    if (spine.Found() && ContentRange(text, spine, begin, end))
        text.insert(begin, "\r\n    <itemref idref=\"" + XmlEscape(cover.m_PageId) + "\"/>");
    const std::string reference = "    <reference type=\"cover\" title=\"Cover\" href=\"" +
                                  XmlEscape(cover.m_PageHref) + "\" />\r\n";
    if (!insertBeforeEnd("guide", reference)) {
        Span package = FindElement(text, "package");
        if (package.Found() && ContentRange(text, package, begin, end))
            text.insert(end, "  <guide>\r\n" + reference + "  </guide>\r\n");
    }
    return text;
}
