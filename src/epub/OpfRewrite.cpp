// A small scanner over the package text: elements are found by their tags, never re-serialised.
#include "epub/OpfRewrite.h"

#include "base/AsciiClass.h"
#include "base/Text.h"
#include "ebook/MarkupScanner.h"
#include "epub/Epub.h"
#include "epub/ParseOpf.h"

#include <algorithm>
#include <set>
#include <vector>

namespace
{

struct Span {
    size_t begin = std::string::npos, end = std::string::npos; // end: one past the element
    size_t open = 0;                                           // one past its start tag
    bool selfClosing = false;
    std::vector<MarkupAttribute> attributes; // of its start tag
    bool Found() const { return begin != std::string::npos; }
};

std::string LocalOf(const std::string& name)
{
    size_t colon = name.rfind(':');
    return ToLowerCopy(colon == std::string::npos ? name : name.substr(colon + 1));
}

// The element whose start tag the scanner just gave: through its matching end tag, or the tag
// itself when self-closing. Markup in comments and CDATA sections does not count.
Span ElementAt(const CMarkupScanner& scanner, const MarkupToken& start)
{
    Span span;
    if (start.m_Unterminated) return span;
    span.begin = start.m_Span.m_Begin;
    span.open = span.end = start.m_Span.m_End;
    span.selfClosing = start.m_SelfClosing;
    span.attributes = start.m_Attributes;
    if (start.m_SelfClosing) return span;
    const std::string name = scanner.Text(start.m_Inner);
    CMarkupScanner ahead = scanner;
    MarkupToken token;
    int depth = 1;
    while (ahead.Next(token)) {
        if (token.m_Unterminated || ahead.Text(token.m_Inner) != name) continue;
        if (token.m_Kind == MarkupKind::StartTag && !token.m_SelfClosing) ++depth;
        if (token.m_Kind == MarkupKind::EndTag && --depth == 0) {
            span.end = token.m_Span.m_End;
            return span;
        }
    }
    span.begin = std::string::npos;
    return span;
}

// A package holds no script or style: every name is markup.
CMarkupScanner PackageScanner(const std::string& text)
{
    return CMarkupScanner(text, {});
}

Span FindElement(const std::string& text, const char* localName)
{
    CMarkupScanner scanner = PackageScanner(text);
    MarkupToken token;
    while (scanner.Next(token))
        if (token.m_Kind == MarkupKind::StartTag && LocalOf(scanner.Text(token.m_Inner)) == localName)
            return ElementAt(scanner, token);
    return Span();
}

// Where the element's content starts (after its start tag) and where its end tag starts.
bool ContentRange(const std::string& text, const Span& element, size_t& contentBegin, size_t& contentEnd)
{
    if (element.selfClosing) return false;
    contentBegin = element.open;
    contentEnd = text.rfind("</", element.end - 1);
    return contentEnd != std::string::npos && contentEnd >= contentBegin;
}

// The value of the start tag's attribute, compared without regard to case; an unquoted value
// reads as empty. False when the tag has no such attribute with a value.
bool AttributeOf(const std::string& text, const Span& element, const std::string& name, std::string& value)
{
    for (const MarkupAttribute& a : element.attributes) {
        if (!a.m_HasValue || a.m_Name.Size() != name.size() ||
            !EqualsNoCase(text.substr(a.m_Name.m_Begin, a.m_Name.Size()), name))
            continue;
        value = a.m_Quote != 0 ? text.substr(a.m_Value.m_Begin, a.m_Value.Size()) : "";
        return true;
    }
    return false;
}

std::string PackageAttribute(const std::string& opf, const char* name)
{
    Span package = FindElement(opf, "package");
    std::string value;
    if (package.Found()) AttributeOf(opf, package, name, value);
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
        bool bound = AttributeOf(opf, metadata, attribute, value) ||
                     (package.Found() && AttributeOf(opf, package, attribute, value));
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
    CMarkupScanner scanner = PackageScanner(opf);
    MarkupToken token;
    while (scanner.Next(token) && token.m_Span.m_Begin < end) {
        if (token.m_Kind != MarkupKind::StartTag || token.m_Span.m_Begin < begin) continue;
        MetadataElement element;
        element.m_Span = ElementAt(scanner, token);
        if (!element.m_Span.Found() || element.m_Span.end > end) continue;
        element.m_IsMetadata = ReadMetaElementText(
            opf.substr(element.m_Span.begin, element.m_Span.end - element.m_Span.begin), element.m_Item);
        while (token.m_Span.m_End < element.m_Span.end && scanner.Next(token)) {
        }
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
