// KF8 output: the book's HTML files printed with aid attributes and link placeholders, cut into
// skeletons and fragments, with the style sheets and SVG pictures moved into flows.
#include "mobi/Kf8TextWriter.h"

#include "base/Files.h"
#include "base/Href.h"
#include "base/IntermediateBook.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "ebook/StyleSheetUrls.h"
#include "mobi/ByteIO.h"
#include "mobi/IndexWriter.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiResources.h"

#include <tidy/tidybuffio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_set>

namespace
{

const char LINK_PLACEHOLDER[] = "kindle:pos:fid:0000:off:";
constexpr size_t LINK_LENGTH = 34; // the placeholder with its ten digits, and the link written over it
const char POSITION_PREFIX[] = "kindle:pos:fid:";
// A book can hold thousands of dead links: the log names the first ones and counts the rest.
constexpr size_t LOGGED_LINKS = 20;
// NCX text offsets are read back as signed 32-bit numbers.
constexpr size_t MAX_TEXT_LENGTH = static_cast<size_t>(std::numeric_limits<int32_t>::max());

const char VERTICAL_CSS[] =
    "html {\r\n    writing-mode:vertical-rl;\r\n    -webkit-writing-mode:vertical-rl;\r\n"
    "    -epub-writing-mode:vertical-rl;\r\n    -epub-line-break:strict;\r\n"
    "    line-break:strict;\r\n    -epub-word-break:normal;\r\n    word-break:normal;\r\n}"
    "\r\n\r\nbody {\r\n    margin:0;\r\n    margin-left:0%;\r\n    margin-right:0%;\r\n"
    "    margin-top:1.5%;\r\n    margin-bottom:1em;\r\n    text-align:left;\r\n}";

bool IsAidElement(const std::string& name)
{
    static const std::unordered_set<std::string> names = {
        "p",       "span",     "h1",       "h2",         "h3",     "h4",     "h5",     "h6",
        "div",     "code",     "pre",      "blockquote", "dd",     "dl",     "dt",     "strong",
        "b",       "u",        "i",        "article",    "em",     "sup",    "var",    "samp",
        "ins",     "kbd",      "cite",     "q",          "aside",  "time",   "figure", "figcaption",
        "dfn",     "s",        "small",    "body",       "a",      "ul",     "li",     "ol",
        "font",    "textarea", "big",      "nav",        "select", "center", "sub",    "option",
        "header",  "footer",   "audio",    "video",      "tt",     "source", "mark",   "progress",
        "details", "address",  "map",      "summary",    "meter",  "hgroup", "output", "menu",
        "strike",  "del",      "optgroup", "section"};
    return names.count(name) != 0;
}

// An @import may name its sheet by a bare string: written as url("x.css") it becomes a flow
// reference like every other, so the sheet it imports (a book's @font-face rules, often) and the
// fonts that sheet names reach the book.
std::string ImportsAsUrls(const std::string& css)
{
    std::string out;
    size_t copied = 0;
    for (const StyleSheetReference& reference : StyleSheetReferences(css)) {
        // A string left open is kept as written.
        if (!reference.m_Import || !reference.m_Closed) continue;
        out.append(css, copied, reference.m_Offset - copied);
        // Bare where the name allows it: readers of Kindle books take url(kindle:flow:...) in an
        // @import, and calibre's misreads the quoted form.
        const std::string written = css.substr(reference.m_Offset, reference.m_Length);
        const std::string name = written.substr(1, written.size() - 2);
        const bool bare = name.find_first_of(" \t\r\n\f()'\"\\") == std::string::npos;
        out += "url(" + (bare ? name : written) + ")";
        copied = reference.m_Offset + reference.m_Length;
    }
    out.append(css, copied, std::string::npos);
    return out;
}

bool IsTableElement(const std::string& name)
{
    static const std::unordered_set<std::string> names = {"caption", "table", "tbody", "thead", "tfoot",
                                                          "th",      "tr",    "td",    "col",   "colgroup"};
    return names.count(name) != 0;
}

// Elements the diagnostics leave out besides the aid elements.
bool IsUnremarkable(const std::string& name)
{
    static const std::unordered_set<std::string> names = {
        "html",     "head",   "meta",  "title", "link", "img", "br",  "hr",   "caption",
        "table",    "tbody",  "thead", "tfoot", "th",   "tr",  "td",  "area", "col",
        "colgroup", "button", "wbr",   "ruby",  "rp",   "rt",  "del", "rb",   "math"};
    return names.count(name) != 0;
}

std::string NodeValue(TidyDoc doc, TidyNode node)
{
    TidyBuffer buffer;
    tidyBufInit(&buffer);
    std::string text;
    if (tidyNodeGetValue(doc, node, &buffer) && buffer.bp != nullptr)
        text.assign(reinterpret_cast<const char*>(buffer.bp), buffer.size);
    tidyBufFree(&buffer);
    return text;
}

// Depths follow the parents; an entry met again on its own chain closes a cycle and loses its
// parent, which is why parent may change.
std::vector<int32_t> NcxDepths(std::vector<int32_t>& parent)
{
    const size_t count = parent.size();
    std::vector<int32_t> depth(count, -1);
    std::vector<uint8_t> onChain(count, 0);
    std::vector<size_t> chain;
    for (size_t k = 0; k < count; ++k) {
        for (size_t at = k; depth[at] < 0;) {
            if (onChain[at]) {
                parent[chain.back()] = -1;
                break;
            }
            onChain[at] = 1;
            chain.push_back(at);
            if (parent[at] < 0) break;
            at = static_cast<size_t>(parent[at]);
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            int32_t p = parent[*it];
            depth[*it] = p < 0 ? 0 : depth[static_cast<size_t>(p)] + 1;
            onChain[*it] = 0;
        }
        chain.clear();
    }
    return depth;
}

std::string StyleLink(const std::string& reference)
{
    return "<link type=\"text/css\" href=\"" + reference + "\" rel=\"Stylesheet\"/>";
}

} // namespace

CKf8TextWriter::CKf8TextWriter(const CIntermediateBook& book, const std::string& tempDirectory, CRunLog* log)
    : CKindleTextWriter(book, tempDirectory, log, true)
{
}

ResultCode CKf8TextWriter::Write(CMobiResources& resources, bool verticalWriting, MobiPartText& part)
{
    TARVO_LOG(m_Log, LOG_INFO, "CKf8TextWriter::Write IN");
    part = MobiPartText();
    m_Run = RunState();
    m_Run.m_Resources = &resources;
    m_Run.m_Vertical = verticalWriting;
    ListFiles();
    ResultCode rc = WriteFiles(part);
    if (rc != RC_OK) return rc;
    if (WriteWholeFile(m_TempDirectory + "node.txt", m_Run.m_NodeNames) != RC_OK)
        TARVO_LOG(m_Log, LOG_WARNING, "could not write node.txt");

    uint32_t htmlLength = static_cast<uint32_t>(part.m_Text.size());
    std::vector<GuideEntry> guide;
    std::vector<NcxEntry> ncx;
    GetGuideList(guide);
    GetNcxList(htmlLength, ncx);
    HandleALink(part.m_Text);
    HandleFlowEmbedRES();
    MakeChunkIndex(guide, ncx, part);
    rc = AppendFlows(htmlLength, part);
    if (rc != RC_OK) return rc;
    TARVO_LOG(m_Log, LOG_INFO, "CKf8TextWriter::Write OUT: %zu files, %zu fragments, %zu flows, text 0x%zx",
              m_Run.m_Skeletons.size(), m_Run.m_Fragments.size(), resources.Flows().size(),
              part.m_Text.size());
    return RC_OK;
}

void CKf8TextWriter::ListFiles()
{
    for (const std::string& name : m_Book.m_HtmlFileList) {
        OutputFile file;
        file.m_Name = name;
        if (!ResolveHrefInBook("", name, file.m_Key)) {
            TARVO_LOG(m_Log, LOG_WARNING, "content file \"%s\" lies outside the book; left out",
                      name.c_str());
            continue;
        }
        if (!m_Run.m_FileByKey.emplace(file.m_Key, m_Run.m_Files.size()).second) continue;
        m_Run.m_Files.push_back(std::move(file));
    }
}

ResultCode CKf8TextWriter::WriteFiles(MobiPartText& part)
{
    // The text grows by every file's print, a third to twice as long as the file with its aids;
    // room for all of it at once spares the copies of doubling, which held the text three times.
    // Room never written is never taken from the machine.
    uint64_t sourceBytes = 0;
    for (const OutputFile& file : m_Run.m_Files) {
        CFile source;
        uint64_t size = 0;
        if (source.Open(m_Book.BookDirectory(m_TempDirectory) + file.m_Key, false, false) == RC_OK &&
            source.Size(size) == RC_OK)
            sourceBytes += size;
    }
    part.m_Text.reserve(static_cast<size_t>(std::min<uint64_t>(2 * sourceBytes, MAX_TEXT_LENGTH)));
    uint32_t sequence = 0;
    ResultCode rc = RC_OK;
    for (size_t i = 0; i < m_Run.m_Files.size() && rc == RC_OK; ++i) {
        m_Run.m_File = FileState();
        m_Run.m_File.m_Index = i;
        rc = OutputFileText(m_Run.m_Files[i], sequence, part);
    }
    if (rc != RC_OK) return rc;
    if (part.m_Text.size() > MAX_TEXT_LENGTH) {
        TARVO_LOG(m_Log, LOG_ERROR, "text of 0x%zx bytes is too long for a KF8 book", part.m_Text.size());
        return RC_FILE_WRITE_FAILED;
    }
    if (m_Run.m_Skeletons.empty()) {
        TARVO_LOG(m_Log, LOG_ERROR, "none of the %zu content files could be written",
                  m_Book.m_HtmlFileList.size());
        return RC_HTML_LIST_EMPTY;
    }
    return RC_OK;
}

// The flows after the HTML, and the FDST record that says where each starts and ends.
ResultCode CKf8TextWriter::AppendFlows(uint32_t htmlLength, MobiPartText& part)
{
    std::vector<MobiResource*> flows = m_Run.m_Resources->Flows();
    if (flows.empty()) return RC_OK;
    std::vector<std::pair<uint32_t, uint32_t>> sections = {{0, htmlLength}};
    for (const MobiResource* flow : flows) {
        if (flow->m_Bytes.size() > MAX_TEXT_LENGTH - part.m_Text.size()) {
            TARVO_LOG(m_Log, LOG_ERROR, "flow %s of 0x%zx bytes makes the text longer than 0x%zx",
                      flow->m_Path.c_str(), flow->m_Bytes.size(), MAX_TEXT_LENGTH);
            return RC_FILE_WRITE_FAILED;
        }
        uint32_t start = static_cast<uint32_t>(part.m_Text.size());
        part.m_Text += flow->m_Bytes;
        sections.emplace_back(start, static_cast<uint32_t>(part.m_Text.size()));
    }
    part.m_Fdst = "FDST";
    AppendU32(part.m_Fdst, 12);
    AppendU32(part.m_Fdst, static_cast<uint32_t>(sections.size()));
    for (const auto& section : sections) {
        AppendU32(part.m_Fdst, section.first);
        AppendU32(part.m_Fdst, section.second);
    }
    part.m_FdstSections = static_cast<uint32_t>(sections.size());
    return RC_OK;
}

ResultCode CKf8TextWriter::OutputFileText(OutputFile& file, uint32_t& sequence, MobiPartText& part)
{
    std::string path = m_Book.BookDirectory(m_TempDirectory) + file.m_Key;
    std::string bytes;
    if (!ReadFileBytes(path, bytes) || bytes.empty()) {
        TARVO_LOG(m_Log, LOG_ERROR, "CKf8TextWriter ReadFile empty 1!");
        TARVO_LOG(m_Log, LOG_ERROR, "%s", path.c_str());
        TARVO_LOG(m_Log, LOG_ERROR, "CKf8TextWriter ReadFile empty 2!");
        return RC_OK;
    }
    if (part.m_Text.size() > MAX_TEXT_LENGTH) {
        TARVO_LOG(m_Log, LOG_ERROR, "text of 0x%zx bytes before %s is too long for a KF8 book",
                  part.m_Text.size(), file.m_Name.c_str());
        return RC_FILE_WRITE_FAILED;
    }

    m_Run.m_File.m_Directory = GetDirectory(file.m_Key);
    m_Run.m_File.m_ResourceDirectory = m_Book.BookDirectory("") + m_Run.m_File.m_Directory;
    file.m_FirstLink = m_Run.m_Links.size();
    // A big page goes a piece at a time, each piece a skeleton of its own that the reader shows
    // after the last: neither the page's tree nor its chunks are ever held whole.
    CHtmlParse parse(m_Log);
    ResultCode chunked = RC_OK;
    ResultCode rc = parse.ParseInPieces(bytes, [&](size_t piece, size_t count) {
        if (piece + 1 == count) bytes = std::string(); // not read again
        if (chunked != RC_OK) return;
        m_Run.m_Page = PageState();
        m_Run.m_Page.m_Piece = piece;
        m_Run.m_Page.m_PieceCount = count;
        BeginPage(parse);
        std::string printed;
        PrintChildren(parse.GetRoot(), printed);
        EndPage();
        file.m_EndLink = m_Run.m_Links.size();
        chunked = ChunkPrinted(file, printed, sequence, part);
    });
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s does not parse", file.m_Name.c_str());
        return rc;
    }
    return chunked;
}

// Cuts one printed document (or piece of one) into a skeleton and fragments at the end of the
// text. The file starts with its first piece that could be cut.
ResultCode CKf8TextWriter::ChunkPrinted(OutputFile& file, std::string& printed, uint32_t& sequence,
                                        MobiPartText& part)
{
    // The chunker works on the tree of what was printed, so that every aid is in it.
    CHtmlParse parse(m_Log);
    ResultCode rc = parse.Init(printed);
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s does not parse once printed", file.m_Name.c_str());
        return rc;
    }
    printed = std::string();
    // The skeleton starts as the document up to the body: document type, html start tag, head.
    std::string head;
    for (TidyNode node = tidyGetChild(parse.GetRoot()); node != nullptr; node = tidyGetNext(node)) {
        if (tidyNodeGetType(node) == TidyNode_DocType) CHtmlParse::PrintDoctype(node, head);
        if (!CHtmlParse::IsElement(node) || tidyNodeGetId(node) != TidyTag_HTML) continue;
        parse.PrintStartTag(node, head);
        for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child)) {
            if (CHtmlParse::IsElement(child) && tidyNodeGetId(child) == TidyTag_BODY) break;
            parse.PrintNode(child, head);
        }
        break;
    }

    CChunker chunker(m_Log);
    ChunkedFile chunked;
    uint32_t number = static_cast<uint32_t>(m_Run.m_Skeletons.size());
    uint32_t start = static_cast<uint32_t>(part.m_Text.size());
    if (!chunker.Init(parse, head, number, start, sequence, chunked)) {
        TARVO_LOG(m_Log, LOG_WARNING, "%s could not be cut into fragments; left out", file.m_Name.c_str());
        return RC_OK;
    }
    bool first = file.m_Number < 0;
    if (first) {
        file.m_Number = static_cast<int32_t>(number);
        file.m_Start = start;
    }
    NoteTargets(chunked.m_Rebuilt, start, first);
    // Past the room reserved, growing by half rather than doubling holds less at the copy (a
    // string's own reserve would double).
    size_t needed = part.m_Text.size() + chunked.m_Text.size();
    if (part.m_Text.capacity() < needed) {
        std::string grown;
        grown.reserve(std::max(needed, part.m_Text.capacity() + part.m_Text.capacity() / 2));
        grown += part.m_Text;
        part.m_Text.swap(grown);
    }
    part.m_Text += chunked.m_Text;
    file.m_End = static_cast<uint32_t>(part.m_Text.size());
    m_Run.m_Skeletons.insert(m_Run.m_Skeletons.end(), chunked.m_Skeletons.begin(), chunked.m_Skeletons.end());
    for (FragmentTableEntry& f : chunked.m_Fragments)
        m_Run.m_Fragments.push_back(std::move(f));
    return RC_OK;
}

// Link targets are where a reader finds the ids once it has put the file back together.
void CKf8TextWriter::NoteTargets(const std::string& rebuilt, uint32_t start, bool first)
{
    std::map<int64_t, std::string> anchors;
    ScanIds(rebuilt, 0, rebuilt.size(), std::string(), anchors);
    for (const auto& anchor : anchors) {
        std::string id =
            anchor.second.empty() || anchor.second[0] != '#' ? anchor.second : anchor.second.substr(1);
        m_Run.m_TargetPositions.emplace(std::make_pair(m_Run.m_File.m_Index, id),
                                        start + static_cast<uint32_t>(anchor.first));
    }
    if (first) m_Run.m_TargetPositions[std::make_pair(m_Run.m_File.m_Index, std::string())] = start;
}

void CKf8TextWriter::NoteNodeName(const char* name)
{
    if (IsAidElement(name) || IsUnremarkable(name)) return;
    m_Run.m_NodeNames += name;
    m_Run.m_NodeNames += "\r\n";
}

void CKf8TextWriter::PrintElement(TidyNode element, std::string& out)
{
    const std::string name = tidyNodeGetName(element);
    TidyTagId tag = tidyNodeGetId(element);
    NoteNodeName(name.c_str());
    if (tag == TidyTag_SCRIPT || (name == "_xml" && m_Depth == 1)) return;
    if (IsUnwrappedOnOutput(name.c_str())) {
        PrintChildren(element, out);
        return;
    }
    if (tag == TidyTag_STYLE) {
        PrintStyle(element, out);
        return;
    }
    if (name == "svg") {
        PrintSvg(element, out);
        return;
    }

    AttributeList attributes = ReadAttributes(*m_Parse, element);
    // Aids the book brings along could repeat ours.
    RemoveAttribute(attributes, "aid");
    RemoveAttribute(attributes, "onclick");
    RemoveAttribute(attributes, "onerror");
    RemoveAttribute(attributes, "onchange");
    if (m_Run.m_Page.m_TableDepth == 0 && IsAidElement(name))
        SetAttribute(attributes, AID_MARK, WriteBase32(m_Run.m_AidCounter++, 10));

    switch (tag) {
    case TidyTag_A:
        if (FindAttribute(attributes, "name") != nullptr) RemoveAttribute(attributes, "id");
        PrintLink(attributes);
        break;
    case TidyTag_IMG:
    case TidyTag_AUDIO:
    case TidyTag_VIDEO:
    case TidyTag_LINK: {
        const char* attribute = tag == TidyTag_LINK ? "href" : "src";
        const std::string* ref = FindAttribute(attributes, attribute);
        if (ref != nullptr) {
            std::string reference =
                m_Run.m_Resources->Reference(m_Run.m_File.m_ResourceDirectory, *ref, true);
            if (!reference.empty()) SetAttribute(attributes, attribute, reference);
        }
        break;
    }
    case TidyTag_HEAD:
        m_Run.m_Page.m_HeadPrinted = true;
        break;
    case TidyTag_BODY:
        if (m_Run.m_Vertical && !m_Run.m_Page.m_VerticalLinked && !m_Run.m_Page.m_HeadPrinted) {
            out += "<head>\r\n" + VerticalWritingLink() + "</head>\r\n";
        }
        break;
    default:
        break;
    }

    bool table = IsTableElement(name);
    if (table) ++m_Run.m_Page.m_TableDepth;
    PrintStartTagWith(element, attributes, out);
    PrintChildren(element, out);
    if (tag == TidyTag_HEAD && m_Run.m_Vertical && !m_Run.m_Page.m_VerticalLinked)
        out += VerticalWritingLink();
    if (!CHtmlParse::IsSelfClosing(name.c_str())) CHtmlParse::PrintEndTag(element, out);
    if (table) --m_Run.m_Page.m_TableDepth;
}

void CKf8TextWriter::PrintLink(AttributeList& attributes)
{
    const std::string* href = FindAttribute(attributes, "href");
    if (href == nullptr || *href == "#" || StartsWith(*href, "http") || StartsWith(*href, "mailto:")) return;
    LinkTarget target;
    if (!ResolveHref(*href, m_Run.m_File.m_Directory, m_Run.m_File.m_Index, false, target)) return;
    m_Run.m_Links.push_back(std::move(target));
    char number[24];
    std::snprintf(number, sizeof number, "%010zu", m_Run.m_Links.size());
    SetAttribute(attributes, "href", LINK_PLACEHOLDER + std::string(number));
}

std::string CKf8TextWriter::VerticalWritingLink()
{
    m_Run.m_Page.m_VerticalLinked = true;
    if (const std::string* link = PieceFlowLink(VERTICAL_CSS)) return *link;
    std::string name = "marlek_css_inner_" + WriteBase32(m_Run.m_InnerFlowCounter++, 10) + ".css";
    std::string reference = m_Run.m_Resources->AddFlow(name, VERTICAL_CSS, ResourceKind::StyleSheet);
    if (reference.empty()) return std::string();
    NotePieceFlowLink(VERTICAL_CSS, StyleLink(reference));
    return StyleLink(reference);
}

// Every piece of a page repeats its head; the pieces after the first link the flows the first
// piece made of it rather than making them again.
const std::string* CKf8TextWriter::PieceFlowLink(const std::string& css) const
{
    if (m_Run.m_Page.m_Piece == 0) return nullptr;
    auto it = m_Run.m_File.m_PieceFlowLinks.find(css);
    return it != m_Run.m_File.m_PieceFlowLinks.end() ? &it->second : nullptr;
}

void CKf8TextWriter::NotePieceFlowLink(const std::string& css, const std::string& link)
{
    if (m_Run.m_Page.m_Piece == 0 && m_Run.m_Page.m_PieceCount > 1)
        m_Run.m_File.m_PieceFlowLinks.emplace(css, link);
}

void CKf8TextWriter::PrintStyle(TidyNode element, std::string& out)
{
    std::string css;
    for (TidyNode child = tidyGetChild(element); child != nullptr; child = tidyGetNext(child))
        css += NodeValue(m_Parse->GetDoc(), child);
    if (Trimmed(css).empty()) return;
    if (const std::string* link = PieceFlowLink(css)) {
        out += *link;
        return;
    }
    std::string name = "marlek_css_inner_" + WriteBase32(m_Run.m_InnerFlowCounter++, 10) + ".css";
    std::string reference = m_Run.m_Resources->AddFlow(name, css, ResourceKind::StyleSheet);
    if (reference.empty()) {
        TARVO_LOG(m_Log, LOG_WARNING, "no flow left for a style element; dropped");
        return;
    }
    m_Run.m_InlineFlowDirectory[reference] = m_Run.m_File.m_ResourceDirectory;
    NotePieceFlowLink(css, StyleLink(reference));
    out += StyleLink(reference);
}

void CKf8TextWriter::PrintSvg(TidyNode element, std::string& out)
{
    std::string svg;
    PrintSvgNode(element, 0, svg);
    std::string name = "marlek_svg_inner_" + WriteBase32(m_Run.m_InnerFlowCounter++, 10) + ".svg";
    std::string reference = m_Run.m_Resources->AddFlow(name, svg, ResourceKind::Svg);
    if (reference.empty()) {
        out += svg;
        return;
    }
    out += "<img src=\"" + reference + "\" />";
}

// The picture becomes a file of its own: it needs its namespaces, and its images the references
// the book's other images get.
void CKf8TextWriter::PrintSvgNode(TidyNode node, int depth, std::string& out)
{
    if (m_Depth + depth >= CHtmlParse::MAX_DEPTH) return;
    TidyNodeType type = tidyNodeGetType(node);
    if (IsDroppedOnOutput(type)) return;
    if (!CHtmlParse::IsElement(node)) {
        m_Parse->PrintRendered(node, out);
        return;
    }
    AttributeList attributes = ReadAttributes(*m_Parse, node);
    RemoveAttribute(attributes, "onclick");
    RemoveAttribute(attributes, "onerror");
    RemoveAttribute(attributes, "onchange");
    if (depth == 0) {
        if (FindAttribute(attributes, "xmlns") == nullptr)
            SetAttribute(attributes, "xmlns", "http://www.w3.org/2000/svg");
        if (FindAttribute(attributes, "xmlns:xlink") == nullptr)
            SetAttribute(attributes, "xmlns:xlink", "http://www.w3.org/1999/xlink");
    }
    for (const char* attribute : {"xlink:href", "href"}) {
        const std::string* ref = FindAttribute(attributes, attribute);
        if (ref == nullptr || ref->empty() || (*ref)[0] == '#') continue;
        std::string reference = m_Run.m_Resources->Reference(m_Run.m_File.m_ResourceDirectory, *ref, true);
        if (!reference.empty()) SetAttribute(attributes, attribute, reference);
    }
    PrintStartTagWith(node, attributes, out);
    for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
        PrintSvgNode(child, depth + 1, out);
    if (!CHtmlParse::IsSelfClosing(tidyNodeGetName(node))) CHtmlParse::PrintEndTag(node, out);
}

bool CKf8TextWriter::ResolveHref(const std::string& href, const std::string& directory, size_t currentFile,
                                 bool lastHash, LinkTarget& target) const
{
    size_t hash = lastHash ? href.rfind('#') : href.find('#');
    std::string filePart = href.substr(0, hash);
    target.m_Id = hash == std::string::npos ? std::string() : href.substr(hash + 1);
    if (filePart.empty()) {
        if (hash == std::string::npos || currentFile >= m_Run.m_Files.size()) return false;
        target.m_File = currentFile;
        return true;
    }
    std::string resolved;
    if (!ResolveHrefInBook(directory, filePart, resolved)) return false;
    auto found = m_Run.m_FileByKey.find(resolved);
    if (found == m_Run.m_FileByKey.end()) return false;
    target.m_File = found->second;
    return true;
}

bool CKf8TextWriter::PositionOf(const LinkTarget& target, uint32_t& position) const
{
    auto found = m_Run.m_TargetPositions.find(std::make_pair(target.m_File, target.m_Id));
    if (found == m_Run.m_TargetPositions.end() && !target.m_Id.empty())
        found = m_Run.m_TargetPositions.find(std::make_pair(target.m_File, UrlDecode(target.m_Id)));
    if (found == m_Run.m_TargetPositions.end()) return false;
    position = found->second;
    return true;
}

bool CKf8TextWriter::PositionOrFileStart(const LinkTarget& target, uint32_t& position, bool& idMissing) const
{
    idMissing = false;
    if (PositionOf(target, position)) return true;
    idMissing = !target.m_Id.empty();
    return idMissing && PositionOf(LinkTarget{target.m_File, std::string()}, position);
}

// Fragments lie in text order. A position inside one is an offset into it; one in the skeleton
// between two fragments of a file counts from the fragment before it, since a reader adds the
// offset to that fragment's insert position wherever it ends; before a file's first fragment the
// next fragment's start is the nearest place a reader can be sent.
void CKf8TextWriter::FragmentAndOffset(uint32_t position, uint32_t& sequence, uint32_t& offset) const
{
    sequence = 0;
    offset = 0;
    if (m_Run.m_Fragments.empty()) return;
    auto after =
        std::upper_bound(m_Run.m_Fragments.begin(), m_Run.m_Fragments.end(), position,
                         [](uint32_t p, const FragmentTableEntry& f) { return p < f.m_InsertPosition; });
    if (after == m_Run.m_Fragments.begin()) {
        sequence = after->m_SequenceNumber;
        return;
    }
    const FragmentTableEntry& before = *(after - 1);
    bool inside = position - before.m_InsertPosition < before.m_Length;
    size_t nextFile = static_cast<size_t>(before.m_FileNumber) + 1;
    bool sameFile =
        nextFile >= m_Run.m_Skeletons.size() || position < m_Run.m_Skeletons[nextFile].m_StartPosition;
    if (inside || sameFile || after == m_Run.m_Fragments.end()) {
        sequence = before.m_SequenceNumber;
        offset = position - before.m_InsertPosition;
        return;
    }
    sequence = after->m_SequenceNumber;
}

void CKf8TextWriter::GetGuideList(std::vector<GuideEntry>& guide) const
{
    for (const GuideItem& item : m_Book.m_GuideItems) {
        // A KF8 book's cover is its cover record (EXTH 201); readers take a cover entry of the guide
        // for that image, and one that names a page breaks them.
        if (EqualsNoCase(item.m_Type, "cover")) continue;
        LinkTarget target;
        uint32_t position = 0;
        bool idMissing = false;
        if (!ResolveHref(item.m_Href, std::string(), m_Run.m_Files.size(), true, target) ||
            !PositionOrFileStart(target, position, idMissing)) {
            TARVO_LOG(m_Log, LOG_WARNING,
                      "guide item \"%s\" points at \"%s\", which is not in the book; left out",
                      item.m_Type.c_str(), item.m_Href.c_str());
            continue;
        }
        GuideEntry entry;
        entry.m_Type = item.m_Type;
        entry.m_Title = item.m_Title;
        FragmentAndOffset(position, entry.m_FragmentNumber, entry.m_Offset);
        guide.push_back(std::move(entry));
    }
}

std::vector<uint32_t> CKf8TextWriter::NavPointPositions() const
{
    const std::vector<NavPoint>& points = m_Book.m_NavPoints;
    std::vector<uint32_t> positions;
    positions.reserve(points.size());
    // Every entry is kept, as the EPUB output keeps it: one whose id its file lacks leads to the
    // file's start, one whose file is no document of the book to where the entry before it leads.
    size_t atFileStart = 0, atPrevious = 0;
    uint32_t previous = 0;
    for (const NavPoint& point : points) {
        LinkTarget target;
        uint32_t position = previous;
        bool idMissing = false;
        if (ResolveHref(point.m_Src, std::string(), m_Run.m_Files.size(), true, target) &&
            PositionOrFileStart(target, position, idMissing)) {
            if (idMissing && ++atFileStart <= LOGGED_LINKS)
                TARVO_LOG(m_Log, LOG_WARNING,
                          "NavPoint \"%s\": no \"%s\" in its file; it leads to the file's start",
                          point.m_Label.c_str(), point.m_Src.c_str());
        } else if (++atPrevious <= LOGGED_LINKS) {
            TARVO_LOG(m_Log, LOG_WARNING,
                      "NavPoint \"%s\" points at \"%s\", which is no document of the book; it leads where "
                      "the entry before it does",
                      point.m_Label.c_str(), point.m_Src.c_str());
        }
        previous = position;
        positions.push_back(position);
    }
    if (atFileStart + atPrevious > 0)
        TARVO_LOG(m_Log, LOG_WARNING,
                  "%zu NavPoints lead to their file's start, %zu where the entry before leads", atFileStart,
                  atPrevious);
    return positions;
}

void CKf8TextWriter::GetNcxList(uint32_t textLength, std::vector<NcxEntry>& ncx) const
{
    const std::vector<NavPoint>& points = m_Book.m_NavPoints;
    const std::vector<uint32_t> positions = NavPointPositions();
    const size_t count = points.size();
    std::vector<int32_t> parent(count, -1);
    for (size_t k = 0; k < count; ++k) {
        const int32_t p = points[k].m_Parent;
        if (p >= 0 && static_cast<size_t>(p) < count && p != static_cast<int32_t>(k)) parent[k] = p;
    }
    const std::vector<int32_t> depth = NcxDepths(parent);

    std::vector<uint32_t> sorted = positions;
    std::sort(sorted.begin(), sorted.end());
    ncx.resize(count);
    for (size_t k = 0; k < count; ++k) {
        NcxEntry& entry = ncx[k];
        entry.m_Key = std::to_string(k + 1);
        entry.m_TextOffset = static_cast<int32_t>(positions[k]);
        auto next = std::upper_bound(sorted.begin(), sorted.end(), positions[k]);
        uint32_t end = next != sorted.end() ? *next : textLength;
        entry.m_Length = static_cast<int32_t>(end >= positions[k] ? end - positions[k] : 0);
        entry.m_Label = points[k].m_Label;
        entry.m_HasLabel = true;
        entry.m_Depth = depth[k];
        entry.m_Parent = parent[k];
        uint32_t sequence = 0, offset = 0;
        FragmentAndOffset(positions[k], sequence, offset);
        entry.m_FragmentNumber = static_cast<int32_t>(sequence);
        entry.m_FragmentOffset = static_cast<int32_t>(offset);
    }
    for (size_t k = 0; k < count; ++k) {
        if (parent[k] < 0) continue;
        NcxEntry& p = ncx[static_cast<size_t>(parent[k])];
        if (p.m_FirstChild < 0) p.m_FirstChild = static_cast<int32_t>(k);
        p.m_LastChild = static_cast<int32_t>(k);
    }
    if (size_t cut = FitLabelsToCncx(ncx))
        TARVO_LOG(m_Log, LOG_WARNING, "%zu of %zu NavPoint labels shortened so that readers take the index",
                  cut, ncx.size());
}

// Each file's placeholders are looked for in that file's stretch of the text only, once each.
void CKf8TextWriter::HandleALink(std::string& text) const
{
    const std::string pattern = std::string("href=\"") + LINK_PLACEHOLDER;
    size_t toFileStart = 0;
    for (const OutputFile& file : m_Run.m_Files) {
        if (file.m_Number < 0 || file.m_FirstLink == file.m_EndLink) continue;
        std::vector<uint8_t> done(file.m_EndLink - file.m_FirstLink, 0);
        std::string_view region(text.data() + file.m_Start, file.m_End - file.m_Start);
        for (size_t at = region.find(pattern); at != std::string_view::npos;
             at = region.find(pattern, at + 1)) {
            size_t digits = at + pattern.size();
            if (digits + 10 > region.size()) break;
            uint64_t number = 0;
            bool decimal = true;
            for (size_t i = 0; i < 10; ++i) {
                char c = region[digits + i];
                decimal = decimal && c >= '0' && c <= '9';
                number = number * 10 + static_cast<uint64_t>(c - '0');
            }
            if (!decimal || number <= file.m_FirstLink || number > file.m_EndLink) continue;
            size_t index = static_cast<size_t>(number - 1);
            if (done[index - file.m_FirstLink]) continue;
            done[index - file.m_FirstLink] = 1;
            std::string link(LINK_LENGTH, 'X');
            uint32_t position = 0;
            bool idMissing = false;
            // A link to an id its file lacks still leads into the right file.
            if (PositionOrFileStart(m_Run.m_Links[index], position, idMissing)) {
                if (idMissing && ++toFileStart <= LOGGED_LINKS)
                    TARVO_LOG(m_Log, LOG_WARNING,
                              "link in %s to \"%s#%s\", which has no such id, leads to the file's start",
                              file.m_Name.c_str(), m_Run.m_Files[m_Run.m_Links[index].m_File].m_Name.c_str(),
                              m_Run.m_Links[index].m_Id.c_str());
                uint32_t sequence = 0, offset = 0;
                FragmentAndOffset(position, sequence, offset);
                link = POSITION_PREFIX + WriteBase32(sequence, 4) + ":off:" + WriteBase32(offset, 10);
            }
            text.replace(file.m_Start + at + 6, LINK_LENGTH, link);
        }
    }
    if (toFileStart > LOGGED_LINKS)
        TARVO_LOG(m_Log, LOG_WARNING, "%zu links lead to the start of a file that lacks their id",
                  toFileStart);
}

// url(...) references of every style sheet flow, commented ones too, become resource references. A style
// sheet's own folder is where its references start; an inline one's is its document's.
void CKf8TextWriter::HandleFlowEmbedRES()
{
    for (size_t i = 0;; ++i) {
        std::vector<MobiResource*> flows = m_Run.m_Resources->Flows();
        if (i >= flows.size()) break;
        if (flows[i]->m_Kind != ResourceKind::StyleSheet) continue;
        // Making a reference may add entries and move this one.
        const std::string css = ImportsAsUrls(flows[i]->m_Bytes);
        auto inlineFlow = m_Run.m_InlineFlowDirectory.find(flows[i]->m_Kf8Ref);
        const std::string directory = inlineFlow != m_Run.m_InlineFlowDirectory.end()
                                          ? inlineFlow->second
                                          : GetDirectory(flows[i]->m_Path);
        std::string out;
        out.reserve(css.size());
        size_t from = 0;
        for (const StyleSheetReference& reference : StyleSheetReferences(css)) {
            // Kept as written: a name with a bracket in it, a url() left open, one spelt in
            // capitals, and an empty one.
            const std::string_view written(css.data() + reference.m_Offset, reference.m_Length);
            if (reference.m_Import || !reference.m_Closed || reference.m_Value.empty() ||
                css.compare(reference.m_Offset - 4, 4, "url(") != 0 ||
                written.find_first_of("()") != std::string_view::npos)
                continue;
            const std::string resource = m_Run.m_Resources->Reference(directory, reference.m_Value, true);
            if (resource.empty()) continue;
            const std::string quote = reference.m_Quote ? std::string(1, reference.m_Quote) : std::string();
            out.append(css, from, reference.m_Offset - from);
            out += quote + resource + quote;
            from = reference.m_Offset + reference.m_Length;
        }
        out.append(css, from, std::string::npos);
        m_Run.m_Resources->Flows()[i]->m_Bytes = std::move(out);
    }
}

void CKf8TextWriter::MakeChunkIndex(const std::vector<GuideEntry>& guide, const std::vector<NcxEntry>& ncx,
                                    MobiPartText& part) const
{
    std::vector<std::string>& records = part.m_IndexRecords;
    {
        CIndexWriter writer(FRAGMENT_TAGS);
        CCncxWriter selectors;
        for (const FragmentTableEntry& f : m_Run.m_Fragments)
            writer.AddFragmentEntry(f.m_InsertPosition, selectors.Add(f.m_Selector), f.m_FileNumber,
                                    f.m_SequenceNumber, f.m_StartOffset, f.m_Length);
        part.m_ChunkIndex = static_cast<int32_t>(records.size());
        writer.Finish(&selectors, records);
    }
    {
        CIndexWriter writer(SKELETON_TAGS);
        for (const SkeletonTableEntry& s : m_Run.m_Skeletons)
            writer.AddSkeletonEntry(s.m_Name, s.m_FragmentCount, s.m_StartPosition, s.m_Length);
        part.m_SkeletonIndex = static_cast<int32_t>(records.size());
        writer.Finish(nullptr, records);
    }
    if (!guide.empty()) {
        CIndexWriter writer(GUIDE_TAGS);
        CCncxWriter titles;
        for (const GuideEntry& g : guide)
            writer.AddGuideEntry(g.m_Type, titles.Add(g.m_Title), g.m_FragmentNumber, g.m_Offset);
        part.m_GuideIndex = static_cast<int32_t>(records.size());
        writer.Finish(&titles, records);
    }
    if (!ncx.empty()) {
        CIndexWriter writer(NCX_KF8_TAGS);
        CCncxWriter labels;
        for (const NcxEntry& e : ncx)
            writer.AddNcxEntry(e, labels.Add(e.m_Label), true);
        part.m_NcxIndex = static_cast<int32_t>(records.size());
        writer.Finish(&labels, records);
    }
}
