// ZIP reading (central directory or a walk over the local headers), extraction and writing.
#include "base/Zip.h"

#include "base/Href.h"
#include "base/RunLog.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <unordered_set>

namespace
{

constexpr uint32_t SIG_LOCAL = 0x04034B50;
constexpr uint32_t SIG_CENTRAL = 0x02014B50;
constexpr uint32_t SIG_END = 0x06054B50;
constexpr uint32_t SIG_DESCRIPTOR = 0x08074B50;
constexpr size_t LOCAL_HEADER_SIZE = 30;
constexpr size_t CENTRAL_RECORD_SIZE = 46;
constexpr size_t END_RECORD_SIZE = 22;
constexpr uint32_t UNKNOWN_SIZE = 0xFFFFFFFF;
// The end record is looked for only in this many bytes at the end of the file.
constexpr size_t END_SEARCH_WINDOW = 0x10011;
constexpr size_t SEARCH_BLOCK = 32768;
constexpr size_t DEFLATE_PIECE = 16384;
// Entries are read, inflated and written in pieces of this size, so memory stays small whatever an
// entry's size.
constexpr size_t STREAM_PIECE = 65536;
constexpr uint16_t FLAG_DESCRIPTOR = 0x0008;
constexpr uint16_t FLAG_UTF8_NAME = 0x0800;
const char MIMETYPE_NAME[] = "mimetype";
const char EPUB_MIMETYPE[] = "application/epub+zip";

uint16_t Get16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Get32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Put16(std::string& out, uint16_t v)
{
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
}

void Put32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Writers of some archives put "?" where a name had an unmappable character, and relative prefixes
// that mean nothing inside an archive.
void CleanName(std::string& name)
{
    std::replace(name.begin(), name.end(), '?', '_');
    size_t skip = 0;
    for (;;) {
        if (name.compare(skip, 2, "./") == 0)
            skip += 2;
        else if (name.compare(skip, 3, "../") == 0)
            skip += 3;
        else
            break;
    }
    name.erase(0, skip);
}

// The values of Crc32 from the platform layer, through zlib's faster tables.
uint32_t ZipCrc(const std::string& data)
{
    uLong crc = crc32(0, Z_NULL, 0);
    for (size_t at = 0; at < data.size();) {
        const uInt piece = static_cast<uInt>(std::min<size_t>(data.size() - at, 1u << 30));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + at), piece);
        at += piece;
    }
    return static_cast<uint32_t>(crc);
}

bool KeepsName(const std::string& name)
{
    return !name.empty() && name.back() != '/';
}

enum class InflateEnd { Complete, TooLarge, TooDense, Damaged, SourceFailed, SinkFailed };

// Hands out up to room bytes of packed input; got 0 means there is no more.
using ZipSource = std::function<ResultCode(char* buffer, size_t room, size_t& got)>;

// Pulls a raw deflate stream from source and gives its output to sink in pieces of at most
// STREAM_PIECE bytes, never more than limit bytes in all. With maxRatio set, output past
// ZIP_RATIO_FROM bytes may be at most maxRatio times the input taken so far. consumed is the
// length of the packed stream, which may end before the input does.
InflateEnd InflateStream(const ZipSource& source, const ZipSink& sink, uint64_t limit, size_t maxRatio,
                         uint64_t& produced, uint64_t& consumed)
{
    produced = consumed = 0;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return InflateEnd::Damaged;
    // Left uninitialised: clearing two pieces for every entry costs more than inflating a small one.
    std::unique_ptr<char[]> in(new char[STREAM_PIECE]), out(new char[STREAM_PIECE]);
    bool inputLeft = true;
    InflateEnd end = InflateEnd::Damaged;
    for (;;) {
        if (z.avail_in == 0 && inputLeft) {
            size_t got = 0;
            if (source(in.get(), STREAM_PIECE, got) != RC_OK) {
                end = InflateEnd::SourceFailed;
                break;
            }
            inputLeft = got > 0;
            z.next_in = reinterpret_cast<Bytef*>(in.get());
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = reinterpret_cast<Bytef*>(out.get());
        z.avail_out = static_cast<uInt>(STREAM_PIECE);
        const int rc = inflate(&z, Z_NO_FLUSH);
        const size_t piece = STREAM_PIECE - z.avail_out;
        produced += piece;
        // Z_BUF_ERROR with no input left: the stream was cut off.
        if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && inputLeft)) break;
        if (produced > limit) {
            end = InflateEnd::TooLarge;
            break;
        }
        if (maxRatio > 0 && produced > ZIP_RATIO_FROM && produced / maxRatio > z.total_in) {
            end = InflateEnd::TooDense;
            break;
        }
        if (piece > 0 && sink(out.get(), piece) != RC_OK) {
            end = InflateEnd::SinkFailed;
            break;
        }
        if (rc == Z_STREAM_END) {
            end = InflateEnd::Complete;
            break;
        }
    }
    consumed = z.total_in;
    inflateEnd(&z);
    return end;
}

// Raw deflate (no zlib header) at level 9 of the size bytes source hands out, with a sync flush
// after every DEFLATE_PIECE input bytes; the packed stream goes to sink in pieces of at most
// STREAM_PIECE bytes. Returns Z_STREAM_END on success, Z_ERRNO when source or sink failed (or
// source ran short), else zlib's code.
int DeflateStream(uint64_t size, const ZipSource& source, const ZipSink& sink)
{
    z_stream z{};
    int rc = deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) return rc;
    std::unique_ptr<char[]> in(new char[DEFLATE_PIECE]), out(new char[STREAM_PIECE]);
    uint64_t fed = 0;
    do {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - fed, DEFLATE_PIECE));
        size_t got = 0;
        if (piece > 0 && (source(in.get(), piece, got) != RC_OK || got != piece)) {
            rc = Z_ERRNO;
            break;
        }
        fed += piece;
        z.next_in = reinterpret_cast<Bytef*>(in.get());
        z.avail_in = static_cast<uInt>(piece);
        // Flushing after each piece keeps every DEFLATE_PIECE input bytes decodable on their own.
        const int flush = fed == size ? Z_FINISH : Z_SYNC_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.get());
            z.avail_out = static_cast<uInt>(STREAM_PIECE);
            rc = deflate(&z, flush);
            const size_t made = STREAM_PIECE - z.avail_out;
            if (made > 0 && sink(out.get(), made) != RC_OK) rc = Z_ERRNO;
        } while (rc == Z_OK && z.avail_out == 0);
    } while (rc == Z_OK);
    deflateEnd(&z);
    return rc;
}

// Hands a buffer's bytes to the stream loops piece by piece.
ZipSource MemorySource(const char* in, size_t size)
{
    return [in, size, taken = size_t(0)](char* buffer, size_t room, size_t& got) mutable {
        got = std::min(room, size - taken);
        if (got > 0) std::memcpy(buffer, in + taken, got);
        taken += got;
        return RC_OK;
    };
}

} // namespace

int InflateRaw(const char* in, size_t size, size_t limit, std::string& out)
{
    out.clear();
    const ZipSource source = MemorySource(in, size);
    auto sink = [&](const char* data, size_t piece) {
        out.append(data, piece);
        return RC_OK;
    };
    uint64_t produced = 0, consumed = 0;
    const InflateEnd end = InflateStream(source, sink, limit, 0, produced, consumed);
    if (end != InflateEnd::Complete) out.clear();
    if (end == InflateEnd::Complete) return Z_STREAM_END;
    return end == InflateEnd::TooLarge ? Z_MEM_ERROR : Z_DATA_ERROR;
}

int DeflateRaw(const char* in, size_t size, char* out, size_t& outSize)
{
    const size_t capacity = outSize;
    outSize = 0;
    bool full = false;
    const ZipSource source = MemorySource(in, size);
    auto sink = [&](const char* data, size_t piece) {
        full = piece > capacity - outSize;
        if (full) return RC_FILE_WRITE_FAILED;
        std::memcpy(out + outSize, data, piece);
        outSize += piece;
        return RC_OK;
    };
    const int rc = DeflateStream(size, source, sink);
    return full ? Z_BUF_ERROR : rc;
}

CZip::~CZip()
{
    Close();
}

void CZip::Close()
{
    CFile::Close();
    m_WorkingDirectory.clear();
    m_Entries.clear();
    m_ScanPosition = 0;
    m_FileSize = 0;
}

ResultCode CZip::ReadExact(uint64_t offset, void* buffer, size_t count, ResultCode failure)
{
    size_t got = count;
    if (ReadAt(buffer, offset, got) != RC_OK || got != count) return failure;
    return RC_OK;
}

ResultCode CZip::ReadDirectory()
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "ReadDirectory IN");
    uint64_t size = 0;
    if (Size(size) != RC_OK) return RC_FILE_OPEN_FAILED;
    if (size > UINT32_MAX) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "archive of %llu bytes is past the 4 GiB a ZIP offset can address",
                  static_cast<unsigned long long>(size));
        return RC_ZIP_MAGIC;
    }
    m_FileSize = static_cast<uint32_t>(size);
    unsigned char magic[2];
    if (ReadExact(0, magic, 2, RC_ZIP_MAGIC) != RC_OK || magic[0] != 'P' || magic[1] != 'K') {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "no \"PK\" at the start of the archive");
        return RC_ZIP_MAGIC;
    }
    unsigned char end[END_RECORD_SIZE];
    if (size < END_RECORD_SIZE ||
        ReadExact(size - END_RECORD_SIZE, end, END_RECORD_SIZE, RC_ZIP_MAGIC) != RC_OK)
        return RC_ZIP_MAGIC;
    m_Entries.clear();

    if (Get32(end) != SIG_END) {
        // A comment follows the end record: take the first end signature in the window that leaves
        // room for a whole record.
        size_t window = static_cast<size_t>(std::min<uint64_t>(size, END_SEARCH_WINDOW));
        std::string tail(window, '\0');
        if (ReadExact(size - window, &tail[0], window, RC_ZIP_MAGIC) != RC_OK) return RC_ZIP_MAGIC;
        size_t at = tail.find(std::string("PK\x05\x06", 4));
        if (at == std::string::npos || at + END_RECORD_SIZE > window) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "no end record, walking the local headers");
            return ScanLocalHeaders();
        }
        std::memcpy(end, tail.data() + at, END_RECORD_SIZE);
    }

    const uint32_t dirSize = Get32(end + 12);
    const uint32_t dirOffset = Get32(end + 16);
    if (dirOffset > size) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "central directory offset 0x%x is past the end 0x%x", dirOffset,
                  m_FileSize);
        return RC_FILE_SEEK_FAILED;
    }
    if (dirSize == 0) return RC_ZIP_MAGIC;
    if (dirSize > size - dirOffset) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "central directory of 0x%x bytes at 0x%x passes the end 0x%x", dirSize,
                  dirOffset, m_FileSize);
        return RC_FILE_READ_FAILED;
    }
    std::string dir(dirSize, '\0');
    if (ReadExact(dirOffset, &dir[0], dirSize, RC_FILE_READ_FAILED) != RC_OK) return RC_FILE_READ_FAILED;
    const auto* bytes = reinterpret_cast<const unsigned char*>(dir.data());

    ResultCode rc = RC_OK;
    std::unordered_set<uint32_t> headersSeen;
    for (size_t pos = 0; pos < dirSize && rc == RC_OK;) {
        const unsigned char* rec = bytes + pos;
        if (dirSize - pos < CENTRAL_RECORD_SIZE || Get32(rec) != SIG_CENTRAL) {
            TARVO_LOG(m_ZipLog, LOG_ERROR, "no central record at 0x%zx", dirOffset + pos);
            rc = RC_ZIP_DIR_RECORD;
            break;
        }
        const uint32_t headerOffset = Get32(rec + 42);
        const size_t recordSize = CENTRAL_RECORD_SIZE + Get16(rec + 28) + Get16(rec + 30) + Get16(rec + 32);
        // Records that share one local header make a small archive extract its data many times over.
        if (!headersSeen.insert(headerOffset).second) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "second record for the local header at 0x%x skipped",
                      headerOffset);
            pos += recordSize;
            continue;
        }
        unsigned char local[LOCAL_HEADER_SIZE];
        if (headerOffset > size) {
            rc = RC_FILE_SEEK_FAILED;
        } else if (ReadExact(headerOffset, local, LOCAL_HEADER_SIZE, RC_FILE_READ_FAILED) != RC_OK) {
            rc = RC_FILE_READ_FAILED;
        } else if (Get32(local) != SIG_LOCAL) {
            rc = RC_ZIP_MAGIC;
        }
        if (rc != RC_OK) {
            TARVO_LOG(m_ZipLog, LOG_ERROR, "no local header at 0x%x", headerOffset);
            break;
        }
        ZipEntry entry;
        const uint16_t nameLength = Get16(local + 26);
        entry.m_Name.assign(nameLength, '\0');
        if (ReadExact(uint64_t(headerOffset) + LOCAL_HEADER_SIZE, &entry.m_Name[0], nameLength,
                      RC_FILE_READ_FAILED) != RC_OK) {
            rc = RC_FILE_READ_FAILED;
            break;
        }
        CleanName(entry.m_Name);
        entry.m_Method = Get16(local + 8);
        entry.m_Time = Get16(local + 10);
        entry.m_Date = Get16(local + 12);
        uint64_t dataOffset = uint64_t(headerOffset) + LOCAL_HEADER_SIZE + nameLength + Get16(local + 28);
        entry.m_DataOffset = static_cast<uint32_t>(std::min<uint64_t>(dataOffset, size));
        entry.m_CompressedSize = static_cast<int32_t>(Get32(rec + 20));
        entry.m_UncompressedSize = static_cast<int32_t>(Get32(rec + 24));
        entry.m_HeaderOffset = headerOffset;
        entry.m_Flags = Get16(rec + 8);
        entry.m_Crc = Get32(rec + 16);
        m_Entries.push_back(std::move(entry));
        pos += recordSize;
    }
    // Also after a failure: the entries found so far are what FixEpub writes out.
    FixSizes(dirOffset);
    TARVO_LOG(m_ZipLog, LOG_INFO, "ReadDirectory OUT, %zu entries", m_Entries.size());
    return rc;
}

// Sizes in the central directory may be missing or wrong; the next local header in the file bounds
// each entry's data. That also cuts an entry whose data would take in the entries after it.
void CZip::FixSizes(uint32_t directoryOffset)
{
    std::vector<uint32_t> headers;
    headers.reserve(m_Entries.size());
    for (const ZipEntry& e : m_Entries)
        headers.push_back(e.m_HeaderOffset);
    std::sort(headers.begin(), headers.end());
    for (ZipEntry& e : m_Entries) {
        // Both sizes 0 is an empty file; the bytes up to the next header are its data descriptor.
        if (e.m_CompressedSize == 0 && e.m_UncompressedSize == 0) continue;
        auto next = std::upper_bound(headers.begin(), headers.end(), e.m_HeaderOffset);
        const uint32_t limit = std::min(next != headers.end() ? *next : directoryOffset, m_FileSize);
        if (limit < e.m_DataOffset) {
            e.m_CompressedSize = 0;
            continue;
        }
        const uint32_t room = limit - e.m_DataOffset;
        if (e.m_CompressedSize < 1 || static_cast<uint32_t>(e.m_CompressedSize) > room)
            e.m_CompressedSize = static_cast<int32_t>(room);
    }
    m_Entries.erase(std::remove_if(m_Entries.begin(), m_Entries.end(),
                                   [](const ZipEntry& e) { return !KeepsName(e.m_Name); }),
                    m_Entries.end());
}

ResultCode CZip::ScanLocalHeaders()
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "ScanLocalHeaders IN");
    m_Entries.clear();
    m_ScanPosition = 0;
    uint64_t size = 0;
    if (Size(size) != RC_OK || size > UINT32_MAX) return RC_FILE_SEEK_FAILED;
    m_FileSize = static_cast<uint32_t>(size);
    uint64_t position = 0;
    for (;;) {
        unsigned char sig[4];
        if (ReadExact(position, sig, 4, RC_FILE_READ_FAILED) != RC_OK) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "walk ended without an end record at 0x%llx, %zu entries",
                      static_cast<unsigned long long>(position), m_Entries.size());
            return RC_FILE_READ_FAILED;
        }
        position += 4;
        ResultCode rc = RC_OK;
        switch (Get32(sig)) {
        case SIG_END:
            m_ScanPosition = static_cast<uint32_t>(position);
            TARVO_LOG(m_ZipLog, LOG_INFO, "ScanLocalHeaders OUT, %zu entries", m_Entries.size());
            return RC_OK;
        case SIG_CENTRAL: {
            unsigned char rec[42];
            if (ReadExact(position, rec, sizeof rec, RC_ZIP_DIR_RECORD) != RC_OK) return RC_ZIP_DIR_RECORD;
            uint64_t next = position + sizeof rec + Get16(rec + 24) + Get16(rec + 26) + Get16(rec + 28);
            if (next > size) return RC_ZIP_DIR_RECORD;
            position = next;
            break;
        }
        case SIG_DESCRIPTOR:
            if (position + 12 > size) return RC_ZIP_DESCRIPTION_RECORD;
            position += 12;
            break;
        case SIG_LOCAL:
            rc = ScanEntry(position);
            break;
        default:
            TARVO_LOG(m_ZipLog, LOG_ERROR, "unknown signature 0x%08x at 0x%llx", Get32(sig),
                      static_cast<unsigned long long>(position - 4));
            rc = RC_ZIP_MAGIC;
        }
        m_ScanPosition = static_cast<uint32_t>(std::min<uint64_t>(position, size));
        if (rc != RC_OK) return rc;
    }
}

// One local header at position (just after its signature); position ends after the entry's data.
ResultCode CZip::ScanEntry(uint64_t& position)
{
    const uint64_t size = m_FileSize;
    unsigned char h[26]; // the local header without its signature
    if (ReadExact(position, h, sizeof h, RC_FILE_READ_FAILED) != RC_OK) return RC_FILE_READ_FAILED;
    position += sizeof h;
    const uint16_t nameLength = Get16(h + 22);
    const uint16_t extraLength = Get16(h + 24);
    ZipEntry entry;
    entry.m_Name.assign(nameLength, '\0');
    if (ReadExact(position, &entry.m_Name[0], nameLength, RC_FILE_READ_FAILED) != RC_OK)
        return RC_FILE_READ_FAILED;
    CleanName(entry.m_Name);
    if (position + nameLength + extraLength > size) return RC_FILE_SEEK_FAILED;
    position += nameLength + extraLength;
    entry.m_Flags = Get16(h + 2);
    entry.m_Method = Get16(h + 4);
    entry.m_Time = Get16(h + 6);
    entry.m_Date = Get16(h + 8);
    // With a data descriptor the header's CRC-32 is a placeholder; the descriptor has the real one.
    if ((entry.m_Flags & FLAG_DESCRIPTOR) == 0) entry.m_Crc = Get32(h + 10);

    const uint64_t dataStart = position;
    const uint64_t remaining = size - dataStart;
    uint32_t compressed = Get32(h + 14);
    uint32_t uncompressed = Get32(h + 18);
    if (compressed != UNKNOWN_SIZE && compressed > remaining) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "entry at 0x%llx claims 0x%x bytes, 0x%llx remain",
                  static_cast<unsigned long long>(dataStart), compressed,
                  static_cast<unsigned long long>(remaining));
        return RC_ZIP_MAGIC;
    }
    auto add = [&](uint32_t packed, uint32_t unpacked) {
        if (!KeepsName(entry.m_Name)) return;
        entry.m_DataOffset = static_cast<uint32_t>(dataStart);
        entry.m_CompressedSize = static_cast<int32_t>(packed);
        entry.m_UncompressedSize = static_cast<int32_t>(unpacked);
        m_Entries.push_back(std::move(entry));
    };
    // A streamed writer may know the length of the input but not of its compressed form.
    if (uncompressed != 0 && uncompressed != UNKNOWN_SIZE && compressed != 0 && compressed != UNKNOWN_SIZE) {
        add(compressed, uncompressed);
        position += compressed;
        return RC_OK;
    }
    if (compressed != 0 && compressed != UNKNOWN_SIZE) {
        position += compressed;
        return RC_OK;
    }

    // Sizes follow the data (streamed writers): find where the data ends by the next signature.
    const bool allUnknown = compressed == UNKNOWN_SIZE && uncompressed == UNKNOWN_SIZE;
    enum { NOTHING, DESCRIPTOR_SIGNED, DESCRIPTOR_BARE, NEXT_HEADER } outcome = NOTHING;
    uint64_t match = 0;
    std::vector<unsigned char> block(SEARCH_BLOCK);
    for (uint64_t from = dataStart; outcome == NOTHING;) {
        size_t got = block.size();
        if (ReadAt(block.data(), from, got) != RC_OK || got < 4) break;
        for (size_t i = 0; i + 4 <= got; ++i) {
            if (block[i] != 'P' || block[i + 1] != 'K') continue;
            const unsigned char a = block[i + 2], b = block[i + 3];
            const bool descriptor = a == 7 && b == 8;
            if (!descriptor && !(a == 3 && b == 4) && !(a == 1 && b == 2)) continue;
            match = from + i;
            if (descriptor)
                outcome = DESCRIPTOR_SIGNED;
            else if (!allUnknown && match > dataStart)
                outcome = DESCRIPTOR_BARE;
            else
                outcome = NEXT_HEADER;
            break;
        }
        // The last three bytes are searched again so a signature across two blocks is still seen.
        from += got - 3;
    }

    if (allUnknown) {
        if (outcome != NEXT_HEADER) return RC_ZIP_DESCRIPTION_CONTENT;
        compressed = static_cast<uint32_t>(match - dataStart);
        uncompressed = 0;
        entry.m_Crc = 0;
        position = match;
    } else if (outcome == NOTHING) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "no data descriptor after the entry at 0x%llx",
                  static_cast<unsigned long long>(dataStart));
        return RC_ZIP_DESCRIPTION_CONTENT;
    } else if (outcome == NEXT_HEADER) {
        compressed = uncompressed = 0;
        entry.m_Crc = 0;
        position = match;
    } else {
        const uint64_t at = outcome == DESCRIPTOR_SIGNED ? match + 4 : match - 12;
        unsigned char d[12]; // CRC-32, compressed size, uncompressed size
        if (ReadExact(at, d, sizeof d, RC_ZIP_DESCRIPTION_RECORD) != RC_OK) return RC_ZIP_DESCRIPTION_RECORD;
        entry.m_Crc = Get32(d);
        compressed = Get32(d + 4);
        uncompressed = Get32(d + 8);
        position = at + sizeof d;
    }
    if (compressed > remaining) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "descriptor at 0x%llx claims 0x%x bytes, 0x%llx remain",
                  static_cast<unsigned long long>(match), compressed,
                  static_cast<unsigned long long>(remaining));
        return RC_ZIP_MAGIC;
    }
    add(compressed, uncompressed);
    return RC_OK;
}

ResultCode CZip::CopyArchiveBytes(uint64_t offset, uint64_t count, const ZipSink& sink)
{
    std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(count, STREAM_PIECE)));
    while (count > 0) {
        size_t got = static_cast<size_t>(std::min<uint64_t>(count, piece.size()));
        if (ReadExact(offset, piece.data(), got, RC_ZIP_FILE_CONTENT) != RC_OK) return RC_ZIP_FILE_CONTENT;
        ResultCode rc = sink(piece.data(), got);
        if (rc != RC_OK) return rc;
        offset += got;
        count -= got;
    }
    return RC_OK;
}

ResultCode CZip::StreamEntry(const ZipEntry& entry, size_t limit, const ZipSink& sink, StreamedEntry& out)
{
    out = StreamedEntry();
    // Nothing stored means an empty file, whatever the method says.
    if (entry.m_CompressedSize <= 0) return RC_OK;
    const uint64_t packed = static_cast<uint32_t>(entry.m_CompressedSize);
    uint64_t size = 0;
    if (Size(size) != RC_OK || entry.m_DataOffset > size || packed > size - entry.m_DataOffset) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "\"%s\": 0x%llx bytes at 0x%x are not in the archive",
                  entry.m_Name.c_str(), static_cast<unsigned long long>(packed), entry.m_DataOffset);
        return RC_ZIP_FILE_CONTENT;
    }
    const uint64_t declared =
        entry.m_UncompressedSize > 0 ? static_cast<uint32_t>(entry.m_UncompressedSize) : 0;
    uLong crc = crc32(0, Z_NULL, 0);
    ResultCode sinkResult = RC_OK;
    auto checked = [&](const char* data, size_t piece) {
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(piece));
        sinkResult = sink(data, piece);
        return sinkResult;
    };

    ResultCode rc = RC_OK;
    if (entry.m_Method == 0) {
        const uint64_t length = declared > 0 ? std::min(declared, packed) : packed;
        if (length > limit) {
            TARVO_LOG(m_ZipLog, LOG_ERROR, "\"%s\" holds 0x%llx bytes, more than the limit of 0x%zx",
                      entry.m_Name.c_str(), static_cast<unsigned long long>(length), limit);
            return RC_ZIP_DESCRIPTION_CONTENT;
        }
        rc = CopyArchiveBytes(entry.m_DataOffset, length, checked);
        out.m_Size = out.m_PackedSize = length;
    } else {
        uint64_t at = entry.m_DataOffset, left = packed;
        auto source = [&](char* buffer, size_t room, size_t& got) {
            got = static_cast<size_t>(std::min<uint64_t>(room, left));
            if (got > 0 && ReadExact(at, buffer, got, RC_ZIP_FILE_CONTENT) != RC_OK)
                return RC_ZIP_FILE_CONTENT;
            at += got;
            left -= got;
            return RC_OK;
        };
        // A declared size below the limit bounds the output too: more means the entry is damaged.
        const bool declaredBound = declared > 0 && declared < limit;
        const uint64_t bound = declaredBound ? declared : limit;
        switch (InflateStream(source, checked, bound, m_MaxRatio, out.m_Size, out.m_PackedSize)) {
        case InflateEnd::Complete:
            break;
        case InflateEnd::TooLarge:
            TARVO_LOG(m_ZipLog, LOG_ERROR, "\"%s\" inflates past %s of 0x%llx bytes", entry.m_Name.c_str(),
                      declaredBound ? "its declared size" : "the limit",
                      static_cast<unsigned long long>(bound));
            return declaredBound ? RC_ZIP_FILE_CONTENT : RC_ZIP_DESCRIPTION_CONTENT;
        case InflateEnd::TooDense:
            TARVO_LOG(m_ZipLog, LOG_ERROR, "\"%s\" inflates to more than %zu times its 0x%llx packed bytes",
                      entry.m_Name.c_str(), m_MaxRatio, static_cast<unsigned long long>(packed));
            return RC_ZIP_DESCRIPTION_CONTENT;
        case InflateEnd::SinkFailed:
            return sinkResult;
        case InflateEnd::Damaged:
        case InflateEnd::SourceFailed:
            TARVO_LOG(m_ZipLog, LOG_ERROR, "\"%s\": damaged deflate data after 0x%llx bytes of output",
                      entry.m_Name.c_str(), static_cast<unsigned long long>(out.m_Size));
            return RC_ZIP_FILE_CONTENT;
        }
    }
    if (rc != RC_OK) return rc;
    out.m_Crc = static_cast<uint32_t>(crc);
    // Some writers leave the CRC-32 at 0; a recorded one must match.
    if (entry.m_Crc != 0 && declared > 0 && out.m_Crc != entry.m_Crc) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "\"%s\": CRC-32 0x%08x, the archive records 0x%08x",
                  entry.m_Name.c_str(), out.m_Crc, entry.m_Crc);
        return RC_ZIP_FILE_CONTENT;
    }
    return RC_OK;
}

ResultCode CZip::LoadEntry(const ZipEntry& entry, std::string& data)
{
    data.clear();
    if (!entry.m_Data.empty() || !KeepsName(entry.m_Name)) {
        data = entry.m_Data;
        return RC_OK;
    }
    StreamedEntry streamed;
    ResultCode rc = StreamEntry(
        entry, std::min(m_MaxEntrySize, m_MaxBufferedSize),
        [&data](const char* bytes, size_t piece) {
            data.append(bytes, piece);
            return RC_OK;
        },
        streamed);
    if (rc != RC_OK) data.clear();
    return rc;
}

ResultCode CZip::GetFileBuffer(const std::string& name, std::string& data)
{
    for (const ZipEntry& entry : m_Entries)
        if (EqualsNoCase(entry.m_Name, name)) return LoadEntry(entry, data);
    TARVO_LOG(m_ZipLog, LOG_ERROR, "no entry \"%s\"", name.c_str());
    return RC_ZIP_FILE_CONTENT;
}

ResultCode CZip::GetFilePrefix(const std::string& name, size_t size, std::string& data)
{
    data.clear();
    const ZipEntry* entry = nullptr;
    for (const ZipEntry& e : m_Entries)
        if (entry == nullptr && EqualsNoCase(e.m_Name, name)) entry = &e;
    if (entry == nullptr) return RC_ZIP_FILE_CONTENT;
    if (!entry->m_Data.empty() || !KeepsName(entry->m_Name)) {
        data = entry->m_Data.substr(0, size);
        return RC_OK;
    }
    if (entry->m_CompressedSize <= 0) return RC_OK;
    uint64_t fileSize = 0;
    uint64_t left = static_cast<uint32_t>(entry->m_CompressedSize);
    if (Size(fileSize) != RC_OK || entry->m_DataOffset > fileSize || left > fileSize - entry->m_DataOffset)
        return RC_ZIP_FILE_CONTENT;
    uint64_t at = entry->m_DataOffset;
    if (entry->m_Method == 0) {
        data.resize(static_cast<size_t>(std::min<uint64_t>(size, left)));
        return ReadExact(at, &data[0], data.size(), RC_ZIP_FILE_CONTENT);
    }
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return RC_ZIP_FILE_CONTENT;
    data.resize(size);
    z.next_out = reinterpret_cast<Bytef*>(&data[0]);
    z.avail_out = static_cast<uInt>(size);
    char in[4096];
    int rc = Z_OK;
    while (z.avail_out > 0 && rc == Z_OK) {
        if (z.avail_in == 0) {
            size_t got = static_cast<size_t>(std::min<uint64_t>(sizeof in, left));
            if (got == 0 || ReadExact(at, in, got, RC_ZIP_FILE_CONTENT) != RC_OK) {
                rc = Z_DATA_ERROR; // cut off before the prefix was complete
                break;
            }
            at += got;
            left -= got;
            z.next_in = reinterpret_cast<Bytef*>(in);
            z.avail_in = static_cast<uInt>(got);
        }
        rc = inflate(&z, Z_NO_FLUSH);
    }
    data.resize(size - z.avail_out);
    inflateEnd(&z);
    if (rc != Z_OK && rc != Z_STREAM_END) {
        data.clear();
        return RC_ZIP_FILE_CONTENT;
    }
    return RC_OK;
}

ResultCode CZip::UnCompress()
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "UnCompress IN");
    // Many small entries each under the ratio check must not add up to a bomb either.
    const uint64_t budget =
        m_MaxRatio > 0 ? std::max<uint64_t>(ZIP_RATIO_FROM, uint64_t(m_MaxRatio) * m_FileSize) : UINT64_MAX;
    uint64_t total = 0;
    ResultCode rc = RC_OK;
    std::unordered_set<std::string> madeDirectories;
    size_t kept = 0;
    size_t next = 0;
    for (; next < m_Entries.size(); ++next) {
        ZipEntry& entry = m_Entries[next];
        // Written under its resolved name, so no "a/../" ever passes through a folder on the disk.
        std::string inside;
        if (!ResolveInBook("", entry.m_Name, inside)) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "\"%s\" would leave the working directory, not extracted",
                      entry.m_Name.c_str());
        } else {
            const std::string path = m_WorkingDirectory + inside;
            CFile file;
            // The file is made with the first bytes, so an entry that turns out empty leaves none.
            auto write = [&](const char* data, size_t size) {
                const std::string folder = GetDirectory(inside);
                if (!file.IsOpen() && !folder.empty() && madeDirectories.insert(folder).second &&
                    MakePath(path, m_WorkingDirectory.size()) != RC_OK) {
                    TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot make the folders of \"%s\"", path.c_str());
                    return RC_DIR_MAKE_FAILED;
                }
                if ((!file.IsOpen() && file.Open(path, true, true) != RC_OK) ||
                    file.Write(data, size) != RC_OK) {
                    TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot write \"%s\"", path.c_str());
                    return RC_FILE_WRITE_FAILED;
                }
                return RC_OK;
            };
            StreamedEntry streamed;
            if (!entry.m_Data.empty())
                rc = write(entry.m_Data.data(), entry.m_Data.size());
            else if (KeepsName(entry.m_Name))
                rc = StreamEntry(entry, m_MaxEntrySize, write, streamed);
            total += streamed.m_Size;
            if (rc == RC_OK && total > budget) {
                TARVO_LOG(m_ZipLog, LOG_ERROR, "archive of 0x%x bytes inflates to more than 0x%llx",
                          m_FileSize, static_cast<unsigned long long>(budget));
                rc = RC_ZIP_DESCRIPTION_CONTENT;
            }
            const bool written = file.IsOpen();
            file.Close();
            if (rc != RC_OK) {
                if (written) DeleteFile(path);
                break;
            }
            if (!written) continue; // folders and empty files are dropped from the list
        }
        if (kept != next) m_Entries[kept] = std::move(entry);
        ++kept;
    }
    // Close the gap left by dropped entries, also when the run stopped early.
    for (; next < m_Entries.size(); ++next, ++kept)
        if (kept != next) m_Entries[kept] = std::move(m_Entries[next]);
    m_Entries.resize(kept);
    TARVO_LOG(m_ZipLog, LOG_INFO, "UnCompress OUT");
    return rc;
}

void CZip::AddFile(const std::string& name, const std::string& data)
{
    for (ZipEntry& entry : m_Entries) {
        if (EqualsNoCase(entry.m_Name, name)) {
            entry.m_Data = data;
            return;
        }
    }
    ZipEntry entry;
    entry.m_Method = 8;
    entry.m_Name = name;
    DosDateTime(entry.m_Date, entry.m_Time);
    entry.m_Data = data;
    m_Entries.push_back(std::move(entry));
}

namespace
{

// Every folder along an entry's name gets its own entry, placed before the first entry inside it.
std::vector<ZipEntry> WithDirectoryEntries(std::vector<ZipEntry>&& entries, uint16_t date, uint16_t time)
{
    std::vector<ZipEntry> out;
    out.reserve(entries.size() + entries.size() / 4 + 4);
    std::unordered_set<std::string> seen;
    for (ZipEntry& entry : entries) {
        const std::string& name = entry.m_Name;
        for (size_t i = 1; i < name.size(); ++i) {
            // An empty component ("a//b", "/abs") names no folder.
            if (!IsSeparator(name[i]) || IsSeparator(name[i - 1])) continue;
            std::string folder = name.substr(0, i) + "/";
            if (!seen.insert(folder).second) continue;
            ZipEntry dir;
            dir.m_Name = std::move(folder);
            dir.m_Date = date;
            dir.m_Time = time;
            out.push_back(std::move(dir));
        }
        out.push_back(std::move(entry));
    }
    return out;
}

// The fields a local header and its central record share.
struct RecordFields {
    uint16_t m_Version = 10;
    uint16_t m_Flags = 0;
    uint16_t m_Method = 0;
    uint32_t m_Crc = 0;
    uint32_t m_PackedSize = 0;
    uint32_t m_Size = 0;
};

void LocalHeader(std::string& out, const RecordFields& f, const ZipEntry& e)
{
    Put32(out, SIG_LOCAL);
    Put16(out, f.m_Version);
    Put16(out, f.m_Flags);
    Put16(out, f.m_Method);
    Put16(out, e.m_Time);
    Put16(out, e.m_Date);
    Put32(out, f.m_Crc);
    Put32(out, f.m_PackedSize);
    Put32(out, f.m_Size);
    Put16(out, static_cast<uint16_t>(e.m_Name.size()));
    Put16(out, 0);
    out += e.m_Name;
}

void CentralRecord(std::string& out, const RecordFields& f, const ZipEntry& e, uint32_t headerOffset)
{
    Put32(out, SIG_CENTRAL);
    Put16(out, 20);
    Put16(out, f.m_Version);
    Put16(out, f.m_Flags);
    Put16(out, f.m_Method);
    Put16(out, e.m_Time);
    Put16(out, e.m_Date);
    Put32(out, f.m_Crc);
    Put32(out, f.m_PackedSize);
    Put32(out, f.m_Size);
    Put16(out, static_cast<uint16_t>(e.m_Name.size()));
    Put16(out, 0); // extra field
    Put16(out, 0); // comment
    Put16(out, 0); // disk number
    Put16(out, 0); // internal attributes
    Put32(out, 0); // external attributes
    Put32(out, headerOffset);
    out += e.m_Name;
}

using ZipPatch = std::function<ResultCode(uint64_t offset, const char* data, size_t size)>;

// The local header and bytes of an entry held in a file, written at offset through write: the
// header first with its CRC-32 and sizes left zero, then the bytes as they are read (deflated for
// method 8), then the header's fields put right through patch. A file that is missing or empty is
// left out (kept stays false), as it always was when such files were read whole.
ResultCode WriteFileEntry(const ZipEntry& e, uint64_t offset, const ZipSink& write, const ZipPatch& patch,
                          CRunLog* log, RecordFields& f, bool& kept)
{
    kept = false;
    CFile file;
    uint64_t size = 0;
    if (file.Open(e.m_SourcePath, false, false) != RC_OK || file.Size(size) != RC_OK || size == 0) {
        TARVO_LOG(log, LOG_WARNING, "\"%s\": \"%s\" is missing, unreadable or empty; left out",
                  e.m_Name.c_str(), e.m_SourcePath.c_str());
        return RC_OK;
    }
    const uint64_t dataOffset = offset + LOCAL_HEADER_SIZE + e.m_Name.size();
    if (size > UINT32_MAX || dataOffset > UINT32_MAX) {
        TARVO_LOG(log, LOG_ERROR, "archive passes 4 GiB at \"%s\"", e.m_Name.c_str());
        return RC_FILE_WRITE_FAILED;
    }
    f.m_Method = e.m_Method == 0 ? 0 : 8;
    f.m_Version = f.m_Method == 0 ? 10 : 20;
    std::string header;
    LocalHeader(header, f, e);
    ResultCode rc = write(header.data(), header.size());
    if (rc != RC_OK) return rc;

    uLong crc = crc32(0, Z_NULL, 0);
    uint64_t read = 0, packed = 0;
    auto source = [&](char* buffer, size_t room, size_t& got) {
        got = static_cast<size_t>(std::min<uint64_t>(room, size - read));
        if (file.ReadAt(buffer, read, got) != RC_OK) return RC_FILE_READ_FAILED;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(got));
        read += got;
        return RC_OK;
    };
    auto counted = [&](const char* data, size_t piece) {
        packed += piece;
        if (dataOffset + packed > UINT32_MAX) {
            TARVO_LOG(log, LOG_ERROR, "archive passes 4 GiB at \"%s\"", e.m_Name.c_str());
            return RC_FILE_WRITE_FAILED;
        }
        return write(data, piece);
    };
    if (f.m_Method == 8) {
        if (DeflateStream(size, source, counted) != Z_STREAM_END) rc = RC_FILE_WRITE_FAILED;
    } else {
        std::unique_ptr<char[]> piece(new char[STREAM_PIECE]);
        while (rc == RC_OK && read < size) {
            size_t got = 0;
            rc = source(piece.get(), STREAM_PIECE, got);
            if (rc == RC_OK && got == 0) rc = RC_FILE_READ_FAILED; // the file shrank as it was read
            if (rc == RC_OK) rc = counted(piece.get(), got);
        }
    }
    if (rc != RC_OK) {
        TARVO_LOG(log, LOG_ERROR, "\"%s\" could not be packed from \"%s\"", e.m_Name.c_str(),
                  e.m_SourcePath.c_str());
        return rc;
    }
    f.m_Crc = static_cast<uint32_t>(crc);
    f.m_Size = static_cast<uint32_t>(size);
    f.m_PackedSize = static_cast<uint32_t>(packed);
    header.clear();
    LocalHeader(header, f, e);
    // The CRC-32 and both sizes, at byte 14 of the header.
    rc = patch(offset + 14, header.data() + 14, 12);
    kept = rc == RC_OK;
    return rc;
}

// Reading systems find an EPUB by a stored "mimetype" entry at the very start of the file.
std::vector<ZipEntry> MimetypeFirst(const std::vector<ZipEntry>& entries)
{
    std::vector<ZipEntry> list(1);
    list[0].m_Name = MIMETYPE_NAME;
    list[0].m_Data = EPUB_MIMETYPE;
    DosDateTime(list[0].m_Date, list[0].m_Time);
    for (const ZipEntry& e : entries)
        if (!EqualsNoCase(e.m_Name, MIMETYPE_NAME)) list.push_back(e);
    return list;
}

} // namespace

void PackEntry(ZipEntry& entry)
{
    std::string& data = entry.m_Data;
    entry.m_Crc = ZipCrc(data);
    entry.m_UncompressedSize = static_cast<int32_t>(data.size());
    entry.m_Packed = true;
    if (entry.m_Method == 0 || data.empty()) {
        entry.m_Method = 0;
        return;
    }
    entry.m_Version = 20;
    // Twice the input is the room given; a stream that needs more is stored instead (only a tiny
    // entry can). Past a kilobyte, deflate's worst case (a stored block and a flush marker a piece)
    // fits in far less, so no more is asked for. The room is left uninitialised: only the bytes
    // deflate writes are ever touched.
    size_t room = std::min(2 * data.size(), data.size() + data.size() / 1024 + 1024);
    std::unique_ptr<char[]> packed(new char[room]);
    size_t n = room;
    if (DeflateRaw(data.data(), data.size(), packed.get(), n) != Z_STREAM_END) {
        entry.m_Method = 0;
        return;
    }
    data.assign(packed.get(), n);
    entry.m_Method = 8;
}

ResultCode CZip::WriteArchive(const std::string& outputPath, std::vector<ZipEntry> entries,
                              bool stopAtUnreadable, bool viaBackup)
{
    uint16_t date = 0, time = 0;
    DosDateTime(date, time);
    return WriteEntries(outputPath, WithDirectoryEntries(std::move(entries), date, time), stopAtUnreadable,
                        viaBackup);
}

ResultCode CZip::RewriteEpub(const std::string& path)
{
    return WriteEntries(path, MimetypeFirst(m_Entries), false, true);
}

ResultCode CZip::WriteEntries(const std::string& outputPath, std::vector<ZipEntry> list,
                              bool stopAtUnreadable, bool viaBackup)
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "WriteArchive IN");
    // Counts and name lengths are 16-bit fields: refuse what they cannot hold rather than write a
    // directory that lists something else.
    bool fits = list.size() <= 0xFFFF;
    for (const ZipEntry& e : list)
        fits = fits && e.m_Name.size() <= 0xFFFF;
    if (!fits) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "%zu entries or a name are too large for a ZIP directory",
                  list.size());
        return RC_FILE_WRITE_FAILED;
    }

    // Via backup, the new archive is made beside outputPath under an unpredictable name and moved
    // over it only once complete: a failure leaves outputPath as it was, and its mode, owner and
    // (behind a symbolic link) its real file are kept.
    CFile direct;
    CAtomicFile replacement;
    ResultCode opened = viaBackup ? replacement.Open(outputPath) : direct.Open(outputPath, true, true);
    if (opened != RC_OK) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot create \"%s\"", outputPath.c_str());
        return RC_FILE_OPEN_FAILED;
    }
    auto write = [&](const char* data, size_t size) {
        ResultCode rc = viaBackup ? replacement.Write(data, size) : direct.Write(data, size);
        if (rc != RC_OK) TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot write \"%s\"", outputPath.c_str());
        return rc == RC_OK ? RC_OK : RC_FILE_WRITE_FAILED;
    };
    auto patch = [&](uint64_t at, const char* data, size_t size) {
        ResultCode rc = viaBackup ? replacement.WriteAt(data, size, at) : direct.WriteAt(data, size, at);
        if (rc != RC_OK) TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot write \"%s\"", outputPath.c_str());
        return rc == RC_OK ? RC_OK : RC_FILE_WRITE_FAILED;
    };
    auto fail = [&](ResultCode rc) {
        if (!viaBackup) {
            direct.Close();
            DeleteFile(outputPath);
        }
        return rc; // an uncommitted replacement removes itself
    };

    std::string header, central;
    uint64_t offset = 0;
    size_t written = 0;
    for (ZipEntry& e : list) {
        RecordFields f;
        f.m_Flags = e.m_Flags & FLAG_UTF8_NAME;
        const char* body = e.m_Data.data();
        const bool fromFile = !e.m_SourcePath.empty();
        const bool fromArchive =
            !fromFile && e.m_Data.empty() && KeepsName(e.m_Name) && e.m_CompressedSize > 0;
        if (fromFile) {
            bool kept = false;
            ResultCode rc = WriteFileEntry(e, offset, write, patch, m_ZipLog, f, kept);
            if (rc != RC_OK) return fail(rc);
            if (!kept) continue;
            CentralRecord(central, f, e, static_cast<uint32_t>(offset));
            offset += LOCAL_HEADER_SIZE + e.m_Name.size() + f.m_PackedSize;
            ++written;
            continue;
        }
        if (fromArchive) {
            // Inflated once to check it (limits, CRC-32) and to learn its true sizes, then copied
            // as it is packed: nothing of it is held in memory, nothing is packed again.
            StreamedEntry streamed;
            ResultCode rc = StreamEntry(
                e, m_MaxEntrySize, [](const char*, size_t) { return RC_OK; }, streamed);
            if (rc != RC_OK) {
                TARVO_LOG(m_ZipLog, LOG_WARNING, "\"%s\" is unreadable", e.m_Name.c_str());
                if (stopAtUnreadable) break;
                return fail(rc);
            }
            if (streamed.m_Size > 0) {
                f.m_Method = e.m_Method == 0 ? 0 : 8;
                f.m_Version = e.m_Method == 0 ? 10 : 20;
                f.m_Crc = streamed.m_Crc;
                f.m_Size = static_cast<uint32_t>(streamed.m_Size);
                f.m_PackedSize = static_cast<uint32_t>(streamed.m_PackedSize);
            }
        } else {
            if (!e.m_Packed) PackEntry(e);
            body = e.m_Data.data();
            f.m_Method = e.m_Method;
            f.m_Version = e.m_Version;
            f.m_Crc = e.m_Crc;
            f.m_Size = static_cast<uint32_t>(e.m_UncompressedSize);
            f.m_PackedSize = static_cast<uint32_t>(e.m_Data.size());
        }
        if (offset + LOCAL_HEADER_SIZE + e.m_Name.size() + f.m_PackedSize > UINT32_MAX) {
            TARVO_LOG(m_ZipLog, LOG_ERROR, "archive passes 4 GiB at \"%s\"", e.m_Name.c_str());
            return fail(RC_FILE_WRITE_FAILED);
        }
        header.clear();
        LocalHeader(header, f, e);
        ResultCode rc = write(header.data(), header.size());
        if (rc == RC_OK)
            rc = fromArchive ? CopyArchiveBytes(e.m_DataOffset, f.m_PackedSize, write)
                             : write(body, f.m_PackedSize);
        if (rc != RC_OK) return fail(rc);
        CentralRecord(central, f, e, static_cast<uint32_t>(offset));
        offset += header.size() + f.m_PackedSize;
        ++written;
        std::string().swap(e.m_Data); // the list is our own copy: keep one entry in memory at a time
    }

    std::string end;
    Put32(end, SIG_END);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, static_cast<uint16_t>(written));
    Put16(end, static_cast<uint16_t>(written));
    Put32(end, static_cast<uint32_t>(central.size()));
    Put32(end, static_cast<uint32_t>(offset));
    Put16(end, 0);
    central += end;
    if (offset + central.size() > UINT32_MAX || write(central.data(), central.size()) != RC_OK)
        return fail(RC_FILE_WRITE_FAILED);
    direct.Close();
    CFile::Close();
    if (viaBackup) {
        ResultCode rc = replacement.Commit();
        if (rc != RC_OK) {
            TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot move the new archive over \"%s\"", outputPath.c_str());
            return rc;
        }
    }
    TARVO_LOG(m_ZipLog, LOG_INFO, "WriteArchive OUT, %zu entries", written);
    return RC_OK;
}

ResultCode CZip::FixEpub(const std::string& path)
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "FixEpub IN");
    if (m_Entries.size() < 3) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "only %zu entries could be listed", m_Entries.size());
        return RC_EPUB_FIX;
    }
    if (WriteArchive(path, MimetypeFirst(m_Entries), true, true) != RC_OK) return RC_EPUB_FIX;
    if (Open(path, false, false) != RC_OK) return RC_FILE_OPEN_FAILED;
    ResultCode rc = ReadDirectory();
    TARVO_LOG(m_ZipLog, LOG_INFO, "FixEpub OUT");
    return rc;
}
