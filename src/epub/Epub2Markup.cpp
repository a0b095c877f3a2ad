// Documents written for EPUB 2: XHTML 1.1's doctype and charset, and HTML5's elements and
// attributes turned into what XHTML 1.1 knows.
#include "epub/Epub.h"

#include "base/AsciiClass.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "ebook/MarkupScanner.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

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
    std::string out;
    size_t copied = 0;
    CMarkupScanner scanner(document);
    MarkupToken tag;
    while (scanner.Next(tag) && tag.m_Span.m_End <= headEnd) {
        if (tag.m_Kind != MarkupKind::StartTag || !EqualsNoCase(scanner.Text(tag.m_Inner), "meta")) continue;
        const bool charset =
            std::any_of(tag.m_Attributes.begin(), tag.m_Attributes.end(), [&](const MarkupAttribute& a) {
                return a.m_HasValue && EqualsNoCase(scanner.Text(a.m_Name), "charset");
            });
        if (!charset) continue;
        out.append(document, copied, tag.m_Span.m_Begin - copied);
        if (!hasContentType) out += CONTENT_TYPE_META;
        hasContentType = true;
        copied = tag.m_Span.m_End;
    }
    if (copied == 0) return;
    out.append(document, copied, std::string::npos);
    document = std::move(out);
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
        // Names as XML writes them: "<nav<" is no nav.
        CMarkupScanner scanner(m_Doc, {"script", "style"}, CMarkupScanner::TagNames::ToBlank);
        MarkupToken token;
        while (scanner.Next(token)) {
            const MarkupSpan& span = token.m_Span;
            const bool dropping = m_DroppingScript;
            m_DroppingScript = false;
            if (token.m_Kind == MarkupKind::Text || token.m_Kind == MarkupKind::Bogus) {
                // A dropped script takes the line end after it along.
                const bool lineEnd = m_DropLineEnd && m_Doc.compare(span.m_Begin, 2, "\r\n") == 0;
                AppendText(span.m_Begin + (lineEnd ? 2 : 0), span.m_End);
            } else if (dropping && token.m_Kind == MarkupKind::RawText) {
                m_DroppingScript = true;
            } else if (dropping && token.m_Kind == MarkupKind::EndTag) {
                m_DropLineEnd = true;
                continue;
            } else if (token.m_Kind == MarkupKind::StartTag && !token.m_Unterminated) {
                StartTag(scanner, token);
                continue;
            } else if (token.m_Kind == MarkupKind::EndTag && !token.m_Unterminated) {
                EndTag(scanner, token);
            } else {
                // A tag left open runs to the end of the text: no later tag can close either.
                m_Out.append(m_Doc, span.m_Begin, span.Size());
            }
            m_DropLineEnd = false;
        }
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
            while (first < to && IsXmlSpace(m_Doc[first]))
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

    void StartTag(const CMarkupScanner& scanner, const MarkupToken& token)
    {
        const std::string name = ToLowerCopy(scanner.Text(token.m_Inner));
        const bool selfClosed = token.m_SelfClosing;
        OpenElement* top = Top();
        const bool foreign =
            m_SvgImage || (top != nullptr && top->m_Foreign) || name == "svg" || name == "math";
        m_DropLineEnd = false;
        // EPUB 2 reading systems run no scripts, and epubcheck refuses a document that has one.
        if (name == "script" && !m_SvgImage) {
            (selfClosed ? m_DropLineEnd : m_DroppingScript) = true;
            return;
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
        AppendTag(token, name, equivalent, top != nullptr && top->m_Name == "head", foreign);
        if (!selfClosed && m_Open.size() < MAX_OPEN) m_Open.push_back({name, foreign, false});
    }

    void EndTag(const CMarkupScanner& scanner, const MarkupToken& token)
    {
        const size_t begin = token.m_Span.m_Begin, end = token.m_Span.m_End;
        const std::string name = ToLowerCopy(scanner.Text(token.m_Inner));
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
    }

    std::string_view LowerAttributeName(const MarkupAttribute& a)
    {
        m_AttributeName.assign(m_Doc, a.m_Name.m_Begin, a.m_Name.Size());
        for (char& c : m_AttributeName)
            c = AsciiLower(c);
        return m_AttributeName;
    }

    enum class Fate { Keep, Drop, Class, Style };

    // What becomes of a start tag's attributes, and what it gains.
    struct TagPlan {
        bool m_Changed = false, m_Hidden = false, m_HasClass = false, m_HasStyle = false;
        bool m_AddType = false, m_AddAlt = false;
        std::string m_Look; // declarations the old element's look stands for
    };

    // Sets m_Fates (and m_EpubTypes) for the attributes of a start tag.
    TagPlan PlanAttributes(const std::vector<MarkupAttribute>& attributes, const std::string& name,
                           const char* equivalent, bool restricted, bool foreign)
    {
        const bool mergeable = !foreign && !restricted;
        TagPlan plan;
        plan.m_Changed = equivalent != nullptr;
        bool hasType = false, hasAlt = false;
        if (equivalent != nullptr && Xhtml11Look(name) != nullptr) plan.m_Look = Xhtml11Look(name);
        m_Fates.assign(attributes.size(), Fate::Keep);
        m_EpubTypes.clear();
        for (size_t i = 0; i < attributes.size(); ++i) {
            const MarkupAttribute& a = attributes[i];
            const std::string_view attribute = LowerAttributeName(a);
            Fate& fate = m_Fates[i];
            if (attribute == "xmlns" || StartsWithView(attribute, "xmlns:")) continue;
            if (mergeable && attribute == "class") {
                fate = Fate::Class;
                plan.m_HasClass = true;
            } else if (mergeable && attribute == "style") {
                fate = Fate::Style;
                plan.m_HasStyle = true;
            } else if (mergeable && attribute == "hidden") {
                fate = Fate::Drop;
                plan.m_Hidden = true;
            } else if (mergeable && attribute == "epub:type") {
                fate = Fate::Drop;
                if (!a.m_Value.Empty()) {
                    if (!m_EpubTypes.empty()) m_EpubTypes += ' ';
                    AppendQuoted(m_Doc, a.m_Value.m_Begin, a.m_Value.m_End, '"', m_EpubTypes);
                }
            } else if (restricted) {
                if (!RestrictedElementAllows(name, attribute)) fate = Fate::Drop;
                hasType = hasType || attribute == "type";
            } else if (equivalent != nullptr) {
                if (!IsCommonAttribute(attribute)) fate = Fate::Drop;
            } else if (!foreign && name == "ol" && attribute == "type") {
                fate = Fate::Drop;
                plan.m_Look = ListStyleOf(m_Doc.substr(a.m_Value.m_Begin, a.m_Value.Size()));
            } else if (IsHtml5OnlyAttribute(attribute, foreign) ||
                       (!foreign && IsMisplacedFocusAttribute(name, attribute))) {
                fate = Fate::Drop;
            }
            hasAlt = hasAlt || attribute == "alt";
            plan.m_Changed = plan.m_Changed || fate == Fate::Drop;
        }
        // HTML5 lets an image go without a text; XHTML 1.1 requires one, if empty.
        plan.m_AddAlt = !foreign && name == "img" && !hasAlt;
        // HTML5 takes a style sheet without a type as CSS; XHTML 1.1 requires the type.
        plan.m_AddType = restricted && name == "style" && !hasType;
        plan.m_Changed = plan.m_Changed || plan.m_AddType || plan.m_AddAlt;
        return plan;
    }

    // Appends the start tag written for XHTML 1.1; ids, classes and every attribute XHTML 1.1
    // knows stay as they are, so links and styles still work. A tag that needs nothing is copied.
    void AppendTag(const MarkupToken& token, const std::string& name, const char* equivalent, bool inHead,
                   bool foreign)
    {
        const size_t begin = token.m_Span.m_Begin, end = token.m_Span.m_End;
        const std::vector<MarkupAttribute>& attributes = token.m_Attributes;
        // The tail: "/>" or ">" with the blanks before it.
        const size_t tail = attributes.empty() ? token.m_Inner.m_End : attributes.back().m_End;
        const bool restricted = !foreign && equivalent == nullptr && IsRestrictedElement(name, inHead);
        const TagPlan plan = PlanAttributes(attributes, name, equivalent, restricted, foreign);
        if (!plan.m_Changed) {
            m_Out.append(m_Doc, begin, end - begin);
            return;
        }
        // Classes: the old element's name, the element's own, then its EPUB 3 semantics.
        const std::string before = equivalent != nullptr ? name : "";
        const std::string& after = m_EpubTypes;
        const std::string hiddenAfter = plan.m_Hidden ? "display:none" : "";
        const std::string& look = plan.m_Look;
        m_Out += '<';
        if (equivalent != nullptr)
            m_Out += equivalent;
        else
            m_Out.append(m_Doc, begin + 1, name.size());
        size_t copied = token.m_Inner.m_End;
        for (size_t i = 0; i < attributes.size(); ++i) {
            const MarkupAttribute& a = attributes[i];
            // Whatever stands between attributes besides blanks (a stray "/") stays.
            m_Out.append(m_Doc, copied, a.m_Begin - std::min(copied, a.m_Begin));
            copied = a.m_End;
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
        if (!plan.m_HasClass && (!before.empty() || !after.empty()))
            m_Out += " class=\"" + before + (!before.empty() && !after.empty() ? " " : "") + after + "\"";
        if (!plan.m_HasStyle && (!look.empty() || plan.m_Hidden))
            m_Out += " style=\"" + look + (!look.empty() && plan.m_Hidden ? ";" : "") + hiddenAfter + "\"";
        if (plan.m_AddType) m_Out += " type=\"text/css\"";
        if (plan.m_AddAlt) m_Out += " alt=\"\"";
        m_Out.append(m_Doc, tail, end - tail);
    }

    // The attribute with words put before and after its value, each joined to the next by the
    // separator (a blank between classes, ";" between declarations, not doubled).
    void AppendMerged(const MarkupAttribute& a, const std::string& before, const std::string& after,
                      char separator)
    {
        if (before.empty() && after.empty()) {
            m_Out.append(m_Doc, a.m_Begin, a.m_End - a.m_Begin);
            return;
        }
        const char quote = a.m_Quote != 0 ? a.m_Quote : '"';
        size_t valueEnd = a.m_Value.m_End;
        while (valueEnd > a.m_Value.m_Begin && IsXmlSpace(m_Doc[valueEnd - 1]))
            --valueEnd;
        m_Out.append(m_Doc, a.m_Begin, a.m_Name.m_End - a.m_Begin);
        m_Out += '=';
        m_Out += quote;
        const size_t valueStart = m_Out.size();
        auto join = [&](const std::string& text, size_t from, size_t to) {
            if (from >= to) return;
            if (m_Out.size() > valueStart && m_Out.back() != separator) m_Out += separator;
            AppendQuoted(text, from, to, quote, m_Out);
        };
        join(before, 0, before.size());
        join(m_Doc, a.m_Value.m_Begin, valueEnd);
        join(after, 0, after.size());
        m_Out += quote;
    }

    const std::string& m_Doc;
    const bool m_SvgImage;
    std::string m_Out;
    std::vector<OpenElement> m_Open;
    std::vector<Fate> m_Fates;
    std::string m_AttributeName;
    std::string m_EpubTypes;
    bool m_DroppingScript = false; // the tokens up to a dropped script's end tag go too
    bool m_DropLineEnd = false;    // a line end right here goes with the script before it
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
