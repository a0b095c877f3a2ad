// Big-endian reading and writing of PalmDB, MOBI and index fields. The reader never reads past the
// bytes it was given: a short read yields zeros and sets a sticky flag that callers check once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// A fixed-width base-32 number ("0"-"9", "A"-"V", most significant first) as KF8 references write
// it; digits beyond the width are dropped.
inline std::string WriteBase32(uint64_t value, size_t width)
{
    static const char DIGITS[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
    std::string text(width, '0');
    for (size_t i = width; i > 0 && value != 0; --i, value /= 32)
        text[i - 1] = DIGITS[value % 32];
    return text;
}

class CByteReader
{
  public:
    CByteReader(const void* data, size_t size) : m_Data(static_cast<const uint8_t*>(data)), m_Size(size) {}
    explicit CByteReader(const std::string& bytes) : CByteReader(bytes.data(), bytes.size()) {}

    bool Failed() const { return m_Failed; }
    size_t Size() const { return m_Size; }
    size_t Position() const { return m_Position; }
    size_t Remaining() const { return m_Position < m_Size ? m_Size - m_Position : 0; }
    const uint8_t* Data() const { return m_Data; }

    void Seek(size_t position)
    {
        if (position > m_Size) {
            m_Failed = true;
            position = m_Size;
        }
        m_Position = position;
    }

    uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Take(4)); }

    uint8_t U8At(size_t offset) { return static_cast<uint8_t>(TakeAt(offset, 1)); }
    uint16_t U16At(size_t offset) { return static_cast<uint16_t>(TakeAt(offset, 2)); }
    uint32_t U32At(size_t offset) { return static_cast<uint32_t>(TakeAt(offset, 4)); }

    // The next count bytes, or nullptr (and the flag) when fewer remain.
    const uint8_t* Bytes(size_t count)
    {
        if (count > Remaining()) {
            m_Failed = true;
            m_Position = m_Size;
            return nullptr;
        }
        const uint8_t* p = m_Data + m_Position;
        m_Position += count;
        return p;
    }

    bool String(size_t count, std::string& out)
    {
        const uint8_t* p = Bytes(count);
        if (p == nullptr) return false;
        out.assign(reinterpret_cast<const char*>(p), count);
        return true;
    }

    // Forward variable-width number: 7 bits per byte, most significant first, bit 7 marks the last
    // byte. Stops at the end of the data without setting the flag (the value read so far counts);
    // more than five bytes cannot fit 32 bits and set the flag.
    uint32_t VarWidth()
    {
        uint64_t value = 0;
        int count = 0;
        while (m_Position < m_Size) {
            uint8_t b = m_Data[m_Position++];
            value = (value << 7) | (b & 0x7Fu);
            if (++count > 5) m_Failed = true;
            if (b & 0x80u) break;
        }
        return static_cast<uint32_t>(value);
    }

    bool Equals(size_t offset, const char* magic, size_t length) const
    {
        if (offset > m_Size || length > m_Size - offset) return false;
        for (size_t i = 0; i < length; ++i)
            if (m_Data[offset + i] != static_cast<uint8_t>(magic[i])) return false;
        return true;
    }

  private:
    uint64_t TakeAt(size_t offset, size_t width)
    {
        if (offset > m_Size || width > m_Size - offset) {
            m_Failed = true;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i)
            value = (value << 8) | m_Data[offset + i];
        return value;
    }

    uint64_t Take(size_t width)
    {
        uint64_t value = TakeAt(m_Position, width);
        m_Position = m_Failed ? m_Size : m_Position + width;
        return value;
    }

    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_Position = 0;
    bool m_Failed = false;
};

inline bool HasMagic(const std::string& bytes, size_t offset, const char* magic, size_t length)
{
    return CByteReader(bytes).Equals(offset, magic, length);
}

// ---- writing ------------------------------------------------------------------------------------

inline void AppendU8(std::string& out, uint32_t value)
{
    out.push_back(static_cast<char>(value & 0xFFu));
}
inline void AppendU16(std::string& out, uint32_t value)
{
    AppendU8(out, value >> 8);
    AppendU8(out, value);
}
inline void AppendU32(std::string& out, uint32_t value)
{
    AppendU16(out, value >> 16);
    AppendU16(out, value);
}

// Overwrites a field already present; a field past the end of out is a caller bug and is ignored.
inline void PutU16At(std::string& out, size_t offset, uint32_t value)
{
    if (offset > out.size() || out.size() - offset < 2) return;
    out[offset] = static_cast<char>((value >> 8) & 0xFFu);
    out[offset + 1] = static_cast<char>(value & 0xFFu);
}
inline void PutU32At(std::string& out, size_t offset, uint32_t value)
{
    PutU16At(out, offset, value >> 16);
    PutU16At(out, offset + 2, value);
}

// Forward variable-width number as the index records hold it. A negative value has no encoding:
// nothing is written and the value is reported on standard output, as the writer always has.
inline void AppendVarWidth(std::string& out, int64_t value)
{
    if (value < 0) {
        std::printf("Error::Value: %lld\n", static_cast<long long>(value));
        return;
    }
    uint8_t groups[10];
    int count = 0;
    uint64_t v = static_cast<uint64_t>(value);
    do {
        groups[count++] = static_cast<uint8_t>(v & 0x7Fu);
        v >>= 7;
    } while (v != 0);
    groups[0] |= 0x80u;
    while (count > 0)
        out.push_back(static_cast<char>(groups[--count]));
}

inline void PadTo4(std::string& out)
{
    while (out.size() % 4 != 0)
        out.push_back('\0');
}
