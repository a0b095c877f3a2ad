// The interface every format handler implements, and the records the engine hands to it.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"

#include <cstdint>
#include <string>

class CRunLog;

struct GetMetaContext {
    std::string m_TempDirectory;  // ends with a separator
    std::string m_CoverImageFile; // empty: no cover wanted
};

struct SetMetaContext {
    std::string m_TempDirectory;
    const CIntermediateBook& m_MetaData; // only its MetaDataMap is used
};

struct ConvertInputContext {
    std::string m_TempDirectory;
    std::string m_CurrentDirectory;
    int32_t m_OutputFormatId = 0;
    std::string m_InParam; // JSON text of the InParam map, may be empty
};

struct ConvertOutputContext {
    std::string m_InputFile;
    CIntermediateBook& m_Book; // owned by the input handler
    std::string m_TempDirectory;
    std::string m_CurrentDirectory;
    std::string m_OutParam; // JSON text of the OutParam map, may be empty
};

enum FormatId : int32_t {
    FORMAT_AZW4 = 1,
    FORMAT_EPUB = 2,
    FORMAT_PDF = 3,
    FORMAT_HTML = 4,
    FORMAT_TXT = 5,
    FORMAT_HTMLZ = 6,
    FORMAT_OPF = 7,
    FORMAT_JSON = 8,
    FORMAT_TPZ = 9,
    FORMAT_PRC = 10,
    FORMAT_AZW3 = 11,
    FORMAT_MOBI = 12,
};

class CEbook
{
  public:
    virtual ~CEbook() = default;
    virtual ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx);
    virtual ResultCode SetMetaData(const std::string& inputFile, SetMetaContext& ctx);
    virtual ResultCode Convert_Input(const std::string& inputFile, ConvertInputContext& ctx);
    virtual ResultCode Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx);
    virtual CIntermediateBook* GetIntermediateBook() { return nullptr; }

    std::string m_FormatWord; // lower-cased extension, or "kobo" for none
    CRunLog* m_Log = nullptr;
    int32_t m_FormatId = 0;
};

// Hands a book's cover to the caller of g: written to coverImageFile (when one is asked for) and its
// type noted in the metadata.
ResultCode DeliverCoverImage(const std::string& image, const std::string& coverImageFile,
                             CIntermediateBook& book, CRunLog* log);
