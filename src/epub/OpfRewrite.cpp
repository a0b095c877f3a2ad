// A small scanner over the package text: elements are found by their tags, never re-serialised.
#include "epub/OpfRewrite.h"

#include "base/AsciiClass.h"
#include "base/Platform.h"
#include "epub/Epub.h"
#include "epub/ParseOpf.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

namespace
{

struct Span {
    size_t begin = std::string::npos, end = std::string::npos; // end: one past the element
    bool Found() const { return begin != std::string::npos; }
};

std::string LocalOf(const std::string& name)
{
    size_t colon = name.rfind(':');
    return ToLowerCopy(colon == std::string::npos ? name : name.substr(colon + 1));
}

std::string EndTagNameAt(const std::string& text, size_t pos)
{
    size_t i = pos + 2;
    while (i < text.size() && IsMarkupNameChar(text[i]))
        ++i;
    return text.substr(pos + 2, i - pos - 2);
}

// The element starting at pos: through its matching end tag, or the tag itself when self-closing.
Span ElementAt(const std::string& text, size_t pos)
{
    Span span;
    const std::string name = TagNameAt(text, pos);
    size_t open = TagEndAt(text, pos);
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
                span.end = TagEndAt(text, i);
                return span;
            }
        } else if (TagNameAt(text, i) == name) {
            size_t end = TagEndAt(text, i);
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
    size_t open = TagEndAt(text, element.begin);
    if (open == std::string::npos || text[open - 2] == '/') return false;
    contentBegin = open;
    contentEnd = text.rfind("</", element.end - 1);
    return contentEnd != std::string::npos && contentEnd >= contentBegin;
}

std::string PackageAttribute(const std::string& opf, const char* name)
{
    Span package = FindElement(opf, "package");
    std::string value;
    if (package.Found()) FindTagAttribute(opf, package.begin, TagEndAt(opf, package.begin), name, &value);
    return value;
}

// The form new elements take: EPUB 3 packages have no opf: attributes, and a package may bind the
// prefixes only on the elements that use them (so not where new elements go).
MetadataForm FormFor(const std::string& opf, const Span& metadata)
{
    MetadataForm form;
    form.m_Epub3 = StartsWith(PackageAttribute(opf, "version"), "3");
    const std::pair<const char*, const char*> bindings[] = {{"xmlns:dc", "http://purl.org/dc/elements/1.1/"},
                                                            {"xmlns:opf", "http://www.idpf.org/2007/opf"},
                                                            {"xmlns", "http://www.idpf.org/2007/opf"}};
    Span package = FindElement(opf, "package");
    for (const auto& [attribute, uri] : bindings) {
        if (form.m_Epub3 && std::string(attribute) == "xmlns:opf") continue;
        std::string value;
        // The metadata element's own declaration is the nearer one.
        bool bound =
            FindTagAttribute(opf, metadata.begin, TagEndAt(opf, metadata.begin), attribute, &value) ||
            (package.Found() &&
             FindTagAttribute(opf, package.begin, TagEndAt(opf, package.begin), attribute, &value));
        form.m_CarryNamespaces = form.m_CarryNamespaces || !bound || value != uri;
    }
    return form;
}

struct MetadataElement {
    Span m_Span;
    OpfMetaItem m_Item;
    bool m_IsMetadata = false; // a Dublin Core or meta element (not a comment or a wrapper)
};

// The elements directly inside [begin, end) of the metadata, comments skipped.
std::vector<MetadataElement> MetadataElements(const std::string& opf, size_t begin, size_t end)
{
    std::vector<MetadataElement> elements;
    for (size_t i = opf.find('<', begin); i != std::string::npos && i < end;) {
        if (opf.compare(i, 4, "<!--") == 0) {
            size_t close = opf.find("-->", i);
            i = close == std::string::npos ? std::string::npos : opf.find('<', close);
            continue;
        }
        MetadataElement element;
        element.m_Span = ElementAt(opf, i);
        if (!element.m_Span.Found() || element.m_Span.end > end) {
            i = opf.find('<', i + 1);
            continue;
        }
        element.m_IsMetadata = ReadMetaElementText(
            opf.substr(element.m_Span.begin, element.m_Span.end - element.m_Span.begin), element.m_Item);
        i = opf.find('<', element.m_Span.end);
        elements.push_back(std::move(element));
    }
    return elements;
}

bool Replaced(const std::string& key, const MetaDataMap& newValues)
{
    if (key.empty()) return false;
    if (newValues.count(key)) return true;
    // A new publication date replaces every date, so that it is the one read back.
    return StartsWith(key, "date") && newValues.count("date_publication");
}

// The metadata as `g` reads it from these elements, every date merged into the publication date.
CIntermediateBook ReadAsGetDoes(const std::vector<MetadataElement>& elements,
                                const std::vector<OpfMetaItem>& items)
{
    std::vector<OpfMetaItem> metadata;
    for (size_t i = 0; i < items.size(); ++i)
        if (elements[i].m_IsMetadata) metadata.push_back(items[i]);
    CIntermediateBook book;
    FillMetaDataValues(metadata, book);
    book.KeepOnlyPublicationDate();
    return book;
}

// The keys whose values differ from what the package reads as, compared as the metadata text shows
// them: a value written back unchanged leaves its elements, and what refines them, as they were.
MetaDataMap ChangedValues(const MetaDataMap& newValues, const CIntermediateBook& current)
{
    MetaDataMap changed;
    for (const auto& [key, values] : newValues) {
        std::vector<std::string> given;
        for (const std::string& value : values)
            if (!value.empty()) given.push_back(value);
        std::string was;
        if (current.GetValue(key, was) != RC_OK) {
            if (!given.empty()) changed[key] = given;
            continue;
        }
        CIntermediateBook joined;
        joined.m_MetaData[key] = given;
        std::string now;
        joined.GetValue(key, now);
        if (now != was) changed[key] = given;
    }
    return changed;
}

} // namespace

std::string TagNameAt(const std::string& text, size_t pos)
{
    if (pos >= text.size() || text[pos] != '<') return "";
    size_t i = pos + 1;
    while (i < text.size() && IsMarkupNameChar(text[i]))
        ++i;
    return text.substr(pos + 1, i - pos - 1);
}

size_t TagEndAt(const std::string& text, size_t pos)
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

bool FindTagAttribute(const std::string& text, size_t tagBegin, size_t tagEnd, const std::string& name,
                      std::string* value)
{
    tagEnd = std::min(tagEnd, text.size());
    char quote = 0;
    for (size_t i = tagBegin; i < tagEnd; ++i) {
        char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            continue;
        }
        if (!std::isspace(static_cast<unsigned char>(c)) || i + 1 + name.size() > tagEnd ||
            !EqualsNoCase(text.substr(i + 1, name.size()), name))
            continue;
        size_t at = i + 1 + name.size();
        while (at < tagEnd && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at >= tagEnd || text[at] != '=') continue;
        ++at;
        while (at < tagEnd && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (value != nullptr) {
            value->clear();
            if (at < tagEnd && (text[at] == '"' || text[at] == '\'')) {
                size_t close = text.find(text[at], at + 1);
                if (close != std::string::npos && close < tagEnd)
                    *value = text.substr(at + 1, close - at - 1);
            }
        }
        return true;
    }
    return false;
}

std::string RewriteOpfMetadata(const std::string& opf, const MetaDataMap& newValues,
                               const std::string& markKey)
{
    Span metadata = FindElement(opf, "metadata");
    size_t begin = 0, end = 0;
    if (!metadata.Found() || !ContentRange(opf, metadata, begin, end)) return opf;
    const std::string uniqueId = PackageAttribute(opf, "unique-identifier");

    std::vector<MetadataElement> elements = MetadataElements(opf, begin, end);
    std::vector<OpfMetaItem> items;
    for (const MetadataElement& element : elements)
        items.push_back(element.m_Item);
    ApplyRefinements(items);
    const CIntermediateBook current = ReadAsGetDoes(elements, items);
    MetaDataMap changed = ChangedValues(newValues, current);
    if (changed.empty() || (changed.size() == 1 && changed.count(markKey))) return opf;

    const OpfMetaItem* mainTitle = MainTitle(items);
    std::set<std::string> droppedIds, keptIdentifiers;
    std::vector<bool> drop(elements.size(), false);
    for (size_t i = 0; i < items.size(); ++i) {
        if (!elements[i].m_IsMetadata) continue;
        const OpfMetaItem& item = items[i];
        // A new title replaces the subtitles too: one kept before it would be read as the title.
        const std::string key = item.m_Name == "title" ? "title" : ReadKeyOf(item, mainTitle);
        drop[i] = Replaced(key, changed) && (uniqueId.empty() || item.m_Id != uniqueId);
        if (drop[i] && !item.m_Id.empty()) droppedIds.insert(item.m_Id);
        if (!drop[i] && item.m_Name == "identifier") keptIdentifiers.insert(item.m_Value);
    }
    // An identifier the package keeps (its unique identifier) is the same identifier when given
    // again: it is not written twice.
    for (auto& [key, values] : changed) {
        if (!StartsWith(key, "identifier")) continue;
        std::vector<std::string> fresh;
        for (const std::string& value : values)
            if (keptIdentifiers.insert(value).second) fresh.push_back(value);
        values = std::move(fresh);
    }
    // What refined a dropped element would refine nothing.
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].m_Name == "meta" && StartsWith(items[i].m_Refines, "#"))
            drop[i] = drop[i] || droppedIds.count(items[i].m_Refines.substr(1)) != 0;

    std::string kept;
    size_t copied = begin;
    for (size_t i = 0; i < elements.size(); ++i) {
        if (!drop[i]) continue;
        // Take the element's own line with it: back to the line start when only blanks precede it.
        const Span& element = elements[i].m_Span;
        size_t lineStart = element.begin;
        while (lineStart > copied && (opf[lineStart - 1] == ' ' || opf[lineStart - 1] == '\t'))
            --lineStart;
        size_t after = element.end;
        if (after < end && opf[after] == '\r') ++after;
        if (after < end && opf[after] == '\n') ++after;
        kept += opf.substr(copied, lineStart - copied);
        copied = after;
    }
    kept += opf.substr(copied, end - copied);
    // New lines go before the indentation of the end tag.
    size_t indent = kept.size();
    while (indent > 0 && (kept[indent - 1] == ' ' || kept[indent - 1] == '\t'))
        --indent;
    if (indent > 0 && kept[indent - 1] != '\n') {
        kept.insert(indent, "\r\n");
        indent += 2;
    }
    MetadataForm form = FormFor(opf, metadata);
    std::string out = opf.substr(0, begin) + kept + opf.substr(end);
    while (out.find(form.m_IdPrefix) != std::string::npos)
        form.m_IdPrefix += "x";
    // A person named again keeps the form the name sorts by.
    out.insert(begin + indent, MetadataLines(changed, form, current.m_SortNames));
    return out;
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
    insertBeforeEnd("metadata",
                    "  <meta name=\"cover\" content=\"" + XmlEscape(cover.m_ImageId) + "\"/>\r\n");
    insertBeforeEnd("manifest", "  <item href=\"" + XmlEscape(cover.m_ImageHref) + "\" id=\"" +
                                    XmlEscape(cover.m_ImageId) + "\" media-type=\"" + cover.m_ImageMediaType +
                                    "\"/>\r\n  <item href=\"" + XmlEscape(cover.m_PageHref) + "\" id=\"" +
                                    XmlEscape(cover.m_PageId) +
                                    "\" media-type=\"application/xhtml+xml\"/>\r\n");
    Span spine = FindElement(text, "spine");
    size_t begin = 0, end = 0;
    if (spine.Found() && ContentRange(text, spine, begin, end))
        text.insert(begin, "\r\n    <itemref idref=\"" + XmlEscape(cover.m_PageId) + "\"/>");
    const std::string reference =
        "    <reference type=\"cover\" title=\"Cover\" href=\"" + XmlEscape(cover.m_PageHref) + "\" />\r\n";
    if (!insertBeforeEnd("guide", reference)) {
        Span package = FindElement(text, "package");
        if (package.Found() && ContentRange(text, package, begin, end))
            text.insert(end, "  <guide>\r\n" + reference + "  </guide>\r\n");
    }
    return text;
}
