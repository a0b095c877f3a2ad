// Parsing through libtidy, the nesting guard in front of it, and our XHTML printers.
#include "ebook/HtmlParse.h"

#include "base/Platform.h"
#include "base/RunLog.h"

#include <tidy/tidybuffio.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>

// Every block the library allocates for one document, linked so that all of them can be freed
// when a parse is abandoned half-way, and counted against a budget while parsing runs.
struct TidyBudget {
    TidyAllocator base; // first: the library hands this pointer back to the callbacks
    struct alignas(16) Block {
        Block* prev;
        Block* next;
        size_t size;
    };
    Block head{&head, &head, 0};
    size_t live = 0;
    size_t limit = 0;
    std::jmp_buf* escape = nullptr; // set only while the library parses or repairs

    void Link(Block* block)
    {
        block->prev = &head;
        block->next = head.next;
        head.next->prev = block;
        head.next = block;
        live += block->size;
    }
    void Unlink(Block* block)
    {
        block->prev->next = block->next;
        block->next->prev = block->prev;
        live -= block->size;
    }
    void FreeAll()
    {
        while (head.next != &head) {
            Block* block = head.next;
            Unlink(block);
            std::free(block);
        }
    }
    // Within the parse an exhausted budget abandons it; outside, only a failed malloc does.
    void Refuse()
    {
        if (escape != nullptr) std::longjmp(*escape, 1);
        std::abort();
    }
};

namespace
{

Bool TIDY_CALL SilenceReports(TidyDoc, TidyReportLevel, uint, uint, ctmbstr)
{
    return no;
}

void* TIDY_CALL BudgetAlloc(TidyAllocator* self, size_t size)
{
    TidyBudget* budget = reinterpret_cast<TidyBudget*>(self);
    if (budget->escape != nullptr && budget->live + size > budget->limit) budget->Refuse();
    auto* block = static_cast<TidyBudget::Block*>(std::malloc(sizeof(TidyBudget::Block) + size));
    if (block == nullptr) budget->Refuse();
    block->size = size;
    budget->Link(block);
    return block + 1;
}

void TIDY_CALL BudgetFree(TidyAllocator* self, void* pointer)
{
    if (pointer == nullptr) return;
    TidyBudget* budget = reinterpret_cast<TidyBudget*>(self);
    TidyBudget::Block* block = static_cast<TidyBudget::Block*>(pointer) - 1;
    budget->Unlink(block);
    std::free(block);
}

void* TIDY_CALL BudgetRealloc(TidyAllocator* self, void* pointer, size_t size)
{
    if (pointer == nullptr) return BudgetAlloc(self, size);
    TidyBudget* budget = reinterpret_cast<TidyBudget*>(self);
    TidyBudget::Block* block = static_cast<TidyBudget::Block*>(pointer) - 1;
    if (budget->escape != nullptr && size > block->size &&
        budget->live + (size - block->size) > budget->limit)
        budget->Refuse();
    budget->Unlink(block);
    auto* grown = static_cast<TidyBudget::Block*>(std::realloc(block, sizeof(TidyBudget::Block) + size));
    if (grown == nullptr) {
        budget->Link(block);
        budget->Refuse();
    }
    grown->size = size;
    budget->Link(grown);
    return grown + 1;
}

void TIDY_CALL BudgetPanic(TidyAllocator* self, ctmbstr)
{
    reinterpret_cast<TidyBudget*>(self)->Refuse();
}

const TidyAllocatorVtbl BUDGET_VTBL = {BudgetAlloc, BudgetRealloc, BudgetFree, BudgetPanic};

// Parses text, or repairs the parsed document when text is null, under the budget; false when the
// budget ran out. Only trivial objects live in this frame, so the jump back skips no destructor.
bool RunWithinBudget(TidyBudget& budget, TidyDoc doc, const char* text, int& status)
{
    std::jmp_buf escape;
    if (setjmp(escape) != 0) {
        budget.escape = nullptr;
        return false;
    }
    budget.escape = &escape;
    status = text != nullptr ? tidyParseString(doc, text) : tidyCleanAndRepair(doc);
    budget.escape = nullptr;
    return true;
}

bool IsAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsTagNameChar(char c)
{
    return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == ':' || c == '.';
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

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
        while (i < m_Text.size() && IsTagNameChar(m_Text[i]))
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(m_Text[i++])));
        if (m_PieceBytes != 0 && i < m_Text.size() && !IsSpace(m_Text[i]) && m_Text[i] != '/' &&
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
            while (v < t.size() && IsSpace(t[v]))
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
            if (!IsSpace(m_Text[k])) {
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
        while (k > lt && IsTagNameChar(t[k - 1]))
            --k;
        if (k == slash) return k > lt && (IsSpace(t[k - 1]) || t[k - 1] == '"' || t[k - 1] == '\'');
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
                while (v < t.size() && IsSpace(t[v]))
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

// XML 1.0 allows no C0 control characters except tab, line feed and carriage return.
void AppendXmlSafe(std::string& out, const char* text, size_t size)
{
    size_t from = 0;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            out.append(text + from, i - from);
            from = i + 1;
        }
    }
    out.append(text + from, size - from);
}

// Names the library kept from broken markup (an empty one, say) that XML would not accept.
bool IsXmlName(const char* name)
{
    if (name == nullptr || *name == '\0') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool letter = IsAsciiLetter(static_cast<char>(c)) || c == '_' || c == ':' || c >= 0x80;
        if (!letter && (p == name || !((c >= '0' && c <= '9') || c == '-' || c == '.'))) return false;
    }
    return true;
}

// Length of the well-formed UTF-8 sequence at text, or 0 for anything the library would re-encode.
size_t Utf8SequenceLength(const char* text, size_t available)
{
    auto byte = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || length > available) return 0;
    for (size_t k = 1; k < length; ++k)
        if ((byte(k) & 0xC0) != 0x80) return 0;
    unsigned char second = byte(1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

// SVG's mixed-case names, blank-separated; the library keeps every name only lower-cased.
const char* const SVG_ELEMENT_NAMES =
    "altGlyph altGlyphDef altGlyphItem animateColor animateMotion animateTransform clipPath "
    "feBlend feColorMatrix feComponentTransfer feComposite feConvolveMatrix "
    "feDiffuseLighting feDisplacementMap feDistantLight feDropShadow feFlood feFuncA feFuncB "
    "feFuncG feFuncR feGaussianBlur feImage feMerge feMergeNode feMorphology feOffset "
    "fePointLight feSpecularLighting feSpotLight feTile feTurbulence foreignObject glyphRef "
    "linearGradient radialGradient textPath";
const char* const SVG_ATTRIBUTE_NAMES =
    "attributeName attributeType baseFrequency baseProfile calcMode clipPathUnits "
    "contentScriptType contentStyleType diffuseConstant edgeMode externalResourcesRequired "
    "filterRes filterUnits glyphRef gradientTransform gradientUnits kernelMatrix "
    "kernelUnitLength keyPoints keySplines keyTimes lengthAdjust limitingConeAngle "
    "markerHeight markerUnits markerWidth maskContentUnits maskUnits numOctaves pathLength "
    "patternContentUnits patternTransform patternUnits pointsAtX pointsAtY pointsAtZ "
    "preserveAlpha preserveAspectRatio primitiveUnits refX refY repeatCount repeatDur "
    "requiredExtensions requiredFeatures specularConstant specularExponent spreadMethod "
    "startOffset stdDeviation stitchTiles surfaceScale systemLanguage tableValues targetX "
    "targetY textLength viewBox viewTarget xChannelSelector yChannelSelector zoomAndPan";

// Lower-cased name to the name in its SVG case.
using CaseTable = std::unordered_map<std::string, std::string>;

CaseTable ByLowerCase(const std::string& names)
{
    CaseTable table;
    for (size_t start = 0; start < names.size();) {
        size_t end = std::min(names.find(' ', start), names.size());
        std::string name = names.substr(start, end - start);
        table.emplace(ToLowerCopy(name), name);
        start = end + 1;
    }
    return table;
}

// The name in its SVG case (the table lives as long as the program), or null when SVG has no
// such mixed-case name.
const char* SvgCase(const CaseTable& table, const char* name)
{
    auto found = table.find(name);
    return found != table.end() ? found->second.c_str() : nullptr;
}

bool IsDroppedByDocumentPrinters(TidyNodeType type)
{
    // Comments never reach a file. Conditional sections and server-side script blocks are not
    // content and would leave the file malformed as XML.
    return type == TidyNode_Comment || type == TidyNode_Section || type == TidyNode_Asp ||
           type == TidyNode_Jste || type == TidyNode_Php;
}

// Levels below root of the deepest node, walked without recursion.
int TreeDepth(TidyNode root)
{
    int depth = 0;
    int deepest = 0;
    TidyNode node = root;
    while (node != nullptr) {
        TidyNode child = tidyGetChild(node);
        if (child != nullptr) {
            node = child;
            deepest = std::max(deepest, ++depth);
            continue;
        }
        while (node != root && tidyGetNext(node) == nullptr) {
            node = tidyGetParent(node);
            --depth;
        }
        if (node == root) break;
        node = tidyGetNext(node);
    }
    return deepest;
}

} // namespace

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

CHtmlParse::CHtmlParse(CRunLog* log) : m_Log(log), m_Budget(std::make_unique<TidyBudget>())
{
    m_Budget->base.vtbl = &BUDGET_VTBL;
    tidyBufInit(&m_TextValue);
}

CHtmlParse::~CHtmlParse()
{
    Release();
    tidyBufFree(&m_TextValue);
}

void CHtmlParse::Release()
{
    if (m_Doc != nullptr) tidyRelease(m_Doc);
    m_Doc = nullptr;
    // The library loses a node now and then (an XML declaration after the first, say); whatever
    // it left allocated belongs to no document any more.
    m_Budget->FreeAll();
    m_HeadingIds.clear();
    m_InsideSvg.clear();
}

TidyNode CHtmlParse::GetRoot() const
{
    return m_Doc != nullptr ? tidyGetRoot(m_Doc) : nullptr;
}

ResultCode CHtmlParse::Init(const std::string& text, bool isWindows1252, bool cleanAndRepair)
{
    // The text ends at its first NUL for the library; the nesting guard must see the same text.
    size_t nul = text.find('\0');
    std::string beforeNul;
    if (nul != std::string::npos) beforeNul = text.substr(0, nul);
    const std::string& source = nul == std::string::npos ? text : beforeNul;

    // The guard's estimate of the library's depth can fall short on tag soup; each further attempt
    // cuts the nesting in proportion to what the last tree reached.
    static constexpr int MAX_ATTEMPTS = 5;
    size_t limit = std::min(TIDY_NESTING_LIMIT, static_cast<size_t>(std::max(m_MaxTreeDepth, 1)));
    for (int attempt = 1;; ++attempt) {
        std::string capped;
        bool cut = CapNesting(source, limit, capped);
        if (cut) TARVO_LOG(m_Log, LOG_WARNING, "nesting deeper than %zu levels flattened", limit);
        ResultCode rc = Parse(cut ? capped : source, isWindows1252, cleanAndRepair);
        if (rc != RC_OK) return rc;
        int depth = TreeDepth(GetRoot());
        if (depth <= m_MaxTreeDepth) return RC_OK;
        if (attempt == MAX_ATTEMPTS || limit <= 1) {
            TARVO_LOG(m_Log, LOG_ERROR, "tree still %d levels deep with nesting cut at %zu levels", depth,
                      limit);
            Release();
            return RC_HTML_INIT;
        }
        size_t proportional = limit * static_cast<size_t>(m_MaxTreeDepth) / static_cast<size_t>(depth);
        limit = std::min(limit - 1, proportional * 9 / 10);
        if (limit == 0) limit = 1;
    }
}

ResultCode CHtmlParse::ParseInPieces(const std::string& text, const std::function<void(size_t, size_t)>& each,
                                     bool isWindows1252)
{
    PageCuts cuts = text.size() > m_PieceBytes ? FindPageCuts(text, m_PieceBytes) : PageCuts{};
    m_PieceContainer = nullptr;
    if (cuts.m_Cuts.empty()) {
        ResultCode rc = Init(text, isWindows1252);
        if (rc == RC_OK) each(0, 1);
        return rc;
    }
    const size_t count = cuts.m_Cuts.size() + 1;
    TARVO_LOG(m_Log, LOG_INFO, "page of %zu bytes parsed in %zu pieces", text.size(), count);
    std::string piece;
    for (size_t k = 0; k < count; ++k) {
        size_t from = k == 0 ? 0 : cuts.m_Cuts[k - 1];
        size_t to = k + 1 == count ? text.size() : cuts.m_Cuts[k];
        piece.clear();
        if (k > 0) {
            piece.append(text, 0, cuts.m_BodyStart);
            for (const PageCuts::Wrapper& wrapper : cuts.m_Wrappers)
                piece.append(text, wrapper.m_From, wrapper.m_To - wrapper.m_From);
        }
        piece.append(text, from, to - from);
        ResultCode rc = Init(piece, isWindows1252);
        if (rc != RC_OK) return rc;
        m_PieceContainer = PieceContainer(cuts.m_Wrappers, k == 0);
        each(k, count);
    }
    return RC_OK;
}

// The element whose content a piece holds: the innermost wrapper, found from the body by name (the
// last of its name in the first piece, where the wrappers stay open to its end; the first in the
// others, which start with them), or the body when the library left one out.
TidyNode CHtmlParse::PieceContainer(const std::vector<PageCuts::Wrapper>& wrappers, bool firstPiece) const
{
    TidyNode body = m_Doc != nullptr ? tidyGetBody(m_Doc) : nullptr;
    TidyNode node = body;
    for (const PageCuts::Wrapper& wrapper : wrappers) {
        TidyNode found = nullptr;
        for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child)) {
            const char* name = IsElement(child) ? tidyNodeGetName(child) : nullptr;
            if (name == nullptr || wrapper.m_Name != name) continue;
            found = child;
            if (!firstPiece) break;
        }
        if (found == nullptr) return body;
        node = found;
    }
    return node;
}

ResultCode CHtmlParse::PrintPage(const std::string& text, const std::function<void(std::string&)>& print,
                                 std::string& out, bool isWindows1252)
{
    m_HeadingStamp.clear();
    std::string printed;
    return ParseInPieces(
        text,
        [&](size_t k, size_t count) {
            if (count == 1) {
                print(out);
                return;
            }
            // A document's print is about the size of the page; growing by doubling would hold two copies.
            if (k == 0) out.reserve(out.size() + text.size() + text.size() / 4);
            printed.clear();
            m_ContainerInner = {std::string::npos, std::string::npos};
            print(printed);
            bool marked =
                m_ContainerInner.first != std::string::npos && m_ContainerInner.second != std::string::npos;
            size_t start = k == 0 || !marked ? 0 : m_ContainerInner.first;
            size_t end = k + 1 == count || !marked ? printed.size() : m_ContainerInner.second;
            out.append(printed, start, end - start);
        },
        isWindows1252);
}

ResultCode CHtmlParse::Parse(const std::string& text, bool isWindows1252, bool cleanAndRepair)
{
    Release();
    m_Doc = tidyCreateWithAllocator(&m_Budget->base);
    tidySetReportFilter(m_Doc, SilenceReports);
    // The library formats every report in full before the filter can drop it; MOBI 6 pages carry
    // a proprietary attribute or two on most blocks, so not making those reports saves a sixth.
    tidyOptSetBool(m_Doc, TidyWarnPropAttrs, no);
    tidyOptSetBool(m_Doc, TidyForceOutput, no);
    tidyOptSetInt(m_Doc, TidyWrapLen, 4096);
    if (isWindows1252) tidySetInCharEncoding(m_Doc, "win1252");
    tidyOptParseValue(m_Doc, "doctype", "strict");
    tidyOptSetBool(m_Doc, TidyXhtmlOut, yes);
    tidyOptSetBool(m_Doc, TidyHtmlOut, no);
    tidyOptSetBool(m_Doc, TidyAnchorAsName, no);

    m_Budget->limit = m_MemoryBase + m_MemoryPerByte * text.size();
    TARVO_LOG(m_Log, LOG_INFO, "tidyParseString IN ...");
    int status = 0;
    bool withinBudget = RunWithinBudget(*m_Budget, m_Doc, text.c_str(), status);
    if (withinBudget && status >= 0) {
        TARVO_LOG(m_Log, LOG_INFO, "tidyParseString OK OUT ...");
        if (cleanAndRepair) withinBudget = RunWithinBudget(*m_Budget, m_Doc, nullptr, status);
    }
    if (!withinBudget) {
        // The document is half-built: free its blocks directly, never through the library.
        m_Budget->FreeAll();
        m_Doc = nullptr;
        TARVO_LOG(m_Log, LOG_ERROR, "tree larger than %zu bytes abandoned", m_Budget->limit);
    }
    if (!withinBudget || status < 0) {
        TARVO_LOG(m_Log, LOG_ERROR, "tidyParseString error OUT ...");
        return RC_HTML_INIT;
    }
    return RC_OK;
}

// ---- printers -----------------------------------------------------------------------------------

bool CHtmlParse::IsElement(TidyNode node)
{
    TidyNodeType type = tidyNodeGetType(node);
    return (type == TidyNode_Start || type == TidyNode_StartEnd) && tidyNodeGetName(node) != nullptr;
}

bool CHtmlParse::IsSelfClosing(const char* name)
{
    static const char* const SELF_CLOSING[] = {"area", "br", "hr", "img", "link", "meta"};
    if (name == nullptr) return false;
    for (const char* s : SELF_CLOSING)
        if (std::strcmp(name, s) == 0) return true;
    return false;
}

bool CHtmlParse::IsPhrasing(const char* name)
{
    // HTML5's own text-level elements, which the nesting model need not know.
    static const char* const HTML5_PHRASING[] = {"mark",   "time",  "data",     "bdi",
                                                 "output", "meter", "progress", "wbr"};
    if (name == nullptr) return false;
    if ((Classify(name) & INLINE) != 0) return true;
    for (const char* phrasing : HTML5_PHRASING)
        if (std::strcmp(name, phrasing) == 0) return true;
    return false;
}

bool CHtmlParse::LineEndAfterStartTag(TidyNode element, const char* name)
{
    // In preformatted text every line end shows; XHTML readers keep even the one after <pre>.
    if (IsPhrasing(name) || (name != nullptr && std::strcmp(name, "pre") == 0)) return false;
    TidyNode child = tidyGetChild(element);
    return IsSelfClosing(name) || (child != nullptr && tidyGetChild(child) != nullptr);
}

const char* CHtmlParse::ElementName(TidyNode element)
{
    static const CaseTable elements = ByLowerCase(SVG_ELEMENT_NAMES);
    const char* name = tidyNodeGetName(element);
    if (name == nullptr) return nullptr;
    const char* svgName = SvgCase(elements, name);
    return svgName != nullptr ? svgName : name;
}

bool CHtmlParse::IsInsideSvg(TidyNode element)
{
    // Each element is placed once: the climb stops at the first ancestor already known, so the
    // cost stays linear in the tree however deep it is.
    std::vector<TidyNode> climbed;
    bool inside = false;
    for (TidyNode node = element; node != nullptr; node = tidyGetParent(node)) {
        auto known = m_InsideSvg.find(node);
        if (known != m_InsideSvg.end()) {
            inside = known->second;
            break;
        }
        climbed.push_back(node);
        const char* name = tidyNodeGetName(node);
        if (name != nullptr && std::strcmp(name, "svg") == 0) {
            inside = true;
            break;
        }
    }
    for (TidyNode node : climbed)
        m_InsideSvg.emplace(node, inside);
    return inside;
}

const char* CHtmlParse::AttributeName(TidyNode element, TidyAttr attr)
{
    static const CaseTable attributes = ByLowerCase(SVG_ATTRIBUTE_NAMES);
    const char* name = tidyAttrName(attr);
    if (name == nullptr) return nullptr;
    const char* svgName = SvgCase(attributes, name);
    return svgName != nullptr && IsInsideSvg(element) ? svgName : name;
}

void CHtmlParse::PrintAttributes(TidyNode element, std::string& out, bool& hadAttribute)
{
    for (TidyAttr attr = tidyAttrFirst(element); attr != nullptr; attr = tidyAttrNext(attr)) {
        const char* name = AttributeName(element, attr);
        const char* value = tidyAttrValue(attr);
        if (!IsXmlName(name)) continue;
        hadAttribute = true;
        out += ' ';
        out += name;
        out += "=\"";
        if (value != nullptr) AppendAttributeValue(value, out);
        out += '"';
    }
}

void CHtmlParse::PrintStartTag(TidyNode element, std::string& out)
{
    const char* name = ElementName(element);
    out += '<';
    out += name;
    bool hadAttribute = false;
    PrintAttributes(element, out, hadAttribute);
    auto generated = m_HeadingIds.find(element);
    if (generated != m_HeadingIds.end()) {
        out += " id=\"";
        out += generated->second;
        out += '"';
        hadAttribute = true;
    }
    bool selfClosing = IsSelfClosing(name);
    if (selfClosing) out += hadAttribute ? " /" : "/";
    out += '>';
    if (LineEndAfterStartTag(element, name)) out += "\r\n";
}

void CHtmlParse::PrintEndTag(TidyNode element, std::string& out)
{
    const char* name = ElementName(element);
    out += "</";
    out += name;
    out += '>';
    if (!IsPhrasing(name)) out += "\r\n";
}

void CHtmlParse::PrintDoctype(TidyNode doctype, std::string& out)
{
    out += "<!DOCTYPE ";
    const char* name = tidyNodeGetName(doctype);
    if (name != nullptr) out += ToLowerCopy(name);
    std::vector<const char*> systemValues;
    for (TidyAttr attr = tidyAttrFirst(doctype); attr != nullptr; attr = tidyAttrNext(attr)) {
        const char* attrName = tidyAttrName(attr);
        const char* value = tidyAttrValue(attr);
        if (attrName != nullptr && std::strcmp(attrName, "SYSTEM") == 0) {
            systemValues.push_back(value != nullptr ? value : "");
            continue;
        }
        out += ' ';
        if (attrName != nullptr) out += attrName;
        if (value != nullptr) {
            out += " \"";
            out += value;
            out += '"';
        }
    }
    for (const char* value : systemValues) {
        out += " \"";
        out += value;
        out += '"';
    }
    out += '>';
}

void CHtmlParse::PrintRenderedByLibrary(TidyNode node, std::string& out)
{
    TidyBuffer buffer;
    tidyBufInit(&buffer);
    if (tidyNodeGetText(m_Doc, node, &buffer) && buffer.bp != nullptr) {
        size_t size = buffer.size;
        // The library flushes its line after the node; the newline is not part of the text.
        if (size > 0 && buffer.bp[size - 1] == '\n') --size;
        AppendXmlSafe(out, reinterpret_cast<const char*>(buffer.bp), size);
    }
    tidyBufFree(&buffer);
}

bool CHtmlParse::RenderTextFast(TidyNode node, std::string& out)
{
    // Short single-line text renders as its value with "&", "<", ">" and no-break spaces escaped;
    // anything else (control characters, line ends, text long enough to wrap) goes to the library.
    static constexpr size_t MAX_FAST_OUTPUT = 2048;
    if (tidyNodeGetType(node) != TidyNode_Text) return false;
    tidyBufClear(&m_TextValue);
    if (!tidyNodeGetValue(m_Doc, node, &m_TextValue) || m_TextValue.bp == nullptr || m_TextValue.size == 0)
        return false;
    const char* text = reinterpret_cast<const char*>(m_TextValue.bp);
    size_t size = m_TextValue.size;
    size_t start = out.size();
    size_t from = 0;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        const char* escape = nullptr;
        size_t skip = 1;
        if (c < 0x20 || c == 0x7F) {
            out.resize(start);
            return false;
        }
        if (c == '&')
            escape = "&amp;";
        else if (c == '<')
            escape = "&lt;";
        else if (c == '>')
            escape = "&gt;";
        else if (c == 0xC2 && i + 1 < size && static_cast<unsigned char>(text[i + 1]) == 0xA0) {
            escape = "&nbsp;";
            skip = 2;
        } else if (c >= 0x80) {
            size_t length = Utf8SequenceLength(text + i, size - i);
            if (length == 0) {
                out.resize(start);
                return false;
            }
            i += length - 1;
            continue;
        }
        if (escape == nullptr) continue;
        out.append(text + from, i - from);
        out += escape;
        from = i + skip;
        i += skip - 1;
    }
    out.append(text + from, size - from);
    if (out.size() - start > MAX_FAST_OUTPUT) {
        out.resize(start);
        return false;
    }
    return true;
}

void CHtmlParse::PrintRendered(TidyNode node, std::string& out)
{
    if (!RenderTextFast(node, out)) PrintRenderedByLibrary(node, out);
}

void CHtmlParse::PrintNode(TidyNode node, std::string& out)
{
    if (node == nullptr || m_Depth >= MAX_DEPTH) return;
    ++m_Depth;
    if (IsElement(node)) {
        PrintStartTag(node, out);
        for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
            PrintNode(child, out);
        if (!IsSelfClosing(tidyNodeGetName(node))) PrintEndTag(node, out);
    } else {
        PrintRendered(node, out);
    }
    --m_Depth;
}

void CHtmlParse::AssignHeadingId(TidyNode heading)
{
    if (tidyAttrGetById(heading, TidyAttr_ID) != nullptr || m_HeadingIds.count(heading) != 0) return;
    ++m_HeadingCounter;
    m_HeadingIds[heading] = m_HeadingStamp + std::to_string(m_HeadingCounter);
}

void CHtmlParse::PrintTree(TidyNode node, PrintMode mode, std::string& out)
{
    if (m_Depth >= MAX_DEPTH) return;
    TidyNodeType type = tidyNodeGetType(node);
    if (IsDroppedByDocumentPrinters(type)) return;
    if (type == TidyNode_DocType) {
        PrintDoctype(node, out);
        return;
    }
    if (!IsElement(node)) {
        PrintRendered(node, out);
        return;
    }
    ++m_Depth;
    TidyTagId tag = tidyNodeGetId(node);
    if (mode == PrintMode::HeadingIds && tidyNodeIsHeader(node)) AssignHeadingId(node);
    if (mode == PrintMode::StyleSheet && tag == TidyTag_IMG) {
        TidyAttr attr = tidyAttrFirst(node);
        while (attr != nullptr) {
            TidyAttr next = tidyAttrNext(attr);
            const char* name = tidyAttrName(attr);
            if (name == nullptr || (std::strcmp(name, "alt") != 0 && std::strcmp(name, "src") != 0 &&
                                    std::strcmp(name, "xlink:href") != 0))
                tidyAttrDiscard(m_Doc, node, attr);
            attr = next;
        }
    }
    PrintStartTag(node, out);
    NoteContentStart(node, out);
    for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
        PrintTree(child, mode, out);
    NoteContentEnd(node, out);
    if (mode == PrintMode::StyleSheet && tag == TidyTag_HEAD && !m_StyleSheetLinked) {
        out += "<link href=\"";
        out += m_StyleSheetHref;
        out += "\" rel=\"stylesheet\" type=\"text/css\" />\r\n";
        m_StyleSheetLinked = true;
    }
    if (!IsSelfClosing(tidyNodeGetName(node))) PrintEndTag(node, out);
    --m_Depth;
}

void CHtmlParse::PrintDocumentAs(PrintMode mode, std::string& out)
{
    TidyNode root = GetRoot();
    if (root == nullptr) return;
    m_Depth = 0;
    if (mode == PrintMode::HeadingIds && m_HeadingStamp.empty()) {
        uint16_t date = 0, time = 0;
        DosDateTime(date, time);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "e%u%u.", static_cast<unsigned>(date),
                      static_cast<unsigned>(time));
        m_HeadingStamp = stamp;
    }
    for (TidyNode child = tidyGetChild(root); child != nullptr; child = tidyGetNext(child))
        PrintTree(child, mode, out);
}

void CHtmlParse::PrintDocument(std::string& out)
{
    PrintDocumentAs(PrintMode::Plain, out);
}

void CHtmlParse::PrintDocumentWithoutXmlLang(std::string& out)
{
    TidyNode html = m_Doc != nullptr ? tidyGetHtml(m_Doc) : nullptr;
    if (html != nullptr) {
        TidyAttr attr = tidyAttrFirst(html);
        while (attr != nullptr) {
            TidyAttr next = tidyAttrNext(attr);
            const char* name = tidyAttrName(attr);
            if (name != nullptr && std::strcmp(name, "xml:lang") == 0) tidyAttrDiscard(m_Doc, html, attr);
            attr = next;
        }
    }
    PrintDocumentAs(PrintMode::Plain, out);
}

void CHtmlParse::PrintDocumentLinkingStyleSheet(const std::string& href, std::string& out)
{
    m_StyleSheetHref = href;
    PrintDocumentAs(PrintMode::StyleSheet, out);
}

void CHtmlParse::PrintDocumentWithHeadingIds(std::string& out)
{
    PrintDocumentAs(PrintMode::HeadingIds, out);
}

void CHtmlParse::PrintVisible(TidyNode node, bool asCharacters, std::string& out)
{
    if (m_Depth >= MAX_DEPTH) return;
    if (tidyNodeGetType(node) == TidyNode_Text) {
        if (asCharacters)
            AppendCharacters(node, out);
        else
            PrintRendered(node, out);
        return;
    }
    if (!IsElement(node)) return;
    if (tidyNodeGetId(node) == TidyTag_SPAN) {
        TidyAttr style = tidyAttrGetById(node, TidyAttr_STYLE);
        const char* value = style != nullptr ? tidyAttrValue(style) : nullptr;
        if (value != nullptr && std::strstr(value, "display:none;") != nullptr) return;
    }
    ++m_Depth;
    for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
        PrintVisible(child, asCharacters, out);
    --m_Depth;
}

void CHtmlParse::PrintVisibleText(TidyNode node, std::string& out)
{
    m_Depth = 0;
    PrintVisible(node, false, out);
}

void CHtmlParse::AppendVisibleCharacters(TidyNode node, std::string& out)
{
    m_Depth = 0;
    PrintVisible(node, true, out);
}

void CHtmlParse::AppendCharacters(TidyNode text, std::string& out)
{
    tidyBufClear(&m_TextValue);
    if (tidyNodeGetValue(m_Doc, text, &m_TextValue) && m_TextValue.bp != nullptr)
        out.append(reinterpret_cast<const char*>(m_TextValue.bp), m_TextValue.size);
}

void CHtmlParse::PrintVisibleText(std::string& out)
{
    TidyNode root = GetRoot();
    if (root == nullptr) return;
    m_Depth = 0;
    for (TidyNode child = tidyGetChild(root); child != nullptr; child = tidyGetNext(child))
        PrintVisible(child, false, out);
}

std::string CHtmlParse::GetId(TidyNode element) const
{
    TidyAttr id = tidyAttrGetById(element, TidyAttr_ID);
    if (id != nullptr && tidyAttrValue(id) != nullptr) return tidyAttrValue(id);
    auto generated = m_HeadingIds.find(element);
    return generated != m_HeadingIds.end() ? generated->second : std::string();
}

void CHtmlParse::CollectTextInto(TidyNode node, std::string& text)
{
    if (m_Depth >= MAX_DEPTH) return;
    ++m_Depth;
    for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child)) {
        if (tidyNodeGetType(child) == TidyNode_Text) {
            AppendCharacters(child, text);
        } else if (tidyNodeGetId(child) == TidyTag_BR) {
            text += ' ';
        } else if (IsElement(child)) {
            CollectTextInto(child, text);
        }
    }
    --m_Depth;
}

std::string CHtmlParse::CollectText(TidyNode node)
{
    std::string text;
    int saved = m_Depth;
    CollectTextInto(node, text);
    m_Depth = saved;
    return CollapseWhiteSpace(text);
}

void AppendAttributeValue(const std::string& value, std::string& out)
{
    // The tree holds values decoded; "<" and "&" as they stand would not be XML, and neither
    // would control characters.
    for (char c : value) {
        switch (c) {
        case '"':
            out += "&quot;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += c;
        }
    }
}
