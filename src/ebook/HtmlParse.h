// HTML repair through libtidy and our own XHTML printers; link and resource collection of an HTML
// tree; the naked-ampersand repair, the entity decoder and the cover page shared by the handlers.
#pragma once

#include "base/ResultCode.h"
#include "ebook/PageCut.h"

#include <tidy/tidy.h>
#include <tidy/tidybuffio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CRunLog;
class CIntermediateBook;
struct TidyBudget;

// What one processed HTML file of GetHtmlList refers to. Paths in the lists are as written in the
// file, after URL decoding.
struct HtmlResourceRecord {
    std::string m_Folder; // relative to the TempDirectory, no trailing "/"; empty for the top folder
    std::string m_FileName;
    std::vector<std::string> m_Images; // images and other media (object, audio, video, script, ...)
    std::vector<std::string> m_StyleSheets;
    std::vector<std::string> m_HtmlFiles;
    // Resources really copied for this file, relative to the TempDirectory with "/" separators.
    std::vector<std::string> m_CopiedResources;
};

class CHtmlParse
{
  public:
    // Every walk skips a node deeper than this, with everything under it.
    static constexpr int MAX_DEPTH = 3000;
    // No tree that Init leaves is deeper than this, so no walk ever reaches MAX_DEPTH and text
    // nested deeper in the page is kept, flattened, rather than skipped.
    static constexpr int MAX_TREE_DEPTH = MAX_DEPTH - 32;
    // Start tags nested deeper than this (as a lexical estimate) are dropped before the text reaches
    // the library, whose parser and clean-up recurse once per level; their text stays. When the
    // library still builds a tree deeper than MAX_TREE_DEPTH, the text is cut again more tightly.
    static constexpr size_t TIDY_NESTING_LIMIT = MAX_TREE_DEPTH - 64;
    // The library may build a tree far larger than its text (unclosed inline elements are reopened
    // in every later block); parsing stops with RC_HTML_INIT when its memory passes this plus
    // TIDY_MEMORY_PER_BYTE for each byte of text.
    static constexpr size_t TIDY_MEMORY_BASE = 32u << 20;
    static constexpr size_t TIDY_MEMORY_PER_BYTE = 32;
    // The library's tree takes about ten times its text; PrintPage parses a larger page in pieces
    // of about this size so that a page of several megabytes needs a few megabytes more, not tens.
    static constexpr size_t PIECE_BYTES = 256u << 10;

    explicit CHtmlParse(CRunLog* log = nullptr);
    ~CHtmlParse();
    CHtmlParse(const CHtmlParse&) = delete;
    CHtmlParse& operator=(const CHtmlParse&) = delete;

    void SetLog(CRunLog* log) { m_Log = log; }
    void SetMemoryBudget(size_t base, size_t perByte)
    {
        m_MemoryBase = base;
        m_MemoryPerByte = perByte;
    }
    // Below MAX_TREE_DEPTH only in tests, which reach the tighter cuts with small pages.
    void SetMaxTreeDepth(int depth) { m_MaxTreeDepth = depth; }
    // Below PIECE_BYTES only in tests, which cut small pages into many pieces.
    void SetPieceBytes(size_t bytes) { m_PieceBytes = bytes; }

    // Parses NUL-terminated text (UTF-8, or Windows-1252 when asked) and optionally cleans and
    // repairs it. RC_HTML_INIT when the library reports a negative status or its tree outgrows the
    // memory budget (the object then holds no document).
    ResultCode Init(const std::string& text, bool isWindows1252 = false, bool cleanAndRepair = true);
    void Release();
    // Parses the page as Init does and calls each(piece, count) once the tree is there. A page
    // larger than the piece size is parsed one piece at a time when FindPageCuts finds places to
    // cut it: each piece is the page's text up to its body, the start tags of its wrappers and a
    // run of blocks, so that the content of its body (or innermost wrapper) is the next part of
    // the page's. The last piece's tree stays parsed; text is not read again once each is called
    // for the last piece (each may free it then).
    ResultCode ParseInPieces(const std::string& text, const std::function<void(size_t, size_t)>& each,
                             bool isWindows1252 = false);
    // Appends what print writes for the page, parsed by ParseInPieces: from a page in pieces, the
    // first piece's print up to the end of that content, the content of the middle ones and the
    // last one's from its start on, as the document printers mark it (a print that marks none
    // has every piece's output appended whole). Heading ids printed share one stamp.
    ResultCode PrintPage(const std::string& text, const std::function<void(std::string&)>& print,
                         std::string& out, bool isWindows1252 = false);
    // A document printer calls these right after an element's start tag and right before its end
    // tag, so that PrintPage knows which part of a piece's print is the page's next content.
    void NoteContentStart(TidyNode element, const std::string& out)
    {
        if (element == m_PieceContainer) m_ContainerInner.first = out.size();
    }
    void NoteContentEnd(TidyNode element, const std::string& out)
    {
        if (element == m_PieceContainer) m_ContainerInner.second = out.size();
    }
    TidyDoc GetDoc() const { return m_Doc; }
    TidyNode GetRoot() const;

    // ---- printers; all append to out and need a document from a successful Init ----
    void PrintNode(TidyNode node, std::string& out);
    void PrintDocument(std::string& out);
    void PrintDocumentWithoutXmlLang(std::string& out);
    // Links the stylesheet once per object, at the end of head; img keeps only alt, src, xlink:href.
    void PrintDocumentLinkingStyleSheet(const std::string& href, std::string& out);
    // Gives every h1-h6 without an id one ("e<date><time>.<n>") as it prints.
    void PrintDocumentWithHeadingIds(std::string& out);
    void PrintVisibleText(std::string& out);
    // The visible text of one element and everything under it.
    void PrintVisibleText(TidyNode node, std::string& out);
    // The same visible text as the characters it stands for, nothing escaped (for plain text).
    void AppendVisibleCharacters(TidyNode node, std::string& out);
    // The characters of a text node as they stand, nothing escaped.
    void AppendCharacters(TidyNode text, std::string& out);

    // Building blocks for the format-specific printers of other handlers.
    void PrintStartTag(TidyNode element, std::string& out);
    static void PrintEndTag(TidyNode element, std::string& out);
    static void PrintDoctype(TidyNode doctype, std::string& out);
    // A non-element node as the library renders it, without the line end its flush adds.
    void PrintRendered(TidyNode node, std::string& out);
    void PrintRenderedByLibrary(TidyNode node, std::string& out);
    // The same rendering done here for the common short text node; false (out untouched) otherwise.
    bool RenderTextFast(TidyNode node, std::string& out);
    static bool IsElement(TidyNode node);
    static bool IsSelfClosing(const char* name);
    // Elements inside running text (a, b, span...). A line end there is a space on the page, so
    // none is printed after their tags: "<a>FAQ</a>." must not read "FAQ .".
    static bool IsPhrasing(const char* name);
    // A block's start tag ends its line when the element is self-closing or holds markup.
    static bool LineEndAfterStartTag(TidyNode element, const char* name);
    // The element's name as printed: the library lower-cases every name, and SVG element names
    // (linearGradient, foreignObject, ...) get their case back. Start and end tags both use it.
    static const char* ElementName(TidyNode element);
    // The attribute's name as printed: on svg and the elements inside it, SVG's camel-case
    // attribute names (viewBox, preserveAspectRatio, ...) get their case back.
    const char* AttributeName(TidyNode element, TidyAttr attr);
    // The element's id attribute, or the one the heading-id printer gave it; empty when none.
    std::string GetId(TidyNode element) const;
    // The text under the node as a reader shows it in a label: the characters of its text nodes
    // as they stand, a line break as a blank, white space collapsed and trimmed (depth limited).
    std::string CollectText(TidyNode node);

    // Turns startFile and every local HTML file it links to into content files in tempDirectory
    // (which ends with a separator), with their resources, and appends the table of contents made
    // from the headings to the book's NavPoint list. The records are kept in processing order.
    ResultCode GetHtmlList(const std::string& startFile, const std::string& tempDirectory,
                           CIntermediateBook& book);
    const std::vector<HtmlResourceRecord>& GetRecords() const { return m_Records; }
    void ClearRecords() { m_Records.clear(); }

    // Collects the references of the current document into record (exposed for tests).
    void CollectResources(HtmlResourceRecord& record);

  private:
    enum class PrintMode { Plain, HeadingIds, StyleSheet };
    // One attempt of Init on text already cut to a nesting limit.
    ResultCode Parse(const std::string& text, bool isWindows1252, bool cleanAndRepair);
    void PrintDocumentAs(PrintMode mode, std::string& out);
    void PrintTree(TidyNode node, PrintMode mode, std::string& out);
    TidyNode PieceContainer(const std::vector<PageCuts::Wrapper>& wrappers, bool firstPiece) const;
    void PrintAttributes(TidyNode element, std::string& out, bool& hadAttribute);
    void AssignHeadingId(TidyNode heading);
    void PrintVisible(TidyNode node, bool asCharacters, std::string& out);
    void CollectTextInto(TidyNode node, std::string& text);
    void BuildToc(TidyNode node, size_t fileIndex, CIntermediateBook& book);
    bool IsInsideSvg(TidyNode element);

    struct PendingFile;
    ResultCode ProcessFile(const std::vector<std::string>& source, CIntermediateBook& book,
                           std::vector<PendingFile>& files);
    ResultCode WritePage(const std::string& tempDirectory, size_t topDepth, PendingFile& file,
                         std::unordered_set<std::string>& written);
    // Copies the file's resources to their places relative to its page; a failed copy is skipped.
    void WriteToTempDirectory(const std::string& tempDirectory, size_t topDepth, const PendingFile& file,
                              std::unordered_set<std::string>& written);

    CRunLog* m_Log = nullptr;
    std::unique_ptr<TidyBudget> m_Budget; // the allocator of m_Doc; outlives it
    TidyDoc m_Doc = nullptr;
    TidyBuffer m_TextValue; // reused by RenderTextFast and AppendCharacters
    size_t m_MemoryBase = TIDY_MEMORY_BASE;
    size_t m_MemoryPerByte = TIDY_MEMORY_PER_BYTE;
    int m_MaxTreeDepth = MAX_TREE_DEPTH;
    size_t m_PieceBytes = PIECE_BYTES;
    TidyNode m_PieceContainer = nullptr;        // the element whose content a piece holds
    std::pair<size_t, size_t> m_ContainerInner; // where the document printers put its content
    int m_Depth = 0;
    int m_HeadingCounter = 0;
    int m_PlayOrder = 1;
    int32_t m_HeadingSlots[6] = {-1, -1, -1, -1, -1, -1};
    std::string m_HeadingStamp; // "e<date><time>." read once per page
    std::unordered_map<TidyNode, std::string> m_HeadingIds;
    std::unordered_map<TidyNode, bool> m_InsideSvg; // elements already placed, with their ancestors
    std::vector<HtmlResourceRecord> m_Records;
    std::vector<std::pair<size_t, size_t>> m_TocFiles; // NavPoint index in the book, pending file index
    std::vector<std::string> m_TocFragments;
    std::string m_StyleSheetHref;
    bool m_StyleSheetLinked = false;
};

// An attribute value as printed between double quotes.
void AppendAttributeValue(const std::string& value, std::string& out);

// Escapes every "&" that does not start a character reference; true when the text changed.
bool HandleNakedAmpersand(std::string& text);

// Every run of blanks, tabs and line ends made one blank, and none at either end.
std::string CollapseWhiteSpace(const std::string& text);

// Decodes "&#160;" (to a blank), "&amp;", "&gt;", "&lt;", "&nbsp;" (removed) and "&quot;".
std::string DecodeEntities(const std::string& text);

// A one-image XHTML page for a cover image.
std::string MakeCoverPage(const std::string& imageHref);
