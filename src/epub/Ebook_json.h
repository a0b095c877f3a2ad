// A JSON dump of the intermediate book: the book written as an unpacked package, and a one-line
// index naming its metadata and its documents.
#pragma once

#include "epub/Ebook_opf.h"

class CEbookJson : public CEbookOpf
{
  public:
    ~CEbookJson() override;
    // Output only: the package reader's operations are not this format's.
    ResultCode GetMetaData(const std::string&, GetMetaContext&) override { return RC_NOT_SUPPORT; }
    ResultCode SetMetaData(const std::string&, SetMetaContext&) override { return RC_NOT_SUPPORT; }
    ResultCode Convert_Input(const std::string&, ConvertInputContext&) override { return RC_NOT_SUPPORT; }
    ResultCode Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx) override;
};

// {"MetaData":META,"HtmlList":[PATHS]} with the metadata text and each path quoted as JSON strings.
std::string BuildJsonIndex(const std::string& metadataText, const std::vector<std::string>& paths);
