// The PalmDB container of every Kindle file: header checks, record list and bounded record reads,
// over an open file or over bytes held in memory.
#pragma once

#include "base/ResultCode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CFile;
class CRunLog;

constexpr size_t PALMDB_HEADER_SIZE = 78;
constexpr size_t PALMDB_FIRST_READ = 12288;
constexpr size_t PALMDB_MINIMUM_SIZE = 86;
extern const char EOF_RECORD_MAGIC[4];

class CPalmDb
{
  public:
    // The file stays owned by the caller and must stay open while records are read.
    ResultCode Open(CFile& file, CRunLog* log = nullptr);
    // The bytes stay owned by the caller.
    ResultCode OpenMemory(const std::string& bytes, CRunLog* log = nullptr);
    // The last record must be the end-of-file record.
    ResultCode CheckEofRecord() const;

    uint32_t RecordCount() const { return static_cast<uint32_t>(m_Offsets.size()); }
    uint32_t RecordOffset(uint32_t record) const { return record < m_Offsets.size() ? m_Offsets[record] : 0; }
    // Bytes of record i as far as the file holds them; the last record counts 4 bytes, and a record
    // whose next offset is not above its own is empty.
    size_t RecordSize(uint32_t record) const;
    // The whole record (the last one as its 4 bytes). A record the file cannot hold whole is a read failure.
    ResultCode ReadRecord(uint32_t record, std::string& bytes) const;
    // At most count bytes from the start of the record.
    ResultCode ReadRecordHead(uint32_t record, size_t count, std::string& bytes) const;
    // The 32-byte database name up to its first NUL.
    const std::string& Name() const { return m_Name; }
    uint64_t FileSize() const { return m_FileSize; }
    const std::vector<uint32_t>& Offsets() const { return m_Offsets; }

  private:
    ResultCode ParseHeader();
    ResultCode ReadAt(uint64_t offset, size_t count, std::string& bytes) const;

    CFile* m_File = nullptr;
    const std::string* m_Memory = nullptr;
    CRunLog* m_Log = nullptr;
    uint64_t m_FileSize = 0;
    std::string m_Name;
    std::vector<uint32_t> m_Offsets;
};
