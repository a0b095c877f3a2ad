// Record layouts shared by every Kindle file writer: the PalmDB container, the EXTH block and the
// fixed FLIS, FCIS and end-of-file records.
#pragma once

#include "base/IntermediateBook.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// The whole PalmDB file: header (name, "BOOK", "MOBI", record count), the record list with unique
// ids 0, 2, 4, ..., two zero bytes, then the records. False when the records cannot be addressed
// (more than 65,535 records or a file past 4 GB).
bool MakePalmDbFile(const std::string& name, const std::vector<std::string>& records, std::string& file);

// One EXTH record per value of every key that names an EXTH type, keys in byte order, then 2 to 5
// zero bytes of padding that the block length includes. Keys in skip are left out.
std::string MakeExthBlock(const MetaDataMap& metadata, const std::set<std::string>& skip = {});

std::string MakeFlisRecord();
std::string MakeFcisRecord(uint32_t textLength);
std::string MakeEofRecord();
