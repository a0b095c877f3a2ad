// KF8 reconstruction. Every offset and length comes from the book, so each is checked against the
// text before bytes are taken or inserted; entries that do not fit are skipped.
#include "mobi/Ebook_Azw3.h"

#include "base/Files.h"
#include "base/ForkPool.h"
#include "base/IntermediateBook.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "mobi/ByteIO.h"
#include "mobi/DroppedAttributes.h"
#include "mobi/MOBIHeader.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace
{

const char EMBED_PREFIX[] = "kindle:embed:";
constexpr size_t EMBED_PREFIX_LENGTH = sizeof EMBED_PREFIX - 1;
const char FLOW_PREFIX[] = "kindle:flow:";
constexpr size_t FLOW_PREFIX_LENGTH = sizeof FLOW_PREFIX - 1;
const char POS_PREFIX[] = "kindle:pos:fid:";
constexpr size_t POS_PREFIX_LENGTH = sizeof POS_PREFIX - 1;
constexpr size_t FDST_HEAD_SIZE = 12;

} // namespace

bool ReadBase32(const std::string& text, size_t at, size_t width, int64_t& value)
{
    if (at > text.size() || text.size() - at < width) return false;
    value = 0;
    for (size_t i = 0; i < width; ++i) {
        char c = text[at + i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'V')
            digit = c - 'A' + 10;
        else
            return false;
        value = value * 32 + digit;
    }
    return true;
}

ResultCode CEbookAzw3::MakeFileListToMetaData()
{
    m_AnchorMap.clear();
    m_FlowMap.clear();
    ReadFlows();
    RebuildFiles();
    // Each page reports whether it was written ("w") and whether a flow's SVG went into it ("i").
    auto printFile = [&](size_t i) {
        const TextPiece& file = m_Files[i];
        m_InlinedFlow = false;
        if (!WriteHtmlFile(WithoutAidAttributes(m_Rebuilt, file.m_Start, file.m_End), file.m_Name,
                           file.m_End - file.m_Start))
            return std::string();
        return std::string(m_InlinedFlow ? "i" : "w");
    };
    // The first page to show a flow takes it inline, and that memory stays with the process that
    // printed it: such books print their pages here, in order. Others print on every core.
    std::vector<std::string> printed;
    if (PagesMayTakeFlows()) {
        for (size_t i = 0; i < m_Files.size(); ++i)
            printed.push_back(printFile(i));
    } else {
        printed = ForkedMap(m_Files.size(), printFile);
    }
    // Printed KF8 text parses back to the same print, unless a flow's SVG went in as it was;
    // MOBI 6 pages do not (their markup is rewritten while printing), so only these are marked.
    for (size_t i = 0; i < m_Files.size(); ++i) {
        if (printed[i].empty()) continue;
        m_Book.m_HtmlFileList.push_back(m_Files[i].m_Name);
        if (printed[i] == "w") m_Book.m_PrintedDocuments.insert(m_Files[i].m_Name);
    }
    TARVO_LOG(m_Log, LOG_INFO, "FixNcxListContentSrcName");
    FixNcxListContentSrcName();
    m_Book.m_ResourceList = m_Resources.m_ResourceFiles;
    // Flows taken into a file as inline SVG are no longer referred to.
    for (const auto& flow : m_FlowMap)
        m_Book.m_ResourceList.push_back(flow.second);
    return RC_OK;
}

bool CEbookAzw3::PagesMayTakeFlows() const
{
    if (m_FlowMap.empty()) return false;
    // A style sheet is linked by href; any other reference may be a picture drawn by a flow.
    for (size_t at = m_Rebuilt.find(FLOW_PREFIX); at != std::string::npos;
         at = m_Rebuilt.find(FLOW_PREFIX, at + 1)) {
        size_t from = at >= 6 ? at - 6 : 0;
        const std::string before = m_Rebuilt.substr(from, at - from);
        if (before != "href=\"" && before != "href='") return true;
    }
    return false;
}

void CEbookAzw3::ReadFlows()
{
    uint32_t fdst = m_Header.Fields().m_Fdst;
    if (fdst == NO_RECORD || static_cast<int32_t>(fdst) < 1) return;
    std::string record;
    if (m_Header.ReadPartRecord(fdst, record) != RC_OK || record.size() < FDST_HEAD_SIZE ||
        record.compare(0, 4, "FDST") != 0) {
        TARVO_LOG(m_Log, LOG_WARNING, "record %u is no FDST record", fdst);
        return;
    }
    CByteReader r(record);
    uint64_t count = std::min<uint64_t>(r.U32At(8), (record.size() - FDST_HEAD_SIZE) / 8);
    const std::string& text = m_Header.m_Text;
    // Flows cut the text into pieces; overlapping ones could otherwise write it out thousands of times.
    uint64_t written = 0;
    for (uint64_t i = 1; i < count; ++i) {
        uint32_t start = r.U32At(FDST_HEAD_SIZE + i * 8);
        uint32_t end = r.U32At(FDST_HEAD_SIZE + i * 8 + 4);
        if (start >= end || end > text.size() || end - start > text.size() - written) {
            TARVO_LOG(m_Log, LOG_WARNING,
                      "flow %llu at 0x%x-0x%x outside the text of 0x%zx bytes or overlapping",
                      static_cast<unsigned long long>(i), start, end, text.size());
            continue;
        }
        char name[32];
        std::snprintf(name, sizeof name, "flow%04llu.css", static_cast<unsigned long long>(i));
        written += end - start;
        if (WriteWholeFile(m_TempDirectory + name, ReplaceEmbeds(text.substr(start, end - start))) == RC_OK)
            m_FlowMap[static_cast<int64_t>(i)] = name;
    }
}

std::string CEbookAzw3::ReplaceEmbeds(const std::string& flow) const
{
    std::string out;
    out.reserve(flow.size());
    size_t from = 0;
    for (;;) {
        size_t at = flow.find(EMBED_PREFIX, from);
        if (at == std::string::npos) break;
        out.append(flow, from, at - from);
        int64_t number = 0;
        size_t digits = at + EMBED_PREFIX_LENGTH;
        if (!ReadBase32(flow, digits, 4, number)) {
            out += EMBED_PREFIX;
            from = digits;
            continue;
        }
        // The reference ends where the quote or bracket that opened it closes; its "?mime=" goes.
        char before = at > 0 ? flow[at - 1] : ')';
        char closing = before == '"' || before == '\'' ? before : ')';
        size_t end = flow.find(closing, digits + 4);
        if (end == std::string::npos) end = digits + 4;
        if (const std::string* file = ResourceFile(number - 1)) out += *file;
        from = end;
    }
    out.append(flow, from, std::string::npos);
    return out;
}

void CEbookAzw3::RebuildFiles()
{
    const std::string& text = m_Header.m_Text;
    const std::vector<SkelEntry>& skeletons = m_Header.m_SkelIndex.m_Entries;
    const std::vector<ChunkEntry>& fragments = m_Header.m_ChunkIndex.m_Entries;
    m_Rebuilt.clear();
    m_Files.clear();
    m_FragmentInsert.clear();
    for (const ChunkEntry& f : fragments)
        m_FragmentInsert.emplace(f.m_SequenceNumber, f.m_InsertPosition);

    auto addFile = [&](size_t start, size_t index) {
        char name[32];
        std::snprintf(name, sizeof name, "text%05zu.html", index);
        m_Files.push_back({start, m_Rebuilt.size(), name});
        m_AnchorMap[static_cast<int64_t>(start)] = name;
        GetIdStrByFilePos(m_Rebuilt, start, m_Rebuilt.size(), name);
    };
    if (skeletons.empty()) {
        // Without a skeleton index the first flow is the one file.
        uint32_t end = static_cast<uint32_t>(text.size());
        std::string record;
        if (m_Header.Fields().m_Fdst != NO_RECORD &&
            m_Header.ReadPartRecord(m_Header.Fields().m_Fdst, record) == RC_OK &&
            record.size() >= FDST_HEAD_SIZE + 8 && record.compare(0, 4, "FDST") == 0)
            end = std::min<uint32_t>(CByteReader(record).U32At(FDST_HEAD_SIZE + 4), end);
        m_Rebuilt.assign(text, 0, end);
        if (!m_Rebuilt.empty()) addFile(0, 0);
        return;
    }

    // Skeletons and fragments share the text out between them, so the rebuilt files together take
    // no more bytes than it has; entries that would take more are skipped, so a crafted index
    // cannot repeat the same bytes into an unbounded text.
    uint64_t taken = 0;
    auto fits = [&](uint64_t length) { return length <= text.size() - taken; };
    size_t next = 0;
    for (size_t s = 0; s < skeletons.size(); ++s) {
        const SkelEntry& skeleton = skeletons[s];
        size_t fileStart = m_Rebuilt.size();
        std::string file;
        if (skeleton.m_StartOffset <= text.size() &&
            skeleton.m_Length <= text.size() - skeleton.m_StartOffset && fits(skeleton.m_Length)) {
            file.assign(text, skeleton.m_StartOffset, skeleton.m_Length);
            taken += skeleton.m_Length;
        } else
            TARVO_LOG(m_Log, LOG_WARNING, "skeleton %zu at 0x%x+0x%x outside the text", s,
                      skeleton.m_StartOffset, skeleton.m_Length);
        uint64_t base = uint64_t(skeleton.m_StartOffset) + skeleton.m_Length;
        for (uint32_t k = 0; k < skeleton.m_FragmentCount && next < fragments.size(); ++k, ++next) {
            const ChunkEntry& fragment = fragments[next];
            if (static_cast<int64_t>(fragment.m_FileNumber) != skeleton.m_Number) continue;
            uint64_t from = base + fragment.m_StartOffset;
            bool inText = from <= text.size() && fragment.m_Length <= text.size() - from;
            bool inFile = fragment.m_InsertPosition >= fileStart &&
                          fragment.m_InsertPosition - fileStart <= file.size();
            if (!inText || !inFile || !fits(fragment.m_Length)) {
                TARVO_LOG(m_Log, LOG_WARNING,
                          "fragment %zu (0x%llx+0x%x into 0x%x) outside the text or its file, "
                          "or past the text's bytes",
                          next, static_cast<unsigned long long>(from), fragment.m_Length,
                          fragment.m_InsertPosition);
                continue;
            }
            file.insert(fragment.m_InsertPosition - fileStart, text, static_cast<size_t>(from),
                        fragment.m_Length);
            taken += fragment.m_Length;
        }
        m_Rebuilt += file;
        addFile(fileStart, s);
    }
}

int64_t CEbookAzw3::FragmentPosition(int64_t sequence, int64_t offset) const
{
    auto it = m_FragmentInsert.find(sequence);
    return (it != m_FragmentInsert.end() ? it->second : 0) + offset;
}

void CEbookAzw3::FixNcxListContentSrcName()
{
    bool cp1252 = m_Header.IsCp1252();
    std::vector<GuideItem>& guide = m_Book.m_GuideItems;
    for (GuideItem& item : guide) {
        item.m_Href = LookupTarget(FragmentPosition(item.m_FragmentNumber, item.m_FragmentOffset));
        if (!item.m_Href.empty()) item.m_Title = PartTextToUtf8(item.m_Title, cp1252);
    }
    guide.erase(
        std::remove_if(guide.begin(), guide.end(), [](const GuideItem& g) { return g.m_Href.empty(); }),
        guide.end());
    for (NavPoint& point : m_Book.m_NavPoints) {
        int64_t position =
            point.m_FragmentNumber >= 0
                ? FragmentPosition(point.m_FragmentNumber, std::max<int32_t>(point.m_FragmentOffset, 0))
                : point.m_TextOffset;
        point.m_Src = LookupTarget(position);
        if (!point.m_Src.empty()) point.m_Label = PartTextToUtf8(point.m_Label, cp1252);
    }
    RemoveUnresolvedNavPoints();
}

void CEbookAzw3::PrintElement(TidyNode element, std::string& out)
{
    AttributeList attributes = ReadAttributes(*m_Parse, element);
    RemoveAttribute(attributes, "aid");
    switch (tidyNodeGetId(element)) {
    case TidyTag_A: {
        const std::string* href = FindAttribute(attributes, "href");
        int64_t sequence = 0, offset = 0;
        if (href != nullptr && StartsWith(*href, POS_PREFIX) &&
            ReadBase32(*href, POS_PREFIX_LENGTH, 4, sequence) &&
            href->compare(POS_PREFIX_LENGTH + 4, 5, ":off:") == 0 &&
            ReadBase32(*href, POS_PREFIX_LENGTH + 9, 10, offset)) {
            std::string target = LookupTarget(FragmentPosition(sequence, offset));
            if (!target.empty()) SetAttribute(attributes, "href", target);
        }
        break;
    }
    case TidyTag_IMG:
    case TidyTag_AUDIO:
    case TidyTag_VIDEO: {
        const std::string* src = FindAttribute(attributes, "src");
        int64_t number = 0;
        if (src == nullptr) break;
        if (StartsWith(*src, EMBED_PREFIX) && ReadBase32(*src, EMBED_PREFIX_LENGTH, 4, number)) {
            if (const std::string* file = ResourceFile(number - 1)) SetAttribute(attributes, "src", *file);
        } else if (StartsWith(*src, FLOW_PREFIX) && ReadBase32(*src, FLOW_PREFIX_LENGTH, 4, number)) {
            auto flow = m_FlowMap.find(number);
            std::string svg;
            if (flow != m_FlowMap.end() && ReadFileBytes(m_TempDirectory + flow->second, svg)) {
                size_t at = svg.find("<svg");
                if (at != std::string::npos) {
                    // The picture goes inline; a second reference to the flow keeps its src.
                    out.append(svg, at, std::string::npos);
                    m_InlinedFlow = true;
                    m_FlowMap.erase(flow);
                    return;
                }
            }
        }
        break;
    }
    case TidyTag_LINK: {
        const std::string* href = FindAttribute(attributes, "href");
        int64_t number = 0;
        if (href != nullptr && href->size() >= FLOW_PREFIX_LENGTH && StartsWith(*href, FLOW_PREFIX) &&
            ReadBase32(*href, FLOW_PREFIX_LENGTH, 4, number)) {
            auto flow = m_FlowMap.find(number);
            if (flow != m_FlowMap.end()) SetAttribute(attributes, "href", flow->second);
        }
        break;
    }
    default:
        break;
    }
    PrintElementWith(element, attributes, out);
}
