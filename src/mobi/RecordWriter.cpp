// The Kindle record writer: text records, record 0 with its EXTH block, the small fixed records
// and the PalmDB container the parts are laid out in.
#include "mobi/RecordWriter.h"

#include "base/Charset.h"
#include "base/Platform.h"
#include "base/RunLog.h"
#include "mobi/ByteIO.h"
#include "mobi/KindleLocale.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiRewrite.h"
#include "mobi/PalmDb.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr size_t PALMDB_NAME_LENGTH = 31; // of 32 bytes, the last one the terminating NUL
constexpr size_t MAX_PALMDB_RECORDS = 0xFFFF;
constexpr uint64_t MAX_PALMDB_OFFSET = 0xFFFFFFFFu;
constexpr size_t TEXT_RECORD_SIZE = 4096;
// The multibyte trailing entry holds its count in two bits.
constexpr size_t MAX_TRAILING_BYTES = 3;
constexpr size_t RECORD0_FIXED_SIZE = 280; // PalmDOC header and a MOBI header of 264 bytes
constexpr uint32_t MOBI_HEADER_LENGTH = 264;
constexpr uint32_t MOBI_TYPE_BOOK = 2;
constexpr uint32_t CODE_PAGE_UTF8 = 65001;
constexpr uint32_t EXTH_FLAGS = 0x1050;
constexpr uint32_t EXTH_FLAG_JOINT_KF7 = 0x800;
constexpr uint32_t EXTRA_DATA_MULTIBYTE = 1;
constexpr size_t RECORD0_ALIGNMENT = 1024;
constexpr int32_t EXTH_FAKE_COVER = 203;
constexpr int32_t EXTH_KF8_COVER_URI = 129;
constexpr int32_t EXTH_RESOURCE_COUNT_KF8 = 131;
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

std::string ExthOutputText(int32_t type, const std::string& value, bool cp1252)
{
    // Names, titles, descriptions and the like; numbers and flags never hold a reference.
    static const std::set<int32_t> SHOWN_TEXT = {100, 101, 102, 103, 105, 107, 108, 109, 112, 503, 508, 517};
    if (SHOWN_TEXT.count(type) == 0 || value.find('&') == std::string::npos) return value;
    if (!cp1252) return DecodeCharacterReferences(value);
    // The character comes out as UTF-8: the part's own encoding must have it (the conversion drops
    // what it cannot write, so the way back tells), or the value stays as it was.
    std::string utf8, decoded, back;
    if (CharsetConv::Convert("windows-1252", "utf-8", value, utf8) != RC_OK) return value;
    const std::string characters = DecodeCharacterReferences(utf8);
    if (CharsetConv::Convert("utf-8", "windows-1252", characters, decoded) != RC_OK ||
        CharsetConv::Convert("windows-1252", "utf-8", decoded, back) != RC_OK || back != characters)
        return value;
    return decoded;
}

std::string MakeExthBlock(const MetaDataMap& metadata, const std::set<std::string>& skip, bool cp1252)
{
    std::string body;
    uint32_t count = 0;
    for (const auto& [key, values] : metadata) {
        if (skip.count(key) != 0) continue;
        int32_t type = CIntermediateBook::GetExthIdByKey(key);
        if (type <= 0) continue;
        for (const std::string& value : values) {
            const std::string text = ExthOutputText(type, value, cp1252);
            AppendU32(body, static_cast<uint32_t>(type));
            AppendU32(body, static_cast<uint32_t>(text.size() + 8));
            body += text;
            ++count;
        }
    }
    std::string block = "EXTH";
    size_t length = 12 + body.size();
    size_t padded = (length + 5) & ~size_t(3);
    AppendU32(block, static_cast<uint32_t>(padded));
    AppendU32(block, count);
    block += body;
    block.append(padded - length, '\0');
    return block;
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

ResultCode MakeRecord(MobiPartKind kind, MobiPartText&& text, std::vector<std::string>&& resourceRecords,
                      int32_t coverIndex, MetaDataMap metadata, CRunLog* log, MobiPartRecords& part)
{
    part = MobiPartRecords();
    const bool kf8 = kind == MobiPartKind::Kf8Only || kind == MobiPartKind::JointKf8;
    const bool sharesResources = kind == MobiPartKind::JointKf8;
    LogLine(log, LOG_INFO, __FILE__, __LINE__, "CMobiHeader::MakeTextRecord", "html size=%zu",
            text.m_Text.size());

    const size_t textLength = text.m_Text.size();
    if (textLength > 0xFFFFFFFFu) {
        TARVO_LOG(log, LOG_ERROR, "text of %zu bytes does not fit the 32-bit length field", textLength);
        return RC_FILE_WRITE_FAILED;
    }
    // Checked before the records are made: a text this long would be copied for nothing.
    if (textLength / TEXT_RECORD_SIZE > MAX_PALMDB_RECORDS) {
        TARVO_LOG(log, LOG_ERROR, "text of %zu bytes needs more than 65535 text records", textLength);
        return RC_FILE_WRITE_FAILED;
    }
    TextRecords textRecords = MakeTextRecords(std::move(text.m_Text));
    const size_t t = textRecords.Count();
    if (t > MAX_PALMDB_RECORDS) {
        TARVO_LOG(log, LOG_ERROR, "%zu text records do not fit the 16-bit count", t);
        return RC_FILE_WRITE_FAILED;
    }
    if (sharesResources && !resourceRecords.empty()) {
        TARVO_LOG(log, LOG_WARNING, "%zu resource records dropped: this part uses those of the first part",
                  resourceRecords.size());
        resourceRecords.clear();
    }
    const size_t indexes = text.m_IndexRecords.size();
    const size_t resources = resourceRecords.size();
    for (int32_t position : {text.m_NcxIndex, text.m_ChunkIndex, text.m_SkeletonIndex, text.m_GuideIndex}) {
        if (position < -1 || (position >= 0 && size_t(position) >= indexes)) {
            TARVO_LOG(log, LOG_ERROR, "index position %d outside the %zu index records", position, indexes);
            return RC_FILE_WRITE_FAILED;
        }
    }
    const bool hasFdst = !text.m_Fdst.empty();
    // FLIS is record l of the part, FCIS record l + 1 and the last one a part has.
    const uint64_t l = uint64_t(t) + 1 + indexes + resources + (hasFdst ? 1 : 0);
    if (l + 2 > MAX_PALMDB_RECORDS) {
        TARVO_LOG(log, LOG_ERROR,
                  "part of %llu records cannot be numbered in a PalmDB file (last content record %llu)",
                  static_cast<unsigned long long>(l + 2), static_cast<unsigned long long>(l - 1));
        return RC_FILE_WRITE_FAILED;
    }

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
    if (coverIndex >= 0) {
        // The thumbnail is made right after its cover.
        const uint32_t cover = static_cast<uint32_t>(coverIndex);
        metadata[CIntermediateBook::GetKeyByExthId(EXTH_COVER_OFFSET)] = {ExthNumber(cover)};
        metadata[CIntermediateBook::GetKeyByExthId(EXTH_FAKE_COVER)] = {ExthNumber(0)};
        if (sharesResources || size_t(coverIndex) + 1 < resources)
            metadata[CIntermediateBook::GetKeyByExthId(EXTH_THUMB_OFFSET)] = {ExthNumber(cover + 1)};
        if (kind != MobiPartKind::Kf7Only)
            metadata[CIntermediateBook::GetKeyByExthId(EXTH_KF8_COVER_URI)] = {
                KindleEmbedReference(cover + 1)};
    }
    if (kind == MobiPartKind::JointKf7) {
        // Record 0, the misc records and "BOUNDARY" come before the KF8 part's record 0.
        const uint64_t kf8Record0 = l + 2 + 1;
        metadata[CIntermediateBook::GetKeyByExthId(EXTH_KF8_BOUNDARY)] = {
            ExthNumber(static_cast<uint32_t>(kf8Record0))};
        const std::string count = ExthNumber(static_cast<uint32_t>(resources));
        metadata[CIntermediateBook::GetKeyByExthId(EXTH_RESOURCE_COUNT)] = {count};
        metadata[CIntermediateBook::GetKeyByExthId(EXTH_RESOURCE_COUNT_KF8)] = {count};
    }

    // A MOBI 6 part says version 6, as readers expect of the older half of a joint file.
    const uint32_t version = kf8 ? 8 : 6;
    const uint32_t lastInPart = static_cast<uint32_t>(l);
    std::string& r = part.m_Record0;
    r.assign(RECORD0_FIXED_SIZE, '\0');
    PutU16At(r, 0x00, COMPRESSION_NONE);
    PutU32At(r, 0x04, static_cast<uint32_t>(textLength));
    PutU16At(r, 0x08, static_cast<uint32_t>(t));
    PutU16At(r, 0x0A, TEXT_RECORD_SIZE);
    r.replace(0x10, 4, "MOBI");
    PutU32At(r, 0x14, MOBI_HEADER_LENGTH);
    PutU32At(r, 0x18, MOBI_TYPE_BOOK);
    PutU32At(r, 0x1C, CODE_PAGE_UTF8);
    PutU32At(r, 0x24, version);
    r.replace(0x28, 40, 40, '\xFF'); // orthographic, inflection, index names and keys, extra indexes
    PutU32At(r, 0x50, indexes > 0 ? static_cast<uint32_t>(t + 1) : NO_RECORD); // first non-book record
    // Readers that never look at EXTH 524 pick dictionary and hyphenation by the header's locale.
    // A Kindle source's own locale keeps its region when the book's language names none.
    const std::string sourceLocale = FirstValue(metadata, "languageid");
    PutU32At(r, 0x5C,
             KindleLocaleFor(FirstValue(metadata, "language"),
                             sourceLocale.empty() ? 0 : static_cast<uint32_t>(LeadingNumber(sourceLocale))));
    PutU32At(r, 0x68, version);                                // minimum version
    PutU32At(r, 0x6C, static_cast<uint32_t>(t + 1 + indexes)); // first image record
    PutU32At(r, 0x80, EXTH_FLAGS | (kind == MobiPartKind::JointKf7 ? EXTH_FLAG_JOINT_KF7 : 0));
    for (size_t offset : {0xA4, 0xA8, 0xE0, 0xE8, 0xEC, 0x100, 0x108, 0x110})
        PutU32At(r, offset, NO_RECORD);
    if (kf8) {
        PutU32At(r, 0xC0, hasFdst ? lastInPart - 1 : 0); // FDST record
        PutU32At(r, 0xC4, hasFdst ? text.m_FdstSections : 0);
    } else {
        PutU16At(r, 0xC0, 1); // first and last content record
        PutU16At(r, 0xC2, lastInPart - 1);
        PutU32At(r, 0xC4, 1);
    }
    PutU32At(r, 0xC8, lastInPart + 1); // FCIS
    PutU32At(r, 0xCC, 1);
    PutU32At(r, 0xD0, lastInPart); // FLIS
    PutU32At(r, 0xD4, 1);
    PutU32At(r, 0xF0, EXTRA_DATA_MULTIBYTE);
    PutU32At(r, 0xF4, IndexRecordField(text.m_NcxIndex, t));
    PutU32At(r, 0xF8, IndexRecordField(text.m_ChunkIndex, t));
    PutU32At(r, 0xFC, IndexRecordField(text.m_SkeletonIndex, t));
    PutU32At(r, 0x104, IndexRecordField(text.m_GuideIndex, t));

    r += MakeExthBlock(metadata, {"coverimage", "thumbimage", "languageid"});
    const std::string fullName = ExthOutputText(EXTH_TITLE, FirstValue(metadata, "title"));
    PutU32At(r, 0x54, static_cast<uint32_t>(r.size()));
    PutU32At(r, 0x58, static_cast<uint32_t>(fullName.size()));
    r += fullName;
    // Readers that take the full name as a C string find its end even when the padding is short.
    r.append(2, '\0');
    r.append((RECORD0_ALIGNMENT - r.size() % RECORD0_ALIGNMENT) % RECORD0_ALIGNMENT, '\0');

    part.m_TextRecords = std::move(textRecords);
    part.m_IndexRecords = std::move(text.m_IndexRecords);
    part.m_ResourceRecords = std::move(resourceRecords);
    if (hasFdst) part.m_MiscRecords.push_back(std::move(text.m_Fdst));
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
