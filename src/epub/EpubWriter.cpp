// The EPUB 2 package texts. Every line ends in CR LF; values are escaped so that a title holding
// "&" or "<" still gives a well-formed package.
#include "epub/Epub.h"

#include "base/Platform.h"
#include "epub/MarcRelators.h"
#include "epub/OpfRewrite.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace
{

const char* const CRLF = "\r\n";
constexpr int NAV_DEPTH_LIMIT = 64;

const char* const DUBLIN_CORE_KEYS[] = {"title",    "creator",  "subject",  "description", "publisher",
                                        "date",     "type",     "format",   "identifier",  "source",
                                        "language", "relation", "coverage", "rights",      "contributor"};

// Keys that describe our own working state or other formats, never written as package metadata.
const char* const INTERNAL_KEYS[] = {"coverimage", "coverimageext", "thumbimage", "languageid", "cdetype"};

struct MediaType {
    const char* extension;
    const char* type;
};
const MediaType MEDIA_TYPES[] = {
    {"css", "text/css"},   {"mp4", "video/mp4"},  {"svg", "image/svg+xml"}, {"ogg", "video/ogg"},
    {"mp3", "audio/mpeg"}, {"wav", "audio/mpeg"}, {"jpg", "image/jpeg"},    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},  {"png", "image/png"},
};

bool IsXmlChar(uint32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// "&#...;" references were kept as text on reading; they stay references here, unless they name
// a character XML does not allow ("&#0;"), which would make the package malformed.
bool StartsCharacterReference(const std::string& text, size_t amp)
{
    size_t i = amp + 1;
    if (i >= text.size() || text[i] != '#') return false;
    ++i;
    bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    size_t digits = 0;
    uint32_t value = 0;
    for (; i < text.size(); ++i, ++digits) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!(hex ? std::isxdigit(c) : std::isdigit(c))) break;
        uint32_t digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0x10FFFF) return false;
    }
    return digits > 0 && i < text.size() && text[i] == ';' && IsXmlChar(value);
}

} // namespace

std::string XmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '&' && !StartsCharacterReference(text, i))
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (IsXmlChar(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80)
            out += c;
    }
    return out;
}

std::string MediaTypeOf(const std::string& href)
{
    std::string copy = href, extension;
    if (GetExtension(copy, extension))
        for (const MediaType& m : MEDIA_TYPES)
            if (extension == m.extension) return m.type;
    return "text/plain";
}

namespace
{

const char* const XHTML11_DOCTYPE =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" \"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">";
const char* const CONTENT_TYPE_META =
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />";

void SetXhtml11Doctype(std::string& document)
{
    size_t html = FindNoCase(document, "<html", 0, document.size());
    size_t doctype = FindNoCase(document, "<!doctype", 0, html == std::string::npos ? document.size() : html);
    if (doctype != std::string::npos) {
        // An internal subset ("[ ... ]") may hold ">" of its own.
        size_t subset = document.find('[', doctype);
        size_t close = document.find('>', doctype);
        if (subset != std::string::npos && subset < close) close = document.find("]>", subset);
        if (close == std::string::npos) return;
        document.replace(doctype, document.find('>', close) + 1 - doctype, XHTML11_DOCTYPE);
    } else if (html != std::string::npos) {
        document.insert(html, std::string(XHTML11_DOCTYPE) + "\r\n");
    }
}

// Every document is written as UTF-8, so whatever charset the source declared, UTF-8 is the truth.
void ReplaceCharsetMeta(std::string& document)
{
    size_t headEnd = FindNoCase(document, "</head", 0, document.size());
    if (headEnd == std::string::npos) return;
    bool hasContentType =
        FindNoCase(document, "http-equiv=\"content-type\"", 0, headEnd) != std::string::npos;
    size_t at = FindNoCase(document, "<meta", 0, headEnd);
    while (at != std::string::npos) {
        size_t end = TagEndAt(document, at);
        if (end == std::string::npos || end > headEnd) return;
        if (FindTagAttribute(document, at, end, "charset")) {
            std::string replacement = hasContentType ? "" : CONTENT_TYPE_META;
            hasContentType = true;
            document.replace(at, end - at, replacement);
            headEnd = headEnd - (end - at) + replacement.size();
            end = at + replacement.size();
        }
        at = FindNoCase(document, "<meta", end, headEnd);
    }
}

bool IsDublinCoreKey(const std::string& name)
{
    for (const char* key : DUBLIN_CORE_KEYS)
        if (name == key) return true;
    return false;
}

bool IsInternalKey(const std::string& key)
{
    for (const char* internal : INTERNAL_KEYS)
        if (key == internal) return true;
    return StartsWith(key, "MOBI_ID_") || StartsWith(key, "outparam_") || StartsWith(key, "inparam_");
}

using Attributes = std::vector<std::pair<std::string, std::string>>;

const char* const DC_NAMESPACE = "http://purl.org/dc/elements/1.1/";
const char* const OPF_NAMESPACE = "http://www.idpf.org/2007/opf";

std::string ElementLine(const std::string& name, const Attributes& attributes, const std::string& text)
{
    std::string line = "        <" + name;
    for (const auto& [attribute, value] : attributes)
        line += " " + attribute + "=\"" + XmlEscape(value) + "\"";
    if (name == "meta" && text.empty()) return line + "/>";
    return line + ">" + XmlEscape(text) + "</" + name + ">";
}

// Writes one Dublin Core element in the package's form, with what qualifies it.
class CMetadataWriter
{
  public:
    CMetadataWriter(const MetadataForm& form, std::vector<std::string>& lines) : m_Form(form), m_Lines(lines)
    {
    }

    void Write(const std::string& name, Attributes attributes, const std::string& text)
    {
        std::vector<std::pair<std::string, std::string>> refinements;
        if (m_Form.m_Epub3) {
            Attributes kept;
            for (auto& [attribute, value] : attributes) {
                // EPUB 3 has no dates by event nor identifier schemes as attributes; the value stays.
                if (attribute == "opf:role")
                    refinements.emplace_back("role", value);
                else if (attribute == "opf:file-as")
                    refinements.emplace_back("file-as", value);
                else if (!StartsWith(attribute, "opf:"))
                    kept.emplace_back(attribute, value);
            }
            attributes = std::move(kept);
        }
        std::string id;
        if (!refinements.empty()) {
            id = m_Form.m_IdPrefix + "-" + std::to_string(++m_IdCount);
            attributes.emplace_back("id", id);
        }
        if (m_Form.m_CarryNamespaces) {
            bool usesOpf = false;
            for (const auto& attribute : attributes)
                usesOpf = usesOpf || StartsWith(attribute.first, "opf:");
            if (usesOpf) attributes.emplace_back("xmlns:opf", OPF_NAMESPACE);
            attributes.emplace_back("xmlns:dc", DC_NAMESPACE);
        }
        m_Lines.push_back(ElementLine(name, attributes, text));
        for (const auto& [property, value] : refinements) {
            Attributes meta = {{"refines", "#" + id}, {"property", property}};
            if (property == "role") meta.emplace_back("scheme", "marc:relators");
            WriteMeta(meta, value);
        }
    }

    void WriteMeta(Attributes attributes, const std::string& text)
    {
        if (m_Form.m_CarryNamespaces) attributes.emplace_back("xmlns", OPF_NAMESPACE);
        m_Lines.push_back(ElementLine("meta", attributes, text));
    }

  private:
    const MetadataForm& m_Form;
    std::vector<std::string>& m_Lines;
    int m_IdCount = 0;
};

// One element per value; the part after the first "_" of the key becomes the qualifier.
void AppendMetadataLines(const std::string& key, const std::vector<std::string>& values,
                         CMetadataWriter& writer)
{
    size_t underscore = key.find('_');
    std::string name = key.substr(0, underscore);
    std::string qualifier = underscore == std::string::npos ? "" : key.substr(underscore + 1);
    for (const std::string& value : values) {
        if (value.empty()) continue;
        Attributes attributes;
        if (key == "contributor_TarvoProducerName") {
            attributes = {{"opf:role", "bkp"}, {"opf:file-as", "Tarvo"}};
        } else if (!IsDublinCoreKey(name)) {
            writer.WriteMeta({{"name", key}, {"content", value}}, "");
            continue;
        } else if (!qualifier.empty()) {
            if (name == "date")
                attributes = {{"opf:event", qualifier}};
            else if (name == "identifier")
                attributes = {{"opf:scheme", qualifier}};
            else if (name == "contributor" || name == "creator")
                attributes = {{"opf:role", RelatorCode(qualifier)}};
            else {
                writer.WriteMeta({{"name", key}, {"content", value}}, "");
                continue;
            }
        }
        writer.Write("dc:" + name, attributes, value);
    }
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + CRLF;
    return text;
}

std::string NavPointLines(int count, const std::string& order, const std::string& label,
                          const std::string& src, const char* indent, const char* inner)
{
    std::string text = std::string(indent) + "<navPoint id=\"navPoint-" + std::to_string(count) +
                       "\" playOrder=\"" + XmlEscape(order) + "\">" + CRLF;
    text += std::string(indent) + inner + "<navLabel>" + CRLF;
    text += std::string(indent) + inner + "  <text>" + XmlEscape(label) + "</text>" + CRLF;
    text += std::string(indent) + inner + "</navLabel>" + CRLF;
    text += std::string(indent) + inner + "<content src=\"" + XmlEscape(src) + "\"/>" + CRLF;
    return text;
}

// XHTML 1.1 knows none of HTML5's sectioning and landmark elements. Each becomes the element it
// stands for, its old name kept as a class so style sheets can still reach it.
// Names as views: a tag is compared with every entry, and a length check settles most at once.
const std::pair<std::string_view, const char*> HTML5_ELEMENTS[] = {
    {"section", "div"}, {"article", "div"}, {"nav", "div"},    {"aside", "div"},  {"header", "div"},
    {"footer", "div"},  {"main", "div"},    {"figure", "div"}, {"hgroup", "div"}, {"figcaption", "div"},
    {"details", "div"}, {"summary", "div"}, {"mark", "span"},
};

const char* Xhtml11Equivalent(const std::string& lowerName)
{
    for (const auto& [html5, xhtml] : HTML5_ELEMENTS)
        if (lowerName == html5) return xhtml;
    return nullptr;
}

// ARIA, custom data and EPUB 3 semantics carry nothing an EPUB 2 reader uses.
bool IsHtml5OnlyAttribute(const std::string& lowerName)
{
    return lowerName == "role" || lowerName == "epub:type" || StartsWith(lowerName, "aria-") ||
           StartsWith(lowerName, "data-");
}

bool IsMarkupSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// From just after an attribute's name to one past its value (if it has one), within [pos, end).
size_t AttributeValueEnd(const std::string& tag, size_t pos, size_t end)
{
    size_t at = pos;
    while (at < end && IsMarkupSpace(tag[at]))
        ++at;
    if (at >= end || tag[at] != '=') return pos;
    ++at;
    while (at < end && IsMarkupSpace(tag[at]))
        ++at;
    if (at < end && (tag[at] == '"' || tag[at] == '\'')) {
        size_t close = tag.find(tag[at], at + 1);
        return close == std::string::npos || close >= end ? end : close + 1;
    }
    while (at < end && !IsMarkupSpace(tag[at]) && tag[at] != '>')
        ++at;
    return at;
}

// Appends the tag [begin, end) of the document to out, written for XHTML 1.1: ids, classes and
// every other attribute stay as they are, so links and styles still work.
void AppendXhtml11Tag(const std::string& document, size_t begin, size_t end, std::string& out)
{
    size_t at = begin + 1;
    if (document[at] == '/') ++at;
    size_t nameEnd = at;
    while (nameEnd < end && !IsMarkupSpace(document[nameEnd]) && document[nameEnd] != '/' &&
           document[nameEnd] != '>')
        ++nameEnd;
    const std::string name = ToLowerCopy(document.substr(at, nameEnd - at));
    const char* equivalent = Xhtml11Equivalent(name);
    out.append(document, begin, at - begin);
    if (equivalent != nullptr)
        out += equivalent;
    else
        out.append(document, at, nameEnd - at);
    if (document[begin + 1] == '/') {
        out.append(document, nameEnd, end - nameEnd);
        return;
    }
    bool classWritten = equivalent == nullptr;
    size_t pos = nameEnd;
    for (;;) {
        const size_t space = pos;
        while (pos < end && IsMarkupSpace(document[pos]))
            ++pos;
        if (pos >= end || document[pos] == '/' || document[pos] == '>') {
            pos = space;
            break;
        }
        const size_t attributeStart = pos;
        while (pos < end && !IsMarkupSpace(document[pos]) && document[pos] != '=' && document[pos] != '/' &&
               document[pos] != '>')
            ++pos;
        const std::string attribute = ToLowerCopy(document.substr(attributeStart, pos - attributeStart));
        const size_t valueEnd = std::max(AttributeValueEnd(document, pos, end), attributeStart + 1);
        const auto valueBegin = std::find_if(document.begin() + static_cast<std::ptrdiff_t>(pos),
                                             document.begin() + static_cast<std::ptrdiff_t>(valueEnd),
                                             [](char c) { return c == '"' || c == '\''; });
        const size_t quote = static_cast<size_t>(valueBegin - document.begin());
        if (!classWritten && attribute == "class" && quote < valueEnd) {
            out.append(document, space, quote + 1 - space);
            out += name + " ";
            out.append(document, quote + 1, valueEnd - quote - 1);
        } else if (!IsHtml5OnlyAttribute(attribute)) {
            out.append(document, space, valueEnd - space);
        }
        classWritten = classWritten || attribute == "class";
        pos = valueEnd;
    }
    if (!classWritten) out += " class=\"" + name + "\"";
    out.append(document, pos, end - pos);
}

// The tag's name, lower-cased, as AppendXhtml11Tag reads it (short names need no allocation).
std::string LowerTagName(const std::string& document, size_t nameAt, size_t end)
{
    std::string name;
    for (size_t i = nameAt;
         i < end && !IsMarkupSpace(document[i]) && document[i] != '/' && document[i] != '>'; ++i)
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(document[i])));
    return name;
}

// Most tags need nothing rewritten; they are told apart without building strings. A false alarm
// (such a word inside an attribute value) only takes the exact path.
bool MayNeedXhtml11Rewrite(const std::string& document, const std::string& lowerName, size_t begin,
                           size_t end)
{
    if (Xhtml11Equivalent(lowerName) != nullptr) return true;
    // Only a word after a blank can start such an attribute.
    auto startsAt = [&document, end](size_t i, const char* word) {
        for (; *word != '\0'; ++word, ++i)
            if (i >= end || std::tolower(static_cast<unsigned char>(document[i])) != *word) return false;
        return true;
    };
    for (size_t i = begin + 1; i < end; ++i) {
        if (!IsMarkupSpace(document[i - 1])) continue;
        if (startsAt(i, "role") || startsAt(i, "epub:type") || startsAt(i, "aria-") || startsAt(i, "data-"))
            return true;
    }
    return false;
}

size_t EndAfter(const std::string& document, size_t from, const char* terminator)
{
    size_t found = document.find(terminator, from);
    return found == std::string::npos ? document.size() : found + std::strlen(terminator);
}

// One pass over the printed document; comments, CDATA sections, declarations and the text of
// scripts and style sheets are copied as they are.
void ReplaceHtml5Markup(std::string& document)
{
    std::string out;
    out.reserve(document.size());
    size_t pos = 0;
    for (size_t at = document.find('<'); at != std::string::npos; at = document.find('<', pos)) {
        out.append(document, pos, at - pos);
        pos = at + 1;
        if (document.compare(at, 4, "<!--") == 0) {
            pos = EndAfter(document, at, "-->");
        } else if (document.compare(at, 9, "<![CDATA[") == 0) {
            pos = EndAfter(document, at, "]]>");
        } else if (pos < document.size() && (document[pos] == '!' || document[pos] == '?')) {
            pos = EndAfter(document, at, ">");
        } else {
            const size_t nameAt = pos < document.size() && document[pos] == '/' ? pos + 1 : pos;
            const bool tag = nameAt < document.size() && IsNameStart(document[nameAt]);
            const size_t end = tag ? TagEndAt(document, at) : std::string::npos;
            // A tag left open runs to the end of the text: no later tag can close either.
            if (tag && end == std::string::npos) pos = document.size();
            if (end != std::string::npos) {
                const std::string name = LowerTagName(document, nameAt, end);
                if (MayNeedXhtml11Rewrite(document, name, at, end))
                    AppendXhtml11Tag(document, at, end, out);
                else
                    out.append(document, at, end - at);
                pos = end;
                const bool rawText =
                    (name == "script" || name == "style") && nameAt == at + 1 && document[end - 2] != '/';
                if (rawText) {
                    size_t close = FindNoCase(document, "</" + name, end, document.size());
                    pos = close == std::string::npos ? document.size() : close;
                    out.append(document, end, pos - end);
                }
                continue;
            }
        }
        out.append(document, at, pos - at);
    }
    out.append(document, pos, std::string::npos);
    document.swap(out);
}

} // namespace

void MakeEpub2Document(std::string& document)
{
    SetXhtml11Doctype(document);
    ReplaceCharsetMeta(document);
    ReplaceHtml5Markup(document);
}

std::string CEpubBase::BuildContainer(const std::string& opfPath)
{
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
               "<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\r\n"
               "  <rootfiles>\r\n"
               "     <rootfile full-path=\"") +
           XmlEscape(opfPath) +
           "\" media-type=\"application/oebps-package+xml\"/>\r\n"
           "  </rootfiles>\r\n"
           "</container>";
}

std::string MetadataLines(const MetaDataMap& metadata, const MetadataForm& form)
{
    std::vector<std::string> lines;
    CMetadataWriter writer(form, lines);
    for (const auto& [key, values] : metadata)
        if (!IsInternalKey(key)) AppendMetadataLines(key, values, writer);
    return JoinLines(lines);
}

std::string CEpubBase::BuildOpf(const CIntermediateBook& book)
{
    std::string metadata = MetadataLines(book.m_MetaData);
    // A package must name a language; a book that never said one (a plain text) is "undetermined".
    auto language = book.m_MetaData.find("language");
    if (language == book.m_MetaData.end() || language->second.empty() || language->second.front().empty())
        metadata += ElementLine("dc:language", {}, "und") + CRLF;
    if (m_HasCover)
        metadata += ElementLine("meta", {{"name", "cover"}, {"content", m_CoverImageId}}, "") + CRLF;

    std::vector<std::string> items;
    m_SpineIds.clear();
    int n = 0;
    for (const std::string& href : book.m_HtmlFileList) {
        std::string id = "id_" + std::to_string(++n);
        m_SpineIds.push_back(id);
        items.push_back("        <item href=\"" + XmlEscape(href) + "\" id=\"" + id +
                        "\" media-type=\"application/xhtml+xml\"/>");
    }
    for (const std::string& href : book.m_ResourceList) {
        std::string id = "id_" + std::to_string(++n);
        if (m_HasCover && href == m_CoverImagePath) id = m_CoverImageId;
        items.push_back("        <item href=\"" + XmlEscape(href) + "\" id=\"" + id + "\" media-type=\"" +
                        MediaTypeOf(href) + "\"/>");
    }
    std::vector<std::string> itemrefs;
    for (const std::string& id : m_SpineIds)
        itemrefs.push_back("        <itemref idref=\"" + id + "\"/>");

    std::string opf = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
    opf += "<package xmlns:opf=\"http://www.idpf.org/2007/opf\" unique-identifier=\"" + m_UniqueIdentifierId +
           "\" xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\">\r\n";
    opf += "   <metadata xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:opf=\"http://www.idpf.org/2007/opf\" xmlns:dcterms=\"http://purl.org/dc/terms/\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\r\n";
    opf += "        <dc:identifier id=\"" + m_UniqueIdentifierId + "\">" + XmlEscape(m_IdentifierValue) +
           "</dc:identifier>\r\n";
    opf += metadata + "   </metadata>\r\n";
    opf += "   <manifest>\r\n" + JoinLines(items) +
           "        <item href=\"toc.ncx\" id=\"ncx\" media-type=\"application/x-dtbncx+xml\"/>\r\n";
    opf += "   </manifest>\r\n";
    opf += std::string("   <spine ") + (m_RightToLeft ? "page-progression-direction=\"rtl\" " : "") +
           "toc = \"ncx\">\r\n";
    opf += JoinLines(itemrefs) + "   </spine>\r\n";
    if (!book.m_GuideItems.empty()) {
        opf += "   <guide>\r\n";
        for (const GuideItem& g : book.m_GuideItems)
            opf += "        <reference type=\"" + XmlEscape(g.m_Type) + "\" title=\"" + XmlEscape(g.m_Title) +
                   "\" href=\"" + XmlEscape(g.m_Href) + "\" />\r\n";
        opf += "   </guide>\r\n";
    }
    opf += "</package>";
    return opf;
}

namespace
{

// Readers number their entries in m_EntryNumber, so the writer keeps its own record of what it
// wrote: no entry twice, even through a broken parent link.
class NcxWriter
{
  public:
    NcxWriter(const std::vector<NavPoint>& navPoints, int& navPointCounter)
        : points(navPoints), counter(navPointCounter), written(navPoints.size(), false)
    {
    }

    void Write(size_t index, int depth)
    {
        const NavPoint& point = points[index];
        if (written[index]) return;
        written[index] = true;
        text += NavPointLines(++counter, point.m_PlayOrder, point.m_Label, point.m_Src, "         ", "  ");
        if (depth < NAV_DEPTH_LIMIT && point.m_FirstChild >= 0) {
            size_t last = point.m_LastChild >= point.m_FirstChild ? static_cast<size_t>(point.m_LastChild)
                                                                  : points.size() - 1;
            for (size_t child = static_cast<size_t>(point.m_FirstChild);
                 child <= last && child < points.size(); ++child)
                if (points[child].m_Parent == point.m_OwnIndex) Write(child, depth + 1);
        }
        text += "         </navPoint>\r\n";
    }

    std::string text;

  private:
    const std::vector<NavPoint>& points;
    int& counter;
    std::vector<bool> written;
};

} // namespace

std::string CEpubBase::BuildNcx(CIntermediateBook& book)
{
    std::string navPoints;
    if (book.m_NavPoints.empty()) {
        std::vector<std::string> entries;
        int n = 0;
        for (const std::string& href : book.m_HtmlFileList) {
            std::string label = GetFileName(href);
            label = label.substr(0, label.rfind('.'));
            ++n;
            std::string entry = NavPointLines(n, std::to_string(n), label, href, "      ", "   ");
            entries.push_back(entry + "      </navPoint>");
        }
        for (size_t i = 0; i < entries.size(); ++i)
            navPoints += (i ? CRLF : "") + entries[i];
    } else {
        // Readers check that play orders start at 1 and that entries sharing a target share one,
        // whatever numbers the source gave.
        std::vector<NavPoint> points = book.m_NavPoints;
        AssignPlayOrder(points);
        NcxWriter writer{points, m_NavPointCounter};
        for (size_t i = 0; i < points.size(); ++i)
            if (points[i].m_Parent < 0) writer.Write(i, 0);
        // Entries whose parent never got written (a broken list) still appear, at top level.
        for (size_t i = 0; i < points.size(); ++i)
            writer.Write(i, 0);
        navPoints = writer.text;
    }
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                       "<ncx xmlns=\"http://www.daisy.org/z3986/2005/ncx/\" version=\"2005-1\">\r\n"
                       "   <head>\r\n"
                       "      <meta name=\"dtb:uid\" content=\"") +
           XmlEscape(m_IdentifierValue) +
           "\"/>\r\n"
           "      <meta name=\"dtb:depth\" content=\"0\"/>\r\n"
           "      <meta name=\"dtb:totalPageCount\" content=\"0\"/>\r\n"
           "      <meta name=\"dtb:maxPageNumber\" content=\"0\"/>\r\n"
           "   </head>\r\n"
           "   <docTitle>\r\n"
           "      <text>UnKnown</text>\r\n"
           "   </docTitle>\r\n"
           "   <navMap>\r\n" +
           navPoints + "   </navMap>\r\n</ncx>";
}
