// Reading and writing record 0 fields by their place in the layout table.
#include "mobi/RecordLayout.h"

#include "mobi/ByteIO.h"

uint32_t ReadField(CByteReader& r, const Record0Field& field)
{
    return field.m_Width == 2 ? r.U16At(field.m_Offset) : r.U32At(field.m_Offset);
}

void WriteField(std::string& record0, const Record0Field& field, uint32_t value)
{
    if (field.m_Width == 2)
        PutU16At(record0, field.m_Offset, value);
    else
        PutU32At(record0, field.m_Offset, value);
}

void AppendFullName(std::string& record0, const std::string& fullName)
{
    WriteField(record0, RECORD0_FULL_NAME_OFFSET, static_cast<uint32_t>(record0.size()));
    WriteField(record0, RECORD0_FULL_NAME_LENGTH, static_cast<uint32_t>(fullName.size()));
    record0 += fullName;
    // Readers that take the full name as a C string find its end even when the padding is short.
    record0.append(2, '\0');
    record0.append((RECORD0_ALIGNMENT - record0.size() % RECORD0_ALIGNMENT) % RECORD0_ALIGNMENT, '\0');
}
