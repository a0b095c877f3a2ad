// INDX/TAGX/IDXT/CNCX index records: the tag tables and the readers of the four index kinds.
#pragma once

#include "base/ResultCode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CRunLog;
class CPalmDb;

struct TagEntry {
    uint8_t tag;
    uint8_t valueCount;
    uint8_t mask;
    uint8_t endFlag;
};

// The tag tables every written index uses (end-flag entries included, as they are stored).
extern const std::vector<TagEntry> NCX_MOBI6_TAGS;
extern const std::vector<TagEntry> NCX_KF8_TAGS;
extern const std::vector<TagEntry> FRAGMENT_TAGS;
extern const std::vector<TagEntry> SKELETON_TAGS;
extern const std::vector<TagEntry> GUIDE_TAGS;

// The control bytes the fixed-layout readers expect, which the written tables produce.
constexpr uint8_t SKELETON_CONTROL_BYTE = 0x0A;
constexpr uint8_t FRAGMENT_CONTROL_BYTE = 0x0F;
constexpr uint8_t GUIDE_CONTROL_BYTE = 0x03;

struct SkelEntry {
    int32_t m_Number = 0;
    std::string m_Key;
    uint32_t m_FragmentCount = 0;
    uint32_t m_StartOffset = 0;
    uint32_t m_Length = 0;
};

struct ChunkEntry {
    uint32_t m_InsertPosition = 0;
    std::string m_Selector;
    uint32_t m_FileNumber = 0;
    uint32_t m_SequenceNumber = 0;
    uint32_t m_StartOffset = 0;
    uint32_t m_Length = 0;
    uint32_t m_SelectorOffset = 0; // CNCX offset
    bool m_HasSelector = false;
};

struct GuideEntry {
    std::string m_Type;
    std::string m_Title;
    uint32_t m_TitleOffset = 0; // CNCX offset
    uint32_t m_FragmentNumber = 0;
    uint32_t m_Offset = 0;
    bool m_HasTitle = false;
};

struct NcxEntry {
    std::string m_Key;
    // An entry without tags 1, 2 or 4 reads as offset 0, length 0, depth 0; one without tag 3 has no label.
    int32_t m_TextOffset = 0;
    int32_t m_Length = 0;
    int64_t m_LabelOffset = -1; // CNCX offset, -1 = none
    int32_t m_Depth = 0;
    int32_t m_Parent = -1;
    int32_t m_FirstChild = -1;
    int32_t m_LastChild = -1;
    int32_t m_FragmentNumber = -1;
    int32_t m_FragmentOffset = -1;
    std::string m_Label;
    bool m_HasLabel = false;
};

// One CNCX string at a CNCX offset (high 16 bits: record, low 16 bits: position); false when the
// offset or the string's length falls outside the records.
bool ReadCncxString(const std::vector<std::string>& records, uint32_t offset, std::string& text);

class CIndex
{
  public:
    explicit CIndex(CRunLog* log = nullptr) : m_Log(log) {}
    virtual ~CIndex() = default;
    CIndex(const CIndex&) = delete;
    CIndex& operator=(const CIndex&) = delete;

    // One entry's bytes (key, control bytes, tag values): appends one entry or logs and drops it.
    virtual void GetItemOne(const uint8_t* entry, size_t length);
    virtual size_t EntryCount() const { return 0; }
    virtual void Clear() {}

    // Reads the primary INDX record at the part-relative record number, the data records after it
    // and the CNCX records after those. Only faults of the primary record are errors.
    ResultCode Read(const CPalmDb& db, uint32_t baseRecord, uint32_t record);
    // The same over records already in memory (primary, data records, then CNCX records).
    ResultCode ReadRecords(const std::vector<std::string>& records);

    void SetLog(CRunLog* log) { m_Log = log; }
    uint32_t ControlByteCount() const { return m_ControlByteCount; }
    uint32_t CncxRecordCount() const { return m_CncxCount; }
    // Record number (part-relative) of the last index data record read.
    uint32_t LastDataRecord() const { return m_LastDataRecord; }

  protected:
    // CNCX offset of entry i, or -1 when it has no string; the reader stores the string it gets.
    virtual int64_t CncxOffsetOf(size_t) const { return -1; }
    virtual void SetCncxText(size_t, std::string&&) {}

    // The key (length byte and bytes); false when the entry is shorter than the key claims.
    static bool ReadKey(const uint8_t* entry, size_t length, size_t& position, std::string& key);

    CRunLog* m_Log;
    uint32_t m_ControlByteCount = 0;
    std::vector<TagEntry> m_TagTable1;
    std::vector<TagEntry> m_TagTable2;

  private:
    ResultCode ParsePrimary(const std::string& primary, uint32_t& dataCount);
    void ParseDataRecord(const std::string& record);
    void FillTexts(const std::vector<std::string>& cncx);

    uint32_t m_CncxCount = 0;
    uint32_t m_LastDataRecord = 0;
};

class CSkelIndex : public CIndex
{
  public:
    using CIndex::CIndex;
    void GetItemOne(const uint8_t* entry, size_t length) override;
    size_t EntryCount() const override { return m_Entries.size(); }
    void Clear() override { m_Entries.clear(); }
    std::vector<SkelEntry> m_Entries;
};

class CChunkIndex : public CIndex
{
  public:
    using CIndex::CIndex;
    void GetItemOne(const uint8_t* entry, size_t length) override;
    size_t EntryCount() const override { return m_Entries.size(); }
    void Clear() override { m_Entries.clear(); }
    std::vector<ChunkEntry> m_Entries;

  protected:
    int64_t CncxOffsetOf(size_t i) const override { return m_Entries[i].m_SelectorOffset; }
    void SetCncxText(size_t i, std::string&& text) override;
};

class CGuideIndex : public CIndex
{
  public:
    using CIndex::CIndex;
    void GetItemOne(const uint8_t* entry, size_t length) override;
    size_t EntryCount() const override { return m_Entries.size(); }
    void Clear() override { m_Entries.clear(); }
    std::vector<GuideEntry> m_Entries;

  protected:
    int64_t CncxOffsetOf(size_t i) const override { return m_Entries[i].m_TitleOffset; }
    void SetCncxText(size_t i, std::string&& text) override;
};

class CNcxIndexMobi : public CIndex
{
  public:
    using CIndex::CIndex;
    void GetItemOne(const uint8_t* entry, size_t length) override;
    size_t EntryCount() const override { return m_Entries.size(); }
    void Clear() override { m_Entries.clear(); }
    std::vector<NcxEntry> m_Entries;

  protected:
    int64_t CncxOffsetOf(size_t i) const override { return m_Entries[i].m_LabelOffset; }
    void SetCncxText(size_t i, std::string&& text) override;
};
