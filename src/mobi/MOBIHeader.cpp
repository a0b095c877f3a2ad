// Record 0 of a book part, its EXTH metadata, the text decoding loop, the resource records and
// the indexes. Offsets and lengths from the book are checked against the record that holds them.
#include "mobi/MOBIHeader.h"

#include "base/Files.h"
#include "base/Images.h"
#include "base/RunLog.h"
#include "mobi/ByteIO.h"
#include "mobi/Decompress.h"
#include "mobi/ExthIds.h"
#include "mobi/PalmDb.h"
#include "mobi/RecordLayout.h"

#include <algorithm>
#include <cstdio>

namespace
{

// Structural records and the other non-image kinds; none of them is unpacked as an image or a cover.
const char* const NON_IMAGE_MAGICS[] = {"FLIS",
                                        "FCIS",
                                        "SRCS",
                                        "DATP",
                                        "CMET",
                                        "RESC",
                                        "FDST",
                                        "INDX",
                                        "GESW",
                                        "PAGE",
                                        "HUFF",
                                        "CDIC",
                                        "BOUN",
                                        "CONT",
                                        "CRES",
                                        "kind",
                                        "FONT",
                                        "AUDI",
                                        "VIDE",
                                        "%MOP",
                                        "\xE9\x8E\x0D\x0A",
                                        "\xA0\xA0\xA0\xA0"};

constexpr size_t CONTAINER_EXTH_OFFSET = 48;
constexpr size_t CRES_HEAD_SIZE = 12;
constexpr size_t FONT_HEAD_SIZE = 24;
constexpr size_t MEDIA_HEAD_SIZE = 12;
constexpr size_t MOP_HEAD_SIZE = 20;

bool StartsWithMagic(const std::string& bytes, const char* magic)
{
    return bytes.size() >= 4 && bytes.compare(0, 4, magic, 4) == 0;
}

// Up to three trailing zero bytes are padding; four in a row belong to the data.
size_t TrimmedSize(const char* data, size_t size)
{
    size_t zeros = 0;
    while (zeros < 4 && zeros < size && data[size - 1 - zeros] == '\0')
        ++zeros;
    return zeros < 4 ? size - zeros : size;
}

std::string Format(const char* format, int64_t number, const char* type = "")
{
    char name[64];
    std::snprintf(name, sizeof name, format, static_cast<long long>(number), type);
    return name;
}

} // namespace

bool IsNonImageMagic(const std::string& record)
{
    for (const char* magic : NON_IMAGE_MAGICS)
        if (StartsWithMagic(record, magic)) return true;
    return false;
}

CMobiHeader::CMobiHeader() = default;

void CMobiHeader::SetLog(CRunLog* log)
{
    m_Log = log;
    m_Book.m_Log = log;
    m_NcxIndex.SetLog(log);
    m_ChunkIndex.SetLog(log);
    m_SkelIndex.SetLog(log);
    m_GuideIndex.SetLog(log);
}

ResultCode CMobiHeader::Init(const CPalmDb& db, uint32_t baseRecord, CRunLog* log)
{
    // A header may be opened again for the next operation: nothing of the last book survives.
    m_Book.Reset();
    m_Text.clear();
    m_FullName.clear();
    m_RecordsToUnpack.clear();
    m_ResourceFiles.clear();
    m_ResourceMap.clear();
    m_NcxIndex.Clear();
    m_ChunkIndex.Clear();
    m_SkelIndex.Clear();
    m_GuideIndex.Clear();
    m_CoverOffset = -1;
    m_ThumbOffset = -1;
    m_IsCp1252 = false;
    m_IsAzw4 = false;
    m_Kf8Boundary = -1;
    m_FirstResourceRecord = -1;
    m_Db = &db;
    SetLog(log);
    m_BaseRecord = baseRecord;
    m_RecordCount = db.RecordCount();
    m_LastRecord = m_RecordCount == 0 ? 0 : m_RecordCount - 1;
    m_IsKf8 = false;
    m_Fields = MobiHeaderFields();
    if (db.ReadRecord(baseRecord, m_Record0) != RC_OK || m_Record0.empty()) {
        TARVO_LOG(m_Log, LOG_ERROR, "record 0 of the part (record %u) is empty or unreadable", baseRecord);
        return RC_MOBI_HEADER_MAGIC;
    }
    CByteReader r(m_Record0);
    m_Fields.m_Compression = r.U16At(0);
    if (m_Fields.m_Compression != COMPRESSION_NONE && m_Fields.m_Compression != COMPRESSION_PALMDOC &&
        m_Fields.m_Compression != COMPRESSION_HUFF_CDIC) {
        TARVO_LOG(m_Log, LOG_ERROR, "compression %u", m_Fields.m_Compression);
        return RC_MOBI_COMPRESSION;
    }
    ResultCode rc = GetMobiHeader();
    if (m_FirstResourceRecord < 0) {
        m_CoverOffset = -1;
        m_ThumbOffset = -1;
    }
    m_Book.m_CoverImageIndex = static_cast<int32_t>(m_CoverOffset);
    m_Book.m_ThumbImageIndex = static_cast<int32_t>(m_ThumbOffset);
    return rc;
}

ResultCode CMobiHeader::GetMobiHeader()
{
    CByteReader r(m_Record0);
    // A field the record is too short for keeps its default.
    auto field = [&](const Record0Field& at, uint32_t fallback) {
        return RecordHolds(m_Record0, at) ? ReadField(r, at) : fallback;
    };
    MobiHeaderFields& f = m_Fields;
    f.m_Compression = static_cast<uint16_t>(ReadField(r, RECORD0_COMPRESSION));
    f.m_TextLength = field(RECORD0_TEXT_LENGTH, 0);
    f.m_TextRecordCount = static_cast<uint16_t>(field(RECORD0_TEXT_RECORD_COUNT, 0));
    f.m_Encryption = static_cast<uint16_t>(field(RECORD0_ENCRYPTION, 0));
    if (!r.Equals(RECORD0_MAGIC.m_Offset, "MOBI", RECORD0_MAGIC.m_Width)) {
        TARVO_LOG(m_Log, LOG_ERROR, "record 0 has no MOBI header");
        return RC_MOBI_HEADER_MAGIC;
    }
    f.m_FileVersion = field(RECORD0_FILE_VERSION, 0);
    if (f.m_FileVersion == 8) m_IsKf8 = true;
    f.m_FullNameOffset = field(RECORD0_FULL_NAME_OFFSET, NO_RECORD);
    f.m_FullNameLength = field(RECORD0_FULL_NAME_LENGTH, 0);
    m_FullName = m_Db->Name();
    if (f.m_FullNameOffset != NO_RECORD) {
        // Only the part of the name inside record 0 is there to take.
        size_t at = std::min<size_t>(f.m_FullNameOffset, m_Record0.size());
        size_t length = std::min<size_t>(f.m_FullNameLength, m_Record0.size() - at);
        m_FullName.assign(m_Record0, at, length);
    }
    f.m_HeaderLength = field(RECORD0_HEADER_LENGTH, 0);
    if (static_cast<int32_t>(f.m_HeaderLength) < 1) {
        TARVO_LOG(m_Log, LOG_ERROR, "MOBI header length 0x%x", f.m_HeaderLength);
        return RC_MOBI_HEADER_MAGIC;
    }
    f.m_TextEncoding = field(RECORD0_TEXT_ENCODING, 0);
    if (f.m_TextEncoding == CODE_PAGE_WINDOWS_1252) {
        m_IsCp1252 = true;
    } else if (f.m_TextEncoding == CODE_PAGE_UTF8) {
        m_IsCp1252 = false;
    } else {
        TARVO_LOG(m_Log, LOG_INFO, "CodePage Error::%X\r\n", f.m_TextEncoding);
        return RC_MOBI_CODEPAGE;
    }
    m_Book.m_MetaIsWindows1252 = m_IsCp1252;
    f.m_Locale = field(RECORD0_LOCALE, 0);
    char locale[16];
    std::snprintf(locale, sizeof locale, "%08d", static_cast<int32_t>(f.m_Locale));
    m_Book.m_MetaData["languageid"] = {locale};
    f.m_MinimumVersion = field(RECORD0_MIN_VERSION, 0);
    f.m_FirstResource = field(RECORD0_FIRST_RESOURCE, NO_RECORD);
    f.m_HuffRecord = field(RECORD0_HUFF_RECORD, 0);
    f.m_HuffRecordCount = field(RECORD0_HUFF_RECORD_COUNT, 0);
    f.m_ExthFlags = field(RECORD0_EXTH_FLAGS, 0);
    // The fields later header versions added are there only when the header is long enough.
    const uint32_t h = f.m_HeaderLength;
    auto added = [&](const Record0Field& at, uint32_t fallback) {
        return HeaderHolds(h, at) ? field(at, fallback) : fallback;
    };
    f.m_Fdst = added(RECORD0_FDST_RECORD, NO_RECORD);
    f.m_ExtraDataFlags =
        f.m_MinimumVersion >= 5 ? static_cast<uint16_t>(added(RECORD0_EXTRA_DATA_FLAGS, 0)) : 0;
    f.m_Ncx = added(RECORD0_NCX_INDEX, NO_RECORD);
    f.m_Chunk = added(RECORD0_FRAGMENT_INDEX, NO_RECORD);
    f.m_Skel = added(RECORD0_SKELETON_INDEX, NO_RECORD);
    f.m_Guide = added(RECORD0_GUIDE_INDEX, NO_RECORD);

    m_FirstResourceRecord = -1;
    if (f.m_FirstResource != NO_RECORD) {
        int64_t first = int64_t(m_BaseRecord) + static_cast<int32_t>(f.m_FirstResource);
        if (first >= 0 && first < int64_t(m_RecordCount)) m_FirstResourceRecord = first;
    }
    if (f.m_ExthFlags & RECORD0_HAS_EXTH) return ParseExth(static_cast<uint32_t>(MOBI_HEADER_START) + h);
    return RC_OK;
}

ResultCode CMobiHeader::ParseExth(uint32_t exthOffset)
{
    CByteReader r(m_Record0);
    if (!r.Equals(exthOffset, "EXTH", 4)) {
        TARVO_LOG(m_Log, LOG_ERROR, "no EXTH block at 0x%x of record 0", exthOffset);
        return RC_MOBI_EXTH_MAGIC;
    }
    uint32_t length = r.U32At(size_t(exthOffset) + 4);
    uint32_t count = r.U32At(size_t(exthOffset) + 8);
    int64_t bound = (int64_t(m_Record0.size()) - int64_t(m_Fields.m_HeaderLength) - 13) & ~int64_t(3);
    if (r.Failed() || int64_t(length) > bound) {
        TARVO_LOG(m_Log, LOG_ERROR, "EXTH length 0x%x exceeds record 0 size 0x%zx", length, m_Record0.size());
        return RC_MOBI_EXTH_LENGTH;
    }
    size_t p = 12;
    for (uint32_t i = 0; i < count && p < length; ++i) {
        size_t at = size_t(exthOffset) + p;
        uint32_t type = r.U32At(at);
        uint32_t size = r.U32At(at + 4);
        if (r.Failed() || size < 9) break;
        // The length bound above allows a few bytes past the record; records there are not read.
        if (at + size > m_Record0.size()) {
            TARVO_LOG(m_Log, LOG_WARNING, "EXTH record %u of %u bytes runs past record 0", type, size);
            break;
        }
        std::string data(m_Record0, at + 8, size - 8);
        if (type == EXTH_COVER_OFFSET || type == EXTH_THUMB_OFFSET) {
            uint32_t value = data.size() == 4 ? CByteReader(data).U32At(0) : 0;
            int64_t& offset = type == EXTH_COVER_OFFSET ? m_CoverOffset : m_ThumbOffset;
            if (data.size() == 4 && static_cast<int32_t>(value) >= 0) {
                if (offset == -1) offset = value;
                m_Book.AddValueByExthId(static_cast<int32_t>(type), data);
            }
        } else {
            m_Book.AddValueByExthId(static_cast<int32_t>(type), data);
        }
        p += size;
    }
    m_Book.KeepFirstValues();
    // Page direction and fixed layout are the book's own fields, so that every output can use them.
    std::string value;
    m_Book.m_RightToLeft =
        m_Book.GetValue(CIntermediateBook::GetKeyByExthId(EXTH_PAGE_PROGRESSION), value) == RC_OK &&
        value == "rtl";
    value.clear();
    m_Book.m_FixedLayout =
        m_Book.GetValue(CIntermediateBook::GetKeyByExthId(EXTH_FIXED_LAYOUT), value) == RC_OK &&
        value == "true";
    auto title = m_Book.m_MetaData.find("title");
    if ((title == m_Book.m_MetaData.end() || title->second.empty() || title->second[0].empty()) &&
        !m_FullName.empty())
        m_Book.m_MetaData["title"] = {m_FullName};
    return RC_OK;
}

int64_t CMobiHeader::FindKf8Boundary()
{
    if (m_IsKf8) return -1;
    uint32_t boundary = m_Book.GetUint32ByExthId(EXTH_KF8_BOUNDARY);
    if (boundary == 0 || boundary == NO_RECORD || boundary >= m_RecordCount) return -1;
    std::string mark;
    if (m_Db->RecordSize(boundary - 1) != 8 || m_Db->ReadRecord(boundary - 1, mark) != RC_OK ||
        mark != "BOUNDARY")
        return -1;
    m_Kf8Boundary = boundary - 1;
    m_LastRecord = boundary >= 2 ? boundary - 2 : 0;
    return boundary;
}

ResultCode CMobiHeader::ReadPartRecord(uint32_t relative, std::string& bytes) const
{
    bytes.clear();
    uint64_t record = uint64_t(m_BaseRecord) + relative;
    if (m_Db == nullptr || record > m_LastRecord) return RC_FILE_READ_FAILED;
    return m_Db->ReadRecord(static_cast<uint32_t>(record), bytes);
}

// ---- text ---------------------------------------------------------------------------------------

ResultCode CMobiHeader::UnpackTextRecord(const std::string& outputDirectory)
{
    m_Text.clear();
    m_IsAzw4 = false;
    ResultCode rc = DecodeText(outputDirectory);
    if (rc == RC_OK && !m_Text.empty()) rc = ExtractPdf(outputDirectory);
    return rc;
}

ResultCode CMobiHeader::DecodeText(const std::string&)
{
    const MobiHeaderFields& f = m_Fields;
    uint64_t textEnd = std::min<uint64_t>(uint64_t(m_BaseRecord) + f.m_TextRecordCount, m_LastRecord);
    m_RecordsToUnpack.clear();
    for (uint64_t rec = uint64_t(m_BaseRecord) + f.m_TextRecordCount + 1; rec <= m_LastRecord; ++rec)
        m_RecordsToUnpack.push_back(static_cast<uint32_t>(rec));

    CHuffCdicDecoder huff(m_Log);
    std::string bytes;
    if (f.m_Compression == COMPRESSION_HUFF_CDIC) {
        uint64_t huffRecord = uint64_t(m_BaseRecord) + f.m_HuffRecord;
        uint64_t cdicCount = f.m_HuffRecordCount > 0 ? f.m_HuffRecordCount - 1 : 0;
        if (huffRecord + 2 > m_LastRecord || huffRecord + cdicCount > m_LastRecord) {
            TARVO_LOG(m_Log, LOG_ERROR,
                      "HUFF record %llu and %llu CDIC records pass the part's last record %u",
                      static_cast<unsigned long long>(huffRecord), static_cast<unsigned long long>(cdicCount),
                      m_LastRecord);
            return RC_MOBI_HUFF_INDEX;
        }
        ResultCode rc = m_Db->ReadRecord(static_cast<uint32_t>(huffRecord), bytes);
        if (rc == RC_OK) rc = huff.LoadHuff(bytes);
        for (uint64_t i = 1; rc == RC_OK && i <= cdicCount; ++i) {
            rc = m_Db->ReadRecord(static_cast<uint32_t>(huffRecord + i), bytes);
            if (rc == RC_OK) rc = huff.AddCdic(bytes);
        }
        if (rc != RC_OK) return rc;
        auto from = std::remove_if(m_RecordsToUnpack.begin(), m_RecordsToUnpack.end(), [&](uint32_t rec) {
            return rec >= huffRecord && rec <= huffRecord + cdicCount;
        });
        m_RecordsToUnpack.erase(from, m_RecordsToUnpack.end());
    }
    // Text records decode to about 4 KB each; the declared length is only a hint for the first
    // allocation and is capped by what the file could hold.
    m_Text.reserve(static_cast<size_t>(std::min<uint64_t>(f.m_TextLength, m_Db->FileSize() * 8)));
    for (uint64_t rec = uint64_t(m_BaseRecord) + 1; rec <= textEnd; ++rec) {
        ResultCode rc = m_Db->ReadRecord(static_cast<uint32_t>(rec), bytes);
        if (rc != RC_OK) return rc;
        if (bytes.size() < 5 && std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; }))
            break;
        const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
        int64_t size = CutExtraData(data, bytes.size(), f.m_ExtraDataFlags);
        if (size < 0) {
            TARVO_LOG(m_Log, LOG_ERROR, "extra data of text record %llu exceeds its %zu bytes",
                      static_cast<unsigned long long>(rec), bytes.size());
            return RC_MOBI_EXTRA_DATA;
        }
        switch (f.m_Compression) {
        case COMPRESSION_NONE:
            m_Text.append(bytes, 0, static_cast<size_t>(size));
            break;
        case COMPRESSION_PALMDOC:
            if (!PalmDocDecode(data, static_cast<size_t>(size), m_Text))
                TARVO_LOG(m_Log, LOG_WARNING, "PalmDOC record %llu refers before its start; dropped",
                          static_cast<unsigned long long>(rec));
            break;
        default:
            rc = huff.Decode(data, static_cast<size_t>(size), m_Text);
            if (rc != RC_OK) return rc;
            break;
        }
    }
    return RC_OK;
}

ResultCode CMobiHeader::ExtractPdf(const std::string& outputDirectory)
{
    if (!StartsWithMagic(m_Text, "%MOP")) return RC_OK;
    CByteReader r(m_Text);
    uint32_t count = r.U32At(4);
    uint32_t offset = r.U32At(12);
    uint32_t length = r.U32At(16);
    if (r.Failed() || count != 1) {
        TARVO_LOG(m_Log, LOG_ERROR, "print replica holds %u documents", count);
        return RC_MOBI_AZW4_PDFS;
    }
    if (offset < MOP_HEAD_SIZE || offset > m_Text.size() || length > m_Text.size() - offset) {
        TARVO_LOG(m_Log, LOG_ERROR, "print replica PDF at 0x%x+0x%x outside the text of 0x%zx bytes", offset,
                  length, m_Text.size());
        return RC_MOBI_AZW4_PDFS;
    }
    ResultCode rc = WriteWholeFile(outputDirectory + "content.pdf", m_Text.substr(offset, length));
    if (rc != RC_OK) return rc;
    m_IsAzw4 = true;
    return RC_AZW4_UNPACKED;
}

// ---- resources ----------------------------------------------------------------------------------

void CMobiHeader::WriteResource(const std::string& outputDirectory, const std::string& name, int64_t number,
                                const char* data, size_t size, bool trim)
{
    if (trim) size = TrimmedSize(data, size);
    if (WriteWholeFile(outputDirectory + name, std::string(data, size)) != RC_OK) {
        TARVO_LOG(m_Log, LOG_WARNING, "could not write %s", name.c_str());
        return;
    }
    m_ResourceFiles.push_back(name);
    m_ResourceMap[number] = name;
}

bool CMobiHeader::ContainerHoldsImages(const std::string& record, uint32_t recordNumber)
{
    CByteReader r(record);
    size_t exth = CONTAINER_EXTH_OFFSET;
    uint32_t length = r.U32At(exth + 4);
    uint32_t count = r.U32At(exth + 8);
    if (!r.Equals(exth, "EXTH", 4) || r.Failed() || length > record.size() - exth) {
        TARVO_LOG(m_Log, LOG_WARNING, "container record %u has no usable EXTH block", recordNumber);
        return false;
    }
    bool images = false;
    size_t p = 12;
    for (uint32_t i = 0; i < count && p < length; ++i) {
        uint32_t type = r.U32At(exth + p);
        uint32_t size = r.U32At(exth + p + 4);
        if (r.Failed() || size < 9 || size > length - p) break;
        if (type == EXTH_CONTAINER_CONTENT && r.Equals(exth + p + 8, "application/image", 17) &&
            size - 8 >= 17)
            images = true;
        p += size;
    }
    return images;
}

ResultCode CMobiHeader::UnpackAllRecord(const std::string& outputDirectory)
{
    if (m_Db == nullptr) return RC_FILE_READ_FAILED;
    if (m_RecordsToUnpack.empty())
        for (uint64_t rec = uint64_t(m_BaseRecord) + m_Fields.m_TextRecordCount + 1; rec <= m_LastRecord;
             ++rec)
            m_RecordsToUnpack.push_back(static_cast<uint32_t>(rec));
    // Resource numbers count from the first resource record; a book without one counts from the
    // first record after its text.
    int64_t origin = m_FirstResourceRecord >= 0 ? m_FirstResourceRecord
                                                : int64_t(m_BaseRecord) + m_Fields.m_TextRecordCount + 1;
    uint32_t boundaryMark = 0;
    int containerMode = -1;
    size_t handled = 0;
    ResultCode result = RC_OK;
    std::string record;
    for (; handled < m_RecordsToUnpack.size(); ++handled) {
        uint32_t rec = m_RecordsToUnpack[handled];
        if (rec + 1 < m_RecordCount) {
            if (m_Db->RecordSize(rec) < 4) continue;
            result = m_Db->ReadRecord(rec, record);
        } else if (rec + 1 == m_RecordCount) {
            result = m_Db->ReadRecordHead(rec, 4, record);
        } else {
            continue;
        }
        if (result != RC_OK) break;
        if (record.size() < 4) continue;
        int64_t number = int64_t(rec) - origin;
        const char* data = record.data();

        if (record.size() >= 8 && record.compare(0, 8, "BOUNDARY") == 0) {
            boundaryMark = rec;
        } else if (StartsWithMagic(record, "CONT")) {
            if (boundaryMark == 0)
                TARVO_LOG(m_Log, LOG_ERROR, "Error:: CONT Index: %d", static_cast<int32_t>(rec));
            else if (record.size() >= 12 && record.compare(4, 8, "BOUNDARY") == 0)
                boundaryMark = 0;
            else if (ContainerHoldsImages(record, rec))
                containerMode = 0;
        } else if (StartsWithMagic(record, "CRES")) {
            if (containerMode == -1) {
                TARVO_LOG(m_Log, LOG_ERROR, "Error:: CRES Index: %d", static_cast<int32_t>(rec));
            } else if (record.size() > CRES_HEAD_SIZE) {
                std::string type = ImageTypeOf(record.substr(CRES_HEAD_SIZE));
                if (!type.empty())
                    WriteResource(outputDirectory, Format("CRES_Image%lld.%s", number, type.c_str()), number,
                                  data + CRES_HEAD_SIZE, record.size() - CRES_HEAD_SIZE, true);
            }
        } else if (StartsWithMagic(record, "kind")) {
            if (boundaryMark != 0)
                WriteResource(outputDirectory, Format("embed%lld.bin", number), number, data, record.size(),
                              false);
        } else if (StartsWithMagic(record, "FONT")) {
            if (record.size() >= FONT_HEAD_SIZE)
                WriteResource(outputDirectory, Format("FONT%05lld.ttf", number), number, data, record.size(),
                              false);
        } else if (StartsWithMagic(record, "AUDI") || StartsWithMagic(record, "VIDE")) {
            bool audio = record[0] == 'A';
            if (record.size() >= MEDIA_HEAD_SIZE && CByteReader(record).U32At(4) == MEDIA_HEAD_SIZE)
                WriteResource(outputDirectory, Format(audio ? "AUDI%05lld.mp3" : "VIDE%05lld.mp4", number),
                              number, data + MEDIA_HEAD_SIZE, record.size() - MEDIA_HEAD_SIZE, true);
        } else if (!IsNonImageMagic(record)) {
            std::string type = ImageTypeOf(record);
            if (!type.empty())
                WriteResource(outputDirectory, Format("Image%05lld.%s", number, type.c_str()), number, data,
                              record.size(), true);
        }
    }
    m_RecordsToUnpack.erase(m_RecordsToUnpack.begin(),
                            m_RecordsToUnpack.begin() + static_cast<std::ptrdiff_t>(handled));
    return result;
}

ResultCode CMobiHeader::GetCoverImage(const std::string& path)
{
    int64_t offset = m_CoverOffset != -1 ? m_CoverOffset : m_ThumbOffset;
    if (offset == -1 || m_FirstResourceRecord < 0) return RC_OK;
    int64_t rec = m_FirstResourceRecord + offset;
    if (rec + 1 > int64_t(m_LastRecord)) return RC_OK;
    std::string record;
    ResultCode rc = m_Db->ReadRecord(static_cast<uint32_t>(rec), record);
    if (rc != RC_OK) return rc;
    if (IsNonImageMagic(record)) {
        TARVO_LOG(m_Log, LOG_ERROR, "cover record %lld is not an image", static_cast<long long>(rec));
        return RC_MOBI_COVER_NOT_IMAGE;
    }
    rc = WriteWholeFile(path, record);
    if (rc != RC_OK) return rc;
    std::string type = ImageTypeOf(record);
    if (!type.empty()) m_Book.m_MetaData["coverimageext"] = {type};
    return RC_OK;
}

// ---- indexes ------------------------------------------------------------------------------------

ResultCode CMobiHeader::GetIndexRecord()
{
    if (m_Db == nullptr) return RC_FILE_READ_FAILED;
    const MobiHeaderFields& f = m_Fields;
    auto wanted = [](uint32_t record) { return static_cast<int32_t>(record) > 0; };
    if (HeaderHolds(f.m_HeaderLength, RECORD0_NCX_INDEX) && wanted(f.m_Ncx)) {
        ResultCode rc = m_NcxIndex.Read(*m_Db, m_BaseRecord, f.m_Ncx);
        if (rc != RC_OK) return rc;
        MakeNavPoints();
    }
    if (!m_IsKf8) return RC_OK;
    if (HeaderHolds(f.m_HeaderLength, RECORD0_FRAGMENT_INDEX) && wanted(f.m_Chunk)) {
        ResultCode rc = m_ChunkIndex.Read(*m_Db, m_BaseRecord, f.m_Chunk);
        if (rc != RC_OK) return rc;
    }
    if (HeaderHolds(f.m_HeaderLength, RECORD0_SKELETON_INDEX) && wanted(f.m_Skel)) {
        ResultCode rc = m_SkelIndex.Read(*m_Db, m_BaseRecord, f.m_Skel);
        if (rc != RC_OK) return rc;
    }
    if (HeaderHolds(f.m_HeaderLength, RECORD0_GUIDE_INDEX) && wanted(f.m_Guide)) {
        ResultCode rc = m_GuideIndex.Read(*m_Db, m_BaseRecord, f.m_Guide);
        if (rc != RC_OK) return rc;
        MakeGuideItems();
    }
    return RC_OK;
}

void CMobiHeader::MakeNavPoints()
{
    m_Book.m_NavPoints.clear();
    for (size_t i = 0; i < m_NcxIndex.m_Entries.size(); ++i) {
        const NcxEntry& e = m_NcxIndex.m_Entries[i];
        if (!e.m_HasLabel) continue;
        NavPoint np;
        // Parent and child links count index entries, labelled or not; the text readers renumber
        // them once they know which entries survive.
        np.m_OwnIndex = static_cast<int32_t>(i);
        np.m_PlayOrder = e.m_Key;
        np.m_Label = e.m_Label;
        np.m_Depth = e.m_Depth;
        np.m_FirstChild = e.m_FirstChild;
        np.m_LastChild = e.m_LastChild;
        np.m_Parent = e.m_Parent;
        np.m_TextOffset = e.m_TextOffset;
        np.m_FragmentNumber = e.m_FragmentNumber;
        np.m_FragmentOffset = e.m_FragmentOffset;
        m_Book.m_NavPoints.push_back(std::move(np));
    }
}

void CMobiHeader::MakeGuideItems()
{
    m_Book.m_GuideItems.clear();
    for (const GuideEntry& e : m_GuideIndex.m_Entries) {
        if (!e.m_HasTitle) continue;
        GuideItem item;
        item.m_Type = e.m_Type;
        item.m_Title = e.m_Title;
        item.m_FragmentNumber = static_cast<int32_t>(e.m_FragmentNumber);
        item.m_FragmentOffset = static_cast<int32_t>(e.m_Offset);
        m_Book.m_GuideItems.push_back(std::move(item));
    }
}

ResultCode OpenMobiParts(const CPalmDb& db, CMobiHeader& first, CMobiHeader& kf8, bool& joint, CRunLog* log)
{
    joint = false;
    ResultCode rc = first.Init(db, 0, log);
    if (rc != RC_OK) return rc;
    int64_t boundary = first.FindKf8Boundary();
    if (boundary > 0) {
        rc = kf8.Init(db, static_cast<uint32_t>(boundary), log);
        if (rc != RC_OK) return rc;
        joint = true;
    }
    return db.CheckEofRecord();
}
