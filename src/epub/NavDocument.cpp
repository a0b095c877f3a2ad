// The navigation document is XHTML, read with tinyxml2 like the NCX. Its lists are walked with
// the depth bounded as the NCX's; finding the nav elements and a label's text goes by explicit
// stacks, so a deeply nested page costs no recursion.
#include "epub/NavDocument.h"

#include "base/Paths.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "epub/ParseOpf.h"

#include <tinyxml2.h>

#include <cctype>
#include <cstring>
#include <set>

namespace
{

using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

bool IsNamed(const XMLElement* e, const char* localName)
{
    const char* name = e->Name();
    const char* colon = std::strrchr(name, ':');
    return EqualsNoCase(colon ? colon + 1 : name, localName);
}

// epub:type, whatever prefix the document bound the namespace to.
std::string EpubType(const XMLElement* e)
{
    for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
        const char* colon = std::strrchr(a->Name(), ':');
        if (colon != nullptr && std::strcmp(colon + 1, "type") == 0) return a->Value();
    }
    return "";
}

std::vector<std::string> Names(const std::string& list)
{
    std::vector<std::string> names;
    size_t at = 0;
    while (at < list.size()) {
        while (at < list.size() && std::isspace(static_cast<unsigned char>(list[at])))
            ++at;
        size_t end = at;
        while (end < list.size() && !std::isspace(static_cast<unsigned char>(list[end])))
            ++end;
        if (end > at) names.push_back(list.substr(at, end - at));
        at = end;
    }
    return names;
}

bool HasName(const std::string& list, const char* name)
{
    for (const std::string& n : Names(list))
        if (n == name) return true;
    return false;
}

// Text of the element without its markup; an image stands for its alternative text.
std::string LabelText(const XMLElement* label)
{
    std::string text, alt;
    std::vector<const XMLNode*> pending = {label};
    while (!pending.empty()) {
        const XMLNode* node = pending.back();
        pending.pop_back();
        if (const tinyxml2::XMLText* t = node->ToText()) {
            text += t->Value();
            continue;
        }
        const XMLElement* e = node->ToElement();
        if (e == nullptr) continue;
        if (alt.empty() && IsNamed(e, "img") && e->Attribute("alt")) alt = e->Attribute("alt");
        std::vector<const XMLNode*> children;
        for (const XMLNode* c = e->FirstChild(); c; c = c->NextSibling())
            children.push_back(c);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    text = CollapseWhiteSpace(text);
    if (text.empty() && label->Attribute("title")) text = CollapseWhiteSpace(label->Attribute("title"));
    return text.empty() ? CollapseWhiteSpace(alt) : text;
}

struct NavReader {
    const CIntermediateBook& book;
    std::string navFile; // as the package names it
    std::string navDirectory;
    std::vector<NavPoint>& points;

    // Empty for a link that leaves the book ("http:", "mailto:") or for no link at all.
    std::string Target(const XMLElement* label) const
    {
        const char* href = IsNamed(label, "a") ? label->Attribute("href") : nullptr;
        if (href == nullptr || *href == '\0') return "";
        std::string target = href;
        size_t colon = target.find(':');
        if (colon != std::string::npos && target.find_first_of("/#?") > colon) return "";
        // A bare fragment names a place in the navigation document itself.
        if (target[0] == '#') target = GetFileName(navFile) + target;
        return ResolveBookHref(target, navDirectory, book);
    }

    void ReadList(const XMLElement* list, int32_t parentIndex, int depth)
    {
        if (depth >= NCX_DEPTH_LIMIT) return;
        for (const XMLElement* item = list->FirstChildElement(); item; item = item->NextSiblingElement()) {
            if (!IsNamed(item, "li")) continue;
            const XMLElement* label = nullptr;
            const XMLElement* sublist = nullptr;
            for (const XMLElement* c = item->FirstChildElement(); c; c = c->NextSiblingElement()) {
                if (label == nullptr && (IsNamed(c, "a") || IsNamed(c, "span"))) label = c;
                if (sublist == nullptr && IsNamed(c, "ol")) sublist = c;
            }
            if (label == nullptr) continue;
            const int32_t index = static_cast<int32_t>(points.size());
            NavPoint point;
            point.m_PlayOrder = std::to_string(index + 1);
            point.m_Label = LabelText(label);
            point.m_Src = Target(label);
            point.m_Depth = depth;
            point.m_Parent = parentIndex;
            point.m_OwnIndex = index;
            points.push_back(point);
            if (parentIndex >= 0) {
                NavPoint& parent = points[static_cast<size_t>(parentIndex)];
                if (parent.m_FirstChild < 0) parent.m_FirstChild = index;
                parent.m_LastChild = index;
            }
            if (sublist != nullptr) ReadList(sublist, index, depth + 1);
            // A heading without a link (a span) leads to where its first entry leads.
            NavPoint& self = points[static_cast<size_t>(index)];
            if (self.m_Src.empty() && self.m_FirstChild >= 0)
                self.m_Src = points[static_cast<size_t>(self.m_FirstChild)].m_Src;
        }
    }
};

// tinyxml2 drops text that is only white space before an element, so "<span>A</span> <em>B</em>"
// would read "AB": such runs become a character reference, which is text, and a blank once read.
std::string KeepBlanksBetweenTags(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    for (size_t at = text.find('>'); at != std::string::npos; at = text.find('>', at + 1)) {
        size_t end = at + 1;
        while (end < text.size() && std::isspace(static_cast<unsigned char>(text[end])))
            ++end;
        if (end == at + 1 || end == text.size() || text[end] != '<') continue;
        out.append(text, from, at + 1 - from);
        out += "&#32;";
        from = end;
        at = end - 1;
    }
    out.append(text, from, std::string::npos);
    return out;
}

const XMLElement* FirstList(const XMLElement* nav)
{
    for (const XMLElement* c = nav->FirstChildElement(); c; c = c->NextSiblingElement())
        if (IsNamed(c, "ol")) return c;
    return nullptr;
}

void ReadLandmarks(const XMLElement* nav, const NavReader& reader, std::vector<GuideItem>& landmarks)
{
    std::vector<const XMLElement*> pending = {nav};
    while (!pending.empty()) {
        const XMLElement* e = pending.back();
        pending.pop_back();
        if (IsNamed(e, "a")) {
            GuideItem item;
            item.m_Type = GuideTypeOfLandmark(EpubType(e));
            item.m_Title = LabelText(e);
            item.m_Href = reader.Target(e);
            if (!item.m_Type.empty() && !item.m_Href.empty()) landmarks.push_back(item);
            continue;
        }
        std::vector<const XMLElement*> children;
        for (const XMLElement* c = e->FirstChildElement(); c; c = c->NextSiblingElement())
            children.push_back(c);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
}

} // namespace

std::string GuideTypeOfLandmark(const std::string& epubType)
{
    static const std::pair<const char*, const char*> TYPES[] = {
        {"bodymatter", "text"},
        {"toc", "toc"},
        {"cover", "cover"},
        {"titlepage", "title-page"},
        {"copyright-page", "copyright-page"},
        {"index", "index"},
        {"glossary", "glossary"},
        {"acknowledgments", "acknowledgements"},
        {"bibliography", "bibliography"},
        {"colophon", "colophon"},
        {"dedication", "dedication"},
        {"epigraph", "epigraph"},
        {"foreword", "foreword"},
        {"loi", "loi"},
        {"lot", "lot"},
        {"preface", "preface"},
        {"endnotes", "notes"},
        {"rearnotes", "notes"},
        {"footnotes", "notes"},
    };
    const std::vector<std::string> names = Names(epubType);
    for (const std::string& name : names)
        for (const auto& [landmark, guide] : TYPES)
            if (name == landmark) return guide;
    if (names.empty()) return "";
    // A prefixed name ("z3998:fiction") has no guide type; "other." takes a name without colons.
    std::string name = names.front();
    name.erase(0, name.rfind(':') + 1);
    return name.empty() ? "" : "other." + name;
}

ResultCode ReadNavDocument(const std::string& navText, const std::string& navHref,
                           const CIntermediateBook& book, std::vector<NavPoint>& toc,
                           std::vector<GuideItem>& landmarks)
{
    const std::string text = KeepBlanksBetweenTags(navText);
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS || doc.RootElement() == nullptr)
        return RC_EPUB_OPF_TREE_INIT;
    NavReader reader{book, navHref, GetDirectory(navHref), toc};
    bool tocRead = false, landmarksRead = false;
    std::vector<const XMLElement*> pending = {doc.RootElement()};
    while (!pending.empty()) {
        const XMLElement* e = pending.back();
        pending.pop_back();
        if (IsNamed(e, "nav")) {
            const std::string type = EpubType(e);
            if (!tocRead && HasName(type, "toc")) {
                tocRead = true;
                if (const XMLElement* list = FirstList(e)) reader.ReadList(list, -1, 0);
            } else if (!landmarksRead && HasName(type, "landmarks")) {
                landmarksRead = true;
                ReadLandmarks(e, reader, landmarks);
            }
            continue;
        }
        std::vector<const XMLElement*> children;
        for (const XMLElement* c = e->FirstChildElement(); c; c = c->NextSiblingElement())
            children.push_back(c);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    // Headings with nothing under them to lead to have no place in the book.
    DropNavPointsTo({""}, toc);
    return RC_OK;
}
