// One book part of a Kindle file: record 0 (PalmDOC and MOBI headers, EXTH metadata), its text,
// its resource records and its indexes.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"
#include "mobi/Index.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CPalmDb;
class CRunLog;

constexpr uint16_t COMPRESSION_NONE = 1;
constexpr uint16_t COMPRESSION_PALMDOC = 2;
constexpr uint16_t COMPRESSION_HUFF_CDIC = 17480;
constexpr uint32_t NO_RECORD = 0xFFFFFFFFu;

// Record 0 fields as read; an optional field the header is too short for reads as NO_RECORD
// (index records and FDST) or 0 (extra data flags).
struct MobiHeaderFields {
    uint16_t m_Compression = 0;
    uint32_t m_TextLength = 0;
    uint16_t m_TextRecordCount = 0;
    uint16_t m_Encryption = 0;
    uint32_t m_HeaderLength = 0; // counted from offset 0x10
    uint32_t m_TextEncoding = 0;
    uint32_t m_FileVersion = 0;
    uint32_t m_FullNameOffset = NO_RECORD;
    uint32_t m_FullNameLength = 0;
    uint32_t m_Locale = 0;
    uint32_t m_MinimumVersion = 0;
    uint32_t m_FirstResource = NO_RECORD;
    uint32_t m_HuffRecord = 0;
    uint32_t m_HuffRecordCount = 0;
    uint32_t m_ExthFlags = 0;
    uint32_t m_Fdst = NO_RECORD;
    uint16_t m_ExtraDataFlags = 0;
    uint32_t m_Ncx = NO_RECORD;
    uint32_t m_Chunk = NO_RECORD;
    uint32_t m_Skel = NO_RECORD;
    uint32_t m_Guide = NO_RECORD;
};

// True when the first bytes of a record mark a structural record, not an image.
bool IsNonImageMagic(const std::string& record);

class CMobiHeader
{
  public:
    CMobiHeader();

    // Reads the part's record 0 (the database's record baseRecord) and parses it. The database
    // stays owned by the caller and must outlive every later call.
    ResultCode Init(const CPalmDb& db, uint32_t baseRecord, CRunLog* log);
    // On the first part: the record number of the KF8 part's record 0, or -1 when the file has none.
    // Found, it ends this part two records before it.
    int64_t FindKf8Boundary();
    ResultCode GetMobiHeader();
    // Decodes the text records into m_Text. An AZW4 print replica's PDF is written as "content.pdf"
    // into the output directory (ends with a separator) and gives the notice RC_AZW4_UNPACKED.
    ResultCode UnpackTextRecord(const std::string& outputDirectory);
    ResultCode UnpackAllRecord(const std::string& outputDirectory);
    ResultCode GetIndexRecord();
    // Writes the cover (or thumbnail) record to path; RC_OK without writing when the book has none.
    ResultCode GetCoverImage(const std::string& path);

    const MobiHeaderFields& Fields() const { return m_Fields; }
    bool IsKf8() const { return m_IsKf8; }
    bool IsCp1252() const { return m_IsCp1252; }
    bool IsAzw4() const { return m_IsAzw4; }
    uint32_t BaseRecord() const { return m_BaseRecord; }
    uint32_t LastRecord() const { return m_LastRecord; }
    int64_t FirstResourceRecord() const { return m_FirstResourceRecord; }
    int64_t CoverOffset() const { return m_CoverOffset; }
    int64_t ThumbOffset() const { return m_ThumbOffset; }
    void SetLog(CRunLog* log);
    const CPalmDb* Database() const { return m_Db; }
    // A record numbered from this part's record 0 (the FDST record, say); read whole.
    ResultCode ReadPartRecord(uint32_t relative, std::string& bytes) const;

    std::string m_Text;
    std::string m_Record0;
    std::string m_FullName;
    CIntermediateBook m_Book; // this part's metadata, NavPoints and GuideItems
    CNcxIndexMobi m_NcxIndex;
    CChunkIndex m_ChunkIndex;
    CSkelIndex m_SkelIndex;
    CGuideIndex m_GuideIndex;
    std::vector<uint32_t> m_RecordsToUnpack;
    std::vector<std::string> m_ResourceFiles;     // names written by UnpackAllRecord, in record order
    std::map<int64_t, std::string> m_ResourceMap; // resource number -> file name

  private:
    ResultCode ParseExth(uint32_t exthOffset);
    ResultCode DecodeText(const std::string& outputDirectory);
    ResultCode ExtractPdf(const std::string& outputDirectory);
    bool ContainerHoldsImages(const std::string& record, uint32_t recordNumber);
    void WriteResource(const std::string& outputDirectory, const std::string& name, int64_t number,
                       const char* data, size_t size, bool trim);
    void MakeNavPoints();
    void MakeGuideItems();

    const CPalmDb* m_Db = nullptr;
    CRunLog* m_Log = nullptr;
    MobiHeaderFields m_Fields;
    uint32_t m_RecordCount = 0;
    uint32_t m_BaseRecord = 0;
    uint32_t m_LastRecord = 0;
    int64_t m_FirstResourceRecord = -1;
    int64_t m_CoverOffset = -1;
    int64_t m_ThumbOffset = -1;
    bool m_IsKf8 = false;
    bool m_IsCp1252 = false;
    bool m_IsAzw4 = false;
    int64_t m_Kf8Boundary = -1;
};

// Opening a Kindle file once its PalmDB header is read: the first part from record 0, the KF8 part
// of a joint file (joint is set), then the end-of-file record check.
ResultCode OpenMobiParts(const CPalmDb& db, CMobiHeader& first, CMobiHeader& kf8, bool& joint, CRunLog* log);
