// Parsing through libtidy, the nesting guard in front of it, and our XHTML printers.
#include "ebook/HtmlParse.h"

#include "base/AsciiClass.h"
#include "base/Clock.h"
#include "base/RunLog.h"
#include "base/Text.h"

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
    if (IsInlineElementName(name)) return true;
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
