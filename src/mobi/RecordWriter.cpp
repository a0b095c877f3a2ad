// The Kindle record writer: text records, record 0 with its EXTH block, the small fixed records
// and the PalmDB container the parts are laid out in.
#include "mobi/RecordWriter.h"

#include "base/Files.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "mobi/ByteIO.h"
#include "mobi/ExthBlock.h"
#include "mobi/ExthIds.h"
#include "mobi/KindleLocale.h"
#include "mobi/MOBIHeader.h"
#include "mobi/PalmDb.h"
#include "mobi/RecordLayout.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace
{

constexpr size_t PALMDB_NAME_LENGTH = 31; // of 32 bytes, the last one the terminating NUL
constexpr size_t MAX_PALMDB_RECORDS = 0xFFFF;
constexpr uint64_t MAX_PALMDB_OFFSET = 0xFFFFFFFFu;
constexpr size_t TEXT_RECORD_SIZE = 4096;
// The multibyte trailing entry holds its count in two bits.
constexpr size_t MAX_TRAILING_BYTES = 3;
constexpr uint32_t MOBI_HEADER_LENGTH = 264;
constexpr size_t RECORD0_FIXED_SIZE = MOBI_HEADER_START + MOBI_HEADER_LENGTH;
constexpr uint32_t MOBI_TYPE_BOOK = 2;
constexpr uint32_t EXTH_FLAGS = 0x1010 | RECORD0_HAS_EXTH;
constexpr uint32_t EXTH_FLAG_JOINT_KF7 = 0x800;
constexpr uint32_t EXTRA_DATA_MULTIBYTE = 1;
const char BOUNDARY_RECORD[] = "BOUNDARY";

// Bytes still missing from a UTF-8 sequence that starts in the piece and runs past its end.
size_t MissingBytes(const std::string& text, size_t start, size_t size)
{
    if (size <= 1) return 0;
    size_t lead = start + size - 1;
    // A sequence is at most six bytes long: no need to look further back.
    while (lead > start && start + size - lead < 6 && (static_cast<uint8_t>(text[lead]) & 0xC0) == 0x80)
        --lead;
    uint8_t b = static_cast<uint8_t>(text[lead]);
    size_t length = b < 0xC0                   ? 1
                    : b <= 0xDF                ? 2
                    : b <= 0xEF                ? 3
                    : b <= 0xF7                ? 4
                    : (b == 0xFC || b == 0xFD) ? 6
                                               : 5;
    size_t present = start + size - lead;
    return length > present ? length - present : 0;
}

// The maker's web domain: what a reader shows for a book that names itself nowhere else.
std::string DatabaseName()
{
    std::string address = MAKER_WEB_ADDRESS;
    size_t scheme = address.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = address.find_first_of("/:?#", start);
    return address.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// A part-relative record number of an index's primary record, or none.
uint32_t IndexRecordField(int32_t position, size_t textRecords)
{
    return position < 0 ? NO_RECORD : static_cast<uint32_t>(textRecords + 1 + size_t(position));
}

std::string FirstValue(const MetaDataMap& map, const std::string& key)
{
    auto it = map.find(key);
    return it == map.end() || it->second.empty() ? std::string() : it->second.front();
}

} // namespace

std::string MakePalmDbHeader(const std::string& name)
{
    std::string header(PALMDB_HEADER_SIZE, '\0');
    header.replace(0, std::min<size_t>(name.size(), PALMDB_NAME_LENGTH), name, 0, PALMDB_NAME_LENGTH);
    header.replace(60, 8, "BOOKMOBI");
    return header;
}

ResultCode MakePalmDbHead(std::string header, const std::vector<uint64_t>& recordSizes, CRunLog* log,
                          std::string& head)
{
    head.clear();
    const size_t count = recordSizes.size();
    if (count == 0 || count > MAX_PALMDB_RECORDS) {
        TARVO_LOG(log, LOG_ERROR, "%zu records do not fit a PalmDB record list (1 to 65535)", count);
        return RC_FILE_WRITE_FAILED;
    }
    header.resize(PALMDB_HEADER_SIZE, '\0');
    PutU16At(header, 76, static_cast<uint32_t>(count));
    uint64_t offset = PALMDB_HEADER_SIZE + 8 * uint64_t(count) + 2;
    std::string list;
    list.reserve(8 * count + 2);
    for (size_t i = 0; i < count; ++i) {
        // Record offsets are 32 bits wide, and readers take the last record's end from them too.
        if (recordSizes[i] > MAX_PALMDB_OFFSET || offset + recordSizes[i] > MAX_PALMDB_OFFSET) {
            TARVO_LOG(log, LOG_ERROR,
                      "record %zu of 0x%llx bytes at 0x%llx ends past the 4 GiB a PalmDB file can address", i,
                      static_cast<unsigned long long>(recordSizes[i]),
                      static_cast<unsigned long long>(offset));
            return RC_FILE_WRITE_FAILED;
        }
        AppendU32(list, static_cast<uint32_t>(offset));
        AppendU32(list, static_cast<uint32_t>(2 * i));
        offset += recordSizes[i];
    }
    list.append(2, '\0');
    head = std::move(header) + list;
    return RC_OK;
}

std::string MakeFlisRecord()
{
    std::string r = "FLIS";
    AppendU32(r, 8);
    AppendU16(r, 0x41);
    AppendU16(r, 0);
    AppendU32(r, 0);
    AppendU32(r, 0xFFFFFFFFu);
    AppendU16(r, 1);
    AppendU16(r, 3);
    AppendU32(r, 3);
    AppendU32(r, 1);
    AppendU32(r, 0xFFFFFFFFu);
    return r;
}

std::string MakeFcisRecord(uint32_t textLength)
{
    std::string r = "FCIS";
    for (uint32_t v : {20u, 16u, 1u, 0u, textLength, 0u, 32u, 8u})
        AppendU32(r, v);
    AppendU16(r, 1);
    AppendU16(r, 1);
    AppendU32(r, 0);
    return r;
}

std::string MakeEofRecord()
{
    return std::string(EOF_RECORD_MAGIC, 4);
}

std::string KindleEmbedReference(uint32_t number)
{
    return "kindle:embed:" + WriteBase32(number, 4);
}

TextRecords MakeTextRecords(std::string text)
{
    struct Piece {
        size_t m_Start, m_Size, m_Extra;
    };
    std::vector<Piece> pieces;
    pieces.reserve(text.size() / TEXT_RECORD_SIZE + 1);
    size_t total = 0;
    for (size_t start = 0; start < text.size(); start += TEXT_RECORD_SIZE) {
        size_t size = std::min(TEXT_RECORD_SIZE, text.size() - start);
        size_t following = text.size() - start - size;
        size_t extra = MissingBytes(text, start, size);
        // A count the trailing entry cannot hold is dropped rather than misread; a character cut by
        // the end of the text gets only the bytes that are there.
        if (extra > MAX_TRAILING_BYTES) extra = 0;
        extra = std::min(extra, following);
        pieces.push_back({start, size, extra});
        total += size + extra + 1;
    }
    const size_t padding = total % 4 != 0 ? 4 - total % 4 : 0;

    // Each record moves right by the bytes added before it. Moving the last one first never
    // overwrites a byte still to be moved: a record lands past the repeated bytes of the one before.
    TextRecords records;
    records.m_Ends.resize(pieces.size());
    text.resize(total + padding, '\0');
    size_t end = total;
    for (size_t i = pieces.size(); i-- > 0;) {
        const Piece& p = pieces[i];
        size_t to = end - (p.m_Size + p.m_Extra + 1);
        std::memmove(&text[to], &text[p.m_Start], p.m_Size + p.m_Extra);
        text[to + p.m_Size + p.m_Extra] = static_cast<char>(p.m_Extra);
        records.m_Ends[i] = end;
        end = to;
    }
    if (padding > 0) records.m_Ends.push_back(total + padding);
    records.m_Block = std::move(text);
    return records;
}

namespace
{

// Where a part's records go, once its text records are made: text records from 1, then the
// indexes, the resources, FDST when there are flows, FLIS and FCIS.
struct PartLayout {
    uint32_t m_TextLength = 0;
    size_t m_TextRecords = 0;
    size_t m_Indexes = 0;
    size_t m_Resources = 0;
    bool m_HasFdst = false;
    uint64_t m_Flis = 0; // FCIS is the record after it, the last one a part has
};

bool IsKf8(MobiPartKind kind)
{
    return kind == MobiPartKind::Kf8Only || kind == MobiPartKind::JointKf8;
}

ResultCode CheckTextLength(size_t textLength, CRunLog* log)
{
    if (textLength > 0xFFFFFFFFu) {
        TARVO_LOG(log, LOG_ERROR, "text of %zu bytes does not fit the 32-bit length field", textLength);
        return RC_FILE_WRITE_FAILED;
    }
    // Checked before the records are made: a text this long would be copied for nothing.
    if (textLength / TEXT_RECORD_SIZE > MAX_PALMDB_RECORDS) {
        TARVO_LOG(log, LOG_ERROR, "text of %zu bytes needs more than 65535 text records", textLength);
        return RC_FILE_WRITE_FAILED;
    }
    return RC_OK;
}

// Every record number record 0 will hold must name a record of the part and fit a PalmDB file.
ResultCode LayOutPart(const MobiPartText& text, size_t textRecords, size_t resources, CRunLog* log,
                      PartLayout& layout)
{
    const size_t indexes = text.m_IndexRecords.size();
    for (int32_t position : {text.m_NcxIndex, text.m_ChunkIndex, text.m_SkeletonIndex, text.m_GuideIndex}) {
        if (position < -1 || (position >= 0 && size_t(position) >= indexes)) {
            TARVO_LOG(log, LOG_ERROR, "index position %d outside the %zu index records", position, indexes);
            return RC_FILE_WRITE_FAILED;
        }
    }
    layout.m_TextRecords = textRecords;
    layout.m_Indexes = indexes;
    layout.m_Resources = resources;
    layout.m_HasFdst = !text.m_Fdst.empty();
    const uint64_t l = uint64_t(textRecords) + 1 + indexes + resources + (layout.m_HasFdst ? 1 : 0);
    if (l + 2 > MAX_PALMDB_RECORDS) {
        TARVO_LOG(log, LOG_ERROR,
                  "part of %llu records cannot be numbered in a PalmDB file (last content record %llu)",
                  static_cast<unsigned long long>(l + 2), static_cast<unsigned long long>(l - 1));
        return RC_FILE_WRITE_FAILED;
    }
    layout.m_Flis = l;
    return RC_OK;
}

// The EXTH values that name records of the file: the writer's own, whatever the book brought.
void SetRecordExthValues(MobiPartKind kind, int32_t coverIndex, const PartLayout& layout, CRunLog* log,
                         MetaDataMap& metadata)
{
    const bool sharesResources = kind == MobiPartKind::JointKf8;
    const size_t resources = layout.m_Resources;
    // Values a converted Kindle book may bring along describe its old records, not these.
    // Every key spelling that names one of these types goes ("MOBI_ID_121" as well).
    const std::set<int32_t> owned = {EXTH_COVER_OFFSET,      EXTH_THUMB_OFFSET, EXTH_FAKE_COVER,
                                     EXTH_KF8_COVER_URI,     EXTH_KF8_BOUNDARY, EXTH_RESOURCE_COUNT,
                                     EXTH_RESOURCE_COUNT_KF8};
    for (auto it = metadata.begin(); it != metadata.end();)
        it = owned.count(CIntermediateBook::GetExthIdByKey(it->first)) != 0 ? metadata.erase(it)
                                                                            : std::next(it);
    if (coverIndex >= 0 && !sharesResources && size_t(coverIndex) >= resources) {
        TARVO_LOG(log, LOG_WARNING, "cover index %d outside the %zu resource records; no cover", coverIndex,
                  resources);
        coverIndex = -1;
    }
    auto set = [&metadata](int32_t type, const std::string& value) {
        metadata[CIntermediateBook::GetKeyByExthId(type)] = {value};
    };
    if (coverIndex >= 0) {
        // The thumbnail is made right after its cover.
        const uint32_t cover = static_cast<uint32_t>(coverIndex);
        set(EXTH_COVER_OFFSET, ExthNumber(cover));
        set(EXTH_FAKE_COVER, ExthNumber(0));
        if (sharesResources || size_t(coverIndex) + 1 < resources)
            set(EXTH_THUMB_OFFSET, ExthNumber(cover + 1));
        if (kind != MobiPartKind::Kf7Only) set(EXTH_KF8_COVER_URI, KindleEmbedReference(cover + 1));
    }
    if (kind == MobiPartKind::JointKf7) {
        // Record 0, the misc records and "BOUNDARY" come before the KF8 part's record 0.
        const uint64_t kf8Record0 = layout.m_Flis + 2 + 1;
        set(EXTH_KF8_BOUNDARY, ExthNumber(static_cast<uint32_t>(kf8Record0)));
        const std::string count = ExthNumber(static_cast<uint32_t>(resources));
        set(EXTH_RESOURCE_COUNT, count);
        set(EXTH_RESOURCE_COUNT_KF8, count);
    }
}

// Fields that name no record in the books we write.
const Record0Field* const UNSET_RECORD_FIELDS[] = {
    &RECORD0_ORTHOGRAPHIC_INDEX, &RECORD0_INFLECTION_INDEX, &RECORD0_INDEX_NAMES,   &RECORD0_INDEX_KEYS,
    &RECORD0_EXTRA_INDEX_0,      &RECORD0_EXTRA_INDEX_1,    &RECORD0_EXTRA_INDEX_2, &RECORD0_EXTRA_INDEX_3,
    &RECORD0_EXTRA_INDEX_4,      &RECORD0_EXTRA_INDEX_5,    &RECORD0_UNUSED_A4,     &RECORD0_DRM_OFFSET,
    &RECORD0_SRCS_RECORD,        &RECORD0_UNUSED_E8,        &RECORD0_UNUSED_EC,     &RECORD0_DATP_RECORD,
    &RECORD0_UNUSED_108,         &RECORD0_UNUSED_110};

// The PalmDOC and MOBI headers of a part's record 0.
std::string MakeRecord0Headers(MobiPartKind kind, const MobiPartText& text, const PartLayout& layout,
                               const MetaDataMap& metadata)
{
    const uint32_t t = static_cast<uint32_t>(layout.m_TextRecords);
    const uint32_t indexes = static_cast<uint32_t>(layout.m_Indexes);
    const uint32_t flis = static_cast<uint32_t>(layout.m_Flis);
    // A MOBI 6 part says version 6, as readers expect of the older half of a joint file.
    const uint32_t version = IsKf8(kind) ? 8 : 6;
    std::string r(RECORD0_FIXED_SIZE, '\0');
    WriteField(r, RECORD0_COMPRESSION, COMPRESSION_NONE);
    WriteField(r, RECORD0_TEXT_LENGTH, layout.m_TextLength);
    WriteField(r, RECORD0_TEXT_RECORD_COUNT, t);
    WriteField(r, RECORD0_TEXT_RECORD_SIZE, TEXT_RECORD_SIZE);
    r.replace(RECORD0_MAGIC.m_Offset, RECORD0_MAGIC.m_Width, "MOBI");
    WriteField(r, RECORD0_HEADER_LENGTH, MOBI_HEADER_LENGTH);
    WriteField(r, RECORD0_MOBI_TYPE, MOBI_TYPE_BOOK);
    WriteField(r, RECORD0_TEXT_ENCODING, CODE_PAGE_UTF8);
    WriteField(r, RECORD0_FILE_VERSION, version);
    for (const Record0Field* field : UNSET_RECORD_FIELDS)
        WriteField(r, *field, NO_RECORD);
    WriteField(r, RECORD0_FIRST_NON_BOOK, indexes > 0 ? t + 1 : NO_RECORD);
    // Readers that never look at EXTH 524 pick dictionary and hyphenation by the header's locale.
    // A Kindle source's own locale keeps its region when the book's language names none.
    const std::string sourceLocale = FirstValue(metadata, "languageid");
    WriteField(
        r, RECORD0_LOCALE,
        KindleLocaleFor(FirstValue(metadata, "language"),
                        sourceLocale.empty() ? 0 : static_cast<uint32_t>(LeadingNumber(sourceLocale))));
    WriteField(r, RECORD0_MIN_VERSION, version);
    WriteField(r, RECORD0_FIRST_RESOURCE, t + 1 + indexes);
    WriteField(r, RECORD0_EXTH_FLAGS,
               EXTH_FLAGS | (kind == MobiPartKind::JointKf7 ? EXTH_FLAG_JOINT_KF7 : 0));
    if (IsKf8(kind)) {
        WriteField(r, RECORD0_FDST_RECORD, layout.m_HasFdst ? flis - 1 : 0);
        WriteField(r, RECORD0_FDST_SECTIONS, layout.m_HasFdst ? text.m_FdstSections : 0);
    } else {
        WriteField(r, RECORD0_FIRST_CONTENT, 1);
        WriteField(r, RECORD0_LAST_CONTENT, flis - 1);
        WriteField(r, RECORD0_FDST_SECTIONS, 1);
    }
    WriteField(r, RECORD0_FCIS_RECORD, flis + 1);
    WriteField(r, RECORD0_FCIS_COUNT, 1);
    WriteField(r, RECORD0_FLIS_RECORD, flis);
    WriteField(r, RECORD0_FLIS_COUNT, 1);
    WriteField(r, RECORD0_EXTRA_DATA_FLAGS, EXTRA_DATA_MULTIBYTE);
    WriteField(r, RECORD0_NCX_INDEX, IndexRecordField(text.m_NcxIndex, t));
    WriteField(r, RECORD0_FRAGMENT_INDEX, IndexRecordField(text.m_ChunkIndex, t));
    WriteField(r, RECORD0_SKELETON_INDEX, IndexRecordField(text.m_SkeletonIndex, t));
    WriteField(r, RECORD0_GUIDE_INDEX, IndexRecordField(text.m_GuideIndex, t));
    return r;
}

} // namespace

ResultCode MakeRecord(MobiPartKind kind, MobiPartText&& text, std::vector<std::string>&& resourceRecords,
                      int32_t coverIndex, MetaDataMap metadata, CRunLog* log, MobiPartRecords& part)
{
    part = MobiPartRecords();
    LogLine(log, LOG_INFO, __FILE__, __LINE__, "CMobiHeader::MakeTextRecord", "html size=%zu",
            text.m_Text.size());
    const size_t textLength = text.m_Text.size();
    ResultCode rc = CheckTextLength(textLength, log);
    if (rc != RC_OK) return rc;
    TextRecords textRecords = MakeTextRecords(std::move(text.m_Text));
    if (textRecords.Count() > MAX_PALMDB_RECORDS) {
        TARVO_LOG(log, LOG_ERROR, "%zu text records do not fit the 16-bit count", textRecords.Count());
        return RC_FILE_WRITE_FAILED;
    }
    if (kind == MobiPartKind::JointKf8 && !resourceRecords.empty()) {
        TARVO_LOG(log, LOG_WARNING, "%zu resource records dropped: this part uses those of the first part",
                  resourceRecords.size());
        resourceRecords.clear();
    }
    PartLayout layout;
    rc = LayOutPart(text, textRecords.Count(), resourceRecords.size(), log, layout);
    if (rc != RC_OK) return rc;
    layout.m_TextLength = static_cast<uint32_t>(textLength);
    SetRecordExthValues(kind, coverIndex, layout, log, metadata);

    std::string& r = part.m_Record0;
    r = MakeRecord0Headers(kind, text, layout, metadata);
    r += MakeRecord0ExthBlock(metadata);
    AppendFullName(r, ExthOutputText(EXTH_TITLE, FirstValue(metadata, "title")));

    part.m_TextRecords = std::move(textRecords);
    part.m_IndexRecords = std::move(text.m_IndexRecords);
    part.m_ResourceRecords = std::move(resourceRecords);
    if (layout.m_HasFdst) part.m_MiscRecords.push_back(std::move(text.m_Fdst));
    part.m_MiscRecords.push_back(MakeFlisRecord());
    part.m_MiscRecords.push_back(MakeFcisRecord(static_cast<uint32_t>(textLength)));
    return RC_OK;
}

bool SpillTextRecords(TextRecords& records, const std::string& path)
{
    if (WriteWholeFile(path, records.m_Block) != RC_OK) {
        DeleteFile(path);
        return false;
    }
    std::string().swap(records.m_Block);
    records.m_SpillPath = path;
    return true;
}

namespace
{

ResultCode WriteTextBlock(const TextRecords& records, CAtomicFile& out)
{
    if (records.m_SpillPath.empty()) return out.Write(records.m_Block);
    const size_t size = records.m_Ends.empty() ? 0 : records.m_Ends.back();
    CFile spilled;
    if (spilled.Open(records.m_SpillPath, false, false) != RC_OK) return RC_FILE_OPEN_FAILED;
    std::string piece(std::min<size_t>(size, size_t(1) << 20), '\0');
    for (size_t at = 0; at < size;) {
        size_t count = std::min(piece.size(), size - at);
        if (spilled.ReadAt(&piece[0], at, count) != RC_OK || count == 0) return RC_FILE_READ_FAILED;
        ResultCode rc = out.Write(piece.data(), count);
        if (rc != RC_OK) return rc;
        at += count;
    }
    return RC_OK;
}

} // namespace

ResultCode MakeFile(const std::string& path, std::vector<MobiPartRecords>& parts, CRunLog* log)
{
    if (parts.empty() || parts.size() > 2) {
        TARVO_LOG(log, LOG_ERROR, "a Kindle file holds one or two parts, not %zu", parts.size());
        return RC_FILE_WRITE_FAILED;
    }
    parts.back().m_MiscRecords.push_back(MakeEofRecord());
    const std::string boundary = BOUNDARY_RECORD;
    std::vector<uint64_t> sizes;
    for (size_t i = 0; i < parts.size(); ++i) {
        const MobiPartRecords& p = parts[i];
        if (i > 0) sizes.push_back(boundary.size());
        sizes.push_back(p.m_Record0.size());
        for (size_t r = 0; r < p.m_TextRecords.Count(); ++r)
            sizes.push_back(p.m_TextRecords.m_Ends[r] - p.m_TextRecords.Start(r));
        for (const auto* list : {&p.m_IndexRecords, &p.m_ResourceRecords, &p.m_MiscRecords})
            for (const std::string& record : *list)
                sizes.push_back(record.size());
    }
    std::string head;
    ResultCode rc = MakePalmDbHead(MakePalmDbHeader(DatabaseName()), sizes, log, head);
    if (rc != RC_OK) return rc;

    CAtomicFile out;
    rc = out.Open(path);
    if (rc != RC_OK) {
        TARVO_LOG(log, LOG_ERROR, "cannot create a file beside %s", path.c_str());
        return rc;
    }
    rc = out.Write(head);
    for (size_t i = 0; rc == RC_OK && i < parts.size(); ++i) {
        const MobiPartRecords& p = parts[i];
        if (i > 0) rc = out.Write(boundary);
        if (rc == RC_OK) rc = out.Write(p.m_Record0);
        if (rc == RC_OK) rc = WriteTextBlock(p.m_TextRecords, out);
        for (const auto* list : {&p.m_IndexRecords, &p.m_ResourceRecords, &p.m_MiscRecords})
            for (const std::string& record : *list)
                if (rc == RC_OK) rc = out.Write(record);
    }
    if (rc == RC_OK) rc = out.Commit();
    if (rc != RC_OK)
        TARVO_LOG(log, LOG_ERROR, "writing %s failed (0x%x); it was left as it was", path.c_str(), rc);
    return rc;
}
