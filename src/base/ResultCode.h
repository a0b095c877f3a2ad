// Outcome of every operation: 0 is success, a zero top byte marks a notice, anything else an error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using ResultCode = uint32_t;

constexpr ResultCode RC_OK = 0;

constexpr ResultCode RC_NOT_SUPPORT = 0x1000000;
constexpr ResultCode RC_AZW4_UNPACKED = 0x20001;
constexpr ResultCode RC_COPY_INPUT = 0x20002; // input handler asks the engine to copy the book unchanged
constexpr ResultCode RC_DRM_KINDLE = 0x10001;
constexpr ResultCode RC_DRM_ADOBE = 0x10002;
constexpr ResultCode RC_DRM_IBOOKS = 0x10003;
constexpr ResultCode RC_DRM_NOOK = 0x10004;
constexpr ResultCode RC_DRM_KOBO = 0x10005;
constexpr ResultCode RC_DRM_TOPAZ = 0x10006;
constexpr ResultCode RC_DRM_UNKNOWN = 0x10101;
constexpr ResultCode RC_GETEBOOK_FAILED = 0x1000001;
constexpr ResultCode RC_META_GET_ITEM = 0x1000002;
constexpr ResultCode RC_META_GET_JSON = 0x1000003;
constexpr ResultCode RC_INPUT_MISSING = 0x1000004;
constexpr ResultCode RC_USAGE = 0x1000101;
constexpr ResultCode RC_FILE_OPEN_FAILED = 0x2000001;
constexpr ResultCode RC_FILE_READ_FAILED = 0x2000002;
constexpr ResultCode RC_FILE_WRITE_FAILED = 0x2000003;
constexpr ResultCode RC_FILE_SEEK_FAILED = 0x2000004;
constexpr ResultCode RC_FILE_SIZE_FAILED = 0x2000005;
constexpr ResultCode RC_FILE_DATETIME_FAILED = 0x2000006;
constexpr ResultCode RC_FILE_DELETE_FAILED = 0x2000101;
constexpr ResultCode RC_FILE_RENAME_FAILED = 0x2000102;
constexpr ResultCode RC_DIR_MAKE_FAILED = 0x2000201;
constexpr ResultCode RC_DIR_GET_FAILED = 0x2000202;
constexpr ResultCode RC_ALLOC_FAILED = 0x2000301;
constexpr ResultCode RC_LOG_INIT_FAILED = 0x2010001;
constexpr ResultCode RC_LOG_WRITE_FAILED = 0x2010002;
constexpr ResultCode RC_ZIP_DESCRIPTION_CONTENT = 0x3000001;
constexpr ResultCode RC_ZIP_DIR_RECORD = 0x3000002;
constexpr ResultCode RC_ZIP_ENDDIR_RECORD = 0x3000003;
constexpr ResultCode RC_ZIP_DESCRIPTION_RECORD = 0x3000004;
constexpr ResultCode RC_ZIP_MAGIC = 0x3000005;
constexpr ResultCode RC_ZIP_FILE_CONTENT = 0x3000006;
constexpr ResultCode RC_CHARSET_DETECT = 0x5000001;
constexpr ResultCode RC_CHARSET_CONVERT = 0x5000002;
constexpr ResultCode RC_HTML_INIT = 0x5010001;
constexpr ResultCode RC_HTML_LIST_EMPTY = 0x5010002;
constexpr ResultCode RC_MOBI_PALMDB_MAGIC = 0x7000001;
constexpr ResultCode RC_MOBI_COMPRESSION = 0x7000002;
constexpr ResultCode RC_MOBI_HEADER_MAGIC = 0x7000003;
constexpr ResultCode RC_MOBI_CODEPAGE = 0x7000004;
constexpr ResultCode RC_MOBI_EXTH_MAGIC = 0x7000005;
constexpr ResultCode RC_MOBI_EXTH_LENGTH = 0x7000006;
constexpr ResultCode RC_MOBI_HUFF_INDEX = 0x7000101;
constexpr ResultCode RC_MOBI_HUFF_MAGIC = 0x7000102;
constexpr ResultCode RC_MOBI_CDIC_MAGIC = 0x7000103;
constexpr ResultCode RC_MOBI_EXTRA_DATA = 0x7000104;
constexpr ResultCode RC_MOBI_HUFF_ITEM = 0x7000105;
constexpr ResultCode RC_MOBI_CDIC_ITEM = 0x7000106;
constexpr ResultCode RC_MOBI_AZW4_PDFS = 0x7000107;
constexpr ResultCode RC_MOBI_NCX_RECORD = 0x7000201;
constexpr ResultCode RC_MOBI_CONTROL_BYTES = 0x7000202;
constexpr ResultCode RC_EPUB_OPF_LOAD = 0x9000001;
constexpr ResultCode RC_EPUB_OPF_PARSE = 0x9000002;
constexpr ResultCode RC_EPUB_FIX = 0x9000003;
constexpr ResultCode RC_EPUB_FIX_LANGUAGE = 0x9000004;
constexpr ResultCode RC_EPUB_OPF_TREE_INIT = 0x9000005;
constexpr ResultCode RC_EPUB_OPF_TREE_EMPTY = 0x9000006;
constexpr ResultCode RC_EPUB_OPF_CONTENT = 0x9000007;
constexpr ResultCode RC_EPUB_VERTICAL_MODE = 0x9000100;
constexpr ResultCode RC_HTMLZ_OPF = 0xA000001;
constexpr ResultCode RC_PDF_TO_HTML = 0xB000001;
constexpr ResultCode RC_PDF_CUT_HTML = 0xB000002;
constexpr ResultCode RC_PDF_READ = 0xB000003;
constexpr ResultCode RC_MOBI_EOF_RECORD = 0x1E000001;
constexpr ResultCode RC_MOBI_COVER_NOT_IMAGE = 0x14000001; // no message of its own

// Notices (protection found, AZW4 unpacked) still count as a successful run.
inline bool IsError(ResultCode rc)
{
    return (rc & 0xFF000000u) != 0;
}

// The message of a code, or "ErrorCode is not existed!" for one outside the table.
const char* ResultMessage(ResultCode rc);

// A protection scheme a book may be refused for, with the notice that names it.
struct DrmScheme {
    ResultCode code;
    const char* name;
    const char* message;
};
// Every scheme, in code order; the message table takes the DRM messages from here.
const std::vector<DrmScheme>& DrmSchemes();
// Every notice a run may end with, in code order: the codes with a message and a zero top byte.
std::vector<ResultCode> NoticeCodes();

// The support address quoted in messages and in the books we write.
extern const char* const MAKER_WEB_ADDRESS;
// The version the command line, the run log and the books we write name, in one place.
extern const char* const PRODUCT_VERSION;
extern const char* const PRODUCT_BUILD;
// "Tarvo v<version>.<build> [ <address> ]", as books we write name their producer.
std::string ProducerText();
