// The message table that the command line prints and the run log records.
#include "base/ResultCode.h"

#include <algorithm>
#include <string>
#include <unordered_map>

const char* const MAKER_WEB_ADDRESS = "https://tarvo.example/support";
const char* const PRODUCT_VERSION = "0.8.3";
const char* const PRODUCT_BUILD = "563";

std::string ProducerText()
{
    return std::string("Tarvo v") + PRODUCT_VERSION + "." + PRODUCT_BUILD + " [ " + MAKER_WEB_ADDRESS + " ]";
}

namespace
{

const std::string& ControlBytesMessage()
{
    static const std::string text = std::string("ControlBytesCount != 1 or 2, please send the book to ") +
                                    MAKER_WEB_ADDRESS + ", thanks!";
    return text;
}

std::unordered_map<ResultCode, const char*> MakeMessageTable()
{
    std::unordered_map<ResultCode, const char*> table = {
        {RC_NOT_SUPPORT, "Not Support!"},
        {RC_AZW4_UNPACKED, "AZW4 file, unpack to pdf file, not support to convert!"},
        {RC_GETEBOOK_FAILED, "GetEbook init failed!"},
        {RC_META_GET_ITEM, "MetaData GetItem failed!"},
        {RC_META_GET_JSON, "MetaData Get JSON failed!"},
        {RC_INPUT_MISSING, "Input file is not existed!"},
        {RC_USAGE, "Command Line Param set failed!"},
        {RC_FILE_OPEN_FAILED, "Open/Create file failed!"},
        {RC_FILE_READ_FAILED, "Read File failed!"},
        {RC_FILE_WRITE_FAILED, "Write File failed!"},
        {RC_FILE_SEEK_FAILED, "File Seek failed!"},
        {RC_FILE_SIZE_FAILED, "Get File Size failed!"},
        {RC_FILE_DATETIME_FAILED, "Get File DateTime failed!"},
        {RC_FILE_DELETE_FAILED, "Delete File failed!"},
        {RC_FILE_RENAME_FAILED, "Rename File failed!"},
        {RC_DIR_MAKE_FAILED, "Make Directory failed!"},
        {RC_DIR_GET_FAILED, "Get Directory failed!"},
        {RC_ALLOC_FAILED, "Allocate Memory failed!"},
        {RC_LOG_INIT_FAILED, "Logger init failed!"},
        {RC_LOG_WRITE_FAILED, "Logger write failed!"},
        {RC_ZIP_DESCRIPTION_CONTENT, "UnCompress Description Content failed!"},
        {RC_ZIP_DIR_RECORD, "UnCompress Zip Dir record error!"},
        {RC_ZIP_ENDDIR_RECORD, "UnCompress Zip EndDir record error!"},
        {RC_ZIP_DESCRIPTION_RECORD, "UnCompress Zip Description record error!"},
        {RC_ZIP_MAGIC, "UnCompress Zip Magic error!"},
        {RC_ZIP_FILE_CONTENT, "MetaData GetFileContent failed!"},
        {RC_CHARSET_DETECT, "Charset Detect failed!"},
        {RC_CHARSET_CONVERT, "Charset Convert failed!"},
        {RC_HTML_INIT, "HtmlParse Init error!"},
        {RC_HTML_LIST_EMPTY, "Html File List is empty!"},
        {RC_MOBI_PALMDB_MAGIC, "BAD Book :: PalmDBHeader MAGIC error!"},
        {RC_MOBI_COMPRESSION, "BAD Book :: Compression Type error!"},
        {RC_MOBI_HEADER_MAGIC, "BAD Book :: MobiHeader MAGIC error!"},
        {RC_MOBI_CODEPAGE, "BAD Book :: MobiHeader CodePage error!"},
        {RC_MOBI_EXTH_MAGIC, "BAD Book :: ExthHeader MAGIC error!"},
        {RC_MOBI_EXTH_LENGTH, "BAD Book :: ExthHeader Length error"},
        {RC_MOBI_HUFF_INDEX, "BAD Book :: HUFFHeader Index error!"},
        {RC_MOBI_HUFF_MAGIC, "BAD Book :: HUFFHeader MAGIC error!"},
        {RC_MOBI_CDIC_MAGIC, "BAD Book :: CDICHeader MAGIC error!"},
        {RC_MOBI_EXTRA_DATA, "BAD Book :: Handle Extra Data error!"},
        {RC_MOBI_AZW4_PDFS, "BAD Book :: azw4 have more than one pdf error!"},
        {RC_MOBI_HUFF_ITEM, "BAD Book :: HUFFHeader ITEM error!"},
        {RC_MOBI_CDIC_ITEM, "BAD Book :: CDICHeader ITEM error!"},
        {RC_MOBI_NCX_RECORD, "Mobi file Get NCX Record error!"},
        {RC_MOBI_CONTROL_BYTES, ControlBytesMessage().c_str()},
        {RC_EPUB_OPF_LOAD, "Load Opf File failed!"},
        {RC_EPUB_OPF_PARSE, "Parse Opf File failed!"},
        {RC_EPUB_OPF_TREE_INIT, "Epub Opf Document Tree Init Error!"},
        {RC_EPUB_OPF_TREE_EMPTY, "Epub Opf Document Tree Empty!"},
        {RC_EPUB_FIX, "Fix epub File failed!"},
        {RC_EPUB_FIX_LANGUAGE, "Fix epub language failed!"},
        {RC_EPUB_OPF_CONTENT, "Epub Opf File Content Exist Error!"},
        {RC_EPUB_VERTICAL_MODE, "Set epub vertical mode failed!"},
        {RC_HTMLZ_OPF, "Get Htmlz Opf File Failed!"},
        {RC_PDF_TO_HTML, "Parse Pdf To Html Failed!"},
        {RC_PDF_CUT_HTML, "Pdf Cut Html Failed!"},
        {RC_PDF_READ, "Pdf read Failed!"},
        {RC_MOBI_EOF_RECORD, "BAD Book :: EOF RECORD error!"},
    };
    for (const DrmScheme& scheme : DrmSchemes())
        table.emplace(scheme.code, scheme.message);
    return table;
}

const std::unordered_map<ResultCode, const char*>& MessageTable()
{
    static const std::unordered_map<ResultCode, const char*> table = MakeMessageTable();
    return table;
}

} // namespace

const std::vector<DrmScheme>& DrmSchemes()
{
    static const std::vector<DrmScheme> schemes = {
        {RC_DRM_KINDLE, "Kindle", "Have Kindle DRM!"},    {RC_DRM_ADOBE, "Adobe", "Have Adobe ADE DRM!"},
        {RC_DRM_IBOOKS, "iBooks", "Have iBooks DRM!"},    {RC_DRM_NOOK, "NOOK", "Have NOOK DRM!"},
        {RC_DRM_KOBO, "Kobo", "Have Kobo DRM!"},          {RC_DRM_TOPAZ, "Topaz", "Have Kindle TPZ DRM!"},
        {RC_DRM_UNKNOWN, "unknown", "Have UNKNOWN DRM!"},
    };
    return schemes;
}

std::vector<ResultCode> NoticeCodes()
{
    std::vector<ResultCode> codes;
    for (const auto& entry : MessageTable())
        if (entry.first != RC_OK && !IsError(entry.first)) codes.push_back(entry.first);
    std::sort(codes.begin(), codes.end());
    return codes;
}

const char* ResultMessage(ResultCode rc)
{
    const auto& table = MessageTable();
    auto it = table.find(rc);
    return it == table.end() ? "ErrorCode is not existed!" : it->second;
}
