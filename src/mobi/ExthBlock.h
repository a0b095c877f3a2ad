// The EXTH block of a record 0 as the record writer and the in-place rewrite both write it.
#pragma once

#include "base/IntermediateBook.h"

#include <cstdint>
#include <set>
#include <string>

// One EXTH record per value of every key that names an EXTH type, keys in byte order, then 2 to 5
// zero bytes of padding that the block length includes. Keys in skip are left out. Text a reader
// shows goes through ExthOutputText; cp1252: the part's text is Windows-1252, not UTF-8.
std::string MakeExthBlock(const MetaDataMap& metadata, const std::set<std::string>& skip = {},
                          bool cp1252 = false);
// The EXTH block of a record 0: every key but the cover and thumbnail file names and the locale,
// which the book model keeps beside its EXTH values and record 0 holds elsewhere.
std::string MakeRecord0ExthBlock(const MetaDataMap& metadata, bool cp1252 = false);
// A value as an EXTH record of this type (503 for the full name too) carries it: in the text types
// readers show, character references a package escaped twice ("&#x27;") become the character;
// other types, binary numbers among them, stay byte for byte.
std::string ExthOutputText(int32_t type, const std::string& value, bool cp1252 = false);

// A 4-byte EXTH value (big-endian) as the metadata map holds it.
std::string ExthNumber(uint32_t value);
