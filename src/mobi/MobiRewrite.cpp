// Record 0 rebuilding for the in-place metadata rewrite.
#include "mobi/MobiRewrite.h"

#include "mobi/ByteIO.h"
#include "mobi/KindleLocale.h"
#include "mobi/MOBIHeader.h"
#include "mobi/RecordWriter.h"

#include <algorithm>

namespace
{

constexpr size_t MOBI_HEADER_START = 16;
constexpr uint32_t EXTH_FLAG = 0x40;
constexpr size_t RECORD0_ALIGNMENT = 1024;
constexpr size_t LOCALE_FIELD = 0x5C;
constexpr uint32_t CODE_PAGE_WINDOWS_1252 = 1252;

// Part-relative record numbers every MOBI header version keeps as 32-bit fields: first non-book
// record, HUFF, FCIS, FLIS, SRCS, NCX, fragment, skeleton, DATP and guide index.
const size_t RECORD_FIELDS[] = {0x50, 0x70, 0xC8, 0xD0, 0xE0, 0xF4, 0xF8, 0xFC, 0x100, 0x104};

} // namespace

std::string ExthNumber(uint32_t value)
{
    std::string bytes;
    AppendU32(bytes, value);
    return bytes;
}

bool RebuildRecord0(const std::string& old, const MetaDataMap& metadata, const std::string& fullName,
                    const std::string& newLanguage, std::string& rebuilt)
{
    CByteReader r(old);
    uint32_t headerLength = r.U32At(0x14);
    if (r.Failed() || !r.Equals(MOBI_HEADER_START, "MOBI", 4) ||
        headerLength > old.size() - MOBI_HEADER_START)
        return false;
    size_t headerEnd = MOBI_HEADER_START + headerLength;
    // The bytes between the old EXTH block and the full name belong to no field we know; they are
    // kept as they were.
    std::string carried;
    size_t dataStart = headerEnd;
    uint32_t exthFlags = headerEnd >= 0x84 ? r.U32At(0x80) : 0;
    if ((exthFlags & EXTH_FLAG) != 0 && r.Equals(headerEnd, "EXTH", 4)) {
        uint32_t exthLength = r.U32At(headerEnd + 4);
        if (!r.Failed() && exthLength <= old.size() - headerEnd) dataStart = headerEnd + exthLength;
    }
    uint32_t nameOffset = headerEnd >= 0x58 ? r.U32At(0x54) : NO_RECORD;
    if (!r.Failed() && nameOffset != NO_RECORD && nameOffset > dataStart && nameOffset <= old.size())
        carried = old.substr(dataStart, nameOffset - dataStart);

    const bool cp1252 = headerEnd >= 0x20 && r.U32At(0x1C) == CODE_PAGE_WINDOWS_1252;
    const std::string name = ExthOutputText(EXTH_TITLE, fullName, cp1252);

    rebuilt.assign(old, 0, headerEnd);
    if (headerEnd >= 0x84) PutU32At(rebuilt, 0x80, exthFlags | EXTH_FLAG);
    if (!newLanguage.empty() && headerEnd >= LOCALE_FIELD + 4)
        PutU32At(rebuilt, LOCALE_FIELD, KindleLocaleFor(newLanguage, r.U32At(LOCALE_FIELD)));
    rebuilt += MakeExthBlock(metadata, {"coverimage", "thumbimage", "languageid"}, cp1252);
    rebuilt += carried;
    PutU32At(rebuilt, 0x54, static_cast<uint32_t>(rebuilt.size()));
    PutU32At(rebuilt, 0x58, static_cast<uint32_t>(name.size()));
    rebuilt += name;
    rebuilt.append(2, '\0');
    rebuilt.append((RECORD0_ALIGNMENT - rebuilt.size() % RECORD0_ALIGNMENT) % RECORD0_ALIGNMENT, '\0');
    return true;
}

void ShiftRecordNumbers(std::string& record0, uint32_t insertAt, uint32_t count)
{
    CByteReader r(record0);
    uint32_t headerLength = r.U32At(0x14);
    if (r.Failed()) return;
    size_t headerEnd = std::min<size_t>(MOBI_HEADER_START + size_t(headerLength), record0.size());
    auto has = [&](size_t offset, size_t width) { return offset + width <= headerEnd; };
    for (size_t offset : RECORD_FIELDS) {
        if (!has(offset, 4)) continue;
        uint32_t value = r.U32At(offset);
        if (value != NO_RECORD && value != 0 && value >= insertAt) PutU32At(record0, offset, value + count);
    }
    if (has(0x6C, 4)) {
        uint32_t first = r.U32At(0x6C);
        if (first == NO_RECORD)
            PutU32At(record0, 0x6C, insertAt);
        else if (first >= insertAt)
            PutU32At(record0, 0x6C, first + count);
    }
    bool kf8 = has(0x28, 4) && r.U32At(0x24) == 8;
    if (kf8) {
        // The FDST record number.
        if (has(0xC0, 4)) {
            uint32_t fdst = r.U32At(0xC0);
            if (fdst != NO_RECORD && fdst != 0 && fdst >= insertAt) PutU32At(record0, 0xC0, fdst + count);
        }
    } else if (has(0xC4, 4)) {
        // First and last content record, 16 bits each; the new records join the content.
        uint16_t last = r.U16At(0xC2);
        if (last != 0xFFFF && uint32_t(last) + 1 >= insertAt && uint32_t(last) + count <= 0xFFFF)
            PutU16At(record0, 0xC2, last + count);
    }
}
