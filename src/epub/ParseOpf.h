// Reading a package document (OPF) and its NCX table of contents into the intermediate book.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"

#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class CRunLog;

namespace tinyxml2
{
class XMLElement;
}

// Returned when the text does not look like a package document; it has no message of its own.
constexpr ResultCode RC_EPUB_NOT_A_PACKAGE = 0x9000008;
// Tables of contents deeper than this are cut there; no reader shows more levels.
constexpr int NCX_DEPTH_LIMIT = 64;

struct OpfMetaItem {
    std::string m_Name; // lower-case local name: "title", "creator", "meta", ...
    std::string m_Value;
    std::string m_Role, m_FileAs, m_Event, m_Scheme, m_Id;
    std::string m_MetaName, m_MetaContent; // for "meta" elements
    std::string m_Refines, m_Property;     // EPUB 3 "meta" elements that qualify another element
    // What EPUB 3 refinements say of the element: "main" or "subtitle" of a title; "series" or
    // "set" of a collection and the book's place in it.
    std::string m_TitleType, m_CollectionType, m_GroupPosition;
};

struct OpfManifestItem {
    std::string m_Id, m_Href, m_MediaType;
};

class CParseOpf
{
  public:
    // Parses one OPF text. On RC_EPUB_OPF_CONTENT, offendingName holds the element name as written.
    ResultCode Parse(const std::string& opfText, std::string& offendingName);
    void Clear();

    // Metadata items as map entries: "date_<event>", "identifier_<scheme>", "contributor_<role>".
    // Only the main title is "title"; a creator in a role other than author is a contributor.
    // Sort names, the series, the reading direction and the layout go to the book's own fields.
    void FillMetaData(CIntermediateBook& book) const;
    // Content documents in spine order and the manifest's images and other resources.
    // True when a reference (or the NCX) climbs out of the package folder ("../").
    bool BuildFileLists(CIntermediateBook& book, std::vector<std::string>& images) const;
    const OpfManifestItem* FindById(const std::string& id) const;
    // The dc:identifier values, the one the package names as its unique identifier first.
    std::vector<std::string> Identifiers() const;

    std::vector<OpfMetaItem> m_Metadata;
    std::vector<OpfManifestItem> m_Manifest;
    std::vector<std::string> m_Spine; // idrefs
    std::vector<GuideItem> m_Guide;   // hrefs as written
    std::string m_CoverId;            // manifest id named by <meta name="cover">
    std::string m_CoverHref;          // that item's href
    std::string m_NcxHref;
    std::string m_UniqueIdentifierId; // the package's "unique-identifier"
    std::string m_PageProgression;    // the spine's page-progression-direction
    std::string m_NavHref;            // the EPUB 3 navigation document
    bool m_FullParse = false;         // lifts the bound on very long metadata sections

  private:
    std::unordered_map<std::string, size_t> m_ManifestIndex; // id -> first item with it

    ResultCode ParseMetadata(const tinyxml2::XMLElement* metadata, std::string& offendingName);
};

// Reads one metadata element given as text ("<dc:title>...</dc:title>"); false when it is not one.
bool ReadMetaElementText(const std::string& elementText, OpfMetaItem& item);
// Gives elements the role, file-as, title type, collection type and group position that EPUB 3
// states in meta elements refining them ("#id"). Of several roles, author wins.
void ApplyRefinements(std::vector<OpfMetaItem>& items);
// The title a reader shows: the one refined as the main title, else the first; null without one.
const OpfMetaItem* MainTitle(const std::vector<OpfMetaItem>& items);
// True for a creator's role that makes an author: none, "aut" or "author".
bool IsAuthorRole(const std::string& role);
// The metadata map key of an element: "date_<event>", "identifier_<scheme>", "contributor_<role>".
std::string MetaKeyOf(const OpfMetaItem& item);
// The key the book's metadata reads the element under, empty for an element it does not read (a
// meta, a title other than mainTitle): a creator in a role other than author is a contributor.
std::string ReadKeyOf(const OpfMetaItem& item, const OpfMetaItem* mainTitle);
// The elements' values under their keys, and the sort forms of people's names (refinements applied).
void FillMetaDataValues(const std::vector<OpfMetaItem>& items, CIntermediateBook& book);

// An XML name lower-cased and without its namespace prefix: "dc:creator" gives "creator".
std::string LocalName(const char* name);
// The first child element of that local name (lower case), or none; none for no parent.
const tinyxml2::XMLElement* ChildByLocalName(const tinyxml2::XMLElement* parent, const char* localName);

// Parses, escaping one offending element after the other until the text is accepted.
ResultCode ParseOpfText(std::string& opfText, CParseOpf& parser);

// Hrefs are resolved against the package folder; when the book was rebased they become relative
// to the TempDirectory (contentDirectory put in front), otherwise they stay relative to the package.
// An external href comes back as it is; one that leads out of the book (or out of the package
// when not rebased) comes back empty, so it names no file.
std::string ResolveBookHref(const std::string& href, const std::string& baseDirectory,
                            const CIntermediateBook& book);

void getGuideList(const CParseOpf& parser, CIntermediateBook& book);
// item.m_Href already resolved; a cover reference to a document names the book's cover page.
void AddGuideItem(const GuideItem& item, CIntermediateBook& book);
// ncxDirectory: the NCX's folder relative to the package folder.
ResultCode getNvPointList(const std::string& ncxText, const std::string& ncxDirectory,
                          CIntermediateBook& book);

// A package may list files its archive lacks. Leaves every file that `present` denies out of the
// book's file lists, guide, cover page and table of contents (an entry's children move up to its
// parent) and logs each one. `present` gets the name as the book lists it.
void DropMissingFiles(const std::function<bool(const std::string&)>& present, CIntermediateBook& book,
                      CRunLog* log);

// Leaves out the entries whose file (normalized, fragment cut off) is one of files; their children
// move up to the nearest entry kept above them.
void DropNavPointsTo(const std::set<std::string>& files, std::vector<NavPoint>& navPoints);
