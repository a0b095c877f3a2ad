// Writing index records (primary INDX with TAGX, index data records, CNCX strings) in the layout
// the readers of Index.h take back.
#pragma once

#include "mobi/Index.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

constexpr size_t INDEX_HEAD_SIZE = 192;
// Entries plus IDXT offsets of one index data record stay within this, so every 2-byte entry
// offset still fits after the 192-byte head.
constexpr size_t INDEX_DATA_LIMIT = 64296;
constexpr size_t CNCX_RECORD_LIMIT = 64512;
constexpr uint32_t INDEX_TEXT_ENCODING = 65001;

// A reader in use (libmobi's) refuses the whole book when an index's strings take more than 16
// CNCX records; labels are cut to stay within this many.
constexpr size_t MAX_CNCX_RECORDS = 15;

// Cuts the labels, at a character boundary, so that the strings of the index fit MAX_CNCX_RECORDS;
// every label keeps at least its first character. The number of labels cut.
size_t FitLabelsToCncx(std::vector<NcxEntry>& entries);

// The strings of one index; equal strings share one copy.
class CCncxWriter
{
  public:
    // CNCX offset of the string: record number × 65,536 + position in that record.
    uint32_t Add(const std::string& text);
    const std::vector<std::string>& Records() const { return m_Records; }

  private:
    std::vector<std::string> m_Records;
    std::unordered_map<std::string, uint32_t> m_Offsets;
};

struct TagValues {
    uint8_t m_Tag;
    // A multiple of the tag's values per entry; each group is one occurrence of the tag.
    std::vector<int64_t> m_Values;
};

class CIndexWriter
{
  public:
    // tags: the tag table as stored, end-flag entries included.
    explicit CIndexWriter(std::vector<TagEntry> tags) : m_Tags(std::move(tags)) {}

    // Tags missing from the entry are left out of its control byte; values follow the table order.
    void AddEntry(const std::string& key, const std::vector<TagValues>& tags);
    // Primary record, then the index data records, then the CNCX records (if a writer is given).
    void Finish(const CCncxWriter* cncx, std::vector<std::string>& records) const;
    size_t EntryCount() const { return m_EntryCount; }

    // The entry forms of the written indexes. Children and parent of an NCX entry are written only
    // when they are not -1; a KF8 NCX entry also carries tag 6.
    void AddNcxEntry(const NcxEntry& entry, uint32_t labelOffset, bool kf8);
    void AddSkeletonEntry(const std::string& key, uint32_t fragmentCount, uint32_t startOffset,
                          uint32_t length);
    void AddFragmentEntry(uint32_t insertPosition, uint32_t selectorOffset, uint32_t fileNumber,
                          uint32_t sequenceNumber, uint32_t startOffset, uint32_t length);
    void AddGuideEntry(const std::string& type, uint32_t titleOffset, uint32_t fragmentNumber,
                       uint32_t offset);

  private:
    struct DataRecord {
        std::string m_Entries;
        std::vector<uint16_t> m_Offsets; // from the end of the 192-byte head
        std::string m_LastKey;
    };

    std::vector<TagEntry> m_Tags;
    std::vector<DataRecord> m_Records;
    size_t m_EntryCount = 0;
};
