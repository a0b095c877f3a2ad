// The Kindle file handler: every operation opens and checks the container itself and closes it
// before returning.
#include "mobi/Ebook_MobiFrame.h"

#include "base/Charset.h"
#include "base/Images.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "mobi/ByteIO.h"
#include "mobi/Ebook_Azw3.h"
#include "mobi/Ebook_Prc.h"
#include "mobi/ExthBlock.h"
#include "mobi/ExthIds.h"
#include "mobi/MobiRewrite.h"
#include "mobi/RecordWriter.h"

#include <memory>

namespace
{

struct SetKey {
    const char* m_Key;
    int32_t m_Type;
};
// The metadata keys a rewrite stores, with their EXTH types.
const SetKey SET_KEYS[] = {{"title", EXTH_TITLE},          {"creator", EXTH_CREATOR},
                           {"publisher", EXTH_PUBLISHER},  {"description", EXTH_DESCRIPTION},
                           {"identifier_ISBN", EXTH_ISBN}, {"date_publication", EXTH_PUBLICATION_DATE},
                           {"identifier_ASIN", EXTH_ASIN}, {"cdetype", EXTH_DOCUMENT_TYPE},
                           {"language", EXTH_LANGUAGE}};
// The types a book may hold several records of, one value each.
bool IsRepeatableExth(int32_t type)
{
    return type == EXTH_CREATOR || type == EXTH_SUBJECT || type == EXTH_CONTRIBUTOR;
}

constexpr size_t IMAGE_SNIFF_BYTES = 64;

// Records that follow a part's images; new images go in front of the first of them.
bool EndsResourceRun(const std::string& head)
{
    static const char* const MAGICS[] = {
        "FLIS", "FCIS", "SRCS", "CMET", "DATP", "FDST", "BOUN", "INDX", "CONT", "kind", "\xE9\x8E\x0D\x0A"};
    if (head.size() < 4) return false;
    for (const char* magic : MAGICS)
        if (head.compare(0, 4, magic, 4) == 0) return true;
    return false;
}

std::string FirstValue(const MetaDataMap& map, const std::string& key)
{
    auto it = map.find(key);
    return it == map.end() || it->second.empty() ? std::string() : it->second.front();
}

} // namespace

CEbookMobiFrame::~CEbookMobiFrame() = default;

void CEbookMobiFrame::Close()
{
    m_File.Close();
}

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

bool CEbookMobiFrame::HasKf8Part() const
{
    return m_Joint && m_MobiHeaderKF8.Fields().m_TextRecordCount > 0;
}

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
    rc = DeliverCoverImage(bytes, path, header.m_Book, m_Log);
    found = rc == RC_OK;
    return rc;
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
                m_MobiHeaderKF8.m_Book.m_MetaData["coverimageext"] =
                    m_MobiHeader.m_Book.m_MetaData["coverimageext"];
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
            for (std::string& value : it->second)
                value = PartTextToUtf8(value, true);
            ++it;
        }
    }
    m_Normalised = true;
    return &book;
}

ResultCode CEbookMobiFrame::DecodePart(CMobiHeader& header, CMobiHeader& resources,
                                       const std::string& tempDirectory)
{
    const char* which = &header == &m_MobiHeaderKF8 ? "CombineKF8 " : "";
    TARVO_LOG(m_Log, LOG_INFO, "%sUnpackTextRecord IN", which);
    ResultCode rc = header.UnpackTextRecord(tempDirectory);
    TARVO_LOG(m_Log, LOG_INFO, "%sUnpackTextRecord OUT", which);
    if (rc != RC_OK) return rc;
    if (&resources == &header) {
        TARVO_LOG(m_Log, LOG_INFO, "UnpackAllRecord IN");
        rc = header.UnpackAllRecord(tempDirectory);
        TARVO_LOG(m_Log, LOG_INFO, "UnpackAllRecord OUT");
        if (rc != RC_OK) return rc;
    }
    const char* name = &header == &m_MobiHeaderKF8 ? "m_MobiHeaderKF8" : "m_MobiHeader";
    TARVO_LOG(m_Log, LOG_INFO, "%s GetIndexRecord IN", name);
    rc = header.GetIndexRecord();
    TARVO_LOG(m_Log, LOG_INFO, "%s GetIndexRecord OUT", name);
    if (rc != RC_OK) return rc;

    std::unique_ptr<CEbookMobiBase> parser;
    if (header.IsKf8())
        parser = std::make_unique<CEbookAzw3>(header, resources, tempDirectory, m_Log);
    else
        parser = std::make_unique<CEbookPrc>(header, resources, tempDirectory, m_Log);
    rc = parser->MakeFileListToMetaData();
    if (rc != RC_OK) return rc;

    // The cover record becomes the book's cover image when it was unpacked.
    int64_t cover = resources.CoverOffset() != -1 ? resources.CoverOffset() : resources.ThumbOffset();
    auto file = resources.m_ResourceMap.find(cover);
    if (cover >= 0 && file != resources.m_ResourceMap.end())
        header.m_Book.SetValue("coverimage", file->second);
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
        TARVO_LOG(m_Log, LOG_INFO, "CombineKF8 UnpackAllRecord IN");
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

bool CEbookMobiFrame::IsImageRecord(int64_t offset) const
{
    int64_t first = m_MobiHeader.FirstResourceRecord();
    if (offset < 0 || first < 0) return false;
    int64_t record = first + offset;
    if (record > int64_t(m_MobiHeader.LastRecord()) || record + 1 >= int64_t(m_Db.RecordCount()))
        return false;
    std::string head;
    return m_Db.ReadRecordHead(static_cast<uint32_t>(record), IMAGE_SNIFF_BYTES, head) == RC_OK &&
           !ImageTypeOf(head).empty();
}

uint32_t CEbookMobiFrame::ImageInsertPosition() const
{
    uint32_t limit = m_Joint ? m_MobiHeader.LastRecord() + 1 : m_Db.RecordCount() - 1;
    int64_t first = m_MobiHeader.FirstResourceRecord();
    uint32_t start = first >= 0 ? static_cast<uint32_t>(first) : m_MobiHeader.Fields().m_TextRecordCount + 1u;
    std::string head;
    for (uint32_t record = start; record < limit; ++record)
        if (m_Db.ReadRecordHead(record, 4, head) == RC_OK && EndsResourceRun(head)) return record;
    return limit;
}

void CEbookMobiFrame::StoreNewValues(CMobiHeader& part, const MetaDataMap& values)
{
    for (const SetKey& k : SET_KEYS) {
        auto it = values.find(k.m_Key);
        if (it == values.end()) continue;
        // Readers list one name per record: several authors are several records. A record a book
        // holds once gets the values joined.
        std::vector<std::string> stored;
        if (IsRepeatableExth(k.m_Type)) {
            for (const std::string& value : it->second)
                if (!value.empty()) stored.push_back(value);
        } else {
            std::string joined;
            for (size_t i = 0; i < it->second.size(); ++i)
                joined += (i ? " & " : "") + it->second[i];
            if (!joined.empty()) stored.push_back(joined);
        }
        if (stored.empty()) continue;
        if (part.IsCp1252()) {
            for (std::string& value : stored) {
                std::string converted;
                if (CharsetConv::Convert("utf-8", "windows-1252", value, converted) == RC_OK)
                    value = converted;
            }
        }
        part.m_Book.m_MetaData[CIntermediateBook::GetKeyByExthId(k.m_Type)] = std::move(stored);
    }
}

void CEbookMobiFrame::PointPartsAtNewCover(uint32_t offset, bool kf8)
{
    MetaDataMap& firstMap = m_MobiHeader.m_Book.m_MetaData;
    m_MobiHeader.m_Book.SetValueByExthId(EXTH_COVER_OFFSET, ExthNumber(offset));
    m_MobiHeader.m_Book.SetValueByExthId(EXTH_THUMB_OFFSET, ExthNumber(offset + 1));
    m_MobiHeader.m_Book.SetValueByExthId(EXTH_FAKE_COVER, ExthNumber(0));
    std::vector<CMobiHeader*> parts{&m_MobiHeader};
    if (kf8) parts.push_back(&m_MobiHeaderKF8);
    for (CMobiHeader* part : parts) {
        uint32_t count = part->m_Book.GetUint32ByExthId(EXTH_RESOURCE_COUNT);
        if (count != NO_RECORD) part->m_Book.SetValueByExthId(EXTH_RESOURCE_COUNT, ExthNumber(count + 2));
        // KF8 readers take the cover from this reference; left alone it would keep the old picture.
        std::string key = CIntermediateBook::GetKeyByExthId(EXTH_KF8_COVER_URI);
        if (part->m_Book.m_MetaData.count(key) != 0)
            part->m_Book.SetValue(key, KindleEmbedReference(offset + 1));
    }
    // The two records go in front of the KF8 part, which starts two records later.
    if (m_Joint) {
        uint32_t boundary = m_MobiHeader.m_Book.GetUint32ByExthId(EXTH_KF8_BOUNDARY);
        if (boundary != NO_RECORD)
            m_MobiHeader.m_Book.SetValueByExthId(EXTH_KF8_BOUNDARY, ExthNumber(boundary + 2));
    }
    if (kf8) {
        for (int32_t type : {EXTH_COVER_OFFSET, EXTH_THUMB_OFFSET, EXTH_FAKE_COVER}) {
            std::string key = CIntermediateBook::GetKeyByExthId(type);
            m_MobiHeaderKF8.m_Book.m_MetaData[key] = firstMap[key];
        }
    }
}

void CEbookMobiFrame::DropOffsetsOfNoImage()
{
    MetaDataMap& firstMap = m_MobiHeader.m_Book.m_MetaData;
    const std::string coverKey = CIntermediateBook::GetKeyByExthId(EXTH_COVER_OFFSET);
    const std::string thumbKey = CIntermediateBook::GetKeyByExthId(EXTH_THUMB_OFFSET);
    if (m_MobiHeader.CoverOffset() != -1 && !IsImageRecord(m_MobiHeader.CoverOffset())) {
        TARVO_LOG(m_Log, LOG_WARNING, "cover offset %lld names no image; dropped",
                  static_cast<long long>(m_MobiHeader.CoverOffset()));
        firstMap.erase(coverKey);
        firstMap.erase(thumbKey);
    } else if (m_MobiHeader.ThumbOffset() != -1 && !IsImageRecord(m_MobiHeader.ThumbOffset())) {
        firstMap.erase(thumbKey);
    }
}

ResultCode CEbookMobiFrame::SetMetaData(const std::string& inputFile, SetMetaContext& ctx)
{
    // The new book replaces the old by rename, which asks only the folder's permission: a book
    // its user may not write is refused here, whatever the folder allows.
    CFile writable;
    if (writable.Open(inputFile, true, false) != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "\"%s\" cannot be opened for writing", inputFile.c_str());
        return RC_FILE_OPEN_FAILED;
    }
    writable.Close();
    // Record 0 of an encrypted book holds the DRM voucher at an offset the rebuilt record would
    // no longer match, so the owner's reader could not open the book again.
    ResultCode rc = OpenAndCheck(inputFile);
    if (rc == RC_OK) rc = CheckEncryption();
    if (rc != RC_OK) {
        Close();
        return rc;
    }
    bool kf8 = HasKf8Part();
    MetaDataMap& firstMap = m_MobiHeader.m_Book.m_MetaData;
    DropOffsetsOfNoImage();
    const MetaDataMap& values = ctx.m_MetaData.m_MetaData;
    StoreNewValues(m_MobiHeader, values);
    if (kf8) StoreNewValues(m_MobiHeaderKF8, values);

    std::string cover, thumb;
    std::string coverPath = FirstValue(values, "coverimage");
    std::string thumbPath = FirstValue(values, "thumbimage");
    if (!coverPath.empty() && (!ReadFileBytes(coverPath, cover) || ImageTypeOf(cover).empty())) {
        TARVO_LOG(m_Log, LOG_WARNING, "cover %s is no readable image; no cover added", coverPath.c_str());
        cover.clear();
    }
    if (!cover.empty() &&
        (thumbPath.empty() || !ReadFileBytes(thumbPath, thumb) || ImageTypeOf(thumb).empty()))
        thumb = cover;

    uint32_t insertAt = 0;
    int64_t first = m_MobiHeader.FirstResourceRecord();
    if (!cover.empty()) {
        insertAt = ImageInsertPosition();
        // A first resource record past the part's records leaves no offset to point with.
        if (first > int64_t(insertAt)) {
            TARVO_LOG(m_Log, LOG_WARNING, "first resource record %lld lies past the part; no cover added",
                      static_cast<long long>(first));
            cover.clear();
        }
    }
    if (!cover.empty()) PointPartsAtNewCover(first >= 0 ? insertAt - static_cast<uint32_t>(first) : 0, kf8);

    std::string record0, kf8Record0;
    auto fullName = [](const CMobiHeader& part) {
        std::string title;
        return part.m_Book.GetValue("title", title) == RC_OK && !title.empty() ? title : part.m_FullName;
    };
    const std::string language = FirstValue(values, "language");
    if (!RebuildRecord0(m_MobiHeader.m_Record0, firstMap, fullName(m_MobiHeader), language, record0) ||
        (kf8 && !RebuildRecord0(m_MobiHeaderKF8.m_Record0, m_MobiHeaderKF8.m_Book.m_MetaData,
                                fullName(m_MobiHeaderKF8), language, kf8Record0))) {
        TARVO_LOG(m_Log, LOG_ERROR, "record 0 too short for its MOBI header");
        Close();
        return RC_MOBI_HEADER_MAGIC;
    }
    if (!cover.empty()) ShiftRecordNumbers(record0, insertAt, 2);

    // Written beside the book and renamed over it once complete: a failure leaves the book as it
    // was, and the book keeps its mode, owner and, behind a symbolic link, its real file.
    rc = WriteRewrittenFile(inputFile, record0, kf8 ? m_MobiHeaderKF8.BaseRecord() : 0, kf8Record0, insertAt,
                            cover, thumb);
    Close();
    if (rc != RC_OK) TARVO_LOG(m_Log, LOG_ERROR, "rewrite failed (0x%x); the book is left as it was", rc);
    return rc;
}

ResultCode CEbookMobiFrame::WriteRewrittenFile(const std::string& path, const std::string& record0,
                                               uint32_t kf8Base, const std::string& kf8Record0,
                                               uint32_t insertAt, const std::string& cover,
                                               const std::string& thumb)
{
    // A record is either a new text (record 0 of a part, an added image) or one copied from the input.
    struct Planned {
        const std::string* m_Text;
        uint32_t m_Source;
        uint64_t m_Size;
    };
    std::vector<Planned> plan;
    uint32_t count = m_Db.RecordCount();
    plan.reserve(count + 2);
    for (uint32_t i = 0; i < count; ++i) {
        if (!cover.empty() && i == insertAt) {
            plan.push_back({&cover, 0, cover.size()});
            plan.push_back({&thumb, 0, thumb.size()});
        }
        if (i == 0)
            plan.push_back({&record0, 0, record0.size()});
        else if (kf8Base != 0 && i == kf8Base)
            plan.push_back({&kf8Record0, 0, kf8Record0.size()});
        else
            plan.push_back({nullptr, i, m_Db.RecordSize(i)});
    }
    // The input's own name, attributes and dates stay; the seed follows the new last unique id.
    std::string header(PALMDB_HEADER_SIZE, '\0');
    size_t got = header.size();
    ResultCode rc = m_File.ReadAt(&header[0], 0, got);
    if (rc != RC_OK || got != header.size()) return RC_FILE_READ_FAILED;
    PutU32At(header, 68, static_cast<uint32_t>(plan.size() * 2 - 1));
    std::vector<uint64_t> sizes;
    sizes.reserve(plan.size());
    for (const Planned& p : plan)
        sizes.push_back(p.m_Size);
    std::string head;
    rc = MakePalmDbHead(std::move(header), sizes, m_Log, head);
    if (rc != RC_OK) return rc;

    CAtomicFile out;
    rc = out.Open(path);
    if (rc == RC_OK) rc = out.Write(head);
    std::string bytes;
    for (size_t i = 0; rc == RC_OK && i < plan.size(); ++i) {
        const std::string* text = plan[i].m_Text;
        if (text == nullptr) {
            rc = m_Db.ReadRecord(plan[i].m_Source, bytes);
            if (rc == RC_OK && bytes.size() != plan[i].m_Size) rc = RC_FILE_READ_FAILED;
            text = &bytes;
        }
        if (rc == RC_OK) rc = out.Write(*text);
    }
    if (rc == RC_OK) rc = out.Commit();
    return rc;
}
