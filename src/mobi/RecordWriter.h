// Record layouts shared by every Kindle file writer: the PalmDB container, record 0 and the
// fixed FLIS, FCIS and end-of-file records.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"
#include "mobi/MobiPart.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CRunLog;

// A fresh 78-byte PalmDB header: the name (at most 31 bytes, NUL-terminated), type "BOOK", creator
// "MOBI"; attributes, dates and every other field 0.
std::string MakePalmDbHeader(const std::string& name);

// Everything in front of the first record: header (78 bytes, kept as given but for its record
// count), the record list with unique ids 0, 2, 4, ... and two zero bytes. RC_FILE_WRITE_FAILED
// (logged) when there are no records, more than 65,535, or the file would pass 4 GiB.
ResultCode MakePalmDbHead(std::string header, const std::vector<uint64_t>& recordSizes, CRunLog* log,
                          std::string& head);

std::string MakeFlisRecord();
std::string MakeFcisRecord(uint32_t textLength);
std::string MakeEofRecord();

// "kindle:embed:" and a resource number counted from 1, as four base-32 digits.
std::string KindleEmbedReference(uint32_t number);

// Which part of which kind of file a record set is for.
enum class MobiPartKind { Kf7Only, Kf8Only, JointKf7, JointKf8 };

// A part's text records back to back in one block, so that the text becomes its records in place
// instead of being copied into them.
struct TextRecords {
    std::string m_Block;
    std::vector<size_t> m_Ends; // where each record ends in m_Block; the padding record included
    std::string m_SpillPath;    // when set, the block waits in this file and m_Block is empty

    size_t Count() const { return m_Ends.size(); }
    size_t Start(size_t i) const { return i == 0 ? 0 : m_Ends[i - 1]; }
    std::string_view Record(size_t i) const
    {
        return std::string_view(m_Block).substr(Start(i), m_Ends[i] - Start(i));
    }
};

// One part of a Kindle file as records, in the order the file lays them out.
struct MobiPartRecords {
    std::string m_Record0;
    TextRecords m_TextRecords;
    std::vector<std::string> m_IndexRecords;
    std::vector<std::string> m_ResourceRecords; // empty for the KF8 part of a joint file
    std::vector<std::string> m_MiscRecords;     // FDST when there are flows, FLIS, FCIS
};

// Pieces of 4,096 bytes, each followed by the bytes that complete its last UTF-8 character and
// their count; then, when the records do not add up to a multiple of 4, a record of zero bytes.
TextRecords MakeTextRecords(std::string text);
// Moves the block into the file at path, where MakeFile reads it back as it writes, so that one
// part need not stay in memory while the next is made. False (the block stays) when it cannot.
bool SpillTextRecords(TextRecords& records, const std::string& path);

// The records of one part: text records, record 0 (headers, EXTH block from metadata with the
// cover and joint-file values added, full name), FDST, FLIS and FCIS. coverIndex: the cover's
// number among the resource records (its thumbnail the next one), -1 without one. The cover,
// KF8 cover, boundary and resource-count EXTH values are the writer's: any the metadata brings
// are dropped. RC_FILE_WRITE_FAILED when a count or offset does not fit its field.
ResultCode MakeRecord(MobiPartKind kind, MobiPartText&& text, std::vector<std::string>&& resourceRecords,
                      int32_t coverIndex, MetaDataMap metadata, CRunLog* log, MobiPartRecords& part);

// Lays out one part, or a joint file's KF7 part, "BOUNDARY" and KF8 part, with the end-of-file
// record, and writes it to path only when complete (a temporary file beside it moved into place).
ResultCode MakeFile(const std::string& path, std::vector<MobiPartRecords>& parts, CRunLog* log);
