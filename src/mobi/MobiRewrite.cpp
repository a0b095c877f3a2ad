// Record 0 rebuilding for the in-place metadata rewrite.
#include "mobi/MobiRewrite.h"

#include "mobi/ByteIO.h"
#include "mobi/ExthBlock.h"
#include "mobi/ExthIds.h"
#include "mobi/KindleLocale.h"
#include "mobi/MOBIHeader.h"
#include "mobi/RecordLayout.h"

#include <algorithm>

namespace
{

// Part-relative record numbers every MOBI header version keeps as 32-bit fields.
const Record0Field* const RECORD_NUMBER_FIELDS[] = {
    &RECORD0_FIRST_NON_BOOK, &RECORD0_HUFF_RECORD, &RECORD0_FCIS_RECORD,    &RECORD0_FLIS_RECORD,
    &RECORD0_SRCS_RECORD,    &RECORD0_NCX_INDEX,   &RECORD0_FRAGMENT_INDEX, &RECORD0_SKELETON_INDEX,
    &RECORD0_DATP_RECORD,    &RECORD0_GUIDE_INDEX};

} // namespace

bool RebuildRecord0(const std::string& old, const MetaDataMap& metadata, const std::string& fullName,
                    const std::string& newLanguage, std::string& rebuilt)
{
    CByteReader r(old);
    uint32_t headerLength = ReadField(r, RECORD0_HEADER_LENGTH);
    if (r.Failed() || !r.Equals(RECORD0_MAGIC.m_Offset, "MOBI", RECORD0_MAGIC.m_Width) ||
        headerLength > old.size() - MOBI_HEADER_START)
        return false;
    size_t headerEnd = MOBI_HEADER_START + headerLength;
    auto has = [&](const Record0Field& field) { return HeaderHolds(headerLength, field); };
    // The bytes between the old EXTH block and the full name belong to no field we know; they are
    // kept as they were.
    std::string carried;
    size_t dataStart = headerEnd;
    uint32_t exthFlags = has(RECORD0_EXTH_FLAGS) ? ReadField(r, RECORD0_EXTH_FLAGS) : 0;
    if ((exthFlags & RECORD0_HAS_EXTH) != 0 && r.Equals(headerEnd, "EXTH", 4)) {
        uint32_t exthLength = r.U32At(headerEnd + 4);
        if (!r.Failed() && exthLength <= old.size() - headerEnd) dataStart = headerEnd + exthLength;
    }
    uint32_t nameOffset = has(RECORD0_FULL_NAME_OFFSET) ? ReadField(r, RECORD0_FULL_NAME_OFFSET) : NO_RECORD;
    if (!r.Failed() && nameOffset != NO_RECORD && nameOffset > dataStart && nameOffset <= old.size())
        carried = old.substr(dataStart, nameOffset - dataStart);

    const bool cp1252 =
        has(RECORD0_TEXT_ENCODING) && ReadField(r, RECORD0_TEXT_ENCODING) == CODE_PAGE_WINDOWS_1252;
    const std::string name = ExthOutputText(EXTH_TITLE, fullName, cp1252);

    rebuilt.assign(old, 0, headerEnd);
    if (has(RECORD0_EXTH_FLAGS)) WriteField(rebuilt, RECORD0_EXTH_FLAGS, exthFlags | RECORD0_HAS_EXTH);
    if (!newLanguage.empty() && has(RECORD0_LOCALE))
        WriteField(rebuilt, RECORD0_LOCALE, KindleLocaleFor(newLanguage, ReadField(r, RECORD0_LOCALE)));
    rebuilt += MakeRecord0ExthBlock(metadata, cp1252);
    rebuilt += carried;
    AppendFullName(rebuilt, name);
    return true;
}

void ShiftRecordNumbers(std::string& record0, uint32_t insertAt, uint32_t count)
{
    CByteReader r(record0);
    uint32_t headerLength = ReadField(r, RECORD0_HEADER_LENGTH);
    if (r.Failed()) return;
    auto has = [&](const Record0Field& field) {
        return HeaderHolds(headerLength, field) && RecordHolds(record0, field);
    };
    auto shift = [&](const Record0Field& field) {
        uint32_t value = ReadField(r, field);
        if (value != NO_RECORD && value != 0 && value >= insertAt) WriteField(record0, field, value + count);
    };
    for (const Record0Field* field : RECORD_NUMBER_FIELDS)
        if (has(*field)) shift(*field);
    if (has(RECORD0_FIRST_RESOURCE)) {
        uint32_t first = ReadField(r, RECORD0_FIRST_RESOURCE);
        if (first == NO_RECORD)
            WriteField(record0, RECORD0_FIRST_RESOURCE, insertAt);
        else if (first >= insertAt)
            WriteField(record0, RECORD0_FIRST_RESOURCE, first + count);
    }
    bool kf8 = has(RECORD0_FILE_VERSION) && ReadField(r, RECORD0_FILE_VERSION) == 8;
    if (kf8) {
        if (has(RECORD0_FDST_RECORD)) shift(RECORD0_FDST_RECORD);
    } else if (has(RECORD0_FDST_SECTIONS)) {
        // The new records join the content; the last content record is changed only in headers
        // that go on past it to the section count, as MOBI 6 headers do.
        uint32_t last = ReadField(r, RECORD0_LAST_CONTENT);
        if (last != 0xFFFF && last + 1 >= insertAt && last + count <= 0xFFFF)
            WriteField(record0, RECORD0_LAST_CONTENT, last + count);
    }
}
