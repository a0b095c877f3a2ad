// Text record codings: trailing extra data, PalmDOC LZ77 and HUFF/CDIC.
#pragma once

#include "base/ResultCode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CRunLog;

// Length of the text part of a record once the trailing entries named by the extra data flags are
// cut; negative when the entries claim more than the record holds.
int64_t CutExtraData(const uint8_t* record, size_t length, uint16_t extraFlags);

// Decodes one PalmDOC record, appending to out only on success. A record stops producing after the
// first token that starts at or beyond 4096 bytes of output. False on a back reference before the
// start of the record's output (the record is then dropped whole).
bool PalmDocDecode(const uint8_t* data, size_t length, std::string& out);

// The HUFF tables and CDIC dictionary of one book part, alive for one text decoding.
class CHuffCdicDecoder
{
  public:
    // A dictionary slot may refer to other slots; deeper chains than this are treated as corrupt.
    static constexpr int MAX_EXPANSION_DEPTH = 64;
    // Real text records decode to about 4 KB; anything past this is a crafted expansion bomb.
    static constexpr size_t MAX_DECODED_SIZE = 1 << 16;

    explicit CHuffCdicDecoder(CRunLog* log = nullptr) : m_Log(log) {}
    ResultCode LoadHuff(const std::string& huff);
    // Call once per CDIC record, in order.
    ResultCode AddCdic(const std::string& cdic);
    // Appends the decoded record to out (nothing when it decodes to nothing).
    ResultCode Decode(const uint8_t* data, size_t length, std::string& out);
    size_t EntryCount() const { return m_Slots.size(); }

  private:
    enum class SlotState : uint8_t { Ready, Expanding };
    struct Slot {
        SlotState state = SlotState::Ready;
        bool decoded = false;
        std::string bytes;
    };
    struct CodeEntry {
        uint8_t length = 0;
        bool terminal = false;
        uint64_t maxCode = 0;
    };

    ResultCode DecodeBits(const uint8_t* data, size_t length, std::string& out, int depth);

    CRunLog* m_Log;
    CodeEntry m_Table1[256];
    uint64_t m_MinCode[33] = {};
    uint64_t m_MaxCode[33] = {};
    bool m_HuffLoaded = false;
    uint32_t m_TotalEntries = 0;
    bool m_FirstCdic = true;
    std::vector<Slot> m_Slots;
};
