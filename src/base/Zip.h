// ZIP archives for the EPUB and HTMLZ containers: listing (also of damaged archives), lazy entry
// loading, extraction into a working directory and whole-archive writing.
#pragma once

#include "base/Platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CRunLog;

struct ZipEntry {
    uint16_t m_Method = 0; // 0 stored; anything else is inflated
    std::string m_Name;
    uint16_t m_Date = 0; // MS-DOS date and time
    uint16_t m_Time = 0;
    std::string m_Data; // uncompressed bytes; empty until loaded
    uint32_t m_DataOffset = 0;
    int32_t m_CompressedSize = 0;   // below 1 means unknown
    int32_t m_UncompressedSize = 0; // below 1 means unknown
    uint32_t m_HeaderOffset = 0;    // only when listed from the central directory
};

// The most bytes one entry may inflate to; a larger entry is refused rather than cut.
constexpr size_t ZIP_MAX_ENTRY_SIZE = size_t(1) << 30;

class CZip : public CFile
{
  public:
    CZip() = default;
    ~CZip();

    // Lists the archive open in the handle; falls back to ScanLocalHeaders when the end record
    // cannot be found.
    ResultCode ReadDirectory();
    // Lists a damaged archive by walking its local headers from the start of the file.
    ResultCode ScanLocalHeaders();
    // The uncompressed bytes of the first entry whose name matches case-insensitively.
    ResultCode GetFileBuffer(const std::string& name, std::string& data);
    // Writes every entry under m_WorkingDirectory; names that would leave it are skipped. Data it
    // loads is not kept: a later GetFileBuffer or WriteArchive reads the still open archive again.
    ResultCode UnCompress();
    void AddFile(const std::string& name, const std::string& data);
    // With viaBackup the archive is built beside outputPath under a temporary name and moved over
    // it once complete (see CAtomicFile), else written in place; with stopAtUnreadable an entry
    // that cannot be loaded ends the archive there.
    ResultCode WriteArchive(const std::string& outputPath, std::vector<ZipEntry> entries,
                            bool stopAtUnreadable, bool viaBackup);
    // Rewrites the archive at path from the entries listed so far, "mimetype" first and stored,
    // and lists it again.
    ResultCode FixEpub(const std::string& path);
    void Close();

    std::vector<ZipEntry> m_Entries;
    std::string m_WorkingDirectory; // ends with a separator
    uint32_t m_ScanPosition = 0;
    uint32_t m_FileSize = 0;
    size_t m_MaxEntrySize = ZIP_MAX_ENTRY_SIZE;
    CRunLog* m_ZipLog = nullptr; // borrowed; nothing is logged without one

  private:
    ResultCode LoadEntry(ZipEntry& entry);
    ResultCode ReadExact(uint64_t offset, void* buffer, size_t count, ResultCode failure);
    void FixSizes(uint32_t directoryOffset);
    ResultCode ScanEntry(uint64_t& position);
};

// Raw deflate (no zlib header) at level 9 with a sync flush after every 16384 input bytes, into at
// most outSize bytes; outSize becomes the length produced. Returns the zlib code, Z_STREAM_END on
// success and Z_BUF_ERROR when the stream does not fit.
int DeflateRaw(const char* in, size_t size, char* out, size_t& outSize);
// Raw inflate of a whole stream into out, which grows as output arrives but never past limit bytes.
// Returns Z_STREAM_END on success, Z_MEM_ERROR when the output would pass the limit and
// Z_DATA_ERROR for damaged or cut-off data.
int InflateRaw(const char* in, size_t size, size_t limit, std::string& out);
