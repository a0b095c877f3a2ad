// The EPUB 2 package texts. Every line ends in CR LF; values are escaped so that a title holding
// "&" or "<" still gives a well-formed package.
#include "epub/Epub.h"

#include "base/Charset.h"
#include "base/Platform.h"
#include "ebook/HtmlParse.h"
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
// Fonts by the types EPUB 2 reading systems know them by: as "text/plain" they would not be fonts.
const MediaType FONT_MEDIA_TYPES[] = {
    {"otf", "application/vnd.ms-opentype"},
    {"ttf", "application/x-font-ttf"},
    {"woff", "application/font-woff"},
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

bool HasExtension(const std::string& name, std::initializer_list<const char*> extensions)
{
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return false;
    const std::string extension = name.substr(dot + 1);
    return std::any_of(extensions.begin(), extensions.end(),
                       [&extension](const char* e) { return EqualsNoCase(extension, e); });
}

std::string MediaTypeOf(const std::string& href)
{
    std::string extension;
    if (GetExtension(href, extension)) {
        for (const MediaType& m : MEDIA_TYPES)
            if (extension == m.extension) return m.type;
        for (const MediaType& m : FONT_MEDIA_TYPES)
            if (extension == m.extension) return m.type;
    }
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

// Values read from packages that escaped them twice still hold references ("&#x27;"): the package
// we write carries the character itself.
std::string ElementLine(const std::string& name, const Attributes& attributes, const std::string& text)
{
    std::string line = "        <" + name;
    for (const auto& [attribute, value] : attributes)
        line += " " + attribute + "=\"" + XmlEscape(DecodeCharacterReferences(value)) + "\"";
    if (name == "meta" && text.empty()) return line + "/>";
    return line + ">" + XmlEscape(DecodeCharacterReferences(text)) + "</" + name + ">";
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

// One element per value; the part after the first "_" of the key becomes the qualifier. People
// get the sort form the book knows for their name.
void AppendMetadataLines(const std::string& key, const std::vector<std::string>& values,
                         const SortNames& sortNames, CMetadataWriter& writer)
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
        if (key != "contributor_TarvoProducerName" && (name == "creator" || name == "contributor")) {
            auto sortName = sortNames.find(value);
            if (sortName != sortNames.end() && !sortName->second.empty())
                attributes.emplace_back("opf:file-as", sortName->second);
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

// XHTML 1.1 knows none of HTML5's sectioning, landmark and text-level elements. Each becomes the
// element it stands for, block or inline, its old name kept as a class so style sheets can still
// reach it. Names as views: a tag is compared with every entry, and a length check settles most.
const std::pair<std::string_view, const char*> HTML5_ELEMENTS[] = {
    {"section", "div"},   {"article", "div"}, {"nav", "div"},    {"aside", "div"},   {"header", "div"},
    {"footer", "div"},    {"main", "div"},    {"figure", "div"}, {"hgroup", "div"},  {"figcaption", "div"},
    {"details", "div"},   {"summary", "div"}, {"dialog", "div"}, {"search", "div"},  {"mark", "span"},
    {"time", "span"},     {"data", "span"},   {"bdi", "span"},   {"output", "span"}, {"meter", "span"},
    {"progress", "span"}, {"wbr", "span"},    {"s", "span"},     {"u", "span"},
};

const char* Xhtml11Equivalent(std::string_view lowerName)
{
    for (const auto& [html5, xhtml] : HTML5_ELEMENTS)
        if (lowerName == html5) return xhtml;
    return nullptr;
}

// HTML5 keeps s and u for text that is struck or marked out; XHTML 1.1 lacks them, and a span
// made of one needs their look as a style of its own.
const char* Xhtml11Look(std::string_view lowerName)
{
    if (lowerName == "s") return "text-decoration:line-through";
    if (lowerName == "u") return "text-decoration:underline";
    return nullptr;
}

bool IsOneOf(std::string_view name, std::initializer_list<std::string_view> names)
{
    for (std::string_view n : names)
        if (name == n) return true;
    return false;
}

// What XHTML 1.1 lets every body element carry; all that a div or span made above keeps.
bool IsCommonAttribute(std::string_view lowerName)
{
    return IsOneOf(lowerName, {"id", "class", "title", "style", "lang", "xml:lang", "dir", "xml:space",
                               "onclick", "ondblclick", "onmousedown", "onmouseup", "onmouseover",
                               "onmousemove", "onmouseout", "onkeypress", "onkeydown", "onkeyup"});
}

// html and the head's elements take only a few attributes in XHTML 1.1, where HTML5 allows any
// global one (<title title="...">, <html prefix="...">). False for every other element.
bool IsRestrictedElement(std::string_view lowerName, bool inHead)
{
    return lowerName == "html" || lowerName == "head" ||
           (inHead && IsOneOf(lowerName, {"title", "meta", "base", "style", "link"}));
}

bool RestrictedElementAllows(std::string_view element, std::string_view attribute)
{
    const bool i18n = IsOneOf(attribute, {"xml:lang", "lang", "dir"});
    if (element == "html") return i18n || attribute == "version";
    if (element == "head") return i18n || attribute == "profile";
    if (element == "title") return i18n;
    if (element == "meta") return i18n || IsOneOf(attribute, {"http-equiv", "name", "content", "scheme"});
    if (element == "base") return attribute == "href";
    if (element == "style") return i18n || IsOneOf(attribute, {"type", "media", "title", "xml:space"});
    return IsCommonAttribute(attribute) ||
           IsOneOf(attribute, {"charset", "href", "hreflang", "type", "rel", "rev", "media"});
}

bool StartsWithView(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// ARIA, custom data, EPUB 3 semantics and speech, and HTML5's other additions carry nothing an
// EPUB 2 reader uses. Inside SVG and MathML only the first few can appear.
bool IsHtml5OnlyAttribute(std::string_view lowerName, bool foreign)
{
    if (lowerName == "role" || lowerName == "hidden" || StartsWithView(lowerName, "aria-") ||
        StartsWithView(lowerName, "data-") || StartsWithView(lowerName, "epub:") ||
        StartsWithView(lowerName, "ssml:"))
        return true;
    // Sorted: every attribute of every tag is looked up.
    static constexpr std::string_view OTHERS[] = {
        "about",     "autocapitalize", "autofocus",  "contenteditable", "crossorigin",   "decoding",
        "download",  "draggable",      "dropzone",   "enterkeyhint",    "fetchpriority", "inert",
        "inputmode", "integrity",      "is",         "itemid",          "itemprop",      "itemref",
        "itemscope", "itemtype",       "loading",    "nonce",           "part",          "ping",
        "popover",   "prefix",         "property",   "referrerpolicy",  "resource",      "reversed",
        "sizes",     "slot",           "spellcheck", "srcset",          "translate",     "typeof",
        "vocab"};
    return !foreign && std::binary_search(std::begin(OTHERS), std::end(OTHERS), lowerName);
}

// An ordered list's numbering as a style: HTML5 keeps ol's type, XHTML 1.1 does not.
std::string ListStyleOf(const std::string& type)
{
    if (type == "a") return "list-style-type:lower-alpha";
    if (type == "A") return "list-style-type:upper-alpha";
    if (type == "i") return "list-style-type:lower-roman";
    if (type == "I") return "list-style-type:upper-roman";
    if (type == "1") return "list-style-type:decimal";
    return "";
}

// HTML5 lets every element be focused and given a key; XHTML 1.1 only its controls and links.
bool IsMisplacedFocusAttribute(std::string_view element, std::string_view attribute)
{
    if (attribute == "tabindex")
        return !IsOneOf(element, {"a", "area", "button", "input", "object", "select", "textarea"});
    if (attribute == "accesskey")
        return !IsOneOf(element, {"a", "area", "button", "input", "label", "legend", "textarea"});
    return false;
}

// XHTML 1.1 allows only blocks straight in body and blockquote; HTML5 allows text and inline
// elements there too (a cover page's lone img).
bool IsBlockOnlyContainer(std::string_view lowerName)
{
    return lowerName == "body" || lowerName == "blockquote";
}

// equivalent: what Xhtml11Equivalent gives for the name.
bool IsXhtml11Inline(const std::string& lowerName, const char* equivalent)
{
    if (equivalent != nullptr) return std::strcmp(equivalent, "span") == 0;
    if (CHtmlParse::IsPhrasing(lowerName.c_str())) return true;
    return IsOneOf(lowerName, {"img", "br", "bdo", "input", "label", "select", "textarea", "button", "map",
                               "object", "ruby", "iframe", "applet", "embed", "basefont"});
}

bool IsXhtml11Block(const std::string& lowerName, const char* equivalent)
{
    if (equivalent != nullptr) return std::strcmp(equivalent, "div") == 0;
    return IsOneOf(lowerName, {"address", "blockquote", "center", "div", "dir", "dl",    "fieldset",
                               "form",    "h1",         "h2",     "h3",  "h4",  "h5",    "h6",
                               "hr",      "menu",       "ol",     "p",   "pre", "table", "ul"});
}

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsMarkupSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// One attribute of a tag, as offsets into the document.
struct AttributeSpan {
    size_t m_Begin; // the blanks before its name
    size_t m_NameBegin, m_NameEnd;
    size_t m_ValueBegin, m_ValueEnd; // inside the quotes; equal when there is no value
    char m_Quote;                    // 0 for an unquoted value or none
    size_t m_End;
};

// The attributes of the tag that ends at end, from just after its name; returns where the tag's
// tail ("/>" or ">" with the blanks before it) starts. TagEndAt found the tag outside quotes, so
// every quote inside closes before end.
size_t SplitAttributes(const std::string& document, size_t pos, size_t end, std::vector<AttributeSpan>& spans)
{
    spans.clear();
    for (;;) {
        const size_t space = pos;
        while (pos < end && IsMarkupSpace(document[pos]))
            ++pos;
        if (pos >= end || document[pos] == '/' || document[pos] == '>') return space;
        AttributeSpan a{space, pos, pos, 0, 0, 0, 0};
        while (pos < end && !IsMarkupSpace(document[pos]) && document[pos] != '=' && document[pos] != '/' &&
               document[pos] != '>')
            ++pos;
        a.m_NameEnd = a.m_ValueBegin = a.m_ValueEnd = pos;
        size_t at = pos;
        while (at < end && IsMarkupSpace(document[at]))
            ++at;
        if (at < end && document[at] == '=') {
            ++at;
            while (at < end && IsMarkupSpace(document[at]))
                ++at;
            if (at < end && (document[at] == '"' || document[at] == '\'')) {
                a.m_Quote = document[at];
                size_t close = document.find(a.m_Quote, at + 1);
                if (close == std::string::npos || close >= end) close = end - 1;
                a.m_ValueBegin = at + 1;
                a.m_ValueEnd = close;
                pos = close + 1;
            } else {
                a.m_ValueBegin = at;
                while (at < end && !IsMarkupSpace(document[at]) && document[at] != '>')
                    ++at;
                a.m_ValueEnd = pos = at;
            }
        }
        if (pos == a.m_NameBegin) ++pos;
        a.m_End = pos;
        spans.push_back(a);
    }
}

// A value piece written between quote characters of the other kind of value.
void AppendQuoted(const std::string& document, size_t from, size_t to, char quote, std::string& out)
{
    for (size_t i = from; i < to; ++i) {
        if (document[i] == quote)
            out += quote == '"' ? "&quot;" : "&#39;";
        else
            out += document[i];
    }
}

size_t EndAfter(const std::string& document, size_t from, const char* terminator)
{
    size_t found = document.find(terminator, from);
    return found == std::string::npos ? document.size() : found + std::strlen(terminator);
}

// One pass over a printed document, or over an SVG image, writing it for EPUB 2. Our printer
// closes every element it opens, so a stack of the open ones tells what holds each tag and text.
// Comments, CDATA sections, declarations and the text of style sheets are copied as they are.
class CEpub2Markup
{
  public:
    CEpub2Markup(const std::string& document, bool svgImage) : m_Doc(document), m_SvgImage(svgImage) {}

    std::string Run()
    {
        m_Out.reserve(m_Doc.size());
        size_t pos = 0;
        for (size_t at = m_Doc.find('<'); at != std::string::npos; at = m_Doc.find('<', pos)) {
            AppendText(pos, at);
            pos = at + 1;
            if (m_Doc.compare(at, 4, "<!--") == 0) {
                pos = EndAfter(m_Doc, at, "-->");
            } else if (m_Doc.compare(at, 9, "<![CDATA[") == 0) {
                pos = EndAfter(m_Doc, at, "]]>");
            } else if (pos < m_Doc.size() && (m_Doc[pos] == '!' || m_Doc[pos] == '?')) {
                pos = EndAfter(m_Doc, at, ">");
            } else {
                const size_t nameAt = pos < m_Doc.size() && m_Doc[pos] == '/' ? pos + 1 : pos;
                const bool tag = nameAt < m_Doc.size() && IsNameStart(m_Doc[nameAt]);
                const size_t end = tag ? TagEndAt(m_Doc, at) : std::string::npos;
                if (end != std::string::npos) {
                    pos = nameAt == at + 1 ? StartTag(at, end) : EndTag(at, end);
                    continue;
                }
                // A tag left open runs to the end of the text: no later tag can close either.
                if (tag) pos = m_Doc.size();
                if (!tag) {
                    AppendText(at, pos);
                    continue;
                }
            }
            m_Out.append(m_Doc, at, pos - at);
        }
        AppendText(pos, m_Doc.size());
        return std::move(m_Out);
    }

  private:
    struct OpenElement {
        std::string m_Name;
        bool m_Foreign;  // SVG or MathML: none of the HTML rules apply
        bool m_Wrapping; // a div opened here holds a run of inline content
    };
    // Deeper than any tree our printer writes; an element past it is only not tracked.
    static constexpr size_t MAX_OPEN = 4096;
    // How far below the top an end tag looks for its element (a printed document needs none).
    static constexpr size_t END_TAG_REACH = 16;

    OpenElement* Top() { return m_Open.empty() ? nullptr : &m_Open.back(); }

    bool WrapsInline(const OpenElement* top) const
    {
        return top != nullptr && !top->m_Foreign && IsBlockOnlyContainer(top->m_Name);
    }

    void AppendText(size_t from, size_t to)
    {
        OpenElement* top = Top();
        if (from < to && WrapsInline(top) && !top->m_Wrapping) {
            size_t first = from;
            while (first < to && IsMarkupSpace(m_Doc[first]))
                ++first;
            if (first < to) {
                m_Out.append(m_Doc, from, first - from);
                m_Out += "<div>";
                top->m_Wrapping = true;
                from = first;
            }
        }
        m_Out.append(m_Doc, from, to - from);
    }

    std::string LowerName(size_t at, size_t end) const
    {
        std::string name;
        for (size_t i = at; i < end && !IsMarkupSpace(m_Doc[i]) && m_Doc[i] != '/' && m_Doc[i] != '>'; ++i)
            name += AsciiLower(m_Doc[i]);
        return name;
    }

    // Returns where the text goes on.
    size_t StartTag(size_t begin, size_t end)
    {
        const std::string name = LowerName(begin + 1, end);
        const bool selfClosed = m_Doc[end - 2] == '/';
        OpenElement* top = Top();
        const bool foreign =
            m_SvgImage || (top != nullptr && top->m_Foreign) || name == "svg" || name == "math";
        // EPUB 2 reading systems run no scripts, and epubcheck refuses a document that has one.
        if (name == "script" && !m_SvgImage) {
            size_t after = end;
            if (!selfClosed) {
                size_t close = FindNoCase(m_Doc, "</script", end, m_Doc.size());
                after = close == std::string::npos ? m_Doc.size() : EndAfter(m_Doc, close, ">");
            }
            return m_Doc.compare(after, 2, "\r\n") == 0 ? after + 2 : after;
        }
        const char* equivalent = foreign ? nullptr : Xhtml11Equivalent(name);
        if (WrapsInline(top)) {
            if (!top->m_Wrapping && IsXhtml11Inline(name, equivalent)) {
                m_Out += "<div>";
                top->m_Wrapping = true;
            } else if (top->m_Wrapping && IsXhtml11Block(name, equivalent)) {
                m_Out += "</div>\r\n";
                top->m_Wrapping = false;
            }
        }
        AppendTag(begin, end, name, equivalent, top != nullptr && top->m_Name == "head", foreign);
        if (!selfClosed && m_Open.size() < MAX_OPEN) m_Open.push_back({name, foreign, false});
        if ((name == "style" || name == "script") && !selfClosed) {
            size_t close = FindNoCase(m_Doc, "</" + name, end, m_Doc.size());
            size_t pos = close == std::string::npos ? m_Doc.size() : close;
            m_Out.append(m_Doc, end, pos - end);
            return pos;
        }
        return end;
    }

    size_t EndTag(size_t begin, size_t end)
    {
        const std::string name = LowerName(begin + 2, end);
        size_t found = m_Open.size();
        for (size_t i = m_Open.size(); i > 0 && m_Open.size() - i < END_TAG_REACH; --i)
            if (m_Open[i - 1].m_Name == name) {
                found = i - 1;
                break;
            }
        bool foreign = m_SvgImage || (!m_Open.empty() && m_Open.back().m_Foreign);
        if (found < m_Open.size()) {
            foreign = m_Open[found].m_Foreign;
            for (size_t i = m_Open.size(); i > found; --i)
                if (m_Open[i - 1].m_Wrapping) m_Out += "</div>\r\n";
            m_Open.resize(found);
        }
        const char* equivalent = foreign ? nullptr : Xhtml11Equivalent(name);
        if (equivalent == nullptr) {
            m_Out.append(m_Doc, begin, end - begin);
        } else {
            m_Out += "</";
            m_Out += equivalent;
            m_Out.append(m_Doc, begin + 2 + name.size(), end - begin - 2 - name.size());
        }
        return end;
    }

    std::string_view LowerAttributeName(const AttributeSpan& a)
    {
        m_AttributeName.assign(m_Doc, a.m_NameBegin, a.m_NameEnd - a.m_NameBegin);
        for (char& c : m_AttributeName)
            c = AsciiLower(c);
        return m_AttributeName;
    }

    enum class Fate { Keep, Drop, Class, Style };

    // Appends the start tag [begin, end) written for XHTML 1.1; ids, classes and every attribute
    // XHTML 1.1 knows stay as they are, so links and styles still work. A tag that needs nothing
    // is copied.
    void AppendTag(size_t begin, size_t end, const std::string& name, const char* equivalent, bool inHead,
                   bool foreign)
    {
        const size_t nameEnd = begin + 1 + name.size();
        const size_t tail = SplitAttributes(m_Doc, nameEnd, end, m_Spans);
        const bool restricted = !foreign && equivalent == nullptr && IsRestrictedElement(name, inHead);
        const bool mergeable = !foreign && !restricted;
        m_Fates.assign(m_Spans.size(), Fate::Keep);
        bool changed = equivalent != nullptr, hidden = false, hasClass = false, hasStyle = false,
             hasType = false, hasAlt = false;
        std::string look = equivalent != nullptr && Xhtml11Look(name) != nullptr ? Xhtml11Look(name) : "";
        m_EpubTypes.clear();
        for (size_t i = 0; i < m_Spans.size(); ++i) {
            const AttributeSpan& a = m_Spans[i];
            const std::string_view attribute = LowerAttributeName(a);
            Fate& fate = m_Fates[i];
            if (attribute == "xmlns" || StartsWithView(attribute, "xmlns:")) continue;
            if (mergeable && attribute == "class") {
                fate = Fate::Class;
                hasClass = true;
            } else if (mergeable && attribute == "style") {
                fate = Fate::Style;
                hasStyle = true;
            } else if (mergeable && attribute == "hidden") {
                fate = Fate::Drop;
                hidden = true;
            } else if (mergeable && attribute == "epub:type") {
                fate = Fate::Drop;
                if (a.m_ValueEnd > a.m_ValueBegin) {
                    if (!m_EpubTypes.empty()) m_EpubTypes += ' ';
                    AppendQuoted(m_Doc, a.m_ValueBegin, a.m_ValueEnd, '"', m_EpubTypes);
                }
            } else if (restricted) {
                if (!RestrictedElementAllows(name, attribute)) fate = Fate::Drop;
                hasType = hasType || attribute == "type";
            } else if (equivalent != nullptr) {
                if (!IsCommonAttribute(attribute)) fate = Fate::Drop;
            } else if (!foreign && name == "ol" && attribute == "type") {
                fate = Fate::Drop;
                look = ListStyleOf(m_Doc.substr(a.m_ValueBegin, a.m_ValueEnd - a.m_ValueBegin));
            } else if (IsHtml5OnlyAttribute(attribute, foreign) ||
                       (!foreign && IsMisplacedFocusAttribute(name, attribute))) {
                fate = Fate::Drop;
            }
            hasAlt = hasAlt || attribute == "alt";
            changed = changed || fate == Fate::Drop;
        }
        // HTML5 lets an image go without a text; XHTML 1.1 requires one, if empty.
        const bool addAlt = !foreign && name == "img" && !hasAlt;
        // HTML5 takes a style sheet without a type as CSS; XHTML 1.1 requires the type.
        const bool addType = restricted && name == "style" && !hasType;
        changed = changed || addType || addAlt;
        if (!changed) {
            m_Out.append(m_Doc, begin, end - begin);
            return;
        }
        // Classes: the old element's name, the element's own, then its EPUB 3 semantics.
        const std::string before = equivalent != nullptr ? name : "";
        const std::string& after = m_EpubTypes;
        const std::string hiddenAfter = hidden ? "display:none" : "";
        m_Out += '<';
        if (equivalent != nullptr)
            m_Out += equivalent;
        else
            m_Out.append(m_Doc, begin + 1, name.size());
        for (size_t i = 0; i < m_Spans.size(); ++i) {
            const AttributeSpan& a = m_Spans[i];
            switch (m_Fates[i]) {
            case Fate::Keep:
                m_Out.append(m_Doc, a.m_Begin, a.m_End - a.m_Begin);
                break;
            case Fate::Drop:
                break;
            case Fate::Class:
                AppendMerged(a, before, after, ' ');
                break;
            case Fate::Style:
                AppendMerged(a, look, hiddenAfter, ';');
                break;
            }
        }
        if (!hasClass && (!before.empty() || !after.empty()))
            m_Out += " class=\"" + before + (!before.empty() && !after.empty() ? " " : "") + after + "\"";
        if (!hasStyle && (!look.empty() || hidden))
            m_Out += " style=\"" + look + (!look.empty() && hidden ? ";" : "") + hiddenAfter + "\"";
        if (addType) m_Out += " type=\"text/css\"";
        if (addAlt) m_Out += " alt=\"\"";
        m_Out.append(m_Doc, tail, end - tail);
    }

    // The attribute with words put before and after its value, each joined to the next by the
    // separator (a blank between classes, ";" between declarations, not doubled).
    void AppendMerged(const AttributeSpan& a, const std::string& before, const std::string& after,
                      char separator)
    {
        if (before.empty() && after.empty()) {
            m_Out.append(m_Doc, a.m_Begin, a.m_End - a.m_Begin);
            return;
        }
        const char quote = a.m_Quote != 0 ? a.m_Quote : '"';
        size_t valueEnd = a.m_ValueEnd;
        while (valueEnd > a.m_ValueBegin && IsMarkupSpace(m_Doc[valueEnd - 1]))
            --valueEnd;
        m_Out.append(m_Doc, a.m_Begin, a.m_NameEnd - a.m_Begin);
        m_Out += '=';
        m_Out += quote;
        const size_t valueStart = m_Out.size();
        auto join = [&](const std::string& text, size_t from, size_t to) {
            if (from >= to) return;
            if (m_Out.size() > valueStart && m_Out.back() != separator) m_Out += separator;
            AppendQuoted(text, from, to, quote, m_Out);
        };
        join(before, 0, before.size());
        join(m_Doc, a.m_ValueBegin, valueEnd);
        join(after, 0, after.size());
        m_Out += quote;
    }

    const std::string& m_Doc;
    const bool m_SvgImage;
    std::string m_Out;
    std::vector<OpenElement> m_Open;
    std::vector<AttributeSpan> m_Spans; // of the tag being written, kept for their room
    std::vector<Fate> m_Fates;
    std::string m_AttributeName;
    std::string m_EpubTypes;
};

} // namespace

void MakeEpub2Document(std::string& document)
{
    SetXhtml11Doctype(document);
    ReplaceCharsetMeta(document);
    document = CEpub2Markup(document, false).Run();
}

void MakeEpub2Svg(std::string& image)
{
    image = CEpub2Markup(image, true).Run();
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

std::string MetadataLines(const MetaDataMap& metadata, const MetadataForm& form, const SortNames& sortNames)
{
    std::vector<std::string> lines;
    CMetadataWriter writer(form, lines);
    for (const auto& [key, values] : metadata)
        if (!IsInternalKey(key)) AppendMetadataLines(key, values, sortNames, writer);
    return JoinLines(lines);
}

std::string CEpubBase::BuildOpf(const CIntermediateBook& book)
{
    std::string metadata = MetadataLines(book.m_MetaData, MetadataForm(), book.m_SortNames);
    // EPUB 2 has no series nor title sort form; EPUB 2 reading systems know them by these metas.
    if (!book.m_TitleSort.empty() && book.m_MetaData.count("calibre:title_sort") == 0)
        metadata +=
            ElementLine("meta", {{"name", "calibre:title_sort"}, {"content", book.m_TitleSort}}, "") + CRLF;
    if (!book.m_Series.empty() && book.m_MetaData.count("calibre:series") == 0) {
        metadata += ElementLine("meta", {{"name", "calibre:series"}, {"content", book.m_Series}}, "") + CRLF;
        if (!book.m_SeriesIndex.empty())
            metadata +=
                ElementLine("meta", {{"name", "calibre:series_index"}, {"content", book.m_SeriesIndex}}, "") +
                CRLF;
    }
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
        items.push_back("        <item href=\"" + XmlEscape(m_HrefPrefix + href) + "\" id=\"" + id +
                        "\" media-type=\"application/xhtml+xml\"/>");
    }
    for (const std::string& href : book.m_ResourceList) {
        std::string id = "id_" + std::to_string(++n);
        if (m_HasCover && href == m_CoverImagePath) id = m_CoverImageId;
        items.push_back("        <item href=\"" + XmlEscape(m_HrefPrefix + href) + "\" id=\"" + id +
                        "\" media-type=\"" + MediaTypeOf(href) + "\"/>");
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
    opf += "   <manifest>\r\n" + JoinLines(items) + "        <item href=\"" + XmlEscape(m_HrefPrefix) +
           "toc.ncx\" id=\"ncx\" media-type=\"application/x-dtbncx+xml\"/>\r\n";
    opf += "   </manifest>\r\n";
    const bool rightToLeft = m_RightToLeft || book.m_RightToLeft;
    opf += std::string("   <spine ") + (rightToLeft ? "page-progression-direction=\"rtl\" " : "") +
           "toc = \"ncx\">\r\n";
    opf += JoinLines(itemrefs) + "   </spine>\r\n";
    if (!book.m_GuideItems.empty()) {
        opf += "   <guide>\r\n";
        for (const GuideItem& g : book.m_GuideItems)
            opf += "        <reference type=\"" + XmlEscape(g.m_Type) + "\" title=\"" + XmlEscape(g.m_Title) +
                   "\" href=\"" + XmlEscape(m_HrefPrefix + g.m_Href) + "\" />\r\n";
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
