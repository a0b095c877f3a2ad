// Rewriting a Kindle file's record 0 in place: a new EXTH block and full name, and the record
// numbers that move when records are inserted into the part.
#pragma once

#include "base/IntermediateBook.h"

#include <cstdint>
#include <string>

// Record 0 up to the end of its MOBI header, then the EXTH block made from metadata, the bytes the
// old record held between its EXTH block and its full name, the full name (offset and length
// fields updated, at least two zero bytes after it) and zero bytes up to a multiple of 1024. A
// new language tag (empty: none) sets the header's locale too. False when the old record is too
// short for its MOBI header.
bool RebuildRecord0(const std::string& old, const MetaDataMap& metadata, const std::string& fullName,
                    const std::string& newLanguage, std::string& rebuilt);

// Every part-relative record number field of record 0 at or past insertAt grows by count; a first
// image record that is unset becomes insertAt. MOBI 6 headers also widen their last content record.
void ShiftRecordNumbers(std::string& record0, uint32_t insertAt, uint32_t count);
