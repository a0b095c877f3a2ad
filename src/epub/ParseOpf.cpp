// Package documents are parsed with tinyxml2; element names compare lower-cased and without their
// namespace prefix, so "dc:creator", "opf:creator" and "creator" are alike.
#include "epub/ParseOpf.h"

#include "base/Href.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>

std::string LocalName(const char* name)
{
    std::string text = name ? name : "";
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) text.erase(0, colon + 1);
    ToLower(text);
    return text;
}

const tinyxml2::XMLElement* ChildByLocalName(const tinyxml2::XMLElement* parent, const char* localName)
{
    if (parent == nullptr) return nullptr;
    for (const tinyxml2::XMLElement* c = parent->FirstChildElement(); c; c = c->NextSiblingElement())
        if (LocalName(c->Name()) == localName) return c;
    return nullptr;
}

namespace
{

const char* const DC_NAMES[] = {
    "title",      "creator",     "date",   "subject",     "language", "coverage", "rights", "publisher",
    "identifier", "description", "format", "contributor", "relation", "type",     "source", "meta"};
const char* const DOCUMENT_TYPES[] = {"application/xhtml+xml", "text/x-oeb1-document", "text/html",
                                      "application/xml"};
const char* const IMAGE_TYPES[] = {"image/jpeg", "image/png", "image/gif", "image/pjpg"};

constexpr int METADATA_KIND_LIMIT = 200;

bool IsDublinCore(const std::string& localName)
{
    for (const char* dc : DC_NAMES)
        if (localName == dc) return true;
    return false;
}

bool IsOneOf(const std::string& value, const char* const* list, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (EqualsNoCase(value, list[i])) return true;
    return false;
}

std::string Attribute(const tinyxml2::XMLElement* element, const char* localName)
{
    for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a; a = a->Next())
        if (LocalName(a->Name()) == localName) return a->Value();
    return "";
}

// Text of all text nodes below the element, depth-bounded by tinyxml2's own parse limit.
void AppendText(const tinyxml2::XMLNode* node, std::string& text)
{
    for (const tinyxml2::XMLNode* child = node->FirstChild(); child; child = child->NextSibling()) {
        if (child->ToText())
            text += child->Value();
        else if (child->ToElement())
            AppendText(child, text);
    }
}

// A Dublin Core element inside a metadata value is markup that was copied into the value.
const tinyxml2::XMLElement* NestedDublinCore(const tinyxml2::XMLElement* element)
{
    for (const tinyxml2::XMLElement* child = element->FirstChildElement(); child;
         child = child->NextSiblingElement()) {
        if (IsDublinCore(LocalName(child->Name()))) return child;
        if (const tinyxml2::XMLElement* deeper = NestedDublinCore(child)) return deeper;
    }
    return nullptr;
}

// properties and epub:type hold names separated by white space.
bool HasToken(const std::string& list, const char* token)
{
    const size_t length = std::strlen(token);
    for (size_t at = list.find(token); at != std::string::npos; at = list.find(token, at + 1)) {
        const bool starts = at == 0 || std::isspace(static_cast<unsigned char>(list[at - 1]));
        const size_t end = at + length;
        if (starts && (end == list.size() || std::isspace(static_cast<unsigned char>(list[end]))))
            return true;
    }
    return false;
}

std::string ExtensionOf(const std::string& href)
{
    std::string extension;
    return GetExtension(href, extension) ? extension : "";
}

OpfMetaItem ReadMetaItem(const tinyxml2::XMLElement* e, const std::string& localName)
{
    OpfMetaItem item;
    item.m_Name = localName;
    AppendText(e, item.m_Value);
    item.m_Value = Trimmed(item.m_Value);
    item.m_Role = Attribute(e, "role");
    item.m_FileAs = Attribute(e, "file-as");
    item.m_Event = Attribute(e, "event");
    item.m_Scheme = Attribute(e, "scheme");
    item.m_Id = Attribute(e, "id");
    item.m_MetaName = Attribute(e, "name");
    item.m_MetaContent = Attribute(e, "content");
    item.m_Refines = Attribute(e, "refines");
    item.m_Property = Attribute(e, "property");
    return item;
}

} // namespace

bool ReadMetaElementText(const std::string& elementText, OpfMetaItem& item)
{
    std::string text = elementText;
    ReplaceAll(text, "&#", "&amp;#");
    tinyxml2::XMLDocument doc;
    if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS || doc.RootElement() == nullptr)
        return false;
    std::string name = LocalName(doc.RootElement()->Name());
    if (!IsDublinCore(name)) return false;
    item = ReadMetaItem(doc.RootElement(), name);
    return true;
}

bool IsAuthorRole(const std::string& role)
{
    const std::string trimmed = Trimmed(role);
    return trimmed.empty() || EqualsNoCase(trimmed, "aut") || EqualsNoCase(trimmed, "author");
}

void ApplyRefinements(std::vector<OpfMetaItem>& items)
{
    // Collections are meta elements themselves, refined in turn.
    std::unordered_map<std::string, size_t> byId;
    for (size_t i = 0; i < items.size(); ++i)
        if (!items[i].m_Id.empty()) byId.emplace(items[i].m_Id, i);
    auto setOnce = [](std::string& field, const std::string& value) {
        if (field.empty()) field = value;
    };
    for (size_t i = 0; i < items.size(); ++i) {
        const OpfMetaItem& meta = items[i];
        if (meta.m_Name != "meta" || !StartsWith(meta.m_Refines, "#")) continue;
        auto target = byId.find(meta.m_Refines.substr(1));
        if (target == byId.end() || target->second == i) continue;
        OpfMetaItem& item = items[target->second];
        const std::string& property = meta.m_Property;
        if (property == "role") {
            // One person may be author and illustrator at once: such a person is an author.
            if (item.m_Role.empty() || (IsAuthorRole(meta.m_Value) && !IsAuthorRole(item.m_Role)))
                item.m_Role = meta.m_Value;
        } else if (property == "file-as") {
            setOnce(item.m_FileAs, meta.m_Value);
        } else if (property == "title-type") {
            setOnce(item.m_TitleType, meta.m_Value);
        } else if (property == "collection-type") {
            setOnce(item.m_CollectionType, meta.m_Value);
        } else if (property == "group-position") {
            setOnce(item.m_GroupPosition, meta.m_Value);
        }
    }
}

const OpfMetaItem* MainTitle(const std::vector<OpfMetaItem>& items)
{
    const OpfMetaItem* first = nullptr;
    for (const OpfMetaItem& item : items) {
        if (item.m_Name != "title" || item.m_Value.empty()) continue;
        if (EqualsNoCase(Trimmed(item.m_TitleType), "main")) return &item;
        if (first == nullptr) first = &item;
    }
    return first;
}

void CParseOpf::Clear()
{
    bool full = m_FullParse;
    *this = CParseOpf();
    m_FullParse = full;
}

ResultCode CParseOpf::Parse(const std::string& opfText, std::string& offendingName)
{
    Clear();
    const std::string head = opfText.substr(0, 300);
    if (head.find("<?xml") == std::string::npos && head.find("<package") == std::string::npos)
        return RC_EPUB_NOT_A_PACKAGE;
    std::string text = opfText;
    ReplaceAll(text, "&#", "&amp;#");

    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) return RC_EPUB_OPF_TREE_INIT;
    const tinyxml2::XMLElement* package = doc.RootElement();
    if (package == nullptr) return RC_EPUB_OPF_TREE_EMPTY;
    m_UniqueIdentifierId = Attribute(package, "unique-identifier");

    for (const tinyxml2::XMLElement* part = package->FirstChildElement(); part;
         part = part->NextSiblingElement()) {
        std::string name = LocalName(part->Name());
        if (name == "metadata") {
            ResultCode rc = ParseMetadata(part, offendingName);
            if (rc != RC_OK) return rc;
        } else if (name == "manifest") {
            for (const tinyxml2::XMLElement* item = part->FirstChildElement(); item;
                 item = item->NextSiblingElement()) {
                if (LocalName(item->Name()) != "item") continue;
                // A manifest lists files: a fragment some packages add to an item names a place
                // in a file already listed, not a file of its own.
                std::string href = Attribute(item, "href");
                href.erase(std::min(href.find('#'), href.size()));
                OpfManifestItem entry{Attribute(item, "id"), href, Attribute(item, "media-type")};
                if (EqualsNoCase(ExtensionOf(entry.m_Href), "ncx") &&
                    (entry.m_MediaType == "application/x-dtbncx+xml" || entry.m_MediaType == "text/xml"))
                    m_NcxHref = entry.m_Href;
                const std::string properties = Attribute(item, "properties");
                if (m_CoverId.empty() && properties.find("cover-image") != std::string::npos)
                    m_CoverId = entry.m_Id;
                if (m_NavHref.empty() && HasToken(properties, "nav")) m_NavHref = entry.m_Href;
                m_ManifestIndex.emplace(entry.m_Id, m_Manifest.size());
                m_Manifest.push_back(entry);
            }
        } else if (name == "spine") {
            m_PageProgression = Trimmed(Attribute(part, "page-progression-direction"));
            for (const tinyxml2::XMLElement* ref = part->FirstChildElement(); ref;
                 ref = ref->NextSiblingElement())
                if (LocalName(ref->Name()) == "itemref") m_Spine.push_back(Attribute(ref, "idref"));
        } else if (name == "guide") {
            for (const tinyxml2::XMLElement* ref = part->FirstChildElement(); ref;
                 ref = ref->NextSiblingElement()) {
                if (LocalName(ref->Name()) != "reference") continue;
                GuideItem item;
                item.m_Type = Attribute(ref, "type");
                item.m_Title = Attribute(ref, "title");
                item.m_Href = Attribute(ref, "href");
                m_Guide.push_back(item);
            }
        }
    }
    if (const OpfManifestItem* cover = FindById(m_CoverId)) m_CoverHref = cover->m_Href;
    return RC_OK;
}

ResultCode CParseOpf::ParseMetadata(const tinyxml2::XMLElement* metadata, std::string& offendingName)
{
    int metaCount = 0, otherCount = 0;
    // Old packages wrap the elements in dc-metadata / x-metadata; one level of wrapping is read.
    std::vector<const tinyxml2::XMLElement*> groups = {metadata};
    for (const tinyxml2::XMLElement* c = metadata->FirstChildElement(); c; c = c->NextSiblingElement()) {
        std::string name = LocalName(c->Name());
        if (name == "dc-metadata" || name == "x-metadata") groups.push_back(c);
    }
    bool bounded = false;
    for (size_t g = 0; g < groups.size() && !bounded; ++g) {
        for (const tinyxml2::XMLElement* e = groups[g]->FirstChildElement(); e; e = e->NextSiblingElement()) {
            std::string name = LocalName(e->Name());
            if (!IsDublinCore(name)) continue;
            int& count = name == "meta" ? metaCount : otherCount;
            bounded = count > METADATA_KIND_LIMIT && !m_FullParse;
            if (bounded) break;
            ++count;
            if (const tinyxml2::XMLElement* nested = NestedDublinCore(e)) {
                offendingName = nested->Name();
                return RC_EPUB_OPF_CONTENT;
            }
            OpfMetaItem item = ReadMetaItem(e, name);
            if (name == "meta" && item.m_MetaName == "cover" && e->Attribute("content") != nullptr)
                m_CoverId = item.m_MetaContent;
            m_Metadata.push_back(item);
        }
    }
    ApplyRefinements(m_Metadata);
    return RC_OK;
}

const OpfManifestItem* CParseOpf::FindById(const std::string& id) const
{
    auto found = id.empty() ? m_ManifestIndex.end() : m_ManifestIndex.find(id);
    return found == m_ManifestIndex.end() ? nullptr : &m_Manifest[found->second];
}

std::vector<std::string> CParseOpf::Identifiers() const
{
    std::vector<std::string> identifiers;
    for (const OpfMetaItem& item : m_Metadata)
        if (item.m_Name == "identifier" && !m_UniqueIdentifierId.empty() && item.m_Id == m_UniqueIdentifierId)
            identifiers.push_back(item.m_Value);
    for (const OpfMetaItem& item : m_Metadata)
        if (item.m_Name == "identifier" &&
            (m_UniqueIdentifierId.empty() || item.m_Id != m_UniqueIdentifierId))
            identifiers.push_back(item.m_Value);
    return identifiers;
}

std::string MetaKeyOf(const OpfMetaItem& item)
{
    if (item.m_Name == "contributor" && item.m_Role == "bkp" && item.m_FileAs == "Tarvo")
        return "contributor_TarvoProducerName";
    if (item.m_Name == "date" && !item.m_Event.empty()) return "date_" + ToLowerCopy(item.m_Event);
    if (item.m_Name == "identifier" && !item.m_Scheme.empty()) {
        std::string scheme = item.m_Scheme;
        if (EqualsNoCase(scheme, "isbn"))
            scheme = "ISBN";
        else if (EqualsNoCase(scheme, "asin") || EqualsNoCase(scheme, "mobi-asin"))
            scheme = "ASIN";
        return "identifier_" + scheme;
    }
    if (item.m_Name == "contributor" && !item.m_Role.empty()) return "contributor_" + item.m_Role;
    return item.m_Name;
}

std::string ReadKeyOf(const OpfMetaItem& item, const OpfMetaItem* mainTitle)
{
    if (item.m_Name == "meta" || (item.m_Name == "title" && &item != mainTitle)) return "";
    if (item.m_Name == "creator" && !IsAuthorRole(item.m_Role)) return "contributor_" + Trimmed(item.m_Role);
    return MetaKeyOf(item);
}

namespace
{

// The series of EPUB 3 ("belongs-to-collection" of type series), else the meta pair that EPUB 2
// packages have long used for it; the title's sort form from such a meta when EPUB 3 gave none.
void FillSeriesAndTitleSort(const std::vector<OpfMetaItem>& items, CIntermediateBook& book)
{
    std::string epub2Series, epub2Index;
    for (const OpfMetaItem& item : items) {
        if (item.m_Name != "meta") continue;
        if (item.m_Property == "belongs-to-collection" && item.m_Refines.empty() &&
            EqualsNoCase(Trimmed(item.m_CollectionType), "series") && book.m_Series.empty() &&
            !item.m_Value.empty()) {
            book.m_Series = item.m_Value;
            book.m_SeriesIndex = Trimmed(item.m_GroupPosition);
        } else if (item.m_MetaName == "calibre:series" && epub2Series.empty()) {
            epub2Series = Trimmed(item.m_MetaContent);
        } else if (item.m_MetaName == "calibre:series_index" && epub2Index.empty()) {
            epub2Index = Trimmed(item.m_MetaContent);
        } else if (item.m_MetaName == "calibre:title_sort" && book.m_TitleSort.empty()) {
            book.m_TitleSort = Trimmed(item.m_MetaContent);
        }
    }
    if (book.m_Series.empty() && !epub2Series.empty()) {
        book.m_Series = epub2Series;
        book.m_SeriesIndex = epub2Index;
    }
}

} // namespace

void FillMetaDataValues(const std::vector<OpfMetaItem>& items, CIntermediateBook& book)
{
    // Subtitles and the titles of collected works are no titles of the book: readers show one.
    const OpfMetaItem* mainTitle = MainTitle(items);
    for (const OpfMetaItem& item : items) {
        const std::string key = ReadKeyOf(item, mainTitle);
        if (key.empty()) continue;
        const bool person = item.m_Name == "creator" || item.m_Name == "contributor";
        book.AddValue(key, item.m_Value);
        if (person && !item.m_Value.empty() && !Trimmed(item.m_FileAs).empty())
            book.m_SortNames.emplace(item.m_Value, Trimmed(item.m_FileAs));
    }
}

void CParseOpf::FillMetaData(CIntermediateBook& book) const
{
    FillMetaDataValues(m_Metadata, book);
    const OpfMetaItem* mainTitle = MainTitle(m_Metadata);
    if (mainTitle != nullptr) book.m_TitleSort = Trimmed(mainTitle->m_FileAs);
    if (!m_CoverHref.empty()) book.AddValue("coverimage", m_CoverHref);
    FillSeriesAndTitleSort(m_Metadata, book);
    book.m_RightToLeft = EqualsNoCase(m_PageProgression, "rtl");
    for (const OpfMetaItem& item : m_Metadata)
        if (item.m_Name == "meta" && item.m_Property == "rendition:layout" && item.m_Refines.empty())
            book.m_FixedLayout = Trimmed(item.m_Value) == "pre-paginated";
}

bool CParseOpf::BuildFileLists(CIntermediateBook& book, std::vector<std::string>& images) const
{
    // An NCX above the package (still in the archive) names documents from there.
    bool climbsOut = StartsWith(m_NcxHref, "../");
    std::set<std::string> taken;
    for (const std::string& idref : m_Spine) {
        const OpfManifestItem* item = FindById(idref);
        if (item == nullptr || item->m_Href.empty()) continue;
        bool document = IsOneOf(item->m_MediaType, DOCUMENT_TYPES, std::size(DOCUMENT_TYPES));
        if (!document && EqualsNoCase(item->m_MediaType, "application/octet-stream")) {
            std::string extension = ExtensionOf(item->m_Href);
            document = extension.find("htm") != std::string::npos || extension == "xml";
        }
        if (!document || !taken.insert(item->m_Href).second) continue;
        book.m_HtmlFileList.push_back(item->m_Href);
        climbsOut = climbsOut || StartsWith(item->m_Href, "../");
    }
    for (const OpfManifestItem& item : m_Manifest) {
        if (item.m_Href.empty() || taken.count(item.m_Href) || item.m_Href == m_NcxHref) continue;
        if (IsOneOf(item.m_MediaType, IMAGE_TYPES, std::size(IMAGE_TYPES))) {
            images.push_back(item.m_Href);
            climbsOut = climbsOut || StartsWith(item.m_Href, "../");
        }
        taken.insert(item.m_Href);
        book.m_ResourceList.push_back(item.m_Href);
    }
    return climbsOut;
}

ResultCode ParseOpfText(std::string& opfText, CParseOpf& parser)
{
    for (;;) {
        std::string offending;
        ResultCode rc = parser.Parse(opfText, offending);
        if (rc != RC_EPUB_OPF_CONTENT) return rc;
        // Escape the first occurrence of the offending element, its end tag too so the text stays
        // well-formed; each round escapes one more, so the loop ends when none is left.
        size_t at = opfText.find("<" + offending);
        if (offending.empty() || at == std::string::npos) return rc;
        opfText.replace(at, 1, "&lt;");
        size_t end = opfText.find("</" + offending + ">", at);
        if (end != std::string::npos) opfText.replace(end, 1, "&lt;");
    }
}

std::string ResolveBookHref(const std::string& href, const std::string& baseDirectory,
                            const CIntermediateBook& book)
{
    const CHref parsed = CHref::Parse(href);
    if (parsed.m_External) return href;
    const size_t hash = href.find('#');
    const std::string fragment = hash == std::string::npos ? "" : href.substr(hash);
    if (parsed.m_Path.empty()) return fragment;
    const std::string base =
        (book.m_RelativeToContentDirectory ? "" : book.m_ContentDirectory) + baseDirectory;
    // The name stays as the package wrote it, since the lists keep names so; where it leads is
    // judged on the decoded name too, which is the one a reader opens.
    std::string resolved;
    if (!ResolveInBook(base, parsed.m_Path, resolved) ||
        !ResolveInBook(base, href.substr(0, href.find_first_of("?#")), resolved))
        return "";
    return resolved + fragment;
}

void AddGuideItem(const GuideItem& item, CIntermediateBook& book)
{
    if (EqualsNoCase(item.m_Type, "cover") && book.m_CoverPageName.empty()) {
        std::string file = item.m_Href.substr(0, item.m_Href.find('#'));
        if (file.find("htm") != std::string::npos || EqualsNoCase(ExtensionOf(file), "xml"))
            book.m_CoverPageName = file;
    }
    book.m_GuideItems.push_back(item);
}

void getGuideList(const CParseOpf& parser, CIntermediateBook& book)
{
    for (GuideItem item : parser.m_Guide) {
        item.m_Href = ResolveBookHref(item.m_Href, "", book);
        AddGuideItem(item, book);
    }
}

namespace
{

struct NcxReader {
    CIntermediateBook& book;
    const std::string& ncxDirectory;
    std::set<std::tuple<std::string, std::string, std::string>> seen;

    void Read(const tinyxml2::XMLElement* parent, int32_t parentIndex, int depth)
    {
        if (depth >= NCX_DEPTH_LIMIT) return;
        for (const tinyxml2::XMLElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement()) {
            if (LocalName(e->Name()) != "navpoint") continue;
            NavPoint point;
            point.m_PlayOrder = Attribute(e, "playorder");
            if (const tinyxml2::XMLElement* label = ChildByLocalName(e, "navlabel")) {
                std::string text;
                AppendText(label, text);
                // Markup inside a label keeps the blanks around it; only runs of white space collapse.
                point.m_Label = CollapseWhiteSpace(text);
            }
            if (const tinyxml2::XMLElement* content = ChildByLocalName(e, "content"))
                point.m_Src = ResolveBookHref(Attribute(content, "src"), ncxDirectory, book);
            int32_t index = parentIndex;
            if (seen.insert({point.m_PlayOrder, point.m_Src, point.m_Label}).second) {
                index = static_cast<int32_t>(book.m_NavPoints.size());
                point.m_Depth = depth;
                point.m_Parent = parentIndex;
                point.m_OwnIndex = index;
                book.m_NavPoints.push_back(point);
                if (parentIndex >= 0) {
                    NavPoint& parentPoint = book.m_NavPoints[static_cast<size_t>(parentIndex)];
                    if (parentPoint.m_FirstChild < 0) parentPoint.m_FirstChild = index;
                    parentPoint.m_LastChild = index;
                }
            }
            Read(e, index, index == parentIndex ? depth : depth + 1);
        }
    }
};

} // namespace

ResultCode getNvPointList(const std::string& ncxText, const std::string& ncxDirectory,
                          CIntermediateBook& book)
{
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(ncxText.data(), ncxText.size()) != tinyxml2::XML_SUCCESS || doc.RootElement() == nullptr)
        return RC_EPUB_OPF_TREE_INIT;
    const tinyxml2::XMLElement* navMap = ChildByLocalName(doc.RootElement(), "navmap");
    if (navMap == nullptr) return RC_OK;
    NcxReader reader{book, ncxDirectory, {}};
    reader.Read(navMap, -1, 0);
    return RC_OK;
}

namespace
{

std::string FileOfHref(const std::string& href)
{
    return ResolvedInBook("", href.substr(0, href.find('#')));
}

// Readers want play orders without gaps. Entries sharing a position keep sharing one; an order
// that is no number is left alone.
void CloseGapsInPlayOrder(std::vector<NavPoint>& navPoints)
{
    std::map<uint64_t, std::string> ranks;
    auto number = [](const std::string& text, uint64_t& value) {
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return error == std::errc() && end == text.data() + text.size();
    };
    uint64_t value = 0;
    for (const NavPoint& point : navPoints)
        if (number(point.m_PlayOrder, value)) ranks.emplace(value, "");
    size_t rank = 0;
    for (auto& entry : ranks)
        entry.second = std::to_string(++rank);
    for (NavPoint& point : navPoints)
        if (number(point.m_PlayOrder, value)) point.m_PlayOrder = ranks[value];
}

} // namespace

// Entries come in reading order, each after its parent, so one pass renumbers them and hands the
// children of a dropped entry to the nearest entry kept above it.
void DropNavPointsTo(const std::set<std::string>& files, std::vector<NavPoint>& navPoints)
{
    std::vector<NavPoint> kept;
    std::vector<int32_t> keptAt(navPoints.size(), -1);
    for (size_t i = 0; i < navPoints.size(); ++i) {
        NavPoint point = navPoints[i];
        const bool parentBefore = point.m_Parent >= 0 && static_cast<size_t>(point.m_Parent) < i;
        const int32_t parent = parentBefore ? keptAt[static_cast<size_t>(point.m_Parent)] : -1;
        if (files.count(FileOfHref(point.m_Src))) {
            keptAt[i] = parent;
            continue;
        }
        const int32_t index = static_cast<int32_t>(kept.size());
        point.m_Parent = parent;
        point.m_OwnIndex = index;
        point.m_FirstChild = point.m_LastChild = -1;
        point.m_Depth = 0;
        if (parent >= 0) {
            NavPoint& parentPoint = kept[static_cast<size_t>(parent)];
            point.m_Depth = parentPoint.m_Depth + 1;
            if (parentPoint.m_FirstChild < 0) parentPoint.m_FirstChild = index;
            parentPoint.m_LastChild = index;
        }
        kept.push_back(std::move(point));
        keptAt[i] = index;
    }
    navPoints.swap(kept);
    CloseGapsInPlayOrder(navPoints);
}

void DropMissingFiles(const std::function<bool(const std::string&)>& present, CIntermediateBook& book,
                      CRunLog* log)
{
    std::set<std::string> missing;
    auto absent = [&](const std::string& name) {
        // Lists may name a place inside a document ("page.xhtml#part"): the file is what must exist.
        if (present(FileOfHref(name))) return false;
        TARVO_LOG(log, LOG_WARNING, "\"%s\" is listed by the package but not in the book, left out",
                  name.c_str());
        missing.insert(FileOfHref(name));
        return true;
    };
    for (std::vector<std::string>* list : {&book.m_HtmlFileList, &book.m_ResourceList})
        list->erase(std::remove_if(list->begin(), list->end(), absent), list->end());
    if (missing.empty()) return;
    auto pointsAtMissing = [&](const GuideItem& item) { return missing.count(FileOfHref(item.m_Href)) > 0; };
    book.m_GuideItems.erase(
        std::remove_if(book.m_GuideItems.begin(), book.m_GuideItems.end(), pointsAtMissing),
        book.m_GuideItems.end());
    if (missing.count(FileOfHref(book.m_CoverPageName))) book.m_CoverPageName.clear();
    DropNavPointsTo(missing, book.m_NavPoints);
}
