// PalmDB header and record list checks; every record read is bounded by the file's real size.
#include "mobi/PalmDb.h"

#include "base/Files.h"
#include "base/RunLog.h"
#include "mobi/ByteIO.h"

#include <algorithm>

const char EOF_RECORD_MAGIC[4] = {'\xE9', '\x8E', '\x0D', '\x0A'};

ResultCode CPalmDb::Open(CFile& file, CRunLog* log)
{
    m_File = &file;
    m_Memory = nullptr;
    m_Log = log;
    if (file.Size(m_FileSize) != RC_OK) return RC_FILE_READ_FAILED;
    return ParseHeader();
}

ResultCode CPalmDb::OpenMemory(const std::string& bytes, CRunLog* log)
{
    m_File = nullptr;
    m_Memory = &bytes;
    m_Log = log;
    m_FileSize = bytes.size();
    return ParseHeader();
}

ResultCode CPalmDb::ReadAt(uint64_t offset, size_t count, std::string& bytes) const
{
    bytes.clear();
    if (offset > m_FileSize || count > m_FileSize - offset) return RC_FILE_READ_FAILED;
    if (m_Memory != nullptr) {
        bytes.assign(*m_Memory, static_cast<size_t>(offset), count);
        return RC_OK;
    }
    if (m_File == nullptr) return RC_FILE_READ_FAILED;
    bytes.resize(count);
    size_t got = count;
    ResultCode rc = m_File->ReadAt(bytes.data(), offset, got);
    if (rc != RC_OK) {
        bytes.clear();
        return rc;
    }
    if (got != count) {
        bytes.clear();
        return RC_FILE_READ_FAILED;
    }
    return RC_OK;
}

ResultCode CPalmDb::ParseHeader()
{
    m_Offsets.clear();
    m_Name.clear();
    std::string head;
    size_t first = static_cast<size_t>(std::min<uint64_t>(m_FileSize, PALMDB_FIRST_READ));
    if (ReadAt(0, first, head) != RC_OK) return RC_FILE_READ_FAILED;
    if (head.size() < PALMDB_MINIMUM_SIZE) {
        TARVO_LOG(m_Log, LOG_ERROR, "PalmDB header needs %zu bytes, file has %zu", PALMDB_MINIMUM_SIZE,
                  head.size());
        return RC_MOBI_PALMDB_MAGIC;
    }
    CByteReader reader(head);
    if (!reader.Equals(60, "BOOK", 4) || !reader.Equals(64, "MOBI", 4)) {
        if (reader.Equals(0, "TPZ", 3)) return RC_DRM_TOPAZ;
        TARVO_LOG(m_Log, LOG_ERROR, "PalmDB type/creator is not BOOKMOBI");
        return RC_MOBI_PALMDB_MAGIC;
    }
    uint32_t count = reader.U16At(76);
    uint32_t firstOffset = reader.U32At(78);
    if (count == 0 || firstOffset < 8 * count + 80) {
        TARVO_LOG(m_Log, LOG_ERROR, "record list of %u records overlaps the first record at 0x%x", count,
                  firstOffset);
        return RC_MOBI_PALMDB_MAGIC;
    }
    size_t listEnd = PALMDB_HEADER_SIZE + 8 * size_t(count);
    if (listEnd > head.size()) {
        // The list runs past the first read: fetch the rest of the header up to the list's end.
        std::string rest;
        if (ReadAt(head.size(), listEnd - head.size(), rest) != RC_OK) return RC_FILE_READ_FAILED;
        head += rest;
    }
    CByteReader list(head);
    size_t nameLength = 0;
    while (nameLength < 32 && head[nameLength] != '\0')
        ++nameLength;
    m_Name.assign(head, 0, nameLength);
    m_Offsets.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        m_Offsets[i] = list.U32At(PALMDB_HEADER_SIZE + 8 * size_t(i));
    return list.Failed() ? RC_FILE_READ_FAILED : RC_OK;
}

ResultCode CPalmDb::CheckEofRecord() const
{
    std::string tail;
    if (m_Offsets.empty() || ReadAt(m_Offsets.back(), 4, tail) != RC_OK ||
        tail.compare(0, 4, EOF_RECORD_MAGIC, 4) != 0) {
        TARVO_LOG(m_Log, LOG_ERROR, "record %zu is not the end-of-file record", m_Offsets.size() - 1);
        return RC_MOBI_EOF_RECORD;
    }
    return RC_OK;
}

size_t CPalmDb::RecordSize(uint32_t record) const
{
    if (record >= m_Offsets.size()) return 0;
    uint64_t start = m_Offsets[record];
    if (start >= m_FileSize) return 0;
    uint64_t end = record + 1 < m_Offsets.size() ? m_Offsets[record + 1] : start + 4;
    if (end <= start) return 0;
    return static_cast<size_t>(std::min(end, m_FileSize) - start);
}

ResultCode CPalmDb::ReadRecord(uint32_t record, std::string& bytes) const
{
    bytes.clear();
    if (record >= m_Offsets.size()) return RC_FILE_READ_FAILED;
    uint64_t start = m_Offsets[record];
    uint64_t end = record + 1 < m_Offsets.size() ? m_Offsets[record + 1] : start + 4;
    if (end <= start) return RC_OK;
    if (end > m_FileSize) {
        TARVO_LOG(m_Log, LOG_ERROR, "record %u (0x%llx-0x%llx) runs past the file end 0x%llx", record,
                  static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
                  static_cast<unsigned long long>(m_FileSize));
        return RC_FILE_READ_FAILED;
    }
    return ReadAt(start, static_cast<size_t>(end - start), bytes);
}

ResultCode CPalmDb::ReadRecordHead(uint32_t record, size_t count, std::string& bytes) const
{
    bytes.clear();
    if (record >= m_Offsets.size()) return RC_FILE_READ_FAILED;
    return ReadAt(m_Offsets[record], std::min(count, RecordSize(record)), bytes);
}
