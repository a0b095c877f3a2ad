// Where each field of a Kindle part's record 0 lies: the PalmDOC header, then the MOBI header that
// starts at 0x10 and whose length field says how many of the later fields a book has. The reader,
// the record writer and the in-place metadata rewrite all find their fields here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CByteReader;

struct Record0Field {
    size_t m_Offset;            // from the start of record 0
    size_t m_Width;             // 2 or 4 bytes, big-endian
    uint32_t m_MinHeaderLength; // the shortest MOBI header length that holds it; 0: PalmDOC header
    const char* m_Name;
};

constexpr size_t MOBI_HEADER_START = 0x10;

// clang-format off
//                                                   offset width header name
constexpr Record0Field RECORD0_COMPRESSION          {0x00,  2,    0,     "compression"};
constexpr Record0Field RECORD0_TEXT_LENGTH          {0x04,  4,    0,     "text length"};
constexpr Record0Field RECORD0_TEXT_RECORD_COUNT    {0x08,  2,    0,     "text record count"};
constexpr Record0Field RECORD0_TEXT_RECORD_SIZE     {0x0A,  2,    0,     "text record size"};
constexpr Record0Field RECORD0_ENCRYPTION           {0x0C,  2,    0,     "encryption"};
constexpr Record0Field RECORD0_MAGIC                {0x10,  4,    0x04,  "identifier \"MOBI\""};
constexpr Record0Field RECORD0_HEADER_LENGTH        {0x14,  4,    0x08,  "MOBI header length"};
constexpr Record0Field RECORD0_MOBI_TYPE            {0x18,  4,    0x0C,  "MOBI type"};
constexpr Record0Field RECORD0_TEXT_ENCODING        {0x1C,  4,    0x10,  "text encoding"};
constexpr Record0Field RECORD0_FILE_VERSION         {0x24,  4,    0x18,  "file version"};
constexpr Record0Field RECORD0_ORTHOGRAPHIC_INDEX   {0x28,  4,    0x1C,  "orthographic index"};
constexpr Record0Field RECORD0_INFLECTION_INDEX     {0x2C,  4,    0x20,  "inflection index"};
constexpr Record0Field RECORD0_INDEX_NAMES          {0x30,  4,    0x24,  "index names"};
constexpr Record0Field RECORD0_INDEX_KEYS           {0x34,  4,    0x28,  "index keys"};
constexpr Record0Field RECORD0_EXTRA_INDEX_0        {0x38,  4,    0x2C,  "extra index 0"};
constexpr Record0Field RECORD0_EXTRA_INDEX_1        {0x3C,  4,    0x30,  "extra index 1"};
constexpr Record0Field RECORD0_EXTRA_INDEX_2        {0x40,  4,    0x34,  "extra index 2"};
constexpr Record0Field RECORD0_EXTRA_INDEX_3        {0x44,  4,    0x38,  "extra index 3"};
constexpr Record0Field RECORD0_EXTRA_INDEX_4        {0x48,  4,    0x3C,  "extra index 4"};
constexpr Record0Field RECORD0_EXTRA_INDEX_5        {0x4C,  4,    0x40,  "extra index 5"};
constexpr Record0Field RECORD0_FIRST_NON_BOOK       {0x50,  4,    0x44,  "first non-book record"};
constexpr Record0Field RECORD0_FULL_NAME_OFFSET     {0x54,  4,    0x48,  "full name offset"};
constexpr Record0Field RECORD0_FULL_NAME_LENGTH     {0x58,  4,    0x4C,  "full name length"};
constexpr Record0Field RECORD0_LOCALE               {0x5C,  4,    0x50,  "locale"};
constexpr Record0Field RECORD0_MIN_VERSION          {0x68,  4,    0x5C,  "minimum reader version"};
constexpr Record0Field RECORD0_FIRST_RESOURCE       {0x6C,  4,    0x60,  "first resource record"};
constexpr Record0Field RECORD0_HUFF_RECORD          {0x70,  4,    0x64,  "HUFF record"};
constexpr Record0Field RECORD0_HUFF_RECORD_COUNT    {0x74,  4,    0x68,  "HUFF and CDIC record count"};
constexpr Record0Field RECORD0_EXTH_FLAGS           {0x80,  4,    0x74,  "EXTH flags"};
constexpr Record0Field RECORD0_UNUSED_A4            {0xA4,  4,    0x98,  "unused, no record"};
constexpr Record0Field RECORD0_DRM_OFFSET           {0xA8,  4,    0x9C,  "DRM offset"};
// KF8 keeps its FDST record where MOBI 6 keeps its first and last content record.
constexpr Record0Field RECORD0_FDST_RECORD          {0xC0,  4,    0xB4,  "FDST record (KF8)"};
constexpr Record0Field RECORD0_FIRST_CONTENT        {0xC0,  2,    0xB2,  "first content record (MOBI 6)"};
constexpr Record0Field RECORD0_LAST_CONTENT         {0xC2,  2,    0xB4,  "last content record (MOBI 6)"};
constexpr Record0Field RECORD0_FDST_SECTIONS        {0xC4,  4,    0xB8,  "FDST section count; 1 in MOBI 6"};
constexpr Record0Field RECORD0_FCIS_RECORD          {0xC8,  4,    0xBC,  "FCIS record"};
constexpr Record0Field RECORD0_FCIS_COUNT           {0xCC,  4,    0xC0,  "FCIS record count"};
constexpr Record0Field RECORD0_FLIS_RECORD          {0xD0,  4,    0xC4,  "FLIS record"};
constexpr Record0Field RECORD0_FLIS_COUNT           {0xD4,  4,    0xC8,  "FLIS record count"};
constexpr Record0Field RECORD0_SRCS_RECORD          {0xE0,  4,    0xD4,  "SRCS record"};
constexpr Record0Field RECORD0_UNUSED_E8            {0xE8,  4,    0xDC,  "unused, no record"};
constexpr Record0Field RECORD0_UNUSED_EC            {0xEC,  4,    0xE0,  "unused, no record"};
constexpr Record0Field RECORD0_EXTRA_DATA_FLAGS     {0xF2,  2,    0xE4,  "extra data flags"};
constexpr Record0Field RECORD0_NCX_INDEX            {0xF4,  4,    0xE8,  "NCX index"};
constexpr Record0Field RECORD0_FRAGMENT_INDEX       {0xF8,  4,    0xEC,  "fragment (chunk) index"};
constexpr Record0Field RECORD0_SKELETON_INDEX       {0xFC,  4,    0xF0,  "skeleton index"};
constexpr Record0Field RECORD0_DATP_RECORD          {0x100, 4,    0xF4,  "DATP record"};
constexpr Record0Field RECORD0_GUIDE_INDEX          {0x104, 4,    0xF8,  "guide index"};
constexpr Record0Field RECORD0_UNUSED_108           {0x108, 4,    0xFC,  "unused, no record"};
constexpr Record0Field RECORD0_UNUSED_110           {0x110, 4,    0x104, "unused, no record"};
// clang-format on

// Every field above, in record order.
constexpr const Record0Field* RECORD0_LAYOUT[] = {
    &RECORD0_COMPRESSION,       &RECORD0_TEXT_LENGTH,        &RECORD0_TEXT_RECORD_COUNT,
    &RECORD0_TEXT_RECORD_SIZE,  &RECORD0_ENCRYPTION,         &RECORD0_MAGIC,
    &RECORD0_HEADER_LENGTH,     &RECORD0_MOBI_TYPE,          &RECORD0_TEXT_ENCODING,
    &RECORD0_FILE_VERSION,      &RECORD0_ORTHOGRAPHIC_INDEX, &RECORD0_INFLECTION_INDEX,
    &RECORD0_INDEX_NAMES,       &RECORD0_INDEX_KEYS,         &RECORD0_EXTRA_INDEX_0,
    &RECORD0_EXTRA_INDEX_1,     &RECORD0_EXTRA_INDEX_2,      &RECORD0_EXTRA_INDEX_3,
    &RECORD0_EXTRA_INDEX_4,     &RECORD0_EXTRA_INDEX_5,      &RECORD0_FIRST_NON_BOOK,
    &RECORD0_FULL_NAME_OFFSET,  &RECORD0_FULL_NAME_LENGTH,   &RECORD0_LOCALE,
    &RECORD0_MIN_VERSION,       &RECORD0_FIRST_RESOURCE,     &RECORD0_HUFF_RECORD,
    &RECORD0_HUFF_RECORD_COUNT, &RECORD0_EXTH_FLAGS,         &RECORD0_UNUSED_A4,
    &RECORD0_DRM_OFFSET,        &RECORD0_FDST_RECORD,        &RECORD0_FIRST_CONTENT,
    &RECORD0_LAST_CONTENT,      &RECORD0_FDST_SECTIONS,      &RECORD0_FCIS_RECORD,
    &RECORD0_FCIS_COUNT,        &RECORD0_FLIS_RECORD,        &RECORD0_FLIS_COUNT,
    &RECORD0_SRCS_RECORD,       &RECORD0_UNUSED_E8,          &RECORD0_UNUSED_EC,
    &RECORD0_EXTRA_DATA_FLAGS,  &RECORD0_NCX_INDEX,          &RECORD0_FRAGMENT_INDEX,
    &RECORD0_SKELETON_INDEX,    &RECORD0_DATP_RECORD,        &RECORD0_GUIDE_INDEX,
    &RECORD0_UNUSED_108,        &RECORD0_UNUSED_110};

// A header length that holds a field ends at or past the field's last byte, so a mistyped
// offset, width or length in the table above does not build.
constexpr bool Record0LayoutAgrees()
{
    for (const Record0Field* f : RECORD0_LAYOUT) {
        if (f->m_Width != 2 && f->m_Width != 4) return false;
        const size_t end = f->m_Offset + f->m_Width;
        if (f->m_Offset < MOBI_HEADER_START ? f->m_MinHeaderLength != 0 || end > MOBI_HEADER_START
                                            : f->m_MinHeaderLength != end - MOBI_HEADER_START)
            return false;
    }
    return true;
}
static_assert(Record0LayoutAgrees(), "record 0 layout: a field's minimum header length must end with it");

// Text encodings.
constexpr uint32_t CODE_PAGE_WINDOWS_1252 = 1252;
constexpr uint32_t CODE_PAGE_UTF8 = 65001;
// EXTH flags bit: an EXTH block follows the MOBI header.
constexpr uint32_t RECORD0_HAS_EXTH = 0x40;
// Record 0 ends with its full name, two zero bytes and zero bytes up to a multiple of this.
constexpr size_t RECORD0_ALIGNMENT = 1024;

// A MOBI header of headerLength bytes has the field.
inline bool HeaderHolds(uint32_t headerLength, const Record0Field& field)
{
    return headerLength >= field.m_MinHeaderLength;
}
// The record's bytes reach past the field.
inline bool RecordHolds(const std::string& record0, const Record0Field& field)
{
    return field.m_Offset + field.m_Width <= record0.size();
}

// The field's value as r reads it (0, and r failed, when r is too short).
uint32_t ReadField(CByteReader& r, const Record0Field& field);
// Overwrites a field record0 already has room for.
void WriteField(std::string& record0, const Record0Field& field, uint32_t value);
// Appends the full name, with its offset and length written into the header, two zero bytes
// after it for readers that take it as a C string, and the padding up to RECORD0_ALIGNMENT.
void AppendFullName(std::string& record0, const std::string& fullName);
