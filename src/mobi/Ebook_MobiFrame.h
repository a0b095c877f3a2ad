// MOBI 6, KF8 and joint Kindle files: opening and checking, metadata in and out, and the choice of
// the text reader.
#pragma once

#include "base/Ebook.h"
#include "base/Files.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiResources.h"
#include "mobi/PalmDb.h"
#include "mobi/RecordWriter.h"

#include <string>

class CEbookMobiFrame : public CEbook
{
  public:
    ~CEbookMobiFrame() override;
    ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx) override;
    ResultCode SetMetaData(const std::string& inputFile, SetMetaContext& ctx) override;
    ResultCode Convert_Input(const std::string& inputFile, ConvertInputContext& ctx) override;
    ResultCode Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx) override;
    CIntermediateBook* GetIntermediateBook() override;

  private:
    ResultCode OpenAndCheck(const std::string& inputFile);
    ResultCode CheckEncryption() const;
    bool HasKf8Part() const;
    // Writes the part's cover (or thumbnail) record to path when it is an image; found tells.
    ResultCode ExtractCover(CMobiHeader& header, const std::string& path, bool& found);
    // Text, resources and indexes of one part, then its HTML files. resources: the part whose
    // unpacked files the text refers to.
    ResultCode DecodePart(CMobiHeader& header, CMobiHeader& resources, const std::string& tempDirectory);
    void Close();
    // The KF8 or MOBI 6 record set of the book in part's IntermediateBook.
    ResultCode MakeKf8Records(CMobiHeader& part, MobiPartKind kind, CMobiResources& resources,
                              const std::string& tempDirectory, bool vertical, MobiPartRecords& records);
    ResultCode MakeKf7Records(CMobiHeader& part, MobiPartKind kind, CMobiResources& resources,
                              const std::string& tempDirectory, MobiPartRecords& records);
    // True when the first part's resource at offset is an image record of the part.
    bool IsImageRecord(int64_t offset) const;
    // Where added images go: after the first part's resource records.
    uint32_t ImageInsertPosition() const;
    void StoreNewValues(CMobiHeader& part, const MetaDataMap& values);
    // EXTH cover, thumbnail, resource count, KF8 cover and boundary values for two records added at
    // the first part's resource offset.
    void PointPartsAtNewCover(uint32_t offset, bool kf8);
    // A cover or thumbnail offset of the book that names no image record is not kept.
    void DropOffsetsOfNoImage();
    ResultCode WriteRewrittenFile(const std::string& path, const std::string& record0, uint32_t kf8Base,
                                  const std::string& kf8Record0, uint32_t insertAt, const std::string& cover,
                                  const std::string& thumb);

    // Declared in this order so the headers go before the database and the database before the file.
    CFile m_File;
    CPalmDb m_Db;
    CMobiHeader m_MobiHeader;
    CMobiHeader m_MobiHeaderKF8;
    bool m_Joint = false;
    bool m_Normalised = false;
};
