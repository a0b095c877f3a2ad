// Metadata map operations, the metadata text (flat JSON) and the book's file locations.
#include "base/IntermediateBook.h"

#include "base/Href.h"
#include "base/RunLog.h"
#include "base/Text.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>

namespace
{

struct ExthKey {
    int32_t type;
    const char* key;
};
const ExthKey EXTH_KEYS[] = {
    {100, "creator"},          {101, "publisher"},       {103, "description"}, {104, "identifier_ISBN"},
    {106, "date_publication"}, {113, "identifier_ASIN"}, {501, "cdetype"},     {503, "title"},
    {524, "language"},
};

const char* const SINGLE_VALUED_PREFIXES[] = {"date_publication", "title",           "publisher", "language",
                                              "identifier_ISBN",  "identifier_ASIN", "cdetype"};

const char* const RAW_EXTH_PREFIX = "MOBI_ID_";
const char* const VALUE_JOINER = " & ";
constexpr size_t MAX_METADATA_TEXT = 65534;

std::string JoinValues(const std::vector<std::string>& values)
{
    std::string joined;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) joined += VALUE_JOINER;
        joined += values[i];
    }
    return joined;
}

struct DateParts {
    int year = 0, month = 0, day = 0;
};

std::string CutAtT(const std::string& date)
{
    size_t t = date.find('T');
    return t == std::string::npos ? date : date.substr(0, t);
}

DateParts SplitDate(const std::string& date)
{
    DateParts parts;
    size_t first = date.find('-');
    if (first == std::string::npos) {
        parts.year = LeadingNumber(date);
        return parts;
    }
    parts.year = LeadingNumber(date.substr(0, first));
    size_t second = date.find('-', first + 1);
    if (second == std::string::npos) return parts;
    parts.month = LeadingNumber(date.substr(first + 1, second - first - 1));
    parts.day = LeadingNumber(date.substr(second + 1));
    return parts;
}

} // namespace

CIntermediateBook::CIntermediateBook()
{
    Reset();
}

std::string CIntermediateBook::GetKeyByExthId(int32_t type)
{
    for (const ExthKey& e : EXTH_KEYS)
        if (e.type == type) return e.key;
    char key[32];
    std::snprintf(key, sizeof key, "MOBI_ID_%08d", type);
    return key;
}

int32_t CIntermediateBook::GetExthIdByKey(const std::string& key)
{
    for (const ExthKey& e : EXTH_KEYS)
        if (key == e.key) return e.type;
    if (StartsWith(key, RAW_EXTH_PREFIX)) return LeadingNumber(key.substr(8));
    return -1;
}

void CIntermediateBook::AddValue(const std::string& key, const std::string& value)
{
    if (!value.empty()) m_MetaData[key].push_back(value);
}

void CIntermediateBook::AddValueByExthId(int32_t type, const std::string& bytes)
{
    AddValue(GetKeyByExthId(type), bytes);
}

void CIntermediateBook::SetValue(const std::string& key, const std::string& bytes)
{
    auto it = m_MetaData.find(key);
    if (it == m_MetaData.end()) {
        if (!bytes.empty()) m_MetaData[key] = {bytes};
    } else if (bytes.empty()) {
        m_MetaData.erase(it);
    } else {
        it->second = {bytes};
    }
}

void CIntermediateBook::SetValueByExthId(int32_t type, const std::string& text)
{
    if (!text.empty()) SetValue(GetKeyByExthId(type), text);
}

ResultCode CIntermediateBook::GetValue(const std::string& key, std::string& text) const
{
    auto it = m_MetaData.find(key);
    if (it == m_MetaData.end()) return RC_META_GET_ITEM;
    text = JoinValues(it->second);
    return RC_OK;
}

uint32_t CIntermediateBook::GetUint32ByExthId(int32_t type) const
{
    std::string value;
    if (GetValue(GetKeyByExthId(type), value) != RC_OK || value.size() != 4) return 0xFFFFFFFFu;
    const auto* b = reinterpret_cast<const unsigned char*>(value.data());
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

std::string QuoteJsonString(const std::string& text)
{
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x",
                              static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

namespace
{

const char* const COVER_KEY = "coverimage";

std::string JsonMember(const std::string& key, const std::string& value)
{
    return QuoteJsonString(key) + ":" + QuoteJsonString(value) + ",";
}

std::string JsonMember(const std::string& key, const std::vector<std::string>& values)
{
    return JsonMember(key, JoinValues(values));
}

// What QuoteJsonString makes of the byte.
size_t QuotedLength(unsigned char c)
{
    switch (c) {
    case '"':
    case '\\':
    case '\b':
    case '\f':
    case '\n':
    case '\r':
    case '\t':
        return 2;
    default:
        return c < 0x20 ? 6 : 1;
    }
}

// The length of the longest start of value that takes at most room bytes quoted and ends
// between two characters.
size_t FittingPrefix(const std::string& value, size_t room)
{
    size_t end = 0, used = 0;
    while (end < value.size() && used + QuotedLength(static_cast<unsigned char>(value[end])) <= room)
        used += QuotedLength(static_cast<unsigned char>(value[end++]));
    // A UTF-8 character has at most three continuation bytes to step back over.
    for (int back = 0;
         back < 3 && end > 0 && end < value.size() && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80;
         ++back)
        --end;
    return end;
}

} // namespace

std::vector<CIntermediateBook::CutValue> CIntermediateBook::ToJson(std::string& text)
{
    text.clear();
    std::vector<CutValue> cuts;
    if (m_MetaData.empty()) return cuts;
    m_MetaData.erase(COVER_KEY);
    struct Member {
        const std::string* key;
        std::string value;
        size_t size; // as written, with its comma
        bool kept;
    };
    std::vector<Member> members;
    for (const auto& [key, values] : m_MetaData) {
        if (StartsWith(key, RAW_EXTH_PREFIX)) continue;
        std::string value = JoinValues(values);
        const size_t size = JsonMember(key, value).size();
        members.push_back({&key, std::move(value), size, true});
    }
    // Shortest first: what a member leaves of its share goes to the longer ones after it.
    std::vector<size_t> order(members.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return members[a].size < members[b].size; });
    size_t room = MAX_METADATA_TEXT - 2; // less the braces
    for (size_t i = 0; i < order.size(); ++i) {
        Member& member = members[order[i]];
        const size_t share = room / (order.size() - i);
        if (member.size > share) {
            const size_t length = member.value.size();
            const size_t frame = JsonMember(*member.key, std::string()).size();
            // Only thousands of keys leave a share smaller than a key: that member is left out.
            member.kept = frame <= share;
            member.value.resize(member.kept ? FittingPrefix(member.value, share - frame) : 0);
            member.size = member.kept ? JsonMember(*member.key, member.value).size() : 0;
            cuts.push_back({*member.key, length, member.value.size()});
            TARVO_LOG(m_Log, LOG_WARNING, "value of %s cut from %zu to %zu bytes to fit the metadata text",
                      member.key->c_str(), length, member.value.size());
        }
        room -= member.size;
    }
    text = "{";
    for (const Member& member : members)
        if (member.kept) text += JsonMember(*member.key, member.value);
    if (text.size() == 1)
        text += "}";
    else
        text.back() = '}';
    return cuts;
}

bool CIntermediateBook::FitsMetadataText(std::string& firstLeftOut) const
{
    size_t length = 1; // the opening brace
    for (const auto& [key, values] : m_MetaData) {
        if (key == COVER_KEY || StartsWith(key, RAW_EXTH_PREFIX)) continue;
        length += JsonMember(key, values).size();
        if (length >= MAX_METADATA_TEXT) {
            firstLeftOut = key;
            return false;
        }
    }
    return true;
}

ResultCode CIntermediateBook::FromJson(const std::string& text)
{
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["strictRoot"] = false;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return RC_META_GET_JSON;
    if (!root.isObject()) return RC_OK;
    for (const std::string& name : root.getMemberNames()) {
        const Json::Value& value = root[name];
        if (value.isString()) AddValue(name, value.asString());
    }
    return RC_OK;
}

void CIntermediateBook::ToText(std::string& text) const
{
    text.clear();
    for (const auto& [key, values] : m_MetaData) {
        if (StartsWith(key, RAW_EXTH_PREFIX)) continue;
        text += key + ": " + JoinValues(values) + "\r\n";
    }
}

void CIntermediateBook::Reset()
{
    m_CoverImageIndex = -1;
    m_ThumbImageIndex = -1;
    m_MetaData.clear();
    m_HtmlFileList.clear();
    m_HtmlTitleList.clear();
    m_ResourceList.clear();
    m_GuideItems.clear();
    m_NavPoints.clear();
    m_PrintedDocuments.clear();
    m_ContentDirectory.clear();
    m_PackagePath.clear();
    m_NcxPath.clear();
    m_CoverPageName.clear();
    m_SourceFolder.clear();
    m_RelativeToContentDirectory = true;
    m_PackageInSubdirectory = false;
    m_SortNames.clear();
    m_TitleSort.clear();
    m_Series.clear();
    m_SeriesIndex.clear();
    m_RightToLeft = false;
    m_FixedLayout = false;
}

// A year alone that wins stays a year alone: filling in a month and a day would invent a date
// the book never gave.
std::string MergeDate(const std::string& a, const std::string& b)
{
    if (a.empty()) return b;
    if (b.empty()) return a;
    std::string cutA = CutAtT(a), cutB = CutAtT(b);
    DateParts pa = SplitDate(cutA), pb = SplitDate(cutB);
    if (pa.year < pb.year) {
        if (pa.year == 0) return cutB;
        return pa.month != 0 ? a : cutA;
    }
    if (pb.year < pa.year) {
        if (pb.year == 0) return cutA;
        return pb.month != 0 ? b : cutB;
    }
    if (pa.year == 0) return "";
    if (pa.month < pb.month) return pa.month == 0 ? b : a;
    if (pb.month < pa.month) return pb.month == 0 ? a : b;
    return pa.day > pb.day ? b : a;
}

void CIntermediateBook::MergeDateTime()
{
    if (m_MetaData.empty()) return;
    std::string merged;
    for (const auto& [key, values] : m_MetaData)
        if (StartsWith(key, "date") && !values.empty()) merged = MergeDate(values.front(), merged);
    // Exactly one value, even an empty one: later steps rely on the key being there.
    m_MetaData["date_publication"] = {merged};
}

void CIntermediateBook::RemoveDateKeys()
{
    for (auto it = m_MetaData.begin(); it != m_MetaData.end();)
        it = StartsWith(it->first, "date") ? m_MetaData.erase(it) : std::next(it);
}

void CIntermediateBook::KeepOnlyPublicationDate()
{
    MergeDateTime();
    std::string date;
    GetValue("date_publication", date);
    RemoveDateKeys();
    SetValue("date_publication", date);
}

void CIntermediateBook::KeepFirstValues()
{
    for (auto& [key, values] : m_MetaData) {
        for (const char* prefix : SINGLE_VALUED_PREFIXES) {
            if (StartsWith(key, prefix) && values.size() > 1) {
                values.resize(1);
                break;
            }
        }
    }
}

void CIntermediateBook::SplitJoinedValues()
{
    const std::string joiner = VALUE_JOINER;
    for (auto& [key, values] : m_MetaData) {
        if (key != "creator" && !StartsWith(key, "contributor") && !StartsWith(key, "identifier")) continue;
        std::vector<std::string> split;
        for (const std::string& value : values) {
            size_t from = 0;
            for (size_t at = value.find(joiner); at != std::string::npos; at = value.find(joiner, from)) {
                if (at > from) split.push_back(value.substr(from, at - from));
                from = at + joiner.size();
            }
            if (from < value.size()) split.push_back(value.substr(from));
        }
        values = std::move(split);
    }
    for (auto it = m_MetaData.begin(); it != m_MetaData.end();)
        it = it->second.empty() ? m_MetaData.erase(it) : std::next(it);
}

void CIntermediateBook::PrepareForOutput()
{
    if (m_CoverImageIndex != -1) {
        for (const std::string& name : m_ResourceList) {
            if (name.size() <= 5 || LeadingNumber(name.substr(5, 8)) != m_CoverImageIndex) continue;
            m_MetaData["coverimage"].push_back(name);
            m_CoverImageName = name;
            break;
        }
    }
    for (auto it = m_MetaData.begin(); it != m_MetaData.end();)
        it = StartsWith(it->first, RAW_EXTH_PREFIX) ? m_MetaData.erase(it) : std::next(it);
}

std::string CIntermediateBook::BookDirectory(const std::string& tempDirectory) const
{
    if (m_RelativeToContentDirectory && m_PackageInSubdirectory) return tempDirectory + m_ContentDirectory;
    return tempDirectory;
}

// A name that leads out of the book stays as written, for the reader to log and leave out.
static std::string RebasedName(const std::string& name, const std::string& contentDirectory)
{
    std::string rebased;
    return ResolveInBook(contentDirectory, name, rebased) ? rebased : name;
}

void CIntermediateBook::RebaseOntoTempDirectory()
{
    for (std::string& name : m_HtmlFileList)
        name = RebasedName(name, m_ContentDirectory);
    for (std::string& name : m_ResourceList)
        name = RebasedName(name, m_ContentDirectory);
    m_RelativeToContentDirectory = false;
}

bool GetParamValue(const std::string& paramText, const char* key, std::string& value)
{
    if (paramText.empty()) return false;
    CIntermediateBook params;
    params.FromJson(paramText);
    return params.GetValue(key, value) == RC_OK && !value.empty();
}

void AssignPlayOrder(std::vector<NavPoint>& points)
{
    std::vector<std::vector<size_t>> children(points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        int32_t parent = points[i].m_Parent;
        if (parent >= 0 && static_cast<size_t>(parent) < points.size() && static_cast<size_t>(parent) != i)
            children[static_cast<size_t>(parent)].push_back(i);
    }
    std::vector<bool> seen(points.size(), false);
    std::map<std::string, int> orderOfTarget;
    std::vector<size_t> stack;
    auto visit = [&](size_t root) {
        stack.push_back(root);
        while (!stack.empty()) {
            size_t i = stack.back();
            stack.pop_back();
            if (seen[i]) continue;
            seen[i] = true;
            auto found = orderOfTarget.emplace(points[i].m_Src, static_cast<int>(orderOfTarget.size()) + 1);
            points[i].m_PlayOrder = std::to_string(found.first->second);
            for (auto child = children[i].rbegin(); child != children[i].rend(); ++child)
                stack.push_back(*child);
        }
    };
    for (size_t i = 0; i < points.size(); ++i)
        if (points[i].m_Parent < 0) visit(i);
    // Entries caught in a parent cycle still get a number.
    for (size_t i = 0; i < points.size(); ++i)
        visit(i);
}
