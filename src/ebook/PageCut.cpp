// The nesting model: a lexical estimate of how deep the HTML library will nest a page, used to
// flatten nesting it could not survive and to find where a large page may be cut into pieces.
#include "ebook/PageCut.h"

#include "base/AsciiClass.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>

namespace
{

bool OneOf(const std::string& name, std::initializer_list<const char*> names)
{
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

enum ElementClass : uint32_t {
    VOID_ELEMENT = 1,   // never has content, so opens no level
    RAW_TEXT = 2,       // content may be read as raw text: end tags inside never count as pops
    SCOPE_BOUNDARY = 4, // an implied end tag does not reach across it
    CLOSES_PARAGRAPH = 8,
    // Kept by the library wherever its start tag appears in a body. Only such an element may be
    // closed by an end tag from below other open elements: one the library dropped, closed that
    // way, would take real levels with it and leave the estimate short.
    TRUSTED = 16,
    DISCARDING = 32, // drops or moves what it does not expect as content
    INLINE = 64,
};

// One lookup per tag: the model asks several questions of every name.
uint32_t Classify(const std::string& name)
{
    static const std::unordered_map<std::string, uint32_t> classes = [] {
        std::unordered_map<std::string, uint32_t> map;
        auto add = [&map](uint32_t flag, std::initializer_list<const char*> names) {
            for (const char* n : names)
                map[n] |= flag;
        };
        add(VOID_ELEMENT, {"area",   "base",  "basefont", "bgsound", "br",      "col",    "command", "embed",
                           "frame",  "hr",    "img",      "input",   "isindex", "keygen", "link",    "meta",
                           "nextid", "param", "source",   "spacer",  "track",   "wbr"});
        add(RAW_TEXT, {"script", "style", "textarea", "title", "xmp", "plaintext", "listing", "noframes",
                       "noembed", "iframe"});
        add(SCOPE_BOUNDARY, {"html", "table", "td", "th", "caption", "object", "applet", "marquee", "button",
                             "template", "select", "svg", "math"});
        add(CLOSES_PARAGRAPH,
            {"address", "article", "aside",    "blockquote", "center", "dd",     "details", "dir",  "div",
             "dl",      "dt",      "fieldset", "figcaption", "figure", "footer", "form",    "h1",   "h2",
             "h3",      "h4",      "h5",       "h6",         "header", "hr",     "li",      "menu", "nav",
             "ol",      "p",       "pre",      "section",    "table",  "ul"});
        add(TRUSTED,
            {"a",      "abbr",   "acronym", "address", "article", "aside",   "b",     "big",  "blockquote",
             "center", "cite",   "code",    "dd",      "del",     "dfn",     "div",   "dl",   "dt",
             "em",     "figure", "font",    "footer",  "h1",      "h2",      "h3",    "h4",   "h5",
             "h6",     "header", "i",       "ins",     "kbd",     "li",      "nav",   "ol",   "p",
             "pre",    "q",      "s",       "samp",    "script",  "section", "small", "span", "strike",
             "strong", "style",  "sub",     "sup",     "table",   "td",      "th",    "tr",   "tt",
             "u",      "ul",     "var"});
        add(DISCARDING, {"select", "optgroup", "option",   "table",  "tbody", "thead", "tfoot",
                         "tr",     "colgroup", "frameset", "head",   "html",  "ul",    "ol",
                         "dl",     "map",      "object",   "applet", "svg",   "math"});
        add(INLINE, {"a",    "abbr",   "acronym", "b",   "big", "cite", "code", "del",  "dfn",
                     "em",   "font",   "i",       "ins", "kbd", "q",    "s",    "samp", "small",
                     "span", "strike", "strong",  "sub", "sup", "tt",   "u",    "var"});
        return map;
    }();
    auto it = classes.find(name);
    return it != classes.end() ? it->second : 0;
}

// Names the library knows as elements; one it does not know it may drop, with what it holds.
bool IsKnownElement(const std::string& name)
{
    // Sorted, so that a lookup is a binary search and the table needs no memory of its own.
    static const char* const known[] = {
        "a",         "abbr",     "acronym",    "address",  "align",    "applet",     "area",    "article",
        "aside",     "audio",    "b",          "base",     "basefont", "bdi",        "bdo",     "bgsound",
        "big",       "blink",    "blockquote", "body",     "br",       "button",     "canvas",  "caption",
        "center",    "cite",     "code",       "col",      "colgroup", "command",    "comment", "data",
        "datalist",  "dd",       "del",        "details",  "dfn",      "dialog",     "dir",     "div",
        "dl",        "dt",       "em",         "embed",    "fieldset", "figcaption", "figure",  "font",
        "footer",    "form",     "frame",      "frameset", "h1",       "h2",         "h3",      "h4",
        "h5",        "h6",       "head",       "header",   "hgroup",   "hr",         "html",    "i",
        "iframe",    "ilayer",   "img",        "input",    "ins",      "isindex",    "kbd",     "keygen",
        "label",     "layer",    "legend",     "li",       "link",     "listing",    "main",    "map",
        "mark",      "marquee",  "math",       "menu",     "menuitem", "meta",       "meter",   "multicol",
        "nav",       "nextid",   "nobr",       "noembed",  "noframes", "nolayer",    "nosave",  "noscript",
        "object",    "ol",       "optgroup",   "option",   "output",   "p",          "param",   "picture",
        "plaintext", "pre",      "progress",   "q",        "rb",       "rbc",        "rp",      "rt",
        "rtc",       "ruby",     "s",          "samp",     "script",   "search",     "section", "select",
        "server",    "servlet",  "slot",       "small",    "source",   "spacer",     "span",    "strike",
        "strong",    "style",    "sub",        "summary",  "sup",      "svg",        "table",   "tbody",
        "td",        "template", "textarea",   "tfoot",    "th",       "thead",      "time",    "title",
        "tr",        "track",    "tt",         "u",        "ul",       "var",        "video",   "wbr",
        "xmp"};
    return std::binary_search(std::begin(known), std::end(known), name, [](const auto& a, const auto& b) {
        return std::string_view(a) < std::string_view(b);
    });
}

bool IsVoidElement(const std::string& name)
{
    return (Classify(name) & VOID_ELEMENT) != 0;
}

bool IsRawTextElement(const std::string& name)
{
    return (Classify(name) & RAW_TEXT) != 0;
}

bool IsScopeBoundary(const std::string& name)
{
    return (Classify(name) & SCOPE_BOUNDARY) != 0;
}

bool ClosesParagraph(const std::string& name)
{
    return (Classify(name) & CLOSES_PARAGRAPH) != 0;
}

bool IsTrustedElement(const std::string& name)
{
    return (Classify(name) & TRUSTED) != 0;
}

bool IsDiscardingContext(const std::string& name)
{
    return (Classify(name) & DISCARDING) != 0;
}

// Open-element model of the text: an estimate of the library's tree depth that errs on the deep
// side. Start tags always count, also where the library may read them as text (comments, quoted
// values, script); such "phantom" levels can be popped only as the innermost element.
class CNestingModel
{
  public:
    CNestingModel(const std::string& text, size_t limit)
        : m_Text(text), m_Limit(limit), m_InlineLimit(std::min<size_t>(limit, INLINE_LIMIT))
    {
    }

    // Also notes where the page may be cut into pieces of at least pieceBytes (see FindPageCuts).
    void FindPieces(size_t pieceBytes) { m_PieceBytes = pieceBytes; }

    bool Run(std::string& out)
    {
        Scan();
        if (m_Cuts.empty()) return false;
        const std::string& t = m_Text;
        out.clear();
        out.reserve(t.size());
        size_t from = 0;
        for (const auto& cut : m_Cuts) {
            if (cut.first < from || cut.second > t.size()) continue;
            out.append(t, from, cut.first - from);
            from = cut.second;
        }
        out.append(t, from, std::string::npos);
        return true;
    }

    PageCuts PieceCuts() const { return m_PiecesSpoiled ? PageCuts{} : m_Pieces; }

    void Scan()
    {
        const std::string& t = m_Text;
        size_t i = 0;
        size_t textFrom = 0; // where the text since the last markup starts
        bool lessThan = false;
        while ((i = t.find('<', i)) != std::string::npos) {
            if (i + 1 >= t.size()) break;
            m_At = i;
            char next = t[i + 1];
            bool markup = IsAsciiLetter(next) || next == '!' || next == '?' ||
                          (next == '/' && i + 2 < t.size() && IsAsciiLetter(t[i + 2]));
            // The library reads "<%" and "<#" as the start of a server-side block that runs to its
            // end mark: the page ends there as far as pieces go.
            if (m_PieceBytes != 0 && !markup && (next == '%' || next == '#') && !m_PiecesEnded) {
                NoteText(textFrom, i);
                EndPieces();
            }
            NoteText(textFrom, markup ? i : i + 1);
            m_LessThanInText = markup ? lessThan : true;
            lessThan = !markup;
            if (markup) {
                m_AfterUnterminated = m_Unterminated;
                m_Unterminated = false;
            }
            if (IsAsciiLetter(next)) {
                i = StartTag(i);
            } else if (next == '/' && i + 2 < t.size() && IsAsciiLetter(t[i + 2])) {
                i = EndTag(i);
            } else if (t.compare(i, 4, "<!--") == 0) {
                i = Opaque(i + 4, t.find("-->", i + 4));
            } else if (t.compare(i, 9, "<![CDATA[") == 0) {
                i = Opaque(i + 9, t.find("]]>", i + 9));
            } else if (next == '!' || next == '?') {
                // The library moves a doctype or an XML declaration found in the body to the top.
                if (m_PieceBytes != 0 && m_Pieces.m_BodyStart != std::string::npos) m_PiecesSpoiled = true;
                m_DeclarationSeen = true;
                size_t end = t.find('>', i + 2);
                // The library ends an XML declaration at "?>" or at a ">" outside its quoted
                // values; unless both are its first ">", the page is not cut.
                if (m_PieceBytes != 0 && !m_PiecesSpoiled && t.compare(i, 5, "<?xml") == 0) {
                    bool closed = end != std::string::npos && t[end - 1] == '?';
                    if (!closed || DeclarationEnd(i + 5) != end) m_PiecesSpoiled = true;
                }
                i = Opaque(i + 2, end);
            } else {
                ++i;
            }
            // Opaque stops where the terminator of an end tag, comment or declaration starts; the
            // terminator (">", "-->" or "]]>") is no text.
            textFrom = i;
            size_t gt = markup && !IsAsciiLetter(next) ? t.find('>', i) : std::string::npos;
            if (gt != std::string::npos && gt < i + 3) textFrom = gt + 1;
        }
        NoteText(textFrom, t.size());
        if (!m_PiecesEnded) EndPieces();
        for (size_t k = m_Stack.size(); k > 0; --k)
            NoteWrapper(k - 1, m_Stack[k - 1], t.size());
    }

    // The start tags of the elements that hold most of the body, outermost first: a page cut
    // inside them repeats them at the start of every piece (see FindPageCuts).
    std::vector<PageCuts::Wrapper> Wrappers() const
    {
        std::vector<PageCuts::Wrapper> chain;
        if (m_ContentDepth == std::string::npos) return chain;
        const BigElement* outer = nullptr;
        for (size_t depth = m_ContentDepth;; ++depth) {
            auto it = std::find_if(m_Big.begin(), m_Big.end(), [&](const BigElement& e) {
                return e.depth == depth &&
                       (outer == nullptr || (e.from > outer->from && e.end <= outer->end));
            });
            if (it == m_Big.end()) return chain;
            outer = &*it;
            chain.push_back({it->from, it->to, it->name});
        }
    }

    // Cuts are made inside these elements only (all of them open, nothing else but html, head
    // and body).
    void CutInside(std::vector<PageCuts::Wrapper> wrappers) { m_Pieces.m_Wrappers = std::move(wrappers); }

  private:
    // The library keeps inline elements that a block's end tag closed implicitly (anchors aside),
    // and reopens them, nested, in every later block: each costs depth and, block by block, time.
    static constexpr size_t INLINE_LIMIT = 16;

    struct Entry {
        std::string name;
        bool trusted;
        bool inlineElement;
        size_t from = 0, to = 0; // the start tag of a real element
    };

    struct BigElement {
        size_t depth, from, to, end;
        std::string name;
    };

    // How an element leaves the stack other than by its own end tag decides whether the library
    // keeps it to reopen in later blocks.
    enum class Ended { ByOwnEndTag, ByEnclosingEndTag, ByBlockStart, ByHeadingStart };

    // An element that may wrap the page: a div, main, section or article holding half the body.
    void NoteWrapper(size_t depth, const Entry& entry, size_t end)
    {
        if (m_PieceBytes == 0 || entry.to == 0 || m_Pieces.m_BodyStart == std::string::npos) return;
        if (entry.from < m_Pieces.m_BodyStart || !OneOf(entry.name, {"div", "main", "section", "article"}))
            return;
        if (m_Text[entry.to - 1] != '>') return; // another tag cut it short: no piece could repeat it
        if (2 * (end - entry.from) < m_Text.size() - m_Pieces.m_BodyStart) return;
        m_Big.push_back({depth, entry.from, entry.to, end, entry.name});
    }

    size_t Depth() const { return m_Stack.size() + m_Pending; }

    // A name ended by anything but a blank, "/", ">" or "<" may be read as another name by the
    // library (one it drops, say): no later cut is trusted.
    std::string ReadName(size_t& i)
    {
        std::string name;
        while (i < m_Text.size() && IsMarkupNameChar(m_Text[i]))
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(m_Text[i++])));
        if (m_PieceBytes != 0 && i < m_Text.size() && !IsHtmlSpace(m_Text[i]) && m_Text[i] != '/' &&
            m_Text[i] != '>' && m_Text[i] != '<')
            m_BlocksMisplaced = true;
        return name;
    }

    // A real element's start tag spans [from, to); a phantom level has none.
    void Push(const std::string& name, bool real, size_t from = 0, size_t to = 0)
    {
        bool trusted = real && IsTrustedElement(name) &&
                       (m_Stack.empty() || OneOf(m_Stack.back().name, {"html", "head", "body"}) ||
                        (m_Stack.back().trusted && !IsDiscardingContext(m_Stack.back().name)) ||
                        (OneOf(name, {"tr", "td", "th"}) && OneOf(m_Stack.back().name, {"table", "tr"})) ||
                        (name == "li" && OneOf(m_Stack.back().name, {"ul", "ol"})) ||
                        (OneOf(name, {"dd", "dt"}) && m_Stack.back().name == "dl"));
        bool inlineElement = real && (Classify(name) & INLINE) != 0;
        if (trusted) m_Open[name].push_back(m_Stack.size());
        if (IsScopeBoundary(name)) m_Boundaries.push_back(m_Stack.size());
        if (inlineElement) ++m_OpenInline;
        m_Stack.push_back({real ? name : std::string(), trusted, inlineElement, from, to});
    }

    // An inline element closed by the end tag of an enclosing block stays pending.
    void Pop(Ended how = Ended::ByOwnEndTag)
    {
        const Entry& top = m_Stack.back();
        NoteWrapper(m_Stack.size() - 1, top, m_At);
        if (top.inlineElement) {
            --m_OpenInline;
            if (how == Ended::ByEnclosingEndTag && top.name != "a") ++m_Pending;
        }
        if (how != Ended::ByOwnEndTag) Carry(top, how);
        if (top.trusted) m_Open[top.name].pop_back();
        if (!m_Boundaries.empty() && m_Boundaries.back() == m_Stack.size() - 1) m_Boundaries.pop_back();
        m_Stack.pop_back();
    }

    // The innermost element always closes on its own end tag. Deeper, only a trusted element, and
    // only when no scope boundary lies above it (cells are no boundary for their row and table,
    // nor a caption for its table).
    // True when an element was closed.
    bool PopTo(const std::string& name)
    {
        if (m_Stack.empty()) return false;
        if (m_Stack.back().name == name) {
            Pop();
            return true;
        }
        auto it = m_Open.find(name);
        if (it == m_Open.end() || it->second.empty()) return false;
        size_t at = it->second.back();
        // Giving up after a few boundaries keeps the scan linear; not popping only errs deep.
        size_t checked = 0;
        for (size_t b = m_Boundaries.size(); b > 0 && m_Boundaries[b - 1] > at; --b) {
            const std::string& boundary = m_Stack[m_Boundaries[b - 1]].name;
            bool crossable = (name == "table" && OneOf(boundary, {"td", "th", "caption"})) ||
                             (name == "tr" && OneOf(boundary, {"td", "th"}));
            if (!crossable || ++checked > 64) return false;
        }
        // The library ended an element of running text (or a heading) when a block opened inside
        // it; that block is still open there, wherever the model closes it. A heading left open
        // takes the end tag of a div or center for its own, and the div stays open.
        bool check = m_PieceBytes != 0 && !m_BlocksMisplaced;
        bool textLevel = check && (MayBeCarried(name) || IsHeading(name) || OneOf(name, {"p", "dt"}));
        while (m_Stack.size() > at + 1) {
            const Entry& above = m_Stack.back();
            if (check) {
                bool block = Classify(above.name) != 0 && !MayBeCarried(above.name);
                // One of the same name that the model did not trust is what the library closes.
                if ((textLevel && block) || IsHeading(above.name) || KeptOpen(above.name) ||
                    above.name == name)
                    m_BlocksMisplaced = true;
            }
            Pop(Ended::ByEnclosingEndTag);
        }
        Pop();
        return true;
    }

    // A start tag that ends an open element of its kind: only across inline elements (and, for
    // list items, paragraphs), so that "<dl><dd><dl><dd>" still nests as the library nests it.
    void ImpliedClose(const std::string& name, bool acrossParagraphs)
    {
        auto it = m_Open.find(name);
        if (it == m_Open.end() || it->second.empty()) return;
        size_t at = it->second.back();
        if (m_Stack.size() - at > 64) return;
        for (size_t k = at + 1; k < m_Stack.size(); ++k) {
            const std::string& above = m_Stack[k].name;
            bool inlineElement = (Classify(above) & INLINE) != 0;
            if (!inlineElement && !(acrossParagraphs && above == "p")) return;
        }
        while (m_Stack.size() > at)
            Pop(IsHeading(m_StartName) ? Ended::ByHeadingStart : Ended::ByBlockStart);
    }

    static bool IsHeading(const std::string& name)
    {
        return name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6';
    }

    // Elements that the library may keep open across blocks: every element of running text,
    // including the ones this model has no class for. Names it does not know it drops.
    static bool MayBeCarried(const std::string& name)
    {
        return (Classify(name) & INLINE) != 0 ||
               OneOf(name, {"bdi", "bdo", "blink", "label", "legend", "mark", "marquee", "meter", "nobr",
                            "output", "picture", "progress", "rb", "rp", "rt", "ruby", "time"});
    }

    // Elements that the end tag of an element around them does not close in the library.
    static bool KeptOpen(const std::string& name)
    {
        return OneOf(name, {"applet", "audio", "button", "canvas", "datalist", "details", "dialog", "iframe",
                            "main", "map", "math", "menu", "noscript", "object", "select", "server", "svg",
                            "template", "video"});
    }

    // The library reopens an element of running text that it ended implicitly in every later
    // block until an end tag of its name (or another) takes it off its list. A block's start tag
    // drops an anchor instead, unless it is a heading's. Only counted while looking for pieces.
    void Carry(const Entry& entry, Ended how)
    {
        if (m_PieceBytes == 0 || entry.name.empty() || !MayBeCarried(entry.name)) return;
        if (entry.name == "a" && how == Ended::ByBlockStart) return;
        ++m_CarriedNames[entry.name];
        ++m_Carried;
    }

    // The position of the nearest trusted open element of either name, if any.
    bool NearestOpen(const char* a, const char* b, std::string& name) const
    {
        auto first = m_Open.find(a);
        auto second = m_Open.find(b);
        bool hasA = first != m_Open.end() && !first->second.empty();
        bool hasB = second != m_Open.end() && !second->second.empty();
        if (!hasA && !hasB) return false;
        name = !hasB || (hasA && first->second.back() > second->second.back()) ? a : b;
        return true;
    }

    // A cut replaces the cuts inside it, made while its own tag was scanned.
    void AddCut(size_t from, size_t to)
    {
        while (!m_Cuts.empty() && m_Cuts.back().first >= from)
            m_Cuts.pop_back();
        m_Cuts.emplace_back(from, to);
    }

    // The library moves head elements found in the body to the head, and a piece's head is not
    // printed; a second body or a frameset changes the whole page. No cut is made in such a page.
    // A page that opens with none of html, head, body or a head element (a part of a longer text,
    // say) is all body to the library.
    void CheckPiecesAt(const std::string& name, size_t end)
    {
        if (m_PieceBytes == 0 || m_PiecesSpoiled) return;
        bool headOrAbove =
            OneOf(name, {"base", "body", "frameset", "head", "html", "link", "meta", "style", "title"});
        if (m_Pieces.m_BodyStart == std::string::npos) {
            bool implied = !m_TagSeen && !headOrAbove;
            m_TagSeen = true;
            // Every piece repeats the text before the body; what the library puts in the body
            // from there would be repeated with it.
            if (!implied && !headOrAbove && name != "script") m_BodyBeforeBody = true;
            if (name != "body" && !implied) return;
            if (!implied && m_BodyBeforeBody) {
                m_PiecesSpoiled = true;
                return;
            }
            // A part of a longer text has no doctype or declaration.
            if (implied && m_DeclarationSeen) {
                m_PiecesSpoiled = true;
                return;
            }
            m_Pieces.m_BodyStart = implied ? 0 : end;
            m_ContentDepth = implied ? 0 : m_Stack.size() + 1;
            m_BodyImplied = implied;
            const std::vector<PageCuts::Wrapper>& wrappers = m_Pieces.m_Wrappers;
            m_LastPiece = wrappers.empty() ? m_Pieces.m_BodyStart : wrappers.back().m_To;
            m_ContainerStart = m_LastPiece;
            m_TextInContainer = implied && m_BodyBeforeBody;
            if (!implied) return;
        }
        if (headOrAbove) m_PiecesSpoiled = true;
        if (end > m_LastPiece) ++m_TagsInContainer;
    }

    // No cut after this point. The library drops the wrappers of a last piece with nothing in them.
    void EndPieces()
    {
        if (!m_TextInContainer && !m_Pieces.m_Cuts.empty()) m_Pieces.m_Cuts.pop_back();
        m_BlocksMisplaced = true;
        m_PiecesEnded = true;
    }

    // The library reads the XML declaration's values in quotes, where ">" does not end it.
    size_t DeclarationEnd(size_t from) const
    {
        const std::string& t = m_Text;
        for (size_t i = from; i < t.size(); ++i) {
            if (t[i] == '>') return i;
            if (t[i] != '=') continue;
            size_t v = i + 1;
            while (v < t.size() && IsHtmlSpace(t[v]))
                ++v;
            if (v < t.size() && (t[v] == '"' || t[v] == '\'')) {
                i = t.find(t[v], v + 1);
                if (i == std::string::npos) return i;
            }
        }
        return std::string::npos;
    }

    // Text before the body's start tag (outside the head's elements) opens the body there.
    // Text in the body's (or innermost wrapper's) content makes sure that the first piece has
    // the element or text that the library prints first there, and that the library keeps the
    // wrappers of every piece: no piece goes without.
    void NoteText(size_t from, size_t to)
    {
        if (m_PieceBytes == 0) return;
        bool inContainer = m_Pieces.m_BodyStart != std::string::npos;
        if (inContainer) {
            if (m_TextInContainer || to <= m_ContainerStart) return;
            from = std::max(from, m_ContainerStart);
        } else if (m_BodyBeforeBody) {
            return;
        }
        if (from == 0 && m_Text.compare(0, 3, "\xEF\xBB\xBF") == 0) from = std::min<size_t>(3, to);
        for (size_t k = from; k < to; ++k)
            if (!IsHtmlSpace(m_Text[k])) {
                (inContainer ? m_TextInContainer : m_BodyBeforeBody) = true;
                return;
            }
    }

    // Before a block that opens right in the body (or in its innermost wrapper), with nothing
    // open but html, head, body and the wrappers, the library holds no element that the text after
    // it could still add to. The first piece holds an element besides: how the start tag of the
    // block's parent prints depends on its first child.
    void NotePieceBoundary(size_t lt, const std::string& name)
    {
        if (m_PieceBytes == 0 || m_PiecesSpoiled || m_TagsInContainer < 2 || !m_TextInContainer) return;
        if (!ClosesParagraph(name) || lt < m_LastPiece + m_PieceBytes || m_Pending > 0) return;
        // The library puts list items found in the body into one list it opens for them.
        if (OneOf(name, {"li", "dd", "dt"})) return;
        // An element of running text the library would reopen in the block, or a block the model
        // closed too early, would be missing from the next piece.
        if (m_Carried > 0 || m_BlocksMisplaced) return;
        // A piece ending in a "<" of the text, or in a start tag that another tag cut short, ends
        // otherwise for the library.
        if (m_LessThanInText || m_AfterUnterminated) return;
        // Phantom levels (markup in comments, quoted values, script) do not count: the library
        // reads none of it as markup.
        const std::vector<PageCuts::Wrapper>& wrappers = m_Pieces.m_Wrappers;
        size_t wrapped = 0;
        bool inBody = m_BodyImplied;
        for (const Entry& entry : m_Stack) {
            if (entry.name.empty()) continue;
            if (inBody && wrapped < wrappers.size() && entry.from == wrappers[wrapped].m_From) {
                ++wrapped;
                continue;
            }
            if (wrapped > 0 || !OneOf(entry.name, {"html", "head", "body"})) return;
            inBody = entry.name == "body";
        }
        if (!inBody || wrapped != wrappers.size()) return;
        m_Pieces.m_Cuts.push_back(lt);
        m_LastPiece = lt;
        m_TextInContainer = false;
    }

    // A start tag the library may or may not read as one: it counts, as a phantom level.
    void CountOnly(size_t lt)
    {
        size_t i = lt + 1;
        std::string name = ReadName(i);
        if (IsVoidElement(name)) return;
        if (Depth() >= m_Limit) {
            AddCut(lt, lt + 1);
            return;
        }
        Push(name, false);
    }

    // Scans [from, end) for possible start tags and returns end.
    size_t Opaque(size_t from, size_t end)
    {
        size_t stop = end == std::string::npos ? m_Text.size() : end;
        for (size_t i = from; i + 1 < stop; ++i)
            if (m_Text[i] == '<' && IsAsciiLetter(m_Text[i + 1])) CountOnly(i);
        return stop;
    }

    // "/>" closes a tag for the library after its name, a blank or a value, not right after the
    // name of an attribute with no value.
    bool ClosesItself(size_t lt, size_t slash) const
    {
        const std::string& t = m_Text;
        size_t k = slash;
        while (k > lt && IsMarkupNameChar(t[k - 1]))
            --k;
        if (k == slash) return k > lt && (IsHtmlSpace(t[k - 1]) || t[k - 1] == '"' || t[k - 1] == '\'');
        return k == lt + 1 || t[k - 1] == '=';
    }

    size_t StartTag(size_t lt)
    {
        const std::string& t = m_Text;
        size_t i = lt + 1;
        std::string name = ReadName(i);
        if (m_PieceBytes != 0 && !IsKnownElement(name)) m_BlocksMisplaced = true;
        // The attribute area ends at ">" outside quotes, or where another tag begins.
        bool selfClosed = false;
        size_t end = t.size();
        while (i < t.size()) {
            char c = t[i];
            if (c == '>') {
                selfClosed = t[i - 1] == '/' && (m_PieceBytes == 0 || ClosesItself(lt, i - 1));
                end = i + 1;
                break;
            }
            if (c == '<') {
                end = i;
                break;
            }
            if (c == '=') {
                size_t v = i + 1;
                while (v < t.size() && IsHtmlSpace(t[v]))
                    ++v;
                if (v < t.size() && (t[v] == '"' || t[v] == '\'')) {
                    size_t close = t.find(t[v], v + 1);
                    // The library may end the value earlier and read the tag there.
                    auto valueEnd = close == std::string::npos ? t.end() : t.begin() + close;
                    if (m_PieceBytes != 0 && std::find(t.begin() + v + 1, valueEnd, '<') != valueEnd)
                        m_BlocksMisplaced = true;
                    // The library may decide a quote was never closed and read markup inside it.
                    i = Opaque(v + 1, close);
                    if (i < t.size()) ++i;
                    continue;
                }
            }
            ++i;
        }
        m_Unterminated = t[end - 1] != '>';
        // The library may take a start tag cut short and the tag after it for one piece of junk
        // and drop both; what is open after that is past the model's knowing.
        if (m_PieceBytes != 0 && m_Unterminated) m_BlocksMisplaced = true;
        CheckPiecesAt(name, end);
        if (selfClosed || IsVoidElement(name)) return end;
        m_StartName = name;
        if (name == "p" || ClosesParagraph(name)) ImpliedClose("p", false);
        if (name == "li") ImpliedClose("li", true);
        std::string open;
        if ((name == "dd" || name == "dt") && NearestOpen("dd", "dt", open)) ImpliedClose(open, true);
        if (name == "option" && !m_Stack.empty() && m_Stack.back().name == "option") Pop();
        if ((name == "td" || name == "th" || name == "tr") && NearestOpen("td", "th", open))
            ImpliedClose(open, true);
        if (name == "tr") ImpliedClose("tr", false);
        // The library makes a table for a part of a table found outside one, and may keep it open
        // past where this model would.
        if (m_PieceBytes != 0 &&
            OneOf(name, {"caption", "colgroup", "tbody", "td", "tfoot", "th", "thead", "tr"})) {
            auto table = m_Open.find("table");
            if (table == m_Open.end() || table->second.empty()) m_BlocksMisplaced = true;
        }
        NotePieceBoundary(lt, name);
        bool inlineElement = (Classify(name) & INLINE) != 0;
        if (Depth() >= m_Limit || (inlineElement && m_OpenInline + m_Pending >= m_InlineLimit)) {
            // A raw-text element goes whole: its content would otherwise turn into markup.
            size_t to = end;
            if (IsRawTextElement(name)) {
                size_t close = FindNoCase(t, "</" + name, end);
                size_t gt = close == std::string::npos ? std::string::npos : t.find('>', close);
                to = gt == std::string::npos ? t.size() : gt + 1;
            }
            AddCut(lt, to);
            return to;
        }
        Push(name, true, lt, end);
        if (IsRawTextElement(name)) return Opaque(end, FindNoCase(t, "</" + name, end));
        return end;
    }

    size_t EndTag(size_t lt)
    {
        size_t i = lt + 2;
        std::string name = ReadName(i);
        if (m_PieceBytes != 0 && !IsKnownElement(name)) m_BlocksMisplaced = true;
        // An end tag for an inline element that is no longer open ends one the library would reopen.
        bool open = !m_Stack.empty() && m_Stack.back().name == name;
        auto it = m_Open.find(name);
        if (!open && (it == m_Open.end() || it->second.empty()) && m_Pending > 0 &&
            (Classify(name) & INLINE) != 0)
            --m_Pending;
        bool closed = PopTo(name);
        // The library lets the end tag of any heading close the heading that is open.
        if (m_PieceBytes != 0 && !closed && IsHeading(name)) m_BlocksMisplaced = true;
        if (!closed && m_Carried > 0) {
            auto carried = m_CarriedNames.find(name);
            if (carried != m_CarriedNames.end() && carried->second > 0) {
                --carried->second;
                --m_Carried;
            }
        }
        // Whatever follows the name up to ">" is junk to the library; markup in it may still count.
        size_t gt = m_Text.find('>', i);
        // Where another tag starts in the junk, the library may read it otherwise.
        if (m_PieceBytes != 0 && m_Text.find('<', i) < std::min(gt, m_Text.size())) m_BlocksMisplaced = true;
        return Opaque(i, gt);
    }

    const std::string& m_Text;
    size_t m_Limit;
    size_t m_InlineLimit;
    size_t m_OpenInline = 0; // real inline elements on the stack
    size_t m_Pending = 0;    // inline elements closed implicitly, still to be reopened
    std::unordered_map<std::string, size_t> m_CarriedNames; // what Carry counted, by name
    size_t m_Carried = 0;
    bool m_BlocksMisplaced = false;   // no later cut is safe
    bool m_PiecesEnded = false;       // EndPieces was called
    std::string m_StartName;          // of the start tag being read
    bool m_LessThanInText = false;    // in the text just before the markup being read
    bool m_Unterminated = false;      // the last markup read is a start tag with no ">"
    bool m_AfterUnterminated = false; // so is the one before the markup being read
    std::vector<Entry> m_Stack;
    std::unordered_map<std::string, std::vector<size_t>> m_Open; // stack positions of trusted open names
    std::vector<size_t> m_Boundaries;                            // stack positions of scope boundaries
    std::vector<std::pair<size_t, size_t>> m_Cuts;               // [from, to) left out, in text order
    size_t m_PieceBytes = 0;                                     // 0: no pieces are looked for
    PageCuts m_Pieces;
    size_t m_LastPiece = 0;
    size_t m_TagsInContainer = 0; // start tags after the body's or innermost wrapper's, this one included
    bool m_PiecesSpoiled = false;
    bool m_TagSeen = false;
    bool m_BodyBeforeBody = false;  // text or a body element before the body's start tag
    size_t m_ContainerStart = 0;    // where the content of the body or innermost wrapper starts
    bool m_TextInContainer = false; // in that content since it or the last piece started
    bool m_DeclarationSeen = false; // a doctype, an XML declaration or another "<!" or "<?"
    bool m_BodyImplied = false;
    size_t m_ContentDepth = std::string::npos; // of the body's children
    size_t m_At = 0;                           // where the scan is
    std::vector<BigElement> m_Big;
};

} // namespace

bool IsInlineElementName(const std::string& name)
{
    return (Classify(name) & INLINE) != 0;
}

bool CapNesting(const std::string& text, size_t limit, std::string& out)
{
    CNestingModel model(text, limit);
    return model.Run(out);
}

PageCuts FindPageCuts(const std::string& text, size_t pieceBytes)
{
    if (text.find('\0') != std::string::npos) return {}; // the library reads up to the first NUL only
    // A UTF-16 byte order mark makes the library read the page so; the pieces after the first have none.
    if (text.compare(0, 2, "\xFE\xFF") == 0 || text.compare(0, 2, "\xFF\xFE") == 0) return {};
    CNestingModel model(text, CHtmlParse::TIDY_NESTING_LIMIT);
    model.FindPieces(pieceBytes);
    model.Scan();
    std::vector<PageCuts::Wrapper> wrappers = model.Wrappers();
    if (wrappers.empty()) return model.PieceCuts();
    // Only once the page is read is it known which elements wrap it; the cuts are looked for again.
    CNestingModel inside(text, CHtmlParse::TIDY_NESTING_LIMIT);
    inside.FindPieces(pieceBytes);
    inside.CutInside(std::move(wrappers));
    inside.Scan();
    return inside.PieceCuts();
}
