// Index record writing: entries split over data records at the size limit, CNCX strings reused.
#include "mobi/IndexWriter.h"

#include "mobi/ByteIO.h"

#include <cstdio>

namespace
{

int MaskShift(uint8_t mask)
{
    int shift = 0;
    while (shift < 8 && ((mask >> shift) & 1u) == 0)
        ++shift;
    return shift;
}

std::string IndexHead(bool primary, size_t idxtOffset, size_t count)
{
    std::string head(INDEX_HEAD_SIZE, '\0');
    head.replace(0, 4, "INDX");
    PutU32At(head, 4, INDEX_HEAD_SIZE);
    PutU32At(head, 20, static_cast<uint32_t>(idxtOffset));
    PutU32At(head, 24, static_cast<uint32_t>(count));
    if (primary) {
        PutU32At(head, 16, 2);
        PutU32At(head, 28, INDEX_TEXT_ENCODING);
        PutU32At(head, 32, 0xFFFFFFFFu);
        PutU32At(head, 180, INDEX_HEAD_SIZE);
    } else {
        PutU32At(head, 12, 1);
        PutU32At(head, 28, 0xFFFFFFFFu);
        PutU32At(head, 32, 0xFFFFFFFFu);
    }
    return head;
}

// Entries, padding, then "IDXT" and the offsets of the entries counted from the record start.
void AppendBodyAndIdxt(std::string& record, const std::string& entries, const std::vector<uint16_t>& offsets)
{
    size_t base = record.size();
    record += entries;
    PadTo4(record);
    PutU32At(record, 20, static_cast<uint32_t>(record.size()));
    record += "IDXT";
    for (uint16_t offset : offsets)
        AppendU16(record, static_cast<uint32_t>(base + offset));
    PadTo4(record);
}

} // namespace

size_t FitLabelsToCncx(std::vector<NcxEntry>& entries)
{
    const size_t budget = MAX_CNCX_RECORDS * CNCX_RECORD_LIMIT;
    size_t total = 0;
    std::unordered_map<std::string, bool> distinct;
    for (const NcxEntry& e : entries)
        if (distinct.emplace(e.m_Label, true).second) total += e.m_Label.size() + 4;
    if (total <= budget || entries.empty()) return 0;
    // A length takes up to 4 bytes; a record packs no string across its end, which the slack of
    // one record under the readers' limit covers.
    const size_t room = budget / entries.size();
    const size_t keep = room > 5 ? room - 4 : 1;
    size_t cut = 0;
    for (NcxEntry& e : entries) {
        std::string& label = e.m_Label;
        if (label.size() <= keep) continue;
        size_t end = keep;
        while (end > 0 && (static_cast<unsigned char>(label[end]) & 0xC0u) == 0x80u)
            --end;
        // A first character longer than the room still stays whole.
        if (end == 0) {
            end = 1;
            while (end < label.size() && (static_cast<unsigned char>(label[end]) & 0xC0u) == 0x80u)
                ++end;
        }
        label.resize(end);
        ++cut;
    }
    return cut;
}

uint32_t CCncxWriter::Add(const std::string& text)
{
    auto found = m_Offsets.find(text);
    if (found != m_Offsets.end()) return found->second;
    std::string encoded;
    AppendVarWidth(encoded, static_cast<int64_t>(text.size()));
    encoded += text;
    if (m_Records.empty() ||
        (!m_Records.back().empty() && m_Records.back().size() + encoded.size() > CNCX_RECORD_LIMIT))
        m_Records.emplace_back();
    uint32_t offset = static_cast<uint32_t>((m_Records.size() - 1) * 65536 + m_Records.back().size());
    m_Records.back() += encoded;
    m_Offsets.emplace(text, offset);
    return offset;
}

void CIndexWriter::AddEntry(const std::string& key, const std::vector<TagValues>& tags)
{
    std::string entry;
    std::string shortKey = key.substr(0, 255);
    AppendU8(entry, static_cast<uint32_t>(shortKey.size()));
    entry += shortKey;
    uint8_t control = 0;
    std::string values;
    for (const TagEntry& def : m_Tags) {
        if (def.endFlag) continue;
        for (const TagValues& given : tags) {
            if (given.m_Tag != def.tag || given.m_Values.empty()) continue;
            size_t perEntry = def.valueCount == 0 ? 1 : def.valueCount;
            uint32_t occurrences = static_cast<uint32_t>(given.m_Values.size() / perEntry);
            control |= static_cast<uint8_t>((occurrences << MaskShift(def.mask)) & def.mask);
            for (int64_t v : given.m_Values)
                AppendVarWidth(values, v);
            break;
        }
    }
    AppendU8(entry, control);
    entry += values;

    if (m_Records.empty() ||
        m_Records.back().m_Entries.size() + entry.size() + 2 * (m_Records.back().m_Offsets.size() + 1) + 2 >
            INDEX_DATA_LIMIT)
        m_Records.emplace_back();
    DataRecord& record = m_Records.back();
    record.m_Offsets.push_back(static_cast<uint16_t>(record.m_Entries.size()));
    record.m_Entries += entry;
    record.m_LastKey = shortKey;
    ++m_EntryCount;
}

void CIndexWriter::Finish(const CCncxWriter* cncx, std::vector<std::string>& records) const
{
    size_t cncxCount = cncx != nullptr ? cncx->Records().size() : 0;
    std::string primary = IndexHead(true, 0, m_Records.size());
    PutU32At(primary, 36, static_cast<uint32_t>(m_EntryCount));
    PutU32At(primary, 52, static_cast<uint32_t>(cncxCount));
    primary += "TAGX";
    AppendU32(primary, static_cast<uint32_t>(12 + 4 * m_Tags.size()));
    AppendU32(primary, 1);
    for (const TagEntry& t : m_Tags) {
        AppendU8(primary, t.tag);
        AppendU8(primary, t.valueCount);
        AppendU8(primary, t.mask);
        AppendU8(primary, t.endFlag);
    }
    std::string entries;
    std::vector<uint16_t> offsets;
    for (const DataRecord& r : m_Records) {
        offsets.push_back(static_cast<uint16_t>(entries.size()));
        AppendU8(entries, static_cast<uint32_t>(r.m_LastKey.size()));
        entries += r.m_LastKey;
        AppendU16(entries, static_cast<uint32_t>(r.m_Offsets.size()));
    }
    AppendBodyAndIdxt(primary, entries, offsets);
    records.push_back(std::move(primary));

    for (const DataRecord& r : m_Records) {
        std::string record = IndexHead(false, 0, r.m_Offsets.size());
        AppendBodyAndIdxt(record, r.m_Entries, r.m_Offsets);
        records.push_back(std::move(record));
    }
    for (size_t i = 0; i < cncxCount; ++i)
        records.push_back(cncx->Records()[i]);
}

void CIndexWriter::AddNcxEntry(const NcxEntry& entry, uint32_t labelOffset, bool kf8)
{
    std::vector<TagValues> tags = {
        {1, {entry.m_TextOffset}}, {2, {entry.m_Length}}, {3, {labelOffset}}, {4, {entry.m_Depth}}};
    if (entry.m_Parent != -1) tags.push_back({21, {entry.m_Parent}});
    if (entry.m_FirstChild != -1) tags.push_back({22, {entry.m_FirstChild}});
    if (entry.m_LastChild != -1) tags.push_back({23, {entry.m_LastChild}});
    if (kf8) tags.push_back({6, {entry.m_FragmentNumber, entry.m_FragmentOffset}});
    AddEntry(entry.m_Key, tags);
}

void CIndexWriter::AddSkeletonEntry(const std::string& key, uint32_t fragmentCount, uint32_t startOffset,
                                    uint32_t length)
{
    AddEntry(key, {{1, {fragmentCount, fragmentCount}}, {6, {startOffset, length, startOffset, length}}});
}

void CIndexWriter::AddFragmentEntry(uint32_t insertPosition, uint32_t selectorOffset, uint32_t fileNumber,
                                    uint32_t sequenceNumber, uint32_t startOffset, uint32_t length)
{
    char key[16];
    std::snprintf(key, sizeof key, "%010u", insertPosition);
    AddEntry(key,
             {{2, {selectorOffset}}, {3, {fileNumber}}, {4, {sequenceNumber}}, {6, {startOffset, length}}});
}

void CIndexWriter::AddGuideEntry(const std::string& type, uint32_t titleOffset, uint32_t fragmentNumber,
                                 uint32_t offset)
{
    AddEntry(type, {{1, {titleOffset}}, {6, {fragmentNumber, offset}}});
}
