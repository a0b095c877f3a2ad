// ZIP archives for the EPUB and HTMLZ containers: listing (also of damaged archives), entries
// streamed to disk or read into memory within limits, and whole-archive writing.
#pragma once

#include "base/Files.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CRunLog;

struct ZipEntry {
    uint16_t m_Method = 0; // 0 stored; anything else is inflated
    uint16_t m_Flags = 0;  // general purpose bits as read; only the UTF-8 name bit is written again
    std::string m_Name;
    uint16_t m_Date = 0; // MS-DOS date and time
    uint16_t m_Time = 0;
    std::string m_Data;      // uncompressed bytes; empty until loaded; the packed stream once m_Packed
    bool m_Packed = false;   // set by PackEntry: m_Crc and m_UncompressedSize then describe m_Data's bytes
    uint16_t m_Version = 10; // needed to extract, once packed: 20 wherever deflating was tried
    uint32_t m_DataOffset = 0;
    int32_t m_CompressedSize = 0;   // below 1 means unknown
    int32_t m_UncompressedSize = 0; // below 1 means unknown
    uint32_t m_HeaderOffset = 0;    // only when listed from the central directory
    uint32_t m_Crc = 0;             // CRC-32 of the uncompressed bytes; 0 when not recorded
    // A file holding the entry's bytes, read (and deflated when m_Method asks for it) piece by
    // piece only as the archive is written, so that the file is never held in memory whole.
    std::string m_SourcePath;
};

// Limits no real book comes near. Over our fixtures and the EPUB manuals Debian ships, the largest
// entry is 277 KB and the highest compression ratio 12:1 (a package document); an EPUB 3 book's
// audio or video may still run to tens of MB, and long runs of identical markup pack far better
// than prose, hence the wide margins. Sizes are counted as the bytes come out, never taken from a
// header.
constexpr size_t ZIP_MAX_ENTRY_SIZE = size_t(256) << 20;
// Entries read into memory: the package document, the table of contents, a cover, sampled documents.
constexpr size_t ZIP_MAX_BUFFERED_SIZE = size_t(64) << 20;
constexpr size_t ZIP_MAX_RATIO = 100;
// Output below this is not judged by its ratio: a page of blanks packs 200:1 and costs nothing.
constexpr size_t ZIP_RATIO_FROM = size_t(1) << 20;

// Takes an entry's bytes piece by piece as they come out; a failure stops the stream.
using ZipSink = std::function<ResultCode(const char* data, size_t size)>;
// Hands out up to room bytes of packed input; got 0 means there is no more.
using ZipSource = std::function<ResultCode(char* buffer, size_t room, size_t& got)>;

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
    // The uncompressed bytes of the first entry whose name matches case-insensitively, at most
    // m_MaxBufferedSize of them. Data read from the archive is not kept in the entry.
    ResultCode GetFileBuffer(const std::string& name, std::string& data);
    // Streams every entry into a file under m_WorkingDirectory; names that would leave it are
    // skipped. The whole archive may inflate to at most m_MaxRatio times its size.
    ResultCode UnCompress();
    // At most size of the first uncompressed bytes of the first entry whose name matches
    // case-insensitively, inflating no further: enough to tell what a file is. The CRC-32 is not
    // checked, since the rest of the entry is never read.
    ResultCode GetFilePrefix(const std::string& name, size_t size, std::string& data);
    void AddFile(const std::string& name, const std::string& data);
    // With viaBackup the archive is built beside outputPath under a temporary name and moved over
    // it once complete (see CAtomicFile), else written in place; with stopAtUnreadable an entry
    // that cannot be loaded ends the archive there. A folder entry precedes the first entry inside
    // each folder. Entries still in the open archive are checked and copied as they are packed;
    // an entry whose source file is missing or empty is left out.
    ResultCode WriteArchive(const std::string& outputPath, std::vector<ZipEntry> entries,
                            bool stopAtUnreadable, bool viaBackup);
    // Writes the listed entries over path as an EPUB container, through a temporary file moved
    // into place: "mimetype" first and stored, no folder entries, entries of the open archive
    // copied as they are packed, entries given by AddFile deflated.
    ResultCode RewriteEpub(const std::string& path);
    // Rewrites the archive at path from the entries listed so far, "mimetype" first and stored,
    // and lists it again.
    ResultCode FixEpub(const std::string& path);
    void Close();

    std::vector<ZipEntry> m_Entries;
    std::string m_WorkingDirectory; // ends with a separator
    uint32_t m_ScanPosition = 0;
    uint32_t m_FileSize = 0;
    size_t m_MaxEntrySize = ZIP_MAX_ENTRY_SIZE;
    size_t m_MaxBufferedSize = ZIP_MAX_BUFFERED_SIZE;
    size_t m_MaxRatio = ZIP_MAX_RATIO; // 0 turns the ratio check off
    CRunLog* m_ZipLog = nullptr;       // borrowed; nothing is logged without one

  private:
    // What streaming an entry found: the CRC-32 and size of its output, and how many bytes of the
    // archive its packed form really takes.
    struct StreamedEntry {
        uint32_t m_Crc = 0;
        uint64_t m_Size = 0;
        uint64_t m_PackedSize = 0;
    };
    // Inflates (or copies) the entry from the archive into sink in bounded pieces, stopping once
    // more than limit bytes came out; the CRC-32 is checked at the end where one was recorded.
    ResultCode StreamEntry(const ZipEntry& entry, size_t limit, const ZipSink& sink, StreamedEntry& out);
    // Hands out the count bytes of the archive at offset in turn.
    ZipSource ArchiveSource(uint64_t offset, uint64_t count);
    ResultCode CopyArchiveBytes(uint64_t offset, uint64_t count, const ZipSink& sink);
    ResultCode LoadEntry(const ZipEntry& entry, std::string& data);
    ResultCode ReadExact(uint64_t offset, void* buffer, size_t count, ResultCode failure);

    ResultCode FindEndBehindComment(uint64_t size, unsigned char* end, bool& walk);
    ResultCode ReadListedEntry(const unsigned char* rec, uint32_t headerOffset, uint64_t size,
                               ZipEntry& entry);
    void FixSizes(uint32_t directoryOffset);
    ResultCode ScanEntry(uint64_t& position);
    ResultCode SizesAfterData(uint64_t dataStart, uint32_t& crc, uint32_t& compressed, uint32_t& uncompressed,
                              uint64_t& position);
    // What follows an entry whose sizes come after its data.
    enum class DataEnd { Nothing, DescriptorSigned, DescriptorBare, NextHeader };
    DataEnd FindDataEnd(uint64_t dataStart, bool allUnknown, uint64_t& match);

    struct WriteState;
    ResultCode WriteEntries(const std::string& outputPath, std::vector<ZipEntry> list, bool stopAtUnreadable,
                            bool viaBackup);
    ResultCode WriteEntry(ZipEntry& entry, WriteState& state, bool stopAtUnreadable, bool& stop);
};

// Packs an entry's bytes as WriteArchive would (deflated when m_Method asks for it and the stream
// fits, else stored), so that packing can be done apart from writing, in another process even.
void PackEntry(ZipEntry& entry);
// Raw deflate (no zlib header) at level 9 with a sync flush after every 16384 input bytes, into at
// most outSize bytes; outSize becomes the length produced. Returns the zlib code, Z_STREAM_END on
// success and Z_BUF_ERROR when the stream does not fit.
int DeflateRaw(const char* in, size_t size, char* out, size_t& outSize);
