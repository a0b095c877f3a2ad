// Archives that inflate far past their size, built in memory for the tests that must refuse them.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zipbomb
{

inline std::string Le16(uint32_t v)
{
    return {char(v & 0xff), char((v >> 8) & 0xff)};
}
inline std::string Le32(uint32_t v)
{
    return Le16(v & 0xffff) + Le16(v >> 16);
}

// A raw deflate stream of count MiB of zeros, made by repeating one flushed piece (about 1 KB per MiB).
inline std::string ZeroBomb(size_t mebibytes)
{
    const std::string zeros(1 << 20, '\0');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string piece(deflateBound(&z, zeros.size()) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    z.avail_in = static_cast<uInt>(zeros.size());
    z.next_out = reinterpret_cast<Bytef*>(&piece[0]);
    z.avail_out = static_cast<uInt>(piece.size());
    deflate(&z, Z_FULL_FLUSH);
    piece.resize(z.total_out);
    deflateEnd(&z);
    std::string bomb;
    for (size_t i = 0; i < mebibytes; ++i)
        bomb += piece;
    return bomb + std::string("\x03\x00", 2); // final empty fixed block
}

inline uint32_t ZeroCrc(size_t mebibytes)
{
    const std::string zeros(1 << 20, '\0');
    uLong crc = crc32(0, Z_NULL, 0);
    for (size_t i = 0; i < mebibytes; ++i)
        crc = crc32(crc, reinterpret_cast<const Bytef*>(zeros.data()), 1u << 20);
    return static_cast<uint32_t>(crc);
}

struct PlainEntry {
    std::string name;
    std::string data; // stored as it is
};

// A well-formed archive (true CRCs and sizes) of stored entries followed by bombName: count MiB of
// zeros, deflated.
inline std::string ArchiveWithBomb(const std::vector<PlainEntry>& entries, const std::string& bombName,
                                   size_t mebibytes)
{
    std::string body, dir;
    auto add = [&](const std::string& name, uint16_t method, const std::string& packed, uint32_t crc,
                   uint32_t size) {
        const std::string common = Le16(method) + Le32(0) + Le32(crc) + Le32(uint32_t(packed.size())) +
                                   Le32(size) + Le16(uint32_t(name.size())) + Le16(0);
        dir += Le32(0x02014B50) + Le16(20) + Le16(20) + Le16(0) + common + Le16(0) + Le16(0) + Le16(0) +
               Le32(0) + Le32(uint32_t(body.size())) + name;
        body += Le32(0x04034B50) + Le16(20) + Le16(0) + common + name + packed;
    };
    for (const PlainEntry& e : entries)
        add(e.name, 0, e.data,
            uint32_t(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), uInt(e.data.size()))),
            uint32_t(e.data.size()));
    add(bombName, 8, ZeroBomb(mebibytes), ZeroCrc(mebibytes), uint32_t(mebibytes << 20));
    const uint32_t count = uint32_t(entries.size() + 1);
    return body + dir + Le32(0x06054B50) + Le32(0) + Le16(count) + Le16(count) + Le32(uint32_t(dir.size())) +
           Le32(uint32_t(body.size())) + Le16(0);
}

} // namespace zipbomb
