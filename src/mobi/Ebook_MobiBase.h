// What the MOBI 6 and KF8 text readers share: the anchor map from text positions to link targets,
// the id scan of a file's bytes, and the attribute-rewriting tag printer over the HTML tree.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"

#include <tidy/tidy.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CHtmlParse;
class CMobiHeader;
class CRunLog;

struct HtmlAttribute {
    std::string m_Name;
    std::string m_Value;
};
using AttributeList = std::vector<HtmlAttribute>;

// The element's attributes, their names as parse prints them (SVG names in their own case).
AttributeList ReadAttributes(CHtmlParse& parse, TidyNode element);
// Null when the attribute is absent.
const std::string* FindAttribute(const AttributeList& attributes, const char* name);
void SetAttribute(AttributeList& attributes, const char* name, const std::string& value);
void RemoveAttribute(AttributeList& attributes, const char* name);
// The element's start tag with the given attributes, laid out as CHtmlParse lays out its own.
void PrintStartTagWith(TidyNode element, const AttributeList& attributes, std::string& out);

// A page walk's step short of an element: nothing past MAX_DEPTH or for markup no reader shows
// (output: the output printers' list), the document type when kept, other nodes as parse renders
// them. True when node is an element for the walker's own printer.
bool IsElementToPrint(CHtmlParse& parse, TidyNode node, int depth, bool output, bool keepDoctype,
                      std::string& out);

// A decimal number of at most 18 digits at the start of text (leading blanks and zeros allowed);
// false when there is none.
bool ParseDecimal(const std::string& text, int64_t& value);

// Comments, XML declarations, processing instructions and server-side code: no reader shows them.
bool IsDroppedOnOutput(TidyNodeType type);
// Elements the Kindle output printers leave out while still printing their children.
bool IsUnwrappedOnOutput(const char* name);

// Every id (and every a's name) of the bytes [start, end) of text under fileName ("fileName#id"),
// by the position of its tag.
void ScanIds(const std::string& text, size_t start, size_t end, const std::string& fileName,
             std::map<int64_t, std::string>& anchors);

// Text from one book part's charset to UTF-8; UTF-8 parts pass through.
std::string PartTextToUtf8(const std::string& text, bool isWindows1252);

class CEbookMobiBase
{
  public:
    // resources: the part whose unpacked resource files the text refers to (the first part of a
    // joint file for its KF8 text). Both headers must outlive this object.
    CEbookMobiBase(CMobiHeader& header, const CMobiHeader& resources, const std::string& tempDirectory,
                   CRunLog* log);
    virtual ~CEbookMobiBase() = default;
    CEbookMobiBase(const CEbookMobiBase&) = delete;
    CEbookMobiBase& operator=(const CEbookMobiBase&) = delete;

    // Fills the part's HtmlFileList, ResourceList, NavPoints and GuideItems from its decoded text.
    virtual ResultCode MakeFileListToMetaData() = 0;

    // The target of the anchor nearest to position (an exact key wins; on equal distance the later
    // anchor); empty when the map is empty.
    std::string LookupTarget(int64_t position) const;
    // Records every id (and every a's name) of the bytes [start, end) of the text under fileName.
    void GetIdStrByFilePos(const std::string& text, size_t start, size_t end, const std::string& fileName);
    const std::map<int64_t, std::string>& AnchorMap() const { return m_AnchorMap; }

  protected:
    // The resource file unpacked for a resource number, or null.
    const std::string* ResourceFile(int64_t number) const;
    // Prints one parsed file with PrintElement and writes it; false when the text does not parse.
    // sourceSize: the file's size in the book, which sets the parser's memory budget even when
    // bytes lost markup on the way.
    bool WriteHtmlFile(const std::string& bytes, const std::string& name, size_t sourceSize);
    // Drops NavPoints whose source stayed empty and renumbers the parent and child links of the rest.
    void RemoveUnresolvedNavPoints();
    void PrintChildren(TidyNode node, std::string& out);
    void PrintNodeOf(TidyNode node, std::string& out);
    virtual void PrintElement(TidyNode element, std::string& out) = 0;
    void PrintElementWith(TidyNode element, const AttributeList& attributes, std::string& out);

    CMobiHeader& m_Header;
    CIntermediateBook& m_Book;
    const CMobiHeader& m_Resources;
    std::string m_TempDirectory; // ends with a separator
    CRunLog* m_Log;
    CHtmlParse* m_Parse = nullptr; // the tree being printed
    int m_Depth = 0;
    std::map<int64_t, std::string> m_AnchorMap;
};
