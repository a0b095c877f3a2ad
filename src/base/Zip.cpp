// ZIP entries as streams: the CRC-32, inflating and deflating piece by piece, and packing an entry
// apart from writing it. Listing and extraction are in ZipRead.cpp, writing in ZipWrite.cpp.
#include "base/Zip.h"

#include "base/RunLog.h"
#include "base/ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace zipformat
{

uint32_t UpdateCrc(uint32_t crc, const char* data, size_t size)
{
    uLong value = crc;
    for (size_t at = 0; at < size;) {
        const uInt piece = static_cast<uInt>(std::min<size_t>(size - at, 1u << 30));
        value = crc32(value, reinterpret_cast<const Bytef*>(data + at), piece);
        at += piece;
    }
    return static_cast<uint32_t>(value);
}

InflateEnd InflateStream(const ZipSource& source, const ZipSink& sink, uint64_t limit, size_t maxRatio,
                         uint64_t& produced, uint64_t& consumed, uint64_t enough)
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
        // Never more output than wanted, so damage past it is not even looked at.
        const size_t room = static_cast<size_t>(std::min<uint64_t>(STREAM_PIECE, enough - produced));
        z.next_out = reinterpret_cast<Bytef*>(out.get());
        z.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&z, Z_NO_FLUSH);
        const size_t piece = room - z.avail_out;
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
        if (rc == Z_STREAM_END || produced == enough) {
            end = InflateEnd::Complete;
            break;
        }
    }
    consumed = z.total_in;
    inflateEnd(&z);
    return end;
}

int DeflateStream(uint64_t size, const ZipSource& source, const ZipSink& sink)
{
    constexpr size_t DEFLATE_PIECE = 16384;
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

} // namespace zipformat

using namespace zipformat;

namespace
{

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

ZipSource CZip::ArchiveSource(uint64_t offset, uint64_t count)
{
    return [this, offset, count](char* buffer, size_t room, size_t& got) mutable {
        got = static_cast<size_t>(std::min<uint64_t>(room, count));
        if (got > 0 && ReadExact(offset, buffer, got, RC_ZIP_FILE_CONTENT) != RC_OK)
            return RC_ZIP_FILE_CONTENT;
        offset += got;
        count -= got;
        return RC_OK;
    };
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
    uint32_t crc = 0;
    ResultCode sinkResult = RC_OK;
    auto checked = [&](const char* data, size_t piece) {
        crc = UpdateCrc(crc, data, piece);
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
        const ZipSource source = ArchiveSource(entry.m_DataOffset, packed);
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
    out.m_Crc = crc;
    // Some writers leave the CRC-32 at 0; a recorded one must match.
    if (entry.m_Crc != 0 && declared > 0 && out.m_Crc != entry.m_Crc) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "\"%s\": CRC-32 0x%08x, the archive records 0x%08x",
                  entry.m_Name.c_str(), out.m_Crc, entry.m_Crc);
        return RC_ZIP_FILE_CONTENT;
    }
    return RC_OK;
}

void PackEntry(ZipEntry& entry)
{
    std::string& data = entry.m_Data;
    entry.m_Crc = UpdateCrc(0, data.data(), data.size());
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
