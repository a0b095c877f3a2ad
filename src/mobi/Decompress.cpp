// Text record codings. The published codings are followed; the bounds are ours: no read leaves its
// record, dictionary chains are depth-limited and expansions are size-limited.
#include "mobi/Decompress.h"

#include "base/RunLog.h"
#include "mobi/ByteIO.h"

namespace
{

constexpr size_t PALMDOC_RECORD_OUTPUT = 4096;

int CountTrailingEntries(uint16_t flags)
{
    int count = 0;
    for (uint16_t f = flags >> 1; f != 0; f >>= 1)
        count += f & 1;
    return count;
}

} // namespace

int64_t CutExtraData(const uint8_t* record, size_t length, uint16_t extraFlags)
{
    int64_t n = static_cast<int64_t>(length);
    int64_t size = n;
    int entries = CountTrailingEntries(extraFlags);
    for (int e = 0; e < entries; ++e) {
        int64_t value = 0;
        if (size >= 4) {
            for (int64_t i = size - 4; i < size; ++i) {
                uint8_t b = record[i];
                if (b & 0x80u) value = 0;
                value = (value << 7) | (b & 0x7Fu);
            }
        }
        if (value > size) value = 0;
        size -= value;
    }
    if ((extraFlags & 1u) && size >= 1 && size <= n) size -= (record[size - 1] & 3) + 1;
    return size;
}

bool PalmDocDecode(const uint8_t* data, size_t length, std::string& out)
{
    if (length == 0) return true;
    std::string produced;
    produced.reserve(PALMDOC_RECORD_OUTPUT + 16);
    size_t i = 0;
    while (i < length && produced.size() < PALMDOC_RECORD_OUTPUT) {
        uint8_t c = data[i++];
        if (c >= 1 && c <= 8) {
            // A literal run cut short by the record end keeps the bytes that are there.
            size_t run = c < length - i ? c : length - i;
            produced.append(reinterpret_cast<const char*>(data + i), run);
            i += run;
        } else if (c < 0x80) {
            produced.push_back(static_cast<char>(c));
        } else if (c < 0xC0) {
            if (i >= length) break;
            uint32_t v = (uint32_t(c) << 8) | data[i++];
            size_t distance = (v >> 3) & 0x7FFu;
            size_t count = (v & 7u) + 3;
            if (distance == 0 || distance > produced.size()) return false;
            size_t from = produced.size() - distance;
            for (size_t k = 0; k < count; ++k)
                produced.push_back(produced[from + k]);
        } else {
            produced.push_back(' ');
            produced.push_back(static_cast<char>(c ^ 0x80u));
        }
    }
    out += produced;
    return true;
}

ResultCode CHuffCdicDecoder::LoadHuff(const std::string& huff)
{
    CByteReader r(huff);
    if (!r.Equals(0, "HUFF", 4) || r.U32At(4) != 24) {
        TARVO_LOG(m_Log, LOG_ERROR, "HUFF record without its 24-byte head");
        return RC_MOBI_HUFF_MAGIC;
    }
    uint32_t table1 = r.U32At(8);
    uint32_t table2 = r.U32At(12);
    uint32_t table2End = r.U32At(16);
    if (uint64_t(table1) + 1024 != table2 || uint64_t(table2) + 256 != table2End) {
        TARVO_LOG(m_Log, LOG_ERROR, "HUFF tables at 0x%x, 0x%x, 0x%x", table1, table2, table2End);
        return RC_MOBI_HUFF_ITEM;
    }
    for (int i = 0; i < 256; ++i) {
        uint32_t v = r.U32At(table1 + 4 * size_t(i));
        CodeEntry& e = m_Table1[i];
        e.length = static_cast<uint8_t>(v & 0x1Fu);
        e.terminal = (v & 0x80u) != 0;
        if (e.length == 0 || (e.length <= 8 && !e.terminal)) {
            TARVO_LOG(m_Log, LOG_ERROR, "HUFF code table entry %d is 0x%08x", i, v);
            return RC_MOBI_HUFF_ITEM;
        }
        e.maxCode = ((uint64_t(v >> 8) + 1) << (32 - e.length)) - 1;
    }
    m_MinCode[0] = 0;
    m_MaxCode[0] = 0xFFFFFFFFu;
    for (int n = 1; n <= 32; ++n) {
        uint64_t low = r.U32At(table2 + 8 * size_t(n - 1));
        uint64_t high = r.U32At(table2 + 8 * size_t(n - 1) + 4);
        m_MinCode[n] = low << (32 - n);
        m_MaxCode[n] = ((high + 1) << (32 - n)) - 1;
    }
    if (r.Failed()) {
        TARVO_LOG(m_Log, LOG_ERROR, "HUFF tables run past the record's %zu bytes", huff.size());
        return RC_MOBI_HUFF_ITEM;
    }
    m_HuffLoaded = true;
    return RC_OK;
}

ResultCode CHuffCdicDecoder::AddCdic(const std::string& cdic)
{
    CByteReader r(cdic);
    if (!r.Equals(0, "CDIC", 4) || r.U32At(4) != 16) {
        TARVO_LOG(m_Log, LOG_ERROR, "CDIC record without its 16-byte head");
        return RC_MOBI_CDIC_MAGIC;
    }
    uint32_t total = r.U32At(8);
    uint32_t bits = r.U32At(12);
    if (m_FirstCdic) {
        // The slots grow with the entries really present, never from the announced total alone.
        m_TotalEntries = total;
        m_FirstCdic = false;
    }
    uint64_t perRecord = bits >= 32 ? (uint64_t(1) << 32) : (uint64_t(1) << bits);
    uint64_t left = m_TotalEntries - m_Slots.size();
    uint64_t count = left < perRecord ? left : perRecord;
    for (uint64_t j = 0; j < count; ++j) {
        size_t table = 16 + 2 * size_t(j);
        if (table + 2 > cdic.size()) {
            TARVO_LOG(m_Log, LOG_ERROR, "CDIC entry table runs past the record at entry %llu",
                      static_cast<unsigned long long>(j));
            return RC_MOBI_CDIC_ITEM;
        }
        size_t at = 16 + size_t(r.U16At(table));
        if (at + 2 > cdic.size()) {
            TARVO_LOG(m_Log, LOG_ERROR, "CDIC entry %llu at 0x%zx outside the record of %zu bytes",
                      static_cast<unsigned long long>(j), at, cdic.size());
            return RC_MOBI_CDIC_ITEM;
        }
        uint16_t head = r.U16At(at);
        size_t size = head & 0x7FFFu;
        if (size > cdic.size() - at - 2) {
            TARVO_LOG(m_Log, LOG_ERROR, "CDIC entry %llu of %zu bytes runs past the record",
                      static_cast<unsigned long long>(j), size);
            return RC_MOBI_CDIC_ITEM;
        }
        Slot slot;
        slot.decoded = (head & 0x8000u) != 0;
        slot.bytes.assign(cdic, at + 2, size);
        m_Slots.push_back(std::move(slot));
    }
    return RC_OK;
}

ResultCode CHuffCdicDecoder::Decode(const uint8_t* data, size_t length, std::string& out)
{
    if (!m_HuffLoaded) return RC_MOBI_HUFF_MAGIC;
    std::string decoded;
    ResultCode rc = DecodeBits(data, length, decoded, 0);
    if (rc == RC_OK) out += decoded;
    return rc;
}

ResultCode CHuffCdicDecoder::DecodeBits(const uint8_t* data, size_t length, std::string& out, int depth)
{
    // Bytes past the record read as zeros, as if the record had 8 zero bytes appended.
    auto window = [&](size_t pos) {
        uint64_t x = 0;
        for (size_t k = 0; k < 8; ++k)
            x = (x << 8) | (pos + k < length ? data[pos + k] : 0u);
        return x;
    };
    int64_t bitsLeft = static_cast<int64_t>(length) * 8;
    size_t pos = 0;
    uint64_t x = window(0);
    int n = 32;
    for (;;) {
        if (n <= 0) {
            pos += 4;
            x = window(pos);
            n += 32;
        }
        uint64_t code = (x >> n) & 0xFFFFFFFFu;
        const CodeEntry& e = m_Table1[code >> 24];
        int codeLength = e.length;
        uint64_t maxCode = e.maxCode;
        if (!e.terminal) {
            while (codeLength <= 32 && code < m_MinCode[codeLength])
                ++codeLength;
            if (codeLength > 32) break;
            maxCode = m_MaxCode[codeLength];
        }
        n -= codeLength;
        bitsLeft -= codeLength;
        if (bitsLeft < 0 || maxCode < code) break;
        uint64_t index = (maxCode - code) >> (32 - codeLength);
        if (index >= m_Slots.size()) break;
        Slot& slot = m_Slots[index];
        if (slot.state == SlotState::Ready && !slot.decoded) {
            if (depth >= MAX_EXPANSION_DEPTH) {
                TARVO_LOG(m_Log, LOG_ERROR, "CDIC entry %llu nests deeper than %d entries",
                          static_cast<unsigned long long>(index), MAX_EXPANSION_DEPTH);
                return RC_MOBI_CDIC_ITEM;
            }
            slot.state = SlotState::Expanding;
            std::string expanded;
            ResultCode rc = DecodeBits(reinterpret_cast<const uint8_t*>(slot.bytes.data()), slot.bytes.size(),
                                       expanded, depth + 1);
            // m_Slots never grows while decoding, so the reference is still valid.
            slot.state = SlotState::Ready;
            if (rc != RC_OK) return rc;
            slot.bytes = std::move(expanded);
            slot.decoded = true;
        }
        // A slot met while it is being expanded (it refers to itself) is used as it stands.
        if (out.size() + slot.bytes.size() > MAX_DECODED_SIZE) {
            TARVO_LOG(m_Log, LOG_ERROR, "HUFF/CDIC expansion passes %zu bytes", MAX_DECODED_SIZE);
            return RC_MOBI_CDIC_ITEM;
        }
        out += slot.bytes;
    }
    return RC_OK;
}
