// Index record reading. Every offset, count and length in an index is checked against the record
// that holds it; a broken data or CNCX record shortens the entry list, never reads outside it.
#include "mobi/Index.h"

#include "base/RunLog.h"
#include "mobi/ByteIO.h"
#include "mobi/PalmDb.h"

#include <algorithm>

const std::vector<TagEntry> NCX_MOBI6_TAGS = {{1, 1, 1, 0},   {2, 1, 2, 0},   {3, 1, 4, 0},   {4, 1, 8, 0},
                                              {21, 1, 16, 0}, {22, 1, 32, 0}, {23, 1, 64, 0}, {0, 0, 0, 1}};
const std::vector<TagEntry> NCX_KF8_TAGS = {{1, 1, 1, 0},   {2, 1, 2, 0},   {3, 1, 4, 0},
                                            {4, 1, 8, 0},   {21, 1, 16, 0}, {22, 1, 32, 0},
                                            {23, 1, 64, 0}, {6, 2, 128, 0}, {0, 0, 0, 1}};
const std::vector<TagEntry> FRAGMENT_TAGS = {
    {2, 1, 1, 0}, {3, 1, 2, 0}, {4, 1, 4, 0}, {6, 2, 8, 0}, {0, 0, 0, 1}};
const std::vector<TagEntry> SKELETON_TAGS = {{1, 1, 3, 0}, {6, 2, 12, 0}, {0, 0, 0, 1}};
const std::vector<TagEntry> GUIDE_TAGS = {{1, 1, 1, 0}, {6, 2, 2, 0}, {0, 0, 0, 1}};

namespace
{

constexpr size_t PRIMARY_TAGX_OFFSET_FIELD = 180;
constexpr size_t TAGX_HEAD_SIZE = 12;

uint32_t LeadingDecimal(const std::string& text, size_t from)
{
    uint64_t value = 0;
    for (size_t i = from; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + uint64_t(text[i] - '0');
        if (value > 0xFFFFFFFFu) value = 0xFFFFFFFFu;
    }
    return static_cast<uint32_t>(value);
}

} // namespace

bool ReadCncxString(const std::vector<std::string>& records, uint32_t offset, std::string& text)
{
    size_t record = offset >> 16;
    size_t position = offset & 0xFFFFu;
    if (record >= records.size() || position >= records[record].size()) return false;
    CByteReader r(records[record]);
    r.Seek(position);
    uint32_t length = r.VarWidth();
    if (r.Failed() || length < 1) return false;
    return r.String(length, text);
}

bool CIndex::ReadKey(const uint8_t* entry, size_t length, size_t& position, std::string& key)
{
    if (length < 1) return false;
    size_t keyLength = entry[0];
    if (keyLength > length - 1) return false;
    key.assign(reinterpret_cast<const char*>(entry + 1), keyLength);
    position = 1 + keyLength;
    return true;
}

void CIndex::GetItemOne(const uint8_t*, size_t) {}

ResultCode CIndex::ParsePrimary(const std::string& primary, uint32_t& dataCount)
{
    CByteReader r(primary);
    if (!r.Equals(0, "INDX", 4)) {
        TARVO_LOG(m_Log, LOG_ERROR, "primary index record has no INDX magic");
        return RC_MOBI_NCX_RECORD;
    }
    uint32_t tagx = r.U32At(PRIMARY_TAGX_OFFSET_FIELD);
    if (r.Failed() || tagx > primary.size()) {
        TARVO_LOG(m_Log, LOG_ERROR, "TAGX offset 0x%x beyond the index record of %zu bytes", tagx,
                  primary.size());
        return RC_MOBI_NCX_RECORD;
    }
    dataCount = r.U32At(24);
    m_CncxCount = r.U32At(52);
    if (!r.Equals(tagx, "TAGX", 4)) {
        TARVO_LOG(m_Log, LOG_ERROR, "no TAGX block at 0x%x", tagx);
        return RC_MOBI_NCX_RECORD;
    }
    uint32_t tagxLength = r.U32At(tagx + 4);
    m_ControlByteCount = r.U32At(tagx + 8);
    if (r.Failed()) {
        TARVO_LOG(m_Log, LOG_ERROR, "TAGX head at 0x%x cut by the record end", tagx);
        return RC_MOBI_NCX_RECORD;
    }
    if (m_ControlByteCount != 1 && m_ControlByteCount != 2) {
        TARVO_LOG(m_Log, LOG_ERROR, "ControlBytesCount %u", m_ControlByteCount);
        return RC_MOBI_CONTROL_BYTES;
    }
    m_TagTable1.clear();
    m_TagTable2.clear();
    // Entries past the record end are not there to read, whatever the TAGX length says.
    size_t count = tagxLength >= TAGX_HEAD_SIZE ? (tagxLength - TAGX_HEAD_SIZE) / 4 : 0;
    size_t available = (primary.size() - tagx - std::min<size_t>(TAGX_HEAD_SIZE, primary.size() - tagx)) / 4;
    if (count > available) count = available;
    int table = 1;
    for (size_t i = 0; i < count && table <= int(m_ControlByteCount); ++i) {
        size_t at = tagx + TAGX_HEAD_SIZE + 4 * i;
        TagEntry e{r.U8At(at), r.U8At(at + 1), r.U8At(at + 2), r.U8At(at + 3)};
        if (e.endFlag == 1) {
            ++table;
            continue;
        }
        (table == 1 ? m_TagTable1 : m_TagTable2).push_back(e);
    }
    return RC_OK;
}

void CIndex::ParseDataRecord(const std::string& record)
{
    CByteReader r(record);
    if (!r.Equals(0, "INDX", 4)) {
        TARVO_LOG(m_Log, LOG_ERROR, "index data record has no INDX magic");
        return;
    }
    uint32_t idxt = r.U32At(20);
    uint32_t entries = r.U32At(24);
    if (r.Failed() || idxt > record.size() || !r.Equals(idxt, "IDXT", 4)) {
        TARVO_LOG(m_Log, LOG_ERROR, "index data record has no IDXT block at 0x%x", idxt);
        return;
    }
    size_t table = size_t(idxt) + 4;
    size_t room = (record.size() - table) / 2;
    if (entries > room) {
        TARVO_LOG(m_Log, LOG_WARNING, "IDXT names %u entries, room for %zu", entries, room);
        entries = static_cast<uint32_t>(room);
    }
    const uint8_t* data = reinterpret_cast<const uint8_t*>(record.data());
    for (uint32_t i = 0; i < entries; ++i) {
        size_t start = r.U16At(table + 2 * size_t(i));
        size_t end = i + 1 < entries ? r.U16At(table + 2 * size_t(i) + 2) : idxt;
        if (start > end || end > idxt) {
            TARVO_LOG(m_Log, LOG_WARNING, "index entry %u spans 0x%zx-0x%zx", i, start, end);
            continue;
        }
        GetItemOne(data + start, end - start);
    }
}

void CIndex::FillTexts(const std::vector<std::string>& cncx)
{
    for (size_t i = 0; i < EntryCount(); ++i) {
        int64_t offset = CncxOffsetOf(i);
        if (offset < 0) continue;
        std::string text;
        if (!ReadCncxString(cncx, static_cast<uint32_t>(offset), text)) {
            if (!cncx.empty())
                TARVO_LOG(m_Log, LOG_WARNING, "CNCX offset 0x%llx of entry %zu unreadable",
                          static_cast<unsigned long long>(offset), i);
            break;
        }
        SetCncxText(i, std::move(text));
    }
}

ResultCode CIndex::Read(const CPalmDb& db, uint32_t baseRecord, uint32_t record)
{
    Clear();
    uint64_t absolute = uint64_t(baseRecord) + record;
    uint32_t fileLast = db.RecordCount() - 1;
    std::string primary;
    if (absolute < fileLast) db.ReadRecord(static_cast<uint32_t>(absolute), primary);
    uint32_t dataCount = 0;
    ResultCode rc = ParsePrimary(primary, dataCount);
    if (rc != RC_OK) return rc;
    m_LastDataRecord = record;
    uint64_t next = absolute + 1;
    std::string bytes;
    for (uint32_t i = 0; i < dataCount && next < fileLast; ++i, ++next) {
        if (db.ReadRecord(static_cast<uint32_t>(next), bytes) != RC_OK) break;
        ParseDataRecord(bytes);
        m_LastDataRecord = static_cast<uint32_t>(next - baseRecord);
    }
    std::vector<std::string> cncx;
    for (uint32_t i = 0; i < m_CncxCount && next < fileLast; ++i, ++next) {
        if (db.ReadRecord(static_cast<uint32_t>(next), bytes) != RC_OK) break;
        cncx.push_back(std::move(bytes));
    }
    FillTexts(cncx);
    return RC_OK;
}

ResultCode CIndex::ReadRecords(const std::vector<std::string>& records)
{
    Clear();
    uint32_t dataCount = 0;
    ResultCode rc = ParsePrimary(records.empty() ? std::string() : records[0], dataCount);
    if (rc != RC_OK) return rc;
    size_t next = 1;
    for (uint32_t i = 0; i < dataCount && next < records.size(); ++i, ++next)
        ParseDataRecord(records[next]);
    m_LastDataRecord = static_cast<uint32_t>(next - 1);
    std::vector<std::string> cncx;
    for (uint32_t i = 0; i < m_CncxCount && next < records.size(); ++i, ++next)
        cncx.push_back(records[next]);
    FillTexts(cncx);
    return RC_OK;
}

// ---- fixed-layout readers -----------------------------------------------------------------------

void CSkelIndex::GetItemOne(const uint8_t* entry, size_t length)
{
    SkelEntry e;
    size_t position = 0;
    if (!ReadKey(entry, length, position, e.m_Key)) return;
    if (position >= length || entry[position] != SKELETON_CONTROL_BYTE) {
        TARVO_LOG(m_Log, LOG_ERROR, "Skel ControlByte != 10\r\n please send the book to %s, thanks!",
                  MAKER_WEB_ADDRESS);
        return;
    }
    size_t digit = e.m_Key.find_first_of("0123456789");
    e.m_Number = digit == std::string::npos ? 0 : static_cast<int32_t>(LeadingDecimal(e.m_Key, digit));
    CByteReader r(entry + position + 1, length - position - 1);
    e.m_FragmentCount = r.VarWidth();
    r.VarWidth();
    e.m_StartOffset = r.VarWidth();
    e.m_Length = r.VarWidth();
    m_Entries.push_back(std::move(e));
}

void CChunkIndex::GetItemOne(const uint8_t* entry, size_t length)
{
    ChunkEntry e;
    size_t position = 0;
    std::string key;
    if (!ReadKey(entry, length, position, key)) return;
    if (position >= length || entry[position] != FRAGMENT_CONTROL_BYTE) {
        TARVO_LOG(m_Log, LOG_ERROR, "Skel ControlByte != 0x0f\r\n please send the book to %s, thanks!",
                  MAKER_WEB_ADDRESS);
        return;
    }
    e.m_InsertPosition = LeadingDecimal(key, 0);
    CByteReader r(entry + position + 1, length - position - 1);
    e.m_SelectorOffset = r.VarWidth();
    e.m_FileNumber = r.VarWidth();
    e.m_SequenceNumber = r.VarWidth();
    e.m_StartOffset = r.VarWidth();
    e.m_Length = r.VarWidth();
    m_Entries.push_back(std::move(e));
}

void CChunkIndex::SetCncxText(size_t i, std::string&& text)
{
    m_Entries[i].m_Selector = std::move(text);
    m_Entries[i].m_HasSelector = true;
}

void CGuideIndex::GetItemOne(const uint8_t* entry, size_t length)
{
    GuideEntry e;
    size_t position = 0;
    if (!ReadKey(entry, length, position, e.m_Type)) return;
    if (position >= length || entry[position] != GUIDE_CONTROL_BYTE) {
        TARVO_LOG(m_Log, LOG_ERROR, "Guide ControlByte != 3\r\n please send the book to %s, thanks!",
                  MAKER_WEB_ADDRESS);
        return;
    }
    CByteReader r(entry + position + 1, length - position - 1);
    e.m_TitleOffset = r.VarWidth();
    e.m_FragmentNumber = r.VarWidth();
    e.m_Offset = r.VarWidth();
    m_Entries.push_back(std::move(e));
}

void CGuideIndex::SetCncxText(size_t i, std::string&& text)
{
    m_Entries[i].m_Title = std::move(text);
    m_Entries[i].m_HasTitle = true;
}

// ---- NCX: driven by the book's own tag tables ----------------------------------------------------

void CNcxIndexMobi::GetItemOne(const uint8_t* entry, size_t length)
{
    NcxEntry e;
    size_t position = 0;
    if (!ReadKey(entry, length, position, e.m_Key)) return;
    uint8_t control[2] = {0, 0};
    for (uint32_t c = 0; c < m_ControlByteCount && c < 2; ++c) {
        if (position >= length) return;
        control[c] = entry[position++];
    }
    CByteReader r(entry + position, length - position);
    auto readTable = [&](const std::vector<TagEntry>& table, uint8_t controlByte) {
        for (const TagEntry& tag : table) {
            if ((tag.mask & controlByte) == 0) continue;
            uint32_t values[2] = {0, 0};
            int count = tag.valueCount == 0 ? 1 : tag.valueCount;
            for (int v = 0; v < count; ++v) {
                uint32_t value = r.VarWidth();
                if (v < 2) values[v] = value;
            }
            switch (tag.tag) {
            case 1:
                e.m_TextOffset = static_cast<int32_t>(values[0]);
                break;
            case 2:
                e.m_Length = static_cast<int32_t>(values[0]);
                break;
            case 3:
                e.m_LabelOffset = values[0];
                break;
            case 4:
                e.m_Depth = static_cast<int32_t>(values[0]);
                break;
            case 6:
                e.m_FragmentNumber = static_cast<int32_t>(values[0]);
                e.m_FragmentOffset = static_cast<int32_t>(values[1]);
                break;
            case 21:
                e.m_Parent = static_cast<int32_t>(values[0]);
                break;
            case 22:
                e.m_FirstChild = static_cast<int32_t>(values[0]);
                break;
            case 23:
                e.m_LastChild = static_cast<int32_t>(values[0]);
                break;
            default:
                break;
            }
        }
    };
    readTable(m_TagTable1, control[0]);
    if (m_ControlByteCount == 2) readTable(m_TagTable2, control[1]);
    m_Entries.push_back(std::move(e));
}

void CNcxIndexMobi::SetCncxText(size_t i, std::string&& text)
{
    m_Entries[i].m_Label = std::move(text);
    m_Entries[i].m_HasLabel = true;
}
