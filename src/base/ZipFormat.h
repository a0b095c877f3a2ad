// What the ZIP reader and writer share: the record layout, and the loops that inflate and deflate
// an entry piece by piece. Only the ZIP files include this; everything else goes through Zip.h.
#pragma once

#include "base/Zip.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zipformat
{

constexpr uint32_t SIG_LOCAL = 0x04034B50;
constexpr uint32_t SIG_CENTRAL = 0x02014B50;
constexpr uint32_t SIG_END = 0x06054B50;
constexpr uint32_t SIG_DESCRIPTOR = 0x08074B50;
constexpr size_t LOCAL_HEADER_SIZE = 30;
constexpr size_t CENTRAL_RECORD_SIZE = 46;
constexpr size_t END_RECORD_SIZE = 22;
constexpr uint32_t UNKNOWN_SIZE = 0xFFFFFFFF;
// Entries are read, inflated and written in pieces of this size, so memory stays small whatever an
// entry's size.
constexpr size_t STREAM_PIECE = 65536;
constexpr uint16_t FLAG_DESCRIPTOR = 0x0008;
constexpr uint16_t FLAG_UTF8_NAME = 0x0800;

inline uint16_t Get16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t Get32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void Put16(std::string& out, uint16_t v)
{
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
}

inline void Put32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// A name ending in "/" is a folder: listed by some writers, never kept as an entry.
inline bool KeepsName(const std::string& name)
{
    return !name.empty() && name.back() != '/';
}

// CRC-32 (zlib's) of more bytes, carried on from crc; start from 0.
uint32_t UpdateCrc(uint32_t crc, const char* data, size_t size);

enum class InflateEnd { Complete, TooLarge, TooDense, Damaged, SourceFailed, SinkFailed };

// Pulls a raw deflate stream from source and gives its output to sink in pieces of at most
// STREAM_PIECE bytes, never more than limit bytes in all. With maxRatio set, output past
// ZIP_RATIO_FROM bytes may be at most maxRatio times the input taken so far. consumed is the
// length of the packed stream, which may end before the input does. Once enough bytes came out
// the stream counts as complete, and nothing past them is inflated.
InflateEnd InflateStream(const ZipSource& source, const ZipSink& sink, uint64_t limit, size_t maxRatio,
                         uint64_t& produced, uint64_t& consumed, uint64_t enough = UINT64_MAX);

// Raw deflate (no zlib header) at level 9 of the size bytes source hands out, with a sync flush
// after every 16384 input bytes; the packed stream goes to sink in pieces of at most STREAM_PIECE
// bytes. Returns Z_STREAM_END on success, Z_ERRNO when source or sink failed (or source ran short),
// else zlib's code.
int DeflateStream(uint64_t size, const ZipSource& source, const ZipSink& sink);

} // namespace zipformat
