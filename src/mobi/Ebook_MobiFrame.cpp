// The Kindle file handler: every operation opens and checks the container itself and closes it
// before returning.
#include "mobi/Ebook_MobiFrame.h"

#include "base/Charset.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "mobi/Ebook_Azw3.h"
#include "mobi/Ebook_Prc.h"

#include <memory>

CEbookMobiFrame::~CEbookMobiFrame() = default;

void CEbookMobiFrame::Close() { m_File.Close(); }

ResultCode CEbookMobiFrame::OpenAndCheck(const std::string& inputFile)
{
    m_File.Close();
    m_Joint = false;
    m_Normalised = false;
    ResultCode rc = m_File.Open(inputFile, false, false);
    if (rc != RC_OK) return rc;
    rc = m_Db.Open(m_File, m_Log);
    if (rc == RC_OK) rc = OpenMobiParts(m_Db, m_MobiHeader, m_MobiHeaderKF8, m_Joint, m_Log);
    return rc;
}

ResultCode CEbookMobiFrame::CheckEncryption() const
{
    uint16_t encryption = m_MobiHeader.Fields().m_Encryption;
    if (encryption == 1 || encryption == 2) {
        TARVO_LOG(m_Log, LOG_ERROR, "encryption type %u", encryption);
        return RC_DRM_KINDLE;
    }
    return RC_OK;
}

bool CEbookMobiFrame::HasKf8Part() const { return m_Joint && m_MobiHeaderKF8.Fields().m_TextRecordCount > 0; }

ResultCode CEbookMobiFrame::ExtractCover(CMobiHeader& header, const std::string& path, bool& found)
{
    found = false;
    int64_t offset = header.CoverOffset() != -1 ? header.CoverOffset() : header.ThumbOffset();
    if (offset < 0 || header.FirstResourceRecord() < 0) return RC_OK;
    int64_t record = header.FirstResourceRecord() + offset;
    // The last record of a file is its end-of-file mark, never content.
    if (record > int64_t(header.LastRecord()) || record + 1 >= int64_t(m_Db.RecordCount())) return RC_OK;
    std::string bytes;
    ResultCode rc = m_Db.ReadRecord(static_cast<uint32_t>(record), bytes);
    if (rc != RC_OK) return rc;
    std::string type = ImageTypeOf(bytes);
    if (type.empty()) {
        TARVO_LOG(m_Log, LOG_WARNING, "cover record %lld is no image", static_cast<long long>(record));
        return RC_OK;
    }
    rc = WriteWholeFile(path, bytes);
    if (rc != RC_OK) return rc;
    header.m_Book.m_MetaData["coverimageext"] = {type};
    found = true;
    return RC_OK;
}

ResultCode CEbookMobiFrame::GetMetaData(const std::string& inputFile, GetMetaContext& ctx)
{
    ResultCode rc = OpenAndCheck(inputFile);
    if (rc == RC_OK && !ctx.m_CoverImageFile.empty()) {
        bool found = false;
        rc = ExtractCover(m_MobiHeader, ctx.m_CoverImageFile, found);
        if (rc == RC_OK && HasKf8Part()) {
            if (!found) {
                rc = ExtractCover(m_MobiHeaderKF8, ctx.m_CoverImageFile, found);
            } else {
                // The engine reports the KF8 part's metadata.
                m_MobiHeaderKF8.m_Book.m_MetaData["coverimageext"] = m_MobiHeader.m_Book.m_MetaData["coverimageext"];
            }
        }
    }
    if (rc == RC_OK) rc = CheckEncryption();
    Close();
    return rc;
}

CIntermediateBook* CEbookMobiFrame::GetIntermediateBook()
{
    CIntermediateBook& book = HasKf8Part() ? m_MobiHeaderKF8.m_Book : m_MobiHeader.m_Book;
    if (!m_Normalised && book.m_MetaIsWindows1252 && !book.m_MetaData.empty()) {
        for (auto it = book.m_MetaData.begin(); it != book.m_MetaData.end();) {
            if (StartsWith(it->first, "MOBI_ID_")) {
                it = book.m_MetaData.erase(it);
                continue;
            }
            for (std::string& value : it->second) value = PartTextToUtf8(value, true);
            ++it;
        }
    }
    m_Normalised = true;
    return &book;
}

ResultCode CEbookMobiFrame::DecodePart(CMobiHeader& header, CMobiHeader& resources, const std::string& tempDirectory)
{
    TARVO_LOG(m_Log, LOG_INFO, "UnpackTextRecord IN");
    ResultCode rc = header.UnpackTextRecord(tempDirectory);
    TARVO_LOG(m_Log, LOG_INFO, "UnpackTextRecord OUT");
    if (rc != RC_OK) return rc;
    if (&resources == &header) {
        TARVO_LOG(m_Log, LOG_INFO, "UnpackAllRecord IN");
        rc = header.UnpackAllRecord(tempDirectory);
        TARVO_LOG(m_Log, LOG_INFO, "UnpackAllRecord OUT");
        if (rc != RC_OK) return rc;
    }
    TARVO_LOG(m_Log, LOG_INFO, "%s GetIndexRecord IN", header.IsKf8() ? "m_MobiHeaderKF8" : "m_MobiHeader");
    rc = header.GetIndexRecord();
    TARVO_LOG(m_Log, LOG_INFO, "%s GetIndexRecord OUT", header.IsKf8() ? "m_MobiHeaderKF8" : "m_MobiHeader");
    if (rc != RC_OK) return rc;

    std::unique_ptr<CEbookMobiBase> parser;
    if (header.IsKf8()) parser = std::make_unique<CEbookAzw3>(header, resources, tempDirectory, m_Log);
    else parser = std::make_unique<CEbookPrc>(header, resources, tempDirectory, m_Log);
    rc = parser->MakeFileListToMetaData();
    if (rc != RC_OK) return rc;

    // The cover record becomes the book's cover image when it was unpacked.
    int64_t cover = resources.CoverOffset() != -1 ? resources.CoverOffset() : resources.ThumbOffset();
    auto file = resources.m_ResourceMap.find(cover);
    if (cover >= 0 && file != resources.m_ResourceMap.end()) header.m_Book.SetValue("coverimage", file->second);
    return RC_OK;
}

ResultCode CEbookMobiFrame::Convert_Input(const std::string& inputFile, ConvertInputContext& ctx)
{
    PrintProgress("Converting Input To MobiFrame");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookMobiBase::Convert_Input test...");
    PrintProgress("Get MetaData");
    ResultCode rc = OpenAndCheck(inputFile);
    if (rc == RC_OK) rc = CheckEncryption();
    if (rc != RC_OK) {
        Close();
        return rc;
    }
    PrintProgress("Unpack All Record");
    if (!HasKf8Part()) {
        bool kf8 = m_MobiHeader.IsKf8();
        if ((kf8 && ctx.m_OutputFormatId == FORMAT_AZW3) || (!kf8 && ctx.m_OutputFormatId == FORMAT_PRC)) {
            rc = RC_COPY_INPUT;
        } else {
            rc = DecodePart(m_MobiHeader, m_MobiHeader, ctx.m_TempDirectory);
        }
    } else if (ctx.m_OutputFormatId == FORMAT_MOBI) {
        rc = RC_COPY_INPUT;
    } else {
        // The KF8 text of a joint file refers to the images held by the first part.
        TARVO_LOG(m_Log, LOG_INFO, "CombineKF8 UnpackTextRecord IN");
        rc = m_MobiHeader.UnpackAllRecord(ctx.m_TempDirectory);
        TARVO_LOG(m_Log, LOG_INFO, "UnpackAllRecord OUT");
        if (rc == RC_OK) {
            CMobiHeader& resources = m_MobiHeader.m_ResourceMap.empty() ? m_MobiHeaderKF8 : m_MobiHeader;
            rc = DecodePart(m_MobiHeaderKF8, resources, ctx.m_TempDirectory);
        }
    }
    TARVO_LOG(m_Log, LOG_INFO, "CEbookMobiBase::Convert_Input test OUT ...");
    Close();
    return rc;
}

ResultCode CEbookMobiFrame::SetMetaData(const std::string& inputFile, SetMetaContext& ctx)
{
    return CEbook::SetMetaData(inputFile, ctx);
}
