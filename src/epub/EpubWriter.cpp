// The EPUB 2 package texts. Every line ends in CR LF; values are escaped so that a title holding
// "&" or "<" still gives a well-formed package.
#include "epub/Epub.h"

#include "base/Charset.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "epub/MarcRelators.h"

#include <algorithm>
#include <cctype>

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

} // namespace

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
